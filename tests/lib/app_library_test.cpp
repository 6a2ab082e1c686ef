#include "lib/app_library.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lib/app_test_support.h"
#include "loftswitch/app.h"
#include "support/memory_file_system.h"
#include "support/programs.h"
#include "support/run_program.h"

namespace loftswitch::applib {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

MATCHER_P2(FailsAs, code, message, "fails with the given code and message") {
  if (arg) return false;
  *result_listener << "failed with " << arg.error().code << " \"" << arg.error().message << "\"";
  return arg.error().code == code && ::testing::Matches(message)(arg.error().message);
}

class LibraryTest : public AppFolders {};

// Through the C interface as the app calls it, and, for what the package
// holds, through the publisher's check, word for word.
TEST_F(LibraryTest, RefusesWhatAnInstallMustNotBecomeAndLeavesNothingBehind) {
  const std::string v2 = zipOf(packageFiles());
  const auto with = [](const std::string& name, const std::string& content) {
    auto files = packageFiles();
    if (content.empty()) files.erase(name); else files[name] = content;
    return zipOf(files);
  };
  const auto describing = [&](const nlohmann::json& changes) {
    return with("loftswitch.json", description("2.0", changes));
  };
  const std::string noExecutable = with("app.exe", "");
  // Rows with signed fields of their own are the library's alone.
  const struct Row {
    std::string name, package, message, fields{};
    int code = LOFTSWITCH_ERROR_REJECTED;
  } rows[] = {
      {"a byte more", v2 + "x", "the package is larger than its", signFor(v2)},
      {"an untrusted key", v2,
       "the update's signature doesn't verify with any trusted key (the app id, version, "
       "platform and notes are all part of what is signed", signFor(v2, "2.0", "windows-x64", 9)},
      {"another platform", v2, "the package is for linux-x64, which this install doesn't run",
       signFor(v2, "2.0", "linux-x64")},
      {"an older version", v2, "version 0.9 is not newer", signFor(v2, "0.9")},
      {"unsigned fields", v2, "the signed fields: platform must be a string",
       R"({"version": "2.0"})", LOFTSWITCH_ERROR_ARGUMENT},
      {"broken fields", v2, "the signed fields: not valid JSON at line 1, column 11",
       "{\"version\"", LOFTSWITCH_ERROR_ARGUMENT},
      {"no install executable", noExecutable, "the update has no app.exe", signFor(noExecutable)},
      {"a climbing entry", with("../evil.txt", "x"), "package entry \"../evil.txt\" climbs"},
      {"no description", with("loftswitch.json", ""),
       "the package has no loftswitch.json file at its root: the installed version needs one"},
      {"a broken description", with("loftswitch.json", "{\"app\": }"),
       "the package's loftswitch.json: not valid JSON at line 1, column 9"},
      {"another app", describing({{"app", "other"}}),
       "the package's loftswitch.json is for app \"other\", not \"demo\""},
      {"another version", describing({{"version", "2.0.0"}}),
       "the package's loftswitch.json says version \"2.0.0\", but the package is signed as "
       "version \"2.0\""},
      {"no public key", describing({{"publicKeys", nlohmann::json::array()}}),
       "the package's loftswitch.json: publicKeys is empty"},
      {"not its platform", describing({{"platforms", {"linux-x64"}}}),
       "the package's loftswitch.json doesn't list the platform \"windows-x64\""},
      {"its executable missing", describing({{"executable", "bin/app.exe"}}),
       "the package has no bin/app.exe, the executable its loftswitch.json names"},
      {"no tool", with("loftswitch-apply.exe", ""),
       "the package has no loftswitch-apply.exe at its root: the installed version needs it"},
  };
  const std::string package = pathToUtf8(temp / "package.zip");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    writeTestFile(temp / "package.zip", row.package);
    const bool ownFields = !row.fields.empty();
    const std::string fields = ownFields ? row.fields : signFor(row.package);
    char id[LOFTSWITCH_ATTEMPT_ID_SIZE];
    loftswitch_status status{};
    EXPECT_EQ(loftswitch_stage_package(pathToUtf8(install()).c_str(), nullptr, nullptr,
                                       package.c_str(), fields.c_str(), nullptr, id, &status),
              row.code);
    const std::string message = status.message;
    loftswitch_status_free(&status);
    EXPECT_THAT(message, StartsWith(row.message));
    EXPECT_THAT(fs.list(workspace()).value_or(std::vector<std::string>{}),
                ::testing::IsSubsetOf({"lock"}));
    if (ownFields) continue;
    const ProgramRun checked = runProgram(
        builtProgram("loftswitch-pack"),
        {"check", "--app", "demo", "--version", "2.0", "--platform", "windows-x64", package});
    EXPECT_EQ(checked.exitCode, 1);
    EXPECT_EQ(checked.err, "loftswitch-pack: " + message + "\n");
  }
}

