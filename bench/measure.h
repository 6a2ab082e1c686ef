#pragma once

// What every benchmark measures: time on the steady clock, and the peak
// working set of its own process.

#include <windows.h>
#include <psapi.h>

#include <chrono>

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double peakMiB() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
  return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}
