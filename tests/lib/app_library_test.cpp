#include "lib/app_library.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/sha256.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "fs/local_file_system.h"
#include "lib/app_test_support.h"
#include "loftswitch/app.h"
#include "support/held_file.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"
#include "workspace/journal_store.h"

namespace loftswitch::applib {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

MATCHER_P2(FailsAs, code, message, "fails with the given code and message") {
  if (arg) {
    *result_listener << "succeeded";
    return false;
  }
  *result_listener << "failed with " << arg.error().code << " \"" << arg.error().message << "\"";
  return arg.error().code == code && ::testing::Matches(message)(arg.error().message);
}

class StageTest : public AppFolders {};

TEST_F(StageTest, StagesAVerifiedPackageWithAStagedJournal) {
  const auto staged = stage(signFor(v2Package()), R"({"relaunchArgs": ["--after", "a b"],
      "relaunchCwd": "C:\\work", "exitMs": 5000, "confirmMs": 7000})");
  ASSERT_TRUE(staged) << staged.error().message;
  EXPECT_TRUE(isAttemptId(staged->id));
  EXPECT_EQ(staged->message, "staged version 2.0 as attempt " + staged->id);

  const std::filesystem::path stage = workspace() / "stage" / staged->id;
  EXPECT_EQ(readTestFile(stage / "new" / "app.exe"), "version 2");
  EXPECT_EQ(readTestFile(stage / "new" / "data" / "readme.txt"), "read me");
  EXPECT_FALSE(std::filesystem::exists(workspace() / "incoming"));

  const auto journal = loadJournal(fs, workspaceForInstall(install(), Layout::folder));
  ASSERT_TRUE(journal);
  EXPECT_EQ(journal->id, staged->id);
  EXPECT_EQ(journal->state, JournalState::staged);
  EXPECT_EQ(journal->app + " " + journal->from + " " + journal->to + " " + journal->executable,
            "demo 1.0 2.0 app.exe");
  EXPECT_THAT(journal->preserve, ElementsAre("settings"));
  EXPECT_EQ(journal->package, toHex(Sha256::digest(v2Package())));
  EXPECT_EQ(journal->relaunch, (Relaunch{{"--after", "a b"}, "C:\\work"}));
  EXPECT_EQ(journal->timeouts.exitMs, 5000);
  EXPECT_EQ(journal->timeouts.confirmMs, 7000);
}

TEST_F(StageTest, RefusesWhatTheElevatedHelperWouldAndLeavesNothingBehind) {
  const std::string v2 = v2Package();
  std::string tampered = v2;
  tampered[tampered.size() / 2] ^= 1;
  const std::string climbing = ZipBuilder().file("app.exe", "v2").file("../../evil.txt", "x").build();
  ZipBuilderEntry damaged;
  damaged.name = "app.exe";
  damaged.content = "version 2";
  damaged.crc32 = 1;
  const std::string damagedZip = ZipBuilder().file("data/a.txt", "a").add(damaged).build();
  const std::string noExecutable = ZipBuilder().file("other.exe", "v2").build();
  const struct {
    std::string package;
    std::string signedFields;
    int code;
    std::string message;
  } cases[] = {
      {tampered, signFor(v2), LOFTSWITCH_ERROR_REJECTED,
       "the package's SHA-256 doesn't match the signed one"},
      {v2 + "x", signFor(v2), LOFTSWITCH_ERROR_REJECTED,
       "the package is larger than its signed size"},
      {v2, signFor(v2, "2.0", "windows-x64", 9), LOFTSWITCH_ERROR_REJECTED,
       "the update's signature doesn't verify with any trusted key"},
      {v2, signFor(v2, "2.0", "linux-x64"), LOFTSWITCH_ERROR_REJECTED,
       "the package is for linux-x64, which this install doesn't run"},
      {v2, signFor(v2, "0.9"), LOFTSWITCH_ERROR_REJECTED,
       "version 0.9 is not newer than the installed 1.0"},
      {climbing, signFor(climbing), LOFTSWITCH_ERROR_REJECTED, "package entry \"../../evil.txt\""},
      {damagedZip, signFor(damagedZip), LOFTSWITCH_ERROR_REJECTED,
       "package entry \"app.exe\" is damaged"},
      {noExecutable, signFor(noExecutable), LOFTSWITCH_ERROR_REJECTED, "the update has no app.exe"},
      {v2, R"({"version": "2.0"})", LOFTSWITCH_ERROR_ARGUMENT, "the update request: "},
  };
  for (const auto& refusal : cases) {
    SCOPED_TRACE(refusal.message);
    writeTestFile(temp / "package.zip", refusal.package);
    EXPECT_THAT(stage(refusal.signedFields), FailsAs(refusal.code, StartsWith(refusal.message)));
    EXPECT_FALSE(std::filesystem::exists(workspace() / "stage"));
    EXPECT_FALSE(std::filesystem::exists(workspace() / "incoming"));
    EXPECT_FALSE(std::filesystem::exists(workspace() / "journal.json"));
    EXPECT_FALSE(std::filesystem::exists(workspace() / "evil.txt"));
    EXPECT_FALSE(std::filesystem::exists(temp / "evil.txt"));
  }
}

