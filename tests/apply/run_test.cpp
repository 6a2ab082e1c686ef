#include "apply/run.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <tuple>
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

using ::testing::AnyOf;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Snapshot = MemoryFileSystem::Snapshot;
using Fault = MemoryFileSystem::Fault;
using enum JournalState;

constexpr char kId[] = "00000000000000a2";
constexpr char kOther[] = "00000000000000b1";

// Every content is unique, so that each file can be found wherever it went.
const Snapshot kVersion1 = {{"App.exe", "app 1"}, {"data/", ""}, {"data/cache.bin", "cache 1"},
                            {"data/user.db", "the user's"}, {"logs/", ""},
                            {"logs/old.log", "log 1"}, {"readme.txt", "readme 1"}};
const Snapshot kVersion2 = {{"App.exe", "app 2"}, {"data/", ""}, {"data/schema.sql", "schema 2"},
                            {"data/user.db", "the user's"}, {"lib/", ""},
                            {"lib/core.dll", "core 2"}};
const Snapshot kStaged = {{"App.exe", "app 2"}, {"data/", ""}, {"data/schema.sql", "schema 2"},
                          {"data/user.db", "shipped db"}, {"lib/", ""},
                          {"lib/core.dll", "core 2"}};
// What version 2 makes before it crashes: in a folder it ships, in one that
// only version 1 had, and in one that neither has.
const Snapshot kMade = {{"lib/cache.tmp", "made in lib"}, {"logs/new.log", "made in logs"},
                        {"cache/state.bin", "made in cache"}};

// Version 1 installed with the user's database; version 2 staged, shipping
// a database of its own. Only the lock file lies on the real disk.
class World {
 public:
  // One folder for the lock of every run, the sweeps' many included.
  static const TempFolder& temp() {
    static const TempFolder folder;
    return folder;
  }

  World() {
    std::filesystem::create_directories(workspace.workspacePath);
    options.workspace = workspace.workspacePath;
    options.id = kId;
    options.lockWaitMs = 0;
    for (const auto& [name, content] : kVersion1) {
      if (!name.ends_with('/')) disk.addFile(install / utf8ToPath(name), content);
    }
    for (const auto& [name, content] : kStaged) {
      if (!name.ends_with('/')) disk.addFile(stagedFolder(workspace, kId) / utf8ToPath(name), content);
    }
    journal.id = kId;
    journal.app = "demo";
    journal.from = "1";
    journal.to = "2";
    journal.executable = "App.exe";
    journal.preserve = {"data/user.db"};
    journal.relaunch.args = {"--updated", "two words"};
    journal.timeouts.exitMs = 10000;
    journal.timeouts.confirmMs = 20000;
    disk.addFile(journalPath(workspace), serializeJournal(journal));
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
    Snapshot all;
    for (const auto& [stored, content] : disk.snapshot(install)) {
      std::string name = stored;
      std::replace(name.begin(), name.end(), '\\', '/');
      if (!name.starts_with(".loftswitch/")) all.emplace(name, content);
    }
    return all;
  }

