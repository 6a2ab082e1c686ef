#include "workspace/workspace.h"

#include "base/text.h"
#include "support/matchers.h"

namespace loftswitch {
namespace {

using ::testing::Eq;
using ::testing::Field;
using ::testing::Optional;

std::filesystem::path p(std::string_view text) { return utf8ToPath(text); }

auto isFolderWorkspace(std::string_view targetRoot, std::string_view workspacePath) {
  return Optional(Eq(Workspace{Layout::folder, p(targetRoot), p(workspacePath), ""}));
}

TEST(WorkspaceTest, RecognisesTheFolderLayoutWhateverTheSpelling) {
  EXPECT_THAT(recognizeWorkspace(p("C:/App/.loftswitch")),
              isFolderWorkspace("C:/App", "C:/App/.loftswitch"));
  EXPECT_THAT(recognizeWorkspace(p("C:/App/.loftswitch/")),
              isFolderWorkspace("C:/App", "C:/App/.loftswitch"));
  EXPECT_THAT(recognizeWorkspace(p("C:/App/sub/../.loftswitch")),
              isFolderWorkspace("C:/App", "C:/App/.loftswitch"));
  EXPECT_THAT(recognizeWorkspace(p("C:/App//./.loftswitch//")),
              isFolderWorkspace("C:/App", "C:/App/.loftswitch"));
  EXPECT_THAT(recognizeWorkspace(p("//srv/share/App/.loftswitch")),
              isFolderWorkspace("//srv/share/App", "//srv/share/App/.loftswitch"));
  // A workspace at a root keeps the root's separator.
#ifdef _WIN32
  const std::string root = "C:/";
#else
  const std::string root = "/";
#endif
  EXPECT_THAT(recognizeWorkspace(p(root + ".loftswitch")),
              isFolderWorkspace(root, root + ".loftswitch"));
}

TEST(WorkspaceTest, RecognisesTheBundleLayoutByItsInnerName) {
  EXPECT_THAT(recognizeWorkspace(p("C:/Apps/.X.app.loftswitch")),
              Optional(Eq(Workspace{Layout::bundle, p("C:/Apps"), p("C:/Apps/.X.app.loftswitch"),
                                    "X.app"})));
  EXPECT_THAT(recognizeWorkspace(p("C:/Apps/.My \xC3\x84pp.app.loftswitch/")),
              Optional(Field(&Workspace::bundleName, "My \xC3\x84pp.app")));
}

TEST(WorkspaceTest, RefusesNamesThatOnlyResembleAWorkspace) {
  for (const char* work : {"C:/App/.LoftSwitch", "C:/App/.loftswitch.", "C:/App/loftswitch",
                           "C:/Apps/..app.loftswitch", "C:/Apps/.a.loftswitch",
                           "C:/Apps/.loftswitch.loftswitch", "C:/Apps/.X.APP.loftswitch",
                           "C:/Apps/X.app.loftswitch", "C:/", "C:/App/.loftswitch/..", ""}) {
    EXPECT_EQ(recognizeWorkspace(p(work)), std::nullopt) << work;
  }
}

TEST(WorkspaceTest, RecognisingTheWorkspaceOfAnInstallGivesTheInstallBack) {
  // A folder's workspace lies inside it, a bundle's beside it.
  EXPECT_EQ(workspaceForInstall(p("C:/App/"), Layout::folder),
            (Workspace{Layout::folder, p("C:/App"), p("C:/App/.loftswitch"), ""}));
  EXPECT_EQ(workspaceForInstall(p("C:/Apps/My.app/"), Layout::bundle),
            (Workspace{Layout::bundle, p("C:/Apps"), p("C:/Apps/.My.app.loftswitch"), "My.app"}));
  for (const char* location :
       {"C:/App", "C:/", "D:/deep/path/to/App", "//srv/share/App"}) {
    const Workspace workspace = workspaceForInstall(p(location), Layout::folder);
    EXPECT_THAT(recognizeWorkspace(workspace.workspacePath), Optional(Eq(workspace))) << location;
  }
  for (const char* location : {"C:/Apps/My.app", "C:/X.app", "C:/Apps/a.b.app"}) {
    const Workspace workspace = workspaceForInstall(p(location), Layout::bundle);
    EXPECT_THAT(recognizeWorkspace(workspace.workspacePath), Optional(Eq(workspace))) << location;
    EXPECT_EQ(appLocation(workspace), p(location));
  }
}

}  // namespace
}  // namespace loftswitch