TEST_F(StageTest, RefusesToStageOverAnInterruptedSwapAndKeepsItsJournal) {
  Journal interrupted = journalOf("00000000000000a1", JournalState::swapping);
  interrupted.moves = {Move{Location::target, Location::backup, "app.exe"}};
  writeJournal(interrupted);
  const std::string before = readTestFile(workspace() / "journal.json");
  EXPECT_THAT(stage(signFor(v2Package())),
              FailsAs(LOFTSWITCH_ERROR_BUSY, HasSubstr("attempt 00000000000000a1 was interrupted")));
  EXPECT_EQ(readTestFile(workspace() / "journal.json"), before);
  EXPECT_FALSE(std::filesystem::exists(workspace() / "stage"));
}

TEST_F(StageTest, RetiresAFinishedAttemptOnlyOnceTheNewJournalStands) {
  writeJournal(journalOf("00000000000000a1", JournalState::swapped));
  writeTestFile(workspace() / "backup" / "00000000000000a1" / "app.exe", "version 0");
  writeTestFile(workspace() / "stage" / "00000000000000a1" / "replaced" / "x", "x");
  const auto staged = stage(signFor(v2Package()));
  ASSERT_TRUE(staged) << staged.error().message;
  EXPECT_FALSE(std::filesystem::exists(workspace() / "backup" / "00000000000000a1"));
  EXPECT_FALSE(std::filesystem::exists(workspace() / "stage" / "00000000000000a1"));
  // The unconfirmed attempt evidently runs: it is archived as confirmed.
  std::vector<std::filesystem::path> archived;
  for (const auto& entry : std::filesystem::directory_iterator(workspace() / "logs")) {
    archived.push_back(entry.path());
  }
  ASSERT_EQ(archived.size(), 1u);
  EXPECT_TRUE(archived[0].filename().string().ends_with("-00000000000000a1-journal.json"));
  const auto old = parseJournal(readTestFile(archived[0]));
  ASSERT_TRUE(old);
  EXPECT_EQ(old->state, JournalState::confirmed);
}

TEST_F(StageTest, AnInstallOnlyAnAdministratorCanChangeGetsARequestInstead) {
  ReadOnlyInstall readOnly(install());
  const std::filesystem::path user = temp / "user" / ".loftswitch";
  const std::string bytes = v2Package();
  std::string tampered = bytes;
  tampered[10] ^= 1;
  writeTestFile(temp / "package.zip", tampered);
  EXPECT_THAT(stagePackage(readOnly, AppPlaces{install(), user}, std::nullopt,
                           temp / "package.zip", signFor(bytes), ""),
              FailsAs(LOFTSWITCH_ERROR_REJECTED, "the package's SHA-256 doesn't match the signed one"));
  EXPECT_FALSE(std::filesystem::exists(user));

  writeTestFile(temp / "package.zip", bytes);
  const auto staged = stagePackage(readOnly, AppPlaces{install(), user}, std::nullopt,
                                   temp / "package.zip", signFor(bytes), "");
  ASSERT_TRUE(staged) << staged.error().message;
  EXPECT_FALSE(std::filesystem::exists(workspace()));
  auto request = readUpdateRequest(readTestFile(requestFile(user, staged->id)));
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(request->id, staged->id);
  EXPECT_EQ(request->install, install());
  EXPECT_EQ(request->userWorkspace, user);
  EXPECT_EQ(request->package, temp / "package.zip");
  EXPECT_EQ(request->version, "2.0");
  EXPECT_EQ(request->executable, "app.exe");
  EXPECT_TRUE(verifyPackageSignature("demo", *request, std::vector{publicKey(1)}));
}

