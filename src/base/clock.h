#pragma once

#include <chrono>
#include <cstdint>

namespace loftswitch {

// A steady clock reading with nanosecond resolution.
using HostTime = std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds>;

// `ms` after `start`. Time-outs come from documents: one too large for the
// clock means no deadline at all rather than one that wrapped into the past,
// and a negative one has passed already.
inline HostTime deadlineAfter(HostTime start, std::int64_t ms) {
  constexpr std::int64_t kNanosecondsPerMs = 1'000'000;
  if (ms <= 0) return start;
  const std::int64_t startCount = start.time_since_epoch().count();
  const std::int64_t room = HostTime::max().time_since_epoch().count() - (startCount > 0 ? startCount : 0);
  if (ms >= room / kNanosecondsPerMs) return HostTime::max();
  return start + std::chrono::milliseconds(ms);
}

// How waits pass: the system's steady clock, or a test's virtual one, so that
// every wait of the update logic is bounded by what this clock says.
class Clock {
 public:
  virtual ~Clock() = default;
  // Returns at once for 0 or less.
  virtual void sleep(std::int64_t ms) = 0;
  virtual HostTime now() = 0;
};

}  // namespace loftswitch
