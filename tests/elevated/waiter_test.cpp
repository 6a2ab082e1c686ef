#include "elevated/waiter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_host.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "workspace/journal.h"
#include "workspace/workspace.h"

namespace loftswitch {
namespace {

using ::testing::Contains;

constexpr char kId[] = "0123456789abcdef";
const std::filesystem::path kInstall = "C:/Program Files/Demo";
const std::filesystem::path kUser = "C:/Users/me/AppData/Demo/.loftswitch";

class WaiterTest : public ::testing::Test {
 protected:
  WaiterTest() {
    request_.id = kId;
    request_.install = kInstall;
    request_.userWorkspace = kUser;
    request_.executable = "bin/demo.exe";
    request_.relaunchArgs = {"--after-update", "x y"};
    request_.exitMs = 1000;
    request_.confirmMs = 2000;
    fileSystem_.addFolder(kUser);
    fileSystem_.addFile(kInstall / "bin" / "demo.exe", "exe");
  }

  void setJournal(JournalState state, const std::string& id = kId) {
    Journal journal;
    journal.id = id;
    journal.app = "demo";
    journal.from = "1.0.0";
    journal.to = "1.1.0";
    journal.executable = "bin/demo.exe";
    journal.state = state;
    fileSystem_.addFile(journalPath(workspaceForInstall(kInstall, Layout::folder)),
                        serializeJournal(journal));
  }

  void journalAt(std::int64_t ms, JournalState state) {
    host_.at(ms, [this, state] { setJournal(state); });
  }

  RunOutcome runIt() {
    return runWaiter(request_, app_, elevated_, fileSystem_, host_, sink_, 100);
  }

  std::optional<std::string> userFile(const std::string& name) {
    return fileSystem_.fileContent(kUser / name);
  }

  LaunchRequest expectedLaunch() const {
    LaunchRequest launch;
    launch.program = kInstall / "bin" / "demo.exe";
    launch.arguments = {"--after-update", "x y"};
    launch.workingFolder = kInstall;
    launch.environment = {{"LOFTSWITCH_RELAUNCH", kId}};
    launch.breakaway = true;
    return launch;
  }

