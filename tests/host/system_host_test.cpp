#include <windows.h>

#include <cwctype>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/win32.h"
#include "host/launch.h"
#include "host/process_handle_win32.h"
#include "host/system_host.h"
#include "support/held_file.h"
#include "support/matchers.h"
#include "support/programs.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::IsSupersetOf;
using ::testing::Not;
using ::testing::Contains;

TEST(ProcessesInFolderTest, FindsProgramsBelowTheFolderOnlyAndNeverTheCaller) {
  TempFolder temp;
  writeTestFile(temp / "held", "");
  HeldFile deep(temp / "held", 0, temp / "App/bin/tool.exe");
  HeldFile direct(temp / "held", 0, temp / "App/x.exe");
  HeldFile sibling(temp / "held", 0, temp / "App2/x.exe");

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
  writeTestFile(temp / "held", "");
  HeldFile child(temp / "held", 0, temp / "App/app.exe");
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

  child.letGo();
  EXPECT_TRUE(host.waitForExit(identity, 60000));
}

TEST(TimeoutForWaitTest, IsNeverInfinite) {
  const std::pair<std::int64_t, DWORD> cases[] = {
      {-1, 0}, {60000, 60000}, {0xFFFFFFFFll, 0xFFFFFFFEu}, {INT64_MAX, 0xFFFFFFFEu}};
  for (const auto& [ms, expected] : cases) EXPECT_EQ(timeoutForWait(ms), expected) << ms;
}

using ::testing::ElementsAre;
using ::testing::StartsWith;

// Arguments that exercise every rule of the quoting, as the child's own
// runtime splits them.
const std::vector<std::string> kAwkwardArguments = {
    "", "plain", "with space", "tab\there", "line\nfeed", "vertical\vtab", "a\"b", "\"",
    "trailing\\", "trailing space \\", "two\\\\\"quote", "\\\\server\\share\\", "a\\b\\\\c", "  ",
    "gr\xC3\xBC\xC3\x9F \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"};

std::vector<std::wstring> entriesOf(const std::vector<wchar_t>& block) {
  std::vector<std::wstring> entries;
  for (const wchar_t* entry = block.data(); *entry != L'\0'; entry += entries.back().size() + 1) {
    entries.emplace_back(entry);
  }
  return entries;
}

TEST(EnvironmentBlockTest, AdditionsReplaceInheritedNamesInAnyCaseAndTheBlockIsSorted) {
  const std::vector<wchar_t> block = environmentBlockFrom(
      {L"zeta=1", L"=C:=C:\\x", L"Alpha=2", L"A_B=4", L"loftswitch_Relaunch=old",
       L"LOFTSWITCH_RELAUNCH=older", L"PATHEXT=.EXE", L"PATH=old", L"=D:=D:\\y"},
      {{"LOFTSWITCH_RELAUNCH", "0123456789abcdef"}, {"=C", "no"}, {"Path", "first"}, {"PATH", "new"}});
  // Names compare as upper case, as Windows sorts them: "ALPHA" comes before
  // "A_B". "=C:" names a drive folder that "=C" must leave alone, and
  // "PATHEXT" is not "PATH".
  EXPECT_THAT(entriesOf(block),
              ElementsAre(L"=C=no", L"=C:=C:\\x", L"=D:=D:\\y", L"Alpha=2", L"A_B=4",
                          L"LOFTSWITCH_RELAUNCH=0123456789abcdef", L"PATH=new", L"PATHEXT=.EXE",
                          L"zeta=1"));
  // Each entry ends with a zero, and one more zero closes the block.
  EXPECT_EQ(std::wstring(block.end() - 3, block.end()), std::wstring(L"1\0\0", 3));
  EXPECT_EQ(environmentBlockFrom({}, {}), (std::vector<wchar_t>{L'\0', L'\0'}));
}

std::uint32_t waitForCode(RunningApp& app) {
  SystemHost host;
  for (int i = 0; i < 6000; ++i) {
    if (auto code = app.exitCode()) return *code;
    host.sleep(10);
  }
  ADD_FAILURE() << "the started program didn't exit within a minute";
  return 0xFFFFFFFF;
}

TEST(StartProcessTest, ChildGetsExactlyItsArgumentsFolderAndEnvironment) {
  ASSERT_TRUE(::SetEnvironmentVariableW(L"loftswitch_relaunch", L"stale"));
  TempFolder temp;
  std::filesystem::create_directories(temp / "work place");
  auto app = SystemHost().launch(
      {builtProgram("print-args"), kAwkwardArguments, temp / "work place",
       {{"LOFTSWITCH_RELAUNCH", "0123456789abcdef"}, {"PRINT_ARGS_EXIT", "3"},
        {"PRINT_ARGS_OUT", pathToUtf8(temp / "report.json")},
        {"PRINT_ARGS_SHOW", "LOFTSWITCH_RELAUNCH"}},
       true});
  // Our own environment is left as it was.
  wchar_t own[64] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"LOFTSWITCH_RELAUNCH", own, 64);
  ::SetEnvironmentVariableW(L"loftswitch_relaunch", nullptr);
  EXPECT_EQ(std::wstring(own, length), L"stale");
  ASSERT_THAT(app, IsOkay());
  EXPECT_EQ(waitForCode(**app), 3u);
  // The code stays readable once the program has ended.
  EXPECT_EQ((*app)->exitCode(), 3u);
  const nlohmann::json report = nlohmann::json::parse(readTestFile(temp / "report.json"));
  EXPECT_EQ(report.value("args", nlohmann::json()), nlohmann::json(kAwkwardArguments));
  EXPECT_EQ(report.value("cwd", ""), toUtf8(plainPath(temp / "work place")));
  EXPECT_EQ(report.value("env", nlohmann::json()),
            nlohmann::json::array({"LOFTSWITCH_RELAUNCH=0123456789abcdef"}));
}

TEST(StartProcessTest, RefusesWhatItCannotStart) {
  TempFolder temp;
  LaunchRequest request{temp / "missing.exe", {}, {}, {}, true};
  EXPECT_THAT(startProcess(request),
              ::testing::AllOf(FailsWithCode(ErrorCode::launchFailed), FailsWithMessageThat(StartsWith(
                  "can't start " + pathToUtf8(request.program) + ": "))));
  // Zero characters would cut the command line or the environment short.
  request.program = builtProgram("print-args");
  request.arguments = {"ok", std::string("cut\0off", 7)};
  EXPECT_THAT(startProcess(request),
              FailsWith(ErrorCode::launchFailed, "can't start " + pathToUtf8(request.program) +
                                                     ": argument 2 holds a zero character"));
}

TEST(StartProcessTest, StartsInsideAJobThatForbidsBreakingAway) {
  // start-in-job exits with 10 when its child started inside its job, 11
  // when outside, 1 when startProcess failed.
  LaunchRequest request{builtProgram("start-in-job"), {pathToUtf8(builtProgram("print-args"))}, {}, {}, false};
  auto app = SystemHost().launch(request);
  ASSERT_THAT(app, IsOkay());
  EXPECT_EQ(waitForCode(**app), 10u);
}

}  // namespace
}  // namespace loftswitch
