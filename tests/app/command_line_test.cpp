#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/command_line.h"

namespace loftswitch {
namespace {

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

}  // namespace
}  // namespace loftswitch
