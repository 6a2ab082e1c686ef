#include "elevated/elevated.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "base/log_stamp.h"
#include "apply/run.h"
#include "base/file.h"
#include "base/text.h"
#include "delta/delta_rebuild.h"
#include "elevated/package_contract.h"
#include "elevated/verify.h"
#include "package/package_reader.h"
#include "swap/swap_plan.h"
#include "workspace/journal_store.h"
#include "workspace/log_retention.h"

namespace loftswitch {
namespace {

constexpr std::uint64_t kDescriptionLimit = 65536;
constexpr std::uint64_t kExitedMarkerLimit = 64;
// "-2147483648" is the longest code a Windows process can end with.
constexpr std::size_t kLongestExitCodeText = 11;

constexpr std::string_view kInterruptedDetail =
    "the update was interrupted before it finished and has been undone";

// The exit code at the start of an `exited-<id>` marker: an optional minus
// and digits, or "unknown" when there is no such number.
std::string exitCodeText(std::string_view content) {
  std::size_t end = 0;
  if (end < content.size() && content[end] == '-') ++end;
  const std::size_t digitsStart = end;
  while (end < content.size() && content[end] >= '0' && content[end] <= '9') ++end;
  if (end == digitsStart || end > kLongestExitCodeText) return "unknown";
  return std::string(content.substr(0, end));
}

bool isSwapInUse(const Error& error) {
  return error.code == ErrorCode::inUse || error.code == ErrorCode::accessDenied;
}

}  // namespace

std::filesystem::path installFolderForExecutable(const std::filesystem::path& executable) {
  const std::filesystem::path folder = executable.parent_path();
  for (std::filesystem::path current = folder; !current.filename().empty();
       current = current.parent_path()) {
    if (asciiLower(pathToUtf8(current.filename())) == ".loftswitch") return current.parent_path();
  }
  return folder;
}

std::filesystem::path elevatedLogPath(FileSystem& fileSystem, const ElevatedConfig& config,
                                      std::string_view fileName) {
  const Workspace workspace = workspaceForInstall(config.installFolder, Layout::folder);
  if (fileSystem.exists(workspace.workspacePath) &&
      (!fileSystem.isFolder(workspace.workspacePath) ||
       !config.folderCheck(workspace.workspacePath))) {
    return {};
  }
  return logsFolder(workspace) / utf8ToPath(fileName);
}

std::filesystem::path confirmedMarkerPath(const UpdateRequest& request) {
  return request.userWorkspace / utf8ToPath("confirmed-" + request.id);
}

std::filesystem::path exitedMarkerPath(const UpdateRequest& request) {
  return request.userWorkspace / utf8ToPath("exited-" + request.id);
}

Elevated::Elevated(const UpdateRequest& request, std::optional<ProcessIdentity> app,
                   FileSystem& fileSystem, ApplyHost& host, const LogSink& log,
                   const ElevatedConfig& config)
    : request_(request),
      app_(app),
      fileSystem_(fileSystem),
      host_(host),
      log_(log),
      config_(config),
      workspace_(workspaceForInstall(config.installFolder, Layout::folder)) {}

Swapper Elevated::swapper(const Journal& journal) {
  return attemptSwapper(fileSystem_, host_, workspace_, journal, log_);
}

std::filesystem::path Elevated::packageFolder() const {
  return workspace_.workspacePath / utf8ToPath("elevated") / utf8ToPath(request_.id);
}

RunOutcome Elevated::refuseEnvironment(const std::string& message) {
  logLine(log_, "refusing to run elevated: " + message);
  return RunOutcome::refused;
}

RunOutcome Elevated::run() {
  const std::string installText = pathToUtf8(config_.installFolder);
  logLine(log_, std::string("elevated helper: ") +
                    (request_.repair ? "repairing " : "installing ") + request_.id + " in " +
                    installText);

  if (auto checked = config_.folderCheck(config_.installFolder); !checked) {
    return refuseEnvironment(checked.error().message);
  }
  if (!request_.repair) {
    auto text = fileSystem_.readFile(config_.installFolder / utf8ToPath("loftswitch.json"),
                                     kDescriptionLimit);
    if (!text) {
      return refuseEnvironment("no loftswitch.json in the install folder (" + text.error().message +
                               ")");
    }
    auto description = readInstallDescription(*text);
    if (!description) return refuseEnvironment(description.error().message);
    description_ = std::move(*description);
  }

  const std::filesystem::path& workspacePath = workspace_.workspacePath;
  const std::string workspaceText = pathToUtf8(workspacePath);
  if (fileSystem_.exists(workspacePath)) {
    if (!fileSystem_.isFolder(workspacePath)) {
      return refuseEnvironment(workspaceText + " is a link or a file");
    }
    if (auto checked = config_.folderCheck(workspacePath); !checked) {
      return refuseEnvironment(checked.error().message + "; an administrator can delete " +
                               workspaceText);
    }
  }

  // A request that fails its checks changes nothing: no journal is settled,
  // nothing is retired or deleted, and none of its own is written.
  if (!request_.repair) {
    if (std::optional<std::string> refusal = requestRefusal()) {
      logLine(log_, "refusing the update (rejected): " + *refusal);
      return RunOutcome::refused;
    }
  }

  const auto exitMs = static_cast<std::int64_t>(request_.exitMs);
  if (app_ && !host_.waitForExit(*app_, exitMs)) {
    logLine(log_, "the app (process " + std::to_string(app_->pid) + ") didn't exit");
    return RunOutcome::appStillRunning;
  }
  if (const auto running = waitForInstallPrograms(host_, config_.installFolder, workspacePath,
                                                   deadlineAfter(host_.now(), exitMs),
                                                   config_.pollMs)) {
    logLine(log_, "another program from the install folder is still running (process " +
                      std::to_string(*running) + ")");
    return RunOutcome::appStillRunning;
  }

  if (auto created = fileSystem_.createFolders(workspacePath); !created) {
    logLine(log_, created.error().message);
    return RunOutcome::failed;
  }
  auto lock = acquireWorkspaceLock(lockPath(workspace_), config_.lockWaitMs);
  if (!lock) {
    logLine(log_, lock.error().message);
    return RunOutcome::busy;
  }
  if (request_.repair) return repair();
  if (std::optional<RunOutcome> handled = settlePreviousJournal()) return *handled;
  // Leftovers of earlier attempts; whatever stays is cleared next time.
  (void)fileSystem_.remove(trashFolder(workspace_));
  (void)fileSystem_.remove(workspacePath / utf8ToPath("elevated"));
  return install(*lock);
}

std::optional<RunOutcome> Elevated::settlePreviousJournal() {
  auto journal = loadJournal(fileSystem_, workspace_);
  if (!journal) return std::nullopt;
  const bool interrupted =
      journal->state == JournalState::swapping || journal->state == JournalState::rollingBack;
  if (journal->id == request_.id) {
    // A run of this very request that stopped mid-swap must not leave the
    // install half changed.
    if (interrupted) return rollBack(std::move(*journal), "interrupted", kInterruptedDetail);
    logLine(log_, "this request was already handled");
    return RunOutcome::nothingToDo;
  }
  if (journal->state == JournalState::swapped) {
    // The application asks for a new update, so the version this attempt
    // installed did start.
    journal->state = JournalState::confirmed;
    journal->outcome = OutcomeRecord{"updated", "", ""};
    (void)saveJournal(fileSystem_, workspace_, *journal, log_);
  } else if (interrupted) {
    const std::string previousId = journal->id;
    if (rollBack(std::move(*journal), "interrupted", kInterruptedDetail) == RunOutcome::failed) {
      return RunOutcome::failed;
    }
    retire(previousId);
    archiveJournal(previousId);
    return std::nullopt;
  }
  retire(journal->id);
  archiveJournal(journal->id);
  return std::nullopt;
}

void Elevated::retire(const std::string& attemptId) {
  for (const std::filesystem::path& folder :
       {stageFolder(workspace_, attemptId), backupFolder(workspace_, attemptId)}) {
    if (!fileSystem_.exists(folder)) continue;
    const std::filesystem::path retired =
        trashFolder(workspace_) / utf8ToPath(randomToken(8) + "-" + attemptId);
    if (auto moved = fileSystem_.move(folder, retired); !moved) {
      logLine(log_, "can't retire " + pathToUtf8(folder) + ": " + moved.error().message);
    }
  }
}

void Elevated::archiveJournal(const std::string& attemptId) {
  const std::filesystem::path archived =
      logsFolder(workspace_) / utf8ToPath(logStamp() + "-" + attemptId + "-journal.json");
  if (auto moved = fileSystem_.move(journalPath(workspace_), archived); !moved) {
    logLine(log_, "can't archive the old journal: " + moved.error().message);
  }
  pruneLogs(fileSystem_, logsFolder(workspace_), log_);
}

Journal Elevated::attemptJournal() const {
  Journal journal;
  journal.id = request_.id;
  journal.app = description_.app;
  journal.from = description_.version;
  journal.to = request_.version;
  journal.state = JournalState::staged;
  journal.layout = Layout::folder;
  journal.executable = description_.executable;
  journal.preserve = description_.preserve;
  journal.package = toHex(request_.sha256);
  journal.relaunch = Relaunch{request_.relaunchArgs, request_.relaunchCwd};
  journal.timeouts.exitMs = static_cast<std::int64_t>(request_.exitMs);
  journal.timeouts.confirmMs = static_cast<std::int64_t>(request_.confirmMs);
  return journal;
}

RunOutcome Elevated::refuse(std::string_view reason, std::string_view detail) {
  logLine(log_, "refusing the update (" + std::string(reason) + "): " + std::string(detail));
  // Only the helper's own working copies go; the install was not touched.
  (void)fileSystem_.remove(packageFolder());
  (void)fileSystem_.remove(stageFolder(workspace_, request_.id));
  Journal journal = attemptJournal();
  journal.state = JournalState::rolledBack;
  journal.outcome = OutcomeRecord{"rolled-back", std::string(reason), std::string(detail)};
  journal.reported = false;
  // A failed save has logged itself; the outcome stands.
  (void)saveJournal(fileSystem_, workspace_, journal, log_);
  return RunOutcome::rolledBack;
}

std::optional<std::string> Elevated::requestRefusal() {
  // Both paths are opened with this process's rights.
  for (const std::filesystem::path* path : {&request_.package, &request_.userWorkspace}) {
    if (auto local = config_.pathCheck(*path); !local) return local.error().message;
  }
  if (auto offer = checkOffer(description_, request_, config_.packageSizeLimit); !offer) {
    return offer.error().message;
  }
  return std::nullopt;
}

RunOutcome Elevated::install(WorkspaceLock& lock) {
  const std::filesystem::path folder = packageFolder();
  Result<Unit> prepared = fileSystem_.remove(folder);
  if (prepared) prepared = fileSystem_.createFolders(folder);
  if (prepared) prepared = config_.folderRestrict(folder);
  if (!prepared) return refuse("io", prepared.error().message);

  const std::filesystem::path copy = folder / utf8ToPath("package.zip");
  if (auto copied = copyPackage(copy); !copied) {
    return refuse("rejected",
                  "the package couldn't be copied for verification: " + copied.error().message);
  }
  if (auto extracted = extractVerified(copy); !extracted) {
    const ErrorCode code = extracted.error().code;
    const bool io = code == ErrorCode::accessDenied || code == ErrorCode::diskFull;
    return refuse(io ? "io" : "rejected", extracted.error().message);
  }
  // The verified copy has served its purpose; a leftover is cleared next time.
  (void)fileSystem_.remove(folder);

  auto staged = resolveMovePath(workspace_, Location::stage, request_.id, description_.executable);
  if (!staged || !fileSystem_.exists(*staged)) {
    return refuse("rejected", "the update has no " + description_.executable);
  }
  if (auto kept = checkPackageContract(fileSystem_, stagedFolder(workspace_, request_.id),
                                       {description_.app, request_.version, request_.platform});
      !kept) {
    return refuse("rejected", kept.error().message);
  }

  Journal journal = attemptJournal();
  auto plan = planSwap(fileSystem_, workspace_, journal.id, journal.preserve, journal.executable);
  if (!plan) return refuse("io", plan.error().message);
  journal.moves = std::move(*plan);
  journal.state = JournalState::swapping;
  if (auto saved = saveJournal(fileSystem_, workspace_, journal, log_); !saved) {
    return refuse("io", saved.error().message);
  }

  logLine(log_, "swapping " + std::to_string(journal.moves.size()) + " entries");
  if (auto swapped = swapper(journal).run(journal.moves); !swapped) {
    const char* reason = isSwapInUse(swapped.error()) ? "in-use" : "io";
    return rollBack(std::move(journal), reason, swapped.error().message);
  }
  journal.state = JournalState::swapped;
  if (auto saved = saveJournal(fileSystem_, workspace_, journal, log_); !saved) {
    return rollBack(std::move(journal), "io", saved.error().message);
  }
  // The waiter and the new version read the journal while this helper waits.
  lock = WorkspaceLock();
  return waitForConfirmation();
}

Result<Unit> Elevated::copyPackage(const std::filesystem::path& destination) {
  return copyPackageCapped(request_.package, destination, request_.size);
}

Result<Unit> Elevated::extractVerified(const std::filesystem::path& packageCopy) {
  ASSIGN_OR_RETURN(OpenFile package, hashPackage(packageCopy, request_, config_.hashProgress));
  OpenFile* file = &package;
  ReadAt readAt = [file](std::uint64_t offset, std::span<std::uint8_t> bytes) {
    return readExactAt(*file, offset, bytes).has_value();
  };
  ASSIGN_OR_RETURN(PackageReader reader,
                   openPackage(std::move(readAt), request_.size,
                               PackageLimits{config_.expandedSizeLimit, config_.entryLimit}));
  // A stage left by an earlier run of this attempt must not mix with this one.
  (void)fileSystem_.remove(stageFolder(workspace_, request_.id));
  const std::filesystem::path staged = stagedFolder(workspace_, request_.id);
  RETURN_IF_ERROR(fileSystem_.createFolders(staged));
  if (request_.from.empty()) return extractAll(reader, fileSystem_, staged, config_.extractProgress);
  // The files a delta reads come from the install this helper guards, never
  // from a copy that someone else could have put in place.
  return rebuildDelta(reader, fileSystem_, config_.installFolder, staged,
                      DeltaVersions{request_.from, request_.version}, config_.extractProgress);
}

RunOutcome Elevated::waitForConfirmation() {
  const HostTime deadline =
      deadlineAfter(host_.now(), static_cast<std::int64_t>(request_.confirmMs));
  for (;;) {
    if (fileSystem_.exists(confirmedMarkerPath(request_))) return confirm();
    if (fileSystem_.exists(exitedMarkerPath(request_))) return rollBackAfterExit();
    if (host_.now() >= deadline) {
      logLine(log_,
              "no word from the new version yet; its startup() will confirm when it gets there");
      return RunOutcome::unconfirmed;
    }
    host_.sleep(config_.pollMs);
  }
}

RunOutcome Elevated::confirm() {
  auto lock = acquireWorkspaceLock(lockPath(workspace_), config_.lockWaitMs);
  if (lock) {
    auto journal = loadJournal(fileSystem_, workspace_);
    if (journal && journal->id == request_.id && journal->state == JournalState::swapped) {
      journal->state = JournalState::confirmed;
      journal->outcome = OutcomeRecord{"updated", "", ""};
      if (saveJournal(fileSystem_, workspace_, *journal, log_)) retire(request_.id);
    } else if (journal && journal->id == request_.id &&
               (journal->state == JournalState::rollingBack ||
                journal->state == JournalState::rolledBack)) {
      // A repair undid the update while the new version was starting: the
      // install holds the previous version, whatever the marker says.
      logLine(log_, "the new version confirmed, but the update was already being rolled back");
      return journal->state == JournalState::rolledBack ? RunOutcome::rolledBack
                                                        : RunOutcome::failed;
    }
  }
  // The marker is the new version's own word; a journal left "swapped" here
  // is confirmed by the next request.
  logLine(log_, "the new version confirmed the update");
  return RunOutcome::updated;
}

RunOutcome Elevated::rollBackAfterExit() {
  auto content = fileSystem_.readFile(exitedMarkerPath(request_), kExitedMarkerLimit);
  const std::string code = content ? exitCodeText(*content) : "unknown";
  auto lock = acquireWorkspaceLock(lockPath(workspace_), config_.lockWaitMs);
  if (!lock) {
    logLine(log_, "the new version exited with code " + code +
                      " but the update can't be rolled back: " + lock.error().message);
    return RunOutcome::failed;
  }
  auto journal = loadJournal(fileSystem_, workspace_);
  if (!journal || journal->id != request_.id || journal->state != JournalState::swapped) {
    logLine(log_, "the new version exited with code " + code +
                      " but the journal no longer holds this swapped update");
    return RunOutcome::failed;
  }
  return rollBack(std::move(*journal), "exited",
                  "the new version exited with code " + code + " before it finished starting");
}

RunOutcome Elevated::repair() {
  auto journal = loadJournal(fileSystem_, workspace_);
  if (!journal) {
    logLine(log_, "nothing to repair: " + journal.error().message);
    return RunOutcome::nothingToDo;
  }
  if (journal->state != JournalState::swapping && journal->state != JournalState::swapped &&
      journal->state != JournalState::rollingBack) {
    logLine(log_, "nothing to repair: the journal is " + std::string(stateName(journal->state)));
    return RunOutcome::nothingToDo;
  }
  return rollBack(std::move(*journal), "interrupted", kInterruptedDetail);
}

RunOutcome Elevated::rollBack(Journal journal, std::string_view reason, std::string_view detail) {
  // The waiter starts the previous version; this process never starts the app.
  return undoAttempt(fileSystem_, host_, workspace_, log_, journal, reason, detail);
}

}  // namespace loftswitch
