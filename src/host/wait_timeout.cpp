#include "host/system_host.h"

namespace loftswitch {

std::uint32_t timeoutForWait(std::int64_t ms) {
  // One below INFINITE: no wait of the host is ever unbounded.
  constexpr std::int64_t kLongest = 0xFFFFFFFEll;
  if (ms < 0) return 0;
  if (ms < 0xFFFFFFFFll) return static_cast<std::uint32_t>(ms);
  return static_cast<std::uint32_t>(kLongest);
}

}  // namespace loftswitch
