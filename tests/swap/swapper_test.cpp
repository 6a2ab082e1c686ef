#include "swap/swapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"

namespace loftswitch {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

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

  Swapper swapper(FileSystem& fs, std::int32_t attempts, std::int64_t delay,
                  std::int64_t maxDelay) {
    return Swapper(
        fs, workspace(), std::string(kId), attempts, delay, maxDelay,
        [this](std::int64_t ms) { pauses.push_back(ms); },
        [this](std::string_view line) { lines.emplace_back(line); });
  }
};

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

// A held entry is tried again with doubling pauses, kept within bounds
// whatever settings a damaged journal gives; other errors stop at once.
TEST(SwapperTest, RetriesOnlyWhatIsInUseWithBoundedPauses) {
  const struct {
    std::int32_t attempts;
    std::int64_t delay, maxDelay;
    std::vector<std::int64_t> pauses;
  } cases[] = {{0, 50, 1000, {}},
               {3, -50, -10, {0, 0}},
               {3, 5000, 1000, {1000, 1000}},
               {5, 50, 120, {50, 100, 120, 120}}};
  const std::filesystem::path held = at(Location::target, "a");
  for (const auto& c : cases) {
    MemoryFileSystem fs;
    fs.addFile(held, "a");
    fs.hold(held, {{"App.exe", 42}});
    Recorder recorder;
    EXPECT_THAT(recorder.swapper(fs, c.attempts, c.delay, c.maxDelay)
                    .moveWithRetry(held, at(Location::backup, "a"), "a"),
                AllOf(FailsWithCode(ErrorCode::inUse),
                      FailsWithMessageThat(AllOf(
                          StartsWith("a is in use or locked by another program (can't move " +
                                     pathToUtf8(held) + " to "),
                          EndsWith("; held by App.exe (process 42)")))))
        << c.attempts << " " << c.delay << " " << c.maxDelay;
    EXPECT_EQ(recorder.pauses, c.pauses) << c.attempts << " " << c.delay << " " << c.maxDelay;
  }
  MemoryFileSystem fs;
  fs.addFile(at(Location::target, "a"), "a");
  fs.addFile(at(Location::target, "b"), "b");
  fs.addFile(at(Location::backup, "b"), "already there");
  fs.addFolder(stageFolder(workspace(), kId));
  fs.failOn(MemoryFileSystem::Operation::move, at(Location::target, "a"),
            Error{ErrorCode::accessDenied, "denied"}, 1);
  Recorder recorder;
  const Result<Unit> result = recorder.swapper(fs, 20, 50, 1000).run(
      {{Location::target, Location::backup, "a"}, {Location::target, Location::backup, "b"}});
  EXPECT_THAT(result, FailsWithMessageThat(StartsWith("b couldn't be moved (can't move ")));
  EXPECT_THAT(recorder.lines, ElementsAre("retrying a after: denied", HasSubstr("swap stopped: b")));
  EXPECT_EQ(fs.fileContent(progressPath(workspace(), kId)), "+");
}

// An older move put back before a newer one could recreate the place the
// newer one returns to: the undo stops at a held entry, and goes on from
// there the next time.
TEST(SwapperTest, UndoStopsAtTheFirstMoveItCannotPutBackAndGoesOnFromThere) {
  MemoryFileSystem fs;
  fs.addFolder(stageFolder(workspace(), kId));
  std::vector<Move> moves;
  for (std::string name : {"a", "b", "c", "d"}) {
    fs.addFile(at(Location::target, name), name);
    moves.push_back({Location::target, Location::backup, name});
  }
  Recorder recorder;
  std::vector<Move> unsafe = moves;
  unsafe.push_back({Location::stage, Location::target, "x:bad"});
  // An unsafe path anywhere stops the swap before its first move.
  EXPECT_THAT(recorder.swapper(fs, 1, 0, 0).run(unsafe), FailsWithCode(ErrorCode::invalidData));
  EXPECT_EQ(fs.fileContent(at(Location::target, "a")), "a");
  ASSERT_THAT(recorder.swapper(fs, 1, 0, 0).run(moves), IsOkay());
  moves = unsafe;
  fs.hold(at(Location::backup, "c"));
  EXPECT_THAT(recorder.swapper(fs, 1, 0, 0).undo(moves),
              FailsWithMessageThat(StartsWith("c is in use or locked by another program (")));
  EXPECT_EQ(fs.fileContent(at(Location::target, "d")), "d");
  EXPECT_FALSE(fs.exists(at(Location::target, "b")));
  EXPECT_THAT(recorder.lines[0], StartsWith("undo skips a move that was never made: unsafe path"));
  EXPECT_EQ(fs.fileContent(progressPath(workspace(), kId)), "++++--");
  fs.release(at(Location::backup, "c"));
  EXPECT_THAT(recorder.swapper(fs, 1, 0, 0).undo(moves), IsOkay());
  for (std::string name : {"a", "b", "c", "d"}) {
    EXPECT_EQ(fs.fileContent(at(Location::target, name)), name);
  }
}

}  // namespace
}  // namespace loftswitch
