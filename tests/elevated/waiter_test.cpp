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

constexpr char kId[] = "0123456789abcdef";
const std::filesystem::path kInstall = std::filesystem::path("C:/Program Files") / "Demo";
const std::filesystem::path kUser = std::filesystem::path("C:/Users") / "me" / ".loftswitch";
const std::string kExited = std::string("exited-") + kId;
const std::string kOutcome = std::string("outcome-") + kId + ".json";

struct Waiter {
  Waiter() {
    request.id = kId;
    request.install = kInstall;
    request.userWorkspace = kUser;
    request.executable = "bin/demo.exe";
    request.relaunchArgs = {"--after-update", "x y"};
    request.exitMs = 1000;
    request.confirmMs = 2000;
    fs.addFolder(kUser);
    fs.addFile(kInstall / "bin" / "demo.exe", "exe");
  }
  void journal(JournalState state, const std::string& id = kId) {
    Journal journal;
    journal.id = id;
    journal.app = "demo";
    journal.from = "1.0.0";
    journal.to = "1.1.0";
    journal.executable = "bin/demo.exe";
    journal.state = state;
    fs.addFile(journalPath(workspaceForInstall(kInstall, Layout::folder)), serializeJournal(journal));
  }
  void journalAt(std::int64_t ms, JournalState state) {
    host.at(ms, [this, state] { journal(state); });
  }
  RunOutcome run() { return runWaiter(request, app, elevated, fs, host, sink, 100); }
  bool saidOnce(const std::string& line) const { return std::count(lines.begin(), lines.end(), line) == 1; }

  UpdateRequest request;
  std::optional<ProcessIdentity> app;
  std::optional<ProcessIdentity> elevated;
  MemoryFileSystem fs;
  FakeHost host;
  std::vector<std::string> lines;
  LogSink sink = [this](std::string_view line) { lines.emplace_back(line); };
};

TEST(WaiterTest, StartsTheNewVersionOnceSwappedAndEndsWhenConfirmed) {
  Waiter w;
  w.app = w.host.addProcess(kInstall / "bin" / "demo.exe", 400);
  w.journalAt(0, JournalState::swapping);
  w.journalAt(900, JournalState::swapped);
  w.journalAt(1500, JournalState::confirmed);
  EXPECT_EQ(w.run(), RunOutcome::updated);
  LaunchRequest expected;
  expected.program = kInstall / "bin" / "demo.exe";
  expected.arguments = {"--after-update", "x y"};
  expected.workingFolder = kInstall;
  expected.environment = {{"LOFTSWITCH_RELAUNCH", kId}};
  expected.breakaway = true;
  EXPECT_THAT(w.host.launches(), ::testing::ElementsAre(expected));
  EXPECT_GE(w.host.elapsedMs(), 1500);
  EXPECT_EQ(w.host.waits().front().timeoutMs, 1000);
  EXPECT_FALSE(w.fs.fileContent(kUser / kExited));

  // The working folder asked for, when it exists; never a path that climbs.
  Waiter cwd;
  cwd.request.relaunchCwd = "C:/Work";
  cwd.journal(JournalState::confirmed);
  EXPECT_EQ(cwd.run(), RunOutcome::updated);
  cwd.fs.addFolder("C:/Work");
  EXPECT_EQ(cwd.run(), RunOutcome::updated);
  cwd.request.executable = "missing/../demo.exe";
  EXPECT_EQ(cwd.run(), RunOutcome::updated);
  ASSERT_EQ(cwd.host.launches().size(), 3u);
  EXPECT_EQ(cwd.host.launches()[0].workingFolder, kInstall);
  EXPECT_EQ(cwd.host.launches()[1].workingFolder, std::filesystem::path("C:/Work"));
  EXPECT_EQ(cwd.host.launches()[2].program, kInstall);
}

