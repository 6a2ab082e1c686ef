#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/main_routine.h"

#include "app/command_line.h"
#include "app/file_log.h"
#include "base/outcome.h"
#include "apply/run.h"
#include "host/system_host.h"
#include "base/text.h"
#include "base/win32.h"
#include "elevated/elevated.h"
#include "elevated/folder_check.h"
#include "elevated/request.h"
#include "elevated/user_files.h"
#include "elevated/waiter.h"
#include "workspace/log_retention.h"
#include "workspace/workspace.h"

namespace loftswitch {
namespace {

constexpr std::int64_t kWaiterPollMs = 100;

void writeTo(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

int usageError(const std::string& message) {
  writeTo(stderr, usageErrorText(message));
  return kUsageExitCode;
}

// Runs a driver. A failure that escapes it as an exception ends the run
// "failed" with its reason in the log, never as an abort whose exit code
// could read as another outcome.
template <typename Driver>
RunOutcome guarded(const LogSink& log, Driver&& driver) {
  try {
    return driver();
  } catch (const std::exception& error) {
    logLine(log, std::string("the run stopped on an unexpected error: ") + error.what());
  } catch (...) {
    logLine(log, "the run stopped on an unexpected error");
  }
  return RunOutcome::failed;
}

std::string ownPidText() { return std::to_string(::GetCurrentProcessId()); }

int runApplyMode(const CommandLine& options, FileSystem& fileSystem, ApplyHost& host) {
  if (options.work.empty()) return usageError("--work is required");
  if (!options.repair && options.id.empty()) {
    return usageError("--id is required unless repairing");
  }
  // The id names the log file: anything but an attempt id could lead it
  // out of the logs folder.
  if (!options.id.empty() && !isAttemptId(options.id)) {
    return usageError("--id must be an attempt id (16 lower-case hex digits)");
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
  pruneLogs(fileSystem, logsFolder(*workspace), sink);
  const RunOutcome outcome = guarded(sink, [&] { return run(runOptions, fileSystem, host, sink); });
  log.write(std::string("finished: ") + outcomeName(outcome));
  return exitCodeFor(outcome);
}

// Refusals before any log exists go to standard error alone.
int refuse(const std::string& line) {
  writeTo(stderr, "loftswitch-apply: " + line + "\n");
  return exitCodeFor(RunOutcome::refused);
}

int runElevatedMode(const CommandLine& options, const std::filesystem::path& requestPath,
                    const Platform& platform) {
  FileSystem& fileSystem = platform.fileSystem;
  ElevatedConfig config;
  config.installFolder = installFolderForExecutable(platform.executable);
  config.folderCheck = platform.folderCheck;
  config.fileCheck = platform.fileCheck;
  config.createRestricted = platform.createRestricted;
  config.inheritPermissions = platform.inheritPermissions;
  if (auto checked = config.folderCheck(config.installFolder); !checked) {
    return refuse("refusing to run elevated: " + checked.error().message);
  }
  // Everything the user names is opened as that user: the request first.
  auto opener = userFileOpener(identityFrom(options.pid, options.pidStarted),
                               requestPath.parent_path());
  if (!opener) return refuse("refusing to run elevated: " + opener.error().message);
  config.openAsUser = std::move(*opener);
  Result<OpenFile> requestFile = config.openAsUser(requestPath);
  Result<std::string> text = requestFile ? readRest(*requestFile, kRequestFileLimit)
                                         : Result<std::string>(fail(requestFile.error()));
  Result<UpdateRequest> request =
      text ? readUpdateRequest(*text) : Result<UpdateRequest>(fail(text.error()));
  if (!request) return refuse(request.error().message);

  // The log exists once the run changes anything, never for a refusal; by
  // then the workspace it goes into passed the folder check.
  FileLog log;
  const LogSink sink = log.fn();
  config.changesBegin = [&] {
    const std::filesystem::path logs =
        logsFolder(workspaceForInstall(config.installFolder, Layout::folder));
    log.open(logs / utf8ToPath(logStamp() + "-" + request->id + "-" + ownPidText() + "-elevated.log"));
    pruneLogs(fileSystem, logs, sink);
  };
  const RunOutcome outcome = guarded(sink, [&] {
    Elevated elevated(*request, identityFrom(options.pid, options.pidStarted), fileSystem,
                      platform.host, sink, config);
    return elevated.run();
  });
  log.write(std::string("finished: ") + outcomeName(outcome));
  return exitCodeFor(outcome);
}

int runWaiterMode(const CommandLine& options, const UpdateRequest& request,
                  FileSystem& fileSystem, ApplyHost& host) {
  const std::filesystem::path logs = request.userWorkspace / utf8ToPath("logs");
  FileLog log(logs /
              utf8ToPath(logStamp() + "-" + request.id + "-" + ownPidText() + "-waiter.log"));
  const LogSink sink = log.fn();
  pruneLogs(fileSystem, logs, sink);
  const RunOutcome outcome = guarded(sink, [&] {
    return runWaiter(request, identityFrom(options.pid, options.pidStarted),
                     identityFrom(options.elevatedPid, options.elevatedStarted), fileSystem, host,
                     sink, kWaiterPollMs);
  });
  log.write(std::string("finished: ") + outcomeName(outcome));
  return exitCodeFor(outcome);
}

int runRequestMode(const CommandLine& options, const Platform& platform) {
  FileSystem& fileSystem = platform.fileSystem;
  if (options.request.empty()) {
    return usageError("--request is required with --elevated and --wait-elevated");
  }
  std::filesystem::path requestPath;
  try {
    requestPath = utf8ToPath(options.request);
  } catch (const std::exception&) {
    return refuse("the update request's path is not valid text");
  }
  if (options.mode == Mode::elevated) return runElevatedMode(options, requestPath, platform);
  Result<UpdateRequest> request = loadUpdateRequest(fileSystem, requestPath);
  if (!request) return refuse(request.error().message);
  return runWaiterMode(options, *request, fileSystem, platform.host);
}

}  // namespace

int mainRoutine(const std::vector<std::string>& args, Platform& platform) {
  // What escapes before a log exists (or while one is opened) still ends
  // as "failed".
  try {
    ParseOutcome parsed = parseCommandLine(args);
    if (!parsed.options) {
      if (!parsed.out.empty()) writeTo(stdout, parsed.out);
      if (!parsed.err.empty()) writeTo(stderr, parsed.err);
      return parsed.exitCode;
    }
    const CommandLine& options = *parsed.options;
    if (options.mode == Mode::apply) {
      return runApplyMode(options, platform.fileSystem, platform.host);
    }
    return runRequestMode(options, platform);
  } catch (const std::exception& error) {
    writeTo(stderr, std::string("loftswitch-apply: unexpected error: ") + error.what() + "\n");
  } catch (...) {
    writeTo(stderr, "loftswitch-apply: unexpected error\n");
  }
  return exitCodeFor(RunOutcome::failed);
}

}  // namespace loftswitch
