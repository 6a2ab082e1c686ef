#include "workspace/journal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/matchers.h"

using namespace loftswitch;
using ::testing::StartsWith;

namespace {

constexpr std::string_view kDamaged = "the update journal is damaged: ";

// The smallest text that reads as a journal; `extra` goes before the end.
std::string minimal(std::string_view extra = "") {
  std::string text =
      R"({"journal": 1, "id": "00112233aabbccdd", "app": "demo", "from": "1.0", "to": "2.0",)"
      R"( "state": "staged", "layout": "folder", "executable": "demo.exe")";
  if (!extra.empty()) text += ", " + std::string(extra);
  return text + "}";
}

MATCHER_P(IsDamagedWith, detail, "fails as a damaged journal with the given detail") {
  if (arg) {
    *result_listener << "parsed";
    return false;
  }
  *result_listener << "failed with " << arg.error();
  return arg.error().code == ErrorCode::io &&
         arg.error().message == std::string(kDamaged) + std::string(detail);
}

Journal fullJournal() {
  Journal journal;
  journal.id = "00112233aabbccdd";
  journal.app = "com.example.demo";
  journal.from = "1.4.0";
  journal.to = "1.5.0";
  journal.state = JournalState::rollingBack;
  journal.layout = Layout::bundle;
  journal.executable = "Demo.app/démo.exe";
  journal.package = "9f86d081884c7d65";
  journal.preserve = {"config", "data/user.db"};
  journal.relaunch = Relaunch{{"--updated", "say \"hi\"\\now"}, "C:/Apps"};
  journal.timeouts = Timeouts{1000, -5, 3, 10, 4000000000};
  journal.moves = {Move{Location::target, Location::backup, "Demo.app"},
                   Move{Location::stage, Location::target, "Demo.app"},
                   Move{Location::target, Location::replaced, "Demo.app/config"}};
  journal.outcome = OutcomeRecord{"rolled-back", "in-use", "line\tone\nline two"};
  journal.reported = true;
  journal.lastError = "日本語 \x01";
  return journal;
}

constexpr std::string_view kFullText = R"({
  "app": "com.example.demo",
  "executable": "Demo.app/démo.exe",
  "from": "1.4.0",
  "id": "00112233aabbccdd",
  "journal": 1,
  "lastError": "日本語 \u0001",
  "layout": "bundle",
  "moves": [
    {
      "from": "target",
      "path": "Demo.app",
      "to": "backup"
    },
    {
      "from": "stage",
      "path": "Demo.app",
      "to": "target"
    },
    {
      "from": "target",
      "path": "Demo.app/config",
      "to": "replaced"
    }
  ],
  "outcome": {
    "detail": "line\tone\nline two",
    "reason": "in-use",
    "result": "rolled-back"
  },
  "package": "9f86d081884c7d65",
  "preserve": [
    "config",
    "data/user.db"
  ],
  "relaunch": {
    "args": [
      "--updated",
      "say \"hi\"\\now"
    ],
    "cwd": "C:/Apps"
  },
  "reported": true,
  "state": "rolling-back",
  "timeouts": {
    "confirmMs": -5,
    "exitMs": 1000,
    "retryAttempts": 3,
    "retryDelayMs": 10,
    "retryMaxDelayMs": 4000000000
  },
  "to": "1.5.0"
}
)";

}  // namespace

TEST(JournalTest, WritesEveryFieldInByteOrderWithTwoSpaceIndent) {
  EXPECT_EQ(serializeJournal(fullJournal()), kFullText);
}

