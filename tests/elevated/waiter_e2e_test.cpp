// The real tool as the unelevated waiter, with the test playing the
// administrator's helper: it writes the install's journal, changes the
// install as a swap or rollback would, and ends a stand-in process when the
// helper would end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "base/text.h"
#include "support/held_file.h"
#include "support/programs.h"
#include "support/temp_folder.h"
#include "workspace/journal.h"
#include "workspace/workspace.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;

constexpr char kId[] = "00000000000000e5";

bool waitFor(const std::filesystem::path& path) {
  return pollUntil(std::chrono::seconds(10), [&] { return std::filesystem::exists(path); });
}

// The new version crashes after the swap: the waiter passes its code on with
// its sign, and once the helper rolled back and ended, starts the old one.
TEST(WaiterE2eTest, AnEarlyExitIsPassedToTheHelperWithItsSign) {
  TempFolder temp;
  const std::filesystem::path install = temp / "App", user = temp / "user", runs = temp / "runs.jsonl",
                              exited = user / (std::string("exited-") + kId);
  // What a swap or a rollback leaves in the install, and in its journal.
  const auto installVersion = [&](const std::string& version, const std::string& settings) {
    writeTestFile(install / "sample.ini", "version=" + version + "\n" + settings);
  };
  const auto writeJournal = [&](JournalState state, std::optional<OutcomeRecord> outcome = std::nullopt) {
    const Journal journal{.id = kId, .app = "sample", .from = "1.0.0", .to = "2.0.0", .state = state,
                          .executable = "sample-app.exe", .outcome = std::move(outcome)};
    writeTestFile(journalPath(workspaceForInstall(install, Layout::folder)), serializeJournal(journal));
  };
  std::filesystem::create_directories(install);
  std::filesystem::copy_file(builtProgram("sample-app"), install / "sample-app.exe");
  installVersion("1", "mode=confirm\n");
  writeTestFile(runs, "");
  const nlohmann::json request = {
      {"loftswitch_request", 1}, {"id", kId}, {"version", "2.0.0"}, {"platform", "windows-x64"}, {"size", 10},
      {"sha256", std::string(64, 'a')}, {"signature", std::string(86, 'A') + "=="}, {"package", pathToUtf8(temp / "p.zip")},
      {"install", pathToUtf8(install)}, {"userWorkspace", pathToUtf8(user)}, {"executable", "sample-app.exe"},
      {"relaunchArgs", {"--record", pathToUtf8(runs)}}, {"exitMs", 5000}, {"confirmMs", 5000}};
  writeTestFile(user / "request.json", request.dump());
  // The stand-in for the helper: a process that runs until it is ended.
  writeTestFile(temp / "held.txt", "");
  HeldFile helper(temp / "held.txt");
  ASSERT_TRUE(helper.held());
  const ProcessIdentity helperId = helper.identity();

  auto waiter = std::async(std::launch::async, [&] {
    return runProgram(builtProgram("loftswitch-apply"),
                      {"--wait-elevated", "--request", pathToUtf8(user / "request.json"), "--elevated-pid",
                       std::to_string(helperId.pid), "--elevated-started", std::to_string(helperId.started)});
  });
  EXPECT_TRUE(waitFor(user / "logs"));
  installVersion("2", "mode=crash\nexitCode=-7\n");
  writeJournal(JournalState::swapped);
  EXPECT_TRUE(waitFor(exited));
  EXPECT_EQ(readTestFile(exited), "-7");
  installVersion("1", "mode=confirm\n");
  writeJournal(JournalState::rolledBack,
               OutcomeRecord{"rolled-back", "exited", "the new version exited with code -7 before it finished starting"});
  helper.kill();
  const ProgramRun run = waiter.get();
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_THAT(startedVersions(runs, kId, 2), ElementsAre("2", "1"));
  removeWhenFree(install);
}

}  // namespace
}  // namespace loftswitch
