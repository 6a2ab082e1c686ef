#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <limits>

#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "host/process_handle_win32.h"
#include "host/system_host.h"

namespace loftswitch {

namespace {

constexpr std::int64_t kUnopenablePollMs = 100;

class SystemRunningApp final : public RunningApp {
 public:
  explicit SystemRunningApp(ProcessHandle process) : process_(std::move(process)) {}

  std::optional<std::uint32_t> exitCode() override {
    if (::WaitForSingleObject(process_.handle.get(), 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    if (!::GetExitCodeProcess(process_.handle.get(), &code)) code = 0;
    return static_cast<std::uint32_t>(code);
  }

 private:
  ProcessHandle process_;
};

std::int64_t performanceFrequency() {
  LARGE_INTEGER frequency{};
  ::QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart > 0 ? frequency.QuadPart : 1;
}

}  // namespace

std::uint64_t processCreationTime(HANDLE process) {
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (!::GetProcessTimes(process, &creation, &exit, &kernel, &user)) return 0;
  return (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

ProcessIdentity ownIdentity() {
  return ProcessIdentity{static_cast<std::uint32_t>(::GetCurrentProcessId()),
                         processCreationTime(::GetCurrentProcess())};
}

std::wstring ownExecutablePath() {
  std::wstring buffer(32768, L'\0');
  const DWORD length =
      ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(std::min<std::size_t>(length, buffer.size()));
  return plainPath(buffer);
}

bool SystemHost::waitForExit(ProcessIdentity identity, std::int64_t timeoutMs) {
  const HostTime deadline = deadlineAfter(now(), timeoutMs);
  for (;;) {
    UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                       identity.pid));
    if (process) {
      const std::uint64_t created = processCreationTime(process.get());
      // The id was reused by another process: the one asked about is gone.
      // A creation time that cannot be read proves nothing either way.
      if (identity.started != 0 && created != 0 && created != identity.started) return true;
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::min(now(), deadline));
      return ::WaitForSingleObject(process.get(), timeoutForWait(left.count())) == WAIT_OBJECT_0;
    }
    // Only "no such process" means gone. One this user may not open still
    // runs, and Windows lets its files be renamed under it.
    if (::GetLastError() == ERROR_INVALID_PARAMETER) return true;
    if (now() >= deadline) return false;
    sleep(kUnopenablePollMs);
  }
}

std::vector<std::uint32_t> SystemHost::processesInFolder(const std::filesystem::path& folder) {
  std::wstring prefix = plainPath(folder);
  // Ending in a separator keeps C:\App2 out of C:\App.
  if (!prefix.ends_with(L'\\')) prefix.push_back(L'\\');

  std::vector<std::uint32_t> found;
  UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return found;
  const DWORD self = ::GetCurrentProcessId();
  std::wstring image(32768, L'\0');
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    const DWORD pid = entry.th32ProcessID;
    if (pid == 0 || pid == self) continue;
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) continue;
    DWORD size = static_cast<DWORD>(image.size());
    if (!::QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) continue;
    const std::wstring_view path(image.data(), size);
    if (prefix.size() < path.size() && equalsIgnoreCase(path.substr(0, prefix.size()), prefix)) {
      found.push_back(static_cast<std::uint32_t>(pid));
    }
  }
  return found;
}

Result<std::unique_ptr<RunningApp>> SystemHost::launch(const LaunchRequest& request) {
  ASSIGN_OR_RETURN(ProcessHandle process, startProcess(request));
  return std::make_unique<SystemRunningApp>(std::move(process));
}

void SystemHost::sleep(std::int64_t ms) {
  if (ms <= 0) return;
  const HostTime start = now();
  constexpr std::int64_t kMaxMs = std::numeric_limits<std::int64_t>::max() / 1'000'000;
  const HostTime deadline =
      (ms >= kMaxMs || start.time_since_epoch().count() >
                           std::numeric_limits<std::int64_t>::max() - ms * 1'000'000)
          ? HostTime::max()
          : start + std::chrono::milliseconds(ms);
  // Sleep may return early; sleep again for what is left.
  for (HostTime current = start; current < deadline; current = now()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - current).count();
    ::Sleep(timeoutForWait(left));
  }
}

HostTime SystemHost::now() {
  const std::int64_t frequency = performanceFrequency();
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  const std::int64_t ticks = counter.QuadPart;
  const std::int64_t nanoseconds =
      (ticks / frequency) * 1'000'000'000 + (ticks % frequency) * 1'000'000'000 / frequency;
  return HostTime(std::chrono::nanoseconds(nanoseconds));
}

}  // namespace loftswitch
