#include "workspace/lock.h"

#include "base/text.h"
#include "support/held_file.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::AllOf;
using ::testing::StartsWith;

class WorkspaceLockTest : public ::testing::Test {
 protected:
  std::filesystem::path lockFile() const { return temp_ / "lock"; }
  std::string busyMessage() const {
    return "another update is in progress (" + pathToUtf8(lockFile()) + " is locked)";
  }
  bool takenNow() {
    const Result<WorkspaceLock> lock = acquireWorkspaceLock(lockFile(), 0);
    return lock.has_value();
  }

  TempFolder temp_;
};

TEST_F(WorkspaceLockTest, HoldsAnEmptyLockFileAndRefusesASecondHolderUntilReleased) {
  writeTestFile(lockFile(), "");  // left behind by an earlier run: no obstacle
  {
    Result<WorkspaceLock> lock = acquireWorkspaceLock(lockFile(), 0);
    ASSERT_THAT(lock, IsOkay());
    EXPECT_TRUE(lock->held());
    EXPECT_EQ(std::filesystem::file_size(lockFile()), 0u);
    EXPECT_THAT(acquireWorkspaceLock(lockFile(), 0), FailsWith(ErrorCode::locked, busyMessage()));
    EXPECT_THAT(acquireWorkspaceLock(lockFile(), 100), FailsWith(ErrorCode::locked, busyMessage()));
  }
  EXPECT_TRUE(takenNow());
}

TEST_F(WorkspaceLockTest, MovingCarriesTheLockAndTheMovedFromHoldsNothing) {
  WorkspaceLock moved;
  EXPECT_FALSE(moved.held());
  {
    Result<WorkspaceLock> lock = acquireWorkspaceLock(lockFile(), 0);
    ASSERT_THAT(lock, IsOkay());
    moved = std::move(*lock);
    EXPECT_FALSE(lock->held());
    WorkspaceLock constructed(std::move(moved));
    EXPECT_FALSE(moved.held());
    moved = std::move(constructed);
  }
  // Neither moved-from object released it on the way.
  EXPECT_TRUE(moved.held());
  EXPECT_FALSE(takenNow());
  moved = WorkspaceLock();
  EXPECT_FALSE(moved.held());
  EXPECT_TRUE(takenNow());
}

TEST_F(WorkspaceLockTest, MoveAssigningReleasesTheLockHeldBefore) {
  Result<WorkspaceLock> first = acquireWorkspaceLock(temp_ / "first", 0);
  Result<WorkspaceLock> second = acquireWorkspaceLock(temp_ / "second", 0);
  ASSERT_THAT(first, IsOkay());
  ASSERT_THAT(second, IsOkay());
  *first = std::move(*second);
  EXPECT_THAT(acquireWorkspaceLock(temp_ / "first", 0), IsOkay());
  EXPECT_THAT(acquireWorkspaceLock(temp_ / "second", 0), FailsWithCode(ErrorCode::locked));
}

TEST_F(WorkspaceLockTest, AMissingWorkspaceIsNotFoundRatherThanBusy) {
  const std::filesystem::path missing = temp_ / "missing/lock";
  EXPECT_THAT(
      acquireWorkspaceLock(missing, 1000),
      AllOf(FailsWithCode(ErrorCode::notFound),
            FailsWithMessageThat(StartsWith("can't open the lock " + pathToUtf8(missing) + ": "))));
  EXPECT_FALSE(std::filesystem::exists(temp_ / "missing"));
}

TEST_F(WorkspaceLockTest, AnotherProcessHoldingTheLockMakesItBusyUntilItLetsGo) {
  {
    HeldFile other("lock", lockFile());
    ASSERT_TRUE(other.held());
    EXPECT_THAT(acquireWorkspaceLock(lockFile(), 0), FailsWith(ErrorCode::locked, busyMessage()));
    EXPECT_THAT(acquireWorkspaceLock(lockFile(), 200), FailsWith(ErrorCode::locked, busyMessage()));
  }
  // Released during the wait: taken.
  HeldFile other("lock", lockFile(), 200);
  ASSERT_TRUE(other.held());
  EXPECT_THAT(acquireWorkspaceLock(lockFile(), 30000), IsOkay());
}

TEST_F(WorkspaceLockTest, AHolderThatDiesLeavesTheWorkspaceFree) {
  HeldFile other("lock", lockFile());
  ASSERT_TRUE(other.held());
  other.kill();
  EXPECT_TRUE(takenNow());
}

}  // namespace
}  // namespace loftswitch
