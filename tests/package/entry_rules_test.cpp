#include "package/entry_rules.h"

#include "support/matchers.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;

std::string repeat(std::string_view unit, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

TEST(EntryRulesTest, AcceptsPlainRelativeNamesAndSplitsThemIntoComponents) {
  Result<AcceptedName> name = checkEntryName("a\\b/c.txt");
  ASSERT_THAT(name, IsOkay());
  EXPECT_THAT(name->components, ElementsAre("a", "b", "c.txt"));
  EXPECT_FALSE(name->folderName);
  for (const char* folder : {"dir/", "dir\\"}) {
    name = checkEntryName(folder);
    ASSERT_THAT(name, IsOkay());
    EXPECT_THAT(name->components, ElementsAre("dir"));
    EXPECT_TRUE(name->folderName);
  }
  // Leading dots and spaces survive on Windows; a later .loftswitch is an
  // ordinary name; lengths and depth exactly at their limits pass.
  for (const std::string& ok :
       {std::string(".config/ x"), std::string("docs/.loftswitch"),
        std::string("console/com10/lpt/nul-ish"), std::string("caf\xC3\xA9/\xE6\x97\xA5.txt"),
        std::string(255, 'a'), repeat("\xC3\xA9", 255), repeat("\xF0\x9F\x98\x80", 127) + "a",
        repeat("d/", 127) + "f", repeat("d/", 128)}) {
    EXPECT_THAT(checkEntryName(ok), IsOkay()) << ok.substr(0, 40);
  }
}

TEST(EntryRulesTest, RefusesEachUnsafeNameWithItsReason) {
  const std::string colon = "contains ':' (a drive letter or an alternate data stream)";
  const std::string strips = "has a component ending in '.' or a space, which Windows strips";
  const std::string tooLong = "has a component longer than 255 characters";
  const std::string tooDeep = "is nested more than 128 levels deep";
  const std::string reserved = "uses the reserved name .loftswitch";
  const std::string badUtf8 = "is not valid UTF-8";
  // {name, name as shown, reason}; an empty shown name is the name itself.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"", "", "is empty"},
      {"/etc/x", "", "is an absolute path"},
      {"\\x", "", "is an absolute path"},
      {"//server/share/x", "", "is an absolute path"},
      {"C:x", "", colon},
      {"C:/Windows/x", "", colon},
      {"a/b:stream", "", colon},
      {"a/./b", "", "climbs with \".\""},
      {"a/../b", "", "climbs with \"..\""},
      {"a\\..\\b", "", "climbs with \"..\""},
      {"a/..", "", "climbs with \"..\""},
      {"a//b", "", "has an empty path component"},
      {"dir//", "", "has an empty path component"},
      {"a/b.", "", strips},
      {"a /b", "", strips},
      {"x...", "", strips},
      {"a/b?", "", "contains '?', which Windows forbids"},
      {"a*b", "", "contains '*', which Windows forbids"},
      {"a<b", "", "contains '<', which Windows forbids"},
      {"a>b", "", "contains '>', which Windows forbids"},
      {"a|b", "", "contains '|', which Windows forbids"},
      {"a\"b", "", "contains '\"', which Windows forbids"},
      // The first offending byte decides, and control bytes are shown escaped.
      {"a\t?b", "a\\x09?b", "contains a control character"},
      {"a?\tb", "a?\\x09b", "contains '?', which Windows forbids"},
      {std::string("a\0b", 3), "a\\x00b", "contains a control character"},
      {"a\x7F", "a\\x7f", "contains a control character"},
      // An earlier component's fault wins over a later one's.
      {"CON/../x", "", "uses the Windows device name \"CON\""},
      {std::string(256, 'a'), "", tooLong},
      // Two-byte characters count one UTF-16 unit each, four-byte ones two.
      {repeat("\xF0\x9F\x98\x80", 128), "", tooLong},
      {"d/" + repeat("d/", 127) + "f", "", tooDeep},
      {".loftswitch", "", reserved},
      {".LoftSwitch/journal.json", "", reserved},
      {".loftswitch\\", "", reserved},
      // Only the start of an over-long name is shown.
      {repeat("x", 5000), repeat("x", 64), "is longer than 4096 bytes"},
      {repeat("a/", 2048), "", tooDeep},
      {"a\x80", "a\\x80", badUtf8},
      {"\xC0\xAF", "\\xc0\\xaf", badUtf8},
      {"\xED\xA0\x80", "\\xed\\xa0\\x80", badUtf8},
      {"\xF4\x90\x80\x80", "\\xf4\\x90\\x80\\x80", badUtf8},
      {"ab\xE2\x82", "ab\\xe2\\x82", badUtf8},
      {"\xC3\xA9\xFF", "\xC3\xA9\\xff", badUtf8},
  };
  for (const auto& [name, shown, reason] : cases) {
    EXPECT_THAT(checkEntryName(name),
                FailsWith(ErrorCode::badLayout,
                          "package entry \"" + (shown.empty() ? name : shown) + "\" " + reason))
        << name.substr(0, 40);
  }
}

TEST(EntryRulesTest, RefusesWindowsDeviceNamesWhateverTheirExtension) {
  for (std::string_view device :
       {"CON", "con.txt", "aux.txt", "Prn", "nul .log", "COM1", "com1.dat", "LPT9", "com0",
        "conin$", "CONOUT$.x", "com\xC2\xB9", "lpt\xC2\xB2.txt", "COM\xC2\xB3"}) {
    EXPECT_TRUE(isWindowsDeviceName(device)) << device;
    EXPECT_THAT(checkEntryName("dir/" + std::string(device)),
                FailsWith(ErrorCode::badLayout, "package entry \"dir/" + std::string(device) +
                                                    "\" uses the Windows device name \"" +
                                                    std::string(device) + "\""));
  }
  for (std::string_view name : {"console", "com10", "lpt", "con_", "xcon", "comx", "com\xC2\xB4",
                                "auxiliary.txt", "nul-device"}) {
    EXPECT_FALSE(isWindowsDeviceName(name)) << name;
  }
}

TEST(EntryRulesTest, ComponentCheckNamesTheOffence) {
  EXPECT_EQ(checkComponent("ok.txt"), std::nullopt);
  EXPECT_EQ(checkComponent(""), "has an empty path component");
  EXPECT_EQ(checkComponent("a\\b"), "contains a path separator");
  EXPECT_EQ(checkComponent("a:b"), "contains ':' (a drive letter or an alternate data stream)");
}

}  // namespace
}  // namespace loftswitch
