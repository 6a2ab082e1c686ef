#include "support/fake_host.h"

#include <algorithm>
#include <limits>

#include "base/text.h"

namespace loftswitch {

namespace {

std::int64_t saturatingAdd(std::int64_t base, std::int64_t delta) {
  if (delta > 0 && base > FakeHost::kNever - delta) return FakeHost::kNever;
  return base + delta;
}

// The path with "/" between its pieces, "." and ".." worked out and ASCII
// letters lowered, whatever separators it was written with: the host compares
// folders as Windows does, on any system.
std::string foldedPath(const std::filesystem::path& path) {
  std::string text = pathToUtf8(path);
  std::replace(text.begin(), text.end(), '\\', '/');
  text = pathToUtf8(utf8ToPath(text).lexically_normal());
  std::replace(text.begin(), text.end(), '\\', '/');
  return asciiLower(text);
}

}  // namespace

struct FakeHost::World {
  struct Process {
    ProcessIdentity identity;
    std::filesystem::path image;
    std::int64_t exitsAtMs = kNever;
    std::uint32_t exitCode = 0;
  };

  std::int64_t nowMs = 0;
  std::vector<Process> processes;
  ProcessIdentity next{1000, 133'000'000'000'000'000ull};

  bool running(const Process& process) const { return nowMs < process.exitsAtMs; }

  const Process* live(std::uint32_t pid) const {
    for (auto it = processes.rbegin(); it != processes.rend(); ++it) {
      if (it->identity.pid == pid && running(*it)) return &*it;
    }
    return nullptr;
  }

  ProcessIdentity freshIdentity() {
    const ProcessIdentity identity = next;
    next.pid += 4;
    next.started += 10'000;
    return identity;
  }
};

namespace {

// Shares the world with its host, so it stays safe to ask after the host is
// gone.
class FakeRunningApp final : public RunningApp {
 public:
  FakeRunningApp(std::shared_ptr<FakeHost::World> world, std::size_t index)
      : world_(std::move(world)), index_(index) {}

  std::optional<std::uint32_t> exitCode() override {
    const FakeHost::World::Process& process = world_->processes[index_];
    if (world_->running(process)) return std::nullopt;
    return process.exitCode;
  }

 private:
  std::shared_ptr<FakeHost::World> world_;
  std::size_t index_;
};

}  // namespace

FakeHost::FakeHost() : world_(std::make_shared<World>()) {}
FakeHost::~FakeHost() = default;

ProcessIdentity FakeHost::addProcess(const std::filesystem::path& image, std::int64_t exitsAtMs) {
  const ProcessIdentity identity = world_->freshIdentity();
  world_->processes.push_back(World::Process{identity, image, exitsAtMs, 0});
  return identity;
}

void FakeHost::after(std::int64_t delayMs, std::function<void()> action) {
  const std::int64_t atMs = saturatingAdd(world_->nowMs, std::max<std::int64_t>(delayMs, 0));
  actions_.push_back(Action{atMs, nextOrder_++, std::move(action)});
}

std::int64_t FakeHost::elapsedMs() const { return world_->nowMs; }

void FakeHost::stepTowards(std::int64_t targetMs) {
  auto next = actions_.end();
  for (auto it = actions_.begin(); it != actions_.end(); ++it) {
    if (it->atMs > targetMs) continue;
    if (next == actions_.end() || it->atMs < next->atMs ||
        (it->atMs == next->atMs && it->order < next->order)) {
      next = it;
    }
  }
  if (next == actions_.end()) {
    world_->nowMs = std::max(world_->nowMs, targetMs);
    return;
  }
  world_->nowMs = std::max(world_->nowMs, next->atMs);
  // Taken out before it runs: an action may add actions of its own.
  std::function<void()> action = std::move(next->run);
  actions_.erase(next);
  action();
}

void FakeHost::runDueActions() {
  const std::int64_t nowMs = world_->nowMs;
  while (std::any_of(actions_.begin(), actions_.end(),
                     [&](const Action& a) { return a.atMs <= nowMs; })) {
    stepTowards(nowMs);
  }
}

bool FakeHost::waitForExit(ProcessIdentity identity, std::int64_t timeoutMs) {
  runDueActions();
  const std::int64_t deadline = saturatingAdd(world_->nowMs, std::max<std::int64_t>(timeoutMs, 0));
  while (true) {
    const World::Process* process = world_->live(identity.pid);
    if (process == nullptr ||
        (identity.started != 0 && process->identity.started != identity.started)) {
      return true;
    }
    if (world_->nowMs >= deadline) return false;
    stepTowards(std::min(deadline, process->exitsAtMs));
  }
}

std::vector<std::uint32_t> FakeHost::processesInFolder(const std::filesystem::path& folder) {
  runDueActions();
  return running(folder);
}

std::vector<std::uint32_t> FakeHost::running(const std::filesystem::path& folder) const {
  // The same comparison as the real host: a whole folder component, any
  // depth below it, any letter case.
  std::string prefix = foldedPath(folder);
  if (!prefix.ends_with('/')) prefix.push_back('/');
  std::vector<std::uint32_t> found;
  for (const World::Process& process : world_->processes) {
    if (!world_->running(process)) continue;
    const std::string image = foldedPath(process.image);
    if (prefix.size() < image.size() && image.starts_with(prefix)) {
      found.push_back(process.identity.pid);
    }
  }
  return found;
}

Result<std::unique_ptr<RunningApp>> FakeHost::launch(const LaunchRequest& request) {
  if (onLaunch) onLaunch();
  runDueActions();
  launches_.push_back(request);
  const LaunchScript script = nextScript_ < scripts_.size() ? scripts_[nextScript_++] : neverExits();
  if (script.failure) return fail(*script.failure);
  const ProcessIdentity identity = world_->freshIdentity();
  const std::int64_t exitsAt = saturatingAdd(world_->nowMs, std::max<std::int64_t>(script.exitAfterMs, 0));
  world_->processes.push_back(World::Process{identity, request.program, exitsAt, script.exitCode});
  launchedPids_.push_back(identity.pid);
  for (const auto& [delayMs, action] : script.actions) after(delayMs, action);
  return std::make_unique<FakeRunningApp>(world_, world_->processes.size() - 1);
}

void FakeHost::sleep(std::int64_t ms) {
  runDueActions();
  if (ms <= 0) return;
  const std::int64_t end = saturatingAdd(world_->nowMs, ms);
  while (world_->nowMs < end) stepTowards(end);
  runDueActions();
}

HostTime FakeHost::now() {
  constexpr std::int64_t kLatestMs = std::numeric_limits<std::int64_t>::max() / 1'000'000 - 86'400'000;
  if (world_->nowMs > kLatestMs) return HostTime::max();
  // A fixed, non-zero start keeps virtual readings apart from zero.
  return HostTime(std::chrono::hours(24) + std::chrono::milliseconds(world_->nowMs));
}

}  // namespace loftswitch
