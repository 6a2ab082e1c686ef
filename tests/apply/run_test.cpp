#include "apply/run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "support/fake_host.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "support/temp_folder.h"
#include "swap/swap_plan.h"
#include "swap/swapper.h"
#include "workspace/journal.h"
#include "workspace/journal_store.h"
#include "workspace/lock.h"

namespace loftswitch {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Each;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using Snapshot = MemoryFileSystem::Snapshot;

constexpr char kId[] = "00000000000000a2";

const Snapshot kVersion1 = {{"App.exe", "app 1"},
                            {"readme.txt", "readme 1"},
                            {"settings\\", ""},
                            {"settings\\user.ini", "the user's"}};
const Snapshot kVersion2 = {{"App.exe", "app 2"},
                            {"lib\\", ""},
                            {"lib\\core.dll", "core 2"},
                            {"settings\\", ""},
                            {"settings\\user.ini", "the user's"}};
const Snapshot kStaged = {{"App.exe", "app 2"},
                          {"lib\\", ""},
                          {"lib\\core.dll", "core 2"},
                          {"settings\\", ""},
                          {"settings\\user.ini", "shipped"}};

// The in-memory disk, with the journal's replaces recorded and the chosen
// ones (counted from 1) failing as a full disk would make them.
class Disk final : public MemoryFileSystem {
 public:
  std::filesystem::path journal;
  std::set<int> failingSaves;
  std::vector<JournalState> savedStates;

  Result<Unit> writeFile(const std::filesystem::path& path, std::string_view bytes) override {
    if (path != journal) return MemoryFileSystem::writeFile(path, bytes);
    if (failingSaves.contains(++saves_)) {
      return fail(ErrorCode::diskFull, "can't replace " + pathToUtf8(path) + ": the disk is full");
    }
    RETURN_IF_ERROR(MemoryFileSystem::writeFile(path, bytes));
    savedStates.push_back(parseJournal(bytes)->state);
    return ok();
  }

 private:
  int saves_ = 0;
};

// The fake host, with a look-in at the moment a program starts and at the
// first look at a started program's exit.
class Host final : public ApplyHost {
 public:
  FakeHost fake;
  std::function<void()> onLaunch;
  std::function<void()> onFirstExitCheck;

  bool waitForExit(ProcessIdentity identity, std::int64_t timeoutMs) override {
    return fake.waitForExit(identity, timeoutMs);
  }
  std::vector<std::uint32_t> processesInFolder(const std::filesystem::path& folder) override {
    return fake.processesInFolder(folder);
  }
  Result<std::unique_ptr<RunningApp>> launch(const LaunchRequest& request) override {
    if (onLaunch) std::exchange(onLaunch, nullptr)();
    ASSIGN_OR_RETURN(std::unique_ptr<RunningApp> app, fake.launch(request));
    return std::unique_ptr<RunningApp>(std::make_unique<Watched>(std::move(app), *this));
  }
  void sleep(std::int64_t ms) override { fake.sleep(ms); }
  HostTime now() override { return fake.now(); }

 private:
  class Watched final : public RunningApp {
   public:
    Watched(std::unique_ptr<RunningApp> inner, Host& host)
        : inner_(std::move(inner)), host_(host) {}
    std::optional<std::uint32_t> exitCode() override {
      if (host_.onFirstExitCheck) std::exchange(host_.onFirstExitCheck, nullptr)();
      return inner_->exitCode();
    }

   private:
    std::unique_ptr<RunningApp> inner_;
    Host& host_;
  };
};

// Version 1 installed with the user's settings; version 2 staged, shipping
// settings of its own. Only the lock file lies on the real disk.
class RunTest : public ::testing::Test {
 protected:
  RunTest() {
    std::filesystem::create_directories(workspace.workspacePath);
    disk.journal = journalPath(workspace);
    options.workspace = workspace.workspacePath;
    options.id = kId;
    options.lockWaitMs = 0;
    for (const auto& [name, content] : kVersion1) {
      if (!name.ends_with('\\')) disk.addFile(install / utf8ToPath(name), content);
    }
    for (const auto& [name, content] : kStaged) {
      if (!name.ends_with('\\')) disk.addFile(stagedFolder(workspace, kId) / utf8ToPath(name), content);
    }
    journal.id = kId;
    journal.app = "demo";
    journal.from = "1";
    journal.to = "2";
    journal.executable = "App.exe";
    journal.preserve = {"settings"};
    journal.relaunch.args = {"--updated", "two words"};
    journal.timeouts.exitMs = 10000;
    journal.timeouts.confirmMs = 20000;
  }

