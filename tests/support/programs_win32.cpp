#include "support/programs.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>

#include "base/file.h"
#include "base/text.h"
#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "host/launch.h"
#include "host/system_host.h"
#include "support/temp_folder.h"

namespace loftswitch {

std::filesystem::path builtProgram(std::string_view name) {
  return std::filesystem::path(ownExecutablePath()).parent_path() /
         utf8ToPath(std::string(name) + ".exe");
}

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

std::map<std::string, std::string> installFiles(const std::filesystem::path& install) {
  std::map<std::string, std::string> files;
  for (auto it = std::filesystem::recursive_directory_iterator(install);
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    const auto relative = it->path().lexically_relative(install);
    if (relative.begin()->native() == L".loftswitch") {
      it.disable_recursion_pending();
    } else if (it->is_regular_file()) {
      std::string name = pathToUtf8(relative);
      std::replace(name.begin(), name.end(), '\\', '/');
      files[name] = readTestFile(it->path());
    }
  }
  return files;
}

std::vector<std::string> startedVersions(const std::filesystem::path& runs,
                                         std::string_view attempt, std::size_t count) {
  std::vector<std::string> versions;
  (void)pollUntil(std::chrono::seconds(10), [&] {
    versions.clear();
    const std::string text = readTestFile(runs);
    // A line still being written has no line feed yet.
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      const auto line = nlohmann::json::parse(text.substr(start, end - start));
      versions.push_back(line["attempt"] == attempt ? line["version"].get<std::string>() : "?");
    }
    return versions.size() >= count;
  });
  // Fewer than asked for are returned as they are, for the caller to judge.
  return versions;
}

void removeWhenFree(const std::filesystem::path& folder) {
  // Cleaning up after a test: what stays is left in the temporary folder.
  (void)pollUntil(std::chrono::seconds(5), [&] {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    return !error;
  });
}

}  // namespace loftswitch
