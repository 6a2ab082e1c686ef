#include "elevated/waiter.h"

#include <chrono>
#include <memory>
#include <string>

#include "apply/run.h"
#include "base/text.h"
#include "elevated/elevated.h"
#include "host/exit_code.h"
#include "workspace/journal_store.h"
#include "workspace/workspace.h"

namespace loftswitch {
namespace {

// The helper may still be waiting for the app, installing and waiting for
// confirmation; ten minutes covers the install itself.
constexpr std::int64_t kInstallAllowanceMs = 600000;

class Waiter {
 public:
  Waiter(const UpdateRequest& request, FileSystem& fileSystem, ApplyHost& host, const LogSink& log)
      : request_(request),
        fileSystem_(fileSystem),
        host_(host),
        log_(log),
        workspace_(workspaceForInstall(request.install, Layout::folder)) {}

  RunOutcome run(std::optional<ProcessIdentity> app, std::optional<ProcessIdentity> elevated,
                 std::int64_t pollMs);

 private:
  void relaunch(const char* which);
  void reportEarlyExit();
  RunOutcome finish();

  const UpdateRequest& request_;
  FileSystem& fileSystem_;
  ApplyHost& host_;
  const LogSink& log_;
  Workspace workspace_;
  bool matched_ = false;
  JournalState state_ = JournalState::staged;
  std::unique_ptr<RunningApp> started_;
  bool exitReported_ = false;
};

void Waiter::relaunch(const char* which) {
  const LaunchRequest launch =
      relaunchRequestFor(fileSystem_, workspace_, request_.id, request_.executable,
                         Relaunch{request_.relaunchArgs, request_.relaunchCwd});
  auto started = host_.launch(launch);
  logLine(log_, std::string("relaunching the ") + which +
                    " version: " + (started ? std::string("started") : started.error().message));
  if (started) started_ = std::move(*started);
}

void Waiter::reportEarlyExit() {
  const std::optional<std::uint32_t> code = started_->exitCode();
  if (!code || fileSystem_.exists(confirmedMarkerPath(request_))) return;
  const std::string text = std::to_string(static_cast<std::int32_t>(*code));
  logLine(log_, "the new version exited with code " + describeExitCode(*code) + " before confirming");
  // Without the marker the helper ends unconfirmed instead of rolling back;
  // the log is the only place left to say why.
  if (auto written = fileSystem_.writeFile(exitedMarkerPath(request_), text); !written) {
    logLine(log_, "can't tell the administrator helper: " + written.error().message);
  }
  exitReported_ = true;
}

RunOutcome Waiter::finish() {
  const bool swapped = matched_ && state_ == JournalState::swapped;
  if (!started_) relaunch(swapped ? "new" : "previous");
  return swapped ? RunOutcome::unconfirmed : RunOutcome::failed;
}

RunOutcome Waiter::run(std::optional<ProcessIdentity> app, std::optional<ProcessIdentity> elevated,
                       std::int64_t pollMs) {
  logLine(log_, "waiter for attempt " + request_.id);
  const auto exitMs = static_cast<std::int64_t>(request_.exitMs);
  if (app && !host_.waitForExit(*app, exitMs)) {
    logLine(log_, "the app (process " + std::to_string(app->pid) + ") didn't exit");
    return RunOutcome::appStillRunning;
  }
  const HostTime deadline = deadlineAfter(
      host_.now(), exitMs + kInstallAllowanceMs + static_cast<std::int64_t>(request_.confirmMs));
  bool elevatedExited = false;
  for (;;) {
    auto journal = loadJournal(fileSystem_, workspace_);
    matched_ = journal && journal->id == request_.id;
    if (matched_) {
      state_ = journal->state;
      switch (state_) {
        case JournalState::swapped:
          if (!started_) relaunch("new");
          if (started_ && !exitReported_) reportEarlyExit();
          break;
        case JournalState::confirmed:
          if (!started_) relaunch("new");
          return RunOutcome::updated;
        case JournalState::rolledBack:
          if (!started_ || started_->exitCode()) relaunch("previous");
          return RunOutcome::rolledBack;
        default:
          break;
      }
    }
    if (elevatedExited) {
      if (!matched_) {
        // The helper never wrote a journal for this attempt: tell the app why
        // nothing happened.
        logLine(log_, "the administrator helper stopped before it changed anything");
        if (auto written = fileSystem_.writeFile(waiterOutcomePath(request_), kElevationFailedOutcome);
            !written) {
          logLine(log_, "can't leave the outcome for the app: " + written.error().message);
        }
      }
      return finish();
    }
    if (elevated && host_.waitForExit(*elevated, 0)) {
      elevatedExited = true;
      continue;
    }
    if (host_.now() >= deadline) {
      logLine(log_, "gave up waiting for the administrator helper");
      if (!started_) relaunch("previous");
      return RunOutcome::failed;
    }
    host_.sleep(pollMs);
  }
}

}  // namespace

std::filesystem::path waiterOutcomePath(const UpdateRequest& request) {
  return request.userWorkspace / utf8ToPath("outcome-" + request.id + ".json");
}

RunOutcome runWaiter(const UpdateRequest& request, std::optional<ProcessIdentity> app,
                     std::optional<ProcessIdentity> elevated, FileSystem& fileSystem,
                     ApplyHost& host, const LogSink& log, std::int64_t pollMs) {
  Waiter waiter(request, fileSystem, host, log);
  return waiter.run(app, elevated, pollMs);
}

}  // namespace loftswitch
