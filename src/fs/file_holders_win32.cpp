#include <windows.h>
#include <restartmanager.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "base/win32.h"
#include "fs/local_file_system.h"

namespace loftswitch {
namespace {

// A folder is asked about through the files inside it; enough of them to
// find the usual holder without walking a large tree.
constexpr std::size_t kMostFilesAsked = 512;

std::vector<std::wstring> filesToAsk(const std::filesystem::path& path) {
  std::vector<std::wstring> files;
  std::error_code error;
  if (!std::filesystem::is_directory(std::filesystem::symlink_status(path, error))) {
    files.push_back(plainPath(path));
    return files;
  }
  for (auto it = std::filesystem::recursive_directory_iterator(path, error);
       !error && it != std::filesystem::recursive_directory_iterator() &&
       files.size() < kMostFilesAsked;
       it.increment(error)) {
    if (it->is_regular_file(error)) files.push_back(plainPath(it->path()));
  }
  return files;
}

// The executable's file name, or the name Windows gives the program.
std::string programName(const RM_PROCESS_INFO& info) {
  if (HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                     info.Process.dwProcessId)) {
    std::vector<wchar_t> image(32768);
    DWORD size = static_cast<DWORD>(image.size());
    const BOOL read = ::QueryFullProcessImageNameW(process, 0, image.data(), &size);
    ::CloseHandle(process);
    if (read) {
      return toUtf8(std::filesystem::path(std::wstring(image.data(), size)).filename().native());
    }
  }
  return toUtf8(info.strAppName);
}

class RestartManagerSession {
 public:
  RestartManagerSession() {
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    started_ = ::RmStartSession(&handle_, 0, key) == ERROR_SUCCESS;
  }
  RestartManagerSession(const RestartManagerSession&) = delete;
  RestartManagerSession& operator=(const RestartManagerSession&) = delete;
  ~RestartManagerSession() {
    if (started_) ::RmEndSession(handle_);
  }
  bool started() const { return started_; }
  DWORD handle() const { return handle_; }

 private:
  DWORD handle_ = 0;
  bool started_ = false;
};

}  // namespace

// Best effort by nature: a program may let go or take hold at any moment,
// and Wine's Restart Manager knows of no holder at all.
std::vector<FileHolder> LocalFileSystem::holders(const std::filesystem::path& path) {
  const std::vector<std::wstring> files = filesToAsk(path);
  if (files.empty()) return {};
  RestartManagerSession session;
  if (!session.started()) return {};
  std::vector<LPCWSTR> names;
  for (const std::wstring& file : files) names.push_back(file.c_str());
  if (::RmRegisterResources(session.handle(), static_cast<UINT>(names.size()), names.data(), 0,
                            nullptr, 0, nullptr) != ERROR_SUCCESS) {
    return {};
  }
  std::vector<RM_PROCESS_INFO> infos(8);
  DWORD status = ERROR_MORE_DATA;
  UINT count = 0;
  for (int tries = 0; tries < 3 && status == ERROR_MORE_DATA; ++tries) {
    UINT needed = 0;
    count = static_cast<UINT>(infos.size());
    DWORD reasons = 0;
    status = ::RmGetList(session.handle(), &needed, &count, infos.data(), &reasons);
    if (status == ERROR_MORE_DATA) infos.resize(needed + 4);
  }
  if (status != ERROR_SUCCESS) return {};
  std::vector<FileHolder> holders;
  for (UINT i = 0; i < count; ++i) {
    const std::uint32_t pid = infos[i].Process.dwProcessId;
    if (std::any_of(holders.begin(), holders.end(),
                    [pid](const FileHolder& holder) { return holder.pid == pid; })) {
      continue;
    }
    holders.push_back(FileHolder{programName(infos[i]), pid});
  }
  return holders;
}

}  // namespace loftswitch
