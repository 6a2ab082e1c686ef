#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "base/result.h"

namespace loftswitch {

// Holds the workspace's lock file open so that no other process can take it:
// on Windows with no sharing at all, which keeps every other opener out.
// Destroying it, or moving another lock into it, releases the lock; so does
// the end of the process.
class WorkspaceLock {
 public:
  // The platform's hold on the lock file; destroying it lets go.
  class Hold {
   public:
    virtual ~Hold() = default;
  };

  WorkspaceLock() = default;
  explicit WorkspaceLock(std::unique_ptr<Hold> hold) : hold_(std::move(hold)) {}

  bool held() const { return hold_ != nullptr; }

 private:
  std::unique_ptr<Hold> hold_;
};

// Takes the lock, waiting up to `waitMs` while another process holds it;
// `locked` when it is still held then. Creates the lock file when missing.
[[nodiscard]] Result<WorkspaceLock> acquireWorkspaceLock(const std::filesystem::path& lockFile,
                                                         std::uint64_t waitMs);

// One try of the platform's lock: null while another opener holds it.
[[nodiscard]] Result<std::unique_ptr<WorkspaceLock::Hold>> tryLockFile(
    const std::filesystem::path& lockFile);

}  // namespace loftswitch
