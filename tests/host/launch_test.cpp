#include <windows.h>
#include <shellapi.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "base/text.h"
#include "base/win32.h"
#include "host/launch.h"
#include "host/process_handle_win32.h"
#include "host/system_host.h"
#include "support/matchers.h"
#include "support/programs.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::vector<std::wstring> splitLikeWindows(const std::wstring& commandLine) {
  int count = 0;
  wchar_t** parts = ::CommandLineToArgvW(commandLine.c_str(), &count);
  std::vector<std::wstring> out;
  for (int i = 0; i < count; ++i) out.emplace_back(parts[i]);
  ::LocalFree(parts);
  return out;
}

std::vector<std::wstring> entriesOf(const std::vector<wchar_t>& block) {
  std::vector<std::wstring> entries;
  std::wstring current;
  for (wchar_t c : block) {
    if (c != L'\0') {
      current.push_back(c);
      continue;
    }
    if (current.empty()) break;
    entries.push_back(current);
    current.clear();
  }
  return entries;
}

// Arguments that exercise every rule of the quoting.
const std::vector<std::string> kAwkwardArguments = {
    "",
    "plain",
    "with space",
    "tab\there",
    "line\nfeed",
    "vertical\vtab",
    "a\"b",
    "\"",
    "trailing\\",
    "trailing space \\",
    "two\\\\\"quote",
    "\\\\server\\share\\",
    "a\\b\\\\c",
    "  ",
    "gr\xC3\xBC\xC3\x9F \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80",
};

TEST(QuoteArgumentTest, FollowsTheWindowsArgumentRules) {
  EXPECT_EQ(quoteArgument(L""), L"\"\"");
  EXPECT_EQ(quoteArgument(L"a\\b"), L"a\\b");
  EXPECT_EQ(quoteArgument(L"a\\\\\"b"), L"\"a\\\\\\\\\\\"b\"");  // two backslashes, quote
  EXPECT_EQ(quoteArgument(L"a b"), L"\"a b\"");
  EXPECT_EQ(quoteArgument(L"a\"b"), L"\"a\\\"b\"");
  EXPECT_EQ(quoteArgument(L"a b\\"), L"\"a b\\\\\"");
  EXPECT_EQ(quoteArgument(L"a\\ b"), L"\"a\\ b\"");
  EXPECT_EQ(quoteArgument(L"trailing\\"), L"trailing\\");
}

TEST(BuildCommandLineTest, CommandLineToArgvWGivesBackEveryArgument) {
  const std::filesystem::path program = L"C:\\Program Files\\App\\app.exe";
  const std::vector<std::wstring> parts =
      splitLikeWindows(buildCommandLine(program, kAwkwardArguments));
  std::vector<std::wstring> expected = {L"C:\\Program Files\\App\\app.exe"};
  for (const std::string& argument : kAwkwardArguments) expected.push_back(toWide(argument));
  EXPECT_THAT(parts, ElementsAreArray(expected));
}

TEST(EnvironmentBlockTest, AdditionReplacesInheritedNameInAnyCase) {
  const std::vector<wchar_t> block = environmentBlockFrom(
      {L"PATH=C:\\Windows", L"loftswitch_Relaunch=old", L"LOFTSWITCH_RELAUNCH=older"},
      {{"LOFTSWITCH_RELAUNCH", "0123456789abcdef"}});
  EXPECT_THAT(entriesOf(block),
              ElementsAre(L"LOFTSWITCH_RELAUNCH=0123456789abcdef", L"PATH=C:\\Windows"));
}

TEST(EnvironmentBlockTest, LaterAdditionOfTheSameNameWins) {
  const std::vector<wchar_t> block =
      environmentBlockFrom({}, {{"Name", "first"}, {"NAME", "second"}});
  EXPECT_THAT(entriesOf(block), ElementsAre(L"NAME=second"));
}

