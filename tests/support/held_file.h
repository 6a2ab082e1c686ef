#pragma once

#include <filesystem>
#include <memory>

#include "host/apply_host.h"

namespace loftswitch {

// Another process (tests/programs/hold_file.cpp) holding a file open for
// reading, shared for reading only. The constructor returns once that
// process holds it; `held()` is false when it could not. Given an `image`,
// the program is copied there and started from there.
class HeldFile {
 public:
  // `forMs` 0 holds until release() or the end of the object.
  explicit HeldFile(const std::filesystem::path& path, unsigned forMs = 0,
                    const std::filesystem::path& image = {});
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  ~HeldFile();

  bool held() const { return held_; }
  ProcessIdentity identity() const;
  // Tells the process to let go and end, without waiting for it.
  void letGo();
  // Ends the process abruptly, as a crash would.
  void kill();

 private:
  void release();

  struct Process;
  std::unique_ptr<Process> process_;
  std::filesystem::path markers_;
  bool held_ = false;
};

}  // namespace loftswitch
