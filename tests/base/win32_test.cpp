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
      // A device or pipe path must never turn into a share's path.
      {L"\\\\.\\pipe\\x", L"\\\\.\\pipe\\x"},
      {L"\\\\.\\C:\\x", L"\\\\.\\C:\\x"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(longPath(path), expected);
  // A relative path becomes absolute.
  const std::wstring relative = longPath(L"some\\file");
  EXPECT_EQ(relative, L"\\\\?\\" + plainPath(std::filesystem::current_path() / "some/file"));
  EXPECT_EQ(plainPath(L"\\\\?\\UNC\\srv\\share"), L"\\\\srv\\share");
  EXPECT_EQ(plainPath(L"\\\\?\\C:\\x"), L"C:\\x");
  EXPECT_EQ(plainPath(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
}

TEST(WindowsErrorTextTest, EndsWithTheCodeAndNoFullStopBeforeIt) {
  const std::string text = windowsErrorText(ERROR_FILE_NOT_FOUND);
  EXPECT_THAT(text, EndsWith(" (2)"));
  EXPECT_THAT(text, Not(::testing::AnyOf(EndsWith(". (2)"), HasSubstr("\r"), HasSubstr("\n"))));
  // An unknown code gives the bare number.
  EXPECT_EQ(windowsErrorText(0x20001234u), " (536875572)");
}

TEST(TextConversionTest, ReplacesIllFormedInputAndComparesOrdinally) {
  EXPECT_EQ(toUtf8(std::wstring(1, wchar_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(toWide("\xC0"), std::wstring(1, wchar_t(0xFFFD)));
  EXPECT_EQ(toWide(toUtf8(L"\u00c4\U0001F600")), L"\u00c4\U0001F600");
  EXPECT_TRUE(equalsIgnoreCase(L"C:\\App\\\u00c4.EXE", L"c:\\app\\\u00e4.exe"));
  EXPECT_FALSE(equalsIgnoreCase(L"abc", L"abcd"));
}

}  // namespace
}  // namespace loftswitch
