#include "base/windows_error.h"

#include "base/text.h"

#ifdef _WIN32
#include "base/win32.h"
#endif

namespace loftswitch {
namespace {

// The Windows codes that callers tell apart.
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kWriteProtect = 19;
constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kLockViolation = 33;
constexpr std::uint32_t kHandleDiskFull = 39;
constexpr std::uint32_t kDiskFull = 112;
constexpr std::uint32_t kUserMappedFile = 1224;

// Messages are for people: a path that is not valid UTF-16 still has to be
// shown, so it goes through the lenient conversion.
std::string shownPath(const std::filesystem::path& path) {
#ifdef _WIN32
  return toUtf8(path.native());
#else
  return path.native();
#endif
}

}  // namespace

Error errorFromWin32(std::uint32_t code, std::string_view prefix,
                     const std::filesystem::path& path) {
  ErrorCode mapped = ErrorCode::io;
  switch (code) {
    case kFileNotFound:
    case kPathNotFound:
      mapped = ErrorCode::notFound;
      break;
    case kAccessDenied:
    case kWriteProtect:
      mapped = ErrorCode::accessDenied;
      break;
    case kSharingViolation:
    case kLockViolation:
    case kUserMappedFile:
      mapped = ErrorCode::inUse;
      break;
    case kHandleDiskFull:
    case kDiskFull:
      mapped = ErrorCode::diskFull;
      break;
    default:
      break;
  }
  return Error{mapped, std::string(prefix) + " " + shownPath(path) + ": " + windowsErrorText(code)};
}

}  // namespace loftswitch
