// The program's own wiring run in-process, with only the two folder checks
// replaced: Wine cannot show an administrator-only folder.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/main_routine.h"
#include "base/text.h"
#include "fs/local_file_system.h"
#include "support/fake_host.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::HasSubstr;

TEST(MainRoutineTest, TheElevatedModeWorksOnTheInstallHoldingTheToolsWorkspace) {
  TempFolder temp;
  const auto install = temp / "Program Files/App";
  writeTestFile(install / "app.exe", "version 1");
  writeTestFile(install / "loftswitch.json", nlohmann::json{
      {"loftswitch_install", 1}, {"app", "com.example.app"}, {"version", "1.0.0"},
      {"executable", "app.exe"}, {"platforms", {"windows-x64"}},
      {"publicKeys", {"AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQE="}}}.dump());
  const auto request = temp / "request.json";
  writeTestFile(request, nlohmann::json{
      {"loftswitch_request", 1}, {"id", "0123456789abcdef"}, {"version", "2.0.0"},
      {"platform", "windows-x64"}, {"size", 10}, {"sha256", std::string(64, 'a')},
      {"signature", std::string(86, 'A') + "=="}, {"package", pathToUtf8(temp / "missing.zip")},
      {"install", pathToUtf8(install)}, {"userWorkspace", pathToUtf8(temp / "user")},
      {"executable", "app.exe"}}.dump());

  LocalFileSystem fileSystem;
  FakeHost host;
  std::vector<std::filesystem::path> checked;
  Platform platform{fileSystem, host,
                    [&checked](const std::filesystem::path& folder) -> Result<Unit> {
                      checked.push_back(folder);
                      return Unit{};
                    },
                    [](const std::filesystem::path&) -> Result<Unit> { return Unit{}; },
                    // Anywhere inside the workspace, at any depth.
                    install / ".loftswitch/tools/bin/loftswitch-apply.exe"};

  const int code =
      mainRoutine({"--elevated", "--request", pathToUtf8(request), "--pid", "77"}, platform);

  // The signature is no good: refused before anything changes, nothing installed.
  EXPECT_EQ(code, 5);
  ASSERT_FALSE(checked.empty());
  EXPECT_EQ(checked.front(), install);
  EXPECT_FALSE(std::filesystem::exists(install / ".loftswitch/journal.json"));
  EXPECT_EQ(readTestFile(install / "app.exe"), "version 1");
  std::vector<std::string> logs;
  for (const auto& entry : std::filesystem::directory_iterator(install / ".loftswitch/logs")) {
    logs.push_back(pathToUtf8(entry.path().filename()));
    EXPECT_THAT(readTestFile(entry.path()), HasSubstr("finished: refused\n"));
  }
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_THAT(logs[0], ::testing::EndsWith("-elevated.log"));
  EXPECT_THAT(logs[0], HasSubstr("-0123456789abcdef-"));
}

}  // namespace
}  // namespace loftswitch
