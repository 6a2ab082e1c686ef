#include "apply/run.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/text.h"
#include "support/fake_host.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "support/temp_folder.h"
#include "workspace/journal.h"
#include "workspace/lock.h"

namespace loftswitch {
namespace {

using ::testing::AnyOf;
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
    // Marked as told, as an earlier outcome may have left it: a rollback must
    // be told all the same.
    journal = {.id = kId, .app = "demo", .from = "1", .to = "2", .executable = "App.exe",
               .preserve = {"data/user.db"}, .relaunch = {.args = {"--updated", "two words"}},
               .timeouts = {.exitMs = 10000, .confirmMs = 20000}, .reported = true};
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
      EXPECT_FALSE(after.state == rolledBack && after.reported) << "a rollback the user isn't told of";
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
  RecordProperty("runs", static_cast<int>(sweep([](World& t) {
    t.host.scriptLaunch(FakeHost::neverExits().then(500, [&t] { t.confirm(); }));
    return t.apply();
  }, RunOutcome::updated)));
}

TEST_F(RunTest, AVersionThatCrashesIsRolledBackWhateverOperationFails) {
  RecordProperty("runs", static_cast<int>(sweep([](World& t) {
    t.host.scriptLaunch(t.crashing());
    return t.apply();
  }, RunOutcome::rolledBack)));
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
  RecordProperty("runs", static_cast<int>(runs));
  RecordProperty("states", static_cast<int>(seen.size()));
}

// The tool and the staged version in the workspace are no programs of the
// install to wait for; a program that stays leaves its reason in the staged
// journal of this attempt, and only there.
TEST_F(RunTest, WaitsForTheAppThenAfreshForTheOtherProgramsButNotTheWorkspaces) {
  options.app = host.addProcess(install / "App.exe", 9000);
  const ProcessIdentity helper = host.addProcess(install / "bin" / "helper.exe");
  host.addProcess(workspace.workspacePath / "loftswitch-apply.exe");
  host.addProcess(workspace.workspacePath / "stage" / kId / "new" / "App.exe");
  EXPECT_EQ(apply(), RunOutcome::appStillRunning);
  EXPECT_THAT(host.waitTimeouts(), ElementsAre(10000));
  EXPECT_EQ(host.elapsedMs(), 19000);
  journal.lastError = "another program from " + pathToUtf8(install) +
                      " is still running (process " + std::to_string(helper.pid) + ")";
  EXPECT_THAT(lines, ElementsAre("applying " + std::string(kId) + " in " + pathToUtf8(install),
                                 journal.lastError));
  EXPECT_EQ(onDisk(), journal);
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
      {FakeHost::exitsWith(0xC0000005, 300), "the new version exited with code 0xC0000005 "
                                             "(access violation) before it finished starting, "}};
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

// A rollback claims no move that was never made.
TEST_F(RunTest, AnUnsavedPlanLeavesNoMovesInTheRolledBackJournal) {
  disk.failOn(MemoryFileSystem::Operation::writeFile, journalPath(workspace), Error{ErrorCode::diskFull, "full"}, 1);
  EXPECT_EQ(apply(), RunOutcome::rolledBack);
  EXPECT_THAT(onDisk().moves, IsEmpty());
}

// Nothing outside the install is ever started in the app's place.
TEST_F(RunTest, RelaunchRequestStartsTheInstalledExecutableWithTheAttemptId) {
  loftswitch::Run current(options, disk, host, sink, workspace);
  EXPECT_EQ(current.relaunchRequest(journal),
            (LaunchRequest{workspace.targetRoot / "App.exe", journal.relaunch.args,
                           workspace.targetRoot, {{"LOFTSWITCH_RELAUNCH", kId}}, true}));
  journal.executable = "bin/../../evil.exe";
  journal.relaunch.cwd = pathToUtf8(temp() / "Gone");
  EXPECT_EQ(current.relaunchRequest(journal).program, appLocation(workspace));
  EXPECT_EQ(current.relaunchRequest(journal).workingFolder, workspace.targetRoot);
}

}  // namespace
}  // namespace loftswitch
