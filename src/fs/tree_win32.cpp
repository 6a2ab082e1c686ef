#include <windows.h>
#include <winternl.h>

#include "fs/tree_win32.h"

#include <cstdint>
#include <utility>

#include "base/win32.h"

namespace loftswitch {
namespace {

constexpr int kDeleteTries = 10;
constexpr DWORD kDeletePauseStepMs = 20;
constexpr ACCESS_MASK kWalkAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Errors that another process holding a file open causes for a moment.
bool isTransient(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
         error == ERROR_LOCK_VIOLATION || error == ERROR_DIR_NOT_EMPTY;
}

std::wstring childPath(const std::wstring& folder, std::wstring_view name) {
  std::wstring path = folder;
  if (path.empty() || path.back() != L'\\') path += L'\\';
  path += name;
  return path;
}

DWORD readAttributes(OpenEntry& entry) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(entry.handle.get(), FileAttributeTagInfo, &tag,
                                      sizeof tag)) {
    return ::GetLastError();
  }
  entry.attributes = tag.FileAttributes;
  return 0;
}

std::wstring_view lastComponent(std::wstring_view path) {
  const std::size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

// The path the system itself holds for an open handle, or nothing.
std::wstring openedPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(),
                                                     static_cast<DWORD>(path.size()),
                                                     FILE_NAME_OPENED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length + 1);
  }
  return {};
}

// Whether `child` is the entry `name` of `parent` and not something a link
// led to. Windows opens a link itself, so this holds there; Wine follows
// Unix links even when told not to, and the handle then names the target.
bool reachedItself(const OpenEntry& parent, std::wstring_view name, const OpenEntry& child) {
  const std::wstring childName = openedPath(child.handle.get());
  // A folder renamed while it is walked gives a stale parent name: ask again.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::wstring expected = childPath(openedPath(parent.handle.get()), name);
    if (!childName.empty() && equalsIgnoreCase(childName, expected)) return true;
  }
  return false;
}

// One delete through the entry's own handle; POSIX semantics free the name at
// once where the file system has them.
DWORD deleteByHandle(OpenEntry& entry) {
  FILE_DISPOSITION_INFO_EX ex{};
  ex.Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
             FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;
  if (::SetFileInformationByHandle(entry.handle.get(), FileDispositionInfoEx, &ex, sizeof ex)) {
    return 0;
  }
  DWORD error = ::GetLastError();
  if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
      error != ERROR_INVALID_FUNCTION) {
    return error;
  }
  // Older systems (and Wine): a read-only attribute stops the plain delete.
  if (entry.attributes & FILE_ATTRIBUTE_READONLY) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = (entry.attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}) &
                           ~DWORD{FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT};
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(entry.handle.get(), FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO plain{};
  plain.DeleteFile = TRUE;
  if (::SetFileInformationByHandle(entry.handle.get(), FileDispositionInfo, &plain,
                                   sizeof plain)) {
    return 0;
  }
  error = ::GetLastError();
  return error;
}

constexpr ACCESS_MASK kDeleteAccess = DELETE | FILE_WRITE_ATTRIBUTES;

// A folder being emptied: its handle, its entries and the first failure.
struct Emptying {
  OpenEntry folder;
  std::vector<FolderEntry> entries;
  std::size_t next = 0;
  DWORD firstError = 0;
};

// Deletes the entry `name` of `parent` that is not a folder to walk into,
// opening it anew for each try so that a holder that lets go is waited out.
DWORD deleteChild(const OpenEntry& parent, std::wstring_view name) {
  for (int attempt = 1;; ++attempt) {
    OpenEntry child;
    DWORD error = openChild(parent, name, kDeleteAccess, child);
    if (error == 0) {
      error = deleteByHandle(child);
      child.handle.reset();  // a plain delete happens when the last handle closes
    }
    if (error == 0 || isMissing(error)) return 0;
    if (!isTransient(error)) return error;
    ::Sleep(kDeletePauseStepMs * static_cast<DWORD>(attempt));
    if (attempt == kDeleteTries) return error;
  }
}

// Deletes an emptied folder through the handle it was walked with.
DWORD deleteEmptied(Emptying& emptying) {
  if (emptying.firstError != 0) return emptying.firstError;
  for (int attempt = 1;; ++attempt) {
    const DWORD error = deleteByHandle(emptying.folder);
    if (error == 0 || isMissing(error)) {
      emptying.folder.handle.reset();
      return 0;
    }
    if (!isTransient(error)) return error;
    ::Sleep(kDeletePauseStepMs * static_cast<DWORD>(attempt));
    if (attempt == kDeleteTries) return error;
  }
}

DWORD startEmptying(OpenEntry folder, const AfterListing& afterListing,
                    std::vector<Emptying>& stack) {
  Emptying emptying;
  emptying.folder = std::move(folder);
  const DWORD error = listOpenFolder(emptying.folder, emptying.entries);
  if (error != 0) return error;
  if (afterListing) afterListing(emptying.folder.path);
  stack.push_back(std::move(emptying));
  return 0;
}

}  // namespace