TEST(WaiterTest, ReportsAnEarlyExitOnceAndThenStartsThePreviousVersion) {
  Waiter w;
  w.journal(JournalState::swapped);
  w.host.scriptLaunch(FakeHost::exitsWith(0xC0000005, 300));
  w.journalAt(1000, JournalState::rolledBack);
  EXPECT_EQ(w.run(), RunOutcome::rolledBack);
  EXPECT_EQ(w.fs.fileContent(kUser / kExited), "-1073741819");
  EXPECT_TRUE(w.saidOnce("the new version exited with code -1073741819 before confirming"));
  EXPECT_EQ(w.host.launches().size(), 2u);
  EXPECT_TRUE(w.saidOnce("relaunching the previous version: started"));

  // After its confirmed marker an exit is no failure.
  Waiter confirmed;
  confirmed.journal(JournalState::swapped);
  confirmed.fs.addFile(kUser / (std::string("confirmed-") + kId), "");
  confirmed.host.scriptLaunch(FakeHost::exitsWith(0, 300));
  confirmed.journalAt(1000, JournalState::confirmed);
  EXPECT_EQ(confirmed.run(), RunOutcome::updated);
  EXPECT_FALSE(confirmed.fs.fileContent(kUser / kExited));
  EXPECT_EQ(confirmed.host.launches().size(), 1u);
}

// How the helper ended decides what starts, and whether the waiter leaves
// the outcome the helper could not write.
TEST(WaiterTest, StartsOneVersionWhateverTheHelperLeft) {
  const struct {
    const char* name;
    std::function<void(Waiter&)> setUp;
    RunOutcome outcome;
    std::size_t launches;
    bool outcomeFile = false;
    bool waitsOut = false;  // until the exit and confirmation times and the helper's allowance
  } cases[] = {
      {"refused", [](Waiter& w) { w.journal(JournalState::rolledBack); }, RunOutcome::rolledBack, 1},
      {"rolled back after the start",
       [](Waiter& w) { w.journal(JournalState::swapped), w.journalAt(500, JournalState::rolledBack); },
       RunOutcome::rolledBack, 1},
      {"stopped without a journal of this attempt",
       [](Waiter& w) {
         w.journal(JournalState::confirmed, "fedcba9876543210");
         w.elevated = w.host.addProcess(kInstall / ".loftswitch" / "loftswitch-apply.exe", 300);
       },
       RunOutcome::failed, 1, true},
      {"stopped with a damaged journal",
       [](Waiter& w) {
         w.fs.addFile(journalPath(workspaceForInstall(kInstall, Layout::folder)), R"({"journal": 1, "id": ")");
         w.elevated = w.host.addProcess("C:/elevated.exe", 300);
       },
       RunOutcome::failed, 1, true},
      {"ended swapped, the first start failing",
       [](Waiter& w) {
         w.journal(JournalState::swapped);
         w.elevated = w.host.addProcess("C:/elevated.exe", 250);
         w.host.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "can't start it"}));
       },
       RunOutcome::unconfirmed, 2},
      {"died mid-swap",
       [](Waiter& w) { w.journal(JournalState::swapping), w.elevated = w.host.addProcess("C:/e.exe", 200); },
       RunOutcome::failed, 1},
      {"never wrote", [](Waiter&) {}, RunOutcome::failed, 1, false, true},
      {"app still running",
       [](Waiter& w) { w.journal(JournalState::confirmed), w.app = w.host.addProcess(kInstall / "bin" / "demo.exe"); },
       RunOutcome::appStillRunning, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Waiter w;
    c.setUp(w);
    EXPECT_EQ(w.run(), c.outcome);
    EXPECT_EQ(w.host.launches().size(), c.launches);
    EXPECT_LE(w.host.launchedPids().size(), 1u);
    EXPECT_EQ(w.fs.fileContent(kUser / kOutcome).has_value(), c.outcomeFile);
    EXPECT_EQ(w.host.elapsedMs() >= 1000 + 600000 + 2000, c.waitsOut);
  }
  Waiter stopped;
  cases[2].setUp(stopped);
  (void)stopped.run();
  EXPECT_EQ(stopped.fs.fileContent(kUser / kOutcome),
            R"({"detail":"the administrator helper stopped before it changed anything",)"
            R"("reason":"elevation-failed","result":"rolled-back"})");
}

}  // namespace
}  // namespace loftswitch
