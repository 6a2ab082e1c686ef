// A whole update with the real tool on a large install: 1,000 top-level
// entries and 20,000 files, once at about 200 MB and once at about 2 GB. The
// swap is renames only, so its time must not grow with the bytes; beside it,
// the time a copy-based update takes on the same data, and how long the tool
// takes to notice the new version's confirmation.
//   bench-apply.exe <scratch folder> [small-MB large-MB]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "app/file_log.h"
#include "base/file.h"
#include "base/text.h"
#include "base/win32.h"

namespace {

using namespace loftswitch;
using Clock = std::chrono::steady_clock;

constexpr int kTopLevel = 1000;
constexpr int kFiles = 20000;
constexpr char kAttempt[] = "00000000000000be";

std::filesystem::path ownFolder() {
  std::wstring buffer(32768, L'\0');
  buffer.resize(::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
  return std::filesystem::path(buffer).parent_path();
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
  auto file = openFile(path, OpenMode::createAlways);
  if (!file || !writeAll(*file, bytes)) {
    std::fprintf(stderr, "can't write %s\n", pathToUtf8(path).c_str());
    std::exit(2);
  }
}

// kTopLevel folders of kFiles / kTopLevel files each, `totalBytes` in all.
void writeVersion(const std::filesystem::path& folder, int version, std::uint64_t totalBytes) {
  const std::string content(static_cast<std::size_t>(totalBytes / kFiles),
                            static_cast<char>('a' + version));
  for (int top = 0; top < kTopLevel; ++top) {
    const auto entry = folder / ("entry-" + std::to_string(top));
    (void)createFolders(entry);
    for (int i = 0; i < kFiles / kTopLevel; ++i) {
      writeBytes(entry / ("file-" + std::to_string(i) + ".bin"), content);
    }
  }
  std::filesystem::copy_file(ownFolder() / "sample-app.exe", folder / "sample-app.exe");
  writeBytes(folder / "sample.ini", "version=" + std::to_string(version) + "\nmode=confirm\n");
}

// Milliseconds since 1970 of a log line's stamp "2026-12-05T10:31:04.123Z".
std::int64_t stampMillis(const std::string& line) {
  std::tm t{};
  int ms = 0;
  std::sscanf(line.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday,
              &t.tm_hour, &t.tm_min, &t.tm_sec, &ms);
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return static_cast<std::int64_t>(_mkgmtime(&t)) * 1000 + ms;
}

std::int64_t lineMillis(const std::string& log, const std::string& text) {
  const auto at = log.find(text);
  if (at == std::string::npos) return -1;
  const auto start = log.rfind('\n', at);
  return stampMillis(log.substr(start == std::string::npos ? 0 : start + 1));
}

std::string readAll(const std::filesystem::path& path) {
  auto file = openFile(path, OpenMode::read);
  if (!file) return {};
  std::string text(static_cast<std::size_t>(fileSize(*file).value_or(0)), '\0');
  (void)readExactAt(*file, 0, std::span<std::uint8_t>(
                                  reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
  return text;
}

double copyUpdateSeconds(const std::filesystem::path& from, const std::filesystem::path& to) {
  const auto start = Clock::now();
  for (const auto& entry : std::filesystem::recursive_directory_iterator(from)) {
    const auto target = to / entry.path().lexically_relative(from);
    if (entry.is_directory()) {
      (void)createFolders(target);
    } else {
      ::CopyFileW(longPath(entry.path()).c_str(), longPath(target).c_str(), FALSE);
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void runOnce(const std::filesystem::path& scratch, std::uint64_t megabytes) {
  const auto root = scratch / ("update-" + std::to_string(megabytes) + "mb");
  const auto app = root / "App";
  const auto work = app / ".loftswitch";
  const auto staged = work / "stage" / kAttempt / "new";
  const std::uint64_t bytes = megabytes * 1000 * 1000;
  writeVersion(app, 1, bytes);
  writeVersion(staged, 2, bytes);
  const auto record = root / "runs.jsonl";
  std::string recordJson = pathToUtf8(record);
  for (std::size_t i = 0; i < recordJson.size(); ++i) {
    if (recordJson[i] == '\\') recordJson.insert(i++, 1, '\\');
  }
  writeBytes(work / "journal.json",
             std::string(R"({"journal": 1, "id": ")") + kAttempt +
                 R"(", "app": "bench", "from": "1", "to": "2", "state": "staged",)" +
                 R"( "layout": "folder", "executable": "sample-app.exe",)" +
                 R"( "relaunch": {"args": ["--record", ")" + recordJson + R"("]}})");
  std::filesystem::copy_file(ownFolder() / "loftswitch-apply.exe",
                             work / "loftswitch-apply.exe");

  std::wstring commandLine = L"\"" + (work / "loftswitch-apply.exe").native() + L"\" --work \"" +
                             work.native() + L"\" --id " + toWide(kAttempt);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  const auto start = Clock::now();
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &info)) {
    std::fprintf(stderr, "can't start the tool: %s\n", windowsErrorText(::GetLastError()).c_str());
    std::exit(2);
  }
  ::WaitForSingleObject(info.hProcess, INFINITE);
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  DWORD code = 0;
  ::GetExitCodeProcess(info.hProcess, &code);
  ::CloseHandle(info.hProcess);
  ::CloseHandle(info.hThread);

  std::string log;
  for (const auto& entry : std::filesystem::directory_iterator(work / "logs")) {
    log = readAll(entry.path());
  }
  const std::int64_t applying = lineMillis(log, "Z applying ");
  const std::int64_t swapped = lineMillis(log, "Z swapped; starting");
  const std::int64_t confirmed = lineMillis(log, "Z the new version confirmed");
  const std::string runs = readAll(record);
  std::int64_t appConfirmed = -1;
  if (const auto at = runs.find("\"confirmedAtMs\":"); at != std::string::npos) {
    appConfirmed = std::stoll(runs.substr(at + 16));
  }
  std::printf("%5llu MB: exit %lu, whole run %.2f s, start to \"swapped\" %lld ms, "
              "confirmation noticed %lld ms after the app wrote it\n",
              static_cast<unsigned long long>(megabytes), code, total,
              static_cast<long long>(swapped - applying),
              static_cast<long long>(confirmed - appConfirmed));

  // The renames alone: every top-level entry out to a sibling folder and the
  // same number back, with no journal and no progress marks.
  const auto aside = root / "Aside";
  (void)createFolders(aside);
  const auto renameStart = Clock::now();
  for (int top = 0; top < kTopLevel; ++top) {
    const std::string name = "entry-" + std::to_string(top);
    ::MoveFileExW(longPath(app / name).c_str(), longPath(aside / name).c_str(),
                  MOVEFILE_WRITE_THROUGH);
  }
  for (int top = 0; top < kTopLevel; ++top) {
    const std::string name = "entry-" + std::to_string(top);
    ::MoveFileExW(longPath(aside / name).c_str(), longPath(app / name).c_str(),
                  MOVEFILE_WRITE_THROUGH);
  }
  std::printf("%5llu MB: the %d renames alone %.0f ms\n",
              static_cast<unsigned long long>(megabytes), 2 * kTopLevel,
              std::chrono::duration<double, std::milli>(Clock::now() - renameStart).count());

  // The same update by copying the new files over the old ones.
  const auto copyTarget = root / "CopyApp";
  writeVersion(copyTarget, 1, bytes);
  std::printf("%5llu MB: copy-based update of the same files %.2f s\n",
              static_cast<unsigned long long>(megabytes), copyUpdateSeconds(app, copyTarget));
  std::filesystem::remove_all(root);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench-apply <scratch folder> [small-MB large-MB]\n");
    return 64;
  }
  const std::filesystem::path scratch = argv[1];
  const std::uint64_t small = argc > 3 ? std::wcstoull(argv[2], nullptr, 10) : 200;
  const std::uint64_t large = argc > 3 ? std::wcstoull(argv[3], nullptr, 10) : 2000;
  std::printf("install of %d top-level entries and %d files\n", kTopLevel, kFiles);
  runOnce(scratch, small);
  runOnce(scratch, large);
  return 0;
}
