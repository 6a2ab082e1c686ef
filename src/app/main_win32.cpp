#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/file_log.h"
#include "app/outcome.h"
#include "apply/run.h"
#include "fs/local_file_system.h"
#include "host/system_host.h"
#include "base/text.h"
#include "base/win32.h"
#include "workspace/workspace.h"

namespace loftswitch {
namespace {

void writeTo(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

int usageError(const std::string& message) {
  writeTo(stderr, usageErrorText(message));
  return kUsageExitCode;
}

std::string ownPidText() { return std::to_string(::GetCurrentProcessId()); }

int runApplyMode(const CommandLine& options, FileSystem& fileSystem, ApplyHost& host) {
  if (options.work.empty()) return usageError("--work is required");
  if (!options.repair && options.id.empty()) {
    return usageError("--id is required unless repairing");
  }
  // A relative workspace such as ".loftswitch" would leave the install folder
  // without a name: every path is made absolute before anything uses it.
  std::error_code ignored;
  std::filesystem::path work = std::filesystem::absolute(options.work, ignored);
  if (work.empty()) work = options.work;
  const std::optional<Workspace> workspace = recognizeWorkspace(work);
  if (!workspace) return usageError("--work must be a .loftswitch workspace folder");
  const std::string label = options.repair ? "repair" : options.id;
  FileLog log(logsFolder(*workspace) /
              utf8ToPath(logStamp() + "-" + label + "-" + ownPidText() + "-apply.log"));
  RunOptions runOptions;
  runOptions.workspace = work;
  runOptions.id = options.id;
  runOptions.repair = options.repair;
  runOptions.app = identityFrom(options.pid, options.pidStarted);
  const LogSink sink = log.fn();
  const RunOutcome outcome = run(runOptions, fileSystem, host, sink);
  log.write(std::string("finished: ") + outcomeName(outcome));
  return exitCodeFor(outcome);
}

int runRequestMode(const CommandLine& options) {
  if (options.request.empty()) {
    return usageError("--request is required with --elevated and --wait-elevated");
  }
  writeTo(stderr, "loftswitch-apply: this build cannot read update requests yet\n");
  return exitCodeFor(RunOutcome::refused);
}

}  // namespace

int mainRoutine(const std::vector<std::string>& args) {
  // Libraries load from the system folder only: the tool runs beside the
  // files it replaces.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  ParseOutcome parsed = parseCommandLine(args);
  if (!parsed.options) {
    if (!parsed.out.empty()) writeTo(stdout, parsed.out);
    if (!parsed.err.empty()) writeTo(stderr, parsed.err);
    return parsed.exitCode;
  }
  const CommandLine& options = *parsed.options;
  LocalFileSystem fileSystem;
  SystemHost host;
  if (options.mode == Mode::apply) return runApplyMode(options, fileSystem, host);
  return runRequestMode(options);
}

}  // namespace loftswitch

int wmain(int argc, wchar_t** argv) {
  // Every line the tool writes ends in a bare line feed, as logs and callers
  // expect: no text-mode translation.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(loftswitch::toUtf8(argv[i]));
  return loftswitch::mainRoutine(args);
}
