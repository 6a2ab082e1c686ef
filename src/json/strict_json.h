#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/result.h"

namespace loftswitch {

// Thrown only from inside the parse of parseStrictJson, and caught there.
class Violation : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole text as one JSON value, with nlohmann's strict rules (UTF-8,
// nothing after the value, no comments) plus two of our own: at most
// `maxDepth` containers open at once, and no key twice in one object (keys
// compared exactly, after escapes are resolved). Every failure is
// `invalidData`; a library failure keeps the library's own text.
[[nodiscard]] Result<nlohmann::json> parseStrictJson(std::string_view text,
                                                     std::uint32_t maxDepth);

// `invalidData` with the message context + ": " + detail.
Error contextError(std::string_view context, std::string_view detail);

// Reads typed fields out of one parsed object. Each read returns a usable
// value even when the field is wrong; the first failure is kept and reported
// by finish(), so a reader reads every field and then calls finish() once.
class FieldReader {
 public:
  // Keeps a reference: the object must outlive the reader.
  FieldReader(const nlohmann::json& object, std::string context);
  FieldReader(nlohmann::json&&, std::string) = delete;

  // Empty when absent (an error only if required) or not a string.
  std::string string(std::string_view key, bool required);
  // Empty when absent (never an error) or not an array of strings.
  std::vector<std::string> strings(std::string_view key);
  // A non-negative integer written without sign, fraction or exponent and
  // not above `max`; `fallback` when absent or wrong.
  std::uint64_t integer(std::string_view key, std::uint64_t fallback, std::uint64_t max);

  // Succeeds when no field failed; else the first failure, in context.
  [[nodiscard]] Result<Unit> finish() const;

  const std::string& firstError() const { return firstError_; }

 private:
  const nlohmann::json* find(std::string_view key) const;
  void record(std::string text);

  const nlohmann::json& object_;
  std::string context_;
  std::string firstError_;
};

}  // namespace loftswitch
