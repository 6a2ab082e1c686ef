#include <windows.h>

#include <chrono>
#include <utility>

#include "base/win32.h"
#include "workspace/lock.h"

namespace loftswitch {
namespace {

constexpr DWORD kLockPauseMs = 25;

std::chrono::steady_clock::time_point deadlineAfter(std::uint64_t waitMs) {
  using std::chrono::milliseconds;
  const auto now = std::chrono::steady_clock::now();
  const auto room =
      std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::time_point::max() - now);
  // A wait too long for the clock means no deadline rather than one in the past.
  if (waitMs >= static_cast<std::uint64_t>(room.count())) {
    return std::chrono::steady_clock::time_point::max();
  }
  return now + milliseconds(static_cast<milliseconds::rep>(waitMs));
}

}  // namespace

WorkspaceLock::WorkspaceLock(WorkspaceLock&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

WorkspaceLock& WorkspaceLock::operator=(WorkspaceLock&& other) noexcept {
  if (this != &other) {
    release();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

WorkspaceLock::~WorkspaceLock() { release(); }

void WorkspaceLock::release() {
  if (handle_ != nullptr) {
    ::CloseHandle(handle_);
    handle_ = nullptr;
  }
}

Result<WorkspaceLock> acquireWorkspaceLock(const std::filesystem::path& lockFile,
                                           std::uint64_t waitMs) {
  const auto deadline = deadlineAfter(waitMs);
  const std::wstring path = longPath(lockFile);
  for (;;) {
    HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return WorkspaceLock(handle);
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED &&
        error != ERROR_LOCK_VIOLATION) {
      return fail(errorFromWin32(error, "can't open the lock", lockFile));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return fail(ErrorCode::locked,
                  "another update is in progress (" + toUtf8(lockFile.native()) + " is locked)");
    }
    ::Sleep(kLockPauseMs);
  }
}

}  // namespace loftswitch
