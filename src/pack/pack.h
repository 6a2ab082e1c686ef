#pragma once

#include <string>
#include <vector>

namespace loftswitch {

inline constexpr int kPackOk = 0;
inline constexpr int kPackCheckFailed = 1;  // the package is refused: not what was signed, or unfit
inline constexpr int kPackError = 2;        // a file could not be read or written, a bad input
inline constexpr int kPackUsage = 64;

struct PackOutput {
  std::string out;
  std::string err;
  int exitCode = kPackOk;
};

// The publisher's tool: makes key pairs, checks that a package would install
// and keep the install updatable, signs packages the way the installing side
// checks them, and verifies a signed package before it ships. `args` are the
// UTF-8 arguments without the program name.
PackOutput runPack(const std::vector<std::string>& args);

}  // namespace loftswitch
