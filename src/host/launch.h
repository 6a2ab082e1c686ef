#pragma once

// Command lines and environment blocks for starting programs. Quoting and
// block assembly work on text alone, so they can be checked without starting
// anything.

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace loftswitch {

using EnvironmentAdditions = std::vector<std::pair<std::string, std::string>>;

// One argument as the usual Windows argument parsing (CommandLineToArgvW and
// the C runtime) gives it back: unchanged when it needs no quotes.
std::wstring quoteArgument(std::wstring_view argument);

// The quoted program path followed by each quoted argument, space separated.
std::wstring joinCommandLine(std::wstring_view plainProgram, std::span<const std::wstring> arguments);

// The command line for `program` in plain form with UTF-8 `arguments`.
std::wstring buildCommandLine(const std::filesystem::path& program,
                              const std::vector<std::string>& arguments);

// The name of a "name=value" entry: its text up to the first '=' after the
// first character, so that "=C:=C:\x" is named "=C:".
std::wstring_view environmentEntryName(std::wstring_view entry);

// `inherited` with each addition replacing every entry of its name (in any
// letter case), sorted by name as Windows expects, each entry followed by a
// zero and the block closed by another.
std::vector<wchar_t> environmentBlockFrom(std::vector<std::wstring> inherited,
                                          const EnvironmentAdditions& additions);

// This process's environment with `additions`, ready for a Unicode
// environment process creation. This process's own environment never
// changes.
std::vector<wchar_t> buildEnvironmentBlock(const EnvironmentAdditions& additions);

// Ordinal comparison of environment names without regard to case: below,
// equal to or above zero.
int compareNamesIgnoreCase(std::wstring_view a, std::wstring_view b);

}  // namespace loftswitch
