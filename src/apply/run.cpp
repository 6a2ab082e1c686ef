#include "apply/run.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "swap/swap_plan.h"
#include "workspace/journal_store.h"

namespace loftswitch {
namespace {

constexpr std::int64_t kDefaultExitWaitMs = 60000;
constexpr std::uint64_t kLateErrorLockWaitMs = 1000;
constexpr int kExtraUndoAttempts = 3;
constexpr std::int64_t kUndoPauseMs = 2000;

bool isInUse(const Error& error) {
  return error.code == ErrorCode::inUse || error.code == ErrorCode::accessDenied;
}

// Records why a still-running application blocked the update, in the journal
// that stays "staged"; the install is untouched.
RunOutcome reportAppStillRunning(const RunOptions& options, FileSystem& fileSystem,
                                 const Workspace& workspace, const LogSink& log,
                                 const std::string& message) {
  logLine(log, message);
  auto lock = acquireWorkspaceLock(lockPath(workspace), kLateErrorLockWaitMs);
  if (lock) {
    auto journal = loadJournal(fileSystem, workspace);
    if (journal && journal->id == options.id && journal->state == JournalState::staged) {
      journal->lastError = message;
      // The reason is a courtesy for the application; failing to store it
      // changes nothing about the outcome.
      (void)fileSystem.writeFile(journalPath(workspace), serializeJournal(*journal));
    }
  }
  return RunOutcome::appStillRunning;
}

}  // namespace

RunOutcome run(const RunOptions& options, FileSystem& fileSystem, ApplyHost& host,
               const LogSink& log) {
  const std::optional<Workspace> recognized = recognizeWorkspace(options.workspace);
  if (!recognized) {
    logLine(log, "not a loftswitch workspace: " + pathToUtf8(options.workspace));
    return RunOutcome::failed;
  }
  const Workspace& workspace = *recognized;
  logLine(log, std::string(options.repair ? "repairing " : "applying ") + options.id + " in " +
                   pathToUtf8(workspace.targetRoot));

  std::int64_t exitWaitMs = kDefaultExitWaitMs;
  if (auto early = loadJournal(fileSystem, workspace)) exitWaitMs = early->timeouts.exitMs;

  if (options.app && !host.waitForExit(*options.app, exitWaitMs)) {
    return reportAppStillRunning(options, fileSystem, workspace, log,
                                 "the app (process " + std::to_string(options.app->pid) +
                                     ") didn't exit within " + std::to_string(exitWaitMs) + " ms");
  }

  const std::filesystem::path location = appLocation(workspace);
  const HostTime deadline = deadlineAfter(host.now(), exitWaitMs);
  for (;;) {
    std::vector<std::uint32_t> running = host.processesInFolder(location);
    const std::vector<std::uint32_t> own = host.processesInFolder(workspace.workspacePath);
    std::erase_if(running, [&](std::uint32_t id) {
      return std::find(own.begin(), own.end(), id) != own.end();
    });
    if (running.empty()) break;
    if (host.now() >= deadline) {
      return reportAppStillRunning(options, fileSystem, workspace, log,
                                   "another program from " + pathToUtf8(location) +
                                       " is still running (process " +
                                       std::to_string(running.front()) + ")");
    }
    host.sleep(options.pollMs);
  }

  auto lock = acquireWorkspaceLock(lockPath(workspace), options.lockWaitMs);
  if (!lock) {
    logLine(log, lock.error().message);
    return RunOutcome::busy;
  }
  auto journal = loadJournal(fileSystem, workspace);
  if (!journal) {
    logLine(log, "no update to apply: " + journal.error().message);
    return RunOutcome::nothingToDo;
  }

  Run current(options, fileSystem, host, log, workspace);
  if (options.repair || journal->state == JournalState::swapping ||
      journal->state == JournalState::rollingBack) {
    return current.repair(std::move(*journal));
  }
  if (journal->state == JournalState::staged && journal->id == options.id) {
    return current.install(std::move(*journal), std::move(*lock));
  }
  logLine(log, "nothing to do: the journal is " + std::string(stateName(journal->state)) +
                   " for attempt " + journal->id);
  return RunOutcome::nothingToDo;
}

Run::Run(const RunOptions& options, FileSystem& fileSystem, ApplyHost& host, const LogSink& log,
         Workspace workspace)
    : options_(options),
      fileSystem_(fileSystem),
      host_(host),
      log_(log),
      workspace_(std::move(workspace)) {}

Result<Unit> Run::saveJournal(const Journal& journal) {
  return loftswitch::saveJournal(fileSystem_, workspace_, journal, log_);
}

Swapper attemptSwapper(FileSystem& fileSystem, ApplyHost& host, const Workspace& workspace,
                       const Journal& journal, const LogSink& log) {
  return Swapper(fileSystem, workspace, journal.id, journal.timeouts.retryAttempts,
                 journal.timeouts.retryDelayMs, journal.timeouts.retryMaxDelayMs,
                 [&host](std::int64_t ms) { host.sleep(ms); }, log);
}

Swapper Run::swapper(const Journal& journal) {
  return attemptSwapper(fileSystem_, host_, workspace_, journal, log_);
}

RunOutcome Run::install(Journal journal, WorkspaceLock lock) {
  if (auto writable = fileSystem_.checkWritable(workspace_.targetRoot); !writable) {
    return rollBack(std::move(journal), "not-writable", writable.error().message);
  }
  auto staged = resolveMovePath(workspace_, Location::stage, journal.id, journal.executable);
  if (!staged || !fileSystem_.exists(*staged)) {
    const std::string detail = "the staged update has no " + journal.executable;
    return rollBack(std::move(journal), "io", detail);
  }
  auto plan = planSwap(fileSystem_, workspace_, journal.id, journal.preserve, journal.executable);
  if (!plan) return rollBack(std::move(journal), "io", plan.error().message);

  journal.moves = std::move(*plan);
  journal.state = JournalState::swapping;
  if (auto saved = saveJournal(journal); !saved) {
    // Nothing has moved yet: the rollback must not try to undo the plan.
    journal.moves.clear();
    return rollBack(std::move(journal), "io", saved.error().message);
  }
  logLine(log_, "swapping " + std::to_string(journal.moves.size()) + " entries");
  if (auto swapped = swapper(journal).run(journal.moves); !swapped) {
    const char* reason = isInUse(swapped.error()) ? "in-use" : "io";
    return rollBack(std::move(journal), reason, swapped.error().message);
  }
  journal.state = JournalState::swapped;
  if (auto saved = saveJournal(journal); !saved) {
    return rollBack(std::move(journal), "io", saved.error().message);
  }
  logLine(log_, "swapped; starting " + journal.to);
  lock = WorkspaceLock();

  auto started = host_.launch(relaunchRequest(journal));
  if (!started) {
    auto relock = acquireWorkspaceLock(lockPath(workspace_), options_.lockWaitMs);
    if (!relock) return RunOutcome::failed;
    auto reread = loadJournal(fileSystem_, workspace_);
    if (!reread || reread->id != journal.id || reread->state != JournalState::swapped) {
      return RunOutcome::failed;
    }
    return rollBack(std::move(*reread), "launch-failed",
                    "the new version couldn't be started: " + started.error().message);
  }
  return waitForConfirmation(journal, std::move(*started));
}

RunOutcome Run::waitForConfirmation(const Journal& journal, std::unique_ptr<RunningApp> program) {
  const HostTime deadline = deadlineAfter(host_.now(), journal.timeouts.confirmMs);
  auto current = loadJournal(fileSystem_, workspace_);
  for (;;) {
    if (!current || current->id != journal.id || current->state != JournalState::swapped) {
      logLine(log_, "the new version confirmed the update");
      return RunOutcome::updated;
    }
    if (const std::optional<std::uint32_t> code = program->exitCode()) {
      auto lock = acquireWorkspaceLock(lockPath(workspace_), options_.lockWaitMs);
      if (!lock) return RunOutcome::failed;
      auto reread = loadJournal(fileSystem_, workspace_);
      if (reread && reread->id == journal.id && reread->state == JournalState::swapped) {
        return rollBack(std::move(*reread), "exited",
                        "the new version exited with code " +
                            std::to_string(static_cast<std::int32_t>(*code)) +
                            " before it finished starting");
      }
      return RunOutcome::updated;
    }
    if (host_.now() >= deadline) {
      logLine(log_,
              "no confirmation yet; the new version's startup() will confirm when it gets there");
      return RunOutcome::unconfirmed;
    }
    host_.sleep(options_.pollMs);
    current = loadJournal(fileSystem_, workspace_);
  }
}

LaunchRequest relaunchRequestFor(FileSystem& fileSystem, const Workspace& workspace,
                                 std::string_view attemptId, std::string_view executable,
                                 const Relaunch& relaunch) {
  LaunchRequest request;
  auto program = resolveMovePath(workspace, Location::target, attemptId, executable);
  request.program = program ? *program : appLocation(workspace);
  request.arguments = relaunch.args;
  request.workingFolder = workspace.targetRoot;
  if (!relaunch.cwd.empty()) {
    try {
      const std::filesystem::path cwd = utf8ToPath(relaunch.cwd);
      if (fileSystem.isFolder(cwd)) request.workingFolder = cwd;
    } catch (const std::exception&) {
      // A working folder that is not even valid text is no folder: the
      // default applies.
    }
  }
  request.environment.emplace_back("LOFTSWITCH_RELAUNCH", std::string(attemptId));
  request.breakaway = true;
  return request;
}

LaunchRequest Run::relaunchRequest(const Journal& journal) {
  return relaunchRequestFor(fileSystem_, workspace_, journal.id, journal.executable,
                            journal.relaunch);
}

void Run::relaunch(const Journal& journal, std::string_view label) {
  auto started = host_.launch(relaunchRequest(journal));
  logLine(log_, "relaunching the " + std::string(label) + " version: " +
                    (started ? std::string("started") : started.error().message));
}

RunOutcome Run::repair(Journal journal) {
  if (journal.state == JournalState::swapping || journal.state == JournalState::swapped ||
      journal.state == JournalState::rollingBack) {
    return rollBack(std::move(journal), "interrupted",
                    "the update was interrupted before it finished and has been undone");
  }
  logLine(log_, "nothing to repair: the journal is " + std::string(stateName(journal.state)));
  return RunOutcome::nothingToDo;
}

RunOutcome undoAttempt(FileSystem& fileSystem, ApplyHost& host, const Workspace& workspace,
                       const LogSink& log, Journal& journal, std::string_view reason,
                       std::string_view detail) {
  logLine(log, "rolling back (" + std::string(reason) + "): " + std::string(detail));
  journal.state = JournalState::rollingBack;
  // A failed save has logged itself; the undo must go on regardless.
  (void)saveJournal(fileSystem, workspace, journal, log);
  Result<Unit> undone = attemptSwapper(fileSystem, host, workspace, journal, log).undo(journal.moves);
  for (int attempt = 0; !undone; ++attempt) {
    if (attempt == kExtraUndoAttempts) {
      logLine(log, "the rollback is incomplete and will be retried on the next start: " +
                       undone.error().message);
      return RunOutcome::failed;
    }
    logLine(log, "the rollback is incomplete, trying again: " + undone.error().message);
    host.sleep(kUndoPauseMs);
    undone = attemptSwapper(fileSystem, host, workspace, journal, log).undo(journal.moves);
  }
  journal.state = JournalState::rolledBack;
  journal.outcome = OutcomeRecord{"rolled-back", std::string(reason), std::string(detail)};
  journal.reported = false;
  (void)saveJournal(fileSystem, workspace, journal, log);
  return RunOutcome::rolledBack;
}

RunOutcome Run::rollBack(Journal journal, std::string_view reason, std::string_view detail) {
  const RunOutcome outcome =
      undoAttempt(fileSystem_, host_, workspace_, log_, journal, reason, detail);
  if (outcome == RunOutcome::rolledBack) relaunch(journal, "previous");
  return outcome;
}

}  // namespace loftswitch
