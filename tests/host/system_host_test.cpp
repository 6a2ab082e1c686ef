#include <windows.h>

#include <cwctype>
#include <string>

#include "base/text.h"
#include "base/win32.h"
#include "host/process_handle_win32.h"
#include "host/system_host.h"
#include "support/matchers.h"
#include "support/programs.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::Contains;

// print-args copied to `image` and started from there; it runs until the
// stop file appears, which the record's end makes sure of.
class Child {
 public:
  Child(const std::filesystem::path& image, const std::filesystem::path& stopFile)
      : stopFile_(stopFile) {
    std::filesystem::create_directories(image.parent_path());
    std::filesystem::copy_file(builtProgram("print-args"), image);
    LaunchRequest request{image, {}, {}, {{"PRINT_ARGS_WAIT_FOR", pathToUtf8(stopFile)}}, false};
    auto started = startProcess(request);
    EXPECT_THAT(started, IsOkay());
    if (started) process_ = std::move(*started);
  }
  ~Child() {
    stop();
    SystemHost().waitForExit(identity(), 60000);
  }

  ProcessIdentity identity() const { return {process_.pid, processCreationTime(process_.handle.get())}; }
  void stop() { writeTestFile(stopFile_, "stop"); }

 private:
  std::filesystem::path stopFile_;
  ProcessHandle process_;
};

TEST(ProcessesInFolderTest, FindsProgramsBelowTheFolderOnlyAndNeverTheCaller) {
  TempFolder temp;
  Child deep(temp / "App/bin/tool.exe", temp / "stop");
  Child direct(temp / "App/x.exe", temp / "stop");
  Child sibling(temp / "App2/x.exe", temp / "stop");

  // The folder's letter case does not matter, nor a closing separator.
  std::wstring upper = plainPath(temp / "App") + L"\\";
  for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  SystemHost host;
  for (const std::filesystem::path& folder : {temp / "App", std::filesystem::path(upper)}) {
    const std::vector<std::uint32_t> found = host.processesInFolder(folder);
    EXPECT_THAT(found, IsSupersetOf({deep.identity().pid, direct.identity().pid})) << folder;
    EXPECT_THAT(found, Not(Contains(sibling.identity().pid))) << folder;
  }
  const std::filesystem::path ownFolder = std::filesystem::path(ownExecutablePath()).parent_path();
  EXPECT_EQ(ownIdentity().pid, ::GetCurrentProcessId());
  EXPECT_THAT(host.processesInFolder(ownFolder), Not(Contains(ownIdentity().pid)));
}

TEST(WaitForExitTest, WaitsForTheProcessWithThatCreationTime) {
  TempFolder temp;
  Child child(temp / "App/app.exe", temp / "stop");
  const ProcessIdentity identity = child.identity();
  ASSERT_NE(identity.started, 0u);
  SystemHost host;

  EXPECT_FALSE(host.waitForExit(identity, 0));
  EXPECT_FALSE(host.waitForExit({identity.pid, 0}, 0));
  // Another creation time: the id has been reused, so the process asked
  // about is gone, and that is known without waiting for this one.
  EXPECT_TRUE(host.waitForExit({identity.pid, identity.started + 1}, 60000));
  // Windows process ids are multiples of four.
  EXPECT_TRUE(host.waitForExit({0xFFFFFFF3u, 0}, 60000));

  child.stop();
  EXPECT_TRUE(host.waitForExit(identity, 60000));
}

TEST(TimeoutForWaitTest, IsNeverInfinite) {
  const std::pair<std::int64_t, DWORD> cases[] = {
      {-1, 0}, {60000, 60000}, {0xFFFFFFFFll, 0xFFFFFFFEu}, {INT64_MAX, 0xFFFFFFFEu}};
  for (const auto& [ms, expected] : cases) EXPECT_EQ(timeoutForWait(ms), expected) << ms;
}

}  // namespace
}  // namespace loftswitch
