#include "swap/swapper.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

#include "base/text.h"

namespace loftswitch {
namespace {

constexpr std::uint64_t kProgressLimit = 1048576;

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
  return ok();
}

Result<Unit> Swapper::undo(const std::vector<Move>& moves) {
  const std::filesystem::path progress = progressPath(workspace_, attemptId_);
  std::size_t done = 0;
  bool progressRead = false;
  Result<std::string> marks = fileSystem_.readFile(progress, kProgressLimit);
  if (marks) {
    done = marks->size();
    progressRead = true;
  } else if (marks.error().code != ErrorCode::notFound) {
    return fail(marks.error());
  }

  // The move after the last mark may have been made just before a crash.
  const std::size_t count = std::min(done + 1, moves.size());
  std::optional<Error> firstError;
  for (std::size_t i = count; i-- > 0;) {
    const Move& move = moves[i];
    Result<std::filesystem::path> source =
        resolveMovePath(workspace_, move.from, attemptId_, move.path);
    Result<std::filesystem::path> destination =
        resolveMovePath(workspace_, move.to, attemptId_, move.path);
    if (!source || !destination) {
      if (!firstError) firstError = !source ? source.error() : destination.error();
      continue;
    }
    // Only a move that is found made is put back: nothing is overwritten.
    if (!fileSystem_.exists(*destination) || fileSystem_.exists(*source)) continue;
    Result<Unit> back = moveWithRetry(*destination, *source, move.path);
    if (!back) {
      logLine(log_, "undo couldn't restore " + move.path + ": " + back.error().message);
      if (!firstError) firstError = back.error();
    }
  }
  if (firstError) return fail(*firstError);
  if (progressRead) {
    // A leftover progress file only makes a later undo look at moves that
    // are already back.
    (void)fileSystem_.remove(progress);
  }
  return ok();
}

}  // namespace loftswitch
