#pragma once

// The programs the tests start: where they are built, running them, and
// what the end-to-end tests read back from a real install and from the
// sample application's record of its starts.

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace loftswitch {

// The built program `name` (without ".exe") beside the test executable.
std::filesystem::path builtProgram(std::string_view name);

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

// Every file below `install` but its ".loftswitch" workspace, by relative
// path with "/", with its content.
std::map<std::string, std::string> installFiles(const std::filesystem::path& install);

// The versions of the sample application's starts (one JSON line each),
// "?" for a start of another attempt, once `count` of them are complete, or
// what there is after ten seconds: a version the tool started after it ended
// records itself on its own time.
std::vector<std::string> startedVersions(const std::filesystem::path& runs,
                                         std::string_view attempt, std::size_t count);

// Asks `done` every 50 ms until it holds or `limit` has passed; whether it
// held. What a program does on its own time is waited for this way.
template <typename Done>
bool pollUntil(std::chrono::milliseconds limit, Done done) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Removes a folder, waiting up to five seconds for a program started from
// it to let go of its executable.
void removeWhenFree(const std::filesystem::path& folder);

}  // namespace loftswitch
