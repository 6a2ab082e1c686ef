#include <windows.h>

#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "workspace/lock.h"

namespace loftswitch {
namespace {

class HeldFile final : public WorkspaceLock::Hold {
 public:
  explicit HeldFile(UniqueFileHandle handle) : handle_(std::move(handle)) {}

 private:
  UniqueFileHandle handle_;
};

}  // namespace

Result<std::unique_ptr<WorkspaceLock::Hold>> tryLockFile(const std::filesystem::path& lockFile) {
  UniqueFileHandle handle(::CreateFileW(longPath(lockFile).c_str(), GENERIC_READ | GENERIC_WRITE,
                                        0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (handle) return std::make_unique<HeldFile>(std::move(handle));
  const DWORD error = ::GetLastError();
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
      error == ERROR_LOCK_VIOLATION) {
    return nullptr;
  }
  return fail(errorFromWin32(error, "can't open the lock", lockFile));
}

}  // namespace loftswitch
