#include "workspace/lock.h"

#include <algorithm>
#include <limits>

#include "base/text.h"

namespace loftswitch {
namespace {

constexpr std::int64_t kLockPauseMs = 25;

}  // namespace

Result<WorkspaceLock> acquireWorkspaceLock(FileSystem& fileSystem, Clock& clock,
                                           const std::filesystem::path& lockFile,
                                           std::uint64_t waitMs) {
  constexpr auto kLongest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const HostTime deadline =
      deadlineAfter(clock.now(), static_cast<std::int64_t>(std::min(waitMs, kLongest)));
  for (;;) {
    ASSIGN_OR_RETURN(std::unique_ptr<FileLock> hold, fileSystem.lock(lockFile));
    if (hold) return WorkspaceLock(std::move(hold));
    if (clock.now() >= deadline) {
      return fail(ErrorCode::locked,
                  "another update is in progress (" + pathToUtf8(lockFile) + " is locked)");
    }
    clock.sleep(kLockPauseMs);
  }
}

}  // namespace loftswitch
