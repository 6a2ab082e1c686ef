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
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using Snapshot = MemoryFileSystem::Snapshot;
using enum JournalState;

constexpr char kId[] = "00000000000000a2";
constexpr char kOther[] = "00000000000000b1";
constexpr char kInterrupted[] = "the update was interrupted before it finished and has been undone";

const Snapshot kVersion1 = {{"App.exe", "app 1"}, {"readme.txt", "readme 1"},
                            {"settings\\", ""}, {"settings\\user.ini", "the user's"}};
const Snapshot kVersion2 = {{"App.exe", "app 2"}, {"lib\\", ""}, {"lib\\core.dll", "core 2"},
                            {"settings\\", ""}, {"settings\\user.ini", "the user's"}};
const Snapshot kStaged = {{"App.exe", "app 2"}, {"lib\\", ""}, {"lib\\core.dll", "core 2"},
                          {"settings\\", ""}, {"settings\\user.ini", "shipped"}};

// The in-memory disk, with the journal's replaces recorded and the chosen
// ones (counted from 1) failing as a full disk would make them.
class Disk final : public MemoryFileSystem {
 public:
  std::filesystem::path journal;
  std::set<int> failingSaves;
  std::vector<JournalState> savedStates;

  Result<Unit> writeFile(const std::filesystem::path& path, std::string_view bytes) override {
    if (path != journal) return MemoryFileSystem::writeFile(path, bytes);
    if (failingSaves.contains(++saves_)) return fail(ErrorCode::diskFull, "the disk is full");
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

  bool waitForExit(ProcessIdentity id, std::int64_t ms) override { return fake.waitForExit(id, ms); }
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
    Watched(std::unique_ptr<RunningApp> inner, Host& host) : inner_(std::move(inner)), host_(host) {}
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
 public:
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

  std::string firstLine() const {
    return std::string(options.repair ? "repairing " : "applying ") + options.id + " in " +
           pathToUtf8(workspace.targetRoot);
  }

  LaunchRequest launchOf(const Journal& from) const {
    return {workspace.targetRoot / "App.exe", from.relaunch.args, workspace.targetRoot,
            {{"LOFTSWITCH_RELAUNCH", from.id}}, true};
  }

  // The new version's side of the contract: under the lock, the "swapped"
  // journal becomes "confirmed".
  void confirm() {
    auto lock = acquireWorkspaceLock(lockPath(workspace), 0);
    ASSERT_THAT(lock, IsOkay()) << "the new version couldn't take the lock";
    Journal current = onDisk();
    current.state = confirmed;
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
    Result<std::vector<Move>> plan = planSwap(disk, workspace, kId, journal.preserve, journal.executable);
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

  // A run that ends "failed" with the new version left in place.
  void expectLeftInstalled(JournalState state) {
    EXPECT_EQ(apply(), RunOutcome::failed);
    EXPECT_EQ(lines.back(), "swapped; starting 2");
    EXPECT_EQ(onDisk().state, state);
    EXPECT_EQ(installed(), kVersion2);
  }

  // What every rollback of this update leaves: version 1 and the staged
  // update both whole, the outcome recorded, and version 1 started again.
  void expectRolledBack(RunOutcome outcome, std::string_view reason,
                        const ::testing::Matcher<std::string>& detail) {
    EXPECT_EQ(outcome, RunOutcome::rolledBack);
    EXPECT_EQ(installed(), kVersion1);
    EXPECT_EQ(disk.snapshot(stagedFolder(workspace, kId)), kStaged);
    EXPECT_FALSE(disk.exists(progressPath(workspace, kId)));
    const Journal after = onDisk();
    EXPECT_EQ(after.state, rolledBack);
    ASSERT_TRUE(after.outcome.has_value());
    EXPECT_EQ(after.outcome->result, "rolled-back");
    EXPECT_EQ(after.outcome->reason, reason);
    EXPECT_THAT(after.outcome->detail, detail);
    EXPECT_FALSE(after.reported);
    EXPECT_THAT(lines, Contains("rolling back (" + std::string(reason) + "): " + after.outcome->detail));
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

// A failure, how it is brought about, and the outcome it must leave.
struct Rollback {
  std::string name;
  std::function<void(RunTest&)> setUp;
  std::string reason;
  ::testing::Matcher<std::string> detail;
  bool beforeTheSwap = false;
};

class RunRollbackTest : public RunTest, public ::testing::WithParamInterface<Rollback> {};

TEST_P(RunRollbackTest, PutsBackVersion1AndStartsIt) {
  GetParam().setUp(*this);
  expectRolledBack(apply(), GetParam().reason, GetParam().detail);
  if (GetParam().beforeTheSwap) {
    EXPECT_THAT(onDisk().moves, IsEmpty());
    EXPECT_THAT(disk.operations(), Not(Contains(StartsWith("move "))));
  }
}

std::function<void(RunTest&)> launching(FakeHost::LaunchScript script) {
  return [script](RunTest& t) { t.host.fake.scriptLaunch(script); };
}

const Rollback kRollbacks[] = {
    {"NotWritable",
     [](RunTest& t) {
       t.disk.failOn(MemoryFileSystem::Operation::checkWritable, t.install,
                     Error{ErrorCode::accessDenied, "the install can't be changed by this user"});
     },
     "not-writable", "the install can't be changed by this user", true},
    {"UnsafePreservedPath", [](RunTest& t) { t.journal.preserve = {"settings", "../outside"}; },
     "io", "unsafe path in the update journal: \"../outside\"", true},
    {"SaveBeforeTheSwapFails", [](RunTest& t) { t.disk.failingSaves = {1}; }, "io",
     "the disk is full", true},
    {"FileInUse",
     [](RunTest& t) {
       t.disk.hold(t.install / "App.exe");
       t.journal.timeouts.retryAttempts = 3;
     },
     "in-use", StartsWith("App.exe is in use or locked by another program (can't move ")},
    {"MoveFails",
     [](RunTest& t) {
       t.disk.failOn(MemoryFileSystem::Operation::move, t.install / "readme.txt",
                     Error{ErrorCode::io, "the device went away"});
     },
     "io", "readme.txt couldn't be moved (the device went away)"},
    {"SaveAfterTheSwapFails", [](RunTest& t) { t.disk.failingSaves = {2}; }, "io",
     "the disk is full"},
    // Whoever changes the journal meanwhile must hold the lock, which the run
    // gave up before the launch; the rollback works from what they left.
    {"LaunchFailsAfterTheJournalGotNewArguments",
     [](RunTest& t) {
       t.host.fake.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "not a program"}));
       t.host.onLaunch = [&t] {
         auto lock = acquireWorkspaceLock(lockPath(t.workspace), 0);
         Journal current = t.onDisk();
         current.relaunch.args = {"--safe-mode"};
         t.disk.addFile(journalPath(t.workspace), serializeJournal(current));
       };
     },
     "launch-failed", "the new version couldn't be started: not a program"},
    {"ExitsWithANegativeCode", launching(FakeHost::exitsWith(0xC0000005, 300)), "exited",
     "the new version exited with code -1073741819 before it finished starting"},
    {"ExitsWithCodeZero", launching(FakeHost::exitsWith(0, 0)), "exited",
     "the new version exited with code 0 before it finished starting"},
    // Time-outs too long for the clock are no deadline; an exit still ends
    // the wait.
    {"ExitsWithoutADeadline",
     [](RunTest& t) {
       t.journal.timeouts.exitMs = std::numeric_limits<std::int64_t>::max();
       t.journal.timeouts.confirmMs = std::numeric_limits<std::int64_t>::max();
       t.host.fake.addProcess(t.install / "App.exe", 5000);
       t.host.fake.scriptLaunch(FakeHost::exitsWith(3, 90000));
     },
     "exited", "the new version exited with code 3 before it finished starting"},
    {"InterruptedSwapWhateverAttemptIsNamed",
     [](RunTest& t) {
       t.interruptAfter(4, swapping);
       t.options.id = kOther;
     },
     "interrupted", kInterrupted},
    {"InterruptedRollback", [](RunTest& t) { t.interruptAfter(7, rollingBack); }, "interrupted",
     kInterrupted},
    {"RepairOfAFinishedSwapOverwritesTheOutcome",
     [](RunTest& t) {
       t.interruptAfter(7, swapped);
       t.journal.outcome = OutcomeRecord{"updated", "old reason", "old detail"};
       t.journal.reported = true;
       t.options.repair = true;
     },
     "interrupted", kInterrupted},
};

INSTANTIATE_TEST_SUITE_P(Failures, RunRollbackTest, ::testing::ValuesIn(kRollbacks),
                         [](const auto& info) { return info.param.name; });

TEST_F(RunTest, RefusesAFolderThatIsNoWorkspace) {
  options.workspace = install / ".LoftSwitch";
  EXPECT_EQ(apply(), RunOutcome::failed);
  EXPECT_THAT(lines, ElementsAre("not a loftswitch workspace: " + pathToUtf8(options.workspace)));
  EXPECT_THAT(host.fake.folderQueries(), IsEmpty());
  EXPECT_EQ(onDisk(), journal);
}

TEST_F(RunTest, InstallsTheStagedUpdateRecordingTheMovesBeforeTheFirstOne) {
  host.fake.scriptLaunch(FakeHost::neverExits().then(500, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);

  EXPECT_EQ(installed(), kVersion2);
  EXPECT_THAT(lines, ElementsAre(firstLine(), "swapping 7 entries", "swapped; starting 2",
                                 "the new version confirmed the update"));
  EXPECT_THAT(disk.savedStates, ElementsAre(swapping, swapped));
  EXPECT_EQ(onDisk().state, confirmed);
  EXPECT_EQ(onDisk().moves.size(), 7u);
  EXPECT_THAT(host.fake.launches(), ElementsAre(launchOf(journal)));

  const std::vector<std::string>& calls = disk.operations();
  const auto firstMove = std::find_if(calls.begin(), calls.end(),
                                      [](const std::string& c) { return c.starts_with("move "); });
  EXPECT_LT(std::find(calls.begin(), calls.end(), "writeFile " + pathToUtf8(journalPath(workspace))),
            firstMove);
}

TEST_F(RunTest, HandsTheLockBackBeforeTheNewVersionStarts) {
  bool lockFree = false;
  JournalState stateAtLaunch = staged;
  host.onLaunch = [&] {
    lockFree = acquireWorkspaceLock(lockPath(workspace), 0).has_value();
    stateAtLaunch = onDisk().state;
  };
  host.fake.scriptLaunch(FakeHost::neverExits().then(100, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);
  EXPECT_TRUE(lockFree);
  EXPECT_EQ(stateAtLaunch, swapped);
}

TEST_F(RunTest, WaitsForTheAppThenAfreshForTheOtherProgramsButNotTheWorkspaces) {
  options.app = host.fake.addProcess(install / "App.exe", 9000);
  host.fake.addProcess(install / "bin" / "helper.exe", 18000);
  host.fake.addProcess(workspace.workspacePath / "loftswitch-apply.exe");
  host.fake.addProcess(workspace.workspacePath / "stage" / kId / "new" / "App.exe");
  host.fake.scriptLaunch(FakeHost::neverExits().then(0, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);
  ASSERT_EQ(host.fake.waits().size(), 1u);
  EXPECT_EQ(host.fake.waits()[0].timeoutMs, 10000);
  EXPECT_EQ(host.fake.waits()[0].identity, *options.app);
  EXPECT_GE(host.fake.elapsedMs(), 18000);
  EXPECT_THAT(host.fake.sleeps(), Each(100));
  EXPECT_EQ(installed(), kVersion2);
}

TEST_F(RunTest, AnAppThatDoesNotExitLeavesItsReasonInTheStagedJournal) {
  options.app = host.fake.addProcess(install / "App.exe");
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  const std::string reason = "the app (process " + std::to_string(options.app->pid) +
                             ") didn't exit within 10000 ms";
  EXPECT_THAT(lines, ElementsAre(firstLine(), reason));
  journal.lastError = reason;
  EXPECT_EQ(onDisk(), journal);
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
  journal.lastError = reason;
  EXPECT_EQ(onDisk(), journal);
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
  journal.id = kOther;
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  EXPECT_EQ(onDisk(), journal);
  journal.id = kId;
  journal.state = swapped;
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  EXPECT_EQ(onDisk(), journal);
  journal.state = staged;
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
}

TEST_F(RunTest, ADamagedJournalIsNothingToDo) {
  disk.addFile(journalPath(workspace), "{\"journal\": 1, \"id\": 5}");
  EXPECT_EQ(run(options, disk, host, sink), RunOutcome::nothingToDo);
  EXPECT_THAT(lines, ElementsAre(firstLine(), "no update to apply: the update journal is damaged: "
                                              "id must be a string"));
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

  // A lock file that cannot be made is busy too.
  const Workspace elsewhere = workspaceForInstall(temp / "Missing", Layout::folder);
  options.workspace = elsewhere.workspacePath;
  disk.addFile(journalPath(elsewhere), serializeJournal(journal));
  EXPECT_EQ(run(options, disk, host, sink), RunOutcome::busy);
  EXPECT_THAT(lines.back(), StartsWith("can't open the lock " + pathToUtf8(lockPath(elsewhere))));
}

TEST_F(RunTest, LeavesAJournalOfAnotherAttemptOrAnotherStateAlone) {
  const std::pair<std::string, JournalState> cases[] = {
      {kOther, staged}, {kId, swapped}, {kId, confirmed}, {kId, rolledBack}};
  for (const auto& [id, state] : cases) {
    lines.clear();
    journal.id = id;
    journal.state = state;
    EXPECT_EQ(apply(), RunOutcome::nothingToDo);
    EXPECT_THAT(lines, ElementsAre(firstLine(), "nothing to do: the journal is " +
                                                    std::string(stateName(state)) + " for attempt " + id));
    EXPECT_EQ(onDisk(), journal);
  }
  options.repair = true;
  for (JournalState state : {staged, confirmed, rolledBack}) {
    journal.state = state;
    EXPECT_EQ(apply(), RunOutcome::nothingToDo);
    EXPECT_EQ(lines.back(), "nothing to repair: the journal is " + std::string(stateName(state)));
    EXPECT_EQ(onDisk(), journal);
  }
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_EQ(disk.snapshot(stagedFolder(workspace, kId)), kStaged);
  EXPECT_THAT(host.fake.launches(), IsEmpty());
}

TEST_F(RunTest, AStagedUpdateWithoutItsExecutableIsRolledBackAndNothingElseStarted) {
  // Nothing outside the install is ever started in the app's place.
  const std::pair<std::string, std::filesystem::path> cases[] = {
      {"../App.exe", appLocation(workspace)}, {"App.exe", install / "App.exe"}};
  for (const auto& [executable, started] : cases) {
    if (executable == "App.exe") {
      ASSERT_THAT(disk.remove(stagedFolder(workspace, kId) / "App.exe"), IsOkay());
    }
    journal.executable = executable;
    EXPECT_EQ(apply(), RunOutcome::rolledBack);
    EXPECT_EQ(onDisk().outcome,
              (OutcomeRecord{"rolled-back", "io", "the staged update has no " + executable}));
    EXPECT_THAT(onDisk().moves, IsEmpty());
    EXPECT_EQ(installed(), kVersion1);
    EXPECT_EQ(host.fake.launches().back().program, started);
  }
}

TEST_F(RunTest, ALaunchFailureAfterTheJournalMovedOnFailsWithoutARollback) {
  host.fake.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "not a program"}));
  host.onLaunch = [this] { confirm(); };
  expectLeftInstalled(confirmed);
}

TEST_F(RunTest, ALaunchFailureWhileAnotherRunHoldsTheLockFails) {
  host.fake.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "not a program"}));
  host.onLaunch = [this] { holdLock(); };
  expectLeftInstalled(swapped);
}

