#include <gtest/gtest.h>

#include "app/file_log.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

// A log that cannot be made must not stop the run it would have recorded.
TEST(FileLogTest, WorksWithoutAFileAndWritesOneOnlyOnceOpened) {
  TempFolder temp;
  writeTestFile(temp / "file", "x");
  FileLog log(temp / "file/logs/run.log");
  EXPECT_FALSE(log.hasFile());
  log.write("reaches standard error only");
  EXPECT_EQ(readTestFile(temp / "file"), "x");
  // A run refused before it changed anything leaves no log; one that goes on
  // keeps every line, those from before the log opened first.
  FileLog held;
  held.write("checked");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(temp.path()), {}), 1);
  held.open(temp / "logs" / "run.log");
  held.write("changed");
  const std::string text = readTestFile(temp / "logs" / "run.log");
  EXPECT_TRUE(text.find("checked\n") < text.find("changed\n") && text.ends_with("changed\n")) << text;
}

}  // namespace
}  // namespace loftswitch
