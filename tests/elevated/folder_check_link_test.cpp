#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/text.h"
#include "elevated/folder_check.h"
#include "elevated/folder_check_win32.h"
#include "support/matchers.h"

namespace loftswitch {
namespace {

// The folder CTest fills before these tests run: "real\sub" and "link", a
// Unix symbolic link to "real" that Wine shows as a reparse point.
std::filesystem::path linkFixture() {
  const char* unixPath = std::getenv("LOFTSWITCH_FOLDER_LINKS");
  if (unixPath == nullptr || *unixPath == '\0') return {};
  std::string windowsPath = std::string("Z:") + unixPath;
  for (char& c : windowsPath) {
    if (c == '/') c = '\\';
  }
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

TEST_F(FolderCheckLinkTest, RefusesALinkAndEveryFolderBelowItNamingTheLink) {
  const std::filesystem::path link = fixture_ / "link";
  EXPECT_THAT(checkElevatedFolder(link), FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
  EXPECT_THAT(checkElevatedFolder(link / ""),
              FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
  EXPECT_THAT(checkElevatedFolder(link / "sub"),
              FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
  EXPECT_THAT(checkElevatedFolder(fixture_ / "real" / ".." / "link" / "sub"),
              FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
}

TEST_F(FolderCheckLinkTest, TheTreeCheckRefusesALinkInsideTheFolder) {
  const std::filesystem::path link = fixture_ / "link";
  EXPECT_THAT(checkFoldersInside(fixture_, [](auto&&...) { return true; }),
              FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
  EXPECT_THAT(checkFoldersInside(fixture_ / "real", [](auto&&...) { return true; }), IsOkay());
}

TEST_F(FolderCheckLinkTest, RestrictRefusesToFollowALink) {
  const std::filesystem::path link = fixture_ / "link";
  EXPECT_THAT(restrictFolder(link), FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
  EXPECT_THAT(restrictFolder(fixture_ / "real"), IsOkay());
}

}  // namespace
}  // namespace loftswitch
