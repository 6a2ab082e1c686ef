#pragma once

#include <cstdint>
#include <optional>

namespace loftswitch {

// The result of every driver run; the numbers are fixed.
enum class RunOutcome : std::uint32_t {
  updated = 0,
  unconfirmed = 1,
  rolledBack = 2,
  nothingToDo = 3,
  appStillRunning = 4,
  busy = 5,
  failed = 6,
  refused = 7,
};

// The outcome's name as logs and journals write it; "failed" for an unknown
// value.
const char* outcomeName(RunOutcome outcome);
// The process exit code of an outcome; 2 for an unknown value.
int exitCodeFor(RunOutcome outcome);

inline constexpr int kUsageExitCode = 64;

// One run of one process: its id and its creation time in 100-ns units since
// 1601, 0 when unknown.
struct ProcessIdentity {
  std::uint32_t pid = 0;
  std::uint64_t started = 0;

  friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

}  // namespace loftswitch