// The crash loop: the app finds 2.0, stages it, 2.0 crashes at start and is
// rolled back, the app starts again and finds 2.0 again.
TEST_F(LibraryTest, AVersionRolledBackIsStagedAgainOnlyWhenAskedTo) {
  Journal crashed = journalOf("00000000000000a1", JournalState::rolledBack);
  crashed.outcome = OutcomeRecord{"rolled-back", "exited", "the new version exited with code 3"};
  writeJournal(crashed);
  const auto refusal = StartsWith(
      "version 2.0 was rolled back on this install (exited: the new version exited with code 3)");
  const std::string v2 = zipOf(packageFiles());
  EXPECT_THAT(stage(v2), FailsAs(LOFTSWITCH_ERROR_REJECTED, refusal));
  ASSERT_TRUE(stage(v2, "2.0", R"({"retryRolledBack": true})"));
  // Remembered beyond the journal that told it; a newer version is welcome.
  EXPECT_THAT(stage(v2), FailsAs(LOFTSWITCH_ERROR_REJECTED, refusal));
  EXPECT_TRUE(stage(zipOf(packageFiles("2.1")), "2.1"));
}

// An interrupted swap's moves are the only way back: its journal stays. A
// finished attempt goes, but only once the new journal stands.
TEST_F(LibraryTest, StagesOverAFinishedAttemptButNeverOverAnInterruptedOne) {
  Journal interrupted = journalOf("00000000000000a1", JournalState::swapping);
  interrupted.moves = {Move{Location::target, Location::backup, "app.exe"}};
  writeJournal(interrupted);
  EXPECT_THAT(stage(zipOf(packageFiles())),
              FailsAs(LOFTSWITCH_ERROR_BUSY, HasSubstr("attempt 00000000000000a1 was interrupted")));
  EXPECT_EQ(readJournal(), interrupted);

  writeJournal(journalOf("00000000000000a1", JournalState::swapped));
  ASSERT_TRUE(stage(zipOf(packageFiles())));
  // The unconfirmed attempt evidently runs: it is archived as confirmed.
  const auto archived = *std::filesystem::directory_iterator(workspace() / "logs");
  EXPECT_TRUE(archived.path().filename().string().ends_with("-00000000000000a1-journal.json"));
  EXPECT_EQ(parseJournal(readTestFile(archived.path()))->state, JournalState::confirmed);
}

TEST_F(LibraryTest, ConfirmsItsOwnSwappedAttemptOnceAndLeavesEveryOtherJournalAlone) {
  EXPECT_EQ(confirmStartup(fs, places(), kId, 1000)->kind, LOFTSWITCH_NOT_CONFIRMABLE);
  EXPECT_FALSE(std::filesystem::exists(workspace()));
  const std::string id = kId;
  for (const auto& [journal, kind, message] : std::vector<std::tuple<Journal, int, std::string>>{
           {journalOf(kId, JournalState::swapped), LOFTSWITCH_CONFIRMED,
            "confirmed attempt " + id + ": version 2.0 is installed"},
           {journalOf(kId, JournalState::rolledBack), LOFTSWITCH_NOT_CONFIRMABLE,
            "nothing to confirm: attempt " + id + " is rolled-back"},
           {journalOf("00000000000000b2", JournalState::swapped), LOFTSWITCH_NOT_CONFIRMABLE,
            "nothing to confirm: the journal holds attempt 00000000000000b2, not " + id}}) {
    writeJournal(journal);
    const auto confirmed = confirmStartup(fs, places(), kId, 1000);
    ASSERT_TRUE(confirmed) << confirmed.error().message;
    EXPECT_EQ(confirmed->kind, kind);
    EXPECT_EQ(confirmed->message, message);
    EXPECT_EQ(readJournal().state,
              kind == LOFTSWITCH_CONFIRMED ? JournalState::confirmed : journal.state);
  }
}

