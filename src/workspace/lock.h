#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "base/clock.h"
#include "base/result.h"
#include "fs/file_system.h"

namespace loftswitch {

// Holds the workspace's lock file open so that no other process can take it:
// on Windows with no sharing at all, which keeps every other opener out.
// Destroying it, or moving another lock into it, releases the lock; so does
// the end of the process.
class WorkspaceLock {
 public:
  WorkspaceLock() = default;
  explicit WorkspaceLock(std::unique_ptr<FileLock> hold) : hold_(std::move(hold)) {}

  bool held() const { return hold_ != nullptr; }

 private:
  std::unique_ptr<FileLock> hold_;
};

// Takes the lock, waiting up to `waitMs` on `clock` while another opener
// holds it; `locked` when it is still held then. Creates the lock file when
// missing. Any other failure to open it comes back at once: only a lock that
// is held is worth waiting for.
[[nodiscard]] Result<WorkspaceLock> acquireWorkspaceLock(FileSystem& fileSystem, Clock& clock,
                                                         const std::filesystem::path& lockFile,
                                                         std::uint64_t waitMs);

}  // namespace loftswitch
