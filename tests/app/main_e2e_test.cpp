#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "support/programs.h"
#include "support/run_program.h"
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

TEST(MainTest, HelpAndVersionGoToStandardOutput) {
  ProgramRun run = tool({"--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, kUsageText);
  EXPECT_EQ(run.err, "");
  run = tool({"--version"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "loftswitch-apply 0.1.0\n");
}

TEST(MainTest, UsageErrorsExitWith64) {
  expectUsage(tool({}), "--work is required");
  expectUsage(tool({"--work", "--id"}), "--id is required unless repairing");
  expectUsage(tool({"--work", "C:\\App\\.LoftSwitch", "--id", "0123456789abcdef"}),
              "--work must be a .loftswitch workspace folder");
  expectUsage(tool({"--elevated"}), "--request is required with --elevated and --wait-elevated");
  expectUsage(tool({"--wait-elevated", "--work", "x", "--id", "y"}),
              "--request is required with --elevated and --wait-elevated");
  expectUsage(tool({"--bogus", "--help"}), "unknown argument --bogus");
  expectUsage(tool({"--pid", "18446744073709551616"}), "--pid needs a number");
}

TEST(MainTest, NonAsciiArgumentsArriveAsUtf8) {
  expectUsage(tool({"--caf\xC3\xA9"}), "unknown argument --caf\xC3\xA9");
}

TEST(MainTest, AnUnreadableRequestIsRefusedWithoutALog) {
  TempFolder temp;
  const ProgramRun run = tool({"--elevated", "--request", (temp / "missing.json").string()});
  EXPECT_EQ(run.exitCode, 5);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.err.starts_with("loftswitch-apply: ")) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
}

TEST(MainTest, ARelativeWorkspaceIsTakenFromTheWorkingFolder) {
  TempFolder temp;
  std::filesystem::create_directories(temp / "App/.loftswitch");
  const ProgramRun run = runProgram(builtProgram("loftswitch-apply"),
                                    {"--work", ".loftswitch", "--id", "00000000000000aa"},
                                    temp / "App");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("applying 00000000000000aa in " + (temp / "App").string()),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("no update to apply: "), std::string::npos) << run.err;
}

}  // namespace
}  // namespace loftswitch
