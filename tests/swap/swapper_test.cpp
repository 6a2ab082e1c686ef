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
  static const Workspace w = workspaceForInstall("C:\\App", Layout::folder);
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
  const std::string stage = "C:\\App\\.loftswitch\\stage\\0123456789abcdef";
  EXPECT_EQ(pathToUtf8(at(Location::target, "lib/core.dll")), "C:\\App\\lib\\core.dll");
  EXPECT_EQ(pathToUtf8(at(Location::stage, ".hidden/a b")), stage + "\\new\\.hidden\\a b");
  EXPECT_EQ(pathToUtf8(at(Location::replaced, "x")), stage + "\\replaced\\x");
  EXPECT_EQ(pathToUtf8(at(Location::backup, "Ä/y")),
            "C:\\App\\.loftswitch\\backup\\0123456789abcdef\\Ä\\y");
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
  fs.addFile("C:\\App\\App.exe", "old");
  fs.addFolder(stageFolder(workspace(), kId));
  fs.hold("C:\\App\\App.exe");
  Recorder recorder;
  recorder.onPause = [&] {
    if (recorder.pauses.size() == 2) fs.release("C:\\App\\App.exe");
  };
  const std::vector<Move> moves = {{Location::target, Location::backup, "App.exe"}};

  EXPECT_THAT(recorder.swapper(fs).run(moves), IsOkay());
  EXPECT_EQ(fs.fileContent(at(Location::backup, "App.exe")), "old");
  EXPECT_THAT(recorder.pauses, ElementsAre(50, 100));
  ASSERT_EQ(recorder.lines.size(), 2u);
  EXPECT_THAT(recorder.lines[0],
              StartsWith("retrying App.exe after: can't move C:\\App\\App.exe to "));
  EXPECT_EQ(fs.fileContent(progressPath(workspace(), kId)), "+");
}

TEST(SwapperTest, GivesUpOnAnEntryHeldForGoodAfterItsTries) {
  MemoryFileSystem fs;
  fs.addFile("C:\\App\\App.exe", "old");
  fs.hold("C:\\App\\App.exe");
  Recorder recorder;
  const std::filesystem::path to = at(Location::backup, "App.exe");

  EXPECT_THAT(recorder.swapper(fs, 3, 50, 80).moveWithRetry("C:\\App\\App.exe", to, "App.exe"),
              FailsWith(ErrorCode::inUse, "App.exe is in use or locked by another program "
                                          "(can't move C:\\App\\App.exe to " +
                                              pathToUtf8(to) + ": " + windowsErrorText(32) + ")"));
  EXPECT_EQ(movesTried(fs), 3u);
  EXPECT_THAT(recorder.pauses, ElementsAre(50, 80));

  // The defaults: 20 tries, pauses doubling from 50 ms up to 1000 ms.
  Recorder defaults;
  EXPECT_THAT(defaults.swapper(fs).moveWithRetry("C:\\App\\App.exe", to, "App.exe"),
              FailsWithCode(ErrorCode::inUse));
  std::int64_t slept = 0;
  for (std::int64_t pause : defaults.pauses) slept += pause;
  EXPECT_EQ(defaults.pauses.size(), 19u);
  EXPECT_EQ(slept, 15550);
  EXPECT_EQ(defaults.lines.size(), 19u);
}

