#include <windows.h>

#include <string>
#include <tuple>

#include "base/file.h"
#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "host/launch.h"
#include "support/run_program.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

UniqueFileHandle inheritableFile(const std::filesystem::path& path) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  return UniqueFileHandle(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const std::filesystem::path& cwd) {
  TempFolder captures;
  const auto outPath = captures / "out";
  const auto errPath = captures / "err";
  ProgramRun run;
  {
    UniqueFileHandle out = inheritableFile(outPath);
    UniqueFileHandle err = inheritableFile(errPath);
    std::wstring commandLine = buildCommandLine(program, args);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    std::tie(startup.hStdOutput, startup.hStdError) = std::pair(out.get(), err.get());
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                          cwd.empty() ? nullptr : cwd.c_str(), &startup, &info)) {
      run.err = "CreateProcessW failed: " + windowsErrorText(::GetLastError());
      return run;
    }
    UniqueHandle process(info.hProcess), thread(info.hThread);
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    run.exitCode = static_cast<int>(code);
  }
  run.out = readTestFile(outPath);
  run.err = readTestFile(errPath);
  return run;
}

}  // namespace loftswitch
