// The workspace lock of the native build: an exclusive flock on the lock
// file, which another open of the same file cannot share, in this process or
// any other.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/text.h"
#include "workspace/lock.h"

namespace loftswitch {
namespace {

class HeldDescriptor final : public WorkspaceLock::Hold {
 public:
  explicit HeldDescriptor(int fd) : fd_(fd) {}
  HeldDescriptor(const HeldDescriptor&) = delete;
  HeldDescriptor& operator=(const HeldDescriptor&) = delete;
  ~HeldDescriptor() override { ::close(fd_); }
  int fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

Result<std::unique_ptr<WorkspaceLock::Hold>> tryLockFile(const std::filesystem::path& lockFile) {
  const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int error = errno;
    return fail(error == ENOENT ? ErrorCode::notFound : ErrorCode::io,
                "can't open the lock " + pathToUtf8(lockFile) + ": " + std::strerror(error));
  }
  auto hold = std::make_unique<HeldDescriptor>(fd);
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return hold;
  const int error = errno;
  if (error == EWOULDBLOCK) return nullptr;
  return fail(ErrorCode::io,
              "can't lock " + pathToUtf8(lockFile) + ": " + std::strerror(error));
}

}  // namespace loftswitch