TEST(SwapperTest, RetriesAccessDeniedButStopsAtOnceOnOtherErrors) {
  MemoryFileSystem fs;
  fs.addFile("C:\\App\\a", "a");
  fs.addFile("C:\\App\\b", "b");
  fs.addFile(at(Location::backup, "b"), "already there");
  fs.addFolder(stageFolder(workspace(), kId));
  fs.failOn(MemoryFileSystem::Operation::move, "C:\\App\\a",
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
  EXPECT_EQ(fs.fileContent("C:\\App\\b"), "b");
}

TEST(SwapperTest, KeepsTriesAndPausesWithinBoundsWhateverTheSettings) {
  MemoryFileSystem fs;
  fs.addFile("C:\\App\\a", "a");
  fs.hold("C:\\App\\a");
  // Settings from a damaged journal: at least one try, pauses between zero
  // and the longest pause.
  const struct {
    std::int32_t attempts;
    std::int64_t delay, maxDelay;
    std::vector<std::int64_t> pauses;
  } cases[] = {{0, 50, 1000, {}}, {3, -50, -10, {0, 0}}, {3, 5000, 1000, {1000, 1000}}};
  for (const auto& c : cases) {
    Recorder recorder;
    EXPECT_THAT(recorder.swapper(fs, c.attempts, c.delay, c.maxDelay).moveWithRetry("C:\\App\\a", "C:\\b", "a"),
                FailsWithCode(ErrorCode::inUse));
    EXPECT_EQ(recorder.pauses, c.pauses) << c.attempts << " " << c.delay << " " << c.maxDelay;
  }
  EXPECT_EQ(movesTried(fs), 7u);
}

TEST(SwapperTest, AnUnsafePathAnywhereMovesNothing) {
  MemoryFileSystem fs;
  fs.addFile("C:\\App\\a", "a");
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
TEST(SwapperTest, UndoWithoutProgressLooksAtTheFirstMoveOnly) {
  MemoryFileSystem fs;
  fs.addFile("C:\\App\\a", "a");
  fs.addFile("C:\\App\\b", "b");
  const std::vector<Move> moves = {{Location::target, Location::backup, "a"},
                                   {Location::target, Location::backup, "b"}};
  ASSERT_THAT(fs.move("C:\\App\\a", at(Location::backup, "a")), IsOkay());
  ASSERT_THAT(fs.move("C:\\App\\b", at(Location::backup, "b")), IsOkay());
  Recorder recorder;
  EXPECT_THAT(recorder.swapper(fs).undo(moves), IsOkay());
  EXPECT_EQ(fs.fileContent("C:\\App\\a"), "a");
  EXPECT_FALSE(fs.exists("C:\\App\\b"));
}

TEST(SwapperTest, UndoMovesAsideWhatWasMadeWhereTheOldEntryGoesBack) {
  MemoryFileSystem fs;
  fs.addFile("C:\\App\\a\\new.log", "new a");
  fs.addFile(at(Location::backup, "a/old.log"), "old a");
  fs.addFile(stageFolder(workspace(), kId) / "aside" / "1" / "a", "earlier");
  fs.addFile(progressPath(workspace(), kId), "+");
  Recorder recorder;
  EXPECT_THAT(recorder.swapper(fs).undo({{Location::target, Location::backup, "a"}}), IsOkay());
  EXPECT_EQ(fs.snapshot(workspace().targetRoot / "a"), (Snapshot{{"old.log", "old a"}}));
  EXPECT_EQ(fs.fileContent(stageFolder(workspace(), kId) / "aside" / "2" / "a" / "new.log"),
            "new a");
  EXPECT_FALSE(fs.exists(at(Location::backup, "a")));
}

TEST(SwapperTest, UndoStopsAtTheFirstMoveItCannotPutBack) {
  MemoryFileSystem fs;
  fs.addFolder(stageFolder(workspace(), kId));
  std::vector<Move> moves;
  for (std::string name : {"a", "b", "c", "d"}) {
    fs.addFile("C:\\App\\" + name, name);
    moves.push_back({Location::target, Location::backup, name});
  }
  moves.push_back({Location::stage, Location::target, "x:bad"});
  Recorder recorder;
  {
    std::vector<Move> safe(moves.begin(), moves.end() - 1);
    ASSERT_THAT(recorder.swapper(fs).run(safe), IsOkay());
  }
  fs.hold(at(Location::backup, "c"));
  Recorder undoing;
  EXPECT_THAT(undoing.swapper(fs, 2).undo(moves),
              FailsWithMessageThat(StartsWith("c is in use or locked by another program (")));
  EXPECT_EQ(fs.fileContent("C:\\App\\d"), "d");
  // An older move waits for the newer one.
  EXPECT_FALSE(fs.exists("C:\\App\\b"));
  EXPECT_THAT(undoing.lines,
              ElementsAre(StartsWith("undo skips a move that was never made: unsafe path"),
                          StartsWith("retrying c after: "),
                          StartsWith("undo couldn't restore c: c is in use")));
  // The moves put back are marked, so that a later undo goes on from there.
  EXPECT_EQ(fs.fileContent(progressPath(workspace(), kId)), "++++--");
  fs.release(at(Location::backup, "c"));
  EXPECT_THAT(undoing.swapper(fs).undo(moves), IsOkay());
  for (std::string name : {"a", "b", "c", "d"}) EXPECT_EQ(fs.fileContent("C:\\App\\" + name), name);
}

}  // namespace
}  // namespace loftswitch
