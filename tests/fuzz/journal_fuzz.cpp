#include <string>

#include "fuzz_check.h"
#include "workspace/journal.h"

namespace {

bool isLowerHexId(std::string_view text) {
  if (text.size() != 16) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace loftswitch;
  auto journal = parseJournal(fuzzText(data, size));
  if (!journal) {
    FUZZ_CHECK(journal.error().code == ErrorCode::io);
    FUZZ_CHECK(journal.error().message.starts_with("the update journal is damaged: "));
    return 0;
  }
  // The id names folders in the workspace, and a move is never of nothing.
  FUZZ_CHECK(isLowerHexId(journal->id));
  for (const Move& move : journal->moves) FUZZ_CHECK(!move.path.empty());

  // What the tool writes, it reads back unchanged; and writing is a fixed point.
  const std::string written = serializeJournal(*journal);
  FUZZ_CHECK(written.ends_with("}\n"));
  auto reread = parseJournal(written);
  FUZZ_CHECK(reread.has_value());
  FUZZ_CHECK(*reread == *journal);
  FUZZ_CHECK(serializeJournal(*reread) == written);
  return 0;
}