  RunOutcome apply() {
    disk.addFile(journalPath(workspace), serializeJournal(journal));
    return run(options, disk, host, sink);
  }

  Journal onDisk() const {
    Result<Journal> read = parseJournal(disk.fileContent(journalPath(workspace)).value_or(""));
    EXPECT_THAT(read, IsOkay());
    return read.value_or(Journal{});
  }

  // The install without the workspace inside it.
  Snapshot installed() const {
    Snapshot all = disk.snapshot(install);
    std::erase_if(all, [](const auto& entry) { return entry.first.starts_with(".loftswitch\\"); });
    return all;
  }

  Snapshot staged() const { return disk.snapshot(stagedFolder(workspace, kId)); }

  std::string firstLine() const {
    return std::string(options.repair ? "repairing " : "applying ") + options.id + " in " +
           pathToUtf8(workspace.targetRoot);
  }

  LaunchRequest launchOf(const Journal& from) const {
    LaunchRequest request;
    request.program = workspace.targetRoot / "App.exe";
    request.arguments = from.relaunch.args;
    request.workingFolder = workspace.targetRoot;
    request.environment = {{"LOFTSWITCH_RELAUNCH", from.id}};
    request.breakaway = true;
    return request;
  }

  // The new version's side of the contract: under the lock, the "swapped"
  // journal becomes "confirmed".
  void confirm() {
    auto lock = acquireWorkspaceLock(lockPath(workspace), 0);
    ASSERT_THAT(lock, IsOkay()) << "the new version couldn't take the lock";
    Journal current = onDisk();
    current.state = JournalState::confirmed;
    disk.addFile(journalPath(workspace), serializeJournal(current));
  }

  void holdLock() {
    auto lock = acquireWorkspaceLock(lockPath(workspace), 0);
    ASSERT_THAT(lock, IsOkay());
    heldLock = std::move(*lock);
  }

  // The journal as an interrupted run left it: the plan recorded with
  // `state` and its first `made` moves done, each with its progress mark.
  void interruptAfter(std::size_t made, JournalState state) {
    Result<std::vector<Move>> plan =
        planSwap(disk, workspace, kId, journal.preserve, journal.executable);
    ASSERT_THAT(plan, IsOkay());
    journal.moves = *plan;
    journal.state = state;
    for (std::size_t i = 0; i < made; ++i) {
      const Move& move = journal.moves[i];
      ASSERT_THAT(disk.move(*resolveMovePath(workspace, move.from, kId, move.path),
                            *resolveMovePath(workspace, move.to, kId, move.path)),
                  IsOkay());
      ASSERT_THAT(disk.append(progressPath(workspace, kId), "+"), IsOkay());
    }
  }

  // What every rollback of this update leaves: version 1 and the staged
  // update both whole, the outcome recorded, and version 1 started again.
  void expectRolledBack(RunOutcome outcome, std::string_view reason,
                        const ::testing::Matcher<std::string>& detail) {
    EXPECT_EQ(outcome, RunOutcome::rolledBack);
    EXPECT_EQ(installed(), kVersion1);
    EXPECT_EQ(staged(), kStaged);
    const Journal after = onDisk();
    EXPECT_EQ(after.state, JournalState::rolledBack);
    ASSERT_TRUE(after.outcome.has_value());
    EXPECT_EQ(after.outcome->result, "rolled-back");
    EXPECT_EQ(after.outcome->reason, reason);
    EXPECT_THAT(after.outcome->detail, detail);
    EXPECT_FALSE(after.reported);
    EXPECT_THAT(lines, Contains("rolling back (" + std::string(reason) + "): " +
                                after.outcome->detail));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "relaunching the previous version: started");
    ASSERT_FALSE(host.fake.launches().empty());
    EXPECT_EQ(host.fake.launches().back(), launchOf(after));
  }

