#include "swap/swapper.h"

#include <algorithm>
#include <limits>
#include <set>
#include <utility>

#include "base/text.h"

namespace loftswitch {
namespace {

constexpr std::uint64_t kProgressLimit = 1048576;
constexpr int kAsideFolders = 100;
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

Result<std::filesystem::path> resolveMovePath(const Workspace& workspace, Location location,
                                              std::string_view attemptId, std::string_view path) {
  std::filesystem::path resolved = locationRoot(workspace, location, attemptId);
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    const std::string_view piece =
        path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (!isSafePiece(piece) || !isValidUtf8(piece)) {
      return fail(ErrorCode::invalidData,
                  "unsafe path in the update journal: \"" + std::string(path) + "\"");
    }
    resolved /= utf8ToPath(piece);
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return resolved;
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
  // A bundle moves as a whole, with whatever the new version makes in it;
  // beside it lie other programs' files.
  if (workspace_.layout != Layout::folder) return ok();
  ASSIGN_OR_RETURN(const std::vector<std::string> names, fileSystem_.list(workspace_.targetRoot));
  std::string record;
  for (const std::string& name : names) record += name + "\n";
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
  // Numbered folders keep what an earlier undo of this attempt set aside.
  const std::filesystem::path root = stageFolder(workspace_, attemptId_) / "aside";
  for (int n = 1; n <= kAsideFolders; ++n) {
    const std::filesystem::path aside = root / std::to_string(n) / utf8ToPath(path);
    ASSIGN_OR_RETURN(const EntryKind taken, lookAt(aside, path));
    if (taken != EntryKind::missing) continue;
    if (Result<Unit> moved = moveWithRetry(entry, aside, path); !moved) {
      logLine(log_, "undo couldn't move " + std::string(path) + " aside: " + moved.error().message);
      return moved;
    }
    logLine(log_, "undo moved " + std::string(path) +
                      ", which the previous version didn't have there, aside to " +
                      pathToUtf8(aside));
    return ok();
  }
  return fail(ErrorCode::io, std::string(path) + " couldn't be moved aside: " +
                                 pathToUtf8(root) + " holds too many earlier copies");
}

Result<Unit> Swapper::setAsideWhatTheNewVersionMade(const std::vector<Move>& moves) {
  const std::filesystem::path recordPath = installedPath(workspace_, attemptId_);
  Result<std::string> record = fileSystem_.readFile(recordPath, kInstalledLimit);
  // No record: the swap never finished, so the new version never ran.
  if (!record && record.error().code == ErrorCode::notFound) return ok();
  if (!record) return fail(record.error());
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
  // Once the previous version runs again, what it makes is its own.
  return fileSystem_.remove(recordPath);
}

Result<Unit> Swapper::undo(const std::vector<Move>& moves) {
  const std::filesystem::path progress = progressPath(workspace_, attemptId_);
  bool progressRead = false;
  Result<std::string> marks = fileSystem_.readFile(progress, kProgressLimit);
  if (marks) {
    progressRead = true;
  } else if (marks.error().code != ErrorCode::notFound) {
    return fail(marks.error());
  }
  const std::string_view text = marks ? std::string_view(*marks) : std::string_view();
  const auto made = static_cast<std::size_t>(std::count(text.begin(), text.end(), '+'));
  const auto undone = static_cast<std::size_t>(std::count(text.begin(), text.end(), '-'));

  // The move after the last "+" may have been made just before a crash.
  // Newest first, each marked "-" once it is back, and no further than the
  // first move that cannot be put back: an older move put back early could
  // recreate the place a newer one must return to (the folder "data" around
  // a preserved "data/user.db"), and a move already put back must not be
  // looked at again, as an older one may have brought an entry of the same
  // name back to where it went.
  const std::size_t count = std::min(made + 1, moves.size());
  for (std::size_t i = count > undone ? count - undone : 0; i-- > 0;) {
    const Move& move = moves[i];
    Result<std::filesystem::path> source =
        resolveMovePath(workspace_, move.from, attemptId_, move.path);
    Result<std::filesystem::path> destination =
        resolveMovePath(workspace_, move.to, attemptId_, move.path);
    if (!source || !destination) {
      // The swap checks every path before its first move, so no move of a
      // journal holding this path was ever made.
      logLine(log_, "undo skips a move that was never made: " +
                        (!source ? source.error().message : destination.error().message));
    } else {
      ASSIGN_OR_RETURN(const EntryKind moved, lookAt(*destination, move.path));
      // Missing: never made, or put back just before a crash.
      if (moved != EntryKind::missing) {
        // Whatever now lies where the entry came from was made after the
        // move, by the new version: it is kept, not mixed in.
        ASSIGN_OR_RETURN(const EntryKind inTheWay, lookAt(*source, move.path));
        if (inTheWay != EntryKind::missing) RETURN_IF_ERROR(moveAside(*source, move.path));
        if (Result<Unit> back = moveWithRetry(*destination, *source, move.path); !back) {
          logLine(log_, "undo couldn't restore " + move.path + ": " + back.error().message);
          return back;
        }
      }
    }
    // A single move cannot meet an entry that an older one brought back.
    if (count > 1) RETURN_IF_ERROR(fileSystem_.append(progress, "-"));
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
