#include "elevated/validate.h"

namespace loftswitch {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLowerLetter(char c) { return c >= 'a' && c <= 'z'; }

int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (isDigit(c)) return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

bool isValidName(std::string_view text) {
  if (text.empty() || text.size() > 64) return false;
  if (!isLowerLetter(text[0]) && !isDigit(text[0])) return false;
  for (char c : text.substr(1)) {
    if (!isLowerLetter(c) && !isDigit(c) && c != '-' && c != '.' && c != '_') return false;
  }
  return true;
}

bool isRelativeInside(std::string_view text) {
  if (text.empty()) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = text.find('/', start);
    const std::string_view component =
        text.substr(start, slash == std::string_view::npos ? std::string_view::npos
                                                           : slash - start);
    if (component.empty() || component == "." || component == "..") return false;
    for (char c : component) {
      if (c == ':' || c == '\\' || c == '\0') return false;
    }
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

std::optional<Bytes> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const bool last = group + 4 == text.size();
    std::size_t padding = 0;
    if (last) {
      if (text[group + 3] == '=') padding = text[group + 2] == '=' ? 2 : 1;
    }
    std::uint32_t bits = 0;
    for (std::size_t k = 0; k < 4 - padding; ++k) {
      const int value = base64Value(text[group + k]);
      // Also refuses '=' anywhere but the filled end of the last group.
      if (value < 0) return std::nullopt;
      bits |= static_cast<std::uint32_t>(value) << (18 - 6 * k);
    }
    out.push_back(static_cast<std::uint8_t>(bits >> 16));
    if (padding < 2) out.push_back(static_cast<std::uint8_t>(bits >> 8));
    if (padding < 1) out.push_back(static_cast<std::uint8_t>(bits));
    // Spare bits must be zero, or two texts would decode to the same bytes.
    if (padding == 2 && (bits & 0xFFFF) != 0) return std::nullopt;
    if (padding == 1 && (bits & 0xFF) != 0) return std::nullopt;
  }
  return out;
}

std::string encodeBase64(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    std::uint32_t bits = static_cast<std::uint32_t>(bytes[i]) << 16;
    if (left > 1) bits |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    if (left > 2) bits |= bytes[i + 2];
    out.push_back(kBase64Alphabet[(bits >> 18) & 63]);
    out.push_back(kBase64Alphabet[(bits >> 12) & 63]);
    out.push_back(left > 1 ? kBase64Alphabet[(bits >> 6) & 63] : '=');
    out.push_back(left > 2 ? kBase64Alphabet[bits & 63] : '=');
  }
  return out;
}

std::optional<Bytes> decodeHex(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hexValue(text[i]);
    const int low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return out;
}

}  // namespace loftswitch
