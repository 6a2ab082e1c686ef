// Holds a file the way another program would, so that tests can watch the
// tool wait and give up:
//   hold-file.exe <path> <ready-marker> <release-marker> <ms>
// It opens the file for reading, shared for reading only (as a running
// program has its image), creates <ready-marker> once it holds it, then lets
// go when <release-marker> appears or after <ms> milliseconds (0: only on
// the marker).
#include <windows.h>

#include <cwchar>

#include "base/win32.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 64;
  const HANDLE file = ::CreateFileW(loftswitch::longPath(argv[1]).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  HANDLE ready = ::CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 3;
  ::CloseHandle(ready);
  const unsigned long ms = std::wcstoul(argv[4], nullptr, 10);
  const ULONGLONG start = ::GetTickCount64();
  while (::GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES &&
         (ms == 0 || ::GetTickCount64() - start < ms)) {
    ::Sleep(5);
  }
  ::CloseHandle(file);
  return 0;
}
