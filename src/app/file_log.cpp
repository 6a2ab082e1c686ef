#include "app/file_log.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "base/file.h"
#include "base/log_stamp.h"

namespace loftswitch {

struct FileLog::State {
  std::mutex mutex;
  std::optional<OpenFile> file;
  // The lines written before `open`, while the log is held back.
  std::optional<std::string> held;
};

FileLog::FileLog(const std::filesystem::path& path) : state_(std::make_unique<State>()) {
  open(path);
}

FileLog::FileLog() : state_(std::make_unique<State>()) { state_->held.emplace(); }

void FileLog::open(const std::filesystem::path& path) {
  std::lock_guard<std::mutex> hold(state_->mutex);
  std::string earlier = std::move(state_->held).value_or("");
  state_->held.reset();
  if (path.empty() || state_->file) return;
  std::filesystem::path target = path;
  if (!target.has_filename()) target = target.parent_path();
  // The log never stops a run: without a file the lines still reach stderr.
  if (!createFolders(target.parent_path())) return;
  auto opened = openFile(path, OpenMode::createAlways, 0644);
  if (!opened) return;
  state_->file.emplace(std::move(*opened));
  (void)writeAll(*state_->file, earlier);
}

FileLog::~FileLog() = default;

bool FileLog::hasFile() const { return state_->file.has_value(); }

void FileLog::write(std::string_view text) {
  const auto now = std::chrono::system_clock::now();
  const std::int64_t millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::string line = logLinePrefix(millis);
  line.reserve(line.size() + text.size() + 1);
  line.append(text);
  line.push_back('\n');
  std::lock_guard<std::mutex> hold(state_->mutex);
  if (state_->held) state_->held->append(line);
  if (state_->file) {
    // A failed write loses this line in the file only; the next is tried again.
    (void)writeAll(*state_->file, line);
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
}

LogSink FileLog::fn() {
  return [this](std::string_view text) { write(text); };
}

}  // namespace loftswitch
