#include <windows.h>

#include <optional>

#include "base/win32.h"
#include "host/launch.h"
#include "host/process_handle_win32.h"

namespace loftswitch {

int compareNamesIgnoreCase(std::wstring_view a, std::wstring_view b) {
  const int result = ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                            static_cast<int>(b.size()), TRUE);
  return result - CSTR_EQUAL;
}

std::vector<wchar_t> buildEnvironmentBlock(const EnvironmentAdditions& additions) {
  std::vector<std::wstring> inherited;
  if (wchar_t* strings = ::GetEnvironmentStringsW()) {
    for (const wchar_t* entry = strings; *entry != L'\0';) {
      std::wstring text(entry);
      entry += text.size() + 1;
      inherited.push_back(std::move(text));
    }
    ::FreeEnvironmentStringsW(strings);
  }
  return environmentBlockFrom(std::move(inherited), additions);
}

namespace {

bool holdsZero(std::wstring_view text) { return text.find(L'\0') != std::wstring_view::npos; }
bool holdsZero(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// A zero character would cut the command line or the environment block short
// and start the program with something else than was asked for; a '=' in a
// name would set another variable.
std::optional<std::string> requestProblem(const LaunchRequest& request) {
  if (request.program.empty()) return "no program given";
  if (holdsZero(request.program.native())) return "the program path holds a zero character";
  if (holdsZero(request.workingFolder.native())) return "the working folder holds a zero character";
  for (std::size_t i = 0; i < request.arguments.size(); ++i) {
    if (holdsZero(request.arguments[i])) {
      return "argument " + std::to_string(i + 1) + " holds a zero character";
    }
  }
  for (const auto& [name, value] : request.environment) {
    if (name.empty() || holdsZero(name) || name.find('=') != std::string::npos) {
      return "the environment variable name \"" + name + "\" is not valid";
    }
    if (holdsZero(value)) return "the value of \"" + name + "\" holds a zero character";
  }
  return std::nullopt;
}

}  // namespace

Result<ProcessHandle> startProcess(const LaunchRequest& request) {
  const std::string prefix = "can't start " + toUtf8(request.program.native()) + ": ";
  if (auto problem = requestProblem(request)) {
    return fail(ErrorCode::launchFailed, prefix + *problem);
  }
  const std::wstring commandLine = buildCommandLine(request.program, request.arguments);
  std::vector<wchar_t> environment = buildEnvironmentBlock(request.environment);
  const std::wstring application = plainPath(request.program);
  std::wstring folder;
  if (!request.workingFolder.empty()) folder = plainPath(request.workingFolder);

  DWORD flags = CREATE_UNICODE_ENVIRONMENT;
  if (request.breakaway) flags |= CREATE_BREAKAWAY_FROM_JOB | CREATE_NEW_PROCESS_GROUP;

  PROCESS_INFORMATION info{};
  auto create = [&](DWORD creationFlags) {
    // CreateProcessW may write into the command line.
    std::wstring writable = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    return ::CreateProcessW(application.c_str(), writable.data(), nullptr, nullptr, FALSE,
                            creationFlags, environment.data(),
                            folder.empty() ? nullptr : folder.c_str(), &startup, &info);
  };
  BOOL created = create(flags);
  if (!created && ::GetLastError() == ERROR_ACCESS_DENIED &&
      (flags & CREATE_BREAKAWAY_FROM_JOB) != 0) {
    // The job forbids breaking away: start inside it rather than not at all.
    flags &= ~static_cast<DWORD>(CREATE_BREAKAWAY_FROM_JOB);
    created = create(flags);
  }
  if (!created) {
    const DWORD error = ::GetLastError();
    return fail(ErrorCode::launchFailed, prefix + windowsErrorText(error));
  }
  ::CloseHandle(info.hThread);
  return ProcessHandle{info.dwProcessId, UniqueHandle(info.hProcess)};
}

}  // namespace loftswitch
