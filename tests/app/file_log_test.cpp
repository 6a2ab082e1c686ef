#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "app/file_log.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

TEST(FileLogTest, LinePrefixIsUtcWithMillisecondsAndTheStampIsCompact) {
  EXPECT_EQ(logLinePrefix(1796466664123), "2026-12-05T10:31:04.123Z ");
  EXPECT_TRUE(std::regex_match(logStamp(), std::regex("[0-9]{8}T[0-9]{6}Z"))) << logStamp();
}

// Catches an old run left in front of the new one, lines without a stamp,
// a missing logs folder not created, and a log that throws without a file.
TEST(FileLogTest, CreatesItsFolderTruncatesAndStampsEveryLineAndWorksWithoutAFile) {
  TempFolder temp;
  const auto path = temp / "ws/logs/run.log";
  writeTestFile(path, "an old run that must not stay in front\n");
  {
    FileLog log(path);
    EXPECT_TRUE(log.hasFile());
    log.write("first");
    log.fn()("two\nlines");
  }
  const std::string text = readTestFile(path);
  EXPECT_TRUE(std::regex_match(
      text, std::regex("[0-9T:.-]{23}Z first\n[0-9T:.-]{23}Z two\nlines\n")))
      << text;
  TempFolder fresh;
  EXPECT_TRUE(FileLog(fresh / "ws/logs/run.log").hasFile());
  writeTestFile(temp / "file", "x");
  FileLog log(temp / "file/logs/run.log");
  EXPECT_FALSE(log.hasFile());
  log.write("reaches standard error only");
  EXPECT_EQ(readTestFile(temp / "file"), "x");
}

}  // namespace
}  // namespace loftswitch