class ConfirmTest : public AppFolders {};

TEST_F(ConfirmTest, ConfirmsASwappedAttemptOnceAndSaysSoTheSecondTime) {
  writeJournal(journalOf(kId, JournalState::swapped));
  const auto first = confirmStartup(fs, places(), kId, 1000);
  ASSERT_TRUE(first) << first.error().message;
  EXPECT_EQ(first->kind, LOFTSWITCH_CONFIRMED);
  auto journal = readJournal();
  EXPECT_EQ(journal.state, JournalState::confirmed);
  EXPECT_EQ(journal.outcome, (OutcomeRecord{"updated", "", ""}));
  EXPECT_FALSE(journal.reported);

  const std::string before = readTestFile(workspace() / "journal.json");
  const auto second = confirmStartup(fs, places(), kId, 1000);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->kind, LOFTSWITCH_ALREADY_CONFIRMED);
  EXPECT_EQ(readTestFile(workspace() / "journal.json"), before);
}

TEST_F(ConfirmTest, LeavesEveryJournalButItsOwnSwappedOneAlone) {
  const std::string relaunch = kId;
  for (const auto& [journal, message] : std::vector<std::pair<Journal, std::string>>{
           {journalOf(kId, JournalState::rolledBack), "nothing to confirm: attempt " + relaunch + " is rolled-back"},
           {journalOf(kId, JournalState::rollingBack), "nothing to confirm: attempt " + relaunch + " is rolling-back"},
           {journalOf(kId, JournalState::staged), "nothing to confirm: attempt " + relaunch + " is staged"},
           {journalOf("00000000000000b2", JournalState::swapped),
            "nothing to confirm: the journal holds attempt 00000000000000b2, not " + relaunch}}) {
    writeJournal(journal);
    const std::string before = readTestFile(workspace() / "journal.json");
    const auto confirmed = confirmStartup(fs, places(), kId, 1000);
    ASSERT_TRUE(confirmed) << confirmed.error().message;
    EXPECT_EQ(confirmed->kind, LOFTSWITCH_NOT_CONFIRMABLE);
    EXPECT_EQ(confirmed->message, message);
    EXPECT_EQ(readTestFile(workspace() / "journal.json"), before);
  }
}

TEST_F(ConfirmTest, AStartThatIsNoRelaunchTouchesNothing) {
  const auto confirmed = confirmStartup(fs, places(), "", 1000);
  ASSERT_TRUE(confirmed);
  EXPECT_EQ(confirmed->kind, LOFTSWITCH_NOT_RELAUNCHED);
  EXPECT_FALSE(std::filesystem::exists(workspace()));
  // A program that inherited the variable but belongs to no updated install.
  const auto inherited = confirmStartup(fs, places(), kId, 1000);
  ASSERT_TRUE(inherited) << inherited.error().message;
  EXPECT_EQ(inherited->kind, LOFTSWITCH_NOT_CONFIRMABLE);
  EXPECT_FALSE(std::filesystem::exists(workspace()));
  EXPECT_THAT(confirmStartup(fs, places(), "0123456789ABCDEF", 1000),
              FailsAs(LOFTSWITCH_ERROR_ARGUMENT, StartsWith("LOFTSWITCH_RELAUNCH \"0123456789ABCDEF\"")));
}

