#include "elevated/elevated.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "base/log_stamp.h"
#include "apply/run.h"
#include "base/file.h"
#include "base/text.h"
#include "delta/delta_rebuild.h"
#include "elevated/package_contract.h"
#include "elevated/verify.h"
#include "host/exit_code.h"
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
  const long long value = std::stoll(std::string(content.substr(0, end)));
  if (value < INT32_MIN || value > UINT32_MAX) return "unknown";
  return describeExitCode(static_cast<std::uint32_t>(value));
}

bool isSwapInUse(const Error& error) {
  return error.code == ErrorCode::inUse || error.code == ErrorCode::accessDenied;
}

bool isDiskAtFault(const Error& error) {
  return error.code == ErrorCode::accessDenied || error.code == ErrorCode::diskFull;
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

RunOutcome Elevated::refuseEnvironment(const std::string& message) {
  logLine(log_, "refusing to run elevated: " + message);
  return RunOutcome::refused;
}

std::optional<std::string> Elevated::environmentRefusal() {
  if (auto checked = config_.folderCheck(config_.installFolder); !checked) {
    return checked.error().message;
  }
  const std::filesystem::path descriptionPath = config_.installFolder / utf8ToPath("loftswitch.json");
  if (auto trusted = checkTrustedFile(descriptionPath); !trusted) return trusted.error().message;
  std::vector<std::filesystem::path> programs = {config_.installFolder /
                                                 utf8ToPath("loftswitch-apply.exe")};
  if (!request_.repair) {
    auto text = fileSystem_.readFile(descriptionPath, kDescriptionLimit);
    if (!text) {
      return "no loftswitch.json in the install folder (" + text.error().message + ")";
    }
    auto description = readInstallDescription(*text);
    if (!description) return description.error().message;
    description_ = std::move(*description);
    if (auto executable = resolveMovePath(workspace_, Location::target, request_.id,
                                          description_.executable)) {
      programs.push_back(std::move(*executable));
    }
  }
  for (const std::filesystem::path& program : programs) {
    if (auto trusted = checkTrustedFile(program); !trusted) return trusted.error().message;
  }

  const std::filesystem::path& workspacePath = workspace_.workspacePath;
  if (fileSystem_.exists(workspacePath)) {
    const std::string workspaceText = pathToUtf8(workspacePath);
    if (!fileSystem_.isFolder(workspacePath)) return workspaceText + " is a link or a file";
    if (auto checked = config_.folderCheck(workspacePath); !checked) {
      return checked.error().message + "; an administrator can delete " + workspaceText;
    }
  }
  return std::nullopt;
}

// What the helper trusts or starts must be as closed to other users as the
// folder it lies in; what isn't there grants nothing.
Result<Unit> Elevated::checkTrustedFile(const std::filesystem::path& file) {
  if (!fileSystem_.exists(file)) return Unit{};
  return config_.fileCheck(file);
}

RunOutcome Elevated::run() {
  const std::string installText = pathToUtf8(config_.installFolder);
  logLine(log_, std::string("elevated helper: ") +
                    (request_.repair ? "repairing " : "installing ") + request_.id + " in " +
                    installText);
  if (std::optional<std::string> refusal = environmentRefusal()) {
    return refuseEnvironment(*refusal);
  }
  // A request that fails its checks changes nothing: no journal is settled,
  // nothing is retired or deleted, no log is written, and the package is
  // verified in full before any of that.
  if (!request_.repair) {
    if (std::optional<Refusal> refusal = verifyRequest()) {
      logLine(log_, "refusing the update (" + refusal->reason + "): " + refusal->detail);
      discardScratch();
      return RunOutcome::refused;
    }
  }
  const auto leave = [this](RunOutcome outcome) {
    discardScratch();
    return outcome;
  };

  const std::filesystem::path& workspacePath = workspace_.workspacePath;
  const auto exitMs = static_cast<std::int64_t>(request_.exitMs);
  if (app_ && !host_.waitForExit(*app_, exitMs)) {
    logLine(log_, "the app (process " + std::to_string(app_->pid) + ") didn't exit");
    return leave(RunOutcome::appStillRunning);
  }
  if (const auto running = waitForInstallPrograms(host_, config_.installFolder, workspacePath,
                                                   deadlineAfter(host_.now(), exitMs),
                                                   config_.pollMs)) {
    logLine(log_, "another program from the install folder is still running (process " +
                      std::to_string(*running) + ")");
    return leave(RunOutcome::appStillRunning);
  }

  if (auto created = fileSystem_.createFolders(workspacePath); !created) {
    logLine(log_, created.error().message);
    return leave(RunOutcome::failed);
  }
  auto lock = acquireWorkspaceLock(fileSystem_, host_, lockPath(workspace_), config_.lockWaitMs);
  if (!lock) {
    logLine(log_, lock.error().message);
    return leave(lock.error().code == ErrorCode::locked ? RunOutcome::busy : RunOutcome::failed);
  }
  if (config_.changesBegin) config_.changesBegin();
  // The workspace now holds the lock and the log: of what this run made,
  // only the verified package's folder may still go.
  std::erase_if(madeFolders_, [this](const std::filesystem::path& folder) { return folder != scratch_; });
  if (request_.repair) return repair();
  if (std::optional<RunOutcome> handled = settlePreviousJournal()) return leave(*handled);
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
  }
  const std::string previousId = journal->id;
  if (interrupted &&
      rollBack(std::move(*journal), "interrupted", kInterruptedDetail) == RunOutcome::failed) {
    return RunOutcome::failed;
  }
  // A stage left where it was could be taken for a later attempt's; the
  // journal keeps naming it until it is gone.
  if (auto retired = retire(previousId); !retired) {
    logLine(log_, retired.error().message);
    return RunOutcome::failed;
  }
  archiveJournal(previousId);
  return std::nullopt;
}

