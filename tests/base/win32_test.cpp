#include "base/win32.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include "support/matchers.h"

namespace loftswitch {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(LongPathTest, GivesTheLongFormOfDriveUncAndLongPaths) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"C:\\a\\b\\", L"\\\\?\\C:\\a\\b"},  // trailing separators go...
      {L"C:\\", L"\\\\?\\C:\\"},            // ...but not the root's
      {L"C:/a/../b", L"\\\\?\\C:\\b"},
      {L"C:\\a\\.\\b\\\\c", L"\\\\?\\C:\\a\\b\\c"},
      {L"\\\\srv\\share\\x", L"\\\\?\\UNC\\srv\\share\\x"},
      // An existing long form comes back unchanged.
      {L"\\\\?\\C:\\x\\", L"\\\\?\\C:\\x\\"},
      {L"\\\\?\\UNC\\srv\\share", L"\\\\?\\UNC\\srv\\share"},
      // A device or pipe path must never turn into a share's path.
      {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
      {L"\\\\.\\C:\\x", L"\\\\.\\C:\\x"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(longPath(path), expected);
  // A relative path becomes absolute.
  const std::wstring relative = longPath(L"some\\file");
  EXPECT_TRUE(relative.starts_with(L"\\\\?\\"));
  EXPECT_TRUE(relative.ends_with(L"\\some\\file"));
  EXPECT_GT(relative.size(), std::wstring(L"\\\\?\\some\\file").size());
  EXPECT_EQ(plainPath(L"\\\\?\\UNC\\srv\\share"), L"\\\\srv\\share");
  EXPECT_EQ(plainPath(L"\\\\?\\C:\\x"), L"C:\\x");
  EXPECT_EQ(plainPath(L"C:/a/../b"), L"C:\\b");
  EXPECT_EQ(plainPath(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
}

TEST(WindowsErrorTextTest, EndsWithTheCodeAndNoFullStopBeforeIt) {
  const std::string text = windowsErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_THAT(text, EndsWith(" (2)"));
  EXPECT_THAT(text, Not(EndsWith(". (2)")));
  EXPECT_THAT(text, Not(HasSubstr("\r")));
  EXPECT_THAT(text, Not(HasSubstr("\n")));
  EXPECT_GT(text.size(), std::string(" (2)").size());
  // An unknown code gives the bare number.
  EXPECT_EQ(windowsErrorText(0x20001234u), " (536875572)");
}

TEST(TextConversionTest, ReplacesIllFormedInputAndComparesOrdinally) {
  EXPECT_EQ(toUtf8(std::wstring(1, wchar_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(toWide("\xC0"), std::wstring(1, wchar_t(0xFFFD)));
  EXPECT_EQ(toUtf8(L""), "");
  EXPECT_EQ(toWide(toUtf8(L"\u00c4\U0001F600")), L"\u00c4\U0001F600");
  EXPECT_TRUE(equalsIgnoreCase(L"C:\\App\\A.EXE", L"c:\\app\\a.exe"));
  EXPECT_TRUE(equalsIgnoreCase(L"\u00c4", L"\u00e4"));
  EXPECT_FALSE(equalsIgnoreCase(L"abc", L"abcd"));
  EXPECT_FALSE(equalsIgnoreCase(L"abc", L"abd"));
}

}  // namespace
}  // namespace loftswitch