TEST_F(LibraryTest, ReportsAnEndedOrBlockedAttemptUntilItIsMarkedReported) {
  writeJournal(journalOf(kId, JournalState::swapped));
  EXPECT_FALSE(readOutcome(fs, places())->present);
  EXPECT_THAT(markReported(fs, places(), kId, 1000),
              FailsAs(LOFTSWITCH_ERROR_NOT_FOUND, HasSubstr("it has no outcome yet")));
  Journal rolledBack = journalOf(kId, JournalState::rolledBack);
  rolledBack.outcome = OutcomeRecord{"rolled-back", "exited", "the new version exited with code 3"};
  Journal blocked = journalOf(kId, JournalState::staged);
  blocked.lastError = "the app (process 4321) didn't exit within 60000 ms";
  for (const auto& [journal, told] : std::vector<std::pair<Journal, std::string>>{
           {rolledBack, "rolled-back|exited|the new version exited with code 3"},
           {blocked, "app-still-running||" + blocked.lastError}}) {
    writeJournal(journal);
    const auto read = readOutcome(fs, places());
    ASSERT_TRUE(read && read->present);
    EXPECT_EQ(read->id + " " + read->from + " " + read->to, std::string(kId) + " 1.0 2.0");
    EXPECT_EQ(read->result + "|" + read->reason + "|" + read->detail, told);
    ASSERT_TRUE(markReported(fs, places(), kId, 1000));
    EXPECT_FALSE(readOutcome(fs, places())->present);
    EXPECT_EQ(readJournal().state, journal.state);
  }
}

// An install that only an administrator can change: a request for the
// helper, the helper and its waiter started, a marker for the confirmation.
TEST_F(LibraryTest, AnAdministratorsInstallGoesThroughARequestAndMarkers) {
  MemoryFileSystem memory;
  memory.addFile(install() / "loftswitch.json", description("1.0"));
  memory.addFile(install() / "loftswitch-apply.exe", "the tool");
  memory.failOn(MemoryFileSystem::Operation::checkWritable, install(),
                Error{ErrorCode::notWritable, "administrators only"});
  const std::filesystem::path user = temp / "user";
  const std::string bytes = zipOf(packageFiles());
  writeTestFile(temp / "package.zip", bytes);
  const auto staged = stagePackage(memory, {install(), user}, std::nullopt, temp / "package.zip",
                                   signFor(bytes), "");
  ASSERT_TRUE(staged) << staged.error().message;
  const std::filesystem::path requestPath = requestFile(user, staged->id);
  const auto request = readUpdateRequest(memory.fileContent(requestPath).value());
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->install, install());
  EXPECT_EQ(request->userWorkspace, user);
  EXPECT_EQ(request->package, temp / "package.zip");
  RecordingStarter starter;
  ASSERT_TRUE(startApply(memory, starter, {install(), user}, staged->id, {}));
  ASSERT_EQ(starter.elevated.size() + starter.started.size(), 2u);
  EXPECT_EQ(starter.elevated[0].program, install() / "loftswitch-apply.exe");
  EXPECT_THAT(starter.elevated[0].arguments,
              ElementsAre("--elevated", "--request", pathToUtf8(requestPath), "--pid", "4321",
                          "--pid-started", "133000000000000000"));
  EXPECT_EQ(memory.fileContent(user / "loftswitch-apply.exe"), "the tool");
  EXPECT_EQ(starter.started[0].program, user / "loftswitch-apply.exe");
  EXPECT_THAT(starter.started[0].arguments,
              ElementsAre("--wait-elevated", "--request", pathToUtf8(requestPath), "--pid", "4321",
                          "--pid-started", "133000000000000000", "--elevated-pid", "777",
                          "--elevated-started", "133000000000000777"));

  const std::string swapped = serializeJournal(journalOf(staged->id, JournalState::swapped));
  memory.addFile(workspace() / "journal.json", swapped);
  EXPECT_EQ(confirmStartup(memory, {install(), user}, staged->id, 0)->kind, LOFTSWITCH_CONFIRMED);
  EXPECT_TRUE(memory.fileContent(user / ("confirmed-" + staged->id)));
  EXPECT_EQ(memory.fileContent(workspace() / "journal.json"), swapped);
}

}  // namespace
}  // namespace loftswitch::applib
