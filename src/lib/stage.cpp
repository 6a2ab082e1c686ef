#include <algorithm>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/log_stamp.h"
#include "base/log_sink.h"
#include "base/file.h"
#include "base/text.h"
#include "delta/delta_rebuild.h"
#include "elevated/elevated.h"
#include "elevated/package_contract.h"
#include "elevated/request.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "json/strict_json.h"
#include "lib/app_library.h"
#include "lib/failures.h"
#include "lib/rolled_back.h"
#include "loftswitch/app.h"
#include "swap/swap_plan.h"
#include "swap/swapper.h"
#include "workspace/journal.h"
#include "workspace/journal_store.h"
#include "workspace/lock.h"
#include "workspace/log_retention.h"
#include "workspace/workspace.h"

namespace loftswitch::applib {
namespace {

constexpr std::uint64_t kDescriptionLimit = 65536;
// What a rollback kept goes only once this many newer attempts were staged.
constexpr std::uint64_t kNewerAttemptsBeforeKeptGoes = 3;

// The keys each input may carry into the update request. The signed fields
// are what the publisher's tool writes; the options are the application's.
const std::set<std::string, std::less<>> kSignedKeys = {
    "version", "from", "notes", "platform", "url", "size", "sha256", "signature", "keyId"};
const std::set<std::string, std::less<>> kOptionKeys = {"relaunchArgs", "relaunchCwd", "exitMs",
                                                        "confirmMs"};
// An option of staging itself, not carried into the request.
constexpr std::string_view kRetryRolledBack = "retryRolledBack";

Failure rejected(std::string message) { return Failure{LOFTSWITCH_ERROR_REJECTED, std::move(message)}; }

// Package checks fail as rejections, except where the disk is at fault.
Failure packageFailure(const Error& error) {
  switch (error.code) {
    case ErrorCode::accessDenied:
    case ErrorCode::diskFull:
    case ErrorCode::notWritable:
    case ErrorCode::inUse:
      return Failure{LOFTSWITCH_ERROR_IO, error.message};
    default:
      return rejected(error.message);
  }
}

// The request is built from the signed fields and the options; its reader's
// messages name the one the app passed in.
std::string inputAtFault(const std::string& message) {
  constexpr std::string_view kContext = "the update request: ";
  if (!message.starts_with(kContext)) return message;
  const std::string detail = message.substr(kContext.size());
  const auto names = [&](const std::string& key) { return detail.starts_with(key + " "); };
  const bool option = std::any_of(kOptionKeys.begin(), kOptionKeys.end(), names);
  return (option ? "the options: " : "the signed fields: ") + detail;
}

// A path passed where a document's text belongs reads as "not valid JSON at
// line 1, column 1", which hides the slip: name it.
std::optional<std::string> pathInsteadOfText(FileSystem& fs, std::string_view text,
                                             std::string_view what) {
  if (text.size() > 32767 || text.find('\n') != std::string_view::npos) return std::nullopt;
  const std::filesystem::path path = utf8ToPath(text);
  if (!fs.exists(path) || fs.isFolder(path)) return std::nullopt;
  return std::string(what) + ": \"" + std::string(text) +
         "\" is the path of a file, not its text: pass the text that the file holds";
}

[[nodiscard]] Outcome<nlohmann::json> readObject(FileSystem& fs, std::string_view text,
                                                 std::string_view what) {
  auto parsed = parseStrictJson(text, 4);
  if (!parsed) {
    if (auto path = pathInsteadOfText(fs, text, what)) return argumentFailure(std::move(*path));
    return argumentFailure(std::string(what) + ": " + parsed.error().message);
  }
  if (!parsed->is_object()) return argumentFailure(std::string(what) + ": not a JSON object");
  return std::move(*parsed);
}

// Removes a folder, and its parent when nothing else is left in it. Best
// effort: a leftover is reported by nothing and harms nothing, as a later
// attempt never reuses an id.
void removeWithEmptyParent(FileSystem& fs, const std::filesystem::path& folder) {
  (void)fs.remove(folder);
  const std::filesystem::path parent = folder.parent_path();
  if (auto entries = fs.list(parent); entries && entries->empty()) (void)fs.remove(parent);
}

// Removes a folder, and its parent when that is left empty, unless kept.
class FolderCleanup {
 public:
  FolderCleanup(FileSystem& fs, std::filesystem::path folder)
      : fs_(fs), folder_(std::move(folder)) {}
  FolderCleanup(const FolderCleanup&) = delete;
  FolderCleanup& operator=(const FolderCleanup&) = delete;
  ~FolderCleanup() {
    if (!kept_) removeWithEmptyParent(fs_, folder_);
  }
  void keep() { kept_ = true; }