TEST(JournalTest, ReadsMinimalTextWithDefaultsAndIgnoresWhatItNeedNotUnderstand) {
  Journal expected;
  expected.id = "00112233aabbccdd";
  expected.app = "demo";
  expected.from = "1.0";
  expected.to = "2.0";
  expected.executable = "demo.exe";
  EXPECT_THAT(parseJournal(minimal()), ::testing::Optional(expected));

  auto journal = parseJournal(minimal(
      R"("relaunch": "--x", "outcome": ["updated"], "reported": "yes", "timeouts": {"exitMs": -250},)"
      R"( "comment": {"any": [[[[[["thing"]]]]]]}, "Id": 5,)"
      R"( "moves": [{"from": "target", "to": "backup", "path": "a/b"},)"
      R"( {"path": "a/b", "to": "target", "from": "stage", "note": 1}])"));
  ASSERT_THAT(journal, IsOkay());
  expected.timeouts.exitMs = -250;
  expected.moves = {Move{Location::target, Location::backup, "a/b"},
                    Move{Location::stage, Location::target, "a/b"}};
  EXPECT_EQ(*journal, expected);
  const std::string written = serializeJournal(*journal);
  EXPECT_EQ(written.find("comment"), std::string::npos);
  EXPECT_EQ(written.find("\"Id\""), std::string::npos);
}

TEST(JournalTest, TimeoutsBeyondTheirRangeSaturateInsteadOfWrapping) {
  auto journal = parseJournal(
      minimal(R"("timeouts": {"exitMs": 18446744073709551615, "confirmMs": -9223372036854775808,)"
              R"( "retryAttempts": 4294967296, "retryDelayMs": 9223372036854775808})"));
  ASSERT_THAT(journal, IsOkay());
  constexpr auto kMax64 = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(journal->timeouts, (Timeouts{kMax64, std::numeric_limits<std::int64_t>::min(),
                                         std::numeric_limits<std::int32_t>::max(), kMax64, 1000}));
  auto negative = parseJournal(minimal(R"("timeouts": {"retryAttempts": -4294967296})"));
  ASSERT_THAT(negative, IsOkay());
  EXPECT_EQ(negative->timeouts.retryAttempts, std::numeric_limits<std::int32_t>::min());
}

