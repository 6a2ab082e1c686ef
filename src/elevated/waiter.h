#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "base/log_sink.h"
#include "base/outcome.h"
#include "elevated/request.h"
#include "fs/file_system.h"
#include "host/apply_host.h"

namespace loftswitch {

// What the waiter leaves in the user's workspace when the elevated helper
// ended without a journal for the attempt.
inline constexpr char kElevationFailedOutcome[] =
    R"({"detail":"the administrator helper stopped before it changed anything",)"
    R"("reason":"elevation-failed","result":"rolled-back"})";

std::filesystem::path waiterOutcomePath(const UpdateRequest& request);

// The unelevated half of an elevated update: waits for the app to exit,
// follows the helper's journal, starts the new version (or the previous one)
// and tells the helper through `exited-<id>` when the new version ended
// before it confirmed. Never writes the journal.
RunOutcome runWaiter(const UpdateRequest& request, std::optional<ProcessIdentity> app,
                     std::optional<ProcessIdentity> elevated, FileSystem& fileSystem,
                     ApplyHost& host, const LogSink& log, std::int64_t pollMs);

}  // namespace loftswitch
