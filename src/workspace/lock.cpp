#include "workspace/lock.h"

#include <chrono>
#include <thread>

#include "base/text.h"

namespace loftswitch {
namespace {

constexpr std::chrono::milliseconds kLockPause(25);

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

Result<WorkspaceLock> acquireWorkspaceLock(const std::filesystem::path& lockFile,
                                           std::uint64_t waitMs) {
  const auto deadline = deadlineAfter(waitMs);
  for (;;) {
    ASSIGN_OR_RETURN(std::unique_ptr<WorkspaceLock::Hold> hold, tryLockFile(lockFile));
    if (hold) return WorkspaceLock(std::move(hold));
    if (std::chrono::steady_clock::now() >= deadline) {
      return fail(ErrorCode::locked,
                  "another update is in progress (" + pathToUtf8(lockFile) + " is locked)");
    }
    std::this_thread::sleep_for(kLockPause);
  }
}

}  // namespace loftswitch
