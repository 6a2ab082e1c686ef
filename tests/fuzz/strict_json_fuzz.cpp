#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "json/strict_json.h"

namespace {

using Json = nlohmann::json;

// The library's own event parser, with the two extra rules kept apart from
// the product's: how deep containers nest and whether a key repeats.
struct Oracle : nlohmann::json_sax<Json> {
  std::vector<std::set<std::string>> open;
  std::size_t deepest = 0;
  bool duplicate = false;

  bool enter() {
    open.emplace_back();
    deepest = std::max(deepest, open.size());
    return true;
  }
  bool leave() {
    open.pop_back();
    return true;
  }
  bool start_object(std::size_t) override { return enter(); }
  bool start_array(std::size_t) override { return enter(); }
  bool end_object() override { return leave(); }
  bool end_array() override { return leave(); }
  bool key(string_t& key) override {
    duplicate = duplicate || !open.back().insert(key).second;
    return true;
  }
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzzText(data, size);
  Oracle oracle;
  // The library stops at a null byte as at the end of the input.
  const bool wellFormed = Json::sax_parse(text.begin(), text.end(), &oracle) &&
                          text.find('\0') == std::string_view::npos;
  for (const std::uint32_t depth : {4u, 8u}) {
    auto parsed = loftswitch::parseStrictJson(text, depth);
    FUZZ_CHECK(parsed.has_value() ==
               (wellFormed && !oracle.duplicate && oracle.deepest <= depth));
    if (!parsed) {
      FUZZ_CHECK(parsed.error().code == loftswitch::ErrorCode::invalidData);
      continue;
    }
    FUZZ_CHECK(*parsed == Json::parse(text));
    auto again = loftswitch::parseStrictJson(parsed->dump(), depth);
    FUZZ_CHECK(again.has_value() && *again == *parsed);
  }
  return 0;
}
