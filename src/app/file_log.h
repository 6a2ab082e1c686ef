#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "base/log_sink.h"

namespace loftswitch {

// The log of one run: every line goes to the file (when it could be made) and
// to standard error. Never fails.
class FileLog {
 public:
  // An empty path: standard error only.
  explicit FileLog(const std::filesystem::path& path);
  FileLog(const FileLog&) = delete;
  FileLog& operator=(const FileLog&) = delete;
  ~FileLog();

  void write(std::string_view text);
  // A sink that writes to this log; it must not outlive it.
  LogSink fn();
  bool hasFile() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// UTC now as "20261205T103104Z", for file names.
std::string logStamp();

// The line prefix "2026-12-05T10:31:04.123Z " for a time in milliseconds
// since 1970.
std::string logLinePrefix(std::int64_t unixMillis);

}  // namespace loftswitch