DWORD openForWalk(const std::wstring& path, ACCESS_MASK access, OpenEntry& entry) {
  entry.handle.reset(::CreateFileW(path.c_str(), access | kWalkAccess | FILE_LIST_DIRECTORY,
                                   kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr));
  if (!entry.handle) {
    // Files locked against reading can still be opened to be deleted.
    entry.handle.reset(::CreateFileW(path.c_str(), access | kWalkAccess, kShareAll, nullptr,
                                     OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                     nullptr));
  }
  if (!entry.handle) return ::GetLastError();
  entry.path = path;
  return readAttributes(entry);
}

DWORD openChild(const OpenEntry& parent, std::wstring_view name, ACCESS_MASK access,
                OpenEntry& child, bool verify) {
  UNICODE_STRING unicodeName{};
  unicodeName.Buffer = const_cast<PWSTR>(name.data());
  unicodeName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  unicodeName.MaximumLength = unicodeName.Length;
  OBJECT_ATTRIBUTES attributes{};
  InitializeObjectAttributes(&attributes, &unicodeName, OBJ_CASE_INSENSITIVE,
                             parent.handle.get(), nullptr);
  const ULONG options =
      FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;
  NTSTATUS status = 0;
  for (const ACCESS_MASK extra : {ACCESS_MASK{FILE_LIST_DIRECTORY}, ACCESS_MASK{0}}) {
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    status = ::NtCreateFile(&handle, access | kWalkAccess | extra, &attributes, &io, nullptr, 0,
                            kShareAll, FILE_OPEN, options, nullptr, 0);
    if (status >= 0) {
      child.handle.reset(handle);
      break;
    }
  }
  if (status < 0) return ::RtlNtStatusToDosError(status);
  child.path = childPath(parent.path, name);
  if (const DWORD error = readAttributes(child); error != 0) return error;
  if (verify && !reachedItself(parent, name, child)) {
    child.handle.reset();
    return ERROR_NOT_SUPPORTED;
  }
  return 0;
}

DWORD listOpenFolder(const OpenEntry& folder, std::vector<FolderEntry>& entries) {
  // FILE_ID_BOTH_DIR_INFO holds 64-bit fields: keep the buffer aligned.
  std::vector<std::uint64_t> buffer(8192);
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  for (;;) {
    if (!::GetFileInformationByHandleEx(folder.handle.get(), kind, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)))) {
      const DWORD error = ::GetLastError();
      return error == ERROR_NO_MORE_FILES ? 0 : error;
    }
    kind = FileIdBothDirectoryInfo;
    const auto* bytes = reinterpret_cast<const BYTE*>(buffer.data());
    for (;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
      const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        entries.push_back(FolderEntry{std::wstring(name), info->FileAttributes});
      }
      if (info->NextEntryOffset == 0) break;
      bytes += info->NextEntryOffset;
    }
  }
}

DWORD removeTree(const std::wstring& path, const AfterListing& afterListing) {
  OpenEntry top;
  if (const DWORD error = openForWalk(path, kDeleteAccess, top); error != 0) {
    return isMissing(error) ? 0 : error;
  }
  // The top is named by the caller: a link there is what the caller asked to
  // delete, but on a system that followed it the handle holds its target.
  if (!top.isLink()) {
    const DWORD byName = ::GetFileAttributesW(path.c_str());
    const std::wstring opened = openedPath(top.handle.get());
    if ((byName != INVALID_FILE_ATTRIBUTES && (byName & FILE_ATTRIBUTE_REPARSE_POINT) != 0) ||
        (!opened.empty() && !equalsIgnoreCase(lastComponent(opened), lastComponent(path)))) {
      return ERROR_NOT_SUPPORTED;
    }
  }
  if (!top.isFolder()) {
    for (int attempt = 1;; ++attempt) {
      const DWORD error = deleteByHandle(top);
      if (error == 0 || isMissing(error) || !isTransient(error)) return error;
      ::Sleep(kDeletePauseStepMs * static_cast<DWORD>(attempt));
      if (attempt == kDeleteTries) return error;
    }
  }

  // Depth first with a stack of its own, so that a deep tree cannot exhaust
  // the thread's stack.
  std::vector<Emptying> stack;
  if (const DWORD error = startEmptying(std::move(top), afterListing, stack); error != 0) {
    return error;
  }
  for (;;) {
    Emptying& current = stack.back();
    if (current.next == current.entries.size()) {
      const DWORD error = deleteEmptied(current);
      stack.pop_back();
      if (stack.empty()) return error;
      if (error != 0 && stack.back().firstError == 0) stack.back().firstError = error;
      continue;
    }
    const FolderEntry& entry = current.entries[current.next++];
    DWORD error = 0;
    if ((entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
        FILE_ATTRIBUTE_DIRECTORY) {
      OpenEntry child;
      error = openChild(current.folder, entry.name, kDeleteAccess, child);
      if (error == 0 && child.isFolder()) {
        error = startEmptying(std::move(child), afterListing, stack);
        if (error == 0) continue;
      } else if (error == 0) {
        // Listed as a folder, now something else (a link put in its place):
        // it goes as it is now, never entered.
        child.handle.reset();
        error = deleteChild(current.folder, entry.name);
      }
    } else {
      error = deleteChild(current.folder, entry.name);
    }
    if (isMissing(error)) error = 0;
    Emptying& parent = stack.back();
    if (error != 0 && parent.firstError == 0) parent.firstError = error;
  }
}

}  // namespace loftswitch
