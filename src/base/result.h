#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace loftswitch {

// The numbers are internal to one process: never written to a file or shown.
enum class ErrorCode : std::uint32_t {
  badSignature = 7,
  tooLarge = 8,
  sizeMismatch = 9,
  digestMismatch = 10,
  badLayout = 11,
  damaged = 12,
  accessDenied = 13,
  notWritable = 14,
  diskFull = 16,
  locked = 17,
  inUse = 18,
  notFound = 19,
  launchFailed = 21,
  invalidData = 22,
  io = 23,
  // A fetch failed for good: a refused address, a server's error answer, a
  // certificate that does not verify, a missing local file.
  fetchFailed = 24,
  // A fetch failed in a way that may pass: a reset, a time-out, a server
  // that is busy. Worth another try after a pause.
  unavailable = 25,
  // The install is not the version a delta package was made from.
  baseMismatch = 26,
};

// A failure: a code that callers test and a complete, lower-case message
// written once where the failure happened.
struct Error {
  ErrorCode code = ErrorCode::io;
  std::string message;
};

struct Unit {};

template <typename T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(ErrorCode code, std::string message) {
  return std::unexpected<Error>(Error{code, std::move(message)});
}

inline std::unexpected<Error> fail(Error error) {
  return std::unexpected<Error>(std::move(error));
}

inline Result<Unit> ok() { return Unit{}; }

}  // namespace loftswitch

#define LOFTSWITCH_CONCAT_INNER(a, b) a##b
#define LOFTSWITCH_CONCAT(a, b) LOFTSWITCH_CONCAT_INNER(a, b)

// Returns the error of a failed Result from the enclosing function.
#define RETURN_IF_ERROR(expr)                                          \
  do {                                                                 \
    auto&& loftswitch_result_ = (expr);                                \
    if (!loftswitch_result_)                                           \
      return std::unexpected<::loftswitch::Error>(                     \
          std::move(loftswitch_result_.error()));                      \
  } while (false)

#define LOFTSWITCH_ASSIGN_OR_RETURN_IMPL(tmp, decl, expr)              \
  auto tmp = (expr);                                                   \
  if (!tmp) return std::unexpected<::loftswitch::Error>(std::move(tmp.error())); \
  decl = std::move(*tmp)

// Declares `decl` from the value of a Result, or returns its error.
#define ASSIGN_OR_RETURN(decl, expr) \
  LOFTSWITCH_ASSIGN_OR_RETURN_IMPL(LOFTSWITCH_CONCAT(loftswitch_r_, __LINE__), decl, expr)
