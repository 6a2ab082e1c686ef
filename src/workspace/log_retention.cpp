#include "workspace/log_retention.h"

#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"

namespace loftswitch {
namespace {

// "20261205T103104Z-": the stamp that every run log and archived journal
// name starts with, so that the byte order of names is their age.
bool hasStamp(std::string_view name) {
  constexpr std::string_view kShape = "########T######Z-";
  if (name.size() <= kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool fits = kShape[i] == '#' ? name[i] >= '0' && name[i] <= '9' : name[i] == kShape[i];
    if (!fits) return false;
  }
  return true;
}

void removeOldest(FileSystem& fileSystem, const std::filesystem::path& folder,
                  const std::vector<std::string>& oldestFirst, std::size_t keep,
                  const LogSink& log) {
  if (oldestFirst.size() <= keep) return;
  for (std::size_t i = 0; i < oldestFirst.size() - keep; ++i) {
    const std::filesystem::path path = folder / utf8ToPath(oldestFirst[i]);
    if (auto removed = fileSystem.remove(path); !removed) {
      logLine(log, "can't remove the old log " + pathToUtf8(path) + ": " + removed.error().message);
    }
  }
}

}  // namespace

void pruneLogs(FileSystem& fileSystem, const std::filesystem::path& folder, const LogSink& log,
               std::size_t keep) {
  auto names = fileSystem.list(folder);
  if (!names) {
    if (names.error().code != ErrorCode::notFound) {
      logLine(log, "can't look for old logs: " + names.error().message);
    }
    return;
  }
  std::vector<std::string> runLogs;
  std::vector<std::string> journals;
  for (std::string& name : *names) {
    if (!hasStamp(name)) continue;
    if (name.ends_with("-journal.json")) {
      journals.push_back(std::move(name));
    } else if (name.ends_with(".log")) {
      runLogs.push_back(std::move(name));
    }
  }
  removeOldest(fileSystem, folder, runLogs, keep, log);
  removeOldest(fileSystem, folder, journals, keep, log);
}

}  // namespace loftswitch
