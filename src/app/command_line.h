#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/outcome.h"
#include "loftswitch/version.h"

namespace loftswitch {

enum class Mode { apply, elevated, waiter };

// The options as read from the command line, in argument order.
struct CommandLine {
  std::filesystem::path work;
  std::string id;
  bool repair = false;
  Mode mode = Mode::apply;
  std::string request;
  std::optional<std::uint64_t> pid;
  std::optional<std::uint64_t> pidStarted;
  std::optional<std::uint64_t> elevatedPid;
  std::optional<std::uint64_t> elevatedStarted;
};

// What the parse decided: run with the options, or stop at once with text
// for standard output or standard error and an exit code.
struct ParseOutcome {
  std::optional<CommandLine> options;
  std::string out;
  std::string err;
  int exitCode = 0;
};

extern const char kUsageText[];
inline constexpr char kVersion[] = LOFTSWITCH_VERSION;

ParseOutcome parseCommandLine(const std::vector<std::string>& args);

// The usage error's text for standard error; the exit code is 64.
std::string usageErrorText(const std::string& message);

// A number of 1 to 20 decimal digits that fits in 64 bits.
std::optional<std::uint64_t> parseNumber(const std::string& text);

// The identity `--pid` and `--pid-started` (or the elevated pair) name.
std::optional<ProcessIdentity> identityFrom(const std::optional<std::uint64_t>& pid,
                                            const std::optional<std::uint64_t>& started);

}  // namespace loftswitch
