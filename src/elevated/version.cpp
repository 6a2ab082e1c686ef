#include "elevated/version.h"

#include <algorithm>

namespace loftswitch {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isAllDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
}

std::vector<std::string_view> splitDots(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    if (dot == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
}

bool isIdentifierList(std::string_view text) {
  for (std::string_view identifier : splitDots(text)) {
    if (identifier.empty()) return false;
    for (char c : identifier) {
      const bool allowed = isDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           c == '-';
      if (!allowed) return false;
    }
  }
  return true;
}

// At most 18 digits, so the value always fits in 64 bits.
std::uint64_t digitsValue(std::string_view digits) {
  std::uint64_t value = 0;
  for (char c : digits) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

int compareIdentifiers(std::string_view a, std::string_view b) {
  const bool aNumeric = isAllDigits(a);
  const bool bNumeric = isAllDigits(b);
  if (aNumeric && bNumeric) {
    const std::uint64_t x = digitsValue(a);
    const std::uint64_t y = digitsValue(b);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  if (aNumeric) return -1;
  if (bNumeric) return 1;
  const int order = a.compare(b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

std::optional<Version> parseVersion(std::string_view text) {
  if (text.empty() || text.size() > 64) return std::nullopt;
  std::string_view rest = text;
  if (rest.front() == 'v' || rest.front() == 'V') rest.remove_prefix(1);

  if (const std::size_t plus = rest.find('+'); plus != std::string_view::npos) {
    if (!isIdentifierList(rest.substr(plus + 1))) return std::nullopt;
    rest = rest.substr(0, plus);
  }

  Version version;
  version.text = std::string(text);
  if (const std::size_t dash = rest.find('-'); dash != std::string_view::npos) {
    const std::string_view preRelease = rest.substr(dash + 1);
    if (!isIdentifierList(preRelease)) return std::nullopt;
    for (std::string_view identifier : splitDots(preRelease)) {
      if (isAllDigits(identifier) && identifier.size() > 18) return std::nullopt;
      version.preRelease.emplace_back(identifier);
    }
    rest = rest.substr(0, dash);
  }

  const std::vector<std::string_view> components = splitDots(rest);
  if (components.size() > 4) return std::nullopt;
  for (std::size_t i = 0; i < components.size(); ++i) {
    const std::string_view component = components[i];
    if (!isAllDigits(component) || component.size() > 18) return std::nullopt;
    version.numbers[i] = digitsValue(component);
  }
  return version;
}

int compareVersions(const Version& a, const Version& b) {
  for (std::size_t i = 0; i < a.numbers.size(); ++i) {
    if (a.numbers[i] != b.numbers[i]) return a.numbers[i] < b.numbers[i] ? -1 : 1;
  }
  if (a.preRelease.empty() != b.preRelease.empty()) return a.preRelease.empty() ? 1 : -1;
  const std::size_t shared = std::min(a.preRelease.size(), b.preRelease.size());
  for (std::size_t i = 0; i < shared; ++i) {
    const int order = compareIdentifiers(a.preRelease[i], b.preRelease[i]);
    if (order != 0) return order;
  }
  if (a.preRelease.size() != b.preRelease.size()) {
    return a.preRelease.size() < b.preRelease.size() ? -1 : 1;
  }
  return 0;
}

}  // namespace loftswitch
