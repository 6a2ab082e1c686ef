// The file primitives of the native build, over POSIX calls. Errors carry the
// system's text and the codes callers test.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "base/file.h"
#include "base/text.h"

namespace loftswitch {
namespace {

ErrorCode codeFor(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ErrorCode::notFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return ErrorCode::accessDenied;
    case ENOSPC:
    case EDQUOT:
      return ErrorCode::diskFull;
    default:
      return ErrorCode::io;
  }
}

Error systemError(int error, std::string_view prefix, const std::filesystem::path& path) {
  return Error{codeFor(error), std::string(prefix) + " " + pathToUtf8(path) + ": " +
                                   std::strerror(error) + " (" + std::to_string(error) + ")"};
}

}  // namespace

struct OpenFile::Native {
  explicit Native(int descriptor) : fd(descriptor) {}
  Native(const Native&) = delete;
  Native& operator=(const Native&) = delete;
  ~Native() { ::close(fd); }
  int fd;
};

OpenFile::OpenFile() = default;
OpenFile::OpenFile(std::unique_ptr<Native> native, std::filesystem::path path)
    : native_(std::move(native)), path_(std::move(path)) {}
OpenFile::OpenFile(OpenFile&&) noexcept = default;
OpenFile& OpenFile::operator=(OpenFile&&) noexcept = default;
OpenFile::~OpenFile() = default;
void OpenFile::close() { native_.reset(); }

Result<OpenFile> openFile(const std::filesystem::path& path, OpenMode mode,
                          std::uint32_t permissions) {
  int flags = O_CLOEXEC;
  const char* prefix = "can't open";
  switch (mode) {
    case OpenMode::read:
    case OpenMode::readDenyWrite:
      flags |= O_RDONLY;
      break;
    case OpenMode::createNew:
      flags |= O_RDWR | O_CREAT | O_EXCL;
      prefix = "can't create";
      break;
    case OpenMode::createAlways:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      prefix = "can't create";
      break;
    case OpenMode::openAlways:
      flags |= O_RDWR | O_CREAT;
      break;
  }
  const int fd = ::open(path.c_str(), flags, static_cast<mode_t>(permissions & 0777));
  if (fd < 0) return fail(systemError(errno, prefix, path));
  return OpenFile(std::make_unique<OpenFile::Native>(fd), path);
}

Result<std::uint64_t> readSome(OpenFile& file, std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t got = ::read(file.native().fd, buffer.data(), buffer.size());
    if (got >= 0) return static_cast<std::uint64_t>(got);
    if (errno != EINTR) return fail(systemError(errno, "can't read", file.path()));
  }
}

Result<Unit> readExactAt(OpenFile& file, std::uint64_t offset, std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    const ssize_t got =
        ::pread(file.native().fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(systemError(errno, "can't read", file.path()));
    }
    if (got == 0) return fail(ErrorCode::damaged, "unexpected end of " + pathToUtf8(file.path()));
    offset += static_cast<std::uint64_t>(got);
    buffer = buffer.subspan(static_cast<std::size_t>(got));
  }
  return Unit{};
}

Result<std::uint64_t> fileSize(OpenFile& file) {
  struct stat info {};
  if (::fstat(file.native().fd, &info) != 0) {
    return fail(systemError(errno, "can't measure", file.path()));
  }
  return static_cast<std::uint64_t>(info.st_size);
}

Result<Unit> writeAll(OpenFile& file, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(file.native().fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(systemError(errno, "can't write", file.path()));
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return Unit{};
}

Result<Unit> flushFile(OpenFile& file) {
  if (::fsync(file.native().fd) != 0) return fail(systemError(errno, "can't flush", file.path()));
  return Unit{};
}

Result<Unit> truncateAt(OpenFile& file, std::uint64_t size) {
  const auto at = static_cast<off_t>(size);
  if (::ftruncate(file.native().fd, at) != 0 || ::lseek(file.native().fd, at, SEEK_SET) < 0) {
    return fail(systemError(errno, "can't resize", file.path()));
  }
  return Unit{};
}

Result<Unit> createFolders(const std::filesystem::path& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return Unit{};
  int error = errno;
  if (error == ENOENT) {
    const std::filesystem::path parent = path.parent_path();
    if (parent.empty() || parent == path) return fail(systemError(error, "can't create folder", path));
    RETURN_IF_ERROR(createFolders(parent));
    if (::mkdir(path.c_str(), 0755) == 0) return Unit{};
    error = errno;
  }
  if (error == EEXIST) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return Unit{};
    return fail(ErrorCode::io, "can't create folder " + pathToUtf8(path) + ": a file is in the way");
  }
  return fail(systemError(error, "can't create folder", path));
}

void randomBytes(std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    const ssize_t got = ::getrandom(buffer.data(), buffer.size(), 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("getrandom failed");
    }
    buffer = buffer.subspan(static_cast<std::size_t>(got));
  }
}

}  // namespace loftswitch