  TempFolder temp;
  const std::filesystem::path install = temp / "App";
  const Workspace workspace = workspaceForInstall(install, Layout::folder);
  Disk disk;
  Host host;
  RunOptions options;
  Journal journal;
  WorkspaceLock heldLock;
  std::vector<std::string> lines;
  const LogSink sink = [this](std::string_view line) { lines.emplace_back(line); };
};

TEST_F(RunTest, RefusesAFolderThatIsNoWorkspace) {
  options.workspace = install / ".LoftSwitch";
  EXPECT_EQ(apply(), RunOutcome::failed);
  EXPECT_THAT(lines, ElementsAre("not a loftswitch workspace: " + pathToUtf8(options.workspace)));
  EXPECT_THAT(host.fake.waits(), IsEmpty());
  EXPECT_THAT(host.fake.folderQueries(), IsEmpty());
  EXPECT_EQ(onDisk(), journal);
}

TEST_F(RunTest, InstallsTheStagedUpdateRecordingTheMovesBeforeTheFirstOne) {
  host.fake.scriptLaunch(FakeHost::neverExits().then(500, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);

  EXPECT_EQ(installed(), kVersion2);
  EXPECT_THAT(lines, ElementsAre(firstLine(), "swapping 7 entries", "swapped; starting 2",
                                 "the new version confirmed the update"));
  EXPECT_THAT(disk.savedStates, ElementsAre(JournalState::swapping, JournalState::swapped));
  const Journal after = onDisk();
  EXPECT_EQ(after.state, JournalState::confirmed);
  // The user's settings step aside into the stage, the update's own copy
  // out of their way; the executable goes out last and comes in first.
  EXPECT_THAT(after.moves,
              ElementsAre(Move{Location::stage, Location::replaced, "settings"},
                          Move{Location::target, Location::stage, "settings"},
                          Move{Location::target, Location::backup, "readme.txt"},
                          Move{Location::target, Location::backup, "App.exe"},
                          Move{Location::stage, Location::target, "App.exe"},
                          Move{Location::stage, Location::target, "lib"},
                          Move{Location::stage, Location::target, "settings"}));
  EXPECT_THAT(host.fake.launches(), ElementsAre(launchOf(journal)));

  const std::vector<std::string>& calls = disk.operations();
  const auto firstMove = std::find_if(calls.begin(), calls.end(),
                                      [](const std::string& c) { return c.starts_with("move "); });
  const auto firstSave = std::find(calls.begin(), calls.end(),
                                   "writeFile " + pathToUtf8(journalPath(workspace)));
  EXPECT_LT(firstSave, firstMove);
}

TEST_F(RunTest, HandsTheLockBackBeforeTheNewVersionStarts) {
  bool lockFree = false;
  JournalState stateAtLaunch = JournalState::staged;
  host.onLaunch = [&] {
    lockFree = acquireWorkspaceLock(lockPath(workspace), 0).has_value();
    stateAtLaunch = onDisk().state;
  };
  host.fake.scriptLaunch(FakeHost::neverExits().then(100, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);
  EXPECT_TRUE(lockFree);
  EXPECT_EQ(stateAtLaunch, JournalState::swapped);
}

TEST_F(RunTest, WaitsForTheAppThenAfreshForTheOtherProgramsOfTheInstall) {
  options.app = host.fake.addProcess(install / "App.exe", 9000);
  host.fake.addProcess(install / "bin" / "helper.exe", 18000);
  host.fake.scriptLaunch(FakeHost::neverExits().then(0, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);
  ASSERT_EQ(host.fake.waits().size(), 1u);
  EXPECT_EQ(host.fake.waits()[0].timeoutMs, 10000);
  EXPECT_EQ(host.fake.waits()[0].identity, *options.app);
  EXPECT_GE(host.fake.elapsedMs(), 18000);
  EXPECT_THAT(host.fake.sleeps(), Each(100));
}

TEST_F(RunTest, ProgramsStartedFromTheWorkspaceAreNotWaitedFor) {
  host.fake.addProcess(workspace.workspacePath / "loftswitch-apply.exe");
  host.fake.addProcess(workspace.workspacePath / "stage" / kId / "new" / "App.exe");
  host.fake.scriptLaunch(FakeHost::neverExits().then(0, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);
  EXPECT_EQ(installed(), kVersion2);
}

TEST_F(RunTest, AnAppThatDoesNotExitLeavesItsReasonInTheStagedJournal) {
  options.app = host.fake.addProcess(install / "App.exe");
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  const std::string reason = "the app (process " + std::to_string(options.app->pid) +
                             ") didn't exit within 10000 ms";
  EXPECT_THAT(lines, ElementsAre(firstLine(), reason));
  Journal expected = journal;
  expected.lastError = reason;
  EXPECT_EQ(onDisk(), expected);
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_THAT(host.fake.folderQueries(), IsEmpty());
  EXPECT_THAT(host.fake.launches(), IsEmpty());
}

TEST_F(RunTest, AnotherProgramOfTheInstallBlocksTheUpdateAtTheDeadline) {
  const ProcessIdentity first = host.fake.addProcess(install / "tools" / "tray.exe");
  host.fake.addProcess(install / "App.exe");
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  const std::string reason = "another program from " + pathToUtf8(install) +
                             " is still running (process " + std::to_string(first.pid) + ")";
  EXPECT_THAT(lines, ElementsAre(firstLine(), reason));
  EXPECT_EQ(onDisk().lastError, reason);
  EXPECT_EQ(onDisk().state, JournalState::staged);
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_EQ(host.fake.elapsedMs(), 10000);
  EXPECT_THAT(host.fake.sleeps(), Each(100));
}

TEST_F(RunTest, AnExitTimeAlreadyPastLooksOnceAtTheOtherPrograms) {
  journal.timeouts.exitMs = -5;
  host.fake.addProcess(install / "App.exe");
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  EXPECT_THAT(host.fake.sleeps(), IsEmpty());
  EXPECT_EQ(host.fake.folderQueries().size(), 2u);
}

TEST_F(RunTest, AReasonIsRecordedOnlyInAStagedJournalOfThisAttemptUnderTheLock) {
  host.fake.addProcess(install / "App.exe");
  journal.id = "00000000000000b1";
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  EXPECT_EQ(onDisk(), journal);

  journal.id = kId;
  journal.state = JournalState::swapped;
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  EXPECT_EQ(onDisk(), journal);

  journal.state = JournalState::staged;
  holdLock();
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  EXPECT_EQ(onDisk(), journal);
  EXPECT_THAT(disk.savedStates, IsEmpty());
}

TEST_F(RunTest, WithoutAJournalTheAppGets60000MsAndThereIsNothingToDo) {
  options.app = host.fake.addProcess(install / "App.exe", 59000);
  EXPECT_EQ(run(options, disk, host, sink), RunOutcome::nothingToDo);
  ASSERT_EQ(host.fake.waits().size(), 1u);
  EXPECT_EQ(host.fake.waits()[0].timeoutMs, 60000);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[1], StartsWith("no update to apply: can't open "));
  EXPECT_EQ(installed(), kVersion1);
}

TEST_F(RunTest, ADamagedJournalIsNothingToDo) {
  disk.addFile(journalPath(workspace), "{\"journal\": 1, \"id\": 5}");
  EXPECT_EQ(run(options, disk, host, sink), RunOutcome::nothingToDo);
  EXPECT_THAT(lines, ElementsAre(firstLine(),
                                 "no update to apply: the update journal is damaged: id must be a "
                                 "string"));
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_THAT(disk.savedStates, IsEmpty());
}

TEST_F(RunTest, ABusyLockEndsTheRunWithoutTouchingAnything) {
  holdLock();
  EXPECT_EQ(apply(), RunOutcome::busy);
  EXPECT_THAT(lines, ElementsAre(firstLine(), "another update is in progress (" +
                                                  pathToUtf8(lockPath(workspace)) + " is locked)"));
  EXPECT_EQ(onDisk(), journal);
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_THAT(host.fake.launches(), IsEmpty());
}

TEST_F(RunTest, ALockFileThatCannotBeMadeIsBusyToo) {
  const Workspace elsewhere = workspaceForInstall(temp / "Missing", Layout::folder);
  options.workspace = elsewhere.workspacePath;
  disk.addFile(journalPath(elsewhere), serializeJournal(journal));
  EXPECT_EQ(run(options, disk, host, sink), RunOutcome::busy);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[1], StartsWith("can't open the lock " + pathToUtf8(lockPath(elsewhere))));
}

TEST_F(RunTest, LeavesAJournalOfAnotherAttemptOrAnotherStateAlone) {
  const std::vector<std::pair<std::string, JournalState>> cases = {
      {"00000000000000b1", JournalState::staged},
      {kId, JournalState::swapped},
      {kId, JournalState::confirmed},
      {kId, JournalState::rolledBack}};
  for (const auto& [id, state] : cases) {
    lines.clear();
    journal.id = id;
    journal.state = state;
    EXPECT_EQ(apply(), RunOutcome::nothingToDo);
    EXPECT_THAT(lines, ElementsAre(firstLine(), "nothing to do: the journal is " +
                                                    std::string(stateName(state)) +
                                                    " for attempt " + id));
    EXPECT_EQ(onDisk(), journal);
  }
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_THAT(host.fake.launches(), IsEmpty());
}

TEST_F(RunTest, SettlesAnInterruptedSwapWhateverAttemptTheCommandLineNames) {
  interruptAfter(4, JournalState::swapping);
  options.id = "00000000000000b1";
  expectRolledBack(apply(), "interrupted",
                   "the update was interrupted before it finished and has been undone");
  EXPECT_EQ(lines[0], firstLine());
  EXPECT_FALSE(disk.exists(progressPath(workspace, kId)));
}

TEST_F(RunTest, SettlesAnInterruptedRollback) {
  interruptAfter(7, JournalState::rollingBack);
  expectRolledBack(apply(), "interrupted",
                   "the update was interrupted before it finished and has been undone");
}

TEST_F(RunTest, RepairLeavesAStagedUpdateStaged) {
  options.repair = true;
  options.id = "";
  EXPECT_EQ(apply(), RunOutcome::nothingToDo);
  EXPECT_THAT(lines, ElementsAre("repairing  in " + pathToUtf8(workspace.targetRoot),
                                 "nothing to repair: the journal is staged"));
  EXPECT_EQ(onDisk(), journal);
  EXPECT_EQ(staged(), kStaged);
}

TEST_F(RunTest, RepairOfAFinalJournalIsNothingToDo) {
  options.repair = true;
  for (JournalState state : {JournalState::confirmed, JournalState::rolledBack}) {
    journal.state = state;
    EXPECT_EQ(apply(), RunOutcome::nothingToDo);
    EXPECT_EQ(lines.back(), "nothing to repair: the journal is " + std::string(stateName(state)));
    EXPECT_EQ(onDisk(), journal);
  }
}

TEST_F(RunTest, RepairRollsBackAFinishedSwapAndOverwritesTheOutcome) {
  interruptAfter(7, JournalState::swapped);
  journal.outcome = OutcomeRecord{"updated", "old reason", "old detail"};
  journal.reported = true;
  options.repair = true;
  expectRolledBack(apply(), "interrupted",
                   "the update was interrupted before it finished and has been undone");
  EXPECT_THAT(disk.savedStates, ElementsAre(JournalState::rollingBack, JournalState::rolledBack));
}

TEST_F(RunTest, AnInstallThatCannotBeChangedIsNotTouched) {
  disk.failOn(MemoryFileSystem::Operation::checkWritable, install,
              Error{ErrorCode::accessDenied, "the install can't be changed by this user"});
  expectRolledBack(apply(), "not-writable", "the install can't be changed by this user");
  EXPECT_THAT(onDisk().moves, IsEmpty());
  EXPECT_THAT(lines, Not(Contains(StartsWith("swapping "))));
}

TEST_F(RunTest, AStagedUpdateWithoutItsExecutableIsRolledBack) {
  ASSERT_THAT(disk.remove(stagedFolder(workspace, kId) / "App.exe"), IsOkay());
  EXPECT_EQ(apply(), RunOutcome::rolledBack);
  EXPECT_EQ(onDisk().outcome,
            (OutcomeRecord{"rolled-back", "io", "the staged update has no App.exe"}));
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_THAT(onDisk().moves, IsEmpty());
}

TEST_F(RunTest, AnUnsafeExecutableIsNeverLookedFor) {
  journal.executable = "../App.exe";
  EXPECT_EQ(apply(), RunOutcome::rolledBack);
  EXPECT_EQ(onDisk().outcome,
            (OutcomeRecord{"rolled-back", "io", "the staged update has no ../App.exe"}));
  EXPECT_THAT(onDisk().moves, IsEmpty());
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_EQ(staged(), kStaged);
  // Nothing outside the install is ever started in its place.
  ASSERT_EQ(host.fake.launches().size(), 1u);
  EXPECT_EQ(host.fake.launches()[0].program, appLocation(workspace));
}

TEST_F(RunTest, APlanThatFailsChangesNothing) {
  journal.preserve = {"settings", "../outside"};
  expectRolledBack(apply(), "io", "unsafe path in the update journal: \"../outside\"");
  EXPECT_THAT(onDisk().moves, IsEmpty());
}

TEST_F(RunTest, AFailedSaveOfTheSwapLeavesTheInstallUntouchedAndNoMovesToUndo) {
  disk.failingSaves = {1};
  const std::string message =
      "can't replace " + pathToUtf8(journalPath(workspace)) + ": the disk is full";
  expectRolledBack(apply(), "io", message);
  EXPECT_THAT(onDisk().moves, IsEmpty());
  EXPECT_THAT(lines, Contains("can't save the journal: " + message));
  EXPECT_THAT(disk.operations(), Not(Contains(StartsWith("move "))));
  EXPECT_THAT(disk.savedStates, ElementsAre(JournalState::rollingBack, JournalState::rolledBack));
}

TEST_F(RunTest, AFileInUseRollsBackWithReasonInUse) {
  disk.hold(install / "App.exe");
  journal.timeouts.retryAttempts = 3;
  expectRolledBack(apply(), "in-use",
                   StartsWith("App.exe is in use or locked by another program (can't move "));
  EXPECT_EQ(onDisk().moves.size(), 7u);
}

TEST_F(RunTest, AMoveThatFailsOtherwiseRollsBackWithReasonIo) {
  disk.failOn(MemoryFileSystem::Operation::move, install / "readme.txt",
              Error{ErrorCode::io, "the device went away"});
  expectRolledBack(apply(), "io", "readme.txt couldn't be moved (the device went away)");
}

TEST_F(RunTest, AFailedSaveAfterTheSwapUndoesIt) {
  disk.failingSaves = {2};
  expectRolledBack(apply(), "io",
                   "can't replace " + pathToUtf8(journalPath(workspace)) + ": the disk is full");
  EXPECT_THAT(disk.savedStates, ElementsAre(JournalState::swapping, JournalState::rollingBack,
                                            JournalState::rolledBack));
}

TEST_F(RunTest, ALaunchFailureRollsBackTheJournalReadAgainUnderTheLock) {
  host.fake.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "not a program"}));
  // Whoever changes the journal meanwhile must hold the lock, which the run
  // gave up before the launch; the rollback works from what they left.
  host.onLaunch = [this] {
    auto lock = acquireWorkspaceLock(lockPath(workspace), 0);
    ASSERT_THAT(lock, IsOkay());
    Journal current = onDisk();
    current.relaunch.args = {"--safe-mode"};
    disk.addFile(journalPath(workspace), serializeJournal(current));
  };
  expectRolledBack(apply(), "launch-failed", "the new version couldn't be started: not a program");
  EXPECT_THAT(host.fake.launches().back().arguments, ElementsAre("--safe-mode"));
}

