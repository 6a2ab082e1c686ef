// The real tool and the sample application in a real install folder.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/text.h"
#include "support/held_file.h"
#include "support/matchers.h"
#include "support/programs.h"
#include "support/temp_folder.h"
#include "workspace/journal.h"
#include "workspace/workspace.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;

constexpr char kId[] = "00000000000000a2";

// The sample application installed as version 1 with the user's settings,
// and the tool copied into the workspace as the application ships it: from
// there it is not a program of the install that it would wait for.
class ApplyE2eTest : public ::testing::Test {
 protected:
  ApplyE2eTest() {
    installVersion(install, "1", "confirm");
    writeTestFile(install / "settings" / "user.txt", "the user's settings");
    writeTestFile(install / "logs" / "old.log", "log of version 1");
    std::filesystem::create_directories(work);
    std::filesystem::copy_file(builtProgram("loftswitch-apply"), work / "loftswitch-apply.exe");
    writeTestFile(runs, "");
  }
  ~ApplyE2eTest() override { removeWhenFree(install); }

  static void installVersion(const std::filesystem::path& folder, const std::string& version,
                             const std::string& mode) {
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(builtProgram("sample-app"), folder / "sample-app.exe",
                               std::filesystem::copy_options::overwrite_existing);
    writeTestFile(folder / "sample.ini", "version=" + version + "\nmode=" + mode + "\nexitCode=3\n");
    writeTestFile(folder / ("readme-v" + version + ".txt"), "readme of version " + version);
  }

  // Stages version 2; `mode` may carry further sample.ini lines after it.
  void stage(const std::string& mode, Timeouts timeouts = {10000, 20000}) {
    installVersion(stagedFolder(workspace, kId), "2", mode);
    const Journal journal{.id = kId, .app = "sample", .from = "1", .to = "2",
                          .executable = "sample-app.exe", .preserve = {"settings"},
                          .relaunch = {.args = {"--record", pathToUtf8(runs)}}, .timeouts = timeouts};
    writeTestFile(journalPath(workspace), serializeJournal(journal));
  }

  Journal journal() const {
    Result<Journal> read = parseJournal(readTestFile(journalPath(workspace)));
    EXPECT_THAT(read, IsOkay());
    return read.value_or(Journal{});
  }

  std::filesystem::path tool() const { return work / "loftswitch-apply.exe"; }
  ProgramRun applyAttempt() const { return runProgram(tool(), {"--work", pathToUtf8(work), "--id", kId}); }
  std::map<std::string, std::string> snapshot() const { return installFiles(install); }
  std::vector<std::string> started(std::size_t count) const { return startedVersions(runs, kId, count); }

  TempFolder temp;
  const std::filesystem::path install = temp / "App";
  const Workspace workspace = workspaceForInstall(install, Layout::folder);
  const std::filesystem::path work = workspace.workspacePath;
  const std::filesystem::path runs = temp / "runs.jsonl";
};

// It keeps the journal from the tool for a second, then makes files in a
// folder only the previous version had and in one neither version has, and
// crashes.
TEST_F(ApplyE2eTest, AVersionThatCrashesIsRolledBackToExactlyThePreviousInstall) {
  stage("crash\ncreate=logs/new.log,cache/state.bin\nholdJournalMs=1000");
  const auto before = snapshot();
  const ProgramRun run = applyAttempt();
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_EQ(journal().outcome, (OutcomeRecord{"rolled-back", "exited",
                                              "the new version exited with code 3 before it "
                                              "finished starting"}));
  EXPECT_EQ(snapshot(), before);
  // Kept in the workspace, out of the install.
  for (const char* made : {"logs/new.log", "cache/state.bin"}) {
    EXPECT_EQ(readTestFile(keptFolder(workspace, kId) / "1" / utf8ToPath(made)),
              "made by the sample app");
  }
  EXPECT_THAT(started(2), ElementsAre("2", "1"));
}

TEST_F(ApplyE2eTest, AFileHeldOpenThroughoutRollsBackToTheExactInstall) {
  stage("confirm", {10000, 20000, 2, 10});
  const auto before = snapshot();
  // A file of its own rather than one inside a folder: Wine renames a folder
  // whatever its files have open.
  HeldFile held(install / "sample.ini");
  ASSERT_TRUE(held.held());
  const ProgramRun run = applyAttempt();
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_EQ(journal().state, JournalState::rolledBack);
  EXPECT_EQ(journal().outcome.value_or(OutcomeRecord{}).reason, "in-use");
  EXPECT_EQ(snapshot(), before);
  EXPECT_THAT(started(1), ElementsAre("1"));
}

}  // namespace
}  // namespace loftswitch
