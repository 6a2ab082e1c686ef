#include "apply/run.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "host/exit_code.h"
#include "swap/swap_plan.h"
#include "workspace/journal_store.h"

namespace loftswitch {
namespace {

constexpr std::int64_t kDefaultExitWaitMs = 60000;
constexpr std::uint64_t kLateErrorLockWaitMs = 1000;
constexpr int kExtraUndoAttempts = 3;
constexpr std::int64_t kUndoPauseMs = 2000;
constexpr std::int64_t kProgramPollMs = 100;
// Beyond the journal's own size, which a last save needs again beside the old
// one, and a mark per move.
constexpr std::size_t kReserveSlack = 65536;

bool isSwappedAttempt(const Journal& journal, std::string_view id) {
  return journal.id == id && journal.state == JournalState::swapped;
}

bool isInUse(const Error& error) {
  return error.code == ErrorCode::inUse || error.code == ErrorCode::accessDenied;
}

// Records why a still-running application blocked the update, in the journal
// that stays "staged"; the install is untouched.
RunOutcome reportAppStillRunning(const RunOptions& options, FileSystem& fileSystem,
                                 ApplyHost& host, const Workspace& workspace, const LogSink& log,
                                 const std::string& message) {
  logLine(log, message);
  auto lock = acquireWorkspaceLock(fileSystem, host, lockPath(workspace), kLateErrorLockWaitMs);
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
    return reportAppStillRunning(options, fileSystem, host, workspace, log,
                                 "the app (process " + std::to_string(options.app->pid) +
                                     ") didn't exit within " + std::to_string(exitWaitMs) + " ms");
  }

  const std::filesystem::path location = appLocation(workspace);
  const auto stillRunning = [&](std::uint32_t process) {
    return reportAppStillRunning(options, fileSystem, host, workspace, log,
                                 "another program from " + pathToUtf8(location) +
                                     " is still running (process " + std::to_string(process) + ")");
  };
  if (const auto running = waitForInstallPrograms(host, location, workspace.workspacePath,
                                                   deadlineAfter(host.now(), exitWaitMs),
                                                   options.pollMs)) {
    return stillRunning(*running);
  }

