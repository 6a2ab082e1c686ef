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

using ::testing::Contains;
using ::testing::Not;

// print-args copied to `image` and started from there; it runs until the
// test ends it, and is ended when the record goes.
class Child {
 public:
  Child(const std::filesystem::path& image, const std::filesystem::path& stopFile)
      : stopFile_(stopFile) {
    std::filesystem::create_directories(image.parent_path());
    std::filesystem::copy_file(builtProgram("print-args"), image);
    LaunchRequest request;
    request.program = image;
    request.environment = {{"PRINT_ARGS_WAIT_FOR", pathToUtf8(stopFile)},
                           {"PRINT_ARGS_EXIT", "3"}};
    auto started = startProcess(request);
    EXPECT_THAT(started, IsOkay());
    if (started) process_ = std::move(*started);
  }
  ~Child() {
    stop();
    SystemHost().waitForExit(identity(), 60000);
  }

  ProcessIdentity identity() const {
    return {process_.pid, processCreationTime(process_.handle.get())};
  }
  void stop() { writeTestFile(stopFile_, "stop"); }

 private:
  std::filesystem::path stopFile_;
  ProcessHandle process_;
};

std::wstring upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

TEST(ProcessesInFolderTest, FindsProgramsBelowTheFolderOnly) {
  TempFolder temp;
  const std::filesystem::path stop = temp / "stop";
  Child deep(temp / "App/bin/tool.exe", stop);
  Child direct(temp / "App/x.exe", stop);
  Child sibling(temp / "App2/x.exe", stop);

  SystemHost host;
  const std::vector<std::uint32_t> found = host.processesInFolder(temp / "App");
  EXPECT_THAT(found, Contains(deep.identity().pid));
  EXPECT_THAT(found, Contains(direct.identity().pid));
  EXPECT_THAT(found, Not(Contains(sibling.identity().pid)));

  // The folder's letter case does not matter, nor a closing separator.
  const std::vector<std::uint32_t> upperFound =
      host.processesInFolder(upper(plainPath(temp / "App")) + L"\\");
  EXPECT_THAT(upperFound, Contains(deep.identity().pid));
  EXPECT_THAT(upperFound, Contains(direct.identity().pid));
  EXPECT_THAT(upperFound, Not(Contains(sibling.identity().pid)));
}

TEST(ProcessesInFolderTest, NeverListsTheCaller) {
  SystemHost host;
  const std::filesystem::path ownFolder = std::filesystem::path(ownExecutablePath()).parent_path();
  EXPECT_THAT(host.processesInFolder(ownFolder), Not(Contains(ownIdentity().pid)));
}

TEST(WaitForExitTest, WaitsForTheProcessWithThatCreationTime) {
  TempFolder temp;
  Child child(temp / "App/app.exe", temp / "stop");
  const ProcessIdentity identity = child.identity();
  ASSERT_NE(identity.started, 0u);
  SystemHost host;

  EXPECT_FALSE(host.waitForExit(identity, 0));
  EXPECT_FALSE(host.waitForExit(identity, -5));
  EXPECT_FALSE(host.waitForExit({identity.pid, 0}, 0));
  // Another creation time: the id has been reused, so the process asked
  // about is gone, and that is known without waiting for this one.
  EXPECT_TRUE(host.waitForExit({identity.pid, identity.started + 1}, 60000));
  EXPECT_FALSE(host.waitForExit(identity, 0));

  child.stop();
  EXPECT_TRUE(host.waitForExit(identity, 60000));
}

TEST(WaitForExitTest, ProcessThatDoesNotExistIsGone) {
  // Windows process ids are multiples of four.
  EXPECT_TRUE(SystemHost().waitForExit({0xFFFFFFF3u, 0}, 60000));
}

TEST(OwnIdentityTest, NamesThisRunningProcess) {
  const ProcessIdentity self = ownIdentity();
  EXPECT_EQ(self.pid, ::GetCurrentProcessId());
  EXPECT_NE(self.started, 0u);
  EXPECT_FALSE(SystemHost().waitForExit(self, 0));
  EXPECT_EQ(std::filesystem::path(ownExecutablePath()).filename(), "loftswitch-tests.exe");
  EXPECT_TRUE(std::filesystem::path(ownExecutablePath()).is_absolute());
}

TEST(RunningAppTest, KeepsTheExitCodeReadableAfterTheProgramEnded) {
  TempFolder temp;
  std::filesystem::copy_file(builtProgram("print-args"), temp / "app.exe");
  LaunchRequest request;
  request.program = temp / "app.exe";
  request.environment = {{"PRINT_ARGS_WAIT_FOR", pathToUtf8(temp / "stop")},
                         {"PRINT_ARGS_EXIT", "3"}};
  SystemHost host;
  auto app = host.launch(request);
  ASSERT_THAT(app, IsOkay());
  EXPECT_EQ((*app)->exitCode(), std::nullopt);

  writeTestFile(temp / "stop", "");
  std::optional<std::uint32_t> code;
  for (int i = 0; i < 6000 && !code; ++i) {
    code = (*app)->exitCode();
    if (!code) host.sleep(10);
  }
  EXPECT_EQ(code, 3u);
  host.sleep(20);
  EXPECT_EQ((*app)->exitCode(), 3u);
}

TEST(SystemHostTest, SleepLastsAtLeastAsLongAsAsked) {
  SystemHost host;
  const HostTime before = host.now();
  host.sleep(30);
  EXPECT_GE(host.now() - before, std::chrono::milliseconds(30));
  const HostTime later = host.now();
  host.sleep(0);
  host.sleep(-100);
  EXPECT_GE(host.now(), later);
}

TEST(TimeoutForWaitTest, IsNeverInfinite) {
  EXPECT_EQ(timeoutForWait(-1), 0u);
  EXPECT_EQ(timeoutForWait(0), 0u);
  EXPECT_EQ(timeoutForWait(60000), 60000u);
  EXPECT_EQ(timeoutForWait(0xFFFFFFFEll), 0xFFFFFFFEu);
  EXPECT_EQ(timeoutForWait(0xFFFFFFFFll), 0xFFFFFFFEu);
  EXPECT_EQ(timeoutForWait(INT64_MAX), 0xFFFFFFFEu);
  EXPECT_NE(timeoutForWait(INT64_MAX), INFINITE);
}

}  // namespace
}  // namespace loftswitch
