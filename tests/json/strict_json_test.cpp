#include "json/strict_json.h"

#include <cstdint>
#include <string>

#include "support/matchers.h"

using namespace loftswitch;
using namespace std::string_literals;
using ::testing::IsEmpty;

namespace {

nlohmann::json parsed(std::string_view text) {
  auto result = parseStrictJson(text, 8);
  EXPECT_THAT(result, IsOkay()) << text;
  return result ? *result : nlohmann::json();
}

}  // namespace

// Each row: a text, the depth limit, and the refusal ("" when accepted).
// Faults caught: a limit off by one or counting one container kind only, a
// level not freed on close, a duplicate missed through an escape, a null
// byte after the value taken as the end of the text.
TEST(StrictJsonTest, RefusesTooDeepDuplicatedOrTrailingTextAndAcceptsTheRest) {
  const struct {
    std::string text;
    std::uint32_t limit;
    std::string refusal;
  } rows[] = {
      {R"({"a": {"b": {"c": [1, 2]}}})", 4, ""},
      {R"([{"a": [1]}, {"b": [2]}, [[3]]])", 3, ""},
      {R"({"a": 1, "A": 2, "x": [{"a": 1}, {"a": 2}]})", 8, ""},
      {R"({"a": {"b": {"c": [1, [2]]}}})", 4, "nested deeper than 4 levels"},
      {R"([{"a": [1]}, {"b": [[2]]}])", 3, "nested deeper than 3 levels"},
      {"{}", 0, "nested deeper than 0 levels"},
      {std::string(100000, '['), 8, "nested deeper than 8 levels"},
      {R"({"x": {"a": 1, "b": 2, "a": 3}})", 8, "duplicate key \"a\""},
      {R"({"a": 1, "\u0061": 2})", 8, "duplicate key \"a\""},
      {"{\"a\": 1}\0"s, 8, "a null byte follows the value"},
  };
  for (const auto& row : rows) {
    const auto result = parseStrictJson(row.text, row.limit);
    if (row.refusal.empty()) {
      EXPECT_THAT(result, IsOkay()) << row.text;
    } else {
      EXPECT_THAT(result, FailsWith(ErrorCode::invalidData, row.refusal)) << row.text.substr(0, 40);
    }
  }
}

TEST(FieldReaderTest, ReadsIntegersUpToTheirMaximumAndDefaultsForAbsentFields) {
  const nlohmann::json object = parsed(R"({"at": 3600000, "huge": 18446744073709551615, "none": []})");
  FieldReader reader(object, "r");
  EXPECT_EQ(reader.integer("at", 1, 3600000) + reader.integer("absent", 5, 10), 3600005u);
  EXPECT_EQ(reader.integer("huge", 0, UINT64_MAX), UINT64_MAX);
  EXPECT_THAT(reader.strings("none"), IsEmpty());
  EXPECT_THAT(reader.finish(), IsOkay());
}

// Optional, but present with the wrong type, is wrong too.
TEST(FieldReaderTest, AWrongFieldGivesItsDefaultAndItsMessage) {
  const std::string mustBe[] = {"a string", "an array of strings", "an integer from 0 to 3600000"};
  const std::pair<int, const char*> rows[] = {
      {0, "{}"}, {0, R"({"name": null})"}, {0, R"({"name": 3})"}, {0, R"({"name": ["a"]})"},
      {1, R"({"name": "a"})"}, {1, R"({"name": ["a", 1]})"}, {1, R"({"name": {"a": "b"}})"},
      {2, R"({"name": 3600001})"}, {2, R"({"name": -1})"}, {2, R"({"name": 1.0})"},
      {2, R"({"name": "100"})"}, {2, R"({"name": true})"}, {2, R"({"name": 18446744073709551616})"}};
  for (const auto& [kind, text] : rows) {
    const nlohmann::json object = parsed(text);
    FieldReader reader(object, "f");
    EXPECT_TRUE(kind == 0   ? reader.string("name", std::string_view(text) == "{}").empty()
                : kind == 1 ? reader.strings("name").empty()
                            : reader.integer("name", 60000, 3600000) == 60000u) << text;
    EXPECT_THAT(reader.finish(), FailsWith(ErrorCode::invalidData, "f: name must be " + mustBe[kind]))
        << text;
  }
}
