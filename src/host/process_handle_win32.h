#pragma once

#include <windows.h>

#include <cstdint>

#include "base/result.h"
#include "base/unique_handle_win32.h"
#include "host/launch_request.h"

namespace loftswitch {

// A started process: its id and its handle, closed with the record.
struct ProcessHandle {
  std::uint32_t pid = 0;
  UniqueHandle handle;
};

// Starts the program of `request`; on failure nothing stays open and the
// error's code is launchFailed.
[[nodiscard]] Result<ProcessHandle> startProcess(const LaunchRequest& request);

// The creation time of a process in 100-ns units since 1601, 0 when it
// cannot be read.
std::uint64_t processCreationTime(HANDLE process);

}  // namespace loftswitch
