#include "json/strict_json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/matchers.h"

using namespace loftswitch;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

MATCHER_P(IsRefusedByLibrary, fragment, "fails with the JSON library's own message") {
  if (arg) {
    *result_listener << "parsed";
    return false;
  }
  *result_listener << "failed with " << arg.error();
  return arg.error().code == ErrorCode::invalidData &&
         arg.error().message.starts_with("[json.exception.") &&
         arg.error().message.find(fragment) != std::string::npos;
}

nlohmann::json parsed(std::string_view text) {
  auto result = parseStrictJson(text, 8);
  EXPECT_THAT(result, IsOkay()) << text;
  return result ? *result : nlohmann::json();
}

}  // namespace

TEST(StrictJsonTest, FourContainersFitALimitOfFourAndAFifthIsRefused) {
  auto four = parseStrictJson(R"({"a": {"b": {"c": [1, 2]}}})", 4);
  ASSERT_THAT(four, IsOkay());
  EXPECT_EQ((*four)["a"]["b"]["c"][1], 2);

  EXPECT_THAT(parseStrictJson(R"({"a": {"b": {"c": [1, [2]]}}})", 4),
              FailsWith(ErrorCode::invalidData, "nested deeper than 4 levels"));
  EXPECT_THAT(parseStrictJson("[[[[[]]]]]", 4),
              FailsWith(ErrorCode::invalidData, "nested deeper than 4 levels"));
}

TEST(StrictJsonTest, DepthCountsOpenContainersNotContainersSeen) {
  // Many siblings at the limit: closing a container frees its level.
  EXPECT_THAT(parseStrictJson(R"([{"a": [1]}, {"b": [2]}, [[3]], [[4]]])", 3), IsOkay());
  EXPECT_THAT(parseStrictJson(R"([{"a": [1]}, {"b": [[2]]}])", 3),
              FailsWith(ErrorCode::invalidData, "nested deeper than 3 levels"));
}

TEST(StrictJsonTest, ScalarsNeedNoLevelAndALimitOfZeroRefusesAnyContainer) {
  auto number = parseStrictJson("42", 0);
  ASSERT_THAT(number, IsOkay());
  EXPECT_EQ(*number, 42);
  EXPECT_THAT(parseStrictJson("\"text\"", 0), IsOkay());
  EXPECT_THAT(parseStrictJson("{}", 0),
              FailsWith(ErrorCode::invalidData, "nested deeper than 0 levels"));
}

TEST(StrictJsonTest, ThousandsOfOpeningBracketsAreRefusedAtTheLimit) {
  EXPECT_THAT(parseStrictJson(std::string(100000, '['), 8),
              FailsWith(ErrorCode::invalidData, "nested deeper than 8 levels"));
}

TEST(StrictJsonTest, AKeyGivenTwiceInOneObjectIsRefused) {
  EXPECT_THAT(parseStrictJson(R"({"a": 1, "a": 1})", 8),
              FailsWith(ErrorCode::invalidData, "duplicate key \"a\""));
  EXPECT_THAT(parseStrictJson(R"({"x": {"a": 1, "b": 2, "a": 3}})", 8),
              FailsWith(ErrorCode::invalidData, "duplicate key \"a\""));
}

TEST(StrictJsonTest, KeysAreComparedAfterEscapesAreResolved) {
  EXPECT_THAT(parseStrictJson(R"({"a": 1, "\u0061": 2})", 8),
              FailsWith(ErrorCode::invalidData, "duplicate key \"a\""));
  EXPECT_THAT(parseStrictJson(R"({"é": 1, "\u00e9": 2})", 8),
              FailsWith(ErrorCode::invalidData, "duplicate key \"é\""));
}

TEST(StrictJsonTest, EachObjectHasItsOwnKeys) {
  auto cased = parsed(R"({"a": 1, "A": 2})");
  EXPECT_EQ(cased["a"], 1);
  EXPECT_EQ(cased["A"], 2);
  EXPECT_THAT(parseStrictJson(R"([{"a": 1}, {"a": 2}])", 8), IsOkay());
  auto nested = parsed(R"({"a": {"a": {"a": 3}}, "b": [{"a": 1}]})");
  EXPECT_EQ(nested["a"]["a"]["a"], 3);
}

