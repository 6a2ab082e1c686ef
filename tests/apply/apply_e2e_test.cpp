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
#include "swap/swapper.h"
#include "workspace/journal.h"
#include "workspace/workspace.h"

namespace loftswitch {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

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

  ~ApplyE2eTest() override {
    removeWhenFree(install);
  }

  static void installVersion(const std::filesystem::path& folder, const std::string& version,
                             const std::string& mode) {
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(builtProgram("sample-app"), folder / "sample-app.exe");
    writeTestFile(folder / "sample.ini", "version=" + version + "\nmode=" + mode + "\nexitCode=3\n");
    writeTestFile(folder / ("readme-v" + version + ".txt"), "readme of version " + version);
  }

  // Stages version 2; `mode` may carry further sample.ini lines after it.
  Journal stage(const std::string& mode, void (*adjust)(Timeouts&) = [](Timeouts&) {}) {
    installVersion(stagedFolder(workspace, kId), "2", mode);
    Journal journal;
    journal.id = kId;
    journal.app = "sample";
    journal.from = "1";
    journal.to = "2";
    journal.executable = "sample-app.exe";
    journal.preserve = {"settings"};
    journal.relaunch.args = {"--record", pathToUtf8(runs)};
    journal.timeouts.exitMs = 10000;
    journal.timeouts.confirmMs = 20000;
    adjust(journal.timeouts);
    save(journal);
    return journal;
  }

  void save(const Journal& journal) { writeTestFile(journalPath(workspace), serializeJournal(journal)); }

  Journal journal() const {
    Result<Journal> read = parseJournal(readTestFile(journalPath(workspace)));
    EXPECT_THAT(read, IsOkay());
    return read.value_or(Journal{});
  }

  ProgramRun tool(const std::vector<std::string>& args) {
    return runProgram(work / "loftswitch-apply.exe", args);
  }
  ProgramRun applyAttempt() { return tool({"--work", pathToUtf8(work), "--id", kId}); }
  std::map<std::string, std::string> snapshot() const { return installFiles(install); }
  std::vector<std::string> started(std::size_t count) const {
    return startedVersions(runs, kId, count);
  }

  // The texts of the lines of the run's one log file, without their times.
  std::vector<std::string> logLines(std::string_view label) const {
    std::vector<std::string> lines;
    int logs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(logsFolder(workspace))) {
      const std::string name = pathToUtf8(entry.path().filename());
      if (!name.ends_with("-apply.log") || name.find("-" + std::string(label) + "-") == std::string::npos) continue;
      ++logs;
      std::istringstream text(readTestFile(entry.path()));
      for (std::string line; std::getline(text, line);) lines.push_back(line.substr(25));
    }
    EXPECT_EQ(logs, 1);
    return lines;
  }

  std::vector<nlohmann::json> starts(std::size_t count) const { return recordedStarts(runs, count); }

  std::string installedVersion() const { return readTestFile(install / "sample.ini").substr(8, 1); }

  TempFolder temp;
  const std::filesystem::path install = temp / "App";
  const Workspace workspace = workspaceForInstall(install, Layout::folder);
  const std::filesystem::path work = workspace.workspacePath;
  const std::filesystem::path runs = temp / "runs.jsonl";
};

TEST_F(ApplyE2eTest, InstallsAnUpdateThatConfirms) {
  stage("confirm");
  const ProgramRun run = tool({"--work", pathToUtf8(work), "--id", kId});
  EXPECT_EQ(run.exitCode, 0) << run.err;

  EXPECT_EQ(journal().state, JournalState::confirmed);
  EXPECT_EQ(installedVersion(), "2");
  EXPECT_TRUE(std::filesystem::exists(install / "readme-v2.txt"));
  EXPECT_FALSE(std::filesystem::exists(install / "readme-v1.txt"));
  EXPECT_EQ(readTestFile(install / "settings" / "user.txt"), "the user's settings");
  EXPECT_EQ(readTestFile(backupFolder(workspace, kId) / "readme-v1.txt"), "readme of version 1");

  const std::vector<nlohmann::json> started = starts(1);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0]["version"], "2");
  EXPECT_EQ(started[0]["attempt"], kId);
  EXPECT_EQ(started[0]["confirmation"], "confirmed");
  EXPECT_EQ(started[0]["args"], nlohmann::json::array({"--record", pathToUtf8(runs)}));

  const std::vector<std::string> lines = logLines(kId);
  EXPECT_THAT(lines, Contains("swapped; starting 2"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "finished: updated");
}

// It keeps the journal from the tool for a second, then makes files in a
// folder only the previous version had and in one neither version has, and
// crashes.
TEST_F(ApplyE2eTest, AVersionThatCrashesIsRolledBackToExactlyThePreviousInstall) {
  stage("crash\ncreate=logs/new.log,cache/state.bin\nholdJournalMs=1000");
  const auto before = snapshot();
  const ProgramRun run = applyAttempt();
  EXPECT_EQ(run.exitCode, 1) << run.err;

  const Journal after = journal();
  EXPECT_EQ(after.state, JournalState::rolledBack);
  EXPECT_EQ(after.outcome, (OutcomeRecord{"rolled-back", "exited",
                                          "the new version exited with code 3 before it "
                                          "finished starting"}));
  EXPECT_EQ(snapshot(), before);
  // Kept in the workspace, out of the install.
  for (const char* made : {"logs/new.log", "cache/state.bin"}) {
    EXPECT_EQ(readTestFile(stageFolder(workspace, kId) / "aside" / "1" / utf8ToPath(made)),
              "made by the sample app");
  }
  EXPECT_THAT(started(2), ElementsAre("2", "1"));
  EXPECT_EQ(logLines(kId).back(), "finished: rolled-back");
}

TEST_F(ApplyE2eTest, AFileHeldOpenThroughoutRollsBackToTheExactInstall) {
  stage("confirm", [](Timeouts& t) { t.retryAttempts = 2; t.retryDelayMs = 10; });
  const auto before = snapshot();
  // A file of its own rather than one inside a folder: Wine renames a folder
  // whatever its files have open.
  HeldFile held("exclusive", install / "sample.ini");
  ASSERT_TRUE(held.held());
  const ProgramRun run = applyAttempt();
  EXPECT_EQ(run.exitCode, 1) << run.err;
  const Journal after = journal();
  EXPECT_EQ(after.state, JournalState::rolledBack);
  ASSERT_TRUE(after.outcome.has_value());
  EXPECT_EQ(after.outcome->result, "rolled-back");
  EXPECT_EQ(after.outcome->reason, "in-use");
  EXPECT_EQ(snapshot(), before);
  EXPECT_THAT(started(1), ElementsAre("1"));
}

}  // namespace
}  // namespace loftswitch
