#include "host/exit_code.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string_view>

namespace loftswitch {
namespace {

struct KnownException {
  std::uint32_t code;
  std::string_view meaning;
};

constexpr KnownException kKnownExceptions[] = {
    {0x80000003, "breakpoint"},
    {0xC0000005, "access violation"},
    {0xC000001D, "illegal instruction"},
    {0xC0000094, "integer division by zero"},
    {0xC00000FD, "stack overflow"},
    {0xC0000135, "a DLL it needs was not found"},
    {0xC0000139, "a DLL it needs lacks a function"},
    {0xC0000142, "a DLL failed to initialize"},
    {0xC000013A, "ended by Ctrl+C or by closing its console"},
    {0xC0000374, "heap corruption"},
    {0xC0000409, "stack buffer overrun"},
    {0xC0000417, "invalid parameter to the C runtime"},
    {0xE06D7363, "unhandled C++ exception"},
};

}  // namespace

std::string describeExitCode(std::uint32_t code) {
  const auto* known = std::ranges::find(kKnownExceptions, code, &KnownException::code);
  const bool isKnown = known != std::end(kKnownExceptions);
  // Status codes of the system's error and warning ranges; small negative
  // numbers (0xFFFFxxxx) are an exit(-n) and stay decimal.
  const std::uint32_t range = code & 0xFFFF0000;
  if (!isKnown && range != 0xC0000000 && range != 0x80000000) {
    return std::to_string(static_cast<std::int32_t>(code));
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  if (!isKnown) return hex;
  return std::string(hex) + " (" + std::string(known->meaning) + ")";
}

}  // namespace loftswitch
