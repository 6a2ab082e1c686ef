#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "base/log_sink.h"
#include "base/log_stamp.h"

namespace loftswitch {

// The log of one run: every line goes to the file (when it could be made) and
// to standard error. Never fails.
class FileLog {
 public:
  // An empty path: standard error only.
  explicit FileLog(const std::filesystem::path& path);
  // Standard error only until `open`, which writes the lines so far into the
  // file first: a run that ends before it leaves no file at all.
  FileLog();
  void open(const std::filesystem::path& path);
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

}  // namespace loftswitch
