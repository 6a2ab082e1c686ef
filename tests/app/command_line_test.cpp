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
  EXPECT_EQ(parseNumber("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parseNumber("00000000000000000001"), 1u);
  for (const char* bad : {"", "12a", "-1", "+1", " 1", "18446744073709551616",
                          "000000000000000000001"}) {
    EXPECT_FALSE(parseNumber(bad)) << bad;
  }
}

TEST(CommandLineTest, UsageErrorsNameTheOptionAsTyped) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--work", "x", "--pid"}, "--pid needs a number"},
      {{"--pid-started", "18446744073709551616"}, "--pid-started needs a number"},
      {{"--elevated-pid", "x"}, "--elevated-pid needs a number"},
      {{"--elevated-started"}, "--elevated-started needs a number"},
      {{"--work"}, "--work needs a folder"},
      {{"--id"}, "--id needs a value"},
      {{"--request"}, "--request needs a file"},
      // Help acts only when the loop reaches it; names are case-sensitive.
      {{"--bogus", "--help"}, "unknown argument --bogus"},
      {{"--HELP"}, "unknown argument --HELP"},
  };
  for (const auto& [args, message] : cases) expectUsageError(parse(args), message);
  const ParseOutcome help = parse({"-h", "--bogus"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out, kUsageText);
  EXPECT_EQ(help.err, "");
}

CommandLine options(std::vector<std::string> args) {
  const ParseOutcome outcome = parse(std::move(args));
  EXPECT_TRUE(outcome.options) << outcome.err;
  return outcome.options.value_or(CommandLine{});
}

TEST(CommandLineTest, ValueOptionsTakeTheNextArgumentAndLaterOnesWin) {
  EXPECT_EQ(options({"--work", "--id"}).work, std::filesystem::path("--id"));
  EXPECT_EQ(options({"--work", "--id"}).id, "");
  const CommandLine later =
      options({"--elevated", "--wait-elevated", "--id", "a", "--id", "b", "--request", "r"});
  EXPECT_EQ(std::pair(later.mode, later.id), std::pair(Mode::waiter, std::string("b")));
  EXPECT_EQ(options({"--wait-elevated", "--elevated", "--request", "r"}).mode, Mode::elevated);
}

TEST(CommandLineTest, PidKeepsItsLowThirtyTwoBits) {
  const CommandLine both = options({"--pid", "4294967297", "--pid-started", "77"});
  const auto app = identityFrom(both.pid, both.pidStarted);
  ASSERT_TRUE(app);
  EXPECT_EQ(std::pair(app->pid, app->started), std::pair(1u, std::uint64_t{77}));
  // A start time without a pid names no process.
  const CommandLine startOnly = options({"--pid-started", "5"});
  EXPECT_FALSE(identityFrom(startOnly.pid, startOnly.pidStarted));
  EXPECT_EQ(identityFrom(std::uint64_t{9}, std::nullopt)->started, 0u);
}

}  // namespace
}  // namespace loftswitch
