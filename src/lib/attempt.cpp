#include <string>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "elevated/validate.h"
#include "json/strict_json.h"
#include "lib/app_library.h"
#include "lib/failures.h"
#include "loftswitch/app.h"
#include "workspace/journal.h"
#include "workspace/journal_store.h"
#include "workspace/lock.h"
#include "workspace/workspace.h"

namespace loftswitch::applib {
namespace {

constexpr std::uint64_t kOutcomeFileLimit = 65536;

Workspace installWorkspace(const AppPlaces& places) {
  return workspaceForInstall(places.install, Layout::folder);
}

std::filesystem::path marker(const std::filesystem::path& userWorkspace, std::string_view kind,
                             std::string_view id) {
  return userWorkspace / utf8ToPath(std::string(kind) + "-" + std::string(id));
}

// True when the attempt went the administrator's way: its request lies in
// the user's workspace, and its markers go there too.
bool elevatedAttempt(FileSystem& fs, const AppPlaces& places, std::string_view id) {
  return places.userWorkspace && fs.exists(requestFile(*places.userWorkspace, id));
}

[[nodiscard]] Outcome<Unit> checkAttemptId(std::string_view id, std::string_view what) {
  if (isAttemptId(id)) return Unit{};
  return argumentFailure(std::string(what) + " \"" + std::string(id) +
                         "\" is not an attempt id (16 lower-case hex digits)");
}

std::string idText(std::string_view id) { return "attempt " + std::string(id); }

std::string arg(std::uint64_t number) { return std::to_string(number); }

Confirmation notConfirmable(std::string message) {
  return Confirmation{LOFTSWITCH_NOT_CONFIRMABLE, "nothing to confirm: " + std::move(message)};
}

// The administrator's helper finishes the confirmation once it sees the
// marker; the journal itself is not ours to write.
[[nodiscard]] Outcome<Confirmation> confirmElevated(FileSystem& fs, const AppPlaces& places,
                                                    std::string_view id) {
  const auto journal = loadJournal(fs, installWorkspace(places));
  const bool ours = journal && journal->id == id;
  const std::filesystem::path confirmed = marker(*places.userWorkspace, "confirmed", id);
  if ((ours && journal->state == JournalState::confirmed) || fs.exists(confirmed)) {
    return Confirmation{LOFTSWITCH_ALREADY_CONFIRMED, idText(id) + " was confirmed before"};
  }
  if (!journal) {
    return notConfirmable("the administrator's helper has no journal of " + idText(id) + " (" +
                          journal.error().message + ")");
  }
  if (!ours) return notConfirmable("the journal holds attempt " + journal->id + ", not " + std::string(id));
  if (journal->state != JournalState::swapped) {
    return notConfirmable(idText(id) + " is " + std::string(stateName(journal->state)));
  }
  if (auto written = fs.writeFile(confirmed, ""); !written) {
    return ioFailure("can't confirm " + idText(id) + ": " + written.error().message);
  }
  return Confirmation{LOFTSWITCH_CONFIRMED,
                      "confirmed " + idText(id) + "; the administrator's helper finishes it"};
}

Outcome<Journal> loadForChange(FileSystem& fs, const Workspace& workspace,
                               const std::string& context) {
  auto journal = loadJournal(fs, workspace);
  if (journal) return std::move(*journal);
  const int code = journal.error().code == ErrorCode::notFound ? LOFTSWITCH_ERROR_NOT_FOUND
                                                               : LOFTSWITCH_ERROR_IO;
  return failWith(code, context + ": " + journal.error().message);
}

// A swap or an undo stopped half way: the install may be mixed until the
// tool repairs it.
bool interrupted(const Journal& journal) {
  return journal.state == JournalState::swapping || journal.state == JournalState::rollingBack;
}

// A staged attempt with a recorded reason was started, but the tool gave up
// waiting for the app's programs to end: the install is untouched and the
// attempt can be started again.
bool blocked(const Journal& journal) {
  return journal.state == JournalState::staged && !journal.lastError.empty();
}

ReportedOutcome fromJournal(const Journal& journal, const OutcomeRecord& outcome) {
  ReportedOutcome out;
  out.present = true;
  out.id = journal.id;
  out.from = journal.from;
  out.to = journal.to;
  out.result = outcome.result;
  out.reason = outcome.reason;
  out.detail = outcome.detail;
  out.kept = journal.kept;
  out.keptBytes = journal.keptBytes;
  out.message = idText(journal.id) + " (version " + journal.from + " to " + journal.to +
                ") ended " + out.result;
  return out;
}

// Told whatever the journal's reported flag says: the app can't go past it.
ReportedOutcome needsRepair(const Journal& journal, const Workspace& workspace) {
  const bool tried = !journal.lastError.empty();
  return fromJournal(journal, OutcomeRecord{
      "needs-repair", tried ? "rollback-incomplete" : "interrupted",
      (tried ? journal.lastError : "the update stopped before it finished") + "; " +
          repairAdvice(workspace)});
}

// What the waiter leaves when the administrator's helper ended without a
// journal for the attempt: the first one not reported yet.
std::optional<ReportedOutcome> waiterOutcome(FileSystem& fs, const std::filesystem::path& folder) {
  auto names = fs.list(folder);
  if (!names) return std::nullopt;
  for (const std::string& name : *names) {
    if (!name.starts_with("outcome-") || !name.ends_with(".json")) continue;
    const std::string id = name.substr(8, name.size() - 8 - 5);
    if (!isAttemptId(id) || fs.exists(marker(folder, "reported", id))) continue;
    auto text = fs.readFile(folder / utf8ToPath(name), kOutcomeFileLimit);
    if (!text) continue;
    auto parsed = parseStrictJson(*text, 2);
    if (!parsed || !parsed->is_object()) continue;
    FieldReader reader(*parsed, name);
    ReportedOutcome out;
    out.present = true;
    out.id = id;
    out.result = reader.string("result", true);
    out.reason = reader.string("reason", false);
    out.detail = reader.string("detail", false);
    if (!reader.finish()) continue;
    out.message = idText(id) + " ended " + out.result;
    return out;
  }
  return std::nullopt;
}

}  // namespace

std::string repairAdvice(const Workspace& workspace) {
  return "loftswitch_start_apply with its attempt id repairs it once the app exits, and so does "
         "loftswitch-apply --work \"" +
         pathToUtf8(workspace.workspacePath) + "\" --repair";
}

Outcome<std::string> startApply(FileSystem& fs, Starter& starter, const AppPlaces& places,
                                std::string_view id, const std::filesystem::path& tool) {
  RETURN_IF_FAILED(checkAttemptId(id, "the attempt id"));
  const std::filesystem::path shipped =
      tool.empty() ? places.install / utf8ToPath("loftswitch-apply.exe") : tool;
  if (!fs.exists(shipped)) {
    return failWith(LOFTSWITCH_ERROR_NOT_FOUND, "there is no " + pathToUtf8(shipped));
  }
  const ProcessIdentity self = starter.self();
  const std::vector<std::string> appIdentity = {"--pid", arg(self.pid), "--pid-started",
                                                arg(self.started)};

  if (elevatedAttempt(fs, places, id)) {
    const std::filesystem::path& userWorkspace = *places.userWorkspace;
    const std::string request = pathToUtf8(requestFile(userWorkspace, id));
    // The waiter must not run from the install folder, where the helper
    // would wait for it; the helper must, as it trusts only that folder.
    const std::filesystem::path waiter = userWorkspace / utf8ToPath("loftswitch-apply.exe");
    if (auto copied = fs.copy(shipped, waiter); !copied) {
      return ioFailure("can't copy the tool for the waiter: " + copied.error().message);
    }
    LaunchRequest helper;
    helper.program = shipped;
    helper.arguments = {"--elevated", "--request", request};
    helper.arguments.insert(helper.arguments.end(), appIdentity.begin(), appIdentity.end());
    helper.workingFolder = userWorkspace;
    auto elevated = starter.startElevated(helper);
    if (!elevated) {
      return failWith(LOFTSWITCH_ERROR_LAUNCH,
                      "the administrator's helper didn't start: " + elevated.error().message);
    }
    LaunchRequest waiting;
    waiting.program = waiter;
    waiting.arguments = {"--wait-elevated", "--request", request};
    waiting.arguments.insert(waiting.arguments.end(), appIdentity.begin(), appIdentity.end());
    waiting.arguments.insert(waiting.arguments.end(),
                             {"--elevated-pid", arg(elevated->pid), "--elevated-started",
                              arg(elevated->started)});
    waiting.workingFolder = userWorkspace;
    waiting.breakaway = true;
    if (auto started = starter.start(waiting); !started) {
      return failWith(LOFTSWITCH_ERROR_LAUNCH,
                      "the waiter didn't start, so nothing will start the app after the "
                      "administrator's helper (process " +
                          arg(elevated->pid) + "): " + started.error().message);
    }
    return "started the administrator's helper and the waiter for " + idText(id) +
           "; exit now so that the update can begin";
  }

  const Workspace workspace = installWorkspace(places);
  auto journal = loadJournal(fs, workspace);
  if (!journal) {
    return failWith(LOFTSWITCH_ERROR_NOT_FOUND,
                    idText(id) + " is not staged: " + journal.error().message);
  }
  const bool repairing = interrupted(*journal);
  if (!repairing && (journal->id != id || journal->state != JournalState::staged)) {
    return failWith(LOFTSWITCH_ERROR_NOT_FOUND,
                    idText(id) + " is not staged: the journal holds attempt " + journal->id +
                        ", " + std::string(stateName(journal->state)));
  }
  // Run from the workspace, the tool is none of the install's programs that
  // it waits for, and it is free to replace the copy the app shipped.
  const std::filesystem::path copy = workspace.workspacePath / utf8ToPath("loftswitch-apply.exe");
  if (auto copied = fs.copy(shipped, copy); !copied) {
    return ioFailure("can't copy the tool into the workspace: " + copied.error().message);
  }
  LaunchRequest apply;
  apply.program = copy;
  apply.arguments = {"--work", pathToUtf8(workspace.workspacePath), "--id", std::string(id)};
  // The interrupted attempt comes first, whichever id was asked for.
  if (repairing) apply.arguments = {"--work", pathToUtf8(workspace.workspacePath), "--repair"};
  apply.arguments.insert(apply.arguments.end(), appIdentity.begin(), appIdentity.end());
  apply.workingFolder = workspace.workspacePath;
  apply.breakaway = true;
  if (auto started = starter.start(apply); !started) {
    return failWith(LOFTSWITCH_ERROR_LAUNCH,
                    "loftswitch-apply didn't start: " + started.error().message);
  }
  if (repairing) {
    return "started loftswitch-apply to repair " + idText(journal->id) +
           ", which was interrupted; exit now so that it can finish";
  }
  return "started loftswitch-apply for " + idText(id) + " (version " + journal->to +
         "); exit now so that it can install it";
}

Outcome<Confirmation> confirmStartup(FileSystem& fs, Clock& clock, const AppPlaces& places,
                                     std::string_view relaunch, std::uint64_t lockWaitMs) {
  if (relaunch.empty()) {
    return Confirmation{LOFTSWITCH_NOT_RELAUNCHED,
                        "nothing to confirm: this start is not an update's relaunch"};
  }
  RETURN_IF_FAILED(checkAttemptId(relaunch, "LOFTSWITCH_RELAUNCH"));
  const std::string id(relaunch);
  if (elevatedAttempt(fs, places, id)) return confirmElevated(fs, places, id);

  const Workspace workspace = installWorkspace(places);
  const std::string context = "can't confirm " + idText(id);
  // The variable is inherited by whatever this start runs in turn; a program
  // of another install has no journal to confirm.
  if (!fs.exists(journalPath(workspace))) {
    return notConfirmable("there is no update journal in " + pathToUtf8(workspace.workspacePath));
  }
  auto lock = acquireWorkspaceLock(fs, clock, lockPath(workspace), lockWaitMs);
  if (!lock) return lockFailure(context, lock.error());
  ASSIGN_OR_FAIL(Journal journal, loadForChange(fs, workspace, context));
  if (journal.id != id) {
    return notConfirmable("the journal holds attempt " + journal.id + ", not " + id);
  }
  if (journal.state == JournalState::confirmed) {
    return Confirmation{LOFTSWITCH_ALREADY_CONFIRMED, idText(id) + " was confirmed before"};
  }
  if (journal.state != JournalState::swapped) {
    return notConfirmable(idText(id) + " is " + std::string(stateName(journal.state)));
  }
  journal.state = JournalState::confirmed;
  journal.outcome = OutcomeRecord{"updated", "", ""};
  journal.reported = false;
  if (auto saved = fs.writeFile(journalPath(workspace), serializeJournal(journal)); !saved) {
    return ioFailure(context + ": " + saved.error().message);
  }
  return Confirmation{LOFTSWITCH_CONFIRMED,
                      "confirmed " + idText(id) + ": version " + journal.to + " is installed"};
}

Outcome<ReportedOutcome> readOutcome(FileSystem& fs, const AppPlaces& places) {
  auto journal = loadJournal(fs, installWorkspace(places));
  if (!journal && journal.error().code != ErrorCode::notFound) {
    return ioFailure("can't read the outcome: " + journal.error().message);
  }
  if (journal && interrupted(*journal)) return needsRepair(*journal, installWorkspace(places));
  if (journal && (journal->outcome || blocked(*journal)) && !journal->reported &&
      !(places.userWorkspace && fs.exists(marker(*places.userWorkspace, "reported", journal->id)))) {
    return fromJournal(*journal, journal->outcome.value_or(
                                     OutcomeRecord{"app-still-running", "", journal->lastError}));
  }
  if (places.userWorkspace) {
    if (auto found = waiterOutcome(fs, *places.userWorkspace)) return std::move(*found);
  }
  ReportedOutcome none;
  none.message = journal ? "nothing to report: " + idText(journal->id) + " is " +
                               (journal->outcome ? "reported" : std::string(stateName(journal->state)))
                         : "nothing to report: no update has been recorded";
  return none;
}

Outcome<std::string> markReported(FileSystem& fs, Clock& clock, const AppPlaces& places,
                                  std::string_view id, std::uint64_t lockWaitMs) {
  RETURN_IF_FAILED(checkAttemptId(id, "the attempt id"));
  if (places.userWorkspace &&
      (elevatedAttempt(fs, places, id) ||
       fs.exists(*places.userWorkspace / utf8ToPath("outcome-" + std::string(id) + ".json")))) {
    if (auto written = fs.writeFile(marker(*places.userWorkspace, "reported", id), ""); !written) {
      return ioFailure("can't mark " + idText(id) + " reported: " + written.error().message);
    }
    return "marked " + idText(id) + " reported";
  }
  const Workspace workspace = installWorkspace(places);
  const std::string context = "can't mark " + idText(id) + " reported";
  // Without a journal there is no outcome, and the lock would only fail on
  // the missing workspace with the system's words.
  const bool nothingStaged = !fs.exists(journalPath(workspace));
  if (nothingStaged) {
    return failWith(LOFTSWITCH_ERROR_NOT_FOUND,
                    "nothing to mark: no update has been staged in " +
                        pathToUtf8(places.install) + ", so " + idText(id) + " has no outcome");
  }
  auto lock = acquireWorkspaceLock(fs, clock, lockPath(workspace), lockWaitMs);
  if (!lock) return lockFailure(context, lock.error());
  ASSIGN_OR_FAIL(Journal journal, loadForChange(fs, workspace, context));
  if (journal.id != id) {
    return failWith(LOFTSWITCH_ERROR_NOT_FOUND,
                    context + ": the journal holds attempt " + journal.id);
  }
  if (interrupted(journal)) {
    return failWith(LOFTSWITCH_ERROR_BUSY,
                    context + ": it must be repaired first; " + repairAdvice(workspace));
  }
  if (!journal.outcome && !blocked(journal)) {
    return failWith(LOFTSWITCH_ERROR_NOT_FOUND, context + ": it has no outcome yet");
  }
  if (journal.reported) return idText(id) + " was marked reported before";
  // A blocked attempt's reason goes once told, so that the next block of the
  // same attempt is told again.
  if (journal.outcome) journal.reported = true;
  journal.lastError.clear();
  if (auto saved = fs.writeFile(journalPath(workspace), serializeJournal(journal)); !saved) {
    return ioFailure(context + ": " + saved.error().message);
  }
  // What the rollback kept may go once newer attempts came; a marker that
  // is lost keeps it.
  if (!journal.kept.empty()) (void)fs.writeFile(keptFolder(workspace, id) / utf8ToPath("told"), "");
  return "marked " + idText(id) + " reported";
}

}  // namespace loftswitch::applib
