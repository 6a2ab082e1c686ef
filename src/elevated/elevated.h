#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/log_sink.h"
#include "base/outcome.h"
#include "base/result.h"
#include "elevated/folder_check.h"
#include "elevated/request.h"
#include "elevated/user_files.h"
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
  // Refuses a file that users who aren't administrators could change: the
  // install description the helper trusts and the programs it starts.
  FolderCheck fileCheck;
  // Creates a new folder that only administrators can use from its first
  // moment; fails when anything is at its path.
  FolderCheck createRestricted;
  // Lets a folder and what it holds take their permissions from where it lies.
  FolderCheck inheritPermissions;
  // Opens what the user who asked names or may change (the package, the
  // markers), with that user's rights.
  UserFileOpener openAsUser;
  // Called once every check has passed, before the first change: from there
  // on the run may leave a log, so that a refused request leaves nothing.
  std::function<void()> changesBegin;
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
  // Checks the administrator-only copy against the signed size and digest,
  // then examines it and, into `target`, a folder it creates and that must not
  // exist yet, extracts it, or, for a delta, rebuilds the new version from the
  // install folder's files. The first error is the result.
  [[nodiscard]] virtual Result<Unit> extractVerified(const std::filesystem::path& packageCopy,
                                                     const std::filesystem::path& target);

  Swapper swapper(const Journal& journal);

 private:
  struct Refusal {
    std::string reason;
    std::string detail;
  };

  RunOutcome refuseEnvironment(const std::string& message);
  // Why the install folder, its description, the files it trusts or its
  // workspace are not to be worked in, or nothing.
  std::optional<std::string> environmentRefusal();
  [[nodiscard]] Result<Unit> checkTrustedFile(const std::filesystem::path& file);
  // Why the request must not be acted on, or nothing: its signature, version,
  // platform and size, then its package, copied into a new folder of the
  // helper's own and verified, examined and extracted there. Nothing else
  // changes.
  std::optional<Refusal> verifyRequest();
  [[nodiscard]] Result<Unit> makeScratch();
  // Removes what verifyRequest made, when the install does not take it over.
  void discardScratch();
  // Nothing when the previous journal was settled and the install may go on.
  std::optional<RunOutcome> settlePreviousJournal();
  [[nodiscard]] Result<Unit> retire(const std::string& attemptId);
  void archiveJournal(const std::string& attemptId);
  RunOutcome install(WorkspaceLock& lock);
  RunOutcome refuse(std::string_view reason, std::string_view detail);
  Journal attemptJournal() const;
  RunOutcome waitForConfirmation();
  RunOutcome confirm();
  RunOutcome rollBackAfterExit();
  RunOutcome repair();
  RunOutcome rollBack(Journal journal, std::string_view reason, std::string_view detail);

  const UpdateRequest& request_;
  std::optional<ProcessIdentity> app_;
  FileSystem& fileSystem_;
  ApplyHost& host_;
  const LogSink& log_;
  const ElevatedConfig& config_;
  Workspace workspace_;
  InstallDescription description_;
  // The verified package's folder, and the folders this run made for it, in
  // order.
  std::filesystem::path scratch_;
  std::vector<std::filesystem::path> madeFolders_;
};

}  // namespace loftswitch
