#pragma once

#include <string>
#include <vector>

namespace loftswitch {

inline constexpr int kPackOk = 0;
inline constexpr int kPackCheckFailed = 1;  // verify: the package is not what was signed
inline constexpr int kPackError = 2;        // a file could not be read or written, a bad input
inline constexpr int kPackUsage = 64;

struct PackOutput {
  std::string out;
  std::string err;
  int exitCode = kPackOk;
};

// The publisher's tool: makes key pairs, signs packages the way the elevated
// helper checks them, and checks a package before it ships. `args` are the
// UTF-8 arguments without the program name.
PackOutput runPack(const std::vector<std::string>& args);

}  // namespace loftswitch
