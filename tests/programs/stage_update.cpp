// Stages a downloaded package for an install through the application
// library, as an application's updater does after its download:
//   stage-update <install folder> <package.zip> <signed fields.json> [<options.json>]
// The signed fields are what loftswitch-pack sign wrote; the options are the
// JSON object of relaunch arguments and time-outs. Prints the attempt id.
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/win32.h"
#include "fs/local_file_system.h"
#include "loftswitch/app.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 4 || argc > 5) return 64;
  loftswitch::LocalFileSystem fs;
  std::string texts[2];
  for (int i = 3; i < argc; ++i) {
    auto read = fs.readFile(argv[i], 65536);
    if (!read) return std::fprintf(stderr, "stage-update: %s\n", read.error().message.c_str()), 2;
    texts[i - 3] = *read;
  }
  const std::string install = loftswitch::toUtf8(argv[1]), package = loftswitch::toUtf8(argv[2]);
  char id[LOFTSWITCH_ATTEMPT_ID_SIZE] = {};
  loftswitch_status status{};
  const int code = loftswitch_stage_package(install.c_str(), nullptr, nullptr, package.c_str(),
                                            texts[0].c_str(), texts[1].empty() ? nullptr : texts[1].c_str(),
                                            id, &status);
  std::fprintf(code == LOFTSWITCH_OK ? stdout : stderr, "%s\n",
               code == LOFTSWITCH_OK ? id : (status.message ? status.message : "out of memory"));
  loftswitch_status_free(&status);
  return code == LOFTSWITCH_OK ? 0 : 1;
}
