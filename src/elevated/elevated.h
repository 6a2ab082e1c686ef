#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/log_sink.h"
#include "base/outcome.h"
#include "base/result.h"
#include "elevated/folder_check.h"
#include "elevated/request.h"
#include "fs/file_system.h"
#include "host/apply_host.h"
#include "package/progress.h"
#include "swap/swapper.h"
#include "workspace/journal.h"
#include "workspace/lock.h"
#include "workspace/workspace.h"

namespace loftswitch {

// What the command line hands to the elevated helper.
struct ElevatedConfig {
  std::filesystem::path installFolder;
  // Refuses folders that users who aren't administrators could change.
  FolderCheck folderCheck;
  // Makes a folder the helper created administrator-only.
  FolderCheck folderRestrict;
  // Refuses a request path that does not name a file on a local disk.
  FolderCheck pathCheck;
  std::uint64_t lockWaitMs = 30000;
  std::int64_t pollMs = 100;
  std::uint64_t packageSizeLimit = 0x100000000;
  std::uint64_t expandedSizeLimit = 0x400000000;
  std::uint64_t entryLimit = 200000;
  // Told how far extractVerified has hashed and written (or rebuilt) the
  // package; either may stop it. None by default.
  ByteProgress hashProgress;
  ByteProgress extractProgress;
};

// The install folder an executable works on: the folder holding the
// ".loftswitch" workspace it lies in (at any depth), else its own folder.
std::filesystem::path installFolderForExecutable(const std::filesystem::path& executable);

// Where the elevated helper's log goes: `fileName` in the logs folder of the
// install folder's workspace, or nothing (standard error only) when that
// workspace exists but is not a real folder that passes the folder check, so
// that no file is written through a folder another user may have planted.
std::filesystem::path elevatedLogPath(FileSystem& fileSystem, const ElevatedConfig& config,
                                      std::string_view fileName);

// The name of the marker files the new version and the waiter leave in the
// user's workspace for the helper.
std::filesystem::path confirmedMarkerPath(const UpdateRequest& request);
std::filesystem::path exitedMarkerPath(const UpdateRequest& request);

// The elevated helper: installs one requested, signed package into an
// administrator-only install folder, or repairs it, and leaves starting the
// application to the waiter.
class Elevated {
 public:
  Elevated(const UpdateRequest& request, std::optional<ProcessIdentity> app, FileSystem& fileSystem,
           ApplyHost& host, const LogSink& log, const ElevatedConfig& config);
  virtual ~Elevated() = default;
  Elevated(const Elevated&) = delete;
  Elevated& operator=(const Elevated&) = delete;

  // The whole run; never throws for a failure.
  RunOutcome run();

  // Checks the administrator-only copy against the signed size and digest,
  // then examines and extracts it into the attempt's staged folder, or, for
  // a delta, rebuilds the new version there from the install folder's files.
  // The first error is the result.
  [[nodiscard]] virtual Result<Unit> extractVerified(const std::filesystem::path& packageCopy);

  Swapper swapper(const Journal& journal);

 private:
  RunOutcome refuseEnvironment(const std::string& message);
  // Why the request must not be acted on, or nothing: its paths, signature,
  // version, platform and size, checked before anything is changed.
  std::optional<std::string> requestRefusal();
  RunOutcome waitForOtherPrograms();
  // Nothing when the previous journal was settled and the install may go on.
  std::optional<RunOutcome> settlePreviousJournal();
  void retire(const std::string& attemptId);
  void archiveJournal(const std::string& attemptId);
  RunOutcome install(WorkspaceLock& lock);
  RunOutcome refuse(std::string_view reason, std::string_view detail);
  [[nodiscard]] Result<Unit> copyPackage(const std::filesystem::path& destination);
  Journal attemptJournal() const;
  RunOutcome waitForConfirmation();
  RunOutcome confirm();
  RunOutcome rollBackAfterExit();
  RunOutcome repair();
  RunOutcome rollBack(Journal journal, std::string_view reason, std::string_view detail);
  std::filesystem::path packageFolder() const;

  const UpdateRequest& request_;
  std::optional<ProcessIdentity> app_;
  FileSystem& fileSystem_;
  ApplyHost& host_;
  const LogSink& log_;
  const ElevatedConfig& config_;
  Workspace workspace_;
  InstallDescription description_;
};

}  // namespace loftswitch
