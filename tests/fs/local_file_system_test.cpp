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
using ::testing::AnyOf;
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

// Whether this system renames with POSIX semantics (Windows 10 1709 and
// later on NTFS); Wine and older systems take the plain replacing move.
bool hasPosixRename(const std::filesystem::path& folder) {
  writeTestFile(folder / "probe-from", "");
  HANDLE handle = ::CreateFileW(longPath(folder / "probe-from").c_str(), DELETE | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const std::wstring to = longPath(folder / "probe-to");
  std::vector<std::uint64_t> buffer((to.size() * 2 + 24 + 7) / 8, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
  info->FileNameLength = static_cast<DWORD>(to.size() * 2);
  std::copy(to.begin(), to.end(), info->FileName);
  const bool renamed = ::SetFileInformationByHandle(handle, FileRenameInfoEx, info,
                                                    static_cast<DWORD>(to.size() * 2 + 24));
  ::CloseHandle(handle);
  std::filesystem::remove(folder / "probe-from");
  std::filesystem::remove(folder / "probe-to");
  return renamed;
}

TEST_F(LocalFileSystemTest,
       WriteFileOverAFileAReaderSharesForDeleteReplacesItWherePosixRenameExists) {
  const bool posix = hasPosixRename(temp_.path());
  writeTestFile(temp_ / "journal.json", "old");
  HeldFile reader("share-delete", temp_ / "journal.json");
  ASSERT_TRUE(reader.held());
  const Result<Unit> written = fs_.writeFile(temp_ / "journal.json", "new");
  reader.release();
  if (posix) {
    EXPECT_THAT(written, IsOkay());
    EXPECT_EQ(readTestFile(temp_ / "journal.json"), "new");
  } else {
    // The plain move cannot replace a file that is open anywhere: the reader
    // keeps the whole old content.
    EXPECT_THAT(written,
                AnyOf(FailsWithCode(ErrorCode::inUse), FailsWithCode(ErrorCode::accessDenied)));
    EXPECT_EQ(readTestFile(temp_ / "journal.json"), "old");
  }
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

  // Windows opens a link itself when asked to; Wine follows Unix links.
  bool opensLinksThemselves() {
    HANDLE handle = ::CreateFileW(
        longPath(root_ / "probe-link").c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool itself =
        ::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    ::CloseHandle(handle);
    return itself;
  }

  void expectOutsideUntouched() {
    EXPECT_EQ(readTestFile(root_ / "outside/keep.txt"), "keep");
    EXPECT_EQ(readTestFile(root_ / "outside/sub/deep.txt"), "deep");
    EXPECT_THAT(fs_.list(root_ / "outside"), Optional(ElementsAre("keep.txt", "sub")));
    EXPECT_TRUE(fs_.isFolder(root_ / "outside-empty"));
  }

  LocalFileSystem fs_;
  std::filesystem::path root_;
};

TEST_F(LinkTest, ALinkToAFolderExistsButIsNoFolder) {
  EXPECT_TRUE(fs_.exists(root_ / "probe-link"));
  EXPECT_FALSE(fs_.isFolder(root_ / "probe-link"));
  EXPECT_TRUE(fs_.isFolder(root_ / "outside"));
}

TEST_F(LinkTest, RemoveOfATreeNeverReachesWhatItsLinksPointTo) {
  const Result<Unit> removed = fs_.remove(root_ / "tree");
  if (opensLinksThemselves()) {
    EXPECT_THAT(removed, IsOkay());
    EXPECT_FALSE(fs_.exists(root_ / "tree"));
  } else {
    // A link that cannot be deleted without touching its target stays, and
    // the tree with it; everything else goes.
    EXPECT_THAT(removed, AllOf(FailsWithCode(ErrorCode::io),
                               FailsWithMessageThat(StartsWith(
                                   "can't delete " + pathToUtf8(root_ / "tree") + ": "))));
    EXPECT_FALSE(fs_.exists(root_ / "tree/file.txt"));
  }
  expectOutsideUntouched();
}

TEST_F(LinkTest, RemoveOfALinkToAFolderNeverReachesTheFolder) {
  const Result<Unit> removed = fs_.remove(root_ / "alone-link");
  if (opensLinksThemselves()) {
    EXPECT_THAT(removed, IsOkay());
    EXPECT_FALSE(fs_.exists(root_ / "alone-link"));
  } else {
    EXPECT_THAT(removed, FailsWithCode(ErrorCode::io));
  }
  expectOutsideUntouched();
}

}  // namespace
}  // namespace loftswitch
