// Reports how it was started, as JSON in UTF-8, into the file named by
// PRINT_ARGS_OUT: {"args": [...], "cwd": "...", "env": ["NAME=value", ...]}.
// "env" holds the entries, spelled as inherited, whose names match
// PRINT_ARGS_SHOW, ignoring case.
// PRINT_ARGS_EXIT is the exit code (0 by default).
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/win32.h"
#include "host/launch.h"

namespace {

std::wstring variable(const wchar_t* name) { return _wgetenv(name) ? _wgetenv(name) : L""; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using loftswitch::toUtf8;
  nlohmann::json report;
  for (int i = 1; i < argc; ++i) report["args"].push_back(toUtf8(argv[i]));

  std::wstring cwd(32768, L'\0');
  cwd.resize(::GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
  report["cwd"] = toUtf8(cwd);

  const std::wstring shown = variable(L"PRINT_ARGS_SHOW");
  report["env"] = nlohmann::json::array();
  if (wchar_t* strings = ::GetEnvironmentStringsW()) {
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
      if (!shown.empty() && loftswitch::equalsIgnoreCase(loftswitch::environmentEntryName(entry), shown)) {
        report["env"].push_back(toUtf8(entry));
      }
    }
    ::FreeEnvironmentStringsW(strings);
  }

  const std::wstring out = variable(L"PRINT_ARGS_OUT");
  if (FILE* file = out.empty() ? nullptr : _wfopen(out.c_str(), L"wb")) {
    std::fputs(report.dump().c_str(), file);
    std::fclose(file);
  }

  const std::wstring exitCode = variable(L"PRINT_ARGS_EXIT");
  return exitCode.empty() ? 0 : static_cast<int>(std::wcstoul(exitCode.c_str(), nullptr, 10));
}
