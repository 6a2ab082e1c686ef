#include "app/file_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>

#include "base/file.h"

namespace loftswitch {
namespace {

std::tm utcTime(std::time_t seconds) {
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &seconds);
#else
  gmtime_r(&seconds, &parts);
#endif
  return parts;
}

}  // namespace

struct FileLog::State {
  std::mutex mutex;
  std::optional<OpenFile> file;
};

FileLog::FileLog(const std::filesystem::path& path) : state_(std::make_unique<State>()) {
  if (path.empty()) return;
  std::filesystem::path target = path;
  if (!target.has_filename()) target = target.parent_path();
  // The log never stops a run: without a file the lines still reach stderr.
  if (!createFolders(target.parent_path())) return;
  auto opened = openFile(path, OpenMode::createAlways, 0644);
  if (opened) state_->file.emplace(std::move(*opened));
}

FileLog::~FileLog() = default;

bool FileLog::hasFile() const { return state_->file.has_value(); }

std::string logLinePrefix(std::int64_t unixMillis) {
  std::int64_t seconds = unixMillis / 1000;
  std::int64_t millis = unixMillis % 1000;
  if (millis < 0) {
    millis += 1000;
    seconds -= 1;
  }
  const std::tm t = utcTime(static_cast<std::time_t>(seconds));
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ", t.tm_year + 1900,
                t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(millis));
  return buffer;
}

void FileLog::write(std::string_view text) {
  const auto now = std::chrono::system_clock::now();
  const std::int64_t millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::string line = logLinePrefix(millis);
  line.reserve(line.size() + text.size() + 1);
  line.append(text);
  line.push_back('\n');
  std::lock_guard<std::mutex> hold(state_->mutex);
  if (state_->file) {
    // A failed write loses this line in the file only; the next is tried again.
    (void)writeAll(*state_->file, line);
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
}

LogSink FileLog::fn() {
  return [this](std::string_view text) { write(text); };
}

std::string logStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const std::tm t = utcTime(seconds);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02dT%02d%02d%02dZ", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return buffer;
}

}  // namespace loftswitch