TEST(EnvironmentBlockTest, SortsByNameIgnoringCaseAndKeepsDriveFolders) {
  const std::vector<wchar_t> block = environmentBlockFrom(
      {L"zeta=1", L"=C:=C:\\x", L"Alpha=2", L"beta=3", L"A_B=4", L"=D:=D:\\y"}, {{"gamma", "5"}});
  // Names compare as upper case, as Windows sorts them: "ALPHA" comes before
  // "A_B" because 'L' is below '_', which a lower-case order would reverse.
  EXPECT_THAT(entriesOf(block), ElementsAre(L"=C:=C:\\x", L"=D:=D:\\y", L"Alpha=2", L"A_B=4",
                                            L"beta=3", L"gamma=5", L"zeta=1"));
  // Each entry ends with a zero, and one more zero closes the block.
  ASSERT_GE(block.size(), 2u);
  EXPECT_EQ(block[block.size() - 1], L'\0');
  EXPECT_EQ(block[block.size() - 2], L'\0');
  EXPECT_NE(block[block.size() - 3], L'\0');
}

TEST(EnvironmentBlockTest, ComparesOnlyTheNameNotAValueThatStartsLikeIt) {
  // "=C:" names a drive folder: an addition named "=C" must leave it alone,
  // and "PATHEXT" is not "PATH".
  const std::vector<wchar_t> block =
      environmentBlockFrom({L"=C:=C:\\x", L"PATHEXT=.EXE", L"PATH=old"}, {{"PATH", "new"}});
  EXPECT_THAT(entriesOf(block), ElementsAre(L"=C:=C:\\x", L"PATH=new", L"PATHEXT=.EXE"));
}

TEST(EnvironmentBlockTest, EmptyBlockEndsWithTwoZeros) {
  EXPECT_EQ(environmentBlockFrom({}, {}), (std::vector<wchar_t>{L'\0', L'\0'}));
}

TEST(EnvironmentBlockTest, EntryNameStopsAtTheFirstEqualsAfterTheFirstCharacter) {
  EXPECT_EQ(environmentEntryName(L"=C:=C:\\x"), L"=C:");
  EXPECT_EQ(environmentEntryName(L"A=b=c"), L"A");
  EXPECT_EQ(environmentEntryName(L"="), L"=");
  EXPECT_EQ(environmentEntryName(L"NOVALUE"), L"NOVALUE");
}

// Starts print-args and returns what it reported, with its exit code.
struct Report {
  std::uint32_t exitCode = 0;
  nlohmann::json json;
};

std::uint32_t waitForCode(RunningApp& app) {
  SystemHost host;
  for (int i = 0; i < 6000; ++i) {
    if (auto code = app.exitCode()) return *code;
    host.sleep(10);
  }
  ADD_FAILURE() << "the started program didn't exit within a minute";
  return 0xFFFFFFFF;
}

Report runPrintArgs(LaunchRequest request, const TempFolder& temp, const std::string& show = "") {
  const std::filesystem::path out = temp / "report.json";
  request.environment.emplace_back("PRINT_ARGS_OUT", pathToUtf8(out));
  request.environment.emplace_back("PRINT_ARGS_SHOW", show);
  SystemHost host;
  auto app = host.launch(request);
  EXPECT_THAT(app, IsOkay());
  Report report;
  if (!app) return report;
  report.exitCode = waitForCode(**app);
  const std::string text = readTestFile(out);
  report.json = nlohmann::json::parse(text.empty() ? "{}" : text);
  return report;
}

TEST(StartProcessTest, ChildSeesExactlyTheArguments) {
  TempFolder temp;
  LaunchRequest request;
  request.program = builtProgram("print-args");
  request.arguments = kAwkwardArguments;
  const Report report = runPrintArgs(request, temp);
  EXPECT_EQ(report.json.value("args", nlohmann::json::array()), nlohmann::json(kAwkwardArguments));
}

