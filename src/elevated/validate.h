#pragma once

// Checks shared by the update request, the install description and the
// publisher's tool. All of them work on bytes: no locale, no case folding.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "workspace/workspace.h"  // isAttemptId

namespace loftswitch {

using Bytes = std::vector<std::uint8_t>;


// 1 to 64 bytes of a-z, 0-9, '-', '.', '_', starting with a letter or digit.
bool isValidName(std::string_view text);

// A non-empty "/"-separated path whose components are all non-empty, not "."
// or "..", and free of ':', '\' and NUL: it cannot leave the folder it is
// joined to, nor name a drive or a stream.
bool isRelativeInside(std::string_view text);

// Standard base64 with '=' padding and zero spare bits, so that every byte
// string has exactly one accepted text. Nothing when the text breaks a rule.
std::optional<Bytes> decodeBase64(std::string_view text);
// The one text that decodeBase64 accepts for these bytes.
std::string encodeBase64(std::span<const std::uint8_t> bytes);

// Lower-case hex, two digits per byte, high half first.
std::optional<Bytes> decodeHex(std::string_view text);

}  // namespace loftswitch
