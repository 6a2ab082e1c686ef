#pragma once

// How a long step over a package's bytes tells its caller how far it got,
// and how the caller stops it.

#include <cstdint>
#include <functional>

#include "base/result.h"

namespace loftswitch {

// Told how many of a step's bytes are done out of how many, at its start,
// as it goes and at its end; `done` never goes back. Returning false stops
// the step, which then fails with `stoppedByCaller()`.
using ByteProgress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// False when there is a progress function and it asked to stop.
inline bool keepGoing(const ByteProgress& progress, std::uint64_t done, std::uint64_t total) {
  return !progress || progress(done, total);
}

inline Error stoppedByCaller() { return Error{ErrorCode::io, "stopped by the caller"}; }

}  // namespace loftswitch
