#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "fs/file_system.h"
#include "workspace/journal.h"
#include "workspace/workspace.h"

namespace loftswitch {

// Why `path` can't be a preserved path of an install whose executable is
// `executable`, or nothing when it can. One rule for the install
// description, the package contract and the plan: a path that every swap
// can move (`isSafeMovePath`), which keeps none of what an update must
// replace: the executable, loftswitch.json and loftswitch-apply.exe, nor a
// folder that holds one of them.
std::optional<std::string> preservedPathProblem(std::string_view path, std::string_view executable);

// The ordered moves that turn the install into the staged update: first the
// preserved paths into the stage (the update's own copies out of the way),
// then the old top-level entries into the backup, then the new ones into
// the install. The executable's top-level entry goes out last and comes in
// first. Reads the file system and changes nothing.
[[nodiscard]] Result<std::vector<Move>> planSwap(FileSystem& fileSystem,
                                                 const Workspace& workspace,
                                                 std::string_view attemptId,
                                                 const std::vector<std::string>& preserve,
                                                 std::string_view executable);

// `relativePath` ("/"-separated) under `folder`, spelled as on disk: an exact
// name wins over one that differs only in ASCII case. Nothing when a piece is
// missing or a piece before the last is not a real folder (a link is not
// followed); an error when a folder cannot be listed or looked at.
[[nodiscard]] Result<std::optional<std::string>> findInstalledPath(
    FileSystem& fileSystem, const std::filesystem::path& folder, std::string_view relativePath);

}  // namespace loftswitch
