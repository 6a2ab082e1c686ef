#include "workspace/workspace.h"

#include <gtest/gtest.h>

#include "support/fake_host.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "workspace/lock.h"

namespace loftswitch {
namespace {

// A bundle's workspace lies beside it and is named after it, so that two
// bundles in one folder never share a journal or a lock.
TEST(WorkspaceTest, ABundlesWorkspaceIsNamedAfterIt) {
  const struct {
    const char* install;
    Layout layout;
    const char* targetRoot;
    const char* workspace;
    const char* app;
  } rows[] = {
      {"C:/Apps/Paint", Layout::bundle, "C:/Apps", "C:/Apps/.Paint.loftswitch", "C:/Apps/Paint"},
      {"C:/Apps/Paint/", Layout::bundle, "C:/Apps", "C:/Apps/.Paint.loftswitch", "C:/Apps/Paint"},
      {"C:/Apps/Mail", Layout::bundle, "C:/Apps", "C:/Apps/.Mail.loftswitch", "C:/Apps/Mail"},
      {"C:/Apps/Paint", Layout::folder, "C:/Apps/Paint", "C:/Apps/Paint/.loftswitch",
       "C:/Apps/Paint"},
  };
  for (const auto& row : rows) {
    const Workspace workspace = workspaceForInstall(row.install, row.layout);
    EXPECT_EQ(workspace.targetRoot, std::filesystem::path(row.targetRoot)) << row.install;
    EXPECT_EQ(workspace.workspacePath, std::filesystem::path(row.workspace)) << row.install;
    EXPECT_EQ(appLocation(workspace), std::filesystem::path(row.app)) << row.install;
  }
}

// A held lock is waited for until the time is up, and not a moment less.
TEST(WorkspaceLockTest, AHeldLockIsWaitedForUntilTheTimeIsUp) {
  for (const std::int64_t waitMs : {0, 1000, 5000}) {
    MemoryFileSystem fs;
    FakeHost host;
    const std::filesystem::path file = "C:/App/.loftswitch/lock";
    fs.addFolder(file.parent_path());
    Result<WorkspaceLock> other = acquireWorkspaceLock(fs, host, file, 0);
    ASSERT_THAT(other, IsOkay());
    host.after(3000, [&other] { other = fail(ErrorCode::io, "released"); });
    const Result<WorkspaceLock> lock =
        acquireWorkspaceLock(fs, host, file, static_cast<std::uint64_t>(waitMs));
    if (waitMs < 3000) {
      EXPECT_THAT(lock, FailsWithCode(ErrorCode::locked)) << waitMs;
      EXPECT_GE(host.elapsedMs(), waitMs);
      EXPECT_LE(host.elapsedMs(), waitMs + 25);
    } else {
      EXPECT_THAT(lock, IsOkay()) << waitMs;
      EXPECT_GE(host.elapsedMs(), 3000);
    }
  }
}

}  // namespace
}  // namespace loftswitch
