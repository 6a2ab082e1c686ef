#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/win32.h"
#include "pack/pack.h"

namespace {

void writeTo(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

// The wide command line, so that paths and notes outside the ANSI code page
// survive; built without -municode, hence no wmain.
int main() {
  // Output is exactly the bytes written: a key or JSON piped into a file
  // gets no carriage returns.
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) {
    writeTo(stderr, "loftswitch-pack: can't read the command line\n");
    return loftswitch::kPackError;
  }
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) args.push_back(loftswitch::toUtf8(wide[i]));
  ::LocalFree(wide);
  const loftswitch::PackOutput output = loftswitch::runPack(args);
  if (!output.out.empty()) writeTo(stdout, output.out);
  if (!output.err.empty()) writeTo(stderr, output.err);
  return output.exitCode;
}
