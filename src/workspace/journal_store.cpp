#include "workspace/journal_store.h"

#include "base/text.h"

namespace loftswitch {

Result<Journal> loadJournal(FileSystem& fs, const Workspace& workspace) {
  ASSIGN_OR_RETURN(const std::optional<std::string> text,
                   readIfPresent(fs, journalPath(workspace), kJournalSizeLimit));
  if (!text) return fail(ErrorCode::notFound, "there is no " + pathToUtf8(journalPath(workspace)));
  return parseJournal(*text);
}

Result<std::string> journalText(const Journal& journal) {
  std::string text = serializeJournal(journal);
  if (text.size() > kJournalSizeLimit) {
    return fail(ErrorCode::tooLarge, "the update journal would be " + std::to_string(text.size()) +
                                         " bytes, more than the limit of " +
                                         std::to_string(kJournalSizeLimit) +
                                         ": the update has too many entries to record its moves");
  }
  return text;
}

Result<Unit> saveJournal(FileSystem& fs, const Workspace& workspace, const Journal& journal,
                         const LogSink& log) {
  Result<std::string> text = journalText(journal);
  Result<Unit> written = text ? fs.writeFile(journalPath(workspace), *text) : fail(text.error());
  if (!written) {
    logLine(log, "can't save the journal: " + written.error().message);
    return fail(std::move(written.error()));
  }
  return Unit{};
}

}  // namespace loftswitch
