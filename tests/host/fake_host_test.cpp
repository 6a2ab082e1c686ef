#include "support/fake_host.h"

#include <string>

#include "support/matchers.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(FakeHostTest, WaitForExitMovesTheClockToTheExitOrTheTimeOut) {
  FakeHost host;
  const ProcessIdentity app = host.addProcess(L"C:\\App\\app.exe", 500);
  const ProcessIdentity stuck = host.addProcess(L"C:\\App\\stuck.exe");

  EXPECT_TRUE(host.waitForExit(app, 60000));
  EXPECT_EQ(host.elapsedMs(), 500);
  EXPECT_FALSE(host.waitForExit(stuck, 1000));
  EXPECT_EQ(host.elapsedMs(), 1500);
  EXPECT_FALSE(host.waitForExit(stuck, 0));
  EXPECT_FALSE(host.waitForExit(stuck, -1));
  EXPECT_EQ(host.elapsedMs(), 1500);
  ASSERT_EQ(host.waits().size(), 4u);
  EXPECT_EQ(host.waits()[1].identity, stuck);
  EXPECT_EQ(host.waits()[1].timeoutMs, 1000);
  EXPECT_FALSE(host.waits()[1].gone);
}

TEST(FakeHostTest, WaitForExitComparesTheCreationTimeOnlyWhenGiven) {
  FakeHost host;
  const ProcessIdentity app = host.addProcess(L"C:\\App\\app.exe");
  EXPECT_TRUE(host.waitForExit({app.pid, app.started + 1}, 60000));
  EXPECT_TRUE(host.waitForExit({app.pid + 1, 0}, 60000));
  EXPECT_EQ(host.elapsedMs(), 0);
  EXPECT_FALSE(host.waitForExit({app.pid, 0}, 100));
}

TEST(FakeHostTest, SleepRunsActionsAtTheirTimeInOrder) {
  FakeHost host;
  std::vector<std::string> seen;
  host.at(250, [&] { seen.push_back("b@" + std::to_string(host.elapsedMs())); });
  host.at(100, [&] {
    seen.push_back("a@" + std::to_string(host.elapsedMs()));
    host.after(50, [&] { seen.push_back("nested@" + std::to_string(host.elapsedMs())); });
  });
  host.at(250, [&] { seen.push_back("c@" + std::to_string(host.elapsedMs())); });

  host.sleep(100);
  EXPECT_THAT(seen, ElementsAre("a@100"));
  host.sleep(1000);
  EXPECT_THAT(seen, ElementsAre("a@100", "nested@150", "b@250", "c@250"));
  EXPECT_EQ(host.elapsedMs(), 1100);
  host.sleep(0);
  host.sleep(-5);
  EXPECT_EQ(host.elapsedMs(), 1100);
  EXPECT_THAT(host.sleeps(), ElementsAre(100, 1000, 0, -5));
  EXPECT_EQ(host.now() - HostTime(std::chrono::hours(24)), std::chrono::milliseconds(1100));
}

TEST(FakeHostTest, ActionEndingAProcessEndsAWaitAtThatMoment) {
  FakeHost host;
  const ProcessIdentity app = host.addProcess(L"C:\\App\\app.exe");
  host.at(300, [&] { host.endProcess(app.pid); });
  EXPECT_TRUE(host.waitForExit(app, 60000));
  EXPECT_EQ(host.elapsedMs(), 300);
}

TEST(FakeHostTest, LaunchesFollowTheScriptsThenNeverExit) {
  FakeHost host;
  host.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "can't start x: no"}));
  host.scriptLaunch(FakeHost::exitsWith(7, 250));
  LaunchRequest request;
  request.program = L"C:\\App\\app.exe";
  request.arguments = {"--updated"};

  EXPECT_THAT(host.launch(request), FailsWith(ErrorCode::launchFailed, "can't start x: no"));
  auto exiting = host.launch(request);
  ASSERT_THAT(exiting, IsOkay());
  auto forever = host.launch(request);
  ASSERT_THAT(forever, IsOkay());
  EXPECT_EQ(host.launches().size(), 3u);
  EXPECT_EQ(host.launches()[1], request);
  ASSERT_EQ(host.launchedPids().size(), 2u);

  // Polled the way a driver polls: look, then sleep.
  int polls = 0;
  while (!(*exiting)->exitCode() && polls < 100) {
    host.sleep(100);
    ++polls;
  }
  EXPECT_EQ(polls, 3);
  EXPECT_EQ((*exiting)->exitCode(), 7u);
  host.sleep(60000);
  EXPECT_EQ((*exiting)->exitCode(), 7u);
  EXPECT_EQ((*forever)->exitCode(), std::nullopt);
  EXPECT_FALSE(host.isRunning(host.launchedPids()[0]));
  EXPECT_TRUE(host.isRunning(host.launchedPids()[1]));
}

TEST(FakeHostTest, LaunchScriptActionsRunAfterTheStart) {
  FakeHost host;
  bool confirmed = false;
  host.sleep(1000);
  host.scriptLaunch(FakeHost::neverExits().then(400, [&] { confirmed = true; }));
  ASSERT_THAT(host.launch(LaunchRequest{}), IsOkay());
  host.sleep(300);
  EXPECT_FALSE(confirmed);
  host.sleep(100);
  EXPECT_TRUE(confirmed);
}

TEST(FakeHostTest, ProcessesInFolderMatchesWholeFoldersAtAnyDepth) {
  FakeHost host;
  const ProcessIdentity deep = host.addProcess(L"C:\\App\\bin\\tool.exe");
  const ProcessIdentity lower = host.addProcess(L"c:\\app\\x.exe");
  host.addProcess(L"C:\\App2\\x.exe");
  host.addProcess(L"C:\\App\\gone.exe", 50);
  host.sleep(50);
  LaunchRequest request;
  request.program = L"C:\\App\\new.exe";
  ASSERT_THAT(host.launch(request), IsOkay());

  EXPECT_THAT(host.processesInFolder(L"C:\\App"),
              ElementsAre(deep.pid, lower.pid, host.launchedPids()[0]));
  EXPECT_THAT(host.processesInFolder(L"C:\\App\\bin\\"), ElementsAre(deep.pid));
  EXPECT_THAT(host.processesInFolder(L"C:\\Other"), IsEmpty());
  EXPECT_EQ(host.folderQueries().size(), 3u);
}

}  // namespace
}  // namespace loftswitch
