#include <windows.h>

#include <string>

#include "base/file.h"
#include "base/win32.h"
#include "support/held_file.h"
#include "support/programs.h"

namespace loftswitch {

struct HeldFile::Process {
  PROCESS_INFORMATION info{};
  ~Process() {
    if (info.hThread != nullptr) ::CloseHandle(info.hThread);
    if (info.hProcess != nullptr) ::CloseHandle(info.hProcess);
  }
};

namespace {

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

bool present(const std::filesystem::path& path) {
  return ::GetFileAttributesW(longPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

HeldFile::HeldFile(std::string_view mode, const std::filesystem::path& path, unsigned forMs)
    : process_(std::make_unique<Process>()) {
  markers_ = std::filesystem::temp_directory_path() / ("loftswitch-held-" + randomToken(8));
  std::filesystem::create_directories(markers_);
  const std::wstring program = plainPath(builtProgram("hold-file"));
  std::wstring command = quoted(program) + L" " + toWide(mode) + L" " + quoted(plainPath(path)) +
                         L" " + quoted(plainPath(markers_ / "ready")) + L" " +
                         quoted(plainPath(markers_ / "release")) + L" " + std::to_wstring(forMs);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process_->info)) {
    return;
  }
  // Held once the marker appears; a process that ends first never held it.
  for (;;) {
    if (present(markers_ / "ready")) {
      held_ = true;
      return;
    }
    if (::WaitForSingleObject(process_->info.hProcess, 5) == WAIT_OBJECT_0) {
      held_ = present(markers_ / "ready");
      return;
    }
  }
}

HeldFile::~HeldFile() {
  release();
  std::error_code ignored;
  std::filesystem::remove_all(markers_, ignored);
}

void HeldFile::release() {
  if (process_->info.hProcess == nullptr) return;
  HANDLE marker = ::CreateFileW(longPath(markers_ / "release").c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) ::CloseHandle(marker);
  if (::WaitForSingleObject(process_->info.hProcess, 30000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process_->info.hProcess, 1);
    ::WaitForSingleObject(process_->info.hProcess, INFINITE);
  }
}

void HeldFile::kill() {
  if (process_->info.hProcess == nullptr) return;
  ::TerminateProcess(process_->info.hProcess, 1);
  ::WaitForSingleObject(process_->info.hProcess, INFINITE);
}

}  // namespace loftswitch
