// The real tool and sample app against real folders, for the runs that end
// without a confirmed update: what the user is left with must be exactly
// what the journal says.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "support/held_file.h"
#include "support/matchers.h"
#include "support/programs.h"
#include "support/run_program.h"
#include "support/sample_runs.h"
#include "support/temp_folder.h"
#include "workspace/journal.h"
#include "workspace/workspace.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr char kId[] = "00000000000000d4";

class ApplyOutcomesTest : public ::testing::Test {
 protected:
  ApplyOutcomesTest() {
    writeVersion(install, "1", "mode=confirm\n");
    std::filesystem::create_directories(work);
    std::filesystem::copy_file(builtProgram("loftswitch-apply"), work / "loftswitch-apply.exe");
    writeTestFile(runs, "");
  }

  ~ApplyOutcomesTest() override {
    removeWhenFree(install);
  }

  static void writeVersion(const std::filesystem::path& folder, const std::string& version,
                           const std::string& settings) {
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(builtProgram("sample-app"), folder / "sample-app.exe");
    writeTestFile(folder / "sample.ini", "version=" + version + "\n" + settings);
    writeTestFile(folder / "data" / "table.bin", "the tables of version " + version);
  }

  // Stages version 2, whose sample.ini holds `settings`.
  Journal stage(const std::string& settings, void (*adjust)(Timeouts&) = [](Timeouts&) {}) {
    writeVersion(stagedFolder(workspace, kId), "2", settings);
    Journal journal;
    journal.id = kId;
    journal.app = "sample";
    journal.from = "1";
    journal.to = "2";
    journal.executable = "sample-app.exe";
    adjust(journal.timeouts);
    journal.relaunch.args = {"--record", pathToUtf8(runs)};
    writeTestFile(journalPath(workspace), serializeJournal(journal));
    return journal;
  }

  Journal journal() const {
    Result<Journal> read = parseJournal(readTestFile(journalPath(workspace)));
    EXPECT_THAT(read, IsOkay());
    return read.value_or(Journal{});
  }

  std::map<std::string, std::string> snapshot() const { return installFiles(install); }

  ProgramRun tool() {
    return runProgram(work / "loftswitch-apply.exe", {"--work", pathToUtf8(work), "--id", kId});
  }

  std::vector<std::string> started(std::size_t count) const {
    return startedVersions(runs, kId, count);
  }

  TempFolder temp;
  const std::filesystem::path install = temp / "App";
  const Workspace workspace = workspaceForInstall(install, Layout::folder);
  const std::filesystem::path work = workspace.workspacePath;
  const std::filesystem::path runs = temp / "runs.jsonl";
};

TEST_F(ApplyOutcomesTest, ANewVersionThatNeverConfirmsStaysInstalledUnconfirmed) {
  stage("mode=stay\nstayMs=2000\n", [](Timeouts& t) { t.confirmMs = 200; });
  const ProgramRun run = tool();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("finished: unconfirmed"));
  const Journal after = journal();
  EXPECT_EQ(after.state, JournalState::swapped);
  EXPECT_EQ(after.outcome, std::nullopt);
  EXPECT_EQ(readTestFile(install / "data" / "table.bin"), "the tables of version 2");
  EXPECT_THAT(started(1), ElementsAre("2"));
}

TEST_F(ApplyOutcomesTest, AFileHeldOpenThroughoutRollsBackToTheExactInstall) {
  stage("mode=confirm\n", [](Timeouts& t) { t.retryAttempts = 2; t.retryDelayMs = 10; });
  const auto before = snapshot();
  // A file of its own rather than one inside a folder: Wine renames a folder
  // whatever its files have open.
  HeldFile held("exclusive", install / "sample.ini");
  ASSERT_TRUE(held.held());
  const ProgramRun run = tool();
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const Journal after = journal();
  EXPECT_EQ(after.state, JournalState::rolledBack);
  ASSERT_TRUE(after.outcome.has_value());
  EXPECT_EQ(after.outcome->result, "rolled-back");
  EXPECT_EQ(after.outcome->reason, "in-use");
  EXPECT_EQ(snapshot(), before);
  EXPECT_THAT(started(1), ElementsAre("1"));
}

TEST_F(ApplyOutcomesTest, AnotherProgramOfTheInstallStillRunningLeavesTheUpdateStaged) {
  stage("mode=confirm\n", [](Timeouts& t) { t.exitMs = 300; });
  // A second program of the install, held open until the test lets it go.
  std::filesystem::copy_file(builtProgram("hold-file"), install / "hold-file.exe");
  auto other = std::async(std::launch::async, [&] {
    return runProgram(install / "hold-file.exe", {"share-delete", pathToUtf8(runs),
                                                  pathToUtf8(temp / "ready"),
                                                  pathToUtf8(temp / "release"), "0"});
  });
  for (int i = 0; i < 200 && !std::filesystem::exists(temp / "ready"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const auto before = snapshot();
  const ProgramRun run = tool();
  writeTestFile(temp / "release", "");
  EXPECT_EQ(other.get().exitCode, 0);

  EXPECT_EQ(run.exitCode, 3) << run.err;
  const Journal after = journal();
  EXPECT_EQ(after.state, JournalState::staged);
  EXPECT_THAT(after.lastError, StartsWith("another program from " + pathToUtf8(install) +
                                          " is still running (process "));
  EXPECT_THAT(run.err, HasSubstr(after.lastError));
  EXPECT_TRUE(after.moves.empty());
  EXPECT_EQ(snapshot(), before);
  EXPECT_THAT(started(0), IsEmpty());
}

TEST_F(ApplyOutcomesTest, ADamagedJournalIsNothingToDoAndTouchesNothing) {
  const std::string staged = serializeJournal(stage("mode=confirm\n"));
  const auto before = snapshot();
  std::string foreign = staged;
  foreign.replace(foreign.find(kId), 16, "../../../Windows");
  std::string unknownState = staged;
  unknownState.replace(unknownState.find("\"staged\""), 8, "\"halfway\"");
  for (const std::string& damaged :
       {staged.substr(0, staged.size() / 2), foreign, unknownState, std::string("not json")}) {
    SCOPED_TRACE(damaged);
    writeTestFile(journalPath(workspace), damaged);
    const ProgramRun run = tool();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("no update to apply: "));
    EXPECT_THAT(run.err, HasSubstr("finished: nothing-to-do"));
    EXPECT_EQ(readTestFile(journalPath(workspace)), damaged);
    EXPECT_EQ(snapshot(), before);
    EXPECT_TRUE(std::filesystem::exists(stagedFolder(workspace, kId) / "sample-app.exe"));
  }
  EXPECT_THAT(started(0), IsEmpty());
}

}  // namespace
}  // namespace loftswitch
