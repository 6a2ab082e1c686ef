#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/file.h"
#include "base/text.h"
#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "fs/local_file_system.h"
#include "fs/tree_win32.h"

namespace loftswitch {
namespace {

constexpr int kReplaceTries = 20;
constexpr DWORD kReplacePauseMs = 25;
constexpr std::size_t kWriteChunk = std::size_t{1} << 30;

// Errors that another process holding a file open causes for a moment.
bool isTransient(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION || error == ERROR_DIR_NOT_EMPTY;
}

bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A child of a long-form folder; a root already ends in a separator.
std::wstring childOf(const std::wstring& folder, std::wstring_view name) {
  std::wstring child = folder;
  if (child.empty() || child.back() != L'\\') child += L'\\';
  child += name;
  return child;
}

// The names in a folder other than "." and "..". Fails with the Windows error
// when the listing cannot start or breaks off before its end.
DWORD listNames(const std::wstring& folder, std::vector<std::wstring>& names) {
  WIN32_FIND_DATAW data{};
  const std::wstring pattern = childOf(folder, L"*");
  UniqueFindHandle find(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
  if (!find) return ::GetLastError();
  do {
    const std::wstring_view name = data.cFileName;
    if (name != L"." && name != L"..") names.emplace_back(name);
  } while (::FindNextFileW(find.get(), &data));
  // A listing that stops early would hide entries from the caller, who
  // plans moves or deletes from it.
  const DWORD error = ::GetLastError();
  return error == ERROR_NO_MORE_FILES ? 0 : error;
}

void clearReadOnly(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return;
  DWORD cleared = attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
  if (cleared == 0) cleared = FILE_ATTRIBUTE_NORMAL;
  ::SetFileAttributesW(path.c_str(), cleared);
}

// Renames `from` over `to`, replacing it; returns a Windows error or 0.
DWORD replaceOnce(const std::wstring& from, const std::wstring& to) {
  {
    UniqueFileHandle handle(::CreateFileW(from.c_str(), DELETE | SYNCHRONIZE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return ::GetLastError();
    const std::size_t nameBytes = to.size() * sizeof(wchar_t);
    const std::size_t size = nameBytes + 24;
    std::vector<std::uint64_t> buffer((size + 7) / 8, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(info->FileName, to.data(), nameBytes);
    if (::SetFileInformationByHandle(handle.get(), FileRenameInfoEx, info,
                                     static_cast<DWORD>(size))) {
      return 0;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
        error != ERROR_INVALID_FUNCTION) {
      return error;
    }
  }
  // Windows before the POSIX rename, and file systems without it.
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  return ::GetLastError();
}

// Creates the folder that will hold `path`, unless it is a root.
class LocalFileWriter final : public FileWriter {
 public:
  explicit LocalFileWriter(OpenFile file) : file_(std::move(file)) {}
  Result<Unit> write(std::string_view bytes) override { return writeAll(file_, bytes); }

 private:
  OpenFile file_;
};

class LocalFileReader final : public FileReader {
 public:
  explicit LocalFileReader(OpenFile file) : file_(std::move(file)) {}
  Result<std::size_t> read(std::span<char> buffer) override {
    ASSIGN_OR_RETURN(const std::uint64_t got,
                     readSome(file_, std::span(reinterpret_cast<std::uint8_t*>(buffer.data()),
                                               buffer.size())));
    return static_cast<std::size_t>(got);
  }
  Result<std::uint64_t> size() override { return fileSize(file_); }

 private:
  OpenFile file_;
};

Result<Unit> createParent(const std::filesystem::path& path) {
  const std::filesystem::path parent = path.parent_path();
  if (parent.empty() || !parent.has_relative_path()) return Unit{};
  return loftswitch::createFolders(parent);
}

// Adds the bytes of the files below a long-form folder to `total`, links
// left out; returns a Windows error or 0.
DWORD addSizeBelow(const std::wstring& folder, std::uint64_t& total) {
  WIN32_FIND_DATAW data{};
  UniqueFindHandle find(::FindFirstFileExW(childOf(folder, L"*").c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
  if (!find) return ::GetLastError();
  do {
    const std::wstring_view name = data.cFileName;
    if (name == L"." || name == L".." || (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      continue;
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (const DWORD error = addSizeBelow(childOf(folder, name), total)) return error;
    } else {
      total += (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    }
  } while (::FindNextFileW(find.get(), &data));
  const DWORD error = ::GetLastError();
  return error == ERROR_NO_MORE_FILES ? 0 : error;
}

class HeldFile final : public FileLock {
 public:
  explicit HeldFile(UniqueFileHandle handle) : handle_(std::move(handle)) {}

 private:
  UniqueFileHandle handle_;
};

Error notChangeable(const std::filesystem::path& folder, DWORD error) {
  return Error{
      error == ERROR_ACCESS_DENIED ? ErrorCode::notWritable : ErrorCode::accessDenied,
      toUtf8(folder.native()) + " can't be changed by this user: " + windowsErrorText(error)};
}

}  // namespace

bool LocalFileSystem::exists(const std::filesystem::path& path) {
  return ::GetFileAttributesW(longPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

Result<EntryKind> LocalFileSystem::probe(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(longPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    if (isMissing(error)) return EntryKind::missing;
    return fail(errorFromWin32(error, "can't read the attributes of", path));
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return EntryKind::link;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::folder : EntryKind::file;
}

bool LocalFileSystem::isFolder(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(longPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
             FILE_ATTRIBUTE_DIRECTORY;
}

Result<std::vector<std::string>> LocalFileSystem::list(const std::filesystem::path& folder) {
  std::vector<std::wstring> wideNames;
  if (const DWORD error = listNames(longPath(folder), wideNames); error != 0) {
    return fail(errorFromWin32(error, "can't list", folder));
  }
  std::vector<std::string> names;
  names.reserve(wideNames.size());
  for (const std::wstring& name : wideNames) names.push_back(toUtf8(name));
  std::sort(names.begin(), names.end());
  return names;
}

Result<Unit> LocalFileSystem::move(const std::filesystem::path& from,
                                   const std::filesystem::path& to) {
  RETURN_IF_ERROR(createParent(to));
  if (!::MoveFileExW(longPath(from).c_str(), longPath(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
    return fail(
        errorFromWin32(::GetLastError(), "can't move " + toUtf8(from.native()) + " to", to));
  }
  return Unit{};
}

Result<Unit> LocalFileSystem::createFolders(const std::filesystem::path& path) {
  return loftswitch::createFolders(path);
}

Result<Unit> LocalFileSystem::remove(const std::filesystem::path& path) {
  if (const DWORD error = removeTree(longPath(path)); error != 0) {
    return fail(errorFromWin32(error, "can't delete", path));
  }
  return Unit{};
}

Result<Unit> LocalFileSystem::writeFile(const std::filesystem::path& path, std::string_view bytes) {
  RETURN_IF_ERROR(createParent(path));
  std::filesystem::path temporary = path;
  temporary += L".tmp";
  {
    ASSIGN_OR_RETURN(OpenFile file, openFile(temporary, OpenMode::createAlways, 0644));
    RETURN_IF_ERROR(writeAll(file, bytes));
    RETURN_IF_ERROR(flushFile(file));
  }
  const std::wstring from = longPath(temporary);
  const std::wstring to = longPath(path);
  DWORD error = 0;
  for (int attempt = 1; attempt <= kReplaceTries; ++attempt) {
    error = replaceOnce(from, to);
    if (error == 0) return Unit{};
    if (!isTransient(error)) break;
    ::Sleep(kReplacePauseMs);
  }
  return fail(errorFromWin32(error, "can't replace", path));
}

Result<std::unique_ptr<FileWriter>> LocalFileSystem::createFile(const std::filesystem::path& path,
                                                                std::uint32_t permissions) {
  ASSIGN_OR_RETURN(OpenFile file, openFile(path, OpenMode::createNew, permissions));
  return std::unique_ptr<FileWriter>(std::make_unique<LocalFileWriter>(std::move(file)));
}

Result<std::unique_ptr<FileReader>> LocalFileSystem::openRead(const std::filesystem::path& path) {
  ASSIGN_OR_RETURN(OpenFile file, openFile(path, OpenMode::read));
  return std::unique_ptr<FileReader>(std::make_unique<LocalFileReader>(std::move(file)));
}

Result<std::string> LocalFileSystem::readFile(const std::filesystem::path& path,
                                              std::uint64_t limit) {
  ASSIGN_OR_RETURN(OpenFile file, openFile(path, OpenMode::read));
  ASSIGN_OR_RETURN(const std::uint64_t size, fileSize(file));
  if (size > limit) {
    return fail(ErrorCode::tooLarge,
                toUtf8(path.native()) + " is larger than " + std::to_string(limit) + " bytes");
  }
  std::string bytes(static_cast<std::size_t>(size), '\0');
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const std::span<std::uint8_t> rest(reinterpret_cast<std::uint8_t*>(bytes.data()) + filled,
                                       bytes.size() - filled);
    ASSIGN_OR_RETURN(const std::uint64_t got, readSome(file, rest));
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  bytes.resize(filled);
  return bytes;
}

Result<Unit> LocalFileSystem::append(const std::filesystem::path& path, std::string_view bytes) {
  UniqueFileHandle handle(::CreateFileW(longPath(path).c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) return fail(errorFromWin32(::GetLastError(), "can't open", path));
  while (!bytes.empty()) {
    const DWORD want = static_cast<DWORD>(std::min(bytes.size(), kWriteChunk));
    DWORD written = 0;
    if (!::WriteFile(handle.get(), bytes.data(), want, &written, nullptr) || written != want) {
      return fail(errorFromWin32(::GetLastError(), "can't append to", path));
    }
    bytes.remove_prefix(written);
  }
  if (!::FlushFileBuffers(handle.get())) {
    return fail(errorFromWin32(::GetLastError(), "can't append to", path));
  }
  return Unit{};
}

Result<Unit> LocalFileSystem::copy(const std::filesystem::path& from,
                                   const std::filesystem::path& to) {
  RETURN_IF_ERROR(createParent(to));
  const std::wstring target = longPath(to);
  clearReadOnly(target);
  if (!::CopyFileW(longPath(from).c_str(), target.c_str(), FALSE)) {
    return fail(
        errorFromWin32(::GetLastError(), "can't copy " + toUtf8(from.native()) + " to", to));
  }
  return Unit{};
}

Result<Unit> LocalFileSystem::checkWritable(const std::filesystem::path& folder) {
  const std::wstring probe =
      childOf(longPath(folder), L".loftswitch-probe-" + toWide(randomToken(6)));
  const std::wstring renamed = probe + L"-renamed";
  const std::wstring probeFolder = probe + L"-folder";
  {
    UniqueFileHandle file(::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!file) return fail(notChangeable(folder, ::GetLastError()));
  }
  if (!::MoveFileExW(probe.c_str(), renamed.c_str(), 0)) {
    const DWORD error = ::GetLastError();
    ::DeleteFileW(probe.c_str());  // best effort: the refusal matters, not the leftover
    return fail(notChangeable(folder, error));
  }
  if (!::DeleteFileW(renamed.c_str())) return fail(notChangeable(folder, ::GetLastError()));
  if (!::CreateDirectoryW(probeFolder.c_str(), nullptr)) {
    return fail(notChangeable(folder, ::GetLastError()));
  }
  if (!::RemoveDirectoryW(probeFolder.c_str()))
    return fail(notChangeable(folder, ::GetLastError()));
  return Unit{};
}

Result<std::unique_ptr<FileLock>> LocalFileSystem::lock(const std::filesystem::path& path) {
  UniqueFileHandle handle(::CreateFileW(longPath(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (handle) return std::unique_ptr<FileLock>(std::make_unique<HeldFile>(std::move(handle)));
  const DWORD error = ::GetLastError();
  // Only another opener's handle refuses the file with these; access denied
  // means this user may not open it at all, which no wait would mend.
  if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return nullptr;
  return fail(errorFromWin32(error, "can't open the lock", path));
}

Result<std::uint64_t> LocalFileSystem::size(const std::filesystem::path& path) {
  const std::wstring entry = longPath(path);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(entry.c_str(), GetFileExInfoStandard, &data)) {
    return fail(errorFromWin32(::GetLastError(), "can't measure", path));
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return 0;
  if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  }
  std::uint64_t total = 0;
  if (const DWORD error = addSizeBelow(entry, total)) {
    return fail(errorFromWin32(error, "can't measure", path));
  }
  return total;
}

}  // namespace loftswitch
