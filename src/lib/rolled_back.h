#pragma once

// The versions rolled back on this install, and why. An app that finds a
// version, stages it, and sees it crash at start would otherwise find it and
// stage it again at every start, each time through a rollback.

#include <filesystem>
#include <optional>
#include <string>

#include "feed/feed.h"
#include "fs/file_system.h"
#include "lib/app_library.h"
#include "workspace/journal.h"

namespace loftswitch::applib {

// "rolled-back.json" in the workspace folder that staging writes to.
std::filesystem::path rolledBackPath(const std::filesystem::path& workspaceFolder);

// Records the attempt of `current` when it ended rolled back, forgets the
// versions that are no longer newer than `installed`, and then refuses
// `offered` when it was rolled back before, saying why, unless `retry`.
[[nodiscard]] Outcome<Unit> checkRolledBack(FileSystem& fs, const std::filesystem::path& file,
                                            const std::optional<Journal>& current,
                                            const std::string& installed,
                                            const std::string& offered, bool retry);

// The versions rolled back on this install that are newer than `installed`,
// with why, as checkRolledBack sees them; nothing is written.
[[nodiscard]] Outcome<std::vector<RolledBackVersion>> rolledBackVersions(
    FileSystem& fs, const std::filesystem::path& file, const std::optional<Journal>& current,
    const std::string& installed);

// "refused-deltas.json" in the same folder: the delta packages that staging
// refused on this install, so that checks offer the full package instead.
std::filesystem::path refusedDeltasPath(const std::filesystem::path& workspaceFolder);

// The deltas refused here. A record that does not read is none: it only
// costs one more refusal, which writes it again.
std::vector<RefusedDelta> refusedDeltas(FileSystem& fs, const std::filesystem::path& file);

// Adds `delta` to the record, which keeps the latest few.
[[nodiscard]] Result<Unit> recordRefusedDelta(FileSystem& fs, const std::filesystem::path& file,
                                              const RefusedDelta& delta);

}  // namespace loftswitch::applib
