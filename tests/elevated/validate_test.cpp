#include <gtest/gtest.h>

#include <string>

#include "elevated/validate.h"

namespace loftswitch {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(AttemptIdTest, AcceptsOnlySixteenLowerCaseHexDigits) {
  EXPECT_TRUE(isAttemptId("0123456789abcdef"));
  EXPECT_FALSE(isAttemptId("0123456789ABCDEF"));
  EXPECT_FALSE(isAttemptId("0123456789abcde"));
  EXPECT_FALSE(isAttemptId("0123456789abcdef0"));
  EXPECT_FALSE(isAttemptId("0123456789abcdeg"));
  EXPECT_FALSE(isAttemptId(""));
}

TEST(NameTest, AcceptsLowerCaseNamesUpToSixtyFourBytes) {
  EXPECT_TRUE(isValidName("a"));
  EXPECT_TRUE(isValidName("0"));
  EXPECT_TRUE(isValidName("windows-x64_v2.1"));
  EXPECT_TRUE(isValidName(std::string(64, 'a')));
  EXPECT_FALSE(isValidName(std::string(65, 'a')));
  EXPECT_FALSE(isValidName(""));
  EXPECT_FALSE(isValidName("Windows"));
  EXPECT_FALSE(isValidName("-x"));
  EXPECT_FALSE(isValidName(".x"));
  EXPECT_FALSE(isValidName("_x"));
  EXPECT_FALSE(isValidName("a b"));
  EXPECT_FALSE(isValidName("a/b"));
  EXPECT_FALSE(isValidName("caf\xC3\xA9"));
}

TEST(RelativePathTest, AcceptsPlainRelativePaths) {
  EXPECT_TRUE(isRelativeInside("bin/app.exe"));
  EXPECT_TRUE(isRelativeInside("app.exe"));
  EXPECT_TRUE(isRelativeInside("data/..x/...y/a b"));
  EXPECT_TRUE(isRelativeInside("caf\xC3\xA9/x"));
}

TEST(RelativePathTest, RefusesPathsThatCouldLeaveTheFolderOrNameADrive) {
  for (const char* text : {"", "/bin/app.exe", "bin//app.exe", "bin/", "../app.exe",
                           "C:app.exe", "./app.exe", "bin\\app.exe", "a/./b", "a/..",
                           "file:stream", "/"}) {
    EXPECT_FALSE(isRelativeInside(text)) << text;
  }
  EXPECT_FALSE(isRelativeInside(std::string_view("a\0b", 3)));
}

TEST(Base64Test, DecodesEveryPaddingLength) {
  EXPECT_EQ(decodeBase64(""), Bytes{});
  EXPECT_EQ(decodeBase64("Zg=="), bytesOf("f"));
  EXPECT_EQ(decodeBase64("Zm8="), bytesOf("fo"));
  EXPECT_EQ(decodeBase64("Zm9v"), bytesOf("foo"));
  EXPECT_EQ(decodeBase64("Zm9vYmFy"), bytesOf("foobar"));
  EXPECT_EQ(decodeBase64("+/+/"), (Bytes{0xfb, 0xff, 0xbf}));
}

TEST(Base64Test, RefusesAnythingButTheOneCanonicalText) {
  for (const char* text : {"Zg", "Zg=", "Zm9", "Zg===", "Zm9v=", "====", "Z===", "Zg=a",
                           "Zg==Zm9v", "Zm=v", "Zh==", "Zm9=", "Zm 9v", "Zm9v\n", "Zm-_",
                           "Zm9\x80"}) {
    EXPECT_FALSE(decodeBase64(text).has_value()) << text;
  }
}

TEST(Base64Test, EncodingRoundTripsThroughTheDecoder) {
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 64u, 256u}) {
    const Bytes bytes(all.begin(), all.begin() + length);
    const std::string text = encodeBase64(bytes);
    EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(decodeBase64(text), bytes) << text;
  }
  EXPECT_EQ(encodeBase64(bytesOf("fo")), "Zm8=");
}

TEST(HexTest, DecodesLowerCasePairsHighHalfFirst) {
  EXPECT_EQ(decodeHex(""), Bytes{});
  EXPECT_EQ(decodeHex("00abff10"), (Bytes{0x00, 0xab, 0xff, 0x10}));
  EXPECT_FALSE(decodeHex("0").has_value());
  EXPECT_FALSE(decodeHex("abc").has_value());
  EXPECT_FALSE(decodeHex("AB").has_value());
  EXPECT_FALSE(decodeHex("0g").has_value());
  EXPECT_FALSE(decodeHex(" 0").has_value());
}

}  // namespace
}  // namespace loftswitch
