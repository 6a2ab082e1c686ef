// Stops the real tool at several points of a large swap, as a power cut or a
// killed process would, and runs it again: the install must end exactly as it
// was before, or exactly as the new version when the swap had finished.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "base/text.h"
#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "support/programs.h"
#include "support/run_program.h"
#include "support/sample_runs.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

constexpr int kEntries = 120;
constexpr char kAttempt[] = "00000000000000c1";

using Snapshot = std::map<std::string, std::string>;

void writeVersion(const std::filesystem::path& folder, int version) {
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(builtProgram("sample-app"), folder / "sample-app.exe");
  writeTestFile(folder / "sample.ini", "version=" + std::to_string(version) + "\nmode=confirm\n");
  for (int i = 0; i < kEntries; ++i) {
    // Half the names are shared by both versions, half belong to one only.
    const std::string name = i % 2 == 0 ? "shared-" + std::to_string(i)
                                        : "v" + std::to_string(version) + "-" + std::to_string(i);
    writeTestFile(folder / (name + "/data.txt"), name + " of version " + std::to_string(version));
  }
}

// Version 1 installed and version 2 staged, with the tool in the workspace.
class ApplyCrashTest : public ::testing::Test {
 protected:
  ApplyCrashTest() {
    writeVersion(app(), 1);
    before_ = installFiles(app());
    writeVersion(work() / "stage" / kAttempt / "new", 2);
    after_ = installFiles(work() / "stage" / kAttempt / "new");
    writeTestFile(work() / "journal.json",
                  std::string(R"({"journal": 1, "id": ")") + kAttempt +
                      R"(", "app": "crash", "from": "1", "to": "2", "state": "staged",
                          "layout": "folder", "executable": "sample-app.exe",
                          "timeouts": {"confirmMs": 0}})");
    std::filesystem::copy_file(builtProgram("loftswitch-apply"), tool());
  }

  std::filesystem::path app() const { return temp_ / "App"; }
  std::filesystem::path work() const { return app() / ".loftswitch"; }
  std::filesystem::path tool() const { return work() / "loftswitch-apply.exe"; }
  ProgramRun runTool() const { return runProgram(tool(), {"--work", pathToUtf8(work()), "--id", kAttempt}); }
  std::uintmax_t progress() const {
    std::error_code missing;
    const auto size = std::filesystem::file_size(work() / "stage" / kAttempt / "progress", missing);
    return missing ? 0 : size;
  }

  // Starts the tool and kills it once the swap has made `moves` moves.
  // False when the tool ended before that.
  bool runAndKillAfter(std::uintmax_t moves) {
    std::wstring commandLine = L"\"" + tool().native() + L"\" --work \"" + work().native() +
                               L"\" --id " + toWide(kAttempt);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(tool().c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
      ADD_FAILURE() << "can't start the tool: " << windowsErrorText(::GetLastError());
      return false;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    while (progress() < moves) {
      if (::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return false;
      ::Sleep(1);
    }
    ::TerminateProcess(process.get(), 99);
    ::WaitForSingleObject(process.get(), INFINITE);
    return true;
  }

  TempFolder temp_;
  Snapshot before_;
  Snapshot after_;
};

// The number of moves after which the tool is killed.
class ApplyKillTest : public ApplyCrashTest, public ::testing::WithParamInterface<std::uintmax_t> {};

TEST_P(ApplyKillTest, ASecondRunUndoesAKilledSwapExactly) {
  ASSERT_NE(before_, after_);
  ASSERT_TRUE(runAndKillAfter(GetParam())) << "the tool ended before the kill";
  const ProgramRun again = runTool();
  EXPECT_EQ(again.exitCode, 1) << again.err;
  EXPECT_EQ(installFiles(app()), before_) << again.err;
  EXPECT_THAT(readTestFile(work() / "journal.json"), ::testing::HasSubstr("\"state\": \"rolled-back\""));
}

// A swap of 122 entries out and 122 in makes 244 moves.
INSTANTIATE_TEST_SUITE_P(KilledAfter, ApplyKillTest, ::testing::Values(61u, 243u),
                         [](const auto& info) { return std::to_string(info.param) + "Moves"; });

}  // namespace
}  // namespace loftswitch
