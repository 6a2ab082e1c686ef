// Puts itself into a job that forbids breaking away, then starts the program
// named by its first argument with breakaway asked for. Exit codes: 10 the
// program started inside the job, 11 it started outside it, 1 it did not
// start, 2 the job could not be set up.
#include <windows.h>

#include "host/process_handle_win32.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr || !::AssignProcessToJobObject(job, ::GetCurrentProcess())) return 2;
  loftswitch::LaunchRequest request;
  request.program = argv[1];
  request.breakaway = true;
  auto started = loftswitch::startProcess(request);
  if (!started) return 1;
  BOOL inJob = FALSE;
  ::IsProcessInJob(started->handle.get(), job, &inJob);
  ::WaitForSingleObject(started->handle.get(), 60000);
  return inJob ? 10 : 11;
}
