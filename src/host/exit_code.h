#pragma once

#include <cstdint>
#include <string>

namespace loftswitch {

// A program's exit code as people read it: a plain number ("3", "-7"), or,
// for a Windows exception that ended the program, its code in hex with its
// meaning where it is one that applications meet, e.g. "0xC0000005 (access
// violation)". The decimal form of such a code, -1073741819, says nothing.
std::string describeExitCode(std::uint32_t code);

}  // namespace loftswitch
