#include <gtest/gtest.h>

#include "base/text.h"

namespace loftswitch {
namespace {

TEST(TextTest, ToHexWritesTwoLowerCaseDigitsPerByte) {
  const std::uint8_t bytes[] = {0x00, 0xAB, 0xFF};
  EXPECT_EQ(toHex(bytes), "00abff");
  EXPECT_EQ(toHex(std::string_view("")), "");
}

TEST(TextTest, AsciiLowerLeavesNonAsciiLettersAlone) {
  EXPECT_EQ(asciiLower("AB\xC3\x84Z"), "ab\xC3\x84z");
  EXPECT_EQ(asciiLower("@[`{"), "@[`{");
}

TEST(TextTest, ValidUtf8AcceptsEveryWellFormedLength) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("plain"));
  EXPECT_TRUE(isValidUtf8("\xC2\x80"));          // U+0080
  EXPECT_TRUE(isValidUtf8("\xE0\xA0\x80"));      // U+0800
  EXPECT_TRUE(isValidUtf8("\xED\x9F\xBF"));      // U+D7FF, just below the surrogates
  EXPECT_TRUE(isValidUtf8("\xF0\x90\x80\x80"));  // U+10000
  EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
}

TEST(TextTest, ValidUtf8RejectsOverlongSurrogatesAndCutSequences) {
  EXPECT_FALSE(isValidUtf8("\xC0\x80"));
  EXPECT_FALSE(isValidUtf8("\xC1\xBF"));
  EXPECT_FALSE(isValidUtf8("\xE0\x9F\xBF"));      // overlong 3-byte
  EXPECT_FALSE(isValidUtf8("\xF0\x8F\xBF\xBF"));  // overlong 4-byte
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // U+D800
  EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xF5\x80\x80\x80"));
  EXPECT_FALSE(isValidUtf8("\x80"));
  EXPECT_FALSE(isValidUtf8("a\xE2\x82"));  // cut at the end
  EXPECT_FALSE(isValidUtf8("\xE2\x28\xA1"));
}

TEST(TextTest, Utf16LengthCountsFourByteCharactersTwice) {
  EXPECT_EQ(utf16Length(""), 0u);
  EXPECT_EQ(utf16Length("a\xC3\x84\xE2\x82\xAC"), 3u);
  EXPECT_EQ(utf16Length("\xF0\x9F\x98\x80x"), 3u);
}

TEST(TextTest, PathConversionsRoundTripNonAsciiNames) {
  const std::string name = "caf\xC3\xA9-\xF0\x9F\x98\x80";
  EXPECT_EQ(pathToUtf8(utf8ToPath(name)), name);
}

TEST(TextTest, PathConversionRefusesIllFormedUtf8) {
  EXPECT_ANY_THROW(utf8ToPath("\xC0\x80"));
}

}  // namespace
}  // namespace loftswitch