  auto lock = acquireWorkspaceLock(fileSystem, host, lockPath(workspace), options.lockWaitMs);
  if (!lock) {
    logLine(log, lock.error().message);
    // Only another update holding the lock is busy: a lock file this run
    // cannot open is a failure that no waiting mends.
    return lock.error().code == ErrorCode::locked ? RunOutcome::busy : RunOutcome::failed;
  }
  // A program may have started from the install while the lock was awaited,
  // the new version that another run was starting: the install is not ours
  // to change while it runs.
  if (const auto running = waitForInstallPrograms(host, location, workspace.workspacePath,
                                                   host.now(), options.pollMs)) {
    *lock = WorkspaceLock();
    return stillRunning(*running);
  }
  // Only a missing journal means there is nothing to apply; one that cannot
  // be read, or is too large to, may hold an update in the middle of its swap.
  Result<Journal> journal = loadJournal(fileSystem, workspace);
  if (!journal && journal.error().code == ErrorCode::notFound) {
    logLine(log, "no update to apply: " + journal.error().message);
    return RunOutcome::nothingToDo;
  }
  if (!journal) {
    logLine(log, "can't read the journal: " + journal.error().message);
    return RunOutcome::failed;
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
  Result<EntryKind> shipped = staged ? fileSystem_.probe(*staged) : EntryKind::missing;
  if (!shipped) return rollBack(std::move(journal), "io", shipped.error().message);
  if (*shipped == EntryKind::missing) {
    const std::string detail = "the staged update has no " + journal.executable;
    return rollBack(std::move(journal), "io", detail);
  }
  auto plan = planSwap(fileSystem_, workspace_, journal.id, journal.preserve, journal.executable);
  if (!plan) return rollBack(std::move(journal), "io", plan.error().message);

  journal.moves = std::move(*plan);
  journal.state = JournalState::swapping;
  journal.lastError.clear();
  // The undo must not need space that a full disk may not have: it is set by
  // before the first move, and the plan must fit a journal that reads back.
  Result<std::string> text = journalText(journal);
  Result<Unit> reserved = text ? fileSystem_.writeFile(reservePath(workspace_, journal.id),
                                                       std::string(text->size() + journal.moves.size() + kReserveSlack, '\0'))
                               : fail(text.error());
  Result<Unit> saved = reserved ? saveJournal(journal) : reserved;
  if (!saved) {
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
  // Started under the lock: a repair that waits for it then finds the new
  // version running, and leaves its install alone.
  auto started = host_.launch(relaunchRequest(journal));
  if (!started) {
    return rollBack(std::move(journal), "launch-failed",
                    "the new version couldn't be started: " + started.error().message);
  }
  lock = WorkspaceLock();
  return waitForConfirmation(journal, std::move(*started));
}

Result<Journal> Run::rereadUnderLock(WorkspaceLock& lock, std::string_view why) {
  const std::string context = std::string(why) + ", but the update can't be rolled back: ";
  auto taken = acquireWorkspaceLock(fileSystem_, host_, lockPath(workspace_), options_.lockWaitMs);
  if (!taken) {
    logLine(log_, context + taken.error().message);
    return fail(taken.error());
  }
  lock = std::move(*taken);
  Result<Journal> reread = loadJournal(fileSystem_, workspace_);
  if (!reread) logLine(log_, context + "can't read the journal: " + reread.error().message);
  return reread;
}

RunOutcome Run::movedOn(const Journal& journal, const Journal& current) {
  // Another attempt is only ever staged by the running new version.
  if (current.id != journal.id || current.state == JournalState::confirmed) {
    logLine(log_, "the new version confirmed the update");
    return RunOutcome::updated;
  }
  logLine(log_, "the journal no longer holds this swapped update: it is " +
                    std::string(stateName(current.state)));
  return current.state == JournalState::rolledBack ? RunOutcome::rolledBack : RunOutcome::failed;
}

RunOutcome Run::waitForConfirmation(const Journal& journal, std::unique_ptr<RunningApp> program) {
  const HostTime deadline = deadlineAfter(host_.now(), journal.timeouts.confirmMs);
  for (;;) {
    // Only a journal that was read counts: a failed read is no confirmation.
    Result<Journal> current = loadJournal(fileSystem_, workspace_);
    if (current && !isSwappedAttempt(*current, journal.id)) return movedOn(journal, *current);
    if (const std::optional<std::uint32_t> code = program->exitCode()) {
      const std::string detail = "the new version exited with code " + describeExitCode(*code) +
                                 " before it finished starting";
      WorkspaceLock relock;
      Result<Journal> reread = rereadUnderLock(relock, detail);
      if (!reread) return RunOutcome::failed;
      if (isSwappedAttempt(*reread, journal.id)) {
        return rollBack(std::move(*reread), "exited", detail);
      }
      return movedOn(journal, *reread);
    }
    if (host_.now() >= deadline) {
      if (!current) logLine(log_, "can't read the journal: " + current.error().message);
      logLine(log_,
              "no confirmation yet; the new version's startup() will confirm when it gets there");
      return RunOutcome::unconfirmed;
    }
    host_.sleep(options_.pollMs);
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
  // The journal on disk must lead the next run to the repair before the
  // install is touched: "swapping" and "rolling-back" do, "swapped" does not.
  // Without moves there is nothing to touch.
  bool recorded = journal.state == JournalState::swapping ||
                  journal.state == JournalState::rollingBack || journal.moves.empty();
  journal.state = JournalState::rollingBack;
  const auto save = [&] {
    return withReserve(fileSystem, workspace, journal.id,
                       [&] { return saveJournal(fileSystem, workspace, journal, log); });
  };
  const auto giveUp = [&](const std::string& why) {
    // What the application reads about the pending repair.
    journal.lastError = why;
    const bool pending = save().has_value() || recorded;
    logLine(log, pending ? "the rollback is incomplete and will be retried on the next start: " + why
                         : why + "; the install is unchanged and --repair will roll it back");
    return RunOutcome::failed;
  };
  // The install's programs hold its files and would find them gone, as what
  // the new version started (a crash reporter, say) would: its entries are
  // not moved while one runs, and they get the app's time to exit.
  if (!journal.moves.empty()) {
    if (const auto running = waitForInstallPrograms(
            host, appLocation(workspace), workspace.workspacePath,
            deadlineAfter(host.now(), journal.timeouts.exitMs), kProgramPollMs)) {
      return giveUp("the rollback waits for process " + std::to_string(*running) + " from " +
                    pathToUtf8(appLocation(workspace)) + " to exit");
    }
  }
  // Without moves the install is untouched and only the outcome is saved:
  // a disk that fails now leaves the attempt as it was, never a rollback
  // pending that has nothing to undo and that a full disk would keep.
  const bool untouched = journal.moves.empty();
  bool saved = false;
  const auto attempt = [&]() -> Result<Unit> {
    if (!saved) {
      // A failed save logs itself; it is tried again only while the undo
      // must wait for it.
      Result<Unit> stored = save();
      if (!stored && !recorded) {
        return fail(stored.error().code, "the rollback can't be recorded: " + stored.error().message);
      }
      saved = true;
      recorded = true;
    }
    return attemptSwapper(fileSystem, host, workspace, journal, log).undo(journal.moves);
  };
  Result<Unit> undone = untouched ? ok() : attempt();
  for (int tries = 0; !undone; ++tries) {
    if (tries == kExtraUndoAttempts) return giveUp(undone.error().message);
    logLine(log, "the rollback is incomplete, trying again: " + undone.error().message);
    host.sleep(kUndoPauseMs);
    undone = attempt();
  }
  journal.state = JournalState::rolledBack;
  journal.outcome = OutcomeRecord{"rolled-back", std::string(reason), std::string(detail)};
  journal.reported = false;
  journal.lastError.clear();
  // A kept folder that can't be looked at may hold what the new version
  // wrote: it is named all the same, as an outcome silent about it would
  // lose it, and a size that can't be measured is unknown, never 0.
  const std::filesystem::path kept = keptFolder(workspace, journal.id);
  if (Result<EntryKind> set = fileSystem.probe(kept); !set || *set != EntryKind::missing) {
    journal.kept = pathToUtf8(kept);
    Result<std::uint64_t> bytes = fileSystem.size(kept);
    journal.keptBytes = bytes.value_or(kUnknownKeptBytes);
    logLine(log, "kept what the rollback set aside in " + journal.kept + " (" +
                     (bytes ? std::to_string(*bytes) + " bytes" : bytes.error().message) +
                     "); it stays until the app has been told and three newer updates were staged");
  }
  // A failed save has logged itself; the journal on disk still says
  // "rolling-back", which leads the next run to an undo with nothing left
  // to do, and to this save again, with the space set by for it.
  if (save()) (void)fileSystem.remove(reservePath(workspace, journal.id));
  return RunOutcome::rolledBack;
}

RunOutcome Run::rollBack(Journal journal, std::string_view reason, std::string_view detail) {
  const RunOutcome outcome =
      undoAttempt(fileSystem_, host_, workspace_, log_, journal, reason, detail);
  if (outcome == RunOutcome::rolledBack) relaunch(journal, "previous");
  return outcome;
}

}  // namespace loftswitch
