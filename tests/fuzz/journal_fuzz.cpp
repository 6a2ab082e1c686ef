#include <string>

#include "fuzz_check.h"
#include "workspace/journal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace loftswitch;
  auto journal = parseJournal(fuzzText(data, size));
  if (!journal) {
    FUZZ_CHECK(journal.error().code == ErrorCode::io);
    FUZZ_CHECK(journal.error().message.starts_with("the update journal is damaged: "));
    return 0;
  }
  // The id names folders in the workspace, and a move is never of nothing.
  FUZZ_CHECK(isAttemptIdText(journal->id));
  for (const Move& move : journal->moves) FUZZ_CHECK(!move.path.empty());

  // What the tool writes, it reads back unchanged; and writing is a fixed point.
  const std::string written = serializeJournal(*journal);
  auto reread = parseJournal(written);
  FUZZ_CHECK(reread.has_value());
  FUZZ_CHECK(*reread == *journal);
  FUZZ_CHECK(serializeJournal(*reread) == written);
  return 0;
}
