#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace loftswitch {

// A program to start, exactly as the application asked for it.
struct LaunchRequest {
  std::filesystem::path program;
  // UTF-8, in order; the program's own name is not among them.
  std::vector<std::string> arguments;
  // Empty: the new process inherits this process's current folder.
  std::filesystem::path workingFolder;
  // UTF-8 name and value pairs added to, or replacing, the inherited
  // environment, applied in order.
  std::vector<std::pair<std::string, std::string>> environment;
  // Leave this process's job and start a new process group.
  bool breakaway = false;

  friend bool operator==(const LaunchRequest&, const LaunchRequest&) = default;
};

}  // namespace loftswitch
