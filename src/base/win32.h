#pragma once

// Text, path and error helpers of the Win32 boundary. Only Win32 code and the
// entry point use them; the declarations themselves need no <windows.h>.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/result.h"
#include "base/windows_error.h"

namespace loftswitch {

// UTF-16 <-> UTF-8 with U+FFFD for ill-formed input; never fail.
std::string toUtf8(std::wstring_view text);
std::wstring toWide(std::string_view text);

// Ordinal comparison without regard to case, as the file system compares.
bool equalsIgnoreCase(std::wstring_view a, std::wstring_view b);

// The "\\?\" form handed to every Windows file call.
std::wstring longPath(const std::filesystem::path& path);

// The absolute form without "\\?\", for process images and process creation.
std::wstring plainPath(const std::filesystem::path& path);

}  // namespace loftswitch