TEST(StartProcessTest, RunsInTheWorkingFolderAndReportsTheExitCode) {
  TempFolder temp;
  std::filesystem::create_directories(temp / "work place");
  LaunchRequest request;
  request.program = builtProgram("print-args");
  request.workingFolder = temp / "work place";
  request.environment = {{"PRINT_ARGS_EXIT", "3"}};
  request.breakaway = true;
  const Report report = runPrintArgs(request, temp);
  EXPECT_EQ(report.exitCode, 3u);
  EXPECT_EQ(report.json.value("cwd", ""), toUtf8(plainPath(temp / "work place")));
}

TEST(StartProcessTest, EmptyWorkingFolderInheritsOursAndRelativeProgramIsResolvedAgainstIt) {
  TempFolder temp;
  std::filesystem::copy_file(builtProgram("print-args"), temp / "print-args.exe");
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(temp.path());
  LaunchRequest request;
  request.program = L"print-args.exe";
  const Report report = runPrintArgs(request, temp);
  std::filesystem::current_path(saved);
  EXPECT_EQ(report.json.value("cwd", ""), toUtf8(plainPath(temp.path())));
}

TEST(StartProcessTest, RelaunchVariableInheritedInAnotherCaseIsReplaced) {
  ASSERT_TRUE(::SetEnvironmentVariableW(L"loftswitch_relaunch", L"stale"));
  TempFolder temp;
  LaunchRequest request;
  request.program = builtProgram("print-args");
  request.environment = {{"LOFTSWITCH_RELAUNCH", "0123456789abcdef"}};
  const Report report = runPrintArgs(request, temp, "LOFTSWITCH_RELAUNCH");

  // Our own environment is left as it was.
  wchar_t own[64] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"LOFTSWITCH_RELAUNCH", own, 64);
  ::SetEnvironmentVariableW(L"loftswitch_relaunch", nullptr);
  EXPECT_EQ(std::wstring(own, length), L"stale");
  EXPECT_EQ(report.json.value("env", nlohmann::json::array()),
            nlohmann::json::array({"LOFTSWITCH_RELAUNCH=0123456789abcdef"}));
}

TEST(StartProcessTest, MissingProgramFailsWithLaunchFailed) {
  TempFolder temp;
  LaunchRequest request;
  request.program = temp / "missing.exe";
  request.breakaway = true;
  const auto started = startProcess(request);
  EXPECT_THAT(started, FailsWithCode(ErrorCode::launchFailed));
  EXPECT_THAT(started, FailsWithMessageThat(StartsWith("can't start " + pathToUtf8(request.program) + ": ")));
  EXPECT_THAT(started, FailsWithMessageThat(HasSubstr("(2)")));
}

TEST(StartProcessTest, RefusesZeroCharactersThatWouldCutTheCommandLineShort) {
  LaunchRequest request;
  request.program = builtProgram("print-args");
  request.arguments = {"ok", std::string("cut\0off", 7)};
  EXPECT_THAT(startProcess(request),
              FailsWith(ErrorCode::launchFailed, "can't start " + pathToUtf8(request.program) +
                                                     ": argument 2 holds a zero character"));
  request.arguments = {};
  request.environment = {{"A=B", "c"}};
  EXPECT_THAT(startProcess(request), FailsWithCode(ErrorCode::launchFailed));
}

TEST(StartProcessTest, StartsInsideAJobThatForbidsBreakingAway) {
  // start-in-job exits with 10 when its child started inside its job, 11
  // when outside, 1 when startProcess failed.
  LaunchRequest request;
  request.program = builtProgram("start-in-job");
  request.arguments = {pathToUtf8(builtProgram("print-args"))};
  SystemHost host;
  auto app = host.launch(request);
  ASSERT_THAT(app, IsOkay());
  EXPECT_EQ(waitForCode(**app), 10u);
}

}  // namespace
}  // namespace loftswitch
