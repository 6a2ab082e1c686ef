#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "elevated/folder_check.h"
#include "elevated/folder_check_win32.h"
#include "fs/tree_win32.h"
#include "base/win32.h"
#include "support/temp_folder.h"
#include "support/matchers.h"

namespace loftswitch {
namespace {

// The folder CTest fills before these tests run: "real\sub" and "link", a
// Unix symbolic link to "real" that Wine shows as a reparse point.
std::filesystem::path linkFixture() {
  const char* unixPath = std::getenv("LOFTSWITCH_FOLDER_LINKS");
  if (unixPath == nullptr || *unixPath == '\0') return {};
  std::string windowsPath = std::string("Z:") + unixPath;
  std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
  return utf8ToPath(windowsPath);
}

std::string linkRefusal(const std::filesystem::path& path) {
  return pathToUtf8(path) + " is a junction or link, which an elevated update won't follow";
}

class FolderCheckLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_ = linkFixture();
    if (fixture_.empty()) GTEST_SKIP() << "needs the links CTest makes first";
  }
  std::filesystem::path fixture_;
};

// The folder check, the tree check and the restriction all refuse the link,
// named as such, and what lies below it.
TEST_F(FolderCheckLinkTest, EveryCheckRefusesALinkAndWhatLiesBelowItNamingTheLink) {
  const std::filesystem::path link = fixture_ / "link";
  for (const auto& path : {link, link / "", link / "sub", fixture_ / "real" / ".." / "link" / "sub"}) {
    EXPECT_THAT(checkElevatedFolder(path), FailsWith(ErrorCode::accessDenied, linkRefusal(link))) << path;
  }
  EXPECT_THAT(checkFoldersInside(fixture_, [](auto&&...) { return true; }),
              FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
  EXPECT_THAT(checkFoldersInside(fixture_ / "real", [](auto&&...) { return true; }), IsOkay());
  EXPECT_THAT(restrictFolder(link), FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
  EXPECT_THAT(restrictFolder(fixture_ / "real"), IsOkay());
}

// Wine's own calls follow a Unix link (a MoveFile of one moves its target),
// so a Unix program moves it, by the Unix name Wine gives the path.
std::wstring unixName(const std::filesystem::path& path) {
  using Convert = char* (*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
  char* name = convert != nullptr ? convert(path.c_str()) : nullptr;
  if (name == nullptr) return {};
  const std::wstring text = toWide(name);
  ::HeapFree(::GetProcessHeap(), 0, name);
  return text;
}

bool isLinkNow(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(longPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The attack on a delete by full paths: after "tree\\inner" is listed and
// before its children go, the folder is moved away and a link to "victim",
// outside the tree, takes its name. The delete must never reach the victim;
// the link, never listed, keeps the tree from going and the delete says so.
TEST_F(FolderCheckLinkTest, ADeleteNeverFollowsAFolderSwappedForALinkAfterItsListing) {
  const std::filesystem::path swap = utf8ToPath(pathToUtf8(fixture_) + "-swap");
  const std::filesystem::path inner = swap / "tree" / "inner";
  const std::wstring link = unixName(swap / "spare-link"), tree = unixName(swap / "tree");
  ASSERT_FALSE(link.empty() || tree.empty()) << "no Unix names: not Wine?";
  int listings = 0;
  bool swapped = false;
  const DWORD first = removeTree(longPath(swap / "tree"), [&](const std::wstring& folder) {
    if (!folder.ends_with(L"\\inner") || listings++ > 0) return;
    if (!::MoveFileExW(longPath(inner).c_str(), longPath(swap / "moved").c_str(), 0)) return;
    std::wstring line = L"mv -T \"" + link + L"\" \"" + tree + L"/inner\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(L"Z:\\bin\\mv", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return;
    ::WaitForSingleObject(process.hProcess, 10000);
    ::CloseHandle(process.hThread), ::CloseHandle(process.hProcess);
    for (int i = 0; i < 100 && !swapped; ++i, ::Sleep(50)) swapped = isLinkNow(inner);
  });
  ASSERT_EQ(listings, 1) << "the delete never listed tree\\inner";
  ASSERT_TRUE(swapped) << "the link did not take the folder's place";
  EXPECT_EQ(readTestFile(swap / "victim" / "v.txt"), "victim");
  EXPECT_EQ(readTestFile(swap / "victim" / "sub" / "w.txt"), "victim");
  EXPECT_NE(first, 0u) << "a delete that left the link reported success";
  // Windows then deletes the link as a link; Wine opens through a Unix link
  // and cannot, so there the link is refused: either way no success while
  // it stays, and the victim is never reached.
  const DWORD second = removeTree(longPath(swap / "tree"));
  EXPECT_EQ(second == 0, ::GetFileAttributesW(longPath(swap / "tree").c_str()) == INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(second == 0 || second == ERROR_NOT_SUPPORTED) << second;
  EXPECT_EQ(readTestFile(swap / "victim" / "v.txt"), "victim");
}

}  // namespace
}  // namespace loftswitch
