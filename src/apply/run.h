#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/log_sink.h"
#include "base/outcome.h"
#include "base/result.h"
#include "fs/file_system.h"
#include "host/apply_host.h"
#include "swap/swapper.h"
#include "workspace/journal.h"
#include "workspace/lock.h"
#include "workspace/workspace.h"

namespace loftswitch {

// What the apply and repair modes hand to the driver.
struct RunOptions {
  std::filesystem::path workspace;
  std::string id;
  bool repair = false;
  std::optional<ProcessIdentity> app;
  std::uint64_t lockWaitMs = 30000;
  std::int64_t pollMs = 100;
};

// The apply or repair run from start to end; never throws for a failure.
RunOutcome run(const RunOptions& options, FileSystem& fileSystem, ApplyHost& host,
               const LogSink& log);

// The Swapper of one attempt: its retry settings from the journal, its pauses
// through the host's sleep.
Swapper attemptSwapper(FileSystem& fileSystem, ApplyHost& host, const Workspace& workspace,
                       const Journal& journal, const LogSink& log);

// Undoes the recorded moves of `journal` (trying again with pauses while the
// undo fails) and records the outcome with `reason` and `detail`; starts
// nothing. "rolled-back" when the undo finished, else "failed" with the
// journal left "rolling-back" for a later repair. The caller holds the lock.
RunOutcome undoAttempt(FileSystem& fileSystem, ApplyHost& host, const Workspace& workspace,
                       const LogSink& log, Journal& journal, std::string_view reason,
                       std::string_view detail);

// How the application is started again after an attempt: the executable in
// the install (or the install folder when the path is unusable), the relaunch
// arguments, the relaunch folder when it names a folder, and the attempt id
// in LOFTSWITCH_RELAUNCH.
LaunchRequest relaunchRequestFor(FileSystem& fileSystem, const Workspace& workspace,
                                 std::string_view attemptId, std::string_view executable,
                                 const Relaunch& relaunch);

// One run, made once the journal has been read under the lock.
class Run {
 public:
  Run(const RunOptions& options, FileSystem& fileSystem, ApplyHost& host, const LogSink& log,
      Workspace workspace);

  // Installs a staged journal of this attempt; owns the lock from here on and
  // releases it before the new version starts.
  RunOutcome install(Journal journal, WorkspaceLock lock);
  // Settles a journal an interrupted run left behind.
  RunOutcome repair(Journal journal);
  // Undoes the recorded moves (with retries), records the outcome and starts
  // the previous version. "rolled-back" when the undo finished, else "failed".
  RunOutcome rollBack(Journal journal, std::string_view reason, std::string_view detail);

  RunOutcome waitForConfirmation(const Journal& journal, std::unique_ptr<RunningApp> program);
  LaunchRequest relaunchRequest(const Journal& journal);
  void relaunch(const Journal& journal, std::string_view label);
  [[nodiscard]] Result<Unit> saveJournal(const Journal& journal);
  Swapper swapper(const Journal& journal);

 private:
  // Takes the lock into `lock` and reads the journal for the decision about
  // a rollback; logs why either fails, after `why`.
  Result<Journal> rereadUnderLock(WorkspaceLock& lock, std::string_view why);
  // The outcome when the journal is no longer this attempt's "swapped" one.
  RunOutcome movedOn(const Journal& journal, const Journal& current);

  const RunOptions& options_;
  FileSystem& fileSystem_;
  ApplyHost& host_;
  const LogSink& log_;
  Workspace workspace_;
};

}  // namespace loftswitch
