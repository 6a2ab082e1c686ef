#include <gtest/gtest.h>

#include <string>

#include "elevated/validate.h"

namespace loftswitch {
namespace {

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(AttemptIdTest, AcceptsOnlySixteenLowerCaseHexDigits) {
  EXPECT_TRUE(isAttemptId("0123456789abcdef"));
  for (const char* id : {"0123456789ABCDEF", "0123456789abcde", "0123456789abcdef0",
                         "0123456789abcdeg", ""}) {
    EXPECT_FALSE(isAttemptId(id)) << id;
  }
}

TEST(NameTest, AcceptsLowerCaseNamesUpToSixtyFourBytes) {
  for (const std::string& name : {std::string("a"), std::string("0"),
                                  std::string("windows-x64_v2.1"), std::string(64, 'a')}) {
    EXPECT_TRUE(isValidName(name)) << name;
  }
  for (const std::string& name : {std::string(65, 'a'), std::string(), std::string("Windows"),
                                  std::string("-x"), std::string(".x"), std::string("_x"),
                                  std::string("a b"), std::string("a/b"),
                                  std::string("caf\xC3\xA9")}) {
    EXPECT_FALSE(isValidName(name)) << name;
  }
}

TEST(RelativePathTest, AcceptsOnlyPlainRelativePathsThatStayInside) {
  for (const char* text : {"bin/app.exe", "app.exe", "data/..x/...y/a b", "caf\xC3\xA9/x"}) {
    EXPECT_TRUE(isRelativeInside(text)) << text;
  }
  for (const char* text : {"", "/bin/app.exe", "bin//app.exe", "bin/", "../app.exe",
                           "C:app.exe", "./app.exe", "bin\\app.exe", "a/./b", "a/..",
                           "file:stream", "/"}) {
    EXPECT_FALSE(isRelativeInside(text)) << text;
  }
  EXPECT_FALSE(isRelativeInside(std::string_view("a\0b", 3)));
}

TEST(Base64Test, DecodesOnlyTheOneCanonicalText) {
  EXPECT_EQ(decodeBase64(""), Bytes{});
  EXPECT_EQ(decodeBase64("Zg=="), bytesOf("f"));
  EXPECT_EQ(decodeBase64("Zm8="), bytesOf("fo"));
  EXPECT_EQ(decodeBase64("Zm9vYmFy"), bytesOf("foobar"));
  EXPECT_EQ(decodeBase64("+/+/"), (Bytes{0xfb, 0xff, 0xbf}));
  for (const char* text : {"Zg", "Zg=", "Zm9", "Zg===", "Zm9v=", "====", "Z===", "Zg=a",
                           "Zg==Zm9v", "Zm=v", "Zh==", "Zm9=", "Zm 9v", "Zm9v\n", "Zm-_",
                           "Zm9\x80"}) {
    EXPECT_FALSE(decodeBase64(text).has_value()) << text;
  }
}

TEST(HexTest, DecodesLowerCasePairsHighHalfFirst) {
  EXPECT_EQ(decodeHex(""), Bytes{});
  EXPECT_EQ(decodeHex("00abff10"), (Bytes{0x00, 0xab, 0xff, 0x10}));
  for (const char* text : {"0", "abc", "AB", "0g", " 0"}) {
    EXPECT_FALSE(decodeHex(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace loftswitch
