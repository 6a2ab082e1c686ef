#pragma once

#include <cstdint>

#include "base/log_sink.h"
#include "base/result.h"
#include "fs/file_system.h"
#include "workspace/journal.h"
#include "workspace/workspace.h"

namespace loftswitch {

// A journal never comes near this size; a larger file is not parsed.
inline constexpr std::uint64_t kJournalSizeLimit = 1048576;

// The workspace's journal. A read failure (`notFound` when there is none,
// `tooLarge` past the limit) comes back unchanged; a file that does not read
// as a journal is an `io` error "the update journal is damaged: ...".
[[nodiscard]] Result<Journal> loadJournal(FileSystem& fs, const Workspace& workspace);

// The journal's text, or `tooLarge` when it would be larger than a read
// takes: a journal that cannot be read back could never be undone.
[[nodiscard]] Result<std::string> journalText(const Journal& journal);

// Replaces the workspace's journal atomically, so that readers see the old
// journal or the new one, whole; refuses one that `journalText` refuses. A
// failure is logged and returned unchanged.
[[nodiscard]] Result<Unit> saveJournal(FileSystem& fs, const Workspace& workspace,
                                       const Journal& journal, const LogSink& log);

}  // namespace loftswitch
