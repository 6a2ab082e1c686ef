#include "workspace/workspace.h"

#include <gtest/gtest.h>

#include "support/fake_host.h"
#include "support/memory_file_system.h"
#include "workspace/lock.h"

namespace loftswitch {
namespace {

// A bundle's workspace lies beside it and is named after it, so that two
// bundles in one folder never share a journal or a lock.
TEST(WorkspaceTest, ABundlesWorkspaceIsNamedAfterIt) {
  const std::array<const char*, 4> rows[] = {
      {"C:/Apps/Paint", "C:/Apps", "C:/Apps/.Paint.loftswitch", "C:/Apps/Paint"},
      {"C:/Apps/Paint/", "C:/Apps", "C:/Apps/.Paint.loftswitch", "C:/Apps/Paint"},
      {"C:/Apps/Mail", "C:/Apps", "C:/Apps/.Mail.loftswitch", "C:/Apps/Mail"}};
  for (const auto& [install, targetRoot, workspacePath, app] : rows) {
    const Workspace workspace = workspaceForInstall(install, Layout::bundle);
    EXPECT_EQ(workspace.targetRoot, std::filesystem::path(targetRoot)) << install;
    EXPECT_EQ(workspace.workspacePath, std::filesystem::path(workspacePath)) << install;
    EXPECT_EQ(appLocation(workspace), std::filesystem::path(app)) << install;
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
    host.after(3000, [&other] { other = fail(ErrorCode::io, "released"); });
    const Result<WorkspaceLock> lock =
        acquireWorkspaceLock(fs, host, file, static_cast<std::uint64_t>(waitMs));
    EXPECT_EQ(lock.has_value(), waitMs >= 3000) << waitMs;
    EXPECT_GE(host.elapsedMs(), std::min<std::int64_t>(waitMs, 3000)) << waitMs;
    EXPECT_LE(host.elapsedMs(), std::min<std::int64_t>(waitMs, 3000) + 25) << waitMs;
  }
}

}  // namespace
}  // namespace loftswitch
