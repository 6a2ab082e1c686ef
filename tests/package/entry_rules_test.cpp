#include "package/entry_rules.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/matchers.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;

std::string messageFor(std::string_view name, std::string_view detail) {
  return "package entry \"" + std::string(name) + "\" " + std::string(detail);
}

void expectRefused(std::string_view name, std::string_view detail) {
  EXPECT_THAT(checkEntryName(name), FailsWith(ErrorCode::badLayout, messageFor(name, detail)))
      << "name: " << name;
}

std::string repeat(std::string_view unit, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

TEST(EntryRulesTest, AcceptsPlainRelativeNamesAndSplitsThemIntoComponents) {
  Result<AcceptedName> name = checkEntryName("bin/app.exe");
  ASSERT_THAT(name, IsOkay());
  EXPECT_THAT(name->components, ElementsAre("bin", "app.exe"));
  EXPECT_FALSE(name->folderName);

  name = checkEntryName("a\\b/c.txt");
  ASSERT_THAT(name, IsOkay());
  EXPECT_THAT(name->components, ElementsAre("a", "b", "c.txt"));

  name = checkEntryName("dir/");
  ASSERT_THAT(name, IsOkay());
  EXPECT_THAT(name->components, ElementsAre("dir"));
  EXPECT_TRUE(name->folderName);

  name = checkEntryName("dir\\");
  ASSERT_THAT(name, IsOkay());
  EXPECT_TRUE(name->folderName);

  // Leading dots and spaces survive on Windows; a later .loftswitch is an
  // ordinary name.
  EXPECT_THAT(checkEntryName(".config/ x"), IsOkay());
  EXPECT_THAT(checkEntryName("docs/.loftswitch"), IsOkay());
  EXPECT_THAT(checkEntryName("console/com10/lpt/nul-ish"), IsOkay());
  EXPECT_THAT(checkEntryName("caf\xC3\xA9/\xE6\x97\xA5\xE6\x9C\xAC.txt"), IsOkay());
}

TEST(EntryRulesTest, RefusesNamesThatLeaveTheTargetFolder) {
  expectRefused("", "is empty");
  expectRefused("/etc/x", "is an absolute path");
  expectRefused("\\x", "is an absolute path");
  expectRefused("//server/share/x", "is an absolute path");
  expectRefused("C:x", "contains ':' (a drive letter or an alternate data stream)");
  expectRefused("C:/Windows/x", "contains ':' (a drive letter or an alternate data stream)");
  expectRefused("a/b:stream", "contains ':' (a drive letter or an alternate data stream)");
  expectRefused("a/./b", "climbs with \".\"");
  expectRefused("a/../b", "climbs with \"..\"");
  expectRefused("..\\evil.dll", "climbs with \"..\"");
  expectRefused("a/..", "climbs with \"..\"");
  expectRefused("a//b", "has an empty path component");
  expectRefused("dir//", "has an empty path component");
}

TEST(EntryRulesTest, ShowsTheNameAsStoredInItsMessage) {
  EXPECT_THAT(checkEntryName("a\\..\\b"),
              FailsWith(ErrorCode::badLayout, "package entry \"a\\..\\b\" climbs with \"..\""));
}

TEST(EntryRulesTest, RefusesNamesWindowsWouldStoreDifferently) {
  expectRefused("a/b.", "has a component ending in '.' or a space, which Windows strips");
  expectRefused("a /b", "has a component ending in '.' or a space, which Windows strips");
  expectRefused("x...", "has a component ending in '.' or a space, which Windows strips");
  expectRefused("a/b?", "contains '?', which Windows forbids");
  expectRefused("a*b", "contains '*', which Windows forbids");
  expectRefused("a<b", "contains '<', which Windows forbids");
  expectRefused("a>b", "contains '>', which Windows forbids");
  expectRefused("a|b", "contains '|', which Windows forbids");
  expectRefused("a\"b", "contains '\"', which Windows forbids");
}

TEST(EntryRulesTest, TheFirstOffendingByteDecides) {
  EXPECT_THAT(checkEntryName(std::string("a\t?b")),
              FailsWith(ErrorCode::badLayout, "package entry \"a\\x09?b\" contains a control character"));
  EXPECT_THAT(checkEntryName("a?\tb"),
              FailsWithMessageThat(::testing::EndsWith("contains '?', which Windows forbids")));
  EXPECT_THAT(checkEntryName(std::string("a\0b", 3)),
              FailsWith(ErrorCode::badLayout, "package entry \"a\\x00b\" contains a control character"));
  EXPECT_THAT(checkEntryName("a\x7F"),
              FailsWithMessageThat(::testing::EndsWith("contains a control character")));
  // An earlier component's fault wins over a later one's.
  EXPECT_THAT(checkEntryName("CON/../x"),
              FailsWithMessageThat(::testing::EndsWith("uses the Windows device name \"CON\"")));
}

TEST(EntryRulesTest, RefusesWindowsDeviceNamesWhateverTheirExtension) {
  for (std::string_view device : {"CON", "con.txt", "aux.txt", "Prn", "nul .log", "COM1",
                                  "com1.dat", "LPT9", "com0", "conin$", "CONOUT$.x",
                                  "com\xC2\xB9", "lpt\xC2\xB2.txt", "COM\xC2\xB3"}) {
    EXPECT_TRUE(isWindowsDeviceName(device)) << device;
    expectRefused("dir/" + std::string(device),
                  "uses the Windows device name \"" + std::string(device) + "\"");
  }
  for (std::string_view name : {"console", "com10", "lpt", "con_", "xcon", "comx", "com\xC2\xB4",
                                "auxiliary.txt", "nul-device"}) {
    EXPECT_FALSE(isWindowsDeviceName(name)) << name;
  }
}

TEST(EntryRulesTest, CountsComponentLengthInUtf16Units) {
  EXPECT_THAT(checkEntryName(std::string(255, 'a')), IsOkay());
  expectRefused(std::string(256, 'a'), "has a component longer than 255 characters");
  // Two-byte characters count one unit each, four-byte ones two.
  EXPECT_THAT(checkEntryName(repeat("\xC3\xA9", 255)), IsOkay());
  expectRefused(repeat("\xF0\x9F\x98\x80", 128), "has a component longer than 255 characters");
  EXPECT_THAT(checkEntryName(repeat("\xF0\x9F\x98\x80", 127) + "a"), IsOkay());
}

TEST(EntryRulesTest, LimitsDepthToOneHundredAndTwentyEightComponents) {
  const std::string deep = repeat("d/", 127) + "f";
  EXPECT_THAT(checkEntryName(deep), IsOkay());
  expectRefused("d/" + deep, "is nested more than 128 levels deep");
  EXPECT_THAT(checkEntryName(repeat("d/", 128)), IsOkay());
}

TEST(EntryRulesTest, RefusesTheWorkspaceNameAsFirstComponent) {
  expectRefused(".loftswitch", "uses the reserved name .loftswitch");
  expectRefused(".LoftSwitch/journal.json", "uses the reserved name .loftswitch");
  expectRefused(".loftswitch\\", "uses the reserved name .loftswitch");
}

TEST(EntryRulesTest, ShowsOnlyTheStartOfAnOverLongName) {
  const std::string name = repeat("x", 5000);
  EXPECT_THAT(checkEntryName(name),
              FailsWith(ErrorCode::badLayout,
                        messageFor(repeat("x", 64), "is longer than 4096 bytes")));
  EXPECT_THAT(checkEntryName(repeat("a/", 2048)), FailsWithMessageThat(::testing::EndsWith(
                                                      "is nested more than 128 levels deep")));
}

TEST(EntryRulesTest, RefusesIllFormedUtf8AndKeepsTheMessagePrintable) {
  EXPECT_THAT(checkEntryName("a\x80"),
              FailsWith(ErrorCode::badLayout, "package entry \"a\\x80\" is not valid UTF-8"));
  // Overlong slash, surrogate, beyond U+10FFFF, truncated sequence.
  for (std::string_view name : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ab\xE2\x82"}) {
    EXPECT_THAT(checkEntryName(name), FailsWithMessageThat(::testing::EndsWith("is not valid UTF-8")));
  }
  EXPECT_THAT(checkEntryName("\xC3\xA9\xFF"),
              FailsWith(ErrorCode::badLayout,
                        "package entry \"\xC3\xA9\\xff\" is not valid UTF-8"));
}

TEST(EntryRulesTest, ComponentCheckNamesTheOffence) {
  EXPECT_EQ(checkComponent("ok.txt"), std::nullopt);
  EXPECT_EQ(checkComponent(""), "has an empty path component");
  EXPECT_EQ(checkComponent("a\\b"), "contains a path separator");
  EXPECT_EQ(checkComponent("a:b"), "contains ':' (a drive letter or an alternate data stream)");
}

}  // namespace
}  // namespace loftswitch