  std::string firstLine() const {
    return std::string(options.repair ? "repairing " : "applying ") + options.id + " in " +
           pathToUtf8(workspace.targetRoot);
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

  // A version 2 that makes its files and then exits with code 3.
  FakeHost::LaunchScript crashing() {
    return FakeHost::exitsWith(3, 300).then(100, [this] {
      for (const auto& [name, content] : kMade) disk.addFile(install / utf8ToPath(name), content);
      made = true;
    });
  }

  // What every run must leave: the outcome says what the install holds, and
  // no file of either version is lost.
  void expectTruthful(RunOutcome outcome) {
    const Journal after = onDisk();
    if (outcome == RunOutcome::updated) {
      EXPECT_EQ(installed(), kVersion2);
      EXPECT_EQ(after.state, confirmed);
    } else if (outcome == RunOutcome::unconfirmed) {
      EXPECT_EQ(installed(), kVersion2);
      EXPECT_THAT(after.state, AnyOf(swapped, confirmed));
    } else if (outcome == RunOutcome::nothingToDo) {
      EXPECT_EQ(installed(), after.state == confirmed ? kVersion2 : kVersion1);
    } else if (outcome == RunOutcome::rolledBack) {
      EXPECT_EQ(installed(), kVersion1);
      // Nothing of version 1 stays behind in the backup.
      for (const auto& [name, content] : disk.snapshot(backupFolder(workspace, kId))) {
        EXPECT_TRUE(name.ends_with('\\')) << name;
      }
    } else {
      EXPECT_EQ(outcome, RunOutcome::failed) << ::testing::PrintToString(lines);
    }
    std::multiset<std::string> contents;
    for (const auto& [name, content] : disk.snapshot()) contents.insert(content);
    for (const Snapshot* files : {&kVersion1, &kStaged, made ? &kMade : &kVersion1}) {
      for (const auto& [name, content] : *files) {
        EXPECT_TRUE(name.ends_with('/') || contents.contains(content)) << name << " is lost";
      }
    }
  }

  // Runs `--repair` on a healthy disk when `outcome` left the attempt
  // unsettled: the install must then be exactly one of the two versions.
  void expectSettled(RunOutcome outcome) {
    disk.heal();
    if (outcome == RunOutcome::failed) {
      FakeHost fresh;
      RunOptions repair = options;
      repair.repair = true;
      outcome = run(repair, disk, fresh, sink);
      expectTruthful(outcome);
    }
    const Snapshot now = installed();
    EXPECT_TRUE(now == kVersion1 || now == kVersion2) << "a mixed install after the repair";
  }

  // For every way of failing and every operation k that `drive` reaches, a
  // world starting from `start` (a fresh one when none) with operation k
  // failing: the run tells the truth, and at most one repair settles the
  // install. A run that no longer reaches k ends `clean`. Counts the runs.
  template <typename Drive>
  static std::size_t sweep(Drive drive, RunOutcome clean, const World* start = nullptr) {
    std::size_t runs = 0;
    for (Fault fault : {Fault::once, Fault::forGood, Fault::powerLoss}) {
      for (std::size_t k = 1;; ++k, ++runs) {
        World world;
        if (start) {
          world.disk = start->disk;
          world.made = start->made;
        }
        world.disk.failAt(k, fault);
        SCOPED_TRACE("fault " + std::to_string(static_cast<int>(fault)) + " at operation " +
                     std::to_string(k));
        RunOutcome outcome = RunOutcome::failed;
        try {
          outcome = drive(world);
          world.expectTruthful(outcome);
        } catch (const MemoryFileSystem::PowerLoss&) {
        }
        if (!world.disk.faultReached()) {
          EXPECT_EQ(outcome, clean);
          break;
        }
        world.expectSettled(outcome);
        if (::testing::Test::HasFailure()) return runs;
      }
    }
    return runs;
  }

  RunOutcome repair() {
    FakeHost fresh;
    options.repair = true;
    return run(options, disk, fresh, sink);
  }

  const std::filesystem::path install = temp() / "App";
  const Workspace workspace = workspaceForInstall(install, Layout::folder);
  MemoryFileSystem disk;
  FakeHost host;
  RunOptions options;
  Journal journal;
  WorkspaceLock heldLock;
  bool made = false;
  std::vector<std::string> lines;
  const LogSink sink = [this](std::string_view line) { lines.emplace_back(line); };
};

class RunTest : public ::testing::Test, public World {};

TEST_F(RunTest, AnUpdateThatConfirmsTellsTheTruthWhateverOperationFails) {
  RecordProperty("runs", std::to_string(sweep(
                             [](World& t) {
                               t.host.scriptLaunch(
                                   FakeHost::neverExits().then(500, [&t] { t.confirm(); }));
                               return t.apply();
                             },
                             RunOutcome::updated)));
}

TEST_F(RunTest, AVersionThatCrashesIsRolledBackWhateverOperationFails) {
  RecordProperty("runs", std::to_string(sweep(
                             [](World& t) {
                               t.host.scriptLaunch(t.crashing());
                               return t.apply();
                             },
                             RunOutcome::rolledBack)));
}

// Every state a power loss can leave a crashing update in (each once), then
// a repair with any operation failing in any way.
TEST_F(RunTest, ARepairSettlesEveryInterruptedStateWhateverOperationFails) {
  std::set<Snapshot> seen;
  std::size_t runs = 0;
  for (std::size_t lost = 1;; ++lost) {
    World start;
    start.host.scriptLaunch(start.crashing());
    start.disk.failAt(lost, Fault::powerLoss);
    try {
      (void)start.apply();
    } catch (const MemoryFileSystem::PowerLoss&) {
    }
    if (!start.disk.faultReached()) break;
    start.disk.heal();
    if (!seen.insert(start.disk.snapshot()).second) continue;
    SCOPED_TRACE("power lost at " + std::to_string(lost));
    World clean;
    clean.disk = start.disk;
    runs += sweep([](World& t) { return t.repair(); }, clean.repair(), &start);
    if (HasFailure()) return;
  }
  RecordProperty("runs", std::to_string(runs));
  RecordProperty("states", std::to_string(seen.size()));
}

TEST_F(RunTest, HandsTheLockBackBeforeTheNewVersionStarts) {
  host.onLaunch = [this] {
    EXPECT_THAT(acquireWorkspaceLock(lockPath(workspace), 0), IsOkay());
    EXPECT_EQ(onDisk().state, swapped);
  };
  host.scriptLaunch(FakeHost::neverExits().then(0, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);
  EXPECT_THAT(lines, ElementsAre(firstLine(), "swapping 9 entries", "swapped; starting 2",
                                 "the new version confirmed the update"));
}

TEST_F(RunTest, WaitsForTheAppThenAfreshForTheOtherProgramsButNotTheWorkspaces) {
  options.app = host.addProcess(install / "App.exe", 9000);
  host.addProcess(install / "bin" / "helper.exe", 18000);
  host.addProcess(workspace.workspacePath / "loftswitch-apply.exe");
  host.addProcess(workspace.workspacePath / "stage" / kId / "new" / "App.exe");
  host.scriptLaunch(FakeHost::neverExits().then(0, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);
  ASSERT_EQ(host.waits().size(), 1u);
  EXPECT_EQ(host.waits()[0].timeoutMs, 10000);
  EXPECT_EQ(host.waits()[0].identity, *options.app);
  EXPECT_GE(host.elapsedMs(), 18000);
  EXPECT_THAT(host.sleeps(), Each(100));
}

TEST_F(RunTest, AProgramOfTheInstallThatStaysLeavesItsReasonInTheStagedJournal) {
  options.app = host.addProcess(install / "App.exe");
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  journal.lastError = "the app (process " + std::to_string(options.app->pid) +
                      ") didn't exit within 10000 ms";
  EXPECT_THAT(lines, ElementsAre(firstLine(), journal.lastError));
  EXPECT_EQ(onDisk(), journal);
  // Only a staged journal of this attempt, under the lock, takes a reason.
  options.app.reset();
  journal.id = kOther;
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  EXPECT_EQ(onDisk(), journal);
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_THAT(host.launches(), IsEmpty());
}

TEST_F(RunTest, LeavesAJournalOfAnotherAttemptOrAnotherStateAlone) {
  const std::tuple<bool, std::string, JournalState, std::string> cases[] = {
      {false, kOther, staged, "nothing to do: the journal is staged for attempt " + std::string(kOther)},
      {false, kId, swapped, "nothing to do: the journal is swapped for attempt " + std::string(kId)},
      {true, kId, staged, "nothing to repair: the journal is staged"},
      {true, kId, rolledBack, "nothing to repair: the journal is rolled-back"}};
  for (const auto& [repair, id, state, said] : cases) {
    options.repair = repair;
    journal.id = id;
    journal.state = state;
    EXPECT_EQ(apply(), RunOutcome::nothingToDo);
    EXPECT_EQ(lines.back(), said);
    EXPECT_EQ(onDisk(), journal);
  }
  EXPECT_EQ(installed(), kVersion1);
  EXPECT_THAT(host.launches(), IsEmpty());
}

// Runs that cannot decide about a rollback end "failed" and say why, with the
// new version left in place for a repair.
TEST_F(RunTest, ARunThatCannotRetakeTheJournalFailsAndSaysWhy) {
  const Error notAProgram{ErrorCode::launchFailed, "not a program"};
  const std::pair<FakeHost::LaunchScript, std::string> cases[] = {
      {FakeHost::launchFails(notAProgram), "the new version couldn't be started: not a program, "},
      {FakeHost::exitsWith(3, 300), "the new version exited with code 3 before it finished "
                                    "starting, "}};
  for (const auto& [script, why] : cases) {
    World world;
    world.options.lockWaitMs = 60;  // waited out, not given up at once
    world.host.scriptLaunch(script);
    world.host.onLaunch = [&world] { world.holdLock(); };
    EXPECT_EQ(world.apply(), RunOutcome::failed);
    EXPECT_THAT(world.lines.back(), StartsWith(why + "but the update can't be rolled back: "));
    EXPECT_EQ(world.onDisk().state, swapped);
    EXPECT_EQ(world.installed(), kVersion2);
  }
  host.scriptLaunch(FakeHost::launchFails(notAProgram));
  host.onLaunch = [this] { confirm(); };
  EXPECT_EQ(apply(), RunOutcome::failed);
  EXPECT_EQ(lines.back(), "the new version couldn't be started: not a program, but the journal no "
                          "longer holds this swapped update: it is confirmed for attempt " +
                              std::string(kId));
}

TEST_F(RunTest, AConfirmationJustBeforeTheExitIsFoundUnderTheLock) {
  host.scriptLaunch(FakeHost::exitsWith(0, 300).then(200, [this] { confirm(); }));
  EXPECT_EQ(apply(), RunOutcome::updated);
  EXPECT_EQ(lines.back(), "the new version confirmed the update");
  EXPECT_EQ(host.launches().size(), 1u);
}

TEST_F(RunTest, WithoutAConfirmationTheRunEndsUnconfirmedAndLeavesTheVersionRunning) {
  EXPECT_EQ(apply(), RunOutcome::unconfirmed);
  EXPECT_EQ(lines.back(), "no confirmation yet; the new version's startup() will confirm when it gets there");
  EXPECT_EQ(host.elapsedMs(), 20000);
  EXPECT_THAT(host.sleeps(), Each(100));
  EXPECT_EQ(onDisk().state, swapped);
  EXPECT_EQ(installed(), kVersion2);
}

TEST_F(RunTest, AnExitIsRolledBackWithItsCodeAndThePreviousVersionStarted) {
  host.scriptLaunch(FakeHost::exitsWith(0xC0000005, 300));
  EXPECT_EQ(apply(), RunOutcome::rolledBack);
  EXPECT_EQ(onDisk().outcome,
            (OutcomeRecord{"rolled-back", "exited",
                           "the new version exited with code -1073741819 before it finished "
                           "starting"}));
  EXPECT_EQ(lines.back(), "relaunching the previous version: started");
  ASSERT_EQ(host.launches().size(), 2u);
  EXPECT_EQ(host.launches()[1], host.launches()[0]);
}

TEST_F(RunTest, AnUndoThatKeepsFailingIsTriedFourTimesAndLeftForTheNextRun) {
  journal.timeouts.retryAttempts = 1;
  host.scriptLaunch(crashing().then(200, [this] { disk.hold(backupFolder(workspace, kId) / "readme.txt"); }));
  EXPECT_EQ(apply(), RunOutcome::failed);
  EXPECT_THAT(host.sleeps(), Contains(2000).Times(3));
  EXPECT_THAT(lines.back(), StartsWith("the rollback is incomplete and will be retried on the "
                                       "next start: readme.txt is in use"));
  EXPECT_EQ(onDisk().state, rollingBack);
  EXPECT_EQ(host.launches().size(), 1u);
  disk.release(backupFolder(workspace, kId) / "readme.txt");
  FakeHost fresh;
  EXPECT_EQ(run(options, disk, fresh, sink), RunOutcome::rolledBack);
  EXPECT_EQ(onDisk().outcome->reason, "interrupted");
  EXPECT_EQ(installed(), kVersion1) << ::testing::PrintToString(lines);
}

// Nothing outside the install is ever started in the app's place, nor in a
// folder that is gone.
TEST_F(RunTest, RelaunchRequestStartsTheInstalledExecutableWithTheAttemptId) {
  loftswitch::Run current(options, disk, host, sink, workspace);
  EXPECT_EQ(current.relaunchRequest(journal),
            (LaunchRequest{workspace.targetRoot / "App.exe", journal.relaunch.args,
                           workspace.targetRoot, {{"LOFTSWITCH_RELAUNCH", kId}}, true}));
  disk.addFolder(temp() / "Documents");
  journal.relaunch.cwd = pathToUtf8(temp() / "Documents");
  EXPECT_EQ(current.relaunchRequest(journal).workingFolder, temp() / "Documents");
  journal.relaunch.cwd = pathToUtf8(install / "readme.txt");
  EXPECT_EQ(current.relaunchRequest(journal).workingFolder, workspace.targetRoot);
  journal.executable = "bin/../../evil.exe";
  EXPECT_EQ(current.relaunchRequest(journal).program, appLocation(workspace));
}

}  // namespace
}  // namespace loftswitch
