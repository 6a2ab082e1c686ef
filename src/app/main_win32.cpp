#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <string>
#include <vector>

#include "app/main_routine.h"
#include "base/win32.h"
#include "elevated/folder_check.h"
#include "fs/local_file_system.h"
#include "host/system_host.h"

int wmain(int argc, wchar_t** argv) {
  // Libraries load from the system folder only: the tool runs beside the
  // files it replaces. Its result changes nothing that follows.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Every line the tool writes ends in a bare line feed, as logs and callers
  // expect: no text-mode translation.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(loftswitch::toUtf8(argv[i]));
  loftswitch::LocalFileSystem fileSystem;
  loftswitch::SystemHost host;
  loftswitch::Platform platform{fileSystem,
                                host,
                                loftswitch::checkElevatedTree,
                                loftswitch::checkElevatedFile,
                                loftswitch::createRestrictedFolder,
                                loftswitch::inheritFolderPermissions,
                                std::filesystem::path(loftswitch::ownExecutablePath())};
  return loftswitch::mainRoutine(args, platform);
}