TEST_F(RunTest, ALaunchFailureAfterTheJournalMovedOnFailsWithoutARollback) {
  host.fake.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "not a program"}));
  host.onLaunch = [this] { confirm(); };
  EXPECT_EQ(apply(), RunOutcome::failed);
  EXPECT_EQ(lines.back(), "swapped; starting 2");
  EXPECT_EQ(onDisk().state, JournalState::confirmed);
  EXPECT_EQ(installed(), kVersion2);
}

TEST_F(RunTest, ALaunchFailureWhileAnotherRunHoldsTheLockFails) {
  host.fake.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "not a program"}));
  host.onLaunch = [this] { holdLock(); };
  EXPECT_EQ(apply(), RunOutcome::failed);
  EXPECT_EQ(lines.back(), "swapped; starting 2");
  EXPECT_EQ(onDisk().state, JournalState::swapped);
  EXPECT_EQ(installed(), kVersion2);
}

TEST_F(RunTest, AnExitBeforeTheConfirmationRollsBackWithTheSignedExitCode) {
  host.fake.scriptLaunch(FakeHost::exitsWith(0xC0000005, 300));
  expectRolledBack(apply(), "exited",
                   "the new version exited with code -1073741819 before it finished starting");
  EXPECT_GE(host.fake.elapsedMs(), 300);
  EXPECT_THAT(disk.savedStates, ElementsAre(JournalState::swapping, JournalState::swapped,
                                            JournalState::rollingBack, JournalState::rolledBack));
}

