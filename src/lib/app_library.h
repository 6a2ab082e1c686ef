#pragma once

// The application's half of the update contract in C++, behind the C
// functions of loftswitch/app.h. Every operation takes the file system and
// the process starter it uses, so tests can run it against real folders with
// a starter that only records.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/outcome.h"
#include "base/result.h"
#include "download/transport.h"
#include "elevated/request.h"
#include "feed/feed.h"
#include "fs/file_system.h"
#include "host/apply_host.h"
#include "host/launch_request.h"
#include "workspace/workspace.h"

namespace loftswitch::applib {

// A failure as the C interface reports it: one of the loftswitch_code values
// and the complete message.
struct Failure {
  int code = 0;
  std::string message;
};

template <typename T>
using Outcome = std::expected<T, Failure>;

// Where the application lives. `userWorkspace` is given for installs that
// only an administrator can change.
struct AppPlaces {
  std::filesystem::path install;
  std::optional<std::filesystem::path> userWorkspace;
};

struct Staged {
  std::string id;
  std::string message;
};

struct Confirmation {
  int kind = 0;  // a loftswitch_confirmation value
  std::string message;
};

struct ReportedOutcome {
  bool present = false;
  std::string id, from, to, result, reason, detail;
  // Where what a rollback set aside lies, and its bytes; empty when nothing.
  std::string kept;
  std::uint64_t keptBytes = 0;
  std::string message;
};

// Starts programs for startApply; the started programs are not waited for.
class Starter {
 public:
  virtual ~Starter() = default;
  [[nodiscard]] virtual Result<Unit> start(const LaunchRequest& request) = 0;
  // With administrator rights; the identity of the started process.
  [[nodiscard]] virtual Result<ProcessIdentity> startElevated(const LaunchRequest& request) = 0;
  virtual ProcessIdentity self() = 0;
};

// The lock waits and limits of staging; the limits are those the
// administrator's helper applies.
struct StageSettings {
  std::uint64_t lockWaitMs = 10000;
  std::uint64_t maxPackageBytes = 0x100000000;
  std::uint64_t maxExpandedBytes = 0x400000000;
  std::uint64_t maxEntries = 200000;
};

// The file beside which the elevated road is recognised, in the user's
// workspace.
std::filesystem::path requestFile(const std::filesystem::path& userWorkspace, std::string_view id);

// Told a loftswitch_phase and the bytes done of the total, as the C
// callback is; returning false cancels the staging.
using StageProgress = std::function<bool(int phase, std::uint64_t done, std::uint64_t total)>;

// `host` gives the clock of lock waits and whatever checking the package
// needs of the system.
[[nodiscard]] Outcome<Staged> stagePackage(FileSystem& fs, ApplyHost& host, const AppPlaces& places,
                                           const std::optional<std::string>& trustJson,
                                           const std::filesystem::path& package,
                                           std::string_view signedJson,
                                           std::string_view optionsJson,
                                           const StageSettings& settings = {},
                                           const StageProgress& progress = {});

// Writes the update's files into the staged folder it is given.
using StageExtractor = std::function<Outcome<Unit>(const std::filesystem::path& staged)>;

// The unelevated staging of `request` (its id, version, relaunch and waits)
// once its offer has been checked: under the workspace lock, refuses what an
// interrupted or rolled-back attempt forbids, extracts, checks that the
// update keeps the install updatable and that its swap can be planned and
// journaled, writes the journal in state "staged" and retires earlier
// attempts. A failure leaves no stage folder and the journal as it was.
[[nodiscard]] Outcome<Staged> stageAttempt(FileSystem& fs, ApplyHost& host,
                                           const Workspace& workspace,
                                           const InstallDescription& description,
                                           const UpdateRequest& request, bool retryRolledBack,
                                           const StageSettings& settings,
                                           const StageExtractor& extract);

// `tool` empty: loftswitch-apply.exe in the install folder.
[[nodiscard]] Outcome<std::string> startApply(FileSystem& fs, Starter& starter,
                                              const AppPlaces& places, std::string_view id,
                                              const std::filesystem::path& tool);

// `relaunch` is the value of LOFTSWITCH_RELAUNCH, empty when it is not set.
[[nodiscard]] Outcome<Confirmation> confirmStartup(FileSystem& fs, Clock& clock,
                                                   const AppPlaces& places,
                                                   std::string_view relaunch,
                                                   std::uint64_t lockWaitMs);

[[nodiscard]] Outcome<ReportedOutcome> readOutcome(FileSystem& fs, const AppPlaces& places);

[[nodiscard]] Outcome<std::string> markReported(FileSystem& fs, Clock& clock,
                                                const AppPlaces& places, std::string_view id,
                                                std::uint64_t lockWaitMs);

// What the check found: the offer, with the channel it was asked for.
struct FoundUpdate {
  CheckedFeed feed;
  std::string channel;
};

// Fetches the feed through `transport` and decides with the clock `now`
// (seconds since 1970); `sleep` pauses between tries.
[[nodiscard]] Outcome<FoundUpdate> checkForUpdate(FileSystem& fs, Transport& transport,
                                                  const AppPlaces& places,
                                                  std::string_view feedUrl,
                                                  std::string_view optionsJson, std::int64_t now,
                                                  const std::function<void(std::uint64_t)>& sleep);

// The parts of an offer a download needs, as the application hands them
// back.
struct OfferToFetch {
  std::string version, packageUrl, sha256, signedJson;
  std::uint64_t size = 0;
};

struct Downloaded {
  std::filesystem::path package;
  std::string message;
};

// Told the bytes done of the total; returning false cancels.
using DownloadProgress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

[[nodiscard]] Outcome<Downloaded> downloadUpdate(FileSystem& fs, Clock& clock,
                                                 Transport& transport, const AppPlaces& places,
                                                 const OfferToFetch& offer,
                                                 const DownloadProgress& progress,
                                                 const std::function<void(std::uint64_t)>& sleep);

// Once `package` is staged, removes it when it is a download of the
// install's own workspace; an administrator's helper still needs the ones
// in a user workspace.
void forgetStagedDownload(FileSystem& fs, const AppPlaces& places,
                          const std::filesystem::path& package);

// The value of LOFTSWITCH_RELAUNCH in this process, empty when unset.
std::string relaunchVariable();

// Starts programs on this machine: plainly, or through the administrator
// prompt.
class SystemStarter final : public Starter {
 public:
  [[nodiscard]] Result<Unit> start(const LaunchRequest& request) override;
  [[nodiscard]] Result<ProcessIdentity> startElevated(const LaunchRequest& request) override;
  ProcessIdentity self() override;
};

}  // namespace loftswitch::applib
