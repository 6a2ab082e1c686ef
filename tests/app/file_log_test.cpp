#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "app/file_log.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

TEST(FileLogTest, LinePrefixIsUtcWithMillisecondsAndTheStampIsCompact) {
  // 2026-12-05T10:31:04.123Z
  EXPECT_EQ(logLinePrefix(1796466664123), "2026-12-05T10:31:04.123Z ");
  EXPECT_EQ(logLinePrefix(0), "1970-01-01T00:00:00.000Z ");
  EXPECT_TRUE(std::regex_match(logStamp(), std::regex("[0-9]{8}T[0-9]{6}Z"))) << logStamp();
}

TEST(FileLogTest, CreatesTheLogsFolderAndWritesStampedLines) {
  TempFolder temp;
  const auto path = temp / "ws/logs/run.log";
  {
    FileLog log(path);
    EXPECT_TRUE(log.hasFile());
    LogSink sink = log.fn();
    sink("first");
    sink("two\nlines");
  }
  const std::string text = readTestFile(path);
  EXPECT_TRUE(std::regex_match(
      text, std::regex("[0-9T:.-]{23}Z first\n[0-9T:.-]{23}Z two\nlines\n")))
      << text;
}

TEST(FileLogTest, TruncatesAnExistingFileAndWorksWithoutOne) {
  TempFolder temp;
  const auto path = temp / "run.log";
  writeTestFile(path, "an old run that must not stay in front\n");
  {
    FileLog log(path);
    log.write("new");
  }
  const std::string text = readTestFile(path);
  EXPECT_EQ(text.substr(25), "new\n");
  // Without a folder the log still takes lines.
  writeTestFile(temp / "file", "x");
  FileLog log(temp / "file/logs/run.log");
  EXPECT_FALSE(log.hasFile());
  log.write("reaches standard error only");
  EXPECT_EQ(readTestFile(temp / "file"), "x");
  FileLog none{std::filesystem::path()};
  EXPECT_FALSE(none.hasFile());
}

}  // namespace
}  // namespace loftswitch
