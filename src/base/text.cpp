#include "base/text.h"

#include <algorithm>
#include <iterator>
#include <system_error>

namespace loftswitch {

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

namespace {

struct UpperPair {
  char16_t from;
  char16_t to;
};

constexpr UpperPair kUpperCase[] = {
#include "base/upper_case_table.inc"
};

char32_t simpleUpper(char32_t c) {
  const auto* end = std::end(kUpperCase);
  const auto* found = std::lower_bound(std::begin(kUpperCase), end, c,
                                       [](const UpperPair& p, char32_t v) { return p.from < v; });
  return found != end && found->from == c ? found->to : c;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string upperCaseKey(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char lead = p[i];
    // Only two- and three-byte characters can change; everything else,
    // broken sequences included, is copied byte for byte.
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : 1;
    if (length == 1 || i + length > utf8.size() || !isValidUtf8(utf8.substr(i, length))) {
      out.push_back(static_cast<char>(lead >= 'a' && lead <= 'z' ? lead - 'a' + 'A' : lead));
      ++i;
      continue;
    }
    char32_t c = length == 2 ? lead & 0x1F : lead & 0x0F;
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (p[i + k] & 0x3F);
    appendUtf8(out, simpleUpper(c));
    i += length;
  }
  return out;
}

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char lead = p[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      value = lead & 0x07;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      value = (value << 6) | (p[i + k] & 0x3F);
    }
    if (length == 3 && value < 0x800) return false;
    if (length == 4 && (value < 0x10000 || value > 0x10FFFF)) return false;
    if (value >= 0xD800 && value <= 0xDFFF) return false;
    i += length;
  }
  return true;
}

std::uint64_t utf16Length(std::string_view utf8) {
  std::uint64_t units = 0;
  for (char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) == 0x80) continue;
    units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

std::string toHex(std::string_view bytes) {
  return toHex(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::string pathToUtf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

std::filesystem::path utf8ToPath(std::string_view text) {
  // Only the Windows library checks on its own; a name must not be refused on
  // one system and taken on another.
  if (!isValidUtf8(text)) {
    throw std::filesystem::filesystem_error(
        "Cannot convert character sequence",
        std::make_error_code(std::errc::illegal_byte_sequence));
  }
  return std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

}  // namespace loftswitch