 private:
  FileSystem& fs_;
  std::filesystem::path folder_;
  bool kept_ = false;
};

// A staging that fails in a workspace it made takes the workspace away again
// once its lock is let go (it is declared before the lock), so that a
// refused package leaves the install folder as it was. Only an empty folder
// goes: whatever another staging put there meanwhile stays.
class FreshWorkspace {
 public:
  FreshWorkspace(FileSystem& fs, const Workspace& workspace, bool fresh)
      : fs_(fs), workspace_(workspace), fresh_(fresh) {}
  FreshWorkspace(const FreshWorkspace&) = delete;
  FreshWorkspace& operator=(const FreshWorkspace&) = delete;
  ~FreshWorkspace() {
    if (!fresh_ || kept_) return;
    (void)fs_.remove(lockPath(workspace_));
    auto entries = fs_.list(workspace_.workspacePath);
    if (entries && entries->empty()) (void)fs_.remove(workspace_.workspacePath);
  }
  void keep() { kept_ = true; }

 private:
  FileSystem& fs_;
  const Workspace& workspace_;
  bool fresh_;
  bool kept_ = false;
};

// Passes the steps' progress on to the application: each phase's start and
// end, and between them a call per MiB at most, which keeps a slow callback
// from slowing the copy. Remembers a cancel, so that the step's failure is
// reported as one, and tells nothing after it.
class ProgressRelay {
 public:
  explicit ProgressRelay(const StageProgress& progress) : progress_(progress) {}

  ByteProgress phase(int phase) {
    if (!progress_) return {};
    return [this, phase, last = std::optional<std::uint64_t>()](std::uint64_t done,
                                                                 std::uint64_t total) mutable {
      if (cancelled_) return false;
      constexpr std::uint64_t kStep = 0x100000;
      const bool due = !last || (done != *last && (done == total || done - *last >= kStep));
      if (!due) return true;
      last = done;
      cancelled_ = !progress_(phase, done, total);
      if (cancelled_) cancelledIn_ = phase;
      return !cancelled_;
    };
  }

  // When the application cancelled, the failure to report in place of the
  // step's own.
  std::optional<Failure> cancellation() const {
    if (!cancelled_) return std::nullopt;
    static constexpr const char* kSteps[] = {"",          "copying",     "verifying",
                                             "unpacking", "downloading", "rebuilding"};
    return Failure{LOFTSWITCH_CANCELLED, std::string("cancelled by the application while ") +
                                             kSteps[cancelledIn_] +
                                             " the package; nothing was staged"};
  }

