#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "base/file.h"
#include "base/text.h"
#include "base/win32.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

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
