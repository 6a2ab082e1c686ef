#include "json/strict_json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/matchers.h"

using namespace loftswitch;
using namespace std::string_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

nlohmann::json parsed(std::string_view text) {
  auto result = parseStrictJson(text, 8);
  EXPECT_THAT(result, IsOkay()) << text;
  return result ? *result : nlohmann::json();
}

}  // namespace

TEST(StrictJsonTest, TheLimitCountsOpenContainersOfBothKinds) {
  auto four = parseStrictJson(R"({"a": {"b": {"c": [1, 2]}}})", 4);
  ASSERT_THAT(four, IsOkay());
  EXPECT_EQ((*four)["a"]["b"]["c"][1], 2);
  // Closing a container frees its level for the next sibling.
  EXPECT_THAT(parseStrictJson(R"([{"a": [1]}, {"b": [2]}, [[3]]])", 3), IsOkay());
  EXPECT_EQ(parsed("42"), 42);
  EXPECT_THAT(parseStrictJson("\"x\"", 0), IsOkay());

  const std::pair<std::string, std::uint32_t> tooDeep[] = {
      {R"({"a": {"b": {"c": [1, [2]]}}})", 4}, {"[[[[[]]]]]", 4},
      {R"([{"a": [1]}, {"b": [[2]]}])", 3},    {"{}", 0},
      {std::string(100000, '['), 8},
  };
  for (const auto& [text, limit] : tooDeep) {
    EXPECT_THAT(parseStrictJson(text, limit),
                FailsWith(ErrorCode::invalidData,
                          "nested deeper than " + std::to_string(limit) + " levels"))
        << text.substr(0, 40);
  }
}

TEST(StrictJsonTest, AKeyMayAppearOnceInEachObject) {
  for (const char* text :
       {R"({"a": 1, "a": 1})", R"({"x": {"a": 1, "b": 2, "a": 3}})", R"({"a": 1, "\u0061": 2})"}) {
    EXPECT_THAT(parseStrictJson(text, 8), FailsWith(ErrorCode::invalidData, "duplicate key \"a\""))
        << text;
  }
  EXPECT_THAT(parseStrictJson(R"({"é": 1, "\u00e9": 2})", 8),
              FailsWith(ErrorCode::invalidData, "duplicate key \"é\""));

  auto cased = parsed(R"({"a": 1, "A": 2})");
  EXPECT_EQ(cased["A"], 2);
  EXPECT_THAT(parseStrictJson(R"([{"a": 1}, {"a": 2}])", 8), IsOkay());
  EXPECT_EQ(parsed(R"({"a": {"a": {"a": 3}}, "b": [{"a": 1}]})")["a"]["a"]["a"], 3);
}

TEST(StrictJsonTest, WhatTheLibraryRefusesKeepsItsOwnMessageAndANullByteAfterTheValueIsRefused) {
  const std::string refused[] = {
      R"({"a": 1,})",  "[1, 2,]",       "{\"a\": 1 // note\n}", "/* note */ {}",
      "{'a': 1}",      R"({"a": 1} x)", R"({"a": 1}{})",        "",
      R"({"a": "x)",   "{\"a\": \0}"s,  "[\"\xC3\"]",           "[\"\xED\xA0\x80\"]",
      R"(["\ud800"])", "[\"a\0b\"]"s,
  };
  for (const std::string& text : refused) {
    auto result = parseStrictJson(text, 8);
    EXPECT_THAT(result, FailsWithCode(ErrorCode::invalidData)) << text;
    if (!result) {
      EXPECT_TRUE(result.error().message.starts_with("[json.exception.")) << text;
    }
  }
  EXPECT_THAT(parseStrictJson(R"({"a": 1,})", 8),
              FailsWithMessageThat(::testing::HasSubstr("line 1, column 9")));
  EXPECT_EQ(parsed(" \t\r\n{\"a\": [true, null]}\n\n")["a"][0], true);
  // The library would stop reading at a null byte after the value and accept the text.
  for (const std::string& text : {"{\"a\": 1}\0"s, "{\"a\": 1}\n\0{\"a\": 2}"s, "7\0"s}) {
    EXPECT_THAT(parseStrictJson(text, 8),
                FailsWith(ErrorCode::invalidData, "a null byte follows the value"));
  }
}

TEST(FieldReaderTest, ReadsPresentFieldsAndDefaultsForAbsentOnes) {
  auto object = parsed(R"({"name": "ä", "list": ["x", "y"], "empty": [], "at": 3600000,
                           "zero": 0, "huge": 18446744073709551615})");
  FieldReader reader(object, "the update request");
  EXPECT_EQ(reader.string("name", true), "ä");
  EXPECT_THAT(reader.strings("list"), ElementsAre("x", "y"));
  EXPECT_THAT(reader.strings("empty"), IsEmpty());
  EXPECT_EQ(reader.integer("at", 1, 3600000), 3600000u);
  EXPECT_EQ(reader.integer("zero", 1, 3600000), 0u);
  EXPECT_EQ(reader.integer("huge", 0, UINT64_MAX), UINT64_MAX);
  EXPECT_EQ(reader.string("Name", false), "");
  EXPECT_THAT(reader.strings("absent"), IsEmpty());
  EXPECT_EQ(reader.integer("absent", 5, 10), 5u);
  EXPECT_THAT(reader.firstError(), IsEmpty());
  EXPECT_THAT(reader.finish(), IsOkay());
}

TEST(FieldReaderTest, AWrongFieldGivesItsDefaultAndOnlyTheFirstMessage) {
  // Optional, but present with the wrong type, is wrong too.
  for (const char* text : {"{}", R"({"name": null})", R"({"name": 3})", R"({"name": ["a"]})"}) {
    const nlohmann::json object = parsed(text);
    FieldReader reader(object, "loftswitch.json");
    EXPECT_EQ(reader.string("name", std::string_view(text) == "{}"), "") << text;
    EXPECT_THAT(reader.finish(),
                FailsWith(ErrorCode::invalidData, "loftswitch.json: name must be a string"))
        << text;
  }
  for (const char* text : {R"({"name": "a"})", R"({"name": ["a", 1]})", R"({"name": [null]})",
                           R"({"name": {"a": "b"}})", R"({"name": null})"}) {
    const nlohmann::json object = parsed(text);
    FieldReader reader(object, "loftswitch.json");
    EXPECT_THAT(reader.strings("name"), IsEmpty()) << text;
    EXPECT_THAT(reader.finish(), FailsWith(ErrorCode::invalidData,
                                           "loftswitch.json: name must be an array of strings"))
        << text;
  }
  for (const char* text :
       {R"({"name": 3600001})", R"({"name": -1})", R"({"name": -0})", R"({"name": 1.0})",
        R"({"name": 1e3})", R"({"name": "100"})", R"({"name": true})", R"({"name": null})",
        R"({"name": 18446744073709551616})"}) {
    const nlohmann::json object = parsed(text);
    FieldReader reader(object, "the update request");
    EXPECT_EQ(reader.integer("name", 60000, 3600000), 60000u) << text;
    EXPECT_THAT(reader.finish(),
                FailsWith(ErrorCode::invalidData,
                          "the update request: name must be an integer from 0 to 3600000"))
        << text;
  }

  const nlohmann::json object = parsed(R"({"b": 1, "a": 2, "c": "x"})");
  FieldReader reader(object, "the update request");
  reader.string("b", true);
  reader.string("a", true);
  reader.integer("c", 0, 9);
  EXPECT_THAT(reader.finish(),
              FailsWith(ErrorCode::invalidData, "the update request: b must be a string"));
}
