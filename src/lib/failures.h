#pragma once

// Building the failures of the C interface from the errors of the tool's
// own code.

#include <string>

#include "base/result.h"
#include "lib/app_library.h"
#include "loftswitch/app.h"
#include "workspace/workspace.h"

namespace loftswitch::applib {

inline std::unexpected<Failure> failWith(int code, std::string message) {
  return std::unexpected(Failure{code, std::move(message)});
}
inline std::unexpected<Failure> argumentFailure(std::string message) {
  return failWith(LOFTSWITCH_ERROR_ARGUMENT, std::move(message));
}
inline std::unexpected<Failure> ioFailure(std::string message) {
  return failWith(LOFTSWITCH_ERROR_IO, std::move(message));
}
// A lock held past the wait is "busy"; any other trouble opening it is not.
inline std::unexpected<Failure> lockFailure(const std::string& context, const Error& error) {
  const int code = error.code == ErrorCode::locked     ? LOFTSWITCH_ERROR_BUSY
                   : error.code == ErrorCode::notFound ? LOFTSWITCH_ERROR_NOT_FOUND
                                                       : LOFTSWITCH_ERROR_IO;
  return failWith(code, context + ": " + error.message);
}

// How an interrupted attempt in `workspace` is repaired, for messages.
std::string repairAdvice(const Workspace& workspace);

}  // namespace loftswitch::applib

#define RETURN_IF_FAILED(expr)                                                   \
  do {                                                                           \
    auto&& loftswitch_outcome_ = (expr);                                         \
    if (!loftswitch_outcome_)                                                    \
      return std::unexpected<::loftswitch::applib::Failure>(                    \
          std::move(loftswitch_outcome_.error()));                               \
  } while (false)

#define LOFTSWITCH_ASSIGN_OR_FAIL_IMPL(tmp, decl, expr)                           \
  auto tmp = (expr);                                                             \
  if (!tmp) return std::unexpected<::loftswitch::applib::Failure>(std::move(tmp.error())); \
  decl = std::move(*tmp)

#define ASSIGN_OR_FAIL(decl, expr) \
  LOFTSWITCH_ASSIGN_OR_FAIL_IMPL(LOFTSWITCH_CONCAT(loftswitch_f_, __LINE__), decl, expr)