TEST_F(RunTest, AnExitSeenWhileAnotherRunHoldsTheLockFails) {
  host.fake.scriptLaunch(FakeHost::exitsWith(3, 300).then(100, [this] { holdLock(); }));
  expectLeftInstalled(swapped);
}

TEST_F(RunTest, AVersionThatConfirmsAndThenExitsHasUpdated) {
  host.fake.scriptLaunch(FakeHost::exitsWith(0, 300).then(200, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);
  EXPECT_EQ(lines.back(), "the new version confirmed the update");
  EXPECT_EQ(host.fake.launches().size(), 1u);
}

TEST_F(RunTest, AConfirmationJustBeforeTheExitIsFoundUnderTheLock) {
  host.fake.scriptLaunch(FakeHost::exitsWith(0, 0));
  host.onFirstExitCheck = [this] { confirm(); };
  EXPECT_EQ(apply(), RunOutcome::updated);
  EXPECT_EQ(onDisk().state, confirmed);
  EXPECT_EQ(installed(), kVersion2);
  EXPECT_EQ(host.fake.launches().size(), 1u);
}

TEST_F(RunTest, WithoutAConfirmationTheRunEndsUnconfirmedAndLeavesTheVersionRunning) {
  EXPECT_EQ(apply(), RunOutcome::unconfirmed);
  EXPECT_EQ(lines.back(), "no confirmation yet; the new version's startup() will confirm when it gets there");
  EXPECT_EQ(host.fake.elapsedMs(), 20000);
  EXPECT_THAT(host.fake.sleeps(), Each(100));
  EXPECT_EQ(onDisk().state, swapped);
  EXPECT_EQ(installed(), kVersion2);
  ASSERT_EQ(host.fake.launchedPids().size(), 1u);
  EXPECT_THAT(host.fake.processesInFolder(install), ElementsAre(host.fake.launchedPids()[0]));
}

TEST_F(RunTest, AConfirmationTimeOfZeroLooksOnce) {
  journal.timeouts.confirmMs = 0;
  host.fake.scriptLaunch(FakeHost::neverExits().then(0, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::unconfirmed);
  EXPECT_THAT(host.fake.sleeps(), IsEmpty());
}

TEST_F(RunTest, AnUndoThatKeepsFailingIsTriedFourTimesAndLeftForTheNextRun) {
  interruptAfter(4, swapping);
  journal.timeouts.retryAttempts = 1;
  disk.hold(backupFolder(workspace, kId) / "readme.txt");
  EXPECT_EQ(apply(), RunOutcome::failed);
  EXPECT_THAT(host.fake.sleeps(), ElementsAre(2000, 2000, 2000));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
              return line.starts_with("the rollback is incomplete, trying again: readme.txt is in use");
            }),
            3);
  EXPECT_THAT(lines.back(), StartsWith("the rollback is incomplete and will be retried on the "
                                       "next start: readme.txt is in use"));
  EXPECT_EQ(onDisk().state, rollingBack);
  EXPECT_FALSE(onDisk().outcome.has_value());
  EXPECT_THAT(host.fake.launches(), IsEmpty());

  disk.release(backupFolder(workspace, kId) / "readme.txt");
  lines.clear();
  journal = onDisk();
  expectRolledBack(apply(), "interrupted", kInterrupted);
}

