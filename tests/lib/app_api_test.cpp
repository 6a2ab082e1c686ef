#include "loftswitch/app.h"

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "base/text.h"
#include "base/win32.h"
#include "lib/app_test_support.h"
#include "support/programs.h"
#include "support/run_program.h"
#include "workspace/journal.h"

extern "C" const char* loftswitchCallsFromC(const char* install_folder);

namespace loftswitch::applib {
namespace {

using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;

// A status that frees itself.
struct Status {
  loftswitch_status raw{0, nullptr};
  ~Status() { loftswitch_status_free(&raw); }
  std::string message() const { return raw.message ? raw.message : "(none)"; }
};

class AppApiTest : public AppFolders {
 protected:
  std::string installText() const { return pathToUtf8(install()); }
};

TEST_F(AppApiTest, TheHeaderIsCAndEveryCallWorksFromC) {
  const char* failure = loftswitchCallsFromC(installText().c_str());
  EXPECT_EQ(failure, nullptr) << failure;
}

TEST_F(AppApiTest, ArgumentsThatAreNotUtf8AreRefusedWithAMessage) {
  Status status;
  char id[LOFTSWITCH_ATTEMPT_ID_SIZE] = "x";
  EXPECT_EQ(loftswitch_stage_package("C:\\caf\xE9", nullptr, nullptr, "p.zip", "{}", nullptr, id,
                                     &status.raw),
            LOFTSWITCH_ERROR_ARGUMENT);
  EXPECT_EQ(status.message(), "the install folder is not UTF-8");
  EXPECT_EQ(id[0], '\0');
}

TEST_F(AppApiTest, ConfirmsTheAttemptThatLoftswitchRelaunchNames) {
  writeJournal(journalOf(kId, JournalState::swapped));
  ASSERT_TRUE(::SetEnvironmentVariableW(L"LOFTSWITCH_RELAUNCH", toWide(kId).c_str()));
  Status status;
  int32_t confirmation = -1;
  const int code =
      loftswitch_confirm_startup(installText().c_str(), nullptr, 1000, &confirmation, &status.raw);
  ::SetEnvironmentVariableW(L"LOFTSWITCH_RELAUNCH", nullptr);
  EXPECT_EQ(code, LOFTSWITCH_OK) << status.message();
  EXPECT_EQ(confirmation, LOFTSWITCH_CONFIRMED);
  EXPECT_EQ(status.message(), "confirmed attempt " + std::string(kId) + ": version 2.0 is installed");
  EXPECT_EQ(readJournal().state, JournalState::confirmed);
}

TEST_F(AppApiTest, ReadsAndMarksTheOutcome) {
  Journal journal = journalOf(kId, JournalState::rolledBack);
  journal.outcome = OutcomeRecord{"rolled-back", "in-use", "app.exe is in use"};
  writeJournal(journal);
  loftswitch_outcome outcome{};
  Status status;
  ASSERT_EQ(loftswitch_read_outcome(installText().c_str(), nullptr, &outcome, &status.raw),
            LOFTSWITCH_OK);
  ASSERT_EQ(outcome.present, 1);
  EXPECT_STREQ(outcome.attempt_id, kId);
  EXPECT_STREQ(outcome.result, "rolled-back");
  EXPECT_STREQ(outcome.reason, "in-use");
  EXPECT_STREQ(outcome.detail, "app.exe is in use");
  EXPECT_STREQ(outcome.from_version, "1.0");
  EXPECT_STREQ(outcome.to_version, "2.0");
  const std::string id = outcome.attempt_id;
  loftswitch_outcome_free(&outcome);
  EXPECT_EQ(outcome.result, nullptr);
  EXPECT_EQ(outcome.present, 0);

  Status marked;
  EXPECT_EQ(loftswitch_mark_reported(installText().c_str(), nullptr, id.c_str(), 1000, &marked.raw),
            LOFTSWITCH_OK);
  EXPECT_TRUE(readJournal().reported);
}

// The exports of a loaded module, by name.
std::set<std::string> exportedNames(HMODULE module) {
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  std::set<std::string> names;
  if (entry.Size == 0) return names;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  const auto* rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    names.insert(reinterpret_cast<const char*>(base + rvas[i]));
  }
  return names;
}

TEST_F(AppApiTest, TheDllExportsTheCFunctionsAndNothingElse) {
  const std::filesystem::path dll = builtProgram("loftswitch-app").replace_extension(".dll");
  HMODULE module = ::LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  ASSERT_NE(module, nullptr) << pathToUtf8(dll);
  EXPECT_THAT(exportedNames(module),
              UnorderedElementsAre("loftswitch_status_free", "loftswitch_stage_package",
                                   "loftswitch_start_apply", "loftswitch_confirm_startup",
                                   "loftswitch_outcome_free", "loftswitch_read_outcome",
                                   "loftswitch_mark_reported"));
  using ReadOutcome = int (*)(const char*, const char*, loftswitch_outcome*, loftswitch_status*);
  using StatusFree = void (*)(loftswitch_status*);
  auto read = reinterpret_cast<ReadOutcome>(
      reinterpret_cast<void*>(::GetProcAddress(module, "loftswitch_read_outcome")));
  auto release = reinterpret_cast<StatusFree>(
      reinterpret_cast<void*>(::GetProcAddress(module, "loftswitch_status_free")));
  ASSERT_NE(read, nullptr);
  ASSERT_NE(release, nullptr);
  loftswitch_outcome outcome{};
  loftswitch_status status{0, nullptr};
  EXPECT_EQ(read(installText().c_str(), nullptr, &outcome, &status), LOFTSWITCH_OK);
  ASSERT_NE(status.message, nullptr);
  EXPECT_STREQ(status.message, "nothing to report: no update has been recorded");
  release(&status);
  ::FreeLibrary(module);
}

// Wine asks no one, so the program simply starts; what matters is that its
// arguments arrive whole and its identity comes back.
TEST(SystemStarterTest, StartsThroughTheAdministratorPromptWithItsArgumentsWhole) {
  TempFolder temp;
  const std::filesystem::path out = temp / "report.json";
  ASSERT_TRUE(::SetEnvironmentVariableW(L"PRINT_ARGS_OUT", out.c_str()));
  LaunchRequest request;
  request.program = builtProgram("print-args");
  request.arguments = {"--request", "C:\\a b\\request-1.json", "say \"hi\"", "tail\\", ""};
  SystemStarter starter;
  const auto started = starter.startElevated(request);
  ::SetEnvironmentVariableW(L"PRINT_ARGS_OUT", nullptr);
  ASSERT_TRUE(started) << started.error().message;
  EXPECT_NE(started->pid, 0u);
  EXPECT_NE(started->started, 0u);
  std::string report;
  for (int i = 0; i < 300 && report.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    report = readTestFile(out);
  }
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(nlohmann::json::parse(report)["args"], nlohmann::json(request.arguments));
}

// The whole road with the real tool: staged and started through the C
// functions. This process does not exit, so the tool, waiting for it, gives
// up at once (exitMs 0) and records why in the journal.
TEST_F(AppApiTest, StartApplyRunsTheRealToolForTheStagedAttempt) {
  std::filesystem::copy_file(builtProgram("loftswitch-apply"), install() / "loftswitch-apply.exe");
  writeTestFile(temp / "package.zip", v2Package());
  const std::string signedFields = signFor(v2Package());
  char id[LOFTSWITCH_ATTEMPT_ID_SIZE] = {};
  Status staged;
  ASSERT_EQ(loftswitch_stage_package(installText().c_str(), nullptr, nullptr,
                                     pathToUtf8(temp / "package.zip").c_str(), signedFields.c_str(),
                                     R"({"exitMs": 0})", id, &staged.raw),
            LOFTSWITCH_OK)
      << staged.message();
  Status started;
  ASSERT_EQ(loftswitch_start_apply(installText().c_str(), nullptr, id, nullptr, &started.raw),
            LOFTSWITCH_OK)
      << started.message();
  EXPECT_THAT(started.message(), HasSubstr("started loftswitch-apply for attempt " + std::string(id)));

  Journal journal;
  for (int i = 0; i < 300 && journal.lastError.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (auto read = parseJournal(readTestFile(workspace() / "journal.json"))) journal = *read;
  }
  EXPECT_EQ(journal.id, id);
  EXPECT_EQ(journal.state, JournalState::staged);
  EXPECT_THAT(journal.lastError, HasSubstr("didn't exit"));
  EXPECT_EQ(readTestFile(install() / "app.exe"), "version 1");
  // Let the tool finish writing its log before the folder goes.
  for (int i = 0; i < 100; ++i) {
    bool finished = false;
    for (const auto& log : std::filesystem::directory_iterator(workspace() / "logs")) {
      finished = finished || readTestFile(log.path()).find("finished: ") != std::string::npos;
    }
    if (finished) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string sampleTrust(const std::string& version) {
  return nlohmann::json{{"loftswitch_install", 1},
                        {"app", "demo"},
                        {"version", version},
                        {"executable", "sample-app.exe"},
                        {"platforms", {"windows-x64"}},
                        {"publicKeys", {encodeBase64(publicKey(1))}}}
      .dump();
}

// Both halves for real: the sample application stages nothing by hand,
// starts the tool through the library and exits; its new version confirms
// and tells the user through the library.
TEST_F(AppApiTest, TheSampleAppUpdatesItselfThroughTheLibrary) {
  const std::string app = readTestFile(builtProgram("sample-app"));
  writeTestFile(install() / "sample-app.exe", app);
  std::filesystem::copy_file(builtProgram("loftswitch-apply"), install() / "loftswitch-apply.exe");
  writeTestFile(install() / "sample.ini", "version=1\nmode=confirm\n");
  writeTestFile(install() / "loftswitch.json", sampleTrust("1"));
  const std::string package = ZipBuilder()
                                  .file("sample-app.exe", app, 0)
                                  .file("sample.ini", "version=2\nmode=confirm\n")
                                  .file("loftswitch.json", sampleTrust("2"))
                                  .build();
  writeTestFile(temp / "package.zip", package);
  const std::string signedFields = signFor(package, "2");
  char id[LOFTSWITCH_ATTEMPT_ID_SIZE] = {};
  Status staged;
  ASSERT_EQ(loftswitch_stage_package(installText().c_str(), nullptr, nullptr,
                                     pathToUtf8(temp / "package.zip").c_str(), signedFields.c_str(),
                                     R"({"confirmMs": 30000})", id, &staged.raw),
            LOFTSWITCH_OK)
      << staged.message();

  const ProgramRun start = runProgram(install() / "sample-app.exe", {"--start-update", id});
  ASSERT_EQ(start.exitCode, 0) << start.err;
  Journal journal;
  for (int i = 0; i < 600 && !journal.reported; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (auto read = parseJournal(readTestFile(workspace() / "journal.json"))) journal = *read;
  }
  EXPECT_EQ(journal.id, id);
  EXPECT_EQ(journal.state, JournalState::confirmed);
  EXPECT_EQ(journal.outcome, (OutcomeRecord{"updated", "", ""}));
  EXPECT_TRUE(journal.reported);
  EXPECT_EQ(readTestFile(install() / "sample.ini"), "version=2\nmode=confirm\n");
  // The tool ends once it has seen the confirmation; the folder goes after.
  for (int i = 0; i < 100; ++i) {
    bool finished = false;
    for (const auto& log : std::filesystem::directory_iterator(workspace() / "logs")) {
      finished = finished || readTestFile(log.path()).find("finished: updated") != std::string::npos;
    }
    if (finished) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace
}  // namespace loftswitch::applib
