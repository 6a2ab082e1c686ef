#include <gtest/gtest.h>

#include "app/file_log.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

// A log that cannot be made must not stop the run it would have recorded.
TEST(FileLogTest, WorksWithoutAFileWhenItsFolderCannotBeMade) {
  TempFolder temp;
  writeTestFile(temp / "file", "x");
  FileLog log(temp / "file/logs/run.log");
  EXPECT_FALSE(log.hasFile());
  log.write("reaches standard error only");
  EXPECT_EQ(readTestFile(temp / "file"), "x");
}

// A run refused before it changed anything leaves no log; one that goes on
// keeps every line, those from before the log opened first.
TEST(FileLogTest, AHeldLogMakesNoFileUntilOpenedAndThenKeepsEveryLine) {
  TempFolder temp;
  FileLog log;
  log.write("checked");
  EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
  log.open(temp / "logs" / "run.log");
  log.write("changed");
  const std::string text = readTestFile(temp / "logs" / "run.log");
  EXPECT_TRUE(text.find("checked\n") < text.find("changed\n") && text.ends_with("changed\n")) << text;
}

}  // namespace
}  // namespace loftswitch
