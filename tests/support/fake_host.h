#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "host/apply_host.h"
#include "lib/app_library.h"

namespace loftswitch {

// An ApplyHost with a virtual clock and scripted processes, for driver tests.
// Time is counted in milliseconds since the host was made: `sleep` and
// `waitForExit` advance it instantly, running on the way every action that
// falls due and noticing every scripted exit, so a 60000 ms time-out costs
// nothing. Everything the driver asks is recorded.
class FakeHost final : public ApplyHost {
 public:
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

  // What the next launch does; `then` adds actions that run a given time
  // after the start.
  struct LaunchScript {
    std::optional<Error> failure;
    std::uint32_t exitCode = 0;
    std::int64_t exitAfterMs = kNever;
    std::vector<std::pair<std::int64_t, std::function<void()>>> actions;

    LaunchScript& then(std::int64_t delayMs, std::function<void()> action) {
      actions.emplace_back(delayMs, std::move(action));
      return *this;
    }
  };
  static LaunchScript launchFails(Error error) { return {std::move(error), 0, kNever, {}}; }
  static LaunchScript exitsWith(std::uint32_t code, std::int64_t afterMs) {
    return {std::nullopt, code, afterMs, {}};
  }
  static LaunchScript neverExits() { return {}; }

  FakeHost();
  ~FakeHost() override;

  // A process running from `image` until `exitsAtMs` (virtual time), with a
  // fresh id and creation time.
  ProcessIdentity addProcess(const std::filesystem::path& image, std::int64_t exitsAtMs = kNever);
  // Launches follow the scripts in order; once they are used up, every launch
  // starts a program that never exits.
  void scriptLaunch(LaunchScript script) { scripts_.push_back(std::move(script)); }
  // Runs `action` once the virtual clock has moved `delayMs` on from now, or
  // on the next call to the host when that time has passed; actions due at
  // the same time run in the order they were added.
  void after(std::int64_t delayMs, std::function<void()> action);

  // Runs at the start of every launch, before the script decides.
  std::function<void()> onLaunch;

  std::int64_t elapsedMs() const;
  // The running processes below `folder`, as processesInFolder finds them,
  // without running any action that falls due.
  std::vector<std::uint32_t> running(const std::filesystem::path& folder) const;
  // Every launch request, those that failed included.
  const std::vector<LaunchRequest>& launches() const { return launches_; }
  // The process id given to each launch that started, in order.
  const std::vector<std::uint32_t>& launchedPids() const { return launchedPids_; }

  bool waitForExit(ProcessIdentity identity, std::int64_t timeoutMs) override;
  std::vector<std::uint32_t> processesInFolder(const std::filesystem::path& folder) override;
  [[nodiscard]] Result<std::unique_ptr<RunningApp>> launch(const LaunchRequest& request) override;
  void sleep(std::int64_t ms) override;
  HostTime now() override;

  // The clock and the processes, shared with the running apps handed out.
  struct World;

 private:
  // Runs the earliest action due by `targetMs` and stops there, or moves the
  // clock to `targetMs` when none is due.
  void stepTowards(std::int64_t targetMs);
  void runDueActions();

  std::shared_ptr<World> world_;
  std::vector<LaunchScript> scripts_;
  std::size_t nextScript_ = 0;
  std::vector<LaunchRequest> launches_;
  std::vector<std::uint32_t> launchedPids_;
  struct Action {
    std::int64_t atMs = 0;
    std::uint64_t order = 0;
    std::function<void()> run;
  };
  std::vector<Action> actions_;
  std::uint64_t nextOrder_ = 0;
};

// Records what the application library asks to start, and starts nothing.
// With `elevated`, a request for administrator rights is granted as that
// process; without, it is refused.
struct FakeStarter final : applib::Starter {
  std::vector<LaunchRequest> started;
  ProcessIdentity app;
  std::optional<ProcessIdentity> elevated;

  Result<Unit> start(const LaunchRequest& request) override { return started.push_back(request), Unit{}; }
  Result<ProcessIdentity> startElevated(const LaunchRequest& request) override {
    if (!elevated) return fail(ErrorCode::launchFailed, "nobody to ask for rights");
    return started.push_back(request), *elevated;
  }
  ProcessIdentity self() override { return app; }
};

}  // namespace loftswitch
