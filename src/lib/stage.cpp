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
#include "host/system_host.h"
#include "swap/swapper.h"
#include "workspace/journal.h"
#include "workspace/journal_store.h"
#include "workspace/lock.h"
#include "workspace/log_retention.h"
#include "workspace/workspace.h"

namespace loftswitch::applib {
namespace {

constexpr std::uint64_t kDescriptionLimit = 65536;

// The keys each input may carry into the update request. The signed fields
// are what the publisher's tool writes; the options are the application's.
const std::set<std::string, std::less<>> kSignedKeys = {"version", "from",   "notes",    "platform",
                                                        "url",     "size",   "sha256",   "signature"};
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

[[nodiscard]] Outcome<nlohmann::json> readObject(std::string_view text, std::string_view what) {
  auto parsed = parseStrictJson(text, 4);
  if (!parsed) return argumentFailure(std::string(what) + ": " + parsed.error().message);
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

// The copy of the package always goes; the stage folder goes unless the
// attempt was staged completely.
class StageCleanup {
 public:
  StageCleanup(FileSystem& fs, std::filesystem::path copyFolder, std::filesystem::path stage)
      : fs_(fs), copyFolder_(std::move(copyFolder)), stage_(std::move(stage)) {}
  StageCleanup(const StageCleanup&) = delete;
  StageCleanup& operator=(const StageCleanup&) = delete;
  ~StageCleanup() {
    removeWithEmptyParent(fs_, copyFolder_);
    if (!kept_) removeWithEmptyParent(fs_, stage_);
  }
  void keep() { kept_ = true; }

 private:
  FileSystem& fs_;
  std::filesystem::path copyFolder_;
  std::filesystem::path stage_;
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
    return std::unexpected(Failure{
        LOFTSWITCH_ERROR_BUSY,
        "can't stage the update: attempt " + loaded->id +
            " was interrupted and must be repaired first (loftswitch-apply --repair)"});
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

// The package is copied first, as the administrator's helper copies it, and
// then checked and extracted by the helper's own step: the unelevated road
// admits exactly what the elevated one admits.
[[nodiscard]] Outcome<Unit> extractInto(FileSystem& fs, const Workspace& workspace,
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
  SystemHost host;
  const LogSink quiet;
  Elevated helper(request, std::nullopt, fs, host, quiet, config);
  if (auto extracted = helper.extractVerified(copy); !extracted) {
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
  const Result<Unit> fits =
      reader ? checkDeltaBase(*reader, fs, install, DeltaVersions{request.from, request.version})
             : Result<Unit>(fail(reader.error()));
  if (!fits) return std::unexpected(packageFailure(fits.error()));
  return Unit{};
}

}  // namespace

std::filesystem::path requestFile(const std::filesystem::path& userWorkspace, std::string_view id) {
  return userWorkspace / utf8ToPath("request-" + std::string(id) + ".json");
}

Outcome<Staged> stagePackage(FileSystem& fs, const AppPlaces& places,
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
  if (!description) return argumentFailure(description.error().message);
  ASSIGN_OR_FAIL(const nlohmann::json signedFields, readObject(signedJson, "the signed fields"));
  nlohmann::json options = nlohmann::json::object();
  if (!optionsJson.empty()) {
    ASSIGN_OR_FAIL(options, readObject(optionsJson, "the options"));
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
    const bool badSignature = offer.error().code == ErrorCode::badSignature;
    return std::unexpected(rejected(
        offer.error().message + (badSignature ? " (" + std::string(kSignedFieldsHint) + ")" : "")));
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
      RETURN_IF_FAILED(checkDeltaFits(fs, *held, *request, places.install, settings));
    }
    const std::filesystem::path file = requestFile(*places.userWorkspace, id);
    if (auto written = fs.writeFile(file, document.dump(2) + "\n"); !written) {
      return ioFailure("can't write the update request: " + written.error().message);
    }
    return Staged{id, "staged version " + request->version + " as attempt " + id +
                          " for the administrator's helper (" + pathToUtf8(file) + ")"};
  }

  if (auto made = fs.createFolders(workspace.workspacePath); !made) {
    return ioFailure("can't stage the update: " + made.error().message);
  }
  auto lock = acquireWorkspaceLock(lockPath(workspace), settings.lockWaitMs);
  if (!lock) return lockFailure("can't stage the update", lock.error());
  ASSIGN_OR_FAIL(std::optional<Journal> previous, previousJournal(fs, workspace));
  RETURN_IF_FAILED(checkRolledBack(fs, rolledBackPath(workspace.workspacePath), previous,
                                   description->version, request->version, retryRolledBack));

  const std::filesystem::path incoming =
      workspace.workspacePath / utf8ToPath("incoming") / utf8ToPath(id);
  StageCleanup cleanup(fs, incoming, stageFolder(workspace, id));
  if (auto made = fs.createFolders(incoming); !made) {
    return ioFailure("can't stage the update: " + made.error().message);
  }
  RETURN_IF_FAILED(extractInto(fs, workspace, *request, package,
                               incoming / utf8ToPath("package.zip"), settings, relay));
  const auto executable =
      resolveMovePath(workspace, Location::stage, id, description->executable);
  if (!executable || !fs.exists(*executable)) {
    return std::unexpected(rejected("the update has no " + description->executable));
  }
  if (auto kept = checkPackageContract(fs, stagedFolder(workspace, id),
                                       {description->app, request->version, request->platform});
      !kept) {
    return std::unexpected(packageFailure(kept.error()));
  }

  Journal journal;
  journal.id = id;
  journal.app = description->app;
  journal.from = description->version;
  journal.to = request->version;
  journal.state = JournalState::staged;
  journal.layout = Layout::folder;
  journal.executable = description->executable;
  journal.package = toHex(request->sha256);
  journal.preserve = description->preserve;
  journal.relaunch = Relaunch{request->relaunchArgs, request->relaunchCwd};
  journal.timeouts.exitMs = static_cast<std::int64_t>(request->exitMs);
  journal.timeouts.confirmMs = static_cast<std::int64_t>(request->confirmMs);

  if (previous) archive(fs, workspace, *previous);
  if (auto saved = fs.writeFile(journalPath(workspace), serializeJournal(journal)); !saved) {
    return ioFailure("can't save the journal: " + saved.error().message);
  }
  cleanup.keep();
  if (previous && previous->id != id) removeFolders(fs, workspace, *previous);
  return Staged{id, "staged version " + request->version + " as attempt " + id};
}

}  // namespace loftswitch::applib