Result<Unit> Elevated::retire(const std::string& attemptId) {
  for (const std::filesystem::path& folder :
       {stageFolder(workspace_, attemptId), backupFolder(workspace_, attemptId)}) {
    if (!fileSystem_.exists(folder)) continue;
    const std::filesystem::path retired =
        trashFolder(workspace_) / utf8ToPath(randomToken(8) + "-" + attemptId);
    if (auto moved = fileSystem_.move(folder, retired); !moved) {
      return fail(moved.error().code,
                  "can't retire " + pathToUtf8(folder) + ": " + moved.error().message);
    }
  }
  return Unit{};
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
  discardScratch();
  (void)fileSystem_.remove(stageFolder(workspace_, request_.id));
  Journal journal = attemptJournal();
  journal.state = JournalState::rolledBack;
  journal.outcome = OutcomeRecord{"rolled-back", std::string(reason), std::string(detail)};
  journal.reported = false;
  // A failed save has logged itself; the outcome stands.
  (void)saveJournal(fileSystem_, workspace_, journal, log_);
  return RunOutcome::rolledBack;
}

Result<Unit> Elevated::makeScratch() {
  // A folder nobody could have prepared or can look into: a name nobody can
  // guess, made new, administrators' alone from its first moment.
  const std::filesystem::path elevated = workspace_.workspacePath / utf8ToPath("elevated");
  for (const std::filesystem::path& folder : {workspace_.workspacePath, elevated}) {
    if (fileSystem_.exists(folder)) continue;
    RETURN_IF_ERROR(fileSystem_.createFolders(folder));
    madeFolders_.push_back(folder);
  }
  const std::filesystem::path scratch = elevated / utf8ToPath(randomToken(8));
  RETURN_IF_ERROR(config_.createRestricted(scratch));
  madeFolders_.push_back(scratch);
  scratch_ = scratch;
  return Unit{};
}

void Elevated::discardScratch() {
  for (auto folder = madeFolders_.rbegin(); folder != madeFolders_.rend(); ++folder) {
    // What stays is cleared by the next run that installs.
    if (auto removed = fileSystem_.remove(*folder); !removed) logLine(log_, removed.error().message);
  }
  madeFolders_.clear();
  scratch_.clear();
}

std::optional<Elevated::Refusal> Elevated::verifyRequest() {
  if (auto offer = checkOffer(description_, request_, config_.packageSizeLimit); !offer) {
    return Refusal{"rejected", offer.error().message};
  }
  if (auto made = makeScratch(); !made) return Refusal{"io", made.error().message};
  // The user's file is opened as the user; the copy is the helper's alone.
  const std::filesystem::path copy = scratch_ / utf8ToPath("package.zip");
  Result<OpenFile> source = config_.openAsUser(request_.package);
  Result<Unit> copied = source ? copyPackageCapped(*source, copy, request_.size)
                               : Result<Unit>(fail(std::move(source.error())));
  if (!copied) {
    return Refusal{"rejected",
                   "the package couldn't be copied for verification: " + copied.error().message};
  }
  const std::filesystem::path unpacked = scratch_ / utf8ToPath("new");
  if (auto extracted = extractVerified(copy, unpacked); !extracted) {
    return Refusal{isDiskAtFault(extracted.error()) ? "io" : "rejected", extracted.error().message};
  }
  if (auto kept = checkPackageContract(fileSystem_, unpacked,
                                       {description_.app, request_.version, request_.platform});
      !kept) {
    return Refusal{"rejected", kept.error().message};
  }
  auto installed =
      resolveMovePath(workspace_, Location::target, request_.id, description_.executable);
  if (!installed ||
      !fileSystem_.exists(unpacked / installed->lexically_relative(config_.installFolder))) {
    return Refusal{"rejected", "the update has no " + description_.executable};
  }
  return std::nullopt;
}

