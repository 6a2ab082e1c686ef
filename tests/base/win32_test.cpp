#include <windows.h>

#include <vector>

#include "base/file.h"
#include "base/text.h"
#include "base/win32.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

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

TEST(TextConversionTest, ReplacesIllFormedInputAndComparesOrdinally) {
  EXPECT_EQ(toUtf8(std::wstring(1, wchar_t(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(toWide("\xC0"), std::wstring(1, wchar_t(0xFFFD)));
  EXPECT_EQ(toWide(toUtf8(L"\u00c4\U0001F600")), L"\u00c4\U0001F600");
  EXPECT_TRUE(equalsIgnoreCase(L"C:\\App\\\u00c4.EXE", L"c:\\app\\\u00e4.exe"));
  EXPECT_FALSE(equalsIgnoreCase(L"abc", L"abcd"));
}

using ::testing::StartsWith;

TEST(OpenFileTest, EachModeCreatesTruncatesOrSharesAsItSaysAndReadsAtAnOffset) {
  TempFolder temp;
  writeTestFile(temp / "f", "a much longer old content");
  EXPECT_THAT(openFile(temp / "f", OpenMode::createNew),
              FailsWithMessageThat(StartsWith("can't create " + pathToUtf8(temp / "f"))));
  EXPECT_THAT(openFile(temp / "missing", OpenMode::read), FailsWithCode(ErrorCode::notFound));
  {
    auto file = openFile(temp / "f", OpenMode::createAlways);
    ASSERT_THAT(file, IsOkay());
    ASSERT_THAT(writeAll(*file, "0123456789"), IsOkay());
    ASSERT_THAT(flushFile(*file), IsOkay());
  }
  auto file = openFile(temp / "f", OpenMode::readDenyWrite);
  ASSERT_THAT(file, IsOkay());
  EXPECT_THAT(openFile(temp / "f", OpenMode::createAlways), FailsWithCode(ErrorCode::inUse));
  EXPECT_EQ(fileSize(*file).value_or(0), 10u);
  std::vector<std::uint8_t> buffer(12);
  EXPECT_EQ(readSome(*file, buffer).value_or(0), 10u);
  EXPECT_EQ(readSome(*file, buffer).value_or(99), 0u);
  std::vector<std::uint8_t> four(4);
  ASSERT_THAT(readExactAt(*file, 3, four), IsOkay());
  EXPECT_EQ(std::string(four.begin(), four.end()), "3456");
  std::vector<std::uint8_t> tooMany(5);
  EXPECT_THAT(readExactAt(*file, 7, tooMany),
              FailsWith(ErrorCode::damaged, "unexpected end of " + pathToUtf8(temp / "f")));
  EXPECT_NE(randomToken(6), randomToken(6));
}

}  // namespace
}  // namespace loftswitch
