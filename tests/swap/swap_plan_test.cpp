#include "swap/swap_plan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"
#include "base/win32.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"

namespace loftswitch {

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Optional;
using ::testing::StartsWith;

constexpr std::string_view kId = "00000000000000aa";

Move backUp(std::string path) { return {Location::target, Location::backup, std::move(path)}; }
Move install(std::string path) { return {Location::stage, Location::target, std::move(path)}; }
Move keep(std::string path) { return {Location::target, Location::stage, std::move(path)}; }
Move displace(std::string path) { return {Location::stage, Location::replaced, std::move(path)}; }

class SwapPlanTest : public ::testing::Test {
 protected:
  const Workspace workspace_ = workspaceForInstall("C:\\App", Layout::folder);
  MemoryFileSystem fs_;

  void installed(const std::string& path, std::string_view content = "old") {
    fs_.addFile("C:\\App\\" + path, content);
  }
  void shipped(const std::string& path, std::string_view content = "new") {
    fs_.addFile(stagedFolder(workspace_, kId) / utf8ToPath(path), content);
  }
  Result<std::vector<Move>> plan(const std::vector<std::string>& preserve,
                                 std::string_view executable = "App.exe") {
    const MemoryFileSystem::Snapshot before = fs_.snapshot();
    Result<std::vector<Move>> moves = planSwap(fs_, workspace_, kId, preserve, executable);
    EXPECT_EQ(fs_.snapshot(), before) << "planning changed the file system";
    return moves;
  }
};

TEST_F(SwapPlanTest, TakesTheExecutableOutLastAndPutsItBackFirst) {
  installed("App.exe");
  installed("data\\x");
  installed(".loftswitch\\journal.json");
  shipped("App.exe");
  shipped("lib\\core.dll");
  EXPECT_THAT(plan({}), Optional(ElementsAre(backUp("data"), backUp("App.exe"),
                                             install("App.exe"), install("lib"))));
}

TEST_F(SwapPlanTest, MatchesTheExecutableAndTheWorkspaceInAnyCase) {
  installed("Zeta.exe");
  installed("App.exe");
  installed(".LoftSwitch\\journal.json");
  shipped("a.txt");
  shipped("APP.EXE");
  EXPECT_THAT(plan({}, "app.exe/"),
              Optional(ElementsAre(backUp("Zeta.exe"), backUp("App.exe"), install("APP.EXE"),
                                   install("a.txt"))));
}

TEST_F(SwapPlanTest, KeepsAPreservedFileAndSetsTheUpdatesCopyAside) {
  installed("App.exe");
  installed("settings.ini");
  shipped("App.exe");
  shipped("settings.ini");
  EXPECT_THAT(plan({"settings.ini"}),
              Optional(ElementsAre(displace("settings.ini"), keep("settings.ini"),
                                   backUp("App.exe"), install("App.exe"),
                                   install("settings.ini"))));
}

TEST_F(SwapPlanTest, KeepsOnlyTheOuterOfNestedPreservedPaths) {
  installed("App.exe");
  installed("data\\user.db");
  installed("data\\cache.bin");
  shipped("App.exe");
  // Also when the outer one is written in another case, which sorts it after
  // the inner one by bytes.
  for (const std::vector<std::string>& preserve : std::vector<std::vector<std::string>>{
           {"data/user.db", "data"}, {"Data/user.db", "data"}, {"data/user.db", "DATA", "data/USER.db/x"}}) {
    EXPECT_THAT(plan(preserve), Optional(ElementsAre(keep("data"), backUp("App.exe"),
                                                     install("App.exe"), install("data"))));
  }
}

TEST_F(SwapPlanTest, KeepsADeepPreservedPathInsideTheNewFolder) {
  installed("App.exe");
  installed("data\\user.db");
  installed("data\\cache.bin");
  shipped("App.exe");
  EXPECT_THAT(plan({"data/user.db"}),
              Optional(ElementsAre(keep("data/user.db"), backUp("data"), backUp("App.exe"),
                                   install("App.exe"), install("data"))));
}

TEST_F(SwapPlanTest, UsesThePreservedPathAsInstalledAndSkipsMissingOnes) {
  installed("App.exe");
  installed("data\\user.db");
  shipped("App.exe");
  shipped("Data\\defaults.db");
  EXPECT_THAT(plan({"DATA/User.DB", "not/there", "nothing"}),
              Optional(ElementsAre(keep("data/user.db"), backUp("data"), backUp("App.exe"),
                                   install("App.exe"), install("Data"))));
  EXPECT_EQ(findInstalledPath(fs_, "C:\\App", "DATA/User.DB"), "data/user.db");
  EXPECT_EQ(findInstalledPath(fs_, "C:\\App", "data/user.db/more"), std::nullopt);
  EXPECT_EQ(findInstalledPath(fs_, "C:\\App", "data/other"), std::nullopt);
}

TEST_F(SwapPlanTest, DoesNotFollowALinkOnTheWayToAPreservedPath) {
  installed("App.exe");
  installed("data\\user.db");
  shipped("App.exe");
  fs_.markLink("C:\\App\\data");
  EXPECT_EQ(findInstalledPath(fs_, "C:\\App", "data/user.db"), std::nullopt);
  EXPECT_THAT(plan({"data/user.db"}), Optional(ElementsAre(backUp("data"), backUp("App.exe"),
                                                           install("App.exe"))));
}

TEST_F(SwapPlanTest, NeverKeepsOrMovesTheWorkspace) {
  installed("App.exe");
  installed(".loftswitch\\journal.json");
  shipped("App.exe");
  EXPECT_THAT(plan({".loftswitch/journal.json", ".LOFTSWITCH"}),
              Optional(ElementsAre(backUp("App.exe"), install("App.exe"))));
}

TEST_F(SwapPlanTest, RefusesAPreservedPathBelowAFileOfTheUpdate) {
  installed("App.exe");
  installed("a\\b\\c");
  shipped("App.exe");
  shipped("A");
  EXPECT_THAT(plan({"a/b"}), FailsWith(ErrorCode::invalidData,
                                       "the preserved path a/b conflicts with the update's file a"));
  EXPECT_THAT(plan({"a/b/c"}), FailsWith(ErrorCode::invalidData,
                                         "the preserved path a/b/c conflicts with the update's "
                                         "file a"));
}

TEST_F(SwapPlanTest, RefusesUnsafePreservedPathsEvenWhenNotInstalled) {
  installed("App.exe");
  shipped("App.exe");
  for (const std::string path : {"../x", "a//b", "C:x", "", "/abs", "a\\b", "x/..", "trail."}) {
    EXPECT_THAT(plan({"fine", path}),
                FailsWith(ErrorCode::invalidData,
                          "unsafe path in the update journal: \"" + path + "\""))
        << path;
  }
}

// Windows drops a trailing dot or space: the swap could never move the entry
// back, so the update stops before anything moves.
TEST_F(SwapPlanTest, RefusesAnEntryNameTheSwapCouldNotMove) {
  installed("App.exe");
  installed("notes.");
  shipped("App.exe");
  EXPECT_THAT(plan({}), FailsWith(ErrorCode::invalidData,
                                  "\"notes.\" can't be moved: its name isn't one that Windows "
                                  "keeps as it is"));
}

TEST_F(SwapPlanTest, ReportsWhatIsMissing) {
  installed("App.exe");
  EXPECT_THAT(plan({}), FailsWith(ErrorCode::notFound,
                                  "the staged update is missing: can't list "
                                  "C:\\App\\.loftswitch\\stage\\00000000000000aa\\new: " +
                                      windowsErrorText(3)));
  shipped("App.exe");
  EXPECT_THAT(plan({}, "bin/app.exe"), FailsWith(ErrorCode::notFound, "the update has no bin"));
  fs_.failOn(MemoryFileSystem::Operation::list, "C:\\App",
             Error{ErrorCode::accessDenied, "can't list C:\\App: denied"});
  EXPECT_THAT(plan({}), FailsWith(ErrorCode::accessDenied, "can't list C:\\App: denied"));
}

TEST(SwapPlanBundleTest, SwapsTheBundleAsAWhole) {
  const Workspace workspace = workspaceForInstall("C:\\Apps\\Viewer.app", Layout::bundle);
  MemoryFileSystem fs;
  EXPECT_THAT(planSwap(fs, workspace, kId, {"x"}, "Viewer.app/Contents/viewer.exe"),
              FailsWith(ErrorCode::notFound, "the staged bundle Viewer.app is missing"));
  fs.addFile(stagedFolder(workspace, kId) / "Viewer.app" / "viewer.exe", "new");
  EXPECT_THAT(planSwap(fs, workspace, kId, {"../x"}, "anything"),
              Optional(ElementsAre(install("Viewer.app"))));
  fs.addFile("C:\\Apps\\Viewer.app\\viewer.exe", "old");
  fs.addFile("C:\\Apps\\Other.app\\other.exe", "other");
  EXPECT_THAT(planSwap(fs, workspace, kId, {}, ""),
              Optional(ElementsAre(backUp("Viewer.app"), install("Viewer.app"))));
}

}  // namespace
}  // namespace loftswitch