TEST_F(RunTest, AnExitWithCodeZeroBeforeTheConfirmationIsAFailureToo) {
  host.fake.scriptLaunch(FakeHost::exitsWith(0, 0));
  expectRolledBack(apply(), "exited",
                   "the new version exited with code 0 before it finished starting");
}

TEST_F(RunTest, AVersionThatConfirmsAndExitsHasUpdated) {
  host.fake.scriptLaunch(FakeHost::exitsWith(0, 300).then(200, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);
  EXPECT_EQ(lines.back(), "the new version confirmed the update");
  EXPECT_EQ(onDisk().state, JournalState::confirmed);
  EXPECT_EQ(host.fake.launches().size(), 1u);
}

TEST_F(RunTest, AConfirmationJustBeforeTheExitIsFoundUnderTheLock) {
  host.fake.scriptLaunch(FakeHost::exitsWith(0, 0));
  host.onFirstExitCheck = [this] { confirm(); };
  EXPECT_EQ(apply(), RunOutcome::updated);
  EXPECT_EQ(lines.back(), "swapped; starting 2");
  EXPECT_EQ(onDisk().state, JournalState::confirmed);
  EXPECT_EQ(installed(), kVersion2);
  EXPECT_EQ(host.fake.launches().size(), 1u);
}

TEST_F(RunTest, AnExitSeenWhileAnotherRunHoldsTheLockFails) {
  host.fake.scriptLaunch(FakeHost::exitsWith(3, 300).then(100, [this] { holdLock(); }));
  EXPECT_EQ(apply(), RunOutcome::failed);
  EXPECT_EQ(lines.back(), "swapped; starting 2");
  EXPECT_EQ(onDisk().state, JournalState::swapped);
  EXPECT_EQ(installed(), kVersion2);
}

TEST_F(RunTest, WithoutAConfirmationTheRunEndsUnconfirmedAndLeavesTheVersionRunning) {
  EXPECT_EQ(apply(), RunOutcome::unconfirmed);
  EXPECT_EQ(lines.back(),
            "no confirmation yet; the new version's startup() will confirm when it gets there");
  EXPECT_EQ(host.fake.elapsedMs(), 20000);
  EXPECT_THAT(host.fake.sleeps(), Each(100));
  EXPECT_EQ(onDisk().state, JournalState::swapped);
  EXPECT_EQ(installed(), kVersion2);
  ASSERT_EQ(host.fake.launchedPids().size(), 1u);
  EXPECT_TRUE(host.fake.isRunning(host.fake.launchedPids()[0]));
}

TEST_F(RunTest, AConfirmationTimeOfZeroLooksOnce) {
  journal.timeouts.confirmMs = 0;
  host.fake.scriptLaunch(FakeHost::neverExits().then(0, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::unconfirmed);
  EXPECT_THAT(host.fake.sleeps(), IsEmpty());
}

TEST_F(RunTest, TimeOutsTooLongForTheClockAreNoDeadline) {
  journal.timeouts.exitMs = std::numeric_limits<std::int64_t>::max();
  journal.timeouts.confirmMs = std::numeric_limits<std::int64_t>::max();
  host.fake.addProcess(install / "App.exe", 5000);
  // An exit, not a confirmation, ends the wait: a run that waits for ever
  // still ends.
  host.fake.scriptLaunch(FakeHost::exitsWith(3, 90000));
  expectRolledBack(apply(), "exited",
                   "the new version exited with code 3 before it finished starting");
  EXPECT_GE(host.fake.elapsedMs(), 95000);
}

TEST_F(RunTest, AnUndoThatKeepsFailingIsTriedFourTimesAndLeftForTheNextRun) {
  interruptAfter(4, JournalState::swapping);
  journal.timeouts.retryAttempts = 1;
  disk.hold(backupFolder(workspace, kId) / "readme.txt");
  EXPECT_EQ(apply(), RunOutcome::failed);
  EXPECT_THAT(host.fake.sleeps(), ElementsAre(2000, 2000, 2000));
  const auto count = [&](std::string_view prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.starts_with(prefix); });
  };
  EXPECT_EQ(count("the rollback is incomplete, trying again: readme.txt is in use"), 3);
  EXPECT_THAT(lines.back(), StartsWith("the rollback is incomplete and will be retried on the "
                                       "next start: readme.txt is in use"));
  EXPECT_EQ(onDisk().state, JournalState::rollingBack);
  EXPECT_FALSE(onDisk().outcome.has_value());
  EXPECT_THAT(host.fake.launches(), IsEmpty());

  disk.release(backupFolder(workspace, kId) / "readme.txt");
  lines.clear();
  journal = onDisk();
  expectRolledBack(apply(), "interrupted",
                   "the update was interrupted before it finished and has been undone");
}

