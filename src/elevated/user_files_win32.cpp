#include <windows.h>
#include <tlhelp32.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "base/file_win32.h"
#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "elevated/user_files.h"
#include "host/process_handle_win32.h"

namespace loftswitch {
namespace {

// A token to act with for the user who runs `process`; none when it is gone
// or its id now names another run.
UniqueHandle userToken(ProcessIdentity process) {
  UniqueHandle handle(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.pid));
  if (!handle ||
      (process.started != 0 && processCreationTime(handle.get()) != process.started)) {
    return {};
  }
  HANDLE primary = nullptr;
  if (!::OpenProcessToken(handle.get(), TOKEN_DUPLICATE | TOKEN_QUERY, &primary)) return {};
  const UniqueHandle owned(primary);
  HANDLE duplicate = nullptr;
  if (!::DuplicateTokenEx(primary, TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr,
                          SecurityImpersonation, TokenImpersonation, &duplicate)) {
    return {};
  }
  return UniqueHandle(duplicate);
}

// The waiter the app started beside the helper, which runs until the helper
// ends.
std::optional<ProcessIdentity> waiterOf(ProcessIdentity app,
                                        const std::filesystem::path& requestFolder) {
  const std::wstring expected = plainPath(requestFolder / L"loftswitch-apply.exe");
  UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return std::nullopt;
  std::wstring image(32768, L'\0');
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID != app.pid) continue;
    UniqueHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    if (!process) continue;
    DWORD size = static_cast<DWORD>(image.size());
    const std::uint64_t started = processCreationTime(process.get());
    // A child of an earlier process with the app's id started before the app.
    if (started < app.started ||
        !::QueryFullProcessImageNameW(process.get(), 0, image.data(), &size) ||
        !equalsIgnoreCase(std::wstring_view(image.data(), size), expected)) {
      continue;
    }
    return ProcessIdentity{static_cast<std::uint32_t>(entry.th32ProcessID), started};
  }
  return std::nullopt;
}

// What the handle says the file is: a share or a redirected drive shows a
// UNC path or a remote drive, a device or pipe no disk file at all.
Result<Unit> checkLocalFile(HANDLE file, const std::filesystem::path& path) {
  const auto refused = [&path] {
    return fail(ErrorCode::invalidData, toUtf8(path.native()) + " is not a file on a local disk");
  };
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return refused();
  }
  std::wstring final(32768, L'\0');
  const DWORD length = ::GetFinalPathNameByHandleW(file, final.data(),
                                                   static_cast<DWORD>(final.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= final.size()) return refused();
  final.resize(length);
  if (final.size() < 7 || !final.starts_with(L"\\\\?\\") || final[5] != L':' ||
      final[6] != L'\\') {
    return refused();
  }
  const UINT type = ::GetDriveTypeW(final.substr(4, 3).c_str());
  if (type != DRIVE_FIXED && type != DRIVE_REMOVABLE && type != DRIVE_RAMDISK) return refused();
  return ok();
}

}  // namespace

Result<UserFileOpener> userFileOpener(std::optional<ProcessIdentity> app,
                                      const std::filesystem::path& requestFolder) {
  if (!app) {
    return fail(ErrorCode::accessDenied,
                "the helper acts only for the user of an app process, and none was given (--pid)");
  }
  UniqueHandle token = userToken(*app);
  if (!token) {
    if (const std::optional<ProcessIdentity> waiter = waiterOf(*app, requestFolder)) {
      token = userToken(*waiter);
    }
  }
  if (!token) {
    return fail(ErrorCode::accessDenied, "can't act for the user who asked: neither the app (process " +
                                             std::to_string(app->pid) +
                                             ") nor its waiter runs any more");
  }
  auto shared = std::make_shared<UniqueHandle>(std::move(token));
  return UserFileOpener([shared](const std::filesystem::path& path) -> Result<OpenFile> {
    if (!::SetThreadToken(nullptr, shared->get())) {
      return fail(errorFromWin32(::GetLastError(), "can't act for the user to open", path));
    }
    Result<OpenFile> opened = openFile(path, OpenMode::read);
    // Nothing after this may run with the user's rights, nor the helper go on
    // with rights it doesn't know.
    if (!::RevertToSelf()) throw std::runtime_error("can't return to the helper's own rights");
    if (!opened) return opened;
    RETURN_IF_ERROR(checkLocalFile(opened->native().handle.get(), path));
    return opened;
  });
}

}  // namespace loftswitch
