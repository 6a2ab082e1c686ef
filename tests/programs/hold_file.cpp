// Holds a file the way another program would, so that tests can watch the
// tool wait and give up:
//   hold-file.exe <mode> <path> <ready-marker> <release-marker> <ms>
// mode "exclusive": open for reading, shared for reading only (a program
//   that has the file open, as a running program has its image);
// mode "lock": hold the workspace lock at <path>.
// Creates <ready-marker> once it holds, then lets go when <release-marker>
// appears or after <ms> milliseconds (0: only on the marker).
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "base/win32.h"
#include "workspace/lock.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) return 64;
  HANDLE file = INVALID_HANDLE_VALUE;
  loftswitch::WorkspaceLock lock;
  if (std::wcscmp(argv[1], L"lock") == 0) {
    auto taken = loftswitch::acquireWorkspaceLock(argv[2], 0);
    if (!taken) {
      std::fprintf(stderr, "%s\n", taken.error().message.c_str());
      return 2;
    }
    lock = std::move(*taken);
  } else {
    file = ::CreateFileW(loftswitch::longPath(argv[2]).c_str(), GENERIC_READ, FILE_SHARE_READ,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
  }
  HANDLE ready = ::CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 3;
  ::CloseHandle(ready);
  const unsigned long ms = std::wcstoul(argv[5], nullptr, 10);
  const ULONGLONG start = ::GetTickCount64();
  while (::GetFileAttributesW(argv[4]) == INVALID_FILE_ATTRIBUTES &&
         (ms == 0 || ::GetTickCount64() - start < ms)) {
    ::Sleep(5);
  }
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  return 0;
}