TEST_F(RunTest, AnUndoThatSucceedsOnALaterTryFinishesTheRollback) {
  interruptAfter(4, JournalState::swapping);
  journal.timeouts.retryAttempts = 1;
  disk.hold(backupFolder(workspace, kId) / "readme.txt");
  host.fake.after(3000, [this] { disk.release(backupFolder(workspace, kId) / "readme.txt"); });
  expectRolledBack(apply(), "interrupted",
                   "the update was interrupted before it finished and has been undone");
  EXPECT_THAT(host.fake.sleeps(), ElementsAre(2000, 2000));
}

TEST_F(RunTest, ARollbackGoesOnWhenItsSavesFail) {
  interruptAfter(4, JournalState::swapping);
  const Journal before = journal;
  disk.failingSaves = {1, 2};
  options.repair = true;
  EXPECT_EQ(apply(), RunOutcome::rolledBack);
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_EQ(onDisk(), before);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.starts_with("can't save the journal: "); }),
            2);
  EXPECT_EQ(lines.back(), "relaunching the previous version: started");
}

TEST_F(RunTest, APreviousVersionThatCannotStartIsStillRolledBack) {
  interruptAfter(2, JournalState::swapping);
  host.fake.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "not a program"}));
  EXPECT_EQ(apply(), RunOutcome::rolledBack);
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_EQ(onDisk().state, JournalState::rolledBack);
  EXPECT_EQ(lines.back(), "relaunching the previous version: not a program");
}

TEST_F(RunTest, RelaunchRequestStartsTheInstalledExecutableWithTheAttemptId) {
  loftswitch::Run current(options, disk, host, sink, workspace);
  EXPECT_EQ(current.relaunchRequest(journal), launchOf(journal));

  disk.addFolder(temp / "Documents");
  journal.relaunch.cwd = pathToUtf8(temp / "Documents");
  EXPECT_EQ(current.relaunchRequest(journal).workingFolder, temp / "Documents");

  for (const std::string& notAFolder :
       {pathToUtf8(temp / "Gone"), pathToUtf8(install / "readme.txt")}) {
    journal.relaunch.cwd = notAFolder;
    EXPECT_EQ(current.relaunchRequest(journal).workingFolder, workspace.targetRoot) << notAFolder;
  }

  journal.executable = "bin/../../evil.exe";
  EXPECT_EQ(current.relaunchRequest(journal).program, appLocation(workspace));
  journal.executable = "bin/App.exe";
  EXPECT_EQ(current.relaunchRequest(journal).program, workspace.targetRoot / "bin" / "App.exe");
}

}  // namespace
}  // namespace loftswitch
