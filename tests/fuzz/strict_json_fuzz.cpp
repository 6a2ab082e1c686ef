#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "json/strict_json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using Json = nlohmann::json;
  using Event = Json::parse_event_t;
  const std::string_view text = fuzzText(data, size);
  // The library's own parser, with the two extra rules kept apart from the
  // product's: how deep containers nest and whether a key repeats.
  std::vector<std::set<std::string>> open;
  std::size_t deepest = 0;
  bool duplicate = false;
  const auto oracle = [&](int, Event event, Json& value) {
    if (event == Event::object_start || event == Event::array_start) {
      open.emplace_back();
      deepest = std::max(deepest, open.size());
    } else if (event == Event::object_end || event == Event::array_end) {
      open.pop_back();
    } else if (event == Event::key) {
      duplicate = duplicate || !open.back().insert(value.get<std::string>()).second;
    }
    return true;
  };
  const Json reference = Json::parse(text.begin(), text.end(), oracle, false);
  // The library stops at a null byte as at the end of the input.
  const bool wellFormed = !reference.is_discarded() && text.find('\0') == std::string_view::npos;
  for (const std::uint32_t depth : {4u, 8u}) {
    auto parsed = loftswitch::parseStrictJson(text, depth);
    FUZZ_CHECK(parsed.has_value() == (wellFormed && !duplicate && deepest <= depth));
    if (!parsed) {
      FUZZ_CHECK(parsed.error().code == loftswitch::ErrorCode::invalidData);
      continue;
    }
    FUZZ_CHECK(*parsed == reference);
    auto again = loftswitch::parseStrictJson(parsed->dump(), depth);
    FUZZ_CHECK(again.has_value() && *again == *parsed);
  }
  return 0;
}
