#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "base/clock.h"
#include "base/outcome.h"
#include "base/result.h"
#include "host/launch_request.h"

namespace loftswitch {

// A program this process started.
class RunningApp {
 public:
  virtual ~RunningApp() = default;
  // The exit code once the program has ended, no value while it runs (or
  // while that cannot be told). Never blocks.
  virtual std::optional<std::uint32_t> exitCode() = 0;
};

// Everything the drivers need from the system about processes and time.
class ApplyHost : public Clock {
 public:
  // True when the process is gone: it ended within `timeoutMs`, no process
  // has its id, or its id now belongs to a process created at another time
  // than a non-zero `identity.started`. A process that exists but cannot be
  // opened is waited for until the time-out. A time-out of 0 or less only
  // tests.
  virtual bool waitForExit(ProcessIdentity identity, std::int64_t timeoutMs) = 0;

  // Ids of the running processes, other than this one, whose executable lies
  // anywhere below `folder`, in the order the system lists them.
  virtual std::vector<std::uint32_t> processesInFolder(const std::filesystem::path& folder) = 0;

  // Starts a program; the caller owns the result. Fails with launchFailed.
  [[nodiscard]] virtual Result<std::unique_ptr<RunningApp>> launch(const LaunchRequest& request) = 0;
};

// Waits, polling every `pollMs`, until no program runs from `install` but
// those from `workspace`: the tool itself and a staged version run from
// there and must not hold up their own update. The id of a program still
// running at `deadline`.
std::optional<std::uint32_t> waitForInstallPrograms(ApplyHost& host,
                                                    const std::filesystem::path& install,
                                                    const std::filesystem::path& workspace,
                                                    HostTime deadline, std::int64_t pollMs);

}  // namespace loftswitch
