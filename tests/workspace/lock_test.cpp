#include "workspace/lock.h"

#include "base/text.h"
#include "support/held_file.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

// The one guard between two updates of the same install: another process's
// hold makes it busy, a hold let go during the wait or lost in a crash frees
// it, and a missing workspace is not mistaken for a busy one.
TEST(WorkspaceLockTest, IsBusyExactlyWhileAnotherProcessHoldsIt) {
  TempFolder temp;
  const std::filesystem::path lock = temp / "lock";
  const std::string busy = "another update is in progress (" + pathToUtf8(lock) + " is locked)";
  {
    HeldFile other("lock", lock);
    ASSERT_TRUE(other.held());
    EXPECT_THAT(acquireWorkspaceLock(lock, 200), FailsWith(ErrorCode::locked, busy));
    other.kill();
    EXPECT_THAT(acquireWorkspaceLock(lock, 0), IsOkay());
  }
  HeldFile other("lock", lock, 200);
  ASSERT_TRUE(other.held());
  {
    Result<WorkspaceLock> taken = acquireWorkspaceLock(lock, 30000);
    ASSERT_THAT(taken, IsOkay());
    EXPECT_THAT(acquireWorkspaceLock(lock, 0), FailsWith(ErrorCode::locked, busy));
  }
  EXPECT_THAT(acquireWorkspaceLock(lock, 0), IsOkay());
  EXPECT_THAT(acquireWorkspaceLock(temp / "missing" / "lock", 1000), FailsWithCode(ErrorCode::notFound));
}

}  // namespace
}  // namespace loftswitch
