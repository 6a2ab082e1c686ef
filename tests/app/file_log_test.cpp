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

}  // namespace
}  // namespace loftswitch
