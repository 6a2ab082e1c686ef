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

TEST(CommandLineTest, UsageErrorsNameTheOptionAsTyped) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--work", "x", "--pid"}, "--pid needs a number"},
      {{"--pid-started", "18446744073709551616"}, "--pid-started needs a number"},
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

}  // namespace
}  // namespace loftswitch
