#include "swap/swapper.h"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include "base/text.h"

namespace loftswitch {
namespace {

constexpr std::uint64_t kProgressLimit = 1048576;
constexpr std::uint64_t kInstalledLimit = 1048576;

// The install's top-level names when the swap finished: what the new
// version makes beside them afterwards belongs to neither version.
std::filesystem::path installedPath(const Workspace& workspace, std::string_view attemptId) {
  return stageFolder(workspace, attemptId) / utf8ToPath("installed");
}

std::filesystem::path locationRoot(const Workspace& workspace, Location location,
                                   std::string_view attemptId) {
  switch (location) {
    case Location::target: return workspace.targetRoot;
    case Location::stage: return stagedFolder(workspace, attemptId);
    case Location::backup: return backupFolder(workspace, attemptId);
    case Location::replaced: return replacedFolder(workspace, attemptId);
  }
  return {};
}

bool isSafePiece(std::string_view piece) {
  if (piece.empty() || piece == "." || piece == "..") return false;
  if (piece.find_first_of(std::string_view(":\\\0", 3)) != std::string_view::npos) return false;
  // Windows drops trailing dots and spaces when it makes a path absolute, so
  // "..." would name the root itself and "a." the entry "a".
  return piece.back() != '.' && piece.back() != ' ';
}

bool isInUse(ErrorCode code) { return code == ErrorCode::inUse || code == ErrorCode::accessDenied; }

}  // namespace

bool isSafeMovePath(std::string_view path) {
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view piece = path.substr(start, slash - std::min(slash, start));
    if (!isSafePiece(piece) || !isValidUtf8(piece)) return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

Result<std::filesystem::path> resolveMovePath(const Workspace& workspace, Location location,
                                              std::string_view attemptId, std::string_view path) {
  if (!isSafeMovePath(path)) {
    return fail(ErrorCode::invalidData,
                "unsafe path in the update journal: \"" + std::string(path) + "\"");
  }
  std::filesystem::path resolved = locationRoot(workspace, location, attemptId);
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('/', start);
    resolved /= utf8ToPath(path.substr(start, slash - std::min(slash, start)));
    if (slash == std::string_view::npos) return resolved;
    start = slash + 1;
  }
}

Swapper::Swapper(FileSystem& fileSystem, Workspace workspace, std::string attemptId,
                 std::int32_t retryAttempts, std::int64_t retryDelayMs,
                 std::int64_t retryMaxDelayMs, SleepFunction sleep, LogSink log)
    : fileSystem_(fileSystem),
      workspace_(std::move(workspace)),
      attemptId_(std::move(attemptId)),
      retryAttempts_(retryAttempts),
      retryDelayMs_(retryDelayMs),
      retryMaxDelayMs_(retryMaxDelayMs),
      sleep_(std::move(sleep)),
      log_(std::move(log)) {}

Result<Unit> Swapper::moveWithRetry(const std::filesystem::path& source,
                                    const std::filesystem::path& destination,
                                    std::string_view path) {
  std::int64_t delay = retryDelayMs_;
  std::int32_t attempt = 1;
  Result<Unit> result = fileSystem_.move(source, destination);
  while (!result && isInUse(result.error().code) && attempt < retryAttempts_) {
    logLine(log_, "retrying " + std::string(path) + " after: " + result.error().message);
    // The settings come from the journal unchecked: no pause may exceed the
    // longest one, and a negative pause would become an endless one in the
    // system's sleep.
    sleep_(std::max<std::int64_t>(std::min(delay, retryMaxDelayMs_), 0));
    delay = delay > std::numeric_limits<std::int64_t>::max() / 2
                ? retryMaxDelayMs_
                : std::min(2 * delay, retryMaxDelayMs_);
    ++attempt;
    result = fileSystem_.move(source, destination);
  }
  if (result) return ok();
  const Error& last = result.error();
  if (!isInUse(last.code)) {
    return fail(last.code, std::string(path) + " couldn't be moved (" + last.message + ")");
  }
  std::string message =
      std::string(path) + " is in use or locked by another program (" + last.message + ")";
  // Who holds it is what a user asks first; it follows the fixed text, so
  // that readers of the detail that look for that text still find it.
  std::string held;
  for (const FileHolder& holder : fileSystem_.holders(source)) {
    held += (held.empty() ? "held by " : ", ") + holder.program + " (process " +
            std::to_string(holder.pid) + ")";
  }
  if (!held.empty()) {
    logLine(log_, std::string(path) + ": " + held);
    message += "; " + held;
  }
  return fail(last.code, std::move(message));
}

Result<Unit> withReserve(FileSystem& fileSystem, const Workspace& workspace,
                         std::string_view attemptId, const std::function<Result<Unit>()>& write) {
  Result<Unit> written = write();
  if (written || written.error().code != ErrorCode::diskFull) return written;
  const std::filesystem::path reserve = reservePath(workspace, attemptId);
  if (!fileSystem.exists(reserve) || !fileSystem.remove(reserve)) return written;
  return write();
}

Result<Unit> Swapper::run(const std::vector<Move>& moves) {
  std::vector<std::pair<std::filesystem::path, std::filesystem::path>> resolved;
  resolved.reserve(moves.size());
  for (const Move& move : moves) {
    ASSIGN_OR_RETURN(std::filesystem::path source,
                     resolveMovePath(workspace_, move.from, attemptId_, move.path));
    ASSIGN_OR_RETURN(std::filesystem::path destination,
                     resolveMovePath(workspace_, move.to, attemptId_, move.path));
    resolved.emplace_back(std::move(source), std::move(destination));
  }
  const std::filesystem::path progress = progressPath(workspace_, attemptId_);
  for (std::size_t i = 0; i < moves.size(); ++i) {
    Result<Unit> moved = moveWithRetry(resolved[i].first, resolved[i].second, moves[i].path);
    if (!moved) {
      logLine(log_, "swap stopped: " + moved.error().message);
      return moved;
    }
    RETURN_IF_ERROR(fileSystem_.append(progress, "+"));
  }
  // The record also says that the swap finished, so that the new version
  // may have run. A bundle moves as a whole, with whatever the new version
  // makes in it; beside it lie other programs' files.
  std::string record;
  if (workspace_.layout == Layout::folder) {
    ASSIGN_OR_RETURN(const std::vector<std::string> names, fileSystem_.list(workspace_.targetRoot));
    for (const std::string& name : names) record += name + "\n";
  }
  return fileSystem_.writeFile(installedPath(workspace_, attemptId_), record);
}

Result<EntryKind> Swapper::lookAt(const std::filesystem::path& entry, std::string_view path) {
  Result<EntryKind> kind = fileSystem_.probe(entry);
  if (!kind) {
    const std::string message = std::string(path) + " couldn't be looked at (" +
                                kind.error().message + ")";
    logLine(log_, "undo couldn't restore " + std::string(path) + ": " + message);
    return fail(kind.error().code, message);
  }
  return kind;
}

Result<Unit> Swapper::moveAside(const std::filesystem::path& entry, std::string_view path) {
  // Numbered folders keep what an earlier undo of this attempt set aside;
  // of one more than there are, one is free.
  const std::filesystem::path root = keptFolder(workspace_, attemptId_);
  ASSIGN_OR_RETURN(const EntryKind kept, lookAt(root, path));
  std::size_t slots = 1;
  if (kept != EntryKind::missing) {
    ASSIGN_OR_RETURN(const std::vector<std::string> names, fileSystem_.list(root));
    slots += names.size();
  }
  for (std::size_t n = 1;; ++n) {
    const std::filesystem::path aside = root / std::to_string(n) / utf8ToPath(path);
    ASSIGN_OR_RETURN(const EntryKind taken, lookAt(aside, path));
    if (taken != EntryKind::missing && n < slots) continue;
    if (Result<Unit> moved = moveWithRetry(entry, aside, path); !moved) {
      logLine(log_, "undo couldn't move " + std::string(path) + " aside: " + moved.error().message);
      return moved;
    }
    logLine(log_, "undo moved " + std::string(path) +
                      ", which the previous version didn't have there, aside to " +
                      pathToUtf8(aside));
    return ok();
  }
}

Result<Unit> Swapper::setAsideWhatTheNewVersionMade(const std::vector<Move>& moves) {
  ASSIGN_OR_RETURN(const std::optional<std::string> record,
                   readIfPresent(fileSystem_, installedPath(workspace_, attemptId_), kInstalledLimit));
  // No record: the swap never finished, so the new version never ran.
  if (!record) return ok();
  if (workspace_.layout == Layout::folder) {
    std::set<std::string> known = {asciiLower(pathToUtf8(workspace_.workspacePath.filename()))};
    for (std::size_t start = 0, end; (end = record->find('\n', start)) != std::string::npos;
         start = end + 1) {
      known.insert(asciiLower(std::string_view(*record).substr(start, end - start)));
    }
    // The previous version's own entries are back by now.
    for (const Move& move : moves) {
      if (move.from == Location::target) known.insert(asciiLower(move.path.substr(0, move.path.find('/'))));
    }
    ASSIGN_OR_RETURN(const std::vector<std::string> names, fileSystem_.list(workspace_.targetRoot));
    for (const std::string& name : names) {
      if (known.contains(asciiLower(name))) continue;
      RETURN_IF_ERROR(moveAside(workspace_.targetRoot / utf8ToPath(name), name));
    }
  }
  // The new version's entries, back in the stage, hold what it wrote in
  // them: they join what was set aside, where staging leaves them.
  const std::filesystem::path staged = stagedFolder(workspace_, attemptId_);
  ASSIGN_OR_RETURN(const EntryKind left, lookAt(staged, "new"));
  if (left != EntryKind::missing) {
    RETURN_IF_ERROR(moveWithRetry(staged, keptFolder(workspace_, attemptId_) / "new", "new"));
  }
  // Once the previous version runs again, what it makes is its own.
  return fileSystem_.remove(installedPath(workspace_, attemptId_));
}

Result<Unit> Swapper::undo(const std::vector<Move>& moves) {
  const std::filesystem::path progress = progressPath(workspace_, attemptId_);
  ASSIGN_OR_RETURN(const std::optional<std::string> marks,
                   readIfPresent(fileSystem_, progress, kProgressLimit));
  const bool progressRead = marks.has_value();
  const std::string_view text = marks ? std::string_view(*marks) : std::string_view();
  const auto made = static_cast<std::size_t>(std::count(text.begin(), text.end(), '+'));
  const auto undone = static_cast<std::size_t>(std::count(text.begin(), text.end(), '-'));

  // The move after the last "+" may have been made just before a crash.
  // Newest first, each marked "-" before it is put back, and no further than
  // the first move that cannot be: an older move put back early could
  // recreate the place a newer one must return to (the folder "data" around
  // a preserved "data/user.db"), and a move already put back must not be
  // looked at again, as an older one may have brought an entry of the same
  // name back to where it went. So the moves before the newest mark are
  // untouched by any undo, and only that mark's own move may be back or not.
  const std::size_t count = std::min(made + 1, moves.size());
  const std::size_t untouched = count > undone ? count - undone : 0;
  const bool resumed = undone > 0 && untouched < count;
  for (std::size_t i = untouched + (resumed ? 1 : 0); i-- > 0;) {
    const Move& move = moves[i];
    const bool marked = resumed && i == untouched;
    Result<std::filesystem::path> source =
        resolveMovePath(workspace_, move.from, attemptId_, move.path);
    Result<std::filesystem::path> destination =
        resolveMovePath(workspace_, move.to, attemptId_, move.path);
    EntryKind moved = EntryKind::missing;
    EntryKind inTheWay = EntryKind::missing;
    if (!source || !destination) {
      // The swap checks every path before its first move, so no move of a
      // journal holding this path was ever made.
      logLine(log_, "undo skips a move that was never made: " +
                        (!source ? source.error().message : destination.error().message));
    } else {
      ASSIGN_OR_RETURN(moved, lookAt(*destination, move.path));
      ASSIGN_OR_RETURN(inTheWay, lookAt(*source, move.path));
      // A backup that is gone can't be put back, and what an untouched move
      // finds where its entry came from is not that entry.
      if (moved == EntryKind::missing && i < made && move.to == Location::backup &&
          (inTheWay == EntryKind::missing || !marked)) {
        const std::string message =
            move.path + " can't be put back: the previous version's copy " +
            pathToUtf8(*destination) + " is gone, so it can't be restored whole";
        logLine(log_, "undo couldn't restore " + move.path + ": " + message);
        return fail(ErrorCode::notFound, message);
      }
    }
    // A single move cannot meet an entry that an older one brought back.
    if (!marked && count > 1) {
      RETURN_IF_ERROR(withReserve(fileSystem_, workspace_, attemptId_,
                                  [&] { return fileSystem_.append(progress, "-"); }));
    }
    // Unmarked, a move into the install whose source is still there was
    // never made: what lies where it would have gone is another program's.
    const bool wasMade = i < made || inTheWay == EntryKind::missing || move.to != Location::target;
    if (moved == EntryKind::missing || !wasMade) continue;
    // Whatever now lies where the entry came from was made after the move,
    // by the new version: it is kept, not mixed in.
    if (inTheWay != EntryKind::missing) RETURN_IF_ERROR(moveAside(*source, move.path));
    if (Result<Unit> back = moveWithRetry(*destination, *source, move.path); !back) {
      logLine(log_, "undo couldn't restore " + move.path + ": " + back.error().message);
      return back;
    }
  }
  RETURN_IF_ERROR(setAsideWhatTheNewVersionMade(moves));
  if (progressRead) {
    // A leftover progress file only makes a later undo look at moves that
    // are already back.
    (void)fileSystem_.remove(progress);
  }
  return ok();
}

}  // namespace loftswitch
