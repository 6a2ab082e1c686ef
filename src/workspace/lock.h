#pragma once

#include <cstdint>
#include <filesystem>

#include "base/result.h"

namespace loftswitch {

// Holds the workspace's lock file open with no sharing at all, which keeps
// every other opener out. Destroying it, or moving another lock into it,
// releases the lock; so does the end of the process.
class WorkspaceLock {
 public:
  WorkspaceLock() = default;
  explicit WorkspaceLock(void* handle) : handle_(handle) {}
  WorkspaceLock(const WorkspaceLock&) = delete;
  WorkspaceLock& operator=(const WorkspaceLock&) = delete;
  WorkspaceLock(WorkspaceLock&& other) noexcept;
  WorkspaceLock& operator=(WorkspaceLock&& other) noexcept;
  ~WorkspaceLock();

  bool held() const { return handle_ != nullptr; }

 private:
  void release();

  void* handle_ = nullptr;
};

// Takes the lock, waiting up to `waitMs` while another process holds it;
// `locked` when it is still held then. Creates the lock file when missing.
[[nodiscard]] Result<WorkspaceLock> acquireWorkspaceLock(const std::filesystem::path& lockFile,
                                                         std::uint64_t waitMs);

}  // namespace loftswitch
