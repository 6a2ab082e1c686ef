#include <algorithm>

#include "host/apply_host.h"

namespace loftswitch {

std::optional<std::uint32_t> waitForInstallPrograms(ApplyHost& host,
                                                    const std::filesystem::path& install,
                                                    const std::filesystem::path& workspace,
                                                    HostTime deadline, std::int64_t pollMs) {
  for (;;) {
    std::vector<std::uint32_t> running = host.processesInFolder(install);
    const std::vector<std::uint32_t> own = host.processesInFolder(workspace);
    std::erase_if(running, [&](std::uint32_t id) { return std::ranges::find(own, id) != own.end(); });
    if (running.empty()) return std::nullopt;
    if (host.now() >= deadline) return running.front();
    host.sleep(pollMs);
  }
}

}  // namespace loftswitch
