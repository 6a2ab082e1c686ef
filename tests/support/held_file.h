#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

namespace loftswitch {

// Another process (tests/programs/hold_file.cpp) holding a file. The
// constructor returns once that process holds it; `held()` is false when it
// could not.
class HeldFile {
 public:
  // `mode`: "exclusive" or "lock". `forMs` 0 holds until
  // release() or the end of the object.
  HeldFile(std::string_view mode, const std::filesystem::path& path, unsigned forMs = 0);
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile();

  bool held() const { return held_; }
  // Tells the process to let go and waits for it to end.
  void release();
  // Ends the process abruptly, as a crash would.
  void kill();

 private:
  struct Process;
  std::unique_ptr<Process> process_;
  std::filesystem::path markers_;
  bool held_ = false;
};

}  // namespace loftswitch
