#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

#include "base/file.h"
#include "base/file_win32.h"
#include "base/text.h"
#include "base/unique_handle_win32.h"
#include "base/win32.h"

namespace loftswitch {
namespace {

constexpr std::uint64_t kChunk = std::uint64_t{1} << 30;

struct ModeRow {
  DWORD access;
  DWORD share;
  DWORD disposition;
  DWORD flags;
  const char* prefix;
};

ModeRow rowFor(OpenMode mode) {
  switch (mode) {
    case OpenMode::read:
      return {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, "can't open"};
    case OpenMode::readDenyWrite:
      return {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, "can't open"};
    case OpenMode::createNew:
      return {GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, "can't create"};
    case OpenMode::createAlways:
      return {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
              "can't create"};
    case OpenMode::openAlways:
      return {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
              "can't open"};
  }
  return {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, "can't open"};
}

}  // namespace

OpenFile::OpenFile() = default;
OpenFile::OpenFile(std::unique_ptr<Native> native, std::filesystem::path path)
    : native_(std::move(native)), path_(std::move(path)) {}
OpenFile::OpenFile(OpenFile&&) noexcept = default;
OpenFile& OpenFile::operator=(OpenFile&&) noexcept = default;
OpenFile::~OpenFile() = default;
void OpenFile::close() { native_.reset(); }

namespace {

HANDLE handleOf(const OpenFile& file) { return file.native().handle.get(); }

}  // namespace

Result<OpenFile> openFile(const std::filesystem::path& path, OpenMode mode,
                          std::uint32_t /*permissions*/) {
  const ModeRow row = rowFor(mode);
  // A named pipe's server could otherwise act with the rights of this
  // process, which may be an administrator's.
  UniqueFileHandle handle(::CreateFileW(longPath(path).c_str(), row.access, row.share, nullptr,
                                        row.disposition,
                                        row.flags | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                        nullptr));
  if (!handle) return fail(errorFromWin32(::GetLastError(), row.prefix, path));
  if (::GetFileType(handle.get()) != FILE_TYPE_DISK) {
    return fail(ErrorCode::invalidData,
                std::string(row.prefix) + " " + toUtf8(path.native()) + ": not a file on a disk");
  }
  return OpenFile(std::make_unique<OpenFile::Native>(std::move(handle)), path);
}

Result<std::uint64_t> readSome(OpenFile& file, std::span<std::uint8_t> buffer) {
  const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), kChunk));
  DWORD got = 0;
  if (!::ReadFile(handleOf(file), buffer.data(), want, &got, nullptr)) {
    return fail(errorFromWin32(::GetLastError(), "can't read", file.path()));
  }
  return got;
}

Result<Unit> readExactAt(OpenFile& file, std::uint64_t offset, std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), kChunk));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!::ReadFile(handleOf(file), buffer.data(), want, &got, &at)) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_HANDLE_EOF) return fail(errorFromWin32(error, "can't read", file.path()));
      got = 0;
    }
    if (got == 0) {
      return fail(ErrorCode::damaged, "unexpected end of " + toUtf8(file.path().native()));
    }
    offset += got;
    buffer = buffer.subspan(got);
  }
  return Unit{};
}

Result<std::uint64_t> fileSize(OpenFile& file) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handleOf(file), &size)) {
    return fail(errorFromWin32(::GetLastError(), "can't measure", file.path()));
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

Result<Unit> writeAll(OpenFile& file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD want = static_cast<DWORD>(std::min<std::uint64_t>(bytes.size(), kChunk));
    DWORD written = 0;
    if (!::WriteFile(handleOf(file), bytes.data(), want, &written, nullptr)) {
      return fail(errorFromWin32(::GetLastError(), "can't write", file.path()));
    }
    bytes.remove_prefix(written);
  }
  return Unit{};
}

Result<Unit> flushFile(OpenFile& file) {
  if (!::FlushFileBuffers(handleOf(file))) {
    return fail(errorFromWin32(::GetLastError(), "can't flush", file.path()));
  }
  return Unit{};
}

Result<Unit> truncateAt(OpenFile& file, std::uint64_t size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  if (!::SetFilePointerEx(handleOf(file), at, nullptr, FILE_BEGIN) ||
      !::SetEndOfFile(handleOf(file))) {
    return fail(errorFromWin32(::GetLastError(), "can't resize", file.path()));
  }
  return Unit{};
}

Result<Unit> createFolders(const std::filesystem::path& path) {
  const std::wstring longForm = longPath(path);
  if (::CreateDirectoryW(longForm.c_str(), nullptr)) return Unit{};
  DWORD error = ::GetLastError();
  if (error == ERROR_PATH_NOT_FOUND) {
    const std::filesystem::path parent = std::filesystem::path(longForm).parent_path();
    if (parent.native() == longForm || parent.empty()) {
      return fail(errorFromWin32(ERROR_PATH_NOT_FOUND, "can't create folder", path));
    }
    RETURN_IF_ERROR(createFolders(parent));
    if (::CreateDirectoryW(longForm.c_str(), nullptr)) return Unit{};
    error = ::GetLastError();
  }
  if (error == ERROR_ALREADY_EXISTS) {
    const DWORD attributes = ::GetFileAttributesW(longForm.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return Unit{};
    }
    return fail(ErrorCode::io,
                "can't create folder " + toUtf8(path.native()) + ": a file is in the way");
  }
  return fail(errorFromWin32(error, "can't create folder", path));
}

void randomBytes(std::span<std::uint8_t> buffer) {
  const NTSTATUS status = ::BCryptGenRandom(nullptr, buffer.data(),
                                            static_cast<ULONG>(buffer.size()),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) throw std::runtime_error("BCryptGenRandom failed");
}

}  // namespace loftswitch
