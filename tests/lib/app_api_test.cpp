#include "loftswitch/app.h"

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
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

// A status that frees itself.
struct Status {
  loftswitch_status raw{0, nullptr};
  ~Status() { loftswitch_status_free(&raw); }
  std::string message() const { return raw.message ? raw.message : "(none)"; }
};

// Polls up to `tenths` tenths of a second for `done`.
template <typename Done>
void waitFor(int tenths, Done done) {
  for (int i = 0; i < tenths && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

class AppApiTest : public AppFolders {
 protected:
  std::string installText() const { return pathToUtf8(install()); }
};

TEST_F(AppApiTest, TheHeaderIsCAndEveryCallChecksItsArguments) {
  const char* failure = loftswitchCallsFromC(installText().c_str());
  EXPECT_EQ(failure, nullptr) << failure;
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
  EXPECT_EQ(std::string(outcome.result) + "|" + outcome.reason + "|" + outcome.detail + "|" +
                outcome.from_version + "|" + outcome.to_version,
            "rolled-back|in-use|app.exe is in use|1.0|2.0");
  loftswitch_outcome_free(&outcome);
  EXPECT_EQ(outcome.result, nullptr);
  EXPECT_EQ(outcome.present, 0);

  Status marked;
  EXPECT_EQ(loftswitch_mark_reported(installText().c_str(), nullptr, kId, 1000, &marked.raw),
            LOFTSWITCH_OK);
  EXPECT_TRUE(readJournal().reported);
}

TEST_F(AppApiTest, TheDllExportsEveryCall) {
  const std::filesystem::path dll = builtProgram("loftswitch-app").replace_extension(".dll");
  HMODULE module = ::LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  ASSERT_NE(module, nullptr) << pathToUtf8(dll);
  for (const char* name : {"loftswitch_stage_package", "loftswitch_start_apply",
                           "loftswitch_confirm_startup", "loftswitch_outcome_free",
                           "loftswitch_mark_reported"}) {
    EXPECT_NE(::GetProcAddress(module, name), nullptr) << name;
  }
  // What the DLL allocates, the DLL frees.
  using ReadOutcome = int (*)(const char*, const char*, loftswitch_outcome*, loftswitch_status*);
  using StatusFree = void (*)(loftswitch_status*);
  auto read = reinterpret_cast<ReadOutcome>(
      reinterpret_cast<void*>(::GetProcAddress(module, "loftswitch_read_outcome")));
  auto release = reinterpret_cast<StatusFree>(
      reinterpret_cast<void*>(::GetProcAddress(module, "loftswitch_status_free")));
  ASSERT_TRUE(read && release);
  loftswitch_outcome outcome{};
  loftswitch_status status{0, nullptr};
  EXPECT_EQ(read(installText().c_str(), nullptr, &outcome, &status), LOFTSWITCH_OK);
  EXPECT_STREQ(status.message, "nothing to report: no update has been recorded");
  release(&status);
  ::FreeLibrary(module);
}

// Wine asks no one, so the program simply starts; what matters is that its
// arguments arrive whole and its identity comes back.
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
// starts the real tool through the library and exits; its new version
// confirms and tells the user through the library.
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
  char id[LOFTSWITCH_ATTEMPT_ID_SIZE] = {};
  Status staged;
  ASSERT_EQ(loftswitch_stage_package(installText().c_str(), nullptr, nullptr,
                                     pathToUtf8(temp / "package.zip").c_str(),
                                     signFor(package, "2").c_str(), R"({"confirmMs": 30000})", id,
                                     &staged.raw),
            LOFTSWITCH_OK)
      << staged.message();

  const ProgramRun start = runProgram(install() / "sample-app.exe", {"--start-update", id});
  ASSERT_EQ(start.exitCode, 0) << start.err;
  Journal journal;
  waitFor(600, [&] {
    if (auto read = parseJournal(readTestFile(workspace() / "journal.json"))) journal = *read;
    return journal.reported;
  });
  EXPECT_EQ(journal.id, id);
  EXPECT_EQ(journal.state, JournalState::confirmed);
  EXPECT_EQ(journal.outcome, (OutcomeRecord{"updated", "", ""}));
  EXPECT_TRUE(journal.reported);
  EXPECT_EQ(readTestFile(install() / "sample.ini"), "version=2\nmode=confirm\n");
  // The tool ends once it has seen the confirmation; the folder goes after.
  waitFor(100, [&] {
    for (const auto& log : std::filesystem::directory_iterator(workspace() / "logs")) {
      if (readTestFile(log.path()).find("finished: updated") != std::string::npos) return true;
    }
    return false;
  });
}

}  // namespace
}  // namespace loftswitch::applib
