#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace loftswitch {

// Lowers only the bytes 'A' to 'Z'; every other byte, multi-byte sequences
// included, stays as it is.
std::string asciiLower(std::string_view text);

// The key under which names clash as NTFS and CompareStringOrdinal compare
// them: every character of the Basic Multilingual Plane replaced by its
// simple upper case (so "Ä.txt" and "ä.txt" share a key, "ß" stays "ß").
// Bytes that are not well-formed UTF-8 stay as they are.
std::string upperCaseKey(std::string_view utf8);

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// UTF-16 code units of valid UTF-8 text.
std::uint64_t utf16Length(std::string_view utf8);

// Lower-case hexadecimal, two digits per byte.
std::string toHex(std::span<const std::uint8_t> bytes);
std::string toHex(std::string_view bytes);

// The path type's own strict conversions: an unpaired surrogate or ill-formed
// UTF-8 throws instead of being replaced.
std::string pathToUtf8(const std::filesystem::path& path);
std::filesystem::path utf8ToPath(std::string_view text);

}  // namespace loftswitch