TEST_F(ConfirmTest, WaitsForALockedJournalThenSaysWhyItCouldNotConfirm) {
  writeJournal(journalOf(kId, JournalState::swapped));
  writeTestFile(workspace() / "lock", "");
  const std::string before = readTestFile(workspace() / "journal.json");
  {
    HeldFile update("exclusive", workspace() / "lock");
    ASSERT_TRUE(update.held());
    EXPECT_THAT(confirmStartup(fs, places(), kId, 100),
                FailsAs(LOFTSWITCH_ERROR_BUSY,
                        "can't confirm attempt " + std::string(kId) +
                            ": another update is in progress (" +
                            pathToUtf8(workspace() / "lock") + " is locked)"));
    EXPECT_EQ(readTestFile(workspace() / "journal.json"), before);
  }
  // An update that lets go within the wait does not stop the confirmation.
  HeldFile briefly("exclusive", workspace() / "lock", 300);
  ASSERT_TRUE(briefly.held());
  const auto confirmed = confirmStartup(fs, places(), kId, 30000);
  ASSERT_TRUE(confirmed) << confirmed.error().message;
  EXPECT_EQ(confirmed->kind, LOFTSWITCH_CONFIRMED);
}

TEST_F(ConfirmTest, AnAdministratorsAttemptIsConfirmedByAMarkerInTheUserWorkspace) {
  const std::filesystem::path user = temp / "user";
  writeTestFile(requestFile(user, kId), "{}");
  writeJournal(journalOf(kId, JournalState::swapped));
  const std::string before = readTestFile(workspace() / "journal.json");
  const AppPlaces elevated{install(), user};
  const auto first = confirmStartup(fs, elevated, kId, 0);
  ASSERT_TRUE(first) << first.error().message;
  EXPECT_EQ(first->kind, LOFTSWITCH_CONFIRMED);
  EXPECT_TRUE(std::filesystem::exists(user / ("confirmed-" + std::string(kId))));
  EXPECT_EQ(readTestFile(workspace() / "journal.json"), before);
  const auto second = confirmStartup(fs, elevated, kId, 0);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->kind, LOFTSWITCH_ALREADY_CONFIRMED);
}

class ReportedOutcomeTest : public AppFolders {};

TEST_F(ReportedOutcomeTest, ReportsAnOutcomeUntilItIsMarkedReported) {
  writeJournal(journalOf(kId, JournalState::swapped));
  auto read = readOutcome(fs, places());
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->present);
  EXPECT_THAT(markReported(fs, places(), kId, 1000),
              FailsAs(LOFTSWITCH_ERROR_NOT_FOUND, HasSubstr("it has no outcome yet")));
  EXPECT_FALSE(readJournal().reported);

  Journal journal = journalOf(kId, JournalState::rolledBack);
  journal.outcome = OutcomeRecord{"rolled-back", "exited", "the new version exited with code 3"};
  writeJournal(journal);
  read = readOutcome(fs, places());
  ASSERT_TRUE(read);
  ASSERT_TRUE(read->present);
  EXPECT_EQ(read->id + " " + read->from + " " + read->to, std::string(kId) + " 1.0 2.0");
  EXPECT_EQ(read->result + "|" + read->reason + "|" + read->detail,
            "rolled-back|exited|the new version exited with code 3");

  EXPECT_THAT(markReported(fs, places(), "00000000000000b2", 1000),
              FailsAs(LOFTSWITCH_ERROR_NOT_FOUND, HasSubstr("the journal holds attempt " + std::string(kId))));
  ASSERT_TRUE(markReported(fs, places(), kId, 1000));
  EXPECT_TRUE(readJournal().reported);
  EXPECT_EQ(readJournal().outcome, journal.outcome);
  read = readOutcome(fs, places());
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->present);
}

