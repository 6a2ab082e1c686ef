#pragma once

#include <cstdint>
#include <string>

#include "host/apply_host.h"

namespace loftswitch {

// The real processes and clock of this machine. Stateless.
class SystemHost final : public ApplyHost {
 public:
  bool waitForExit(ProcessIdentity identity, std::int64_t timeoutMs) override;
  std::vector<std::uint32_t> processesInFolder(const std::filesystem::path& folder) override;
  [[nodiscard]] Result<std::unique_ptr<RunningApp>> launch(const LaunchRequest& request) override;
  void sleep(std::int64_t ms) override;
  HostTime now() override;
};

// This process: its id and its creation time (0 when that cannot be read).
ProcessIdentity ownIdentity();

// This program's executable, in plain form.
std::wstring ownExecutablePath();

// The value handed to a Windows wait: 0 for a negative time-out, never the
// infinite wait.
std::uint32_t timeoutForWait(std::int64_t ms);

}  // namespace loftswitch
