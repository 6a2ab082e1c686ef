#include "swap/swapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/win32.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "swap/swap_plan.h"

namespace loftswitch {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Snapshot = MemoryFileSystem::Snapshot;

constexpr std::string_view kId = "0123456789abcdef";

const Workspace& workspace() {
  static const Workspace w = workspaceForInstall("C:/App", Layout::folder);
  return w;
}

std::filesystem::path at(Location location, std::string_view path) {
  return *resolveMovePath(workspace(), location, kId, path);
}

// A swapper over `fs` whose pauses and log lines the test can read.
struct Recorder {
  std::vector<std::int64_t> pauses;
  std::vector<std::string> lines;
  std::function<void()> onPause;

  Swapper swapper(FileSystem& fs, std::int32_t attempts = 20, std::int64_t delay = 50,
                  std::int64_t maxDelay = 1000) {
    return Swapper(
        fs, workspace(), std::string(kId), attempts, delay, maxDelay,
        [this](std::int64_t ms) {
          pauses.push_back(ms);
          if (onPause) onPause();
        },
        [this](std::string_view line) { lines.emplace_back(line); });
  }
};

std::size_t movesTried(const MemoryFileSystem& fs) {
  std::size_t count = 0;
  for (const std::string& line : fs.operations()) count += line.starts_with("move ") ? 1 : 0;
  return count;
}

TEST(ResolveMovePathTest, JoinsSafePathsOntoTheirLocationRoot) {
  using std::filesystem::path;
  const path stage = path("C:/App/.loftswitch/stage/0123456789abcdef");
  EXPECT_EQ(at(Location::target, "lib/core.dll"), path("C:/App/lib/core.dll"));
  EXPECT_EQ(at(Location::stage, ".hidden/a b"), stage / "new" / ".hidden" / "a b");
  EXPECT_EQ(at(Location::replaced, "x"), stage / "replaced" / "x");
  EXPECT_EQ(at(Location::backup, "Ä/y"),
            path("C:/App/.loftswitch/backup/0123456789abcdef") / utf8ToPath("Ä") / "y");
}

TEST(ResolveMovePathTest, RefusesEveryPathThatCouldLeaveItsRoot) {
  const std::vector<std::string> unsafe = {
      "", "a//b", "/a", "a/", "..", ".", "a/../b", "a/./b", "C:x", "C:/x", "a/b:stream",
      "a\\b", "\\x", std::string("a\0b", 3), "...", "a./b", "a ", "\xff\xfe"};
  for (const std::string& path : unsafe) {
    for (Location location : {Location::target, Location::stage}) {
      EXPECT_THAT(resolveMovePath(workspace(), location, kId, path),
                  FailsWith(ErrorCode::invalidData,
                            "unsafe path in the update journal: \"" + path + "\""))
          << path;
    }
  }
}

TEST(SwapperTest, RetriesAHeldEntryUntilItIsFree) {
  MemoryFileSystem fs;
  fs.addFile("C:/App/App.exe", "old");
  fs.addFolder(stageFolder(workspace(), kId));
  fs.hold("C:/App/App.exe");
  Recorder recorder;
  recorder.onPause = [&] {
    if (recorder.pauses.size() == 2) fs.release("C:/App/App.exe");
  };
  const std::vector<Move> moves = {{Location::target, Location::backup, "App.exe"}};

  EXPECT_THAT(recorder.swapper(fs).run(moves), IsOkay());
  EXPECT_EQ(fs.fileContent(at(Location::backup, "App.exe")), "old");
  EXPECT_THAT(recorder.pauses, ElementsAre(50, 100));
  ASSERT_EQ(recorder.lines.size(), 2u);
  EXPECT_THAT(recorder.lines[0],
              StartsWith("retrying App.exe after: can't move " +
                         pathToUtf8(at(Location::target, "App.exe")) + " to "));
  EXPECT_EQ(fs.fileContent(progressPath(workspace(), kId)), "+");
}

TEST(SwapperTest, GivesUpOnAnEntryHeldForGoodAfterItsTriesAndNamesItsHolders) {
  MemoryFileSystem fs;
  fs.addFile("C:/App/App.exe", "old");
  fs.hold("C:/App/App.exe", {{"App.exe", 4242}, {"indexer.exe", 88}});
  Recorder recorder;
  const std::filesystem::path to = at(Location::backup, "App.exe");

  EXPECT_THAT(recorder.swapper(fs, 3, 50, 80).moveWithRetry("C:/App/App.exe", to, "App.exe"),
              FailsWith(ErrorCode::inUse, "App.exe is in use or locked by another program "
                                          "(can't move C:/App/App.exe to " +
                                              pathToUtf8(to) + ": " + windowsErrorText(32) +
                                              "); held by App.exe (process 4242), indexer.exe "
                                              "(process 88)"));
  EXPECT_EQ(movesTried(fs), 3u);
  EXPECT_THAT(recorder.pauses, ElementsAre(50, 80));
  EXPECT_EQ(recorder.lines.back(),
            "App.exe: held by App.exe (process 4242), indexer.exe (process 88)");
  fs.hold("C:/App/App.exe");

  // The defaults: 20 tries, pauses doubling from 50 ms up to 1000 ms.
  Recorder defaults;
  EXPECT_THAT(defaults.swapper(fs).moveWithRetry("C:/App/App.exe", to, "App.exe"),
              FailsWithCode(ErrorCode::inUse));
  std::int64_t slept = 0;
  for (std::int64_t pause : defaults.pauses) slept += pause;
  EXPECT_EQ(defaults.pauses.size(), 19u);
  EXPECT_EQ(slept, 15550);
  EXPECT_EQ(defaults.lines.size(), 19u);
}

TEST(SwapperTest, RetriesAccessDeniedButStopsAtOnceOnOtherErrors) {
  MemoryFileSystem fs;
  fs.addFile("C:/App/a", "a");
  fs.addFile("C:/App/b", "b");
  fs.addFile(at(Location::backup, "b"), "already there");
  fs.addFolder(stageFolder(workspace(), kId));
  fs.failOn(MemoryFileSystem::Operation::move, "C:/App/a",
            Error{ErrorCode::accessDenied, "denied"}, 1);
  Recorder recorder;
  const std::vector<Move> moves = {{Location::target, Location::backup, "a"},
                                   {Location::target, Location::backup, "b"},
                                   {Location::target, Location::backup, "never"}};

  const Result<Unit> result = recorder.swapper(fs).run(moves);
  EXPECT_THAT(result, FailsWithCode(ErrorCode::io));
  EXPECT_THAT(result, FailsWithMessageThat(AllOf(StartsWith("b couldn't be moved (can't move "),
                                                 HasSubstr("(183))"))));
  EXPECT_THAT(recorder.pauses, ElementsAre(50));
  ASSERT_EQ(recorder.lines.size(), 2u);
  EXPECT_EQ(recorder.lines[0], "retrying a after: denied");
  EXPECT_EQ(recorder.lines[1], "swap stopped: " + result.error().message);
  EXPECT_EQ(fs.fileContent(progressPath(workspace(), kId)), "+");
  EXPECT_EQ(fs.fileContent("C:/App/b"), "b");
}

TEST(SwapperTest, KeepsTriesAndPausesWithinBoundsWhateverTheSettings) {
  MemoryFileSystem fs;
  fs.addFile("C:/App/a", "a");
  fs.hold("C:/App/a");
  // Settings from a damaged journal: at least one try, pauses between zero
  // and the longest pause.
  const struct {
    std::int32_t attempts;
    std::int64_t delay, maxDelay;
    std::vector<std::int64_t> pauses;
  } cases[] = {{0, 50, 1000, {}}, {3, -50, -10, {0, 0}}, {3, 5000, 1000, {1000, 1000}}};
  for (const auto& c : cases) {
    Recorder recorder;
    EXPECT_THAT(recorder.swapper(fs, c.attempts, c.delay, c.maxDelay).moveWithRetry("C:/App/a", "C:/b", "a"),
                FailsWithCode(ErrorCode::inUse));
    EXPECT_EQ(recorder.pauses, c.pauses) << c.attempts << " " << c.delay << " " << c.maxDelay;
  }
  EXPECT_EQ(movesTried(fs), 7u);
}

TEST(SwapperTest, AnUnsafePathAnywhereMovesNothing) {
  MemoryFileSystem fs;
  fs.addFile("C:/App/a", "a");
  const Snapshot before = fs.snapshot();
  Recorder recorder;
  const std::vector<Move> moves = {{Location::target, Location::backup, "a"},
                                   {Location::stage, Location::target, "x/../../evil"}};
  EXPECT_THAT(recorder.swapper(fs).run(moves),
              FailsWith(ErrorCode::invalidData,
                        "unsafe path in the update journal: \"x/../../evil\""));
  EXPECT_EQ(fs.snapshot(), before);
  EXPECT_THAT(recorder.lines, IsEmpty());
}

// Undoing a move made without its mark is the crash tests' business.
TEST(SwapperTest, AMarkThatCannotBeWrittenStopsTheSwap) {
  MemoryFileSystem fs;
  fs.addFile("C:/App/a", "a");
  fs.addFile("C:/App/b", "b");
  fs.addFolder(stageFolder(workspace(), kId));
  fs.failOn(MemoryFileSystem::Operation::append, progressPath(workspace(), kId),
            Error{ErrorCode::diskFull, "disk full"});
  Recorder recorder;
  EXPECT_THAT(recorder.swapper(fs).run({{Location::target, Location::backup, "a"},
                                        {Location::target, Location::backup, "b"}}),
              FailsWith(ErrorCode::diskFull, "disk full"));
  EXPECT_FALSE(fs.exists("C:/App/a"));
  EXPECT_TRUE(fs.exists("C:/App/b"));
}

TEST(SwapperTest, UndoWithoutProgressLooksAtTheFirstMoveOnly) {
  MemoryFileSystem fs;
  fs.addFile("C:/App/a", "a");
  fs.addFile("C:/App/b", "b");
  const std::vector<Move> moves = {{Location::target, Location::backup, "a"},
                                   {Location::target, Location::backup, "b"}};
  ASSERT_THAT(fs.move("C:/App/a", at(Location::backup, "a")), IsOkay());
  ASSERT_THAT(fs.move("C:/App/b", at(Location::backup, "b")), IsOkay());
  Recorder recorder;
  EXPECT_THAT(recorder.swapper(fs).undo(moves), IsOkay());
  EXPECT_EQ(fs.fileContent("C:/App/a"), "a");
  EXPECT_FALSE(fs.exists("C:/App/b"));
}

TEST(SwapperTest, UndoLeavesAMoveAloneWhenBothSidesExist) {
  MemoryFileSystem fs;
  fs.addFile("C:/App/a", "new a");
  fs.addFile(at(Location::backup, "a"), "old a");
  fs.addFile(progressPath(workspace(), kId), "+");
  const Snapshot before = fs.snapshot();
  Recorder recorder;
  EXPECT_THAT(recorder.swapper(fs).undo({{Location::target, Location::backup, "a"}}), IsOkay());
  Snapshot expected = before;
  std::erase_if(expected, [](const auto& entry) { return entry.first.ends_with("\\progress"); });
  EXPECT_EQ(fs.snapshot(), expected);
}

TEST(SwapperTest, UndoPutsBackAllItCanAndReportsTheLatestFailure) {
  MemoryFileSystem fs;
  fs.addFolder(stageFolder(workspace(), kId));
  std::vector<Move> moves;
  for (std::string name : {"a", "b", "c", "d"}) {
    fs.addFile("C:/App/" + name, name);
    moves.push_back({Location::target, Location::backup, name});
  }
  moves.push_back({Location::stage, Location::target, "x:bad"});
  Recorder recorder;
  {
    std::vector<Move> safe(moves.begin(), moves.end() - 1);
    ASSERT_THAT(recorder.swapper(fs).run(safe), IsOkay());
  }
  fs.hold(at(Location::backup, "b"));
  fs.hold(at(Location::backup, "c"));
  Recorder undoing;
  const Result<Unit> result = undoing.swapper(fs, 2).undo(moves);
  EXPECT_THAT(result, FailsWithMessageThat(HasSubstr("unsafe path")));
  EXPECT_EQ(fs.fileContent("C:/App/a"), "a");
  EXPECT_EQ(fs.fileContent("C:/App/d"), "d");
  EXPECT_FALSE(fs.exists("C:/App/b"));
  EXPECT_THAT(undoing.lines, ElementsAre(StartsWith("retrying c after: "),
                                         StartsWith("undo couldn't restore c: c is in use"),
                                         StartsWith("retrying b after: "),
                                         StartsWith("undo couldn't restore b: b is in use")));
  EXPECT_EQ(fs.fileContent(progressPath(workspace(), kId)), "++++");

  // Without the unsafe move the latest failing move's error comes back; once
  // the files are free a further undo finishes the job.
  moves.pop_back();
  EXPECT_THAT(undoing.swapper(fs, 1).undo(moves),
              FailsWithMessageThat(StartsWith("c is in use or locked by another program (")));
  fs.release(at(Location::backup, "b"));
  fs.release(at(Location::backup, "c"));
  EXPECT_THAT(undoing.swapper(fs).undo(moves), IsOkay());
  for (std::string name : {"a", "b", "c", "d"}) EXPECT_EQ(fs.fileContent("C:/App/" + name), name);
}

TEST(SwapperTest, UndoStopsWhenTheProgressCannotBeRead) {
  MemoryFileSystem fs;
  fs.addFile(at(Location::backup, "a"), "a");
  fs.addFile(progressPath(workspace(), kId), std::string(1048577, '+'));
  const Snapshot before = fs.snapshot();
  Recorder recorder;
  EXPECT_THAT(recorder.swapper(fs).undo({{Location::target, Location::backup, "a"}}),
              FailsWithCode(ErrorCode::tooLarge));
  EXPECT_EQ(fs.snapshot(), before);
}

// An install and an update that together need moves between all four
// locations: kept paths with and without a copy in the update, old entries
// that go and new ones that come.
void setUpUpdate(MemoryFileSystem& fs) {
  fs.addFile("C:/App/App.exe", "old exe");
  fs.addFile("C:/App/lib/core.dll", "old core");
  fs.addFile("C:/App/data/user.db", "user data");
  fs.addFile("C:/App/data/cache.bin", "cache");
  fs.addFile("C:/App/settings.ini", "user settings");
  fs.addFile("C:/App/plugins/p.dll", "plugin");
  fs.addFile("C:/App/old.txt", "old");
  fs.addFile("C:/App/.loftswitch/journal.json", "{}");
  const std::filesystem::path stage = stagedFolder(workspace(), kId);
  fs.addFile(stage / "App.exe", "new exe");
  fs.addFile(stage / "lib" / "core.dll", "new core");
  fs.addFile(stage / "lib" / "extra.dll", "extra");
  fs.addFile(stage / "data" / "user.db", "shipped data");
  fs.addFile(stage / "data" / "defaults.db", "defaults");
  fs.addFile(stage / "settings.ini", "shipped settings");
  fs.addFile(stage / "new.txt", "new");
}

// The install without its workspace, and the staged update.
using Tree = std::pair<Snapshot, Snapshot>;

Tree treeOf(const MemoryFileSystem& fs) {
  Tree tree{fs.snapshot(workspace().targetRoot), fs.snapshot(stagedFolder(workspace(), kId))};
  std::erase_if(tree.first, [](const auto& entry) {
    return asciiLower(entry.first).starts_with(".loftswitch\\");
  });
  return tree;
}

bool holdsFiles(const Snapshot& snapshot) {
  for (const auto& [name, content] : snapshot) {
    if (!name.ends_with("\\")) return true;
  }
  return false;
}

std::vector<Move> planFor(MemoryFileSystem& fs) {
  Result<std::vector<Move>> plan =
      planSwap(fs, workspace(), kId, {"settings.ini", "data/user.db", "plugins"}, "App.exe");
  EXPECT_THAT(plan, IsOkay());
  return plan ? *plan : std::vector<Move>{};
}

TEST(SwapperCrashTest, TheFullSwapInstallsTheUpdateAndKeepsThePreservedPaths) {
  MemoryFileSystem fs;
  setUpUpdate(fs);
  const std::vector<Move> moves = planFor(fs);
  std::set<Location> locations;
  for (const Move& move : moves) {
    locations.insert(move.from);
    locations.insert(move.to);
  }
  EXPECT_EQ(locations.size(), 4u);
  EXPECT_GE(moves.size(), 12u);
  Recorder recorder;
  ASSERT_THAT(recorder.swapper(fs).run(moves), IsOkay());
  EXPECT_EQ(treeOf(fs).first,
            (Snapshot{{"App.exe", "new exe"}, {"data\\", ""}, {"data\\defaults.db", "defaults"},
                      {"data\\user.db", "user data"}, {"lib\\", ""}, {"lib\\core.dll", "new core"},
                      {"lib\\extra.dll", "extra"}, {"new.txt", "new"}, {"plugins\\", ""},
                      {"plugins\\p.dll", "plugin"}, {"settings.ini", "user settings"}}));
  EXPECT_EQ(fs.fileContent(progressPath(workspace(), kId)), std::string(moves.size(), '+'));
}

TEST(SwapperCrashTest, UndoAfterAPowerLossAtAnyPointRestoresInstallAndStage) {
  MemoryFileSystem reference;
  setUpUpdate(reference);
  const std::vector<Move> moves = planFor(reference);
  const Tree original = treeOf(reference);
  const std::size_t start = reference.operationCount();
  Recorder recorder;
  ASSERT_THAT(recorder.swapper(reference).run(moves), IsOkay());
  const std::size_t total = reference.operationCount() - start;
  // Every move is one operation and every mark another.
  ASSERT_EQ(total, 2 * moves.size());

  for (std::size_t crash = 0; crash <= total; ++crash) {
    SCOPED_TRACE("power lost after " + std::to_string(crash) + " operations");
    MemoryFileSystem fs;
    setUpUpdate(fs);
    fs.powerLossAfter(crash);
    const Result<Unit> swapped = recorder.swapper(fs).run(moves);
    EXPECT_EQ(swapped.has_value(), crash == total);
    fs.restorePower();

    EXPECT_THAT(recorder.swapper(fs).undo(moves), IsOkay());
    EXPECT_EQ(treeOf(fs), original);
    EXPECT_FALSE(holdsFiles(fs.snapshot(backupFolder(workspace(), kId))));
    EXPECT_FALSE(holdsFiles(fs.snapshot(replacedFolder(workspace(), kId))));
    EXPECT_FALSE(fs.exists(progressPath(workspace(), kId)));

    const Snapshot settled = fs.snapshot();
    EXPECT_THAT(recorder.swapper(fs).undo(moves), IsOkay());
    EXPECT_EQ(fs.snapshot(), settled);
  }
}

TEST(SwapperCrashTest, AnUndoCutShortByAPowerLossCanBeRunAgain) {
  MemoryFileSystem reference;
  setUpUpdate(reference);
  const std::vector<Move> moves = planFor(reference);
  const Tree original = treeOf(reference);
  Recorder recorder;

  for (std::size_t crash = 0; crash <= 2 * moves.size(); crash += 3) {
    MemoryFileSystem swapped;
    setUpUpdate(swapped);
    swapped.powerLossAfter(crash);
    (void)recorder.swapper(swapped).run(moves);
    swapped.restorePower();
    const std::size_t start = swapped.operationCount();
    ASSERT_THAT(recorder.swapper(swapped).undo(moves), IsOkay());
    const std::size_t undoTotal = swapped.operationCount() - start;

    for (std::size_t undoCrash = 0; undoCrash < undoTotal; ++undoCrash) {
      SCOPED_TRACE("swap cut after " + std::to_string(crash) + ", undo after " +
                   std::to_string(undoCrash) + " operations");
      MemoryFileSystem fs;
      setUpUpdate(fs);
      fs.powerLossAfter(crash);
      (void)recorder.swapper(fs).run(moves);
      fs.restorePower();
      fs.powerLossAfter(undoCrash);
      // What the cut-short undo answers does not matter: its process is gone.
      (void)recorder.swapper(fs).undo(moves);
      fs.restorePower();
      EXPECT_THAT(recorder.swapper(fs).undo(moves), IsOkay());
      EXPECT_EQ(treeOf(fs), original);
    }
  }
}

}  // namespace
}  // namespace loftswitch
