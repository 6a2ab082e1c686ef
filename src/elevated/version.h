#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace loftswitch {

// A version as an install description or an update request writes it:
// up to four numbers, an optional pre-release, and build metadata that is
// checked but not kept.
struct Version {
  std::string text;  // as written, a leading 'v' and build metadata included
  std::array<std::uint64_t, 4> numbers{};  // components not written are 0
  std::vector<std::string> preRelease;     // empty when there is none
};

// Nothing when the text is not a version (1 to 64 bytes, "v1.2.3-rc.1+b7").
std::optional<Version> parseVersion(std::string_view text);

// -1 when a is older than b, 0 when they are the same version, 1 when a is
// newer. Neither the leading 'v' nor build metadata take part.
int compareVersions(const Version& a, const Version& b);

}  // namespace loftswitch