 private:
  const StageProgress& progress_;
  bool cancelled_ = false;
  int cancelledIn_ = 0;
};

// A journal that stands in the way of a new attempt. Unfinished swaps keep
// their moves, which are the only way back, so they are never replaced.
[[nodiscard]] Outcome<std::optional<Journal>> previousJournal(FileSystem& fs,
                                                              const Workspace& workspace) {
  auto loaded = loadJournal(fs, workspace);
  if (!loaded) {
    if (loaded.error().code == ErrorCode::notFound) return std::optional<Journal>();
    return std::unexpected(Failure{LOFTSWITCH_ERROR_IO, "can't stage the update: " +
                                                            loaded.error().message});
  }
  if (loaded->state == JournalState::swapping || loaded->state == JournalState::rollingBack) {
    return std::unexpected(Failure{LOFTSWITCH_ERROR_BUSY,
                                   "can't stage the update: attempt " + loaded->id +
                                       " was interrupted and must be repaired first; " +
                                       repairAdvice(workspace)});
  }
  return std::optional<Journal>(std::move(*loaded));
}

// The previous attempt is over once a new one is staged: a swapped version
// evidently runs, so it counts as confirmed, as the administrator's helper
// counts it. Its journal goes into the logs first; its folders go only once
// the new journal stands, as until then the old one may still need them.
void archive(FileSystem& fs, const Workspace& workspace, Journal previous) {
  if (previous.state == JournalState::swapped) {
    previous.state = JournalState::confirmed;
    previous.outcome = OutcomeRecord{"updated", "", ""};
  }
  (void)fs.writeFile(
      logsFolder(workspace) / utf8ToPath(logStamp() + "-" + previous.id + "-journal.json"),
      serializeJournal(previous));
  // The library keeps no log of its own: what cannot be pruned now is pruned
  // by the tool's next run.
  pruneLogs(fs, logsFolder(workspace), {});
}

void removeFolders(FileSystem& fs, const Workspace& workspace, const Journal& previous) {
  if (!isAttemptId(previous.id)) return;
  (void)fs.remove(stageFolder(workspace, previous.id));
  (void)fs.remove(backupFolder(workspace, previous.id));
}

// Counts a newer attempt for what each rollback kept, and removes what the
// app was told of once enough newer attempts came. Best effort: what stays
// is counted again next time.
void ageKept(FileSystem& fs, const Workspace& workspace, std::string_view id) {
  const std::filesystem::path root = keptFolder(workspace, id).parent_path();
  auto names = fs.list(root);
  if (!names) return;
  for (const std::string& name : *names) {
    if (name == id) continue;
    const std::filesystem::path folder = root / utf8ToPath(name);
    if (!fs.append(folder / utf8ToPath("newer"), "+")) continue;
    const auto newer = fs.size(folder / utf8ToPath("newer"));
    if (newer && *newer >= kNewerAttemptsBeforeKeptGoes && fs.exists(folder / utf8ToPath("told"))) {
      (void)fs.remove(folder);
    }
  }
}

// The package is copied first, as the administrator's helper copies it, and
// then checked and extracted by the helper's own step: the unelevated road
// admits exactly what the elevated one admits.
[[nodiscard]] Outcome<Unit> extractInto(FileSystem& fs, ApplyHost& host, const Workspace& workspace,
                                        const UpdateRequest& request,
                                        const std::filesystem::path& package,
                                        const std::filesystem::path& copy,
                                        const StageSettings& settings, ProgressRelay& relay) {
  if (auto copied =
          copyPackageCapped(package, copy, request.size, relay.phase(LOFTSWITCH_PHASE_COPYING));
      !copied) {
    if (auto cancelled = relay.cancellation()) return std::unexpected(*cancelled);
    if (copied.error().code == ErrorCode::sizeMismatch) {
      return std::unexpected(rejected(copied.error().message));
    }
    return ioFailure("the package couldn't be copied for verification: " +
                     copied.error().message);
  }
  ElevatedConfig config;
  config.installFolder = appLocation(workspace);
  config.packageSizeLimit = settings.maxPackageBytes;
  config.expandedSizeLimit = settings.maxExpandedBytes;
  config.entryLimit = settings.maxEntries;
  config.hashProgress = relay.phase(LOFTSWITCH_PHASE_VERIFYING);
  config.extractProgress = relay.phase(request.from.empty() ? LOFTSWITCH_PHASE_UNPACKING
                                                            : LOFTSWITCH_PHASE_REBUILDING);
  const LogSink quiet;
  Elevated helper(request, std::nullopt, fs, host, quiet, config);
  if (auto extracted = helper.extractVerified(copy, stagedFolder(workspace, request.id));
      !extracted) {
    if (auto cancelled = relay.cancellation()) return std::unexpected(*cancelled);
    return std::unexpected(packageFailure(extracted.error()));
  }
  return Unit{};
}

// A delta that the install's files do not fit is refused here, before
// anyone is asked for rights; the administrator's helper checks them again
// on the install it guards.
[[nodiscard]] Outcome<Unit> checkDeltaFits(FileSystem& fs, OpenFile& package,
                                           const UpdateRequest& request,
                                           const std::filesystem::path& install,
                                           const StageSettings& settings) {
  OpenFile* file = &package;
  auto reader = openPackage(
      [file](std::uint64_t offset, std::span<std::uint8_t> bytes) {
        return readExactAt(*file, offset, bytes).has_value();
      },
      request.size, PackageLimits{settings.maxExpandedBytes, settings.maxEntries});
  const Result<Unit> matches =
      reader ? checkDeltaBase(*reader, fs, install, DeltaVersions{request.from, request.version})
             : Result<Unit>(fail(reader.error()));
  if (!matches) return std::unexpected(packageFailure(matches.error()));
  return Unit{};
}

// A refused delta is remembered where checks look, so that the next check
// offers this install the full package; only in a workspace that is there
// already, as a refused first staging leaves none behind.
[[nodiscard]] Outcome<Staged> rememberRefusedDelta(FileSystem& fs,
                                                   const std::filesystem::path& folder,
                                                   const UpdateRequest& request,
                                                   Outcome<Staged> result) {
  if (result || request.from.empty() || result.error().code != LOFTSWITCH_ERROR_REJECTED ||
      !fs.isFolder(folder)) {
    return result;
  }
  std::string& message = result.error().message;
  if (auto recorded = recordRefusedDelta(fs, refusedDeltasPath(folder),
                                         {toHex(request.sha256), message});
      !recorded) {
    message += "; can't remember the refusal: " + recorded.error().message;
  } else {
    message += "; check for the update again to be offered the full package";
  }
  return result;
}

}  // namespace

std::filesystem::path requestFile(const std::filesystem::path& userWorkspace, std::string_view id) {
  return userWorkspace / utf8ToPath("request-" + std::string(id) + ".json");
}

Outcome<Staged> stagePackage(FileSystem& fs, ApplyHost& host, const AppPlaces& places,
                             const std::optional<std::string>& trustJson,
                             const std::filesystem::path& package, std::string_view signedJson,
                             std::string_view optionsJson, const StageSettings& settings,
                             const StageProgress& progress) {
  ProgressRelay relay(progress);
  std::string trust;
  if (trustJson) {
    trust = *trustJson;
  } else {
    auto read = fs.readFile(places.install / utf8ToPath("loftswitch.json"), kDescriptionLimit);
    if (!read) {
      return argumentFailure("no loftswitch.json in the install folder (" + read.error().message +
                             ")");
    }
    trust = std::move(*read);
  }
  auto description = readInstallDescription(trust);
  if (!description) {
    if (auto path = trustJson ? pathInsteadOfText(fs, trust, "the install description")
                              : std::nullopt) {
      return argumentFailure(std::move(*path));
    }
    return argumentFailure(description.error().message);
  }
  ASSIGN_OR_FAIL(const nlohmann::json signedFields,
                 readObject(fs, signedJson, "the signed fields"));
  nlohmann::json options = nlohmann::json::object();
  if (!optionsJson.empty()) {
    ASSIGN_OR_FAIL(options, readObject(fs, optionsJson, "the options"));
  }
  bool retryRolledBack = false;
  for (const auto& [key, value] : options.items()) {
    if (key == kRetryRolledBack) {
      if (!value.is_boolean()) {
        return argumentFailure("the options: retryRolledBack must be true or false");
      }
      retryRolledBack = value.get<bool>();
    } else if (!kOptionKeys.contains(key)) {
      return argumentFailure("the options: unknown key \"" + key + "\"");
    }
  }

  const Workspace workspace = workspaceForInstall(places.install, Layout::folder);
  const std::string id = randomToken(8);
  nlohmann::json document = {
      {"loftswitch_request", 1},
      {"id", id},
      {"install", pathToUtf8(places.install)},
      {"userWorkspace", pathToUtf8(places.userWorkspace.value_or(workspace.workspacePath))},
      {"executable", description->executable},
      {"package", pathToUtf8(package)}};
  for (const auto& [key, value] : signedFields.items()) {
    if (kSignedKeys.contains(key)) document[key] = value;
  }
  for (const auto& [key, value] : options.items()) {
    if (key != kRetryRolledBack) document[key] = value;
  }
  auto request = readUpdateRequest(document.dump());
  if (!request) return argumentFailure(inputAtFault(request.error().message));
  // The elevated helper asks the same before it touches the package's bytes.
  if (auto offer = checkOffer(*description, *request, settings.maxPackageBytes); !offer) {
    return std::unexpected(rejected(offer.error().message));
  }

  // Where this user cannot change the install, the administrator's helper
  // stages it from a request; the package is checked now all the same, so
  // that a bad download is reported before anyone is asked for rights.
  if (places.userWorkspace && !fs.checkWritable(places.install)) {
    // The helper's journal is readable and replaced whole, so it is read
    // without the lock; one that does not read is the helper's to settle.
    auto current = loadJournal(fs, workspace);
    RETURN_IF_FAILED(checkRolledBack(fs, rolledBackPath(*places.userWorkspace),
                                     current ? std::optional<Journal>(*current) : std::nullopt,
                                     description->version, request->version, retryRolledBack));
    auto held = hashPackage(package, *request, relay.phase(LOFTSWITCH_PHASE_VERIFYING));
    if (!held) {
      if (auto cancelled = relay.cancellation()) return std::unexpected(*cancelled);
      const ErrorCode code = held.error().code;
      if (code == ErrorCode::sizeMismatch || code == ErrorCode::digestMismatch) {
        return std::unexpected(rejected(held.error().message));
      }
      return ioFailure("can't read the package: " + held.error().message);
    }
    if (!request->from.empty()) {
      if (auto fits = checkDeltaFits(fs, *held, *request, places.install, settings); !fits) {
        return rememberRefusedDelta(fs, *places.userWorkspace, *request,
                                    std::unexpected(std::move(fits.error())));
      }
    }
    const std::filesystem::path file = requestFile(*places.userWorkspace, id);
    if (auto written = fs.writeFile(file, document.dump(2) + "\n"); !written) {
      return ioFailure("can't write the update request: " + written.error().message);
    }
    return Staged{id, "staged version " + request->version + " as attempt " + id +
                          " for the administrator's helper (" + pathToUtf8(file) + ")"};
  }

  Outcome<Staged> staged = rememberRefusedDelta(fs, workspace.workspacePath, *request, stageAttempt(
      fs, host, workspace, *description, *request, retryRolledBack, settings,
      [&](const std::filesystem::path&) -> Outcome<Unit> {
        const std::filesystem::path incoming =
            workspace.workspacePath / utf8ToPath("incoming") / utf8ToPath(id);
        FolderCleanup copy(fs, incoming);
        if (auto made = fs.createFolders(incoming); !made) {
          return ioFailure("can't stage the update: " + made.error().message);
        }
        return extractInto(fs, host, workspace, *request, package,
                           incoming / utf8ToPath("package.zip"), settings, relay);
      }));
  // A user workspace is for installs this user cannot change; say why this
  // one was not needed, so that it does not go unused without a word.
  if (staged && places.userWorkspace) {
    staged->message += "; the user workspace is not used, as this user can change the install "
                       "folder: the update needs no administrator and keeps its files in " +
                       pathToUtf8(workspace.workspacePath);
  }
  return staged;
}

Outcome<Staged> stageAttempt(FileSystem& fs, ApplyHost& host, const Workspace& workspace,
                             const InstallDescription& description, const UpdateRequest& request,
                             bool retryRolledBack, const StageSettings& settings,
                             const StageExtractor& extract) {
  const std::string& id = request.id;
  FreshWorkspace made(fs, workspace, !fs.exists(workspace.workspacePath));
  Result<WorkspaceLock> lock = WorkspaceLock();
  // A staging that gave up a workspace it made may take the folder away
  // while this one waits for the lock: then it is made again, once.
  for (int tries = 0; tries < 2; ++tries) {
    if (auto created = fs.createFolders(workspace.workspacePath); !created) {
      return ioFailure("can't stage the update: " + created.error().message);
    }
    lock = acquireWorkspaceLock(fs, host, lockPath(workspace), settings.lockWaitMs);
    if (lock || lock.error().code != ErrorCode::notFound) break;
  }
  if (!lock) return lockFailure("can't stage the update", lock.error());
  ASSIGN_OR_FAIL(std::optional<Journal> previous, previousJournal(fs, workspace));
  RETURN_IF_FAILED(checkRolledBack(fs, rolledBackPath(workspace.workspacePath), previous,
                                   description.version, request.version, retryRolledBack));

  FolderCleanup stage(fs, stageFolder(workspace, id));
  RETURN_IF_FAILED(extract(stagedFolder(workspace, id)));
  if (auto kept = checkPackageContract(fs, stagedFolder(workspace, id),
                                       {description.app, request.version, request.platform});
      !kept) {
    return std::unexpected(packageFailure(kept.error()));
  }
  const auto executable =
      resolveMovePath(workspace, Location::stage, id, description.executable);
  if (!executable || !fs.exists(*executable)) {
    return std::unexpected(rejected("the update has no " + description.executable));
  }

  Journal journal;
  journal.id = id;
  journal.app = description.app;
  journal.from = description.version;
  journal.to = request.version;
  journal.state = JournalState::staged;
  journal.layout = Layout::folder;
  journal.executable = description.executable;
  journal.package = toHex(request.sha256);
  journal.preserve = description.preserve;
  journal.relaunch = Relaunch{request.relaunchArgs, request.relaunchCwd};
  journal.timeouts.exitMs = static_cast<std::int64_t>(request.exitMs);
  journal.timeouts.confirmMs = static_cast<std::int64_t>(request.confirmMs);

  // An update whose swap cannot be planned, or whose plan cannot be
  // journaled, would only ever roll back: it is refused now.
  Journal planned = journal;
  auto plan = planSwap(fs, workspace, id, journal.preserve, journal.executable);
  if (plan) planned.moves = std::move(*plan);
  auto fits = plan ? journalText(planned) : fail(plan.error());
  if (!fits) return std::unexpected(packageFailure(fits.error()));

  if (previous) archive(fs, workspace, *previous);
  if (auto saved = fs.writeFile(journalPath(workspace), serializeJournal(journal)); !saved) {
    return ioFailure("can't save the journal: " + saved.error().message);
  }
  stage.keep();
  made.keep();
  if (previous && previous->id != id) removeFolders(fs, workspace, *previous);
  ageKept(fs, workspace, id);
  return Staged{id, "staged version " + request.version + " as attempt " + id};
}

}  // namespace loftswitch::applib