TEST_F(RunTest, AnUndoThatSucceedsOnALaterTryFinishesTheRollback) {
  interruptAfter(4, swapping);
  journal.timeouts.retryAttempts = 1;
  disk.hold(backupFolder(workspace, kId) / "readme.txt");
  host.fake.after(3000, [this] { disk.release(backupFolder(workspace, kId) / "readme.txt"); });
  expectRolledBack(apply(), "interrupted", kInterrupted);
  EXPECT_THAT(host.fake.sleeps(), ElementsAre(2000, 2000));
}

TEST_F(RunTest, ARollbackGoesOnWhenItsSavesFail) {
  interruptAfter(4, swapping);
  const Journal before = journal;
  disk.failingSaves = {1, 2};
  options.repair = true;
  EXPECT_EQ(apply(), RunOutcome::rolledBack);
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_EQ(onDisk(), before);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "can't save the journal: the disk is full"), 2);
  EXPECT_EQ(lines.back(), "relaunching the previous version: started");
}

TEST_F(RunTest, APreviousVersionThatCannotStartIsStillRolledBack) {
  interruptAfter(2, swapping);
  host.fake.scriptLaunch(FakeHost::launchFails(Error{ErrorCode::launchFailed, "not a program"}));
  EXPECT_EQ(apply(), RunOutcome::rolledBack);
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_EQ(onDisk().state, rolledBack);
  EXPECT_EQ(lines.back(), "relaunching the previous version: not a program");
}

TEST_F(RunTest, RelaunchRequestStartsTheInstalledExecutableWithTheAttemptId) {
  loftswitch::Run current(options, disk, host, sink, workspace);
  EXPECT_EQ(current.relaunchRequest(journal), launchOf(journal));
  disk.addFolder(temp / "Documents");
  const std::pair<std::filesystem::path, std::filesystem::path> folders[] = {
      {temp / "Documents", temp / "Documents"},
      {temp / "Gone", workspace.targetRoot},
      {install / "readme.txt", workspace.targetRoot}};
  for (const auto& [cwd, used] : folders) {
    journal.relaunch.cwd = pathToUtf8(cwd);
    EXPECT_EQ(current.relaunchRequest(journal).workingFolder, used) << journal.relaunch.cwd;
  }
  journal.executable = "bin/../../evil.exe";
  EXPECT_EQ(current.relaunchRequest(journal).program, appLocation(workspace));
  journal.executable = "bin/App.exe";
  EXPECT_EQ(current.relaunchRequest(journal).program, workspace.targetRoot / "bin" / "App.exe");
}

}  // namespace
}  // namespace loftswitch
