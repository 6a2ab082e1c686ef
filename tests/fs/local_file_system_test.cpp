// What only the real file system shows: attributes, links, and other
// processes holding files.
#include "fs/local_file_system.h"

#include <windows.h>

#include "base/text.h"
#include "base/win32.h"
#include "support/held_file.h"
#include "support/matchers.h"
#include "support/programs.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Optional;
using ::testing::StartsWith;

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
    HeldFile other("exclusive", temp_ / "tree/held", 250);
    ASSERT_TRUE(other.held());
    EXPECT_THAT(fs_.remove(temp_ / "tree"), IsOkay());
    EXPECT_FALSE(fs_.exists(temp_ / "tree"));
  }
  HeldFile other("exclusive", temp_ / "journal.json", 100);
  ASSERT_TRUE(other.held());
  EXPECT_THAT(fs_.writeFile(temp_ / "journal.json", "new"), IsOkay());
  EXPECT_EQ(readTestFile(temp_ / "journal.json"), "new");
}

// Links from the setup step (tests/fs/make_links.cmake): "tree" holds a link
// to the folder "outside", one to a file in it and one to the empty folder
// "outside-empty"; "probe-link" and "alone-link" link to "outside".
class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = builtProgram("loftswitch-tests").parent_path().parent_path() / "test-links";
    if (!std::filesystem::exists(root_ / "outside")) {
      GTEST_SKIP() << "run through ctest: the link folders come from a setup step";
    }
  }

  LocalFileSystem fs_;
  std::filesystem::path root_;
};

// A link to a folder must not pass for a folder, or a removal would walk
// into what it points to.
TEST_F(LinkTest, RemoveOfATreeOrALinkNeverReachesWhatTheLinksPointTo) {
  EXPECT_TRUE(fs_.exists(root_ / "probe-link"));
  EXPECT_FALSE(fs_.isFolder(root_ / "probe-link"));
  // Windows deletes a link itself; under Wine, which follows Unix links, a
  // link that cannot be deleted without touching its target stays, and the
  // tree with it, while everything else goes.
  const Result<Unit> tree = fs_.remove(root_ / "tree");
  if (tree) {
    EXPECT_THAT(fs_.remove(root_ / "alone-link"), IsOkay());
    EXPECT_FALSE(fs_.exists(root_ / "tree"));
  } else {
    EXPECT_THAT(tree, AllOf(FailsWithCode(ErrorCode::io),
                            FailsWithMessageThat(StartsWith(
                                "can't delete " + pathToUtf8(root_ / "tree") + ": "))));
    EXPECT_THAT(fs_.remove(root_ / "alone-link"), FailsWithCode(ErrorCode::io));
    EXPECT_FALSE(fs_.exists(root_ / "tree/file.txt"));
  }
  EXPECT_EQ(readTestFile(root_ / "outside/keep.txt"), "keep");
  EXPECT_EQ(readTestFile(root_ / "outside/sub/deep.txt"), "deep");
  EXPECT_THAT(fs_.list(root_ / "outside"), Optional(ElementsAre("keep.txt", "sub")));
  EXPECT_TRUE(fs_.isFolder(root_ / "outside-empty"));
}

}  // namespace
}  // namespace loftswitch
