// The real tool as the unelevated waiter, with the test playing the
// administrator's helper: it writes the install's journal, changes the
// install as a swap or rollback would, and ends a stand-in process when the
// helper would end.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "base/unique_handle_win32.h"
#include "support/programs.h"
#include "support/run_program.h"
#include "support/sample_runs.h"
#include "support/temp_folder.h"
#include "workspace/journal.h"
#include "workspace/workspace.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;

constexpr char kId[] = "00000000000000e5";

std::string journalText(const std::string& id, JournalState state,
                        std::optional<OutcomeRecord> outcome = std::nullopt) {
  Journal journal;
  journal.id = id;
  journal.app = "sample";
  journal.from = "1.0.0";
  journal.to = "2.0.0";
  journal.state = state;
  journal.executable = "sample-app.exe";
  journal.outcome = std::move(outcome);
  return serializeJournal(journal);
}

bool waitFor(const std::filesystem::path& path) {
  for (int i = 0; i < 200 && !std::filesystem::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::filesystem::exists(path);
}

class WaiterE2eTest : public ::testing::Test {
 protected:
  WaiterE2eTest() {
    std::filesystem::create_directories(install);
    std::filesystem::copy_file(builtProgram("sample-app"), install / "sample-app.exe");
    installVersion("1", "mode=confirm\n");
    writeTestFile(runs, "");
    const nlohmann::json request = {
        {"loftswitch_request", 1}, {"id", kId}, {"version", "2.0.0"},
        {"platform", "windows-x64"}, {"size", 10}, {"sha256", std::string(64, 'a')},
        {"signature", std::string(86, 'A') + "=="}, {"package", pathToUtf8(temp / "p.zip")},
        {"install", pathToUtf8(install)}, {"userWorkspace", pathToUtf8(user)},
        {"executable", "sample-app.exe"}, {"relaunchArgs", {"--record", pathToUtf8(runs)}},
        {"exitMs", 5000}, {"confirmMs", 5000}};
    writeTestFile(user / "request.json", request.dump());
    // The stand-in for the helper: a process that runs until it is ended.
    writeTestFile(temp / "held.txt", "");
    std::wstring line = L"\"" + builtProgram("hold-file").native() + L"\" share-delete \"" +
                        (temp / "held.txt").native() + L"\" \"" + (temp / "ready").native() +
                        L"\" \"" + (temp / "never").native() + L"\" 0";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    EXPECT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &startup, &info));
    helper_ = UniqueHandle(info.hProcess);
    UniqueHandle thread(info.hThread);
    helperPid_ = info.dwProcessId;
    FILETIME created{}, unused{};
    ::GetProcessTimes(helper_.get(), &created, &unused, &unused, &unused);
    helperStarted_ = (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
  }

  ~WaiterE2eTest() override {
    endHelper();
    removeWhenFree(install);
  }

  void endHelper() {
    if (!helper_) return;
    ::TerminateProcess(helper_.get(), 1);
    ::WaitForSingleObject(helper_.get(), INFINITE);
    helper_.reset();
  }

  // What a swap or a rollback leaves in the install.
  void installVersion(const std::string& version, const std::string& settings) {
    writeTestFile(install / "sample.ini", "version=" + version + "\n" + settings);
  }

  void writeJournal(JournalState state, std::optional<OutcomeRecord> outcome = std::nullopt) {
    writeTestFile(journalPath(workspace), journalText(kId, state, std::move(outcome)));
  }

  // Starts the waiter and returns once it runs (its log is there).
  std::future<ProgramRun> startWaiter() {
    auto run = std::async(std::launch::async, [this] {
      return runProgram(builtProgram("loftswitch-apply"),
                        {"--wait-elevated", "--request", pathToUtf8(user / "request.json"),
                         "--elevated-pid", std::to_string(helperPid_), "--elevated-started",
                         std::to_string(helperStarted_)});
    });
    EXPECT_TRUE(waitFor(user / "logs"));
    return run;
  }

  std::vector<std::string> started(std::size_t count) const {
    return startedVersions(runs, kId, count);
  }

  TempFolder temp;
  const std::filesystem::path install = temp / "App";
  const std::filesystem::path user = temp / "user";
  const Workspace workspace = workspaceForInstall(install, Layout::folder);
  const std::filesystem::path runs = temp / "runs.jsonl";
  const std::filesystem::path exited = user / (std::string("exited-") + kId);
  UniqueHandle helper_;
  DWORD helperPid_ = 0;
  std::uint64_t helperStarted_ = 0;
};

TEST_F(WaiterE2eTest, AConfirmedUpdateStartsOnlyTheNewVersion) {
  auto waiter = startWaiter();
  installVersion("2", "mode=stay\nstayMs=3000\n");
  writeJournal(JournalState::swapped);
  EXPECT_THAT(started(1), ElementsAre("2"));
  writeJournal(JournalState::confirmed, OutcomeRecord{"updated", "", ""});
  const ProgramRun run = waiter.get();
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_FALSE(std::filesystem::exists(exited));
}

TEST_F(WaiterE2eTest, AnEarlyExitIsPassedToTheHelperWithItsSign) {
  auto waiter = startWaiter();
  installVersion("2", "mode=crash\nexitCode=-7\n");
  writeJournal(JournalState::swapped);
  ASSERT_TRUE(waitFor(exited));
  EXPECT_EQ(readTestFile(exited), "-7");
  installVersion("1", "mode=confirm\n");
  writeJournal(JournalState::rolledBack,
               OutcomeRecord{"rolled-back", "exited",
                             "the new version exited with code -7 before it finished starting"});
  endHelper();
  const ProgramRun run = waiter.get();
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_THAT(started(2), ElementsAre("2", "1"));
}

}  // namespace
}  // namespace loftswitch
