#include "workspace/journal_store.h"

namespace loftswitch {

Result<Journal> loadJournal(FileSystem& fs, const Workspace& workspace) {
  ASSIGN_OR_RETURN(const std::string text, fs.readFile(journalPath(workspace), kJournalSizeLimit));
  return parseJournal(text);
}

Result<Unit> saveJournal(FileSystem& fs, const Workspace& workspace, const Journal& journal,
                         const LogSink& log) {
  auto written = fs.writeFile(journalPath(workspace), serializeJournal(journal));
  if (!written) {
    logLine(log, "can't save the journal: " + written.error().message);
    return fail(std::move(written.error()));
  }
  return Unit{};
}

}  // namespace loftswitch
