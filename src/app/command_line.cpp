#include "app/command_line.h"

#include "base/text.h"

namespace loftswitch {

const char kUsageText[] =
    "loftswitch-apply: installs a staged loftswitch update.\n"
    "\n"
    "  loftswitch-apply --work <workspace> --id <attempt> [--pid <pid> --pid-started <time>]\n"
    "  loftswitch-apply --work <workspace> --repair [--pid <pid> --pid-started <time>]\n"
    "\n"
    "The app starts this; run --repair by hand only if the app can't start after an interrupted "
    "update.\n"
    "<workspace> is the .loftswitch folder inside the app's folder (or .<App>.app.loftswitch "
    "beside a macOS app).\n"
    "\n"
    "For installs only an administrator can change, the app also uses (never by hand):\n"
    "  loftswitch-apply --elevated --request <file> [--pid ...]       elevated, from the install "
    "folder\n"
    "  loftswitch-apply --wait-elevated --request <file> [--pid ...]  unelevated: relaunches the "
    "app afterwards\n";

std::string usageErrorText(const std::string& message) {
  return "loftswitch-apply: " + message + "\n\n" + kUsageText;
}

std::optional<std::uint64_t> parseNumber(const std::string& text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<ProcessIdentity> identityFrom(const std::optional<std::uint64_t>& pid,
                                            const std::optional<std::uint64_t>& started) {
  if (!pid) return std::nullopt;
  return ProcessIdentity{static_cast<std::uint32_t>(*pid & 0xFFFFFFFFu), started.value_or(0)};
}

ParseOutcome parseCommandLine(const std::vector<std::string>& args) {
  CommandLine options;
  auto usage = [](const std::string& message) {
    return ParseOutcome{std::nullopt, {}, usageErrorText(message), kUsageExitCode};
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") return ParseOutcome{std::nullopt, kUsageText, {}, 0};
    if (arg == "--version") {
      return ParseOutcome{std::nullopt, std::string("loftswitch-apply ") + kVersion + "\n", {}, 0};
    }
    if (arg == "--repair") {
      options.repair = true;
    } else if (arg == "--elevated") {
      options.mode = Mode::elevated;
    } else if (arg == "--wait-elevated") {
      options.mode = Mode::waiter;
    } else if (arg == "--request") {
      if (!hasValue) return usage("--request needs a file");
      options.request = args[++i];
    } else if (arg == "--work") {
      if (!hasValue) return usage("--work needs a folder");
      try {
        options.work = utf8ToPath(args[++i]);
      } catch (const std::exception&) {
        // The arguments came from UTF-16 and cannot be ill-formed; a caller
        // that hands raw bytes gets the same answer as for a missing folder.
        return usage("--work needs a folder");
      }
    } else if (arg == "--id") {
      if (!hasValue) return usage("--id needs a value");
      options.id = args[++i];
    } else if (arg == "--pid" || arg == "--pid-started" || arg == "--elevated-pid" ||
               arg == "--elevated-started") {
      std::optional<std::uint64_t> number;
      if (hasValue) number = parseNumber(args[++i]);
      if (!number) return usage(arg + " needs a number");
      if (arg == "--pid") options.pid = number;
      else if (arg == "--pid-started") options.pidStarted = number;
      else if (arg == "--elevated-pid") options.elevatedPid = number;
      else options.elevatedStarted = number;
    } else {
      return usage("unknown argument " + arg);
    }
  }
  return ParseOutcome{std::move(options), {}, {}, 0};
}

}  // namespace loftswitch
