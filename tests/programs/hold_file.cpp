// Holds a file the way another program would, so that tests can watch the
// tool wait and give up:
//   hold-file.exe <mode> <path> <ready-marker> <release-marker> <ms>
// mode "exclusive": open for reading, shared for reading only (a program
//   that has the file open, as a running program has its image);
// mode "share-delete": open for reading, shared for everything (a reader
//   that lets others replace the file);
// mode "lock": hold the workspace lock at <path>.
// Creates <ready-marker> once it holds, then lets go when <release-marker>
// appears or after <ms> milliseconds (0: only on the marker).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "base/win32.h"
#include "workspace/lock.h"

namespace {

bool markerExists(const wchar_t* path) {
  return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) {
    std::fwprintf(stderr, L"usage: hold-file <mode> <path> <ready> <release> <ms>\n");
    return 64;
  }
  const std::wstring mode = argv[1];
  const std::wstring path = argv[2];
  const unsigned long ms = std::wcstoul(argv[5], nullptr, 10);

  HANDLE file = INVALID_HANDLE_VALUE;
  loftswitch::WorkspaceLock lock;
  if (mode == L"exclusive" || mode == L"share-delete") {
    const DWORD share = mode == L"exclusive"
                            ? FILE_SHARE_READ
                            : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    file = ::CreateFileW(loftswitch::longPath(path).c_str(), GENERIC_READ, share, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      std::fwprintf(stderr, L"can't open %ls: %lu\n", path.c_str(), ::GetLastError());
      return 2;
    }
  } else if (mode == L"lock") {
    auto taken = loftswitch::acquireWorkspaceLock(path, 0);
    if (!taken) {
      std::fprintf(stderr, "%s\n", taken.error().message.c_str());
      return 2;
    }
    lock = std::move(*taken);
  } else {
    std::fwprintf(stderr, L"unknown mode %ls\n", mode.c_str());
    return 64;
  }

  HANDLE ready = ::CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 3;
  ::CloseHandle(ready);

  const ULONGLONG start = ::GetTickCount64();
  while (!markerExists(argv[4]) && (ms == 0 || ::GetTickCount64() - start < ms)) ::Sleep(5);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  return 0;
}
