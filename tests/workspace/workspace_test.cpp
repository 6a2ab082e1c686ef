#include "workspace/workspace.h"

#include "base/text.h"
#include "support/matchers.h"

namespace loftswitch {
namespace {

using ::testing::Eq;
using ::testing::Optional;

std::filesystem::path p(std::string_view text) { return utf8ToPath(text); }

TEST(WorkspaceTest, RecognisesTheWorkspaceOfEveryInstallWhateverTheSpelling) {
  // A folder's workspace lies inside it, a bundle's beside it.
  EXPECT_EQ(workspaceForInstall(p("C:/Apps/My.app/"), Layout::bundle),
            (Workspace{Layout::bundle, p("C:/Apps"), p("C:/Apps/.My.app.loftswitch"), "My.app"}));
  const Workspace app{Layout::folder, p("C:/App"), p("C:/App/.loftswitch"), ""};
  for (const char* spelling : {"C:/App/.loftswitch/", "C:/App/sub/../.loftswitch", "C:/App//./.loftswitch//"}) {
    EXPECT_THAT(recognizeWorkspace(p(spelling)), Optional(Eq(app))) << spelling;
  }
  for (const char* location : {"C:/App", "C:/", "D:/deep/path/to/App", "//srv/share/App"}) {
    const Workspace workspace = workspaceForInstall(p(location), Layout::folder);
    EXPECT_THAT(recognizeWorkspace(workspace.workspacePath), Optional(Eq(workspace))) << location;
  }
  for (const char* location : {"C:/Apps/My \xC3\x84pp.app", "C:/X.app", "C:/Apps/a.b.app"}) {
    const Workspace workspace = workspaceForInstall(p(location), Layout::bundle);
    EXPECT_THAT(recognizeWorkspace(workspace.workspacePath), Optional(Eq(workspace))) << location;
    EXPECT_EQ(appLocation(workspace), p(location));
  }
}

TEST(WorkspaceTest, RefusesNamesThatOnlyResembleAWorkspace) {
  for (const char* work : {"C:/App/.LoftSwitch", "C:/App/.loftswitch.", "C:/App/loftswitch",
                           "C:/Apps/..app.loftswitch", "C:/Apps/.a.loftswitch",
                           "C:/Apps/.loftswitch.loftswitch", "C:/Apps/.X.APP.loftswitch",
                           "C:/Apps/X.app.loftswitch", "C:/", "C:/App/.loftswitch/..", ""}) {
    EXPECT_EQ(recognizeWorkspace(p(work)), std::nullopt) << work;
  }
}

}  // namespace
}  // namespace loftswitch
