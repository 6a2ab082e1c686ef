#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/log_sink.h"
#include "base/result.h"
#include "fs/file_system.h"
#include "workspace/journal.h"
#include "workspace/workspace.h"

namespace loftswitch {

// True for a "/"-separated relative path that names the same entry inside
// any folder it is joined to: no empty, "." or ".." piece, none holding ":",
// "\" or NUL, none ending in "." or a space, which Windows strips when it
// makes a path absolute, and UTF-8 text.
bool isSafeMovePath(std::string_view path);

// The root of `location` joined with a move's "/"-separated relative path.
// Fails with `invalidData` for any path that `isSafeMovePath` refuses.
[[nodiscard]] Result<std::filesystem::path> resolveMovePath(const Workspace& workspace,
                                                            Location location,
                                                            std::string_view attemptId,
                                                            std::string_view path);

// Runs `write`, and once more after giving up the attempt's reserved space
// ("stage"/id/"reserve") when it failed on a full disk: the undo needs no new
// space.
[[nodiscard]] Result<Unit> withReserve(FileSystem& fileSystem, const Workspace& workspace,
                                       std::string_view attemptId,
                                       const std::function<Result<Unit>()>& write);

// Pauses the thread for the given number of milliseconds.
using SleepFunction = std::function<void(std::int64_t)>;

// Makes the moves of one attempt, recording each finished move in the
// attempt's progress file, and puts them back from what it finds on disk.
class Swapper {
 public:
  Swapper(FileSystem& fileSystem, Workspace workspace, std::string attemptId,
          std::int32_t retryAttempts, std::int64_t retryDelayMs, std::int64_t retryMaxDelayMs,
          SleepFunction sleep, LogSink log);

  // Makes the moves in order. Every path is checked before the first move,
  // so an unsafe journal moves nothing; a failed move stops the swap and
  // leaves the moves made so far, each with its progress mark. Once all are
  // made, records the install's top-level names for the undo.
  [[nodiscard]] Result<Unit> run(const std::vector<Move>& moves);

  // Puts back every recorded move, and the one that may have been made
  // without its mark, newest first. Skips what is already back, so it can be
  // run again after a failure or a crash. Whatever lies where an entry goes
  // back is moved aside into the attempt's kept folder first. Stops at the
  // first move it cannot look at or put back and keeps the progress file; a
  // backup that is gone fails the undo, naming it, once the others are back.
  // Then, when the swap had finished, moves aside every top-level entry that
  // neither version had and that appeared after it, and keeps the new
  // version's entries, with what it wrote in them, beside them. Keeps the
  // space the swap set by for the undo: the caller's last save may need it.
  [[nodiscard]] Result<Unit> undo(const std::vector<Move>& moves);

  // Moves `source` to `destination`, trying again with growing pauses while
  // the entry is in use or protected. `path` names the entry in messages.
  [[nodiscard]] Result<Unit> moveWithRetry(const std::filesystem::path& source,
                                           const std::filesystem::path& destination,
                                           std::string_view path);

 private:
  // What lies at `entry`; an error (logged) when that cannot be told.
  Result<EntryKind> lookAt(const std::filesystem::path& entry, std::string_view path);
  Result<Unit> moveAside(const std::filesystem::path& entry, std::string_view path);
  Result<Unit> setAsideWhatTheNewVersionMade(const std::vector<Move>& moves);

  FileSystem& fileSystem_;
  Workspace workspace_;
  std::string attemptId_;
  std::int32_t retryAttempts_;
  std::int64_t retryDelayMs_;
  std::int64_t retryMaxDelayMs_;
  SleepFunction sleep_;
  LogSink log_;
};

}  // namespace loftswitch
