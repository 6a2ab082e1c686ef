#include "package/entry_rules.h"

#include <array>

#include "base/text.h"

namespace loftswitch {
namespace {

constexpr std::size_t kMaxNameBytes = 4096;
constexpr std::size_t kShownBytesOfLongName = 64;
constexpr std::uint64_t kMaxComponentUnits = 255;
constexpr std::size_t kMaxDepth = 128;

constexpr std::string_view kColonDetail =
    "contains ':' (a drive letter or an alternate data stream)";

// Length of the well-formed UTF-8 sequence at `at`, 0 when there is none.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  return isValidUtf8(text.substr(at, length)) ? length : 0;
}

// U+0080 to U+009F: a terminal's escape introducer (U+009B) and a line
// break to some viewers (U+0085) among them.
bool isC1Control(std::string_view text, std::size_t at) {
  return at + 1 < text.size() && static_cast<unsigned char>(text[at]) == 0xC2 &&
         static_cast<unsigned char>(text[at + 1]) < 0xA0;
}

// Characters, not bytes, of valid UTF-8.
std::size_t characters(std::string_view utf8) {
  std::size_t count = 0;
  for (char c : utf8) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

// SOMELO~1 or PROGRA~2.TXT: a name a volume that makes short names may give
// another entry, so that two names a reviewer sees apart land in one place.
bool isShortNameAlias(std::string_view component) {
  const std::size_t dot = component.find('.');
  const std::string_view base = component.substr(0, dot);
  const std::string_view extension =
      dot == std::string_view::npos ? std::string_view() : component.substr(dot + 1);
  if (characters(base) > 8 || characters(extension) > 3 ||
      extension.find('.') != std::string_view::npos) {
    return false;
  }
  const std::size_t tilde = base.rfind('~');
  if (tilde == std::string_view::npos || tilde + 1 == base.size()) return false;
  return base.find_first_not_of("0123456789", tilde + 1) == std::string_view::npos;
}

std::string printable(std::string_view name) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(name.size());
  std::size_t at = 0;
  while (at < name.size()) {
    const auto byte = static_cast<unsigned char>(name[at]);
    const std::size_t length = sequenceLength(name, at);
    if (length == 0 || byte < 0x20 || byte == 0x7F || isC1Control(name, at)) {
      out += "\\x";
      out.push_back(kDigits[byte >> 4]);
      out.push_back(kDigits[byte & 0x0F]);
      ++at;
      continue;
    }
    out.append(name.substr(at, length));
    at += length;
  }
  return out;
}

}  // namespace

Error entryError(std::string_view name, std::string_view detail) {
  return Error{ErrorCode::badLayout,
               "package entry \"" + printable(name) + "\" " + std::string(detail)};
}

bool isWindowsDeviceName(std::string_view component) {
  std::string stem = asciiLower(component.substr(0, component.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  static constexpr std::array<std::string_view, 6> kNames = {"con",  "prn",     "aux",
                                                             "nul",  "conin$", "conout$"};
  for (std::string_view device : kNames) {
    if (stem == device) return true;
  }
  if (stem.size() < 4 || stem.size() > 5) return false;
  if (!stem.starts_with("com") && !stem.starts_with("lpt")) return false;
  const std::string_view number = std::string_view(stem).substr(3);
  if (number.size() == 1) return number[0] >= '0' && number[0] <= '9';
  // Windows also treats the superscript digits one, two and three as port numbers.
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

std::optional<std::string> checkComponent(std::string_view component) {
  if (component.empty()) return "has an empty path component";
  if (component == "." || component == "..") {
    return "climbs with \"" + std::string(component) + "\"";
  }
  for (std::size_t at = 0; at < component.size(); ++at) {
    const char c = component[at];
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || isC1Control(component, at)) {
      return "contains a control character";
    }
    if (c == ':') return std::string(kColonDetail);
    if (c == '"' || c == '*' || c == '<' || c == '>' || c == '?' || c == '|') {
      return "contains '" + std::string(1, c) + "', which Windows forbids";
    }
    if (c == '/' || c == '\\') return "contains a path separator";
  }
  if (component.back() == '.' || component.back() == ' ') {
    return "has a component ending in '.' or a space, which Windows strips";
  }
  if (utf16Length(component) > kMaxComponentUnits) {
    return "has a component longer than 255 characters";
  }
  if (isWindowsDeviceName(component)) {
    return "uses the Windows device name \"" + std::string(component) + "\"";
  }
  if (isShortNameAlias(component)) {
    return "is shaped like the Windows short name \"" + std::string(component) +
           "\", which can stand for another entry";
  }
  return std::nullopt;
}

Result<AcceptedName> checkEntryName(std::string_view name) {
  if (name.empty()) return fail(entryError(name, "is empty"));
  if (name.size() > kMaxNameBytes) {
    return fail(entryError(name.substr(0, kShownBytesOfLongName), "is longer than 4096 bytes"));
  }
  if (!isValidUtf8(name)) return fail(entryError(name, "is not valid UTF-8"));

  std::string path(name);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.front() == '/') return fail(entryError(name, "is an absolute path"));
  if (path.find(':') != std::string::npos) return fail(entryError(name, kColonDetail));

  AcceptedName accepted;
  if (path.back() == '/') {
    accepted.folderName = true;
    path.pop_back();
  }
  std::string_view rest = path;
  while (true) {
    const std::size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    if (std::optional<std::string> detail = checkComponent(component)) {
      return fail(entryError(name, *detail));
    }
    accepted.components.emplace_back(component);
    if (accepted.components.size() > kMaxDepth) {
      return fail(entryError(name, "is nested more than 128 levels deep"));
    }
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  // The workspace folder lives beside the installed files; a package must
  // never reach it.
  // Named in any case the file system would take for the workspace's.
  if (upperCaseKey(accepted.components.front()) == ".LOFTSWITCH") {
    return fail(entryError(name, "uses the reserved name .loftswitch"));
  }
  return accepted;
}

}  // namespace loftswitch
