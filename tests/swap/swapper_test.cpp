#include "swap/swapper.h"

#include <string>
#include <vector>

#include "apply/run.h"
#include "support/fake_host.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "workspace/journal_store.h"

// Whole swaps and undos under every failing operation are the apply sweeps'
// business; here what a hostile journal or a held entry asks of the swapper.
namespace loftswitch {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
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

// "a" swapped: the previous version's in the backup, the new one's in place.
std::vector<Move> swapped(MemoryFileSystem& fs) {
  fs.addFolder(stageFolder(workspace(), kId));
  fs.addFile(at(Location::target, "a"), "old");
  fs.addFile(at(Location::stage, "a"), "new");
  const std::vector<Move> moves = {{Location::target, Location::backup, "a"},
                                   {Location::stage, Location::target, "a"}};
  EXPECT_THAT(Recorder().swapper(fs, 1, 0, 0).run(moves), IsOkay());
  return moves;
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

// A held entry is tried again with doubling pauses, kept within bounds
// whatever settings a damaged journal gives; other errors stop at once.
TEST(SwapperTest, RetriesOnlyWhatIsInUseWithBoundedPauses) {
  const struct {
    std::int32_t attempts;
    std::int64_t delay, maxDelay;
    std::vector<std::int64_t> pauses;
  } cases[] = {{3, -50, -10, {0, 0}}, {5, 50, 120, {50, 100, 120, 120}}};
  const std::filesystem::path held = at(Location::target, "a");
  for (const auto& c : cases) {
    MemoryFileSystem fs;
    fs.addFile(held, "a");
    fs.hold(held, {{"App.exe", 42}});
    Recorder recorder;
    EXPECT_THAT(recorder.swapper(fs, c.attempts, c.delay, c.maxDelay)
                    .moveWithRetry(held, at(Location::backup, "a"), "a"),
                AllOf(FailsWithCode(ErrorCode::inUse),
                      FailsWithMessageThat(HasSubstr("; held by App.exe (process 42)"))));
    EXPECT_EQ(recorder.pauses, c.pauses) << c.attempts << " " << c.delay << " " << c.maxDelay;
  }
  MemoryFileSystem fs;
  fs.addFile(at(Location::target, "a"), "a");
  fs.addFile(at(Location::backup, "a"), "already there");
  Recorder recorder;
  EXPECT_THAT(recorder.swapper(fs, 20, 50, 1000)
                  .moveWithRetry(at(Location::target, "a"), at(Location::backup, "a"), "a"),
              FailsWithMessageThat(StartsWith("a couldn't be moved (can't move ")));
  EXPECT_THAT(recorder.pauses, ::testing::IsEmpty());
}

// An unsafe path anywhere stops the swap before its first move; the undo
// skips it, as a move that can never have been made, and puts back the rest.
TEST(SwapperTest, AMoveThatCouldNeverBeMadeStopsTheSwapButNotTheUndo) {
  MemoryFileSystem fs;
  fs.addFolder(stageFolder(workspace(), kId));
  fs.addFile(at(Location::target, "a"), "a");
  const std::vector<Move> moves = {{Location::target, Location::backup, "a"},
                                   {Location::stage, Location::target, "x:bad"}};
  Recorder recorder;
  EXPECT_THAT(recorder.swapper(fs, 1, 0, 0).run(moves), FailsWithCode(ErrorCode::invalidData));
  EXPECT_EQ(fs.fileContent(at(Location::target, "a")), "a");
  ASSERT_THAT(recorder.swapper(fs, 1, 0, 0).run({moves[0]}), IsOkay());
  EXPECT_THAT(recorder.swapper(fs, 1, 0, 0).undo(moves), IsOkay());
  EXPECT_EQ(fs.fileContent(at(Location::target, "a")), "a");
  EXPECT_THAT(recorder.lines,
              ElementsAre(StartsWith("undo skips a move that was never made: unsafe path")));
}

// A rollback that fails is tried three more times, with a pause before
// each, before it is left for a repair.
TEST(SwapperTest, AFailedUndoIsTriedThreeMoreTimes) {
  for (const int failures : {3, 4}) {
    MemoryFileSystem fs;
    FakeHost host;
    Journal journal{.id = std::string(kId), .state = JournalState::swapped, .moves = swapped(fs)};
    fs.failOn(MemoryFileSystem::Operation::move, at(Location::backup, "a"),
              Error{ErrorCode::io, "the device is not ready"}, failures);
    EXPECT_EQ(undoAttempt(fs, host, workspace(), {}, journal, "crashed", "-7"),
              failures == 3 ? RunOutcome::rolledBack : RunOutcome::failed) << failures;
    EXPECT_EQ(fs.fileContent(at(Location::target, "a")),
              failures == 3 ? std::optional<std::string>("old") : std::nullopt) << failures;
    EXPECT_GE(host.elapsedMs(), 3 * 2000) << failures;
  }
}

// With nothing moved a rollback saves only its outcome: a disk that fills
// up after that one write leaves no repair pending that it would keep. The
// outcome is new, so the app is told it even if it was told one before.
TEST(SwapperTest, ARollbackWithNothingMovedSavesOnlyItsOutcome) {
  MemoryFileSystem fs;
  FakeHost host;
  fs.onAccess = [&fs, full = false](MemoryFileSystem::Operation op, const std::filesystem::path&) mutable {
    if (op == MemoryFileSystem::Operation::writeFile && !full) full = true, fs.failAt(2, MemoryFileSystem::Fault::diskFull);
  };
  Journal journal{.id = std::string(kId), .reported = true};
  EXPECT_EQ(undoAttempt(fs, host, workspace(), {}, journal, "io", "the disk is full"), RunOutcome::rolledBack);
  EXPECT_THAT(loadJournal(fs, workspace()).value_or(Journal{}),
              AllOf(::testing::Field(&Journal::state, JournalState::rolledBack), ::testing::Field(&Journal::reported, false)));
}

}  // namespace
}  // namespace loftswitch
