#pragma once

#include <cstddef>
#include <filesystem>

#include "base/log_sink.h"
#include "fs/file_system.h"

namespace loftswitch {

// How many run logs, and apart from them how many archived journals, a
// "logs" folder keeps.
inline constexpr std::size_t kKeptLogs = 20;

// Deletes all but the newest `keep` run logs ("<stamp>-...log") and all but
// the newest `keep` archived journals ("<stamp>-...-journal.json") in
// `folder`; the stamp in front of each name orders them. Files of other
// names are never touched. Never fails: what cannot be listed or deleted is
// logged and left for the next run.
void pruneLogs(FileSystem& fileSystem, const std::filesystem::path& folder, const LogSink& log,
               std::size_t keep = kKeptLogs);

}  // namespace loftswitch
