#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "base/result.h"

namespace loftswitch {

inline std::ostream& operator<<(std::ostream& os, ErrorCode code) {
  return os << "ErrorCode(" << static_cast<std::uint32_t>(code) << ")";
}

inline std::ostream& operator<<(std::ostream& os, const Error& error) {
  return os << error.code << " \"" << error.message << "\"";
}

// EXPECT_THAT(result, IsOkay());
MATCHER(IsOkay, "succeeds") {
  if (arg) return true;
  *result_listener << "failed with " << arg.error();
  return false;
}

// EXPECT_THAT(result, FailsWithMessageThat(HasSubstr("...")));
MATCHER_P(FailsWithMessageThat, inner, "fails with a message that matches") {
  if (arg) {
    *result_listener << "succeeded";
    return false;
  }
  *result_listener << "failed with " << arg.error();
  return ::testing::Matches(inner)(arg.error().message);
}

// EXPECT_THAT(result, FailsWithCode(ErrorCode::inUse));
MATCHER_P(FailsWithCode, code, "fails with the given code") {
  if (arg) {
    *result_listener << "succeeded";
    return false;
  }
  *result_listener << "failed with " << arg.error();
  return arg.error().code == code;
}

// EXPECT_THAT(result, FailsWith(ErrorCode::notFound, "exact message"));
template <typename Message>
auto FailsWith(ErrorCode code, Message message) {
  return ::testing::AllOf(FailsWithCode(code), FailsWithMessageThat(std::string(message)));
}

}  // namespace loftswitch