RunOutcome Elevated::install(WorkspaceLock& lock) {
  // Nothing of an earlier attempt may stay where this one goes.
  const std::filesystem::path elevated = workspace_.workspacePath / utf8ToPath("elevated");
  const std::filesystem::path staged = stagedFolder(workspace_, request_.id);
  for (const std::filesystem::path& leftover :
       {trashFolder(workspace_), stageFolder(workspace_, request_.id)}) {
    if (auto removed = fileSystem_.remove(leftover); !removed) {
      return refuse("io", "can't clear the way for the update: " + removed.error().message);
    }
  }
  Result<Unit> placed = fileSystem_.move(scratch_ / utf8ToPath("new"), staged);
  if (placed) placed = config_.inheritPermissions(staged);
  if (!placed) return refuse("io", placed.error().message);
  // The verified copy has served its purpose; so have the leftovers of
  // earlier runs beside it.
  if (auto removed = fileSystem_.remove(elevated); !removed) {
    return refuse("io", "can't clear the way for the update: " + removed.error().message);
  }
  madeFolders_.clear();
  scratch_.clear();

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

Result<Unit> Elevated::extractVerified(const std::filesystem::path& packageCopy,
                                       const std::filesystem::path& target) {
  ASSIGN_OR_RETURN(OpenFile package, hashPackage(packageCopy, request_, config_.hashProgress));
  OpenFile* file = &package;
  ReadAt readAt = [file](std::uint64_t offset, std::span<std::uint8_t> bytes) {
    return readExactAt(*file, offset, bytes).has_value();
  };
  ASSIGN_OR_RETURN(PackageReader reader,
                   openPackage(std::move(readAt), request_.size,
                               PackageLimits{config_.expandedSizeLimit, config_.entryLimit}));
  // Only into a folder made for this package: nothing left there earlier may
  // join what the signature covers.
  ASSIGN_OR_RETURN(const EntryKind existing, fileSystem_.probe(target));
  if (existing != EntryKind::missing) {
    return fail(ErrorCode::io, "can't unpack the package into " + pathToUtf8(target) +
                                   ": something is already there");
  }
  RETURN_IF_ERROR(fileSystem_.createFolders(target));
  if (request_.from.empty()) return extractAll(reader, fileSystem_, target, config_.extractProgress);
  // The files a delta reads come from the install this helper guards, never
  // from a copy that someone else could have put in place.
  return rebuildDelta(reader, fileSystem_, config_.installFolder, target,
                      DeltaVersions{request_.from, request_.version}, config_.extractProgress);
}

RunOutcome Elevated::waitForConfirmation() {
  const HostTime deadline =
      deadlineAfter(host_.now(), static_cast<std::int64_t>(request_.confirmMs));
  for (;;) {
    if (config_.openAsUser(confirmedMarkerPath(request_))) return confirm();
    if (config_.openAsUser(exitedMarkerPath(request_))) return rollBackAfterExit();
    if (host_.now() >= deadline) {
      logLine(log_,
              "no word from the new version yet; its startup() will confirm when it gets there");
      return RunOutcome::unconfirmed;
    }
    host_.sleep(config_.pollMs);
  }
}

RunOutcome Elevated::confirm() {
  auto lock = acquireWorkspaceLock(fileSystem_, host_, lockPath(workspace_), config_.lockWaitMs);
  if (lock) {
    auto journal = loadJournal(fileSystem_, workspace_);
    if (journal && journal->id == request_.id && journal->state == JournalState::swapped) {
      journal->state = JournalState::confirmed;
      journal->outcome = OutcomeRecord{"updated", "", ""};
      if (saveJournal(fileSystem_, workspace_, *journal, log_)) {
        // The update stands all the same; the next request retires the
        // attempt's folders before it installs, or ends when it can't.
        if (auto retired = retire(request_.id); !retired) logLine(log_, retired.error().message);
      }
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
  Result<OpenFile> marker = config_.openAsUser(exitedMarkerPath(request_));
  Result<std::string> content =
      marker ? readRest(*marker, kExitedMarkerLimit) : Result<std::string>(fail(marker.error()));
  const std::string code = content ? exitCodeText(*content) : "unknown";
  auto lock = acquireWorkspaceLock(fileSystem_, host_, lockPath(workspace_), config_.lockWaitMs);
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
