#include "base/text.h"

#include <system_error>

namespace loftswitch {

std::string asciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
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

namespace {

// The standard library converts between UTF-8 and a wide path through its
// locale facets, which bring the whole locale machinery into every program
// (half a megabyte); paths are converted here instead. Ill-formed text
// fails as the library's conversion fails.
[[noreturn]] void failConversion() {
  throw std::filesystem::filesystem_error(
      "Cannot convert character sequence",
      std::make_error_code(std::errc::illegal_byte_sequence));
}

// Wide paths (Windows) hold UTF-16; narrow ones (elsewhere) hold the bytes.
[[maybe_unused]] std::string nativeToUtf8(const std::string& native) { return native; }

[[maybe_unused]] std::string nativeToUtf8(const std::wstring& wide) {
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(wide[i]);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == wide.size()) failConversion();
      const std::uint32_t low = static_cast<std::uint16_t>(wide[i + 1]);
      if (low < 0xDC00 || low > 0xDFFF) failConversion();
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      failConversion();
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

[[maybe_unused]] void utf8ToNative(std::string_view text, std::string& native) {
  native.assign(text);
}

[[maybe_unused]] void utf8ToNative(std::string_view text, std::wstring& wide) {
  if (!isValidUtf8(text)) failConversion();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  wide.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char lead = p[i];
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    constexpr unsigned char kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t c = lead & kLeadBits[length];
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (p[i + k] & 0x3F);
    i += length;
    if (c >= 0x10000) {
      c -= 0x10000;
      wide.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
    } else {
      wide.push_back(static_cast<wchar_t>(c));
    }
  }
}

}  // namespace

std::string pathToUtf8(const std::filesystem::path& path) { return nativeToUtf8(path.native()); }

std::filesystem::path utf8ToPath(std::string_view text) {
  std::filesystem::path::string_type native;
  utf8ToNative(text, native);
  return std::filesystem::path(std::move(native));
}

}  // namespace loftswitch
