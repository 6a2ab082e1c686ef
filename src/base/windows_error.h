#pragma once

// Windows error codes as this system reports them. Portable, so that the
// in-memory file system of the tests answers with the codes and messages the
// Windows calls would give, natively too.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/result.h"

namespace loftswitch {

// The system's text for a Windows error without its closing full stop,
// followed by " (<code>)". The native build has no message table and gives
// only the code.
std::string windowsErrorText(std::uint32_t code);

// "<prefix> <path>: <windows error text>", with the code callers test.
Error errorFromWin32(std::uint32_t code, std::string_view prefix,
                     const std::filesystem::path& path);

}  // namespace loftswitch
