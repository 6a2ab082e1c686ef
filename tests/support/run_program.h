#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace loftswitch {

struct ProgramRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Starts a program with UTF-8 arguments, waits for it, and returns its exit
// code with everything it wrote to standard output and standard error.
// `cwd` empty keeps the test's own working folder.
ProgramRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const std::filesystem::path& cwd = {});

}  // namespace loftswitch
