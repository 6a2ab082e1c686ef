// What only the real file system shows: attributes and other processes
// holding files. Links are the folder link tests' business.
#include "fs/local_file_system.h"

#include <windows.h>

#include "base/win32.h"
#include "support/held_file.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;
using ::testing::Optional;

void setAttributes(const std::filesystem::path& path, DWORD attributes) {
  ASSERT_TRUE(::SetFileAttributesW(longPath(path).c_str(), attributes));
}

class LocalFileSystemTest : public ::testing::Test {
 protected:
  LocalFileSystem fs_;
  TempFolder temp_;
};

TEST_F(LocalFileSystemTest, ReadOnlyHiddenAndSystemEntriesAreListedRemovedAndReplaced) {
  writeTestFile(temp_ / "alone", "x");
  writeTestFile(temp_ / "tree/sub/inside", "y");
  writeTestFile(temp_ / "target", "old");
  writeTestFile(temp_ / "hidden", "");
  for (const char* name : {"alone", "tree/sub/inside", "target"}) {
    setAttributes(temp_ / name, FILE_ATTRIBUTE_READONLY);
  }
  setAttributes(temp_ / "hidden", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  EXPECT_THAT(fs_.list(temp_.path()), Optional(ElementsAre("alone", "hidden", "target", "tree")));
  EXPECT_THAT(fs_.copy(temp_ / "alone", temp_ / "target"), IsOkay());
  EXPECT_EQ(readTestFile(temp_ / "target"), "x");
  EXPECT_THAT(fs_.remove(temp_ / "alone"), IsOkay());
  EXPECT_THAT(fs_.remove(temp_ / "tree"), IsOkay());
  EXPECT_THAT(fs_.list(temp_.path()), Optional(ElementsAre("hidden", "target")));
}

TEST_F(LocalFileSystemTest, RemoveAndWriteFileWaitForAProgramThatLetsGoSoon) {
  writeTestFile(temp_ / "tree/held", "x");
  writeTestFile(temp_ / "journal.json", "old");
  {
    HeldFile other(temp_ / "tree/held", 250);
    ASSERT_TRUE(other.held());
    EXPECT_THAT(fs_.remove(temp_ / "tree"), IsOkay());
    EXPECT_FALSE(fs_.exists(temp_ / "tree"));
  }
  HeldFile other(temp_ / "journal.json", 100);
  ASSERT_TRUE(other.held());
  EXPECT_THAT(fs_.writeFile(temp_ / "journal.json", "new"), IsOkay());
  EXPECT_EQ(readTestFile(temp_ / "journal.json"), "new");
}

}  // namespace
}  // namespace loftswitch
