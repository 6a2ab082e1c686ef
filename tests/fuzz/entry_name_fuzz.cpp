#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "package/entry_rules.h"

namespace {

// The library's encoder refuses anything but well-formed UTF-8.
bool isUtf8(std::string_view text) {
  try {
    (void)nlohmann::json(std::string(text)).dump();
    return true;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
}

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return out;
}

bool isDevice(std::string_view component) {
  static const std::set<std::string> kDevices = [] {
    std::set<std::string> names = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char* port : {"com", "lpt"}) {
      for (const char* digit : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "\xC2\xB9",
                                "\xC2\xB2", "\xC2\xB3"}) {
        names.insert(std::string(port) + digit);
      }
    }
    return names;
  }();
  std::string stem = lower(component.substr(0, component.find('.')));
  stem.erase(stem.find_last_not_of(' ') + 1);
  return kDevices.contains(stem);
}

// UTF-16 code units of well-formed UTF-8: one per character, two above U+FFFF.
std::size_t utf16Units(std::string_view text) {
  std::size_t units = 0;
  for (unsigned char c : text) units += (c & 0xC0) != 0x80 ? (c >= 0xF0 ? 2 : 1) : 0;
  return units;
}

bool acceptableComponent(std::string_view part) {
  if (part.empty() || part == "." || part == ".." || part.back() == '.' || part.back() == ' ') {
    return false;
  }
  for (unsigned char c : part) {
    if (c < 0x20 || c == 0x7F || std::string_view("\"*<>?|:/\\").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return utf16Units(part) <= 255 && !isDevice(part);
}

// The components of an acceptable name, split by the documented rules alone.
std::optional<std::vector<std::string>> split(std::string_view name) {
  if (name.empty() || name.size() > 4096 || !isUtf8(name)) return std::nullopt;
  std::string path(name);
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.front() == '/' || path.find(':') != std::string::npos) return std::nullopt;
  if (path.back() == '/') path.pop_back();
  std::vector<std::string> parts;
  for (std::size_t start = 0, end = 0; start <= path.size(); start = end + 1) {
    end = std::min(path.find('/', start), path.size());
    parts.push_back(path.substr(start, end - start));
    if (!acceptableComponent(parts.back()) || parts.size() > 128) return std::nullopt;
  }
  // The reserved name as NTFS compares it: the long s and the dotless i are
  // the only letters outside ASCII whose upper case is in "LOFTSWITCH".
  std::string first = parts.front();
  for (const auto& [from, to] : {std::pair{"\xC5\xBF", "s"}, {"\xC4\xB1", "i"}}) {
    for (std::size_t at; (at = first.find(from)) != std::string::npos;) first.replace(at, 2, to);
  }
  if (lower(first) == ".loftswitch") return std::nullopt;
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name = fuzzText(data, size);
  auto accepted = loftswitch::checkEntryName(name);
  const auto expected = split(name);
  FUZZ_CHECK(accepted.has_value() == expected.has_value());
  if (!accepted) {
    // The message goes into logs and journals: printable, well-formed text.
    const std::string& message = accepted.error().message;
    FUZZ_CHECK(accepted.error().code == loftswitch::ErrorCode::badLayout);
    FUZZ_CHECK(isUtf8(message) && message.starts_with("package entry \""));
    for (unsigned char c : message) FUZZ_CHECK(c >= 0x20 && c != 0x7F);
    return 0;
  }
  FUZZ_CHECK(accepted->components == *expected);
  FUZZ_CHECK(accepted->folderName == (name.back() == '/' || name.back() == '\\'));
  return 0;
}
