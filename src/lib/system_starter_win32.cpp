#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "host/launch.h"
#include "host/process_handle_win32.h"
#include "host/system_host.h"
#include "lib/app_library.h"

namespace loftswitch::applib {

std::string relaunchVariable() {
  std::wstring value(32767, L'\0');
  const DWORD length =
      ::GetEnvironmentVariableW(L"LOFTSWITCH_RELAUNCH", value.data(), static_cast<DWORD>(value.size()));
  if (length == 0 || length >= value.size()) return {};
  value.resize(length);
  return toUtf8(value);
}

Result<Unit> SystemStarter::start(const LaunchRequest& request) {
  // The handle closes here; the program runs on without us.
  ASSIGN_OR_RETURN(ProcessHandle started, startProcess(request));
  (void)started;
  return Unit{};
}

Result<ProcessIdentity> SystemStarter::startElevated(const LaunchRequest& request) {
  std::wstring parameters;
  for (const std::string& argument : request.arguments) {
    if (!parameters.empty()) parameters.push_back(L' ');
    parameters.append(quoteArgument(toWide(argument)));
  }
  const std::wstring program = plainPath(request.program);
  const std::wstring folder = request.workingFolder.empty() ? std::wstring() : plainPath(request.workingFolder);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
  info.lpVerb = L"runas";
  info.lpFile = program.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
  info.nShow = SW_HIDE;
  // The shell may hand the request to extensions that need COM; a thread
  // that has it already keeps its own model.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const BOOL executed = ::ShellExecuteExW(&info);
  const DWORD error = ::GetLastError();
  if (SUCCEEDED(com)) ::CoUninitialize();
  if (!executed) {
    // ERROR_CANCELLED (1223) when the user declines the prompt.
    return fail(errorFromWin32(error, "can't start", request.program));
  }
  if (info.hProcess == nullptr) {
    return fail(ErrorCode::launchFailed,
                "can't start " + toUtf8(request.program.native()) + ": no process was created");
  }
  UniqueHandle process(info.hProcess);
  return ProcessIdentity{static_cast<std::uint32_t>(::GetProcessId(process.get())),
                         processCreationTime(process.get())};
}

ProcessIdentity SystemStarter::self() { return ownIdentity(); }

}  // namespace loftswitch::applib
