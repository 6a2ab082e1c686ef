#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>

#include "app/command_line.h"
#include "base/outcome.h"

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

// Scripts and installers branch on the exit code: each outcome exits as the
// README's table of exit codes promises.
TEST(ExitCodeTest, EachOutcomeExitsAsTheReadmePromises) {
  std::ifstream readme(std::string(LOFTSWITCH_SOURCE_DIR) + "/README.md");
  std::map<std::string, int> promised;
  const std::regex row(R"re(^\| (\d+) \| "([a-z-]+)" \|)re");
  std::smatch match;
  for (std::string line; std::getline(readme, line);) {
    if (std::regex_search(line, match, row)) promised[match[2]] = std::stoi(match[1]);
  }
  for (auto value = static_cast<std::uint32_t>(RunOutcome::updated);
       value <= static_cast<std::uint32_t>(RunOutcome::refused); ++value) {
    const auto outcome = static_cast<RunOutcome>(value);
    ASSERT_TRUE(promised.contains(outcomeName(outcome))) << outcomeName(outcome);
    EXPECT_EQ(exitCodeFor(outcome), promised[outcomeName(outcome)]) << outcomeName(outcome);
  }
}

}  // namespace
}  // namespace loftswitch
