#include "swap/swap_plan.h"

#include <string>
#include <vector>

#include "base/text.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAreArray;
using ::testing::Optional;

constexpr std::string_view kId = "00000000000000aa";

Move backUp(std::string path) { return {Location::target, Location::backup, std::move(path)}; }
Move install(std::string path) { return {Location::stage, Location::target, std::move(path)}; }
Move keep(std::string path) { return {Location::target, Location::stage, std::move(path)}; }

struct PlanCase {
  const char* name;
  std::vector<std::string> installed;  // "/"-separated files; "@x" marks folder x a link
  std::vector<std::string> shipped;
  std::vector<std::string> preserve;
  std::string executable;
  std::vector<Move> moves;
  std::string error;  // instead of the moves
};

const PlanCase kPlans[] = {
    {"ExecutableAndWorkspaceInAnyCase", {"Zeta.exe", "App.exe", ".LoftSwitch/journal.json"},
     {"0.txt", "APP.EXE"}, {}, "app.exe/",
     {backUp("Zeta.exe"), backUp("App.exe"), install("APP.EXE"), install("0.txt")}, ""},
    {"OnlyTheOuterOfNestedPreservedPaths", {"App.exe", "data/user.db", "data/cache.bin"},
     {"App.exe"}, {"data/user.db", "DATA", "data/USER.db/x"}, "App.exe",
     {keep("data"), backUp("App.exe"), install("App.exe"), install("data")}, ""},
    {"NoPreservedPathThroughALink", {"App.exe", "data/user.db", "@data"}, {"App.exe"},
     {"data/user.db"}, "App.exe", {backUp("data"), backUp("App.exe"), install("App.exe")}, ""},
    {"PreservedPathBelowAShippedFile", {"App.exe", "a/b/c"}, {"App.exe", "A"}, {"a/b/c"},
     "App.exe", {}, "the preserved path a/b/c conflicts with the update's file a"},
    {"UnsafePreservedPathEvenWhenNotInstalled", {"App.exe"}, {"App.exe"}, {"fine", "x/.."},
     "App.exe", {}, "preserve path \"x/..\" must be relative and inside the install folder, with no name that ends in a dot or a space"},
    // Windows drops a trailing dot or space: such an entry could never be
    // moved back, so the update stops before anything moves.
    {"NameTheSwapCouldNotMove", {"App.exe", "notes."}, {"App.exe"}, {}, "App.exe", {},
     "\"notes.\" can't be moved: its name isn't one that Windows keeps as it is"},
    {"UpdateWithoutTheExecutable", {"App.exe"}, {"App.exe"}, {}, "bin/app.exe", {},
     "the update has no bin"},
};

class SwapPlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(SwapPlanTest, PlansAsExpectedAndChangesNothing) {
  const PlanCase& c = GetParam();
  const Workspace workspace = workspaceForInstall("C:/App", Layout::folder);
  MemoryFileSystem fs;
  for (const std::string& path : c.installed) {
    if (path.starts_with('@')) {
      fs.markLink(workspace.targetRoot / utf8ToPath(path.substr(1)));
    } else {
      fs.addFile(workspace.targetRoot / utf8ToPath(path), "old");
    }
  }
  for (const std::string& path : c.shipped) {
    fs.addFile(stagedFolder(workspace, kId) / utf8ToPath(path), "new");
  }
  const MemoryFileSystem::Snapshot before = fs.snapshot();
  const Result<std::vector<Move>> plan = planSwap(fs, workspace, kId, c.preserve, c.executable);
  if (c.error.empty()) {
    EXPECT_THAT(plan, Optional(ElementsAreArray(c.moves)));
  } else {
    EXPECT_THAT(plan, FailsWithMessageThat(c.error));
  }
  EXPECT_EQ(fs.snapshot(), before) << "planning changed the file system";
}

INSTANTIATE_TEST_SUITE_P(Plans, SwapPlanTest, ::testing::ValuesIn(kPlans),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SwapPlanBundleTest, SwapsTheBundleAsAWhole) {
  const Workspace workspace =
      workspaceForInstall(std::filesystem::path("C:/Apps") / "Viewer.app", Layout::bundle);
  MemoryFileSystem fs;
  EXPECT_THAT(planSwap(fs, workspace, kId, {"x"}, "Viewer.app/Contents/viewer.exe"),
              FailsWith(ErrorCode::notFound, "the staged bundle Viewer.app is missing"));
  fs.addFile(stagedFolder(workspace, kId) / "Viewer.app" / "viewer.exe", "new");
  EXPECT_THAT(planSwap(fs, workspace, kId, {"../x"}, "anything"),
              Optional(ElementsAreArray({install("Viewer.app")})));
  fs.addFile(std::filesystem::path("C:/Apps") / "Viewer.app" / "viewer.exe", "old");
  fs.addFile(std::filesystem::path("C:/Apps") / "Other.app" / "other.exe", "other");
  EXPECT_THAT(planSwap(fs, workspace, kId, {}, ""),
              Optional(ElementsAreArray({backUp("Viewer.app"), install("Viewer.app")})));
}

}  // namespace
}  // namespace loftswitch