TEST(JournalTest, EveryDamageIsReportedWithTheFirstProblemInReadingOrder) {
  const std::string head =
      R"({"journal": 1, "id": "0123456789abcdef", "app": "a", "from": "1", "to": "2")";
  const std::string kMalformed = "a move is malformed";
  const std::pair<std::string, std::string> cases[] = {
      {"[1]", "not an object"},
      {"\"journal\"", "not an object"},
      {"[[[[[[[[[1]]]]]]]]]", "nested deeper than 8 levels"},
      {minimal(R"("id": "x")"), "duplicate key \"id\""},
      // The version is checked before anything else.
      {R"({"journal": 2})", "unknown journal version"},
      {R"({"journal": 1.0, "id": "x"})", "unknown journal version"},
      {R"({"journal": "1"})", "unknown journal version"},
      {R"({"journal": -1})", "unknown journal version"},
      {R"({"id": 5, "state": "?"})", "unknown journal version"},
      {R"({"journal": 1, "state": "staged"})", "id is missing"},
      {R"({"journal": 1, "id": 7})", "id must be a string"},
      {R"({"journal": 1, "id": "0123456789abcdef", "app": null})", "app must be a string"},
      // The id names the attempt's folders: a path in it is damage.
      {R"({"journal": 1, "id": "../../../x", "app": "a"})", "id is not an attempt id"},
      {R"({"journal": 1, "id": "0123456789ABCDEF"})", "id is not an attempt id"},
      {head + "}", "state is missing"},
      {head + R"(, "state": 0})", "state must be a string"},
      {head + R"(, "state": "Staged", "layout": 1})", "unknown state"},
      {head + R"(, "state": "rolling_back"})", "unknown state"},
      {head + R"(, "state": "staged"})", "layout is missing"},
      {head + R"(, "state": "staged", "layout": "Bundle"})", "unknown layout"},
      {head + R"(, "state": "staged", "layout": "bundle"})", "executable is missing"},
      {minimal(R"("package": 1)"), "package must be a string"},
      {minimal(R"("preserve": "config")"), "preserve must be an array"},
      {minimal(R"("preserve": ["config", null])"), "preserve must hold strings"},
      {minimal(R"("moves": 1, "relaunch": {"args": 1}, "lastError": 2)"),
       "lastError must be a string"},
      {minimal(R"("relaunch": {"args": "--x"})"), "relaunch.args must be an array"},
      {minimal(R"("relaunch": {"args": ["--x", 1]})"), "relaunch.args must hold strings"},
      {minimal(R"("relaunch": {"cwd": false})"), "relaunch.cwd must be a string"},
      {minimal(R"("outcome": {}, "moves": 1, "timeouts": {"exitMs": "100"})"),
       "timeouts.exitMs must be an integer"},
      {minimal(R"("timeouts": {"confirmMs": 1.5})"), "timeouts.confirmMs must be an integer"},
      {minimal(R"("timeouts": {"retryAttempts": 1e3})"),
       "timeouts.retryAttempts must be an integer"},
      {minimal(R"("timeouts": {"retryDelayMs": true})"),
       "timeouts.retryDelayMs must be an integer"},
      {minimal(R"("timeouts": {"retryMaxDelayMs": null})"),
       "timeouts.retryMaxDelayMs must be an integer"},
      {minimal(R"("moves": {"from": "target"})"), "moves must be an array"},
      {minimal(R"("moves": null)"), "moves must be an array"},
      {minimal(R"("outcome": {}, "moves": [{"from": "target", "to": "stage", "path": "a"}, 1])"),
       "a move must be an object"},
      {minimal(R"("outcome": {"reason": "io"})"), "outcome.result is missing"},
      // A move is whole or malformed.
      {minimal(R"("moves": [{"from": "target", "to": "stage", "path": ""}])"), kMalformed},
      {minimal(R"("moves": [{"from": "target", "to": "Target", "path": "a"}])"), kMalformed},
      {minimal(R"("moves": [{"from": "trash", "to": "stage", "path": "a"}])"), kMalformed},
      {minimal(R"("moves": [{"to": "stage", "path": "a"}])"), kMalformed},
      {minimal(R"("moves": [{"from": "target", "path": "a"}])"), kMalformed},
      {minimal(R"("moves": [{"from": "target", "to": "stage"}])"), kMalformed},
      {minimal(R"("moves": [{"from": "target", "to": "stage", "path": 5}])"), kMalformed},
      {minimal(R"("moves": [{"from": 0, "to": "stage", "path": "a"}])"), kMalformed},
      {minimal(R"("outcome": {"result": "failed", "detail": 3})"),
       "outcome.detail must be a string"},
  };
  for (const auto& [text, detail] : cases) {
    EXPECT_THAT(parseJournal(text), IsDamagedWith(detail)) << text;
  }
  EXPECT_THAT(parseJournal("{\"journal\": 1,}"),
              FailsWithMessageThat(StartsWith(std::string(kDamaged) + "[json.exception.")));
}

TEST(JournalTest, EveryCutOfAValidJournalIsRefusedAsDamaged) {
  const std::string text = serializeJournal(fullJournal());
  // The text minus its final line break is still whole.
  for (std::size_t length = 0; length + 1 < text.size(); ++length) {
    auto read = parseJournal(std::string_view(text).substr(0, length));
    ASSERT_THAT(read, FailsWithMessageThat(StartsWith(std::string(kDamaged))))
        << "cut at " << length;
    ASSERT_EQ(read.error().code, ErrorCode::io);
  }
}

TEST(JournalTest, InvalidUtf8IsWrittenReplacedRatherThanThrown) {
  Journal journal;
  journal.id = "0123456789abcdef";
  journal.lastError = "bad \xFF byte";
  std::string text;
  ASSERT_NO_THROW(text = serializeJournal(journal));
  auto read = parseJournal(text);
  ASSERT_THAT(read, IsOkay());
  EXPECT_EQ(read->lastError, "bad \xEF\xBF\xBD byte");
}
