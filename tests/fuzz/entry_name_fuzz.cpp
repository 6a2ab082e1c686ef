// Entry names: every name the reader accepts obeys every rule, written out
// here apart from the reader's.
#include <set>
#include <string>

#include "base/text.h"
#include "fuzz_check.h"
#include "package/entry_rules.h"

namespace {

bool isDevice(std::string_view component) {
  static const std::set<std::string> kDevices = [] {
    std::set<std::string> names = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char* port : {"com", "lpt"})
      for (const char* digit : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"})
        names.insert(std::string(port) + digit);
    return names;
  }();
  std::string stem = loftswitch::asciiLower(component.substr(0, component.find('.')));
  stem.erase(stem.find_last_not_of(' ') + 1);
  return kDevices.contains(stem);
}

bool obeysEveryRule(std::string_view part) {
  if (part.empty() || part == "." || part == ".." || part.back() == '.' || part.back() == ' ') return false;
  for (unsigned char c : part) {
    if (c < 0x20 || c == 0x7F || std::string_view("\"*<>?|:/\\").find(c) != std::string_view::npos) return false;
  }
  // C1 controls, U+0080 to U+009F.
  for (std::size_t i = 1; i < part.size(); ++i) if (part[i - 1] == '\xC2' && static_cast<unsigned char>(part[i]) <= 0x9F) return false;
  // UTF-16 units: one a character, two above U+FFFF.
  std::size_t units = 0;
  for (unsigned char c : part) units += (c & 0xC0) != 0x80 ? (c >= 0xF0 ? 2 : 1) : 0;
  return units <= 255 && !isDevice(part);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name = fuzzText(data, size);
  const auto accepted = loftswitch::checkEntryName(name);
  if (!accepted) return 0;
  FUZZ_CHECK(name.size() <= 4096 && loftswitch::isValidUtf8(name) && name.front() != '/' && name.front() != '\\');
  FUZZ_CHECK(!accepted->components.empty() && accepted->components.size() <= 128);
  std::string joined;
  for (const std::string& part : accepted->components) {
    FUZZ_CHECK(obeysEveryRule(part));
    joined += (joined.empty() ? "" : "/") + part;
  }
  // Nothing is dropped on the way: the components are the name, separators aside.
  std::string slashed(name);
  for (char& c : slashed) c = c == '\\' ? '/' : c;
  FUZZ_CHECK(accepted->folderName == slashed.ends_with('/'));
  FUZZ_CHECK(joined + (accepted->folderName ? "/" : "") == slashed);
  // The reserved name as NTFS compares it: the long s and the dotless i are
  // the only letters outside ASCII whose upper case is in "LOFTSWITCH".
  std::string first = accepted->components.front();
  for (const auto& [from, to] : {std::pair{"\xC5\xBF", "s"}, {"\xC4\xB1", "i"}}) {
    for (std::size_t at; (at = first.find(from)) != std::string::npos;) first.replace(at, 2, to);
  }
  FUZZ_CHECK(loftswitch::asciiLower(first) != ".loftswitch");
  return 0;
}
