#include "workspace/journal.h"

#include <string>
#include <utility>

#include "support/matchers.h"
#include "workspace/journal_store.h"

// Round trips of accepted journals are the journal fuzz target's business;
// here what must be refused, and the edges a round trip seldom meets.
namespace loftswitch {
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

TEST(JournalTest, EveryDamageIsReportedWithTheFirstProblemInReadingOrder) {
  const std::string head =
      R"({"journal": 1, "id": "0123456789abcdef", "app": "a", "from": "1", "to": "2")";
  const std::string kMalformed = "a move is malformed";
  const std::pair<std::string, std::string> cases[] = {
      {"[1]", "not an object"},
      {minimal(R"("id": "x")"), "duplicate key \"id\""},
      // The version is checked before anything else.
      {R"({"journal": 1.0, "id": "x"})", "unknown journal version"},
      {R"({"journal": 2, "id": "x"})", "unknown journal version"},
      {R"({"journal": 1, "state": "staged"})", "id is missing"},
      // The id names the attempt's folders: a path in it is damage.
      {R"({"journal": 1, "id": "../../../x", "app": "a"})", "id is not an attempt id"},
      {head + R"(, "state": "rolling_back"})", "unknown state"},
      {head + R"(, "state": "staged", "layout": "bundle"})", "executable is missing"},
      {minimal(R"("preserve": ["config", null])"), "preserve must hold strings"},
      {minimal(R"("moves": 1, "relaunch": {"args": 1}, "lastError": 2)"),
       "lastError must be a string"},
      {minimal(R"("timeouts": {"retryAttempts": 1e3})"),
       "timeouts.retryAttempts must be an integer"},
      {minimal(R"("outcome": {"reason": "io"})"), "outcome.result is missing"},
      // A move is whole or malformed.
      {minimal(R"("moves": [{"from": "target", "to": "stage", "path": ""}])"), kMalformed},
      {minimal(R"("moves": [{"from": "target", "to": "Target", "path": "a"}])"), kMalformed},
  };
  for (const auto& [text, detail] : cases) {
    EXPECT_THAT(parseJournal(text), FailsWith(ErrorCode::io, std::string(kDamaged) + detail)) << text;
  }
}

// A system message may carry any bytes into lastError; the limit is the
// largest journal written, and a byte more is refused.
TEST(JournalTest, InvalidUtf8IsWrittenReplacedAndTheLimitIsTheLargestJournalWritten) {
  Journal journal;
  journal.id = "0123456789abcdef";
  journal.layout = Layout::bundle;
  journal.lastError = "bad \xFF byte";
  const Journal read = parseJournal(serializeJournal(journal)).value_or(Journal{});
  EXPECT_EQ(std::pair(read.lastError, read.layout), std::pair(std::string("bad \xEF\xBF\xBD byte"), Layout::bundle));
  journal.lastError.append(kJournalSizeLimit - serializeJournal(journal).size(), 'x');
  EXPECT_THAT(journalText(journal), IsOkay());
  journal.lastError += 'x';
  EXPECT_THAT(journalText(journal), FailsWithCode(ErrorCode::tooLarge));
}

}  // namespace
}  // namespace loftswitch
