// A sample application for the end-to-end tests and the demo. Its behaviour
// comes from "sample.ini" beside it, so that each staged version can behave
// differently:
//   version=2
//   mode=confirm | crash | stay     (crash: exits with exitCode before confirming)
//   exitCode=3
//   stayMs=5000                      (stay: keeps running this long)
// With `--record <file>` it appends one JSON line saying that it ran.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "base/win32.h"
#include "fs/local_file_system.h"
#include "workspace/journal.h"
#include "workspace/journal_store.h"
#include "workspace/lock.h"
#include "workspace/workspace.h"

namespace {

using namespace loftswitch;

std::filesystem::path ownFolder() {
  std::wstring buffer(32768, L'\0');
  buffer.resize(::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
  return std::filesystem::path(buffer).parent_path();
}

std::map<std::string, std::string> readSettings(FileSystem& fs, const std::filesystem::path& file) {
  std::map<std::string, std::string> settings;
  auto text = fs.readFile(file, 65536);
  if (!text) return settings;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    std::string line = text->substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (const auto eq = line.find('='); eq != std::string::npos) {
      settings[line.substr(0, eq)] = line.substr(eq + 1);
    }
    start = end + 1;
  }
  return settings;
}

std::string environment(const wchar_t* name) {
  std::wstring value(32768, L'\0');
  const DWORD length = ::GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  if (length == 0) return {};
  value.resize(length);
  return toUtf8(value);
}

// The new version's side of the contract: under the workspace lock, a
// "swapped" journal of this attempt becomes "confirmed", replaced atomically.
std::string confirm(FileSystem& fs, const std::filesystem::path& installFolder,
                    const std::string& attempt) {
  const Workspace workspace = workspaceForInstall(installFolder, Layout::folder);
  auto lock = acquireWorkspaceLock(lockPath(workspace), 10000);
  if (!lock) return "lock: " + lock.error().message;
  auto journal = loadJournal(fs, workspace);
  if (!journal) return "load: " + journal.error().message;
  if (journal->id != attempt || journal->state != JournalState::swapped) return "nothing to confirm";
  journal->state = JournalState::confirmed;
  if (auto saved = fs.writeFile(journalPath(workspace), serializeJournal(*journal)); !saved) {
    return "save: " + saved.error().message;
  }
  return "confirmed";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  LocalFileSystem fs;
  const std::filesystem::path folder = ownFolder();
  auto settings = readSettings(fs, folder / "sample.ini");
  const std::string mode = settings.count("mode") ? settings["mode"] : "confirm";
  const std::string attempt = environment(L"LOFTSWITCH_RELAUNCH");

  std::vector<std::string> args;
  std::filesystem::path record;
  for (int i = 1; i < argc; ++i) {
    args.push_back(toUtf8(argv[i]));
    if (std::wstring_view(argv[i]) == L"--record" && i + 1 < argc) record = argv[i + 1];
  }

  std::string confirmation = "not asked";
  if (!attempt.empty() && mode == "confirm") confirmation = confirm(fs, folder, attempt);
  const auto confirmedAt = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();

  if (!record.empty()) {
    nlohmann::json line = {{"version", settings["version"]},
                           {"attempt", attempt},
                           {"args", args},
                           {"cwd", pathToUtf8(std::filesystem::current_path())},
                           {"mode", mode},
                           {"confirmation", confirmation},
                           {"confirmedAtMs", confirmedAt}};
    (void)fs.append(record, line.dump() + "\n");
  }

  if (mode == "crash") return settings.count("exitCode") ? std::stoi(settings["exitCode"]) : 3;
  if (mode == "stay") {
    const int ms = settings.count("stayMs") ? std::stoi(settings["stayMs"]) : 5000;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  return 0;
}