TEST(StrictJsonTest, TheLibrarysStrictSyntaxHolds) {
  EXPECT_THAT(parseStrictJson(R"({"a": 1,})", 8), IsRefusedByLibrary("line 1, column 9"));
  EXPECT_THAT(parseStrictJson("[1, 2,]", 8), IsRefusedByLibrary("parse error"));
  EXPECT_THAT(parseStrictJson("{\"a\": 1 // note\n}", 8), IsRefusedByLibrary("parse error"));
  EXPECT_THAT(parseStrictJson("/* note */ {}", 8), IsRefusedByLibrary("parse error"));
  EXPECT_THAT(parseStrictJson("{'a': 1}", 8), IsRefusedByLibrary("parse error"));
  EXPECT_THAT(parseStrictJson(R"({"a": 1} x)", 8), IsRefusedByLibrary("parse error"));
  EXPECT_THAT(parseStrictJson(R"({"a": 1}{})", 8), IsRefusedByLibrary("parse error"));
  EXPECT_THAT(parseStrictJson("", 8), IsRefusedByLibrary("parse error"));
  EXPECT_THAT(parseStrictJson(R"({"a": "x)", 8), IsRefusedByLibrary("parse error"));
}

TEST(StrictJsonTest, StringsMustBeValidUtf8) {
  EXPECT_THAT(parseStrictJson("[\"\xC3\"]", 8), IsRefusedByLibrary("UTF-8"));
  EXPECT_THAT(parseStrictJson("[\"\xED\xA0\x80\"]", 8), IsRefusedByLibrary("UTF-8"));
  EXPECT_THAT(parseStrictJson(R"(["\ud800"])", 8), IsRefusedByLibrary("surrogate"));
  EXPECT_THAT(parseStrictJson(std::string("[\"a\0b\"]", 7), 8), IsRefusedByLibrary("parse error"));
}

TEST(StrictJsonTest, ANullByteAfterTheValueIsRefused) {
  using namespace std::string_literals;
  EXPECT_THAT(parseStrictJson("{\"a\": 1}\0"s, 8),
              FailsWith(ErrorCode::invalidData, "a null byte follows the value"));
  EXPECT_THAT(parseStrictJson("{\"a\": 1}\n\0{\"a\": 2}"s, 8),
              FailsWith(ErrorCode::invalidData, "a null byte follows the value"));
  EXPECT_THAT(parseStrictJson("{\"a\": \0}"s, 8), IsRefusedByLibrary("parse error"));
}

TEST(StrictJsonTest, WhiteSpaceAroundTheValueIsAllowed) {
  EXPECT_EQ(parsed(" \t\r\n{\"a\": [true, null]}\n\n")["a"][0], true);
}

TEST(ContextErrorTest, PutsTheContextBeforeTheDetail) {
  Error error = contextError("loftswitch.json", "version must be a string");
  EXPECT_EQ(error.code, ErrorCode::invalidData);
  EXPECT_EQ(error.message, "loftswitch.json: version must be a string");
}

TEST(FieldReaderTest, ReadsFieldsOfTheRightType) {
  auto object = parsed(R"({"name": "ä", "list": ["x", "y"], "count": 7, "empty": []})");
  FieldReader reader(object, "the update request");
  EXPECT_EQ(reader.string("name", true), "ä");
  EXPECT_THAT(reader.strings("list"), ElementsAre("x", "y"));
  EXPECT_THAT(reader.strings("empty"), IsEmpty());
  EXPECT_EQ(reader.integer("count", 1, 10), 7u);
  EXPECT_THAT(reader.finish(), IsOkay());
}

TEST(FieldReaderTest, AbsentOptionalFieldsGiveDefaultsWithoutError) {
  auto object = parsed("{}");
  FieldReader reader(object, "the update request");
  EXPECT_EQ(reader.string("name", false), "");
  EXPECT_THAT(reader.strings("list"), IsEmpty());
  EXPECT_EQ(reader.integer("count", 5, 10), 5u);
  EXPECT_THAT(reader.firstError(), IsEmpty());
  EXPECT_THAT(reader.finish(), IsOkay());
}

TEST(FieldReaderTest, AnAbsentRequiredStringIsReported) {
  auto object = parsed("{}");
  FieldReader reader(object, "the update request");
  EXPECT_EQ(reader.string("name", true), "");
  EXPECT_THAT(reader.finish(),
              FailsWith(ErrorCode::invalidData, "the update request: name must be a string"));
}

TEST(FieldReaderTest, ANullOrNumberWhereAStringBelongsIsReportedEvenWhenOptional) {
  for (const char* text : {R"({"name": null})", R"({"name": 3})", R"({"name": ["a"]})"}) {
    auto object = parsed(text);
    FieldReader reader(object, "loftswitch.json");
    EXPECT_EQ(reader.string("name", false), "") << text;
    EXPECT_THAT(reader.finish(),
                FailsWith(ErrorCode::invalidData, "loftswitch.json: name must be a string"))
        << text;
  }
}

TEST(FieldReaderTest, AnythingButAnArrayOfStringsIsReportedAndGivesAnEmptyList) {
  for (const char* text : {R"({"keys": "a"})", R"({"keys": ["a", 1]})", R"({"keys": [null]})",
                           R"({"keys": {"a": "b"}})", R"({"keys": null})"}) {
    auto object = parsed(text);
    FieldReader reader(object, "loftswitch.json");
    EXPECT_THAT(reader.strings("keys"), IsEmpty()) << text;
    EXPECT_THAT(reader.finish(), FailsWith(ErrorCode::invalidData,
                                           "loftswitch.json: keys must be an array of strings"))
        << text;
  }
}

TEST(FieldReaderTest, AnIntegerUpToTheMaximumIsTaken) {
  auto object = parsed(R"({"at": 3600000, "zero": 0})");
  FieldReader reader(object, "the update request");
  EXPECT_EQ(reader.integer("at", 1, 3600000), 3600000u);
  EXPECT_EQ(reader.integer("zero", 1, 3600000), 0u);
  EXPECT_THAT(reader.finish(), IsOkay());
}

TEST(FieldReaderTest, AnIntegerOutsideTheRulesGivesTheDefaultAndTheRangeMessage) {
  for (const char* text :
       {R"({"ms": 3600001})", R"({"ms": -1})", R"({"ms": -0})", R"({"ms": 1.0})",
        R"({"ms": 1e3})", R"({"ms": "100"})", R"({"ms": true})", R"({"ms": null})",
        R"({"ms": 18446744073709551616})"}) {
    auto object = parsed(text);
    FieldReader reader(object, "the update request");
    EXPECT_EQ(reader.integer("ms", 60000, 3600000), 60000u) << text;
    EXPECT_THAT(reader.finish(),
                FailsWith(ErrorCode::invalidData,
                          "the update request: ms must be an integer from 0 to 3600000"))
        << text;
  }
}

TEST(FieldReaderTest, TheLargestUnsignedIntegerFitsAnUnlimitedMaximum) {
  auto object = parsed(R"({"size": 18446744073709551615})");
  FieldReader reader(object, "loftswitch.json");
  EXPECT_EQ(reader.integer("size", 0, UINT64_MAX), UINT64_MAX);
  EXPECT_THAT(reader.finish(), IsOkay());
}

TEST(FieldReaderTest, OnlyTheFirstFailingFieldIsReported) {
  auto object = parsed(R"({"b": 1, "a": 2, "c": "x"})");
  FieldReader reader(object, "the update request");
  reader.string("b", true);
  reader.string("a", true);
  reader.integer("c", 0, 9);
  EXPECT_THAT(reader.finish(),
              FailsWith(ErrorCode::invalidData, "the update request: b must be a string"));
}

TEST(FieldReaderTest, KeysAreLookedUpByExactName) {
  auto object = parsed(R"({"Name": "x"})");
  FieldReader reader(object, "the update request");
  EXPECT_EQ(reader.string("name", false), "");
  EXPECT_THAT(reader.finish(), IsOkay());
}
