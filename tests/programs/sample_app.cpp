// A sample application for the end-to-end tests and the demo, written on
// the application library as a real application would be. Its behaviour
// comes from "sample.ini" beside it, so that each staged version can behave
// differently:
//   version=2
//   mode=confirm | crash            (crash: exits with exitCode before confirming)
//   exitCode=3
//   create=logs/new.log,cache/a.bin  (files it writes into the install first)
//   rename=data/user.db:data/v2.db   (then renames a file of the install)
//   holdJournalMs=1000               (then keeps the journal open, unshared)
// With `--record <file>` it appends one JSON line saying which version ran,
// for which attempt, how its confirmation went and which outcome it was told.
// With `--start-update <attempt>` it starts the update of a staged attempt
// and exits, as an application does once it has staged an update.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "base/text.h"
#include "base/win32.h"
#include "fs/local_file_system.h"
#include "loftswitch/app.h"

namespace {

using namespace loftswitch;

std::filesystem::path ownFolder() {
  std::wstring buffer(32768, L'\0');
  buffer.resize(::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
  return std::filesystem::path(buffer).parent_path();
}

std::map<std::string, std::string> readSettings(FileSystem& fs, const std::filesystem::path& file) {
  std::map<std::string, std::string> settings;
  std::istringstream text(fs.readFile(file, 65536).value_or(""));
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (const auto eq = line.find('='); eq != std::string::npos) {
      settings[line.substr(0, eq)] = line.substr(eq + 1);
    }
  }
  return settings;
}

// The status's message, released.
std::string take(loftswitch_status& status) {
  std::string message = status.message != nullptr ? status.message : "";
  loftswitch_status_free(&status);
  return message;
}

// Early in every start: a relaunch after an update confirms it.
std::string confirm(const std::string& installFolder) {
  loftswitch_status status{};
  int32_t confirmation = LOFTSWITCH_NOT_RELAUNCHED;
  const int code =
      loftswitch_confirm_startup(installFolder.c_str(), nullptr, 10000, &confirmation, &status);
  const std::string message = take(status);
  if (code != LOFTSWITCH_OK) return "error: " + message;
  switch (confirmation) {
    case LOFTSWITCH_CONFIRMED: return "confirmed";
    case LOFTSWITCH_ALREADY_CONFIRMED: return "already confirmed";
    case LOFTSWITCH_NOT_RELAUNCHED: return "not asked";
    default: return "nothing to confirm";
  }
}

// What the user would be shown about the last update, marked as told.
std::string tellOutcome(const std::string& installFolder) {
  loftswitch_status status{};
  loftswitch_outcome outcome{};
  outcome.size = sizeof outcome;
  if (loftswitch_read_outcome(installFolder.c_str(), nullptr, &outcome, &status) != LOFTSWITCH_OK) {
    return "error: " + take(status);
  }
  take(status);
  if (!outcome.present) return "";
  std::string told = std::string(outcome.result) +
                     (*outcome.reason != '\0' ? std::string(" (") + outcome.reason + ")" : "");
  if (loftswitch_mark_reported(installFolder.c_str(), nullptr, outcome.attempt_id, 10000,
                               &status) != LOFTSWITCH_OK) {
    told += "; not marked: " + take(status);
  }
  take(status);
  loftswitch_outcome_free(&outcome);
  return told;
}

int startUpdate(const std::string& installFolder, const std::string& attempt) {
  loftswitch_status status{};
  const int code =
      loftswitch_start_apply(installFolder.c_str(), nullptr, attempt.c_str(), nullptr, &status);
  const std::string message = take(status);
  std::fprintf(stderr, "sample-app: %s\n", message.c_str());
  return code == LOFTSWITCH_OK ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  LocalFileSystem fs;
  const std::filesystem::path folder = ownFolder();
  const std::string installFolder = pathToUtf8(folder);
  auto settings = readSettings(fs, folder / "sample.ini");
  const std::string mode = settings.count("mode") ? settings["mode"] : "confirm";

  std::filesystem::path record;
  for (int i = 1; i < argc; ++i) {
    if (std::wstring_view(argv[i]) == L"--record" && i + 1 < argc) record = argv[i + 1];
    if (std::wstring_view(argv[i]) == L"--start-update" && i + 1 < argc) {
      return startUpdate(installFolder, toUtf8(argv[i + 1]));
    }
  }

  std::istringstream created(settings["create"]);
  for (std::string path; std::getline(created, path, ',');) {
    (void)fs.writeFile(folder / utf8ToPath(path), "made by the sample app");
  }
  if (const auto colon = settings["rename"].find(':'); colon != std::string::npos) {
    (void)fs.move(folder / utf8ToPath(settings["rename"].substr(0, colon)),
                  folder / utf8ToPath(settings["rename"].substr(colon + 1)));
  }
  if (settings.count("holdJournalMs")) {
    const HANDLE journal =
        ::CreateFileW((folder / L".loftswitch" / L"journal.json").c_str(), GENERIC_READ, 0,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ::Sleep(static_cast<DWORD>(std::stoi(settings["holdJournalMs"])));
    if (journal != INVALID_HANDLE_VALUE) ::CloseHandle(journal);
  }

  const std::string confirmation = mode == "confirm" ? confirm(installFolder) : "not asked";
  const std::string outcome = mode == "confirm" ? tellOutcome(installFolder) : "";
  if (!record.empty()) {
    wchar_t attempt[64] = {};
    ::GetEnvironmentVariableW(L"LOFTSWITCH_RELAUNCH", attempt, 64);
    const nlohmann::json line = {{"version", settings["version"]},
                                 {"attempt", toUtf8(attempt)},
                                 {"confirmation", confirmation},
                                 {"outcome", outcome}};
    (void)fs.append(record, line.dump() + "\n");
  }

  if (mode == "crash") return settings.count("exitCode") ? std::stoi(settings["exitCode"]) : 3;
  return 0;
}