TEST_F(ReportedOutcomeTest, ReportsWhatTheWaiterLeftWhenTheHelperNeverRan) {
  const std::filesystem::path user = temp / "user";
  writeTestFile(user / ("outcome-" + std::string(kId) + ".json"),
                R"({"detail":"the administrator helper stopped before it changed anything","reason":"elevation-failed","result":"rolled-back"})");
  const AppPlaces elevated{install(), user};
  auto read = readOutcome(fs, elevated);
  ASSERT_TRUE(read);
  ASSERT_TRUE(read->present);
  EXPECT_EQ(read->id, kId);
  EXPECT_EQ(read->reason, "elevation-failed");
  ASSERT_TRUE(markReported(fs, elevated, kId, 0));
  read = readOutcome(fs, elevated);
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->present);
}

class StartApplyTest : public AppFolders {};

TEST_F(StartApplyTest, StartsACopyOfTheToolInTheWorkspaceForAStagedAttemptOnly) {
  writeTestFile(install() / "loftswitch-apply.exe", "the tool");
  RecordingStarter starter;
  EXPECT_THAT(startApply(fs, starter, places(), kId, {}),
              FailsAs(LOFTSWITCH_ERROR_NOT_FOUND,
                      StartsWith("attempt " + std::string(kId) + " is not staged")));
  writeJournal(journalOf(kId, JournalState::swapped));
  EXPECT_THAT(startApply(fs, starter, places(), kId, {}),
              FailsAs(LOFTSWITCH_ERROR_NOT_FOUND, HasSubstr(", swapped")));
  EXPECT_TRUE(starter.started.empty());
  EXPECT_FALSE(std::filesystem::exists(workspace() / "loftswitch-apply.exe"));

  writeJournal(journalOf(kId, JournalState::staged));
  const auto started = startApply(fs, starter, places(), kId, {});
  ASSERT_TRUE(started) << started.error().message;
  ASSERT_EQ(starter.started.size(), 1u);
  const LaunchRequest& request = starter.started[0];
  EXPECT_EQ(request.program, workspace() / "loftswitch-apply.exe");
  EXPECT_EQ(readTestFile(request.program), "the tool");
  EXPECT_THAT(request.arguments,
              ElementsAre("--work", pathToUtf8(workspace()), "--id", kId, "--pid", "4321",
                          "--pid-started", "133000000000000000"));
  EXPECT_EQ(request.workingFolder, workspace());
  EXPECT_TRUE(request.breakaway);
}

TEST_F(StartApplyTest, AnAdministratorsAttemptStartsTheHelperAndTheWaiter) {
  const std::filesystem::path user = temp / "user";
  writeTestFile(install() / "loftswitch-apply.exe", "the tool");
  writeTestFile(requestFile(user, kId), "{}");
  RecordingStarter starter;
  const auto started = startApply(fs, starter, AppPlaces{install(), user}, kId, {});
  ASSERT_TRUE(started) << started.error().message;
  const std::string request = pathToUtf8(requestFile(user, kId));
  ASSERT_EQ(starter.elevated.size(), 1u);
  EXPECT_EQ(starter.elevated[0].program, install() / "loftswitch-apply.exe");
  EXPECT_THAT(starter.elevated[0].arguments,
              ElementsAre("--elevated", "--request", request, "--pid", "4321", "--pid-started",
                          "133000000000000000"));
  ASSERT_EQ(starter.started.size(), 1u);
  EXPECT_EQ(starter.started[0].program, user / "loftswitch-apply.exe");
  EXPECT_EQ(readTestFile(user / "loftswitch-apply.exe"), "the tool");
  EXPECT_THAT(starter.started[0].arguments,
              ElementsAre("--wait-elevated", "--request", request, "--pid", "4321",
                          "--pid-started", "133000000000000000", "--elevated-pid", "777",
                          "--elevated-started", "133000000000000777"));

  // A declined prompt starts no waiter.
  RecordingStarter declined;
  declined.elevatedFailure =
      Error{ErrorCode::launchFailed, "the operation was canceled by the user (1223)"};
  EXPECT_THAT(startApply(fs, declined, AppPlaces{install(), user}, kId, {}),
              FailsAs(LOFTSWITCH_ERROR_LAUNCH, "the administrator's helper didn't start: the "
                                               "operation was canceled by the user (1223)"));
  EXPECT_TRUE(declined.started.empty());
}

}  // namespace
}  // namespace loftswitch::applib