  UpdateRequest request_;
  std::optional<ProcessIdentity> app_;
  std::optional<ProcessIdentity> elevated_;
  MemoryFileSystem fileSystem_;
  FakeHost host_;
  std::vector<std::string> lines_;
  LogSink sink_ = [this](std::string_view line) { lines_.emplace_back(line); };
};

TEST_F(WaiterTest, StartsTheNewVersionOnceSwappedAndEndsWhenConfirmed) {
  app_ = host_.addProcess("C:/Program Files/Demo/bin/demo.exe", 400);
  journalAt(0, JournalState::swapping);
  journalAt(900, JournalState::swapped);
  journalAt(1500, JournalState::confirmed);
  EXPECT_EQ(runIt(), RunOutcome::updated);
  ASSERT_EQ(host_.launches().size(), 1u);
  EXPECT_EQ(host_.launches()[0], expectedLaunch());
  EXPECT_GE(host_.elapsedMs(), 1500);
  EXPECT_EQ(host_.waits().front().timeoutMs, 1000);
  EXPECT_THAT(lines_, Contains("relaunching the new version: started"));
  EXPECT_FALSE(userFile(std::string("exited-") + kId));
}

TEST_F(WaiterTest, ReportsAnEarlyExitAndThenStartsThePreviousVersion) {
  setJournal(JournalState::swapped);
  host_.scriptLaunch(FakeHost::exitsWith(0xC0000005, 300));
  journalAt(1000, JournalState::rolledBack);
  EXPECT_EQ(runIt(), RunOutcome::rolledBack);
  EXPECT_EQ(userFile(std::string("exited-") + kId), "-1073741819");
  EXPECT_THAT(lines_, Contains("the new version exited with code -1073741819 before confirming"));
  ASSERT_EQ(host_.launches().size(), 2u);
  EXPECT_EQ(host_.launches()[1], expectedLaunch());
  EXPECT_THAT(lines_, Contains("relaunching the previous version: started"));
  // Reported once, not on every pass.
  EXPECT_EQ(std::count(lines_.begin(), lines_.end(),
                       "the new version exited with code -1073741819 before confirming"),
            1);
}

TEST_F(WaiterTest, AnExitAfterTheConfirmedMarkerIsNotReported) {
  setJournal(JournalState::swapped);
  fileSystem_.addFile(kUser / (std::string("confirmed-") + kId), "");
  host_.scriptLaunch(FakeHost::exitsWith(0, 300));
  journalAt(1000, JournalState::confirmed);
  EXPECT_EQ(runIt(), RunOutcome::updated);
  EXPECT_FALSE(userFile(std::string("exited-") + kId));
  EXPECT_EQ(host_.launches().size(), 1u);
}

TEST_F(WaiterTest, ARefusedUpdateStartsThePreviousVersionUnlessOneStillRuns) {
  setJournal(JournalState::rolledBack);
  EXPECT_EQ(runIt(), RunOutcome::rolledBack);
  ASSERT_EQ(host_.launches().size(), 1u);
  EXPECT_EQ(host_.launches()[0], expectedLaunch());

  // A new version that survived a late rollback keeps running alone.
  FakeHost host;
  setJournal(JournalState::swapped);
  host.at(500, [this] { setJournal(JournalState::rolledBack); });
  EXPECT_EQ(runWaiter(request_, {}, {}, fileSystem_, host, sink_, 100), RunOutcome::rolledBack);
  EXPECT_EQ(host.launches().size(), 1u);
}

TEST_F(WaiterTest, AHelperThatStoppedWithoutAJournalLeavesTheOutcomeFile) {
  // An older attempt's journal does not count.
  setJournal(JournalState::confirmed, "fedcba9876543210");
  elevated_ = host_.addProcess("C:/Program Files/Demo/.loftswitch/loftswitch-apply.exe", 300);
  EXPECT_EQ(runIt(), RunOutcome::failed);
  EXPECT_EQ(userFile(std::string("outcome-") + kId + ".json"),
            R"({"detail":"the administrator helper stopped before it changed anything",)"
            R"("reason":"elevation-failed","result":"rolled-back"})");
  ASSERT_EQ(host_.launches().size(), 1u);
  EXPECT_THAT(lines_, Contains("relaunching the previous version: started"));
  EXPECT_LT(host_.elapsedMs(), 1000);
}

TEST_F(WaiterTest, AHelperThatEndedWithTheUpdateSwappedLeavesItUnconfirmed) {
  setJournal(JournalState::swapped);
  elevated_ = host_.addProcess("C:/Program Files/Demo/.loftswitch/loftswitch-apply.exe", 250);
  host_.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "can't start it"}));
  EXPECT_EQ(runIt(), RunOutcome::unconfirmed);
  EXPECT_THAT(lines_, Contains("relaunching the new version: can't start it"));
  // The failed start left the slot empty, so the next pass started it.
  EXPECT_EQ(host_.launches().size(), 2u);
  EXPECT_EQ(host_.launchedPids().size(), 1u);
  EXPECT_FALSE(userFile(std::string("outcome-") + kId + ".json"));
}

TEST_F(WaiterTest, AHelperThatDiedMidSwapStartsThePreviousVersion) {
  setJournal(JournalState::swapping);
  elevated_ = host_.addProcess("C:/elevated.exe", 200);
  EXPECT_EQ(runIt(), RunOutcome::failed);
  EXPECT_EQ(host_.launches().size(), 1u);
  EXPECT_FALSE(userFile(std::string("outcome-") + kId + ".json"));
}

TEST_F(WaiterTest, GivesUpAtTheDeadlineAndStartsThePreviousVersion) {
  EXPECT_EQ(runIt(), RunOutcome::failed);
  EXPECT_GE(host_.elapsedMs(), 1000 + 600000 + 2000);
  EXPECT_EQ(host_.launches().size(), 1u);
  EXPECT_FALSE(userFile(std::string("outcome-") + kId + ".json"));
}

TEST_F(WaiterTest, StartsNothingWhileTheAppRuns) {
  app_ = host_.addProcess("C:/Program Files/Demo/bin/demo.exe");
  setJournal(JournalState::confirmed);
  EXPECT_EQ(runIt(), RunOutcome::appStillRunning);
  EXPECT_TRUE(host_.launches().empty());
}

TEST_F(WaiterTest, RelaunchesInTheRequestedFolderWhenItExists) {
  request_.relaunchCwd = "C:/Work";
  setJournal(JournalState::confirmed);
  EXPECT_EQ(runIt(), RunOutcome::updated);
  fileSystem_.addFolder("C:/Work");
  EXPECT_EQ(runIt(), RunOutcome::updated);
  request_.executable = "missing/../demo.exe";
  EXPECT_EQ(runIt(), RunOutcome::updated);
  ASSERT_EQ(host_.launches().size(), 3u);
  EXPECT_EQ(host_.launches()[0].workingFolder, kInstall);
  EXPECT_EQ(host_.launches()[1].workingFolder, std::filesystem::path("C:/Work"));
  EXPECT_EQ(host_.launches()[2].program, kInstall);
}

}  // namespace
}  // namespace loftswitch
