#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "base/outcome.h"

namespace loftswitch {
namespace {

using ::testing::HasSubstr;

ParseOutcome parse(std::vector<std::string> args) { return parseCommandLine(args); }

void expectUsageError(const ParseOutcome& outcome, const std::string& message) {
  EXPECT_FALSE(outcome.options);
  EXPECT_EQ(outcome.exitCode, 64);
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "loftswitch-apply: " + message + "\n\n" + kUsageText);
}

TEST(CommandLineTest, NumbersMustBeOneToTwentyDigitsThatFit) {
  EXPECT_EQ(parseNumber("0"), 0u);
  EXPECT_EQ(parseNumber("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parseNumber("00000000000000000001"), 1u);
  for (const char* bad : {"", "12a", "-1", "+1", " 1", "1 ", "18446744073709551616",
                          "99999999999999999999", "000000000000000000001"}) {
    EXPECT_FALSE(parseNumber(bad)) << bad;
  }
}

TEST(CommandLineTest, UsageErrorsNameTheOptionAsTyped) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--pid", "12a"}, "--pid needs a number"},
      {{"--pid", "-1"}, "--pid needs a number"},
      {{"--pid", ""}, "--pid needs a number"},
      {{"--work", "x", "--pid"}, "--pid needs a number"},
      {{"--pid-started", "18446744073709551616"}, "--pid-started needs a number"},
      {{"--elevated-pid", "x"}, "--elevated-pid needs a number"},
      {{"--elevated-started"}, "--elevated-started needs a number"},
      {{"--work"}, "--work needs a folder"},
      {{"--id"}, "--id needs a value"},
      {{"--request"}, "--request needs a file"},
      // Help acts only when the loop reaches it; names are case-sensitive.
      {{"--bogus", "--help"}, "unknown argument --bogus"},
      {{"--Work", "x"}, "unknown argument --Work"},
      {{"--HELP"}, "unknown argument --HELP"},
  };
  for (const auto& [args, message] : cases) expectUsageError(parse(args), message);
  const ParseOutcome help = parse({"-h", "--bogus"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out, kUsageText);
  EXPECT_EQ(help.err, "");
  const ParseOutcome version = parse({"--version", "--bogus"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "loftswitch-apply 0.1.0\n");
}

TEST(CommandLineTest, ValueOptionsTakeTheNextArgumentAndLaterOnesWin) {
  ParseOutcome outcome = parse({"--work", "--id"});
  ASSERT_TRUE(outcome.options);
  EXPECT_EQ(outcome.options->work, std::filesystem::path("--id"));
  EXPECT_EQ(outcome.options->id, "");
  outcome = parse({"--elevated", "--wait-elevated", "--id", "a", "--id", "b", "--request", "r"});
  ASSERT_TRUE(outcome.options);
  EXPECT_EQ(outcome.options->mode, Mode::waiter);
  EXPECT_EQ(outcome.options->id, "b");
  outcome = parse({"--wait-elevated", "--elevated", "--request", "r"});
  ASSERT_TRUE(outcome.options);
  EXPECT_EQ(outcome.options->mode, Mode::elevated);
}

TEST(CommandLineTest, PidKeepsItsLowThirtyTwoBits) {
  ParseOutcome outcome = parse({"--pid", "4294967297", "--pid-started", "77"});
  ASSERT_TRUE(outcome.options);
  const auto app = identityFrom(outcome.options->pid, outcome.options->pidStarted);
  ASSERT_TRUE(app);
  EXPECT_EQ(app->pid, 1u);
  EXPECT_EQ(app->started, 77u);
  // A start time without a pid names no process.
  outcome = parse({"--pid-started", "5"});
  ASSERT_TRUE(outcome.options);
  EXPECT_FALSE(identityFrom(outcome.options->pid, outcome.options->pidStarted));
  EXPECT_EQ(identityFrom(std::uint64_t{9}, std::nullopt)->started, 0u);
}

TEST(CommandLineTest, UsageTextKeepsItsExactColumns) {
  const std::string usage = kUsageText;
  EXPECT_THAT(usage, HasSubstr("[--pid ...]       elevated, from the install folder\n"));
  EXPECT_THAT(usage, HasSubstr("[--pid ...]  unelevated: relaunches the app afterwards\n"));
  EXPECT_EQ(std::count(usage.begin(), usage.end(), '\n'), 11);
}

TEST(OutcomeTest, NamesAndExitCodesFollowTheTable) {
  const struct {
    std::uint32_t number;
    const char* name;
    int exitCode;
  } table[] = {{0, "updated", 0},       {1, "unconfirmed", 0},       {2, "rolled-back", 1},
               {3, "nothing-to-do", 0}, {4, "app-still-running", 3}, {5, "busy", 4},
               {6, "failed", 2},        {7, "refused", 5},           {8, "failed", 2},
               {0xFFFFFFFF, "failed", 2}};
  for (const auto& row : table) {
    const auto outcome = static_cast<RunOutcome>(row.number);
    EXPECT_STREQ(outcomeName(outcome), row.name) << row.number;
    EXPECT_EQ(exitCodeFor(outcome), row.exitCode) << row.number;
  }
}

}  // namespace
}  // namespace loftswitch
