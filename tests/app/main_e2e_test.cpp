#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/command_line.h"
#include "support/programs.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

ProgramRun tool(const std::vector<std::string>& args) {
  return runProgram(builtProgram("loftswitch-apply"), args);
}

void expectUsage(const ProgramRun& run, const std::string& message) {
  EXPECT_EQ(run.exitCode, 64);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "loftswitch-apply: " + message + "\n\n" + kUsageText);
}

// Refused with exit code 5 and one line on standard error that starts so.
void expectRefused(const ProgramRun& run, const std::string& start) {
  EXPECT_EQ(run.exitCode, 5);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.err.starts_with(start)) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

TEST(MainTest, VersionGoesToStandardOutputAndUsageErrorsExitWith64) {
  const ProgramRun run = tool({"--version"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "loftswitch-apply 0.1.0\n");
  expectUsage(tool({}), "--work is required");
  expectUsage(tool({"--work", "C:\\App\\.LoftSwitch", "--id", "0123456789abcdef"}),
              "--work must be a .loftswitch workspace folder");
  expectUsage(tool({"--work", "C:\\App\\.loftswitch", "--id", "..\\..\\x"}),
              "--id must be an attempt id (16 lower-case hex digits)");
  // Non-ASCII arguments arrive as UTF-8.
  expectUsage(tool({"--caf\xC3\xA9"}), "unknown argument --caf\xC3\xA9");
}

std::string validRequestText(const TempFolder& temp) {
  return nlohmann::json{
      {"loftswitch_request", 1}, {"id", "0123456789abcdef"}, {"version", "1.1.0"},
      {"platform", "windows-x64"}, {"size", 10}, {"sha256", std::string(64, 'a')},
      {"signature", std::string(86, 'A') + "=="}, {"package", (temp / "package.zip").string()},
      {"install", (temp / "App").string()}, {"userWorkspace", (temp / "user").string()},
      {"executable", "demo.exe"}}.dump();
}

TEST(MainTest, TheElevatedModeRefusesAnInstallFolderOrdinaryUsersCanChange) {
  // Under Wine every folder belongs to the ordinary user, so the check of the
  // tool's own folder refuses, before any log is opened.
  TempFolder temp;
  writeTestFile(temp / "request.json", validRequestText(temp));
  expectRefused(tool({"--elevated", "--request", (temp / "request.json").string()}),
                "loftswitch-apply: refusing to run elevated: ");
  EXPECT_FALSE(std::filesystem::exists(builtProgram("loftswitch-apply").parent_path() /
                                       ".loftswitch"));
}

TEST(MainTest, TheWaiterRefusesAnOversizedRequestWithoutALog) {
  TempFolder temp;
  std::string padded = validRequestText(temp);
  padded.insert(1, "\"notes\": \"" + std::string(0x100000, 'n') + "\", ");
  writeTestFile(temp / "request.json", padded);
  expectRefused(tool({"--wait-elevated", "--request", (temp / "request.json").string()}),
                "loftswitch-apply: ");
  EXPECT_FALSE(std::filesystem::exists(temp / "user"));
}

}  // namespace
}  // namespace loftswitch
