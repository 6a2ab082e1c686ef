#include "elevated/elevated.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/sha256.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "fs/local_file_system.h"
#include "support/fake_host.h"
#include "support/matchers.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"
#include "workspace/journal_store.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr char kId[] = "0123456789abcdef";
constexpr char kPreviousId[] = "fedcba9876543210";

Ed25519Seed testSeed() {
  Ed25519Seed seed;
  seed.fill(0x42);
  return seed;
}

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::map<std::string, std::string> filesBelow(const std::filesystem::path& root) {
  std::map<std::string, std::string> files;
  if (!std::filesystem::exists(root)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string relative = entry.path().lexically_relative(root).generic_string();
    if (relative.starts_with(".loftswitch")) continue;
    files[relative] = entry.is_regular_file() ? readTestFile(entry.path()) : "/";
  }
  return files;
}

// An extraction that fails the way the disk or the permissions would.
class FailingExtraction : public Elevated {
 public:
  FailingExtraction(const UpdateRequest& request, FileSystem& fileSystem, ApplyHost& host,
                    const LogSink& log, const ElevatedConfig& config, Error error)
      : Elevated(request, std::nullopt, fileSystem, host, log, config), error_(std::move(error)) {}
  Result<Unit> extractVerified(const std::filesystem::path&) override { return fail(error_); }

 private:
  Error error_;
};

class ElevatedTest : public ::testing::Test {
 public:
  ElevatedTest() {
    install_ = temp_ / "App";
    writeTestFile(install_ / "demo.exe", "old exe");
    writeTestFile(install_ / "lib" / "data.txt", "old data");
    writeTestFile(install_ / "settings.ini", "mine");
    writeDescription("1.0.0", {"windows-x64"});
    std::filesystem::create_directories(temp_ / "user");

    request_.id = kId;
    request_.version = "1.1.0";
    request_.platform = "windows-x64";
    request_.package = temp_ / "download" / "package.zip";
    request_.install = install_;
    request_.userWorkspace = temp_ / "user";
    request_.executable = "demo.exe";
    request_.relaunchArgs = {"--updated"};
    request_.exitMs = 5000;
    request_.confirmMs = 10000;
    setPackage(ZipBuilder()
                   .file("demo.exe", "new exe")
                   .file("lib/data.txt", "new data")
                   .file("settings.ini", "theirs")
                   .build());

    config_.installFolder = install_;
    config_.folderCheck = [this](const std::filesystem::path& folder) -> Result<Unit> {
      checked_.push_back(folder);
      if (auto failure = checkFailures_.find(folder); failure != checkFailures_.end()) {
        return fail(ErrorCode::accessDenied, failure->second);
      }
      return Unit{};
    };
    config_.folderRestrict = [this](const std::filesystem::path& folder) -> Result<Unit> {
      restricted_.push_back(folder);
      restrictedHadContent_ = std::filesystem::exists(folder) && !std::filesystem::is_empty(folder);
      return Unit{};
    };
    config_.lockWaitMs = 0;
  }

  void writeDescription(const std::string& version, const std::vector<std::string>& platforms) {
    const auto key = ed25519PublicKey(testSeed());
    ASSERT_TRUE(key.has_value());
    const nlohmann::json description = {
        {"loftswitch_install", 1},     {"app", "demo"},
        {"version", version},          {"publicKeys", {encodeBase64(*key)}},
        {"executable", "demo.exe"},    {"platforms", platforms},
        {"preserve", {"settings.ini"}}};
    writeTestFile(install_ / "loftswitch.json", description.dump());
  }

  // Writes the package and signs the request for exactly these bytes.
  void setPackage(const std::string& bytes) {
    writeTestFile(request_.package, bytes);
    request_.size = bytes.size();
    request_.sha256 = Sha256::digest(bytes);
    sign();
  }

  void sign() {
    const auto signature = ed25519Sign(testSeed(), bytesOf(buildSignedMessage("demo", request_)));
    ASSERT_TRUE(signature.has_value());
    request_.signature = *signature;
  }

  Workspace workspace() const { return workspaceForInstall(install_, Layout::folder); }

  RunOutcome runHelper() {
    Elevated helper(request_, app_, fileSystem_, host_, sink_, config_);
    return helper.run();
  }

  Journal journal() {
    auto loaded = loadJournal(fileSystem_, workspace());
    EXPECT_THAT(loaded, IsOkay());
    return loaded.value_or(Journal{});
  }

  void saveJournalAs(const Journal& journal) {
    ASSERT_THAT(saveJournal(fileSystem_, workspace(), journal, {}), IsOkay());
  }

  Journal previousJournal(JournalState state) {
    Journal previous;
    previous.id = kPreviousId;
    previous.app = "demo";
    previous.from = "0.9.0";
    previous.to = "1.0.0";
    previous.executable = "demo.exe";
    previous.state = state;
    return previous;
  }

  void expectRefused(const std::string& reason, ::testing::Matcher<const std::string&> detail) {
    const auto before = filesBelow(install_);
    EXPECT_EQ(runHelper(), RunOutcome::rolledBack);
    const Journal refused = journal();
    EXPECT_EQ(refused.id, kId);
    EXPECT_EQ(refused.state, JournalState::rolledBack);
    ASSERT_TRUE(refused.outcome.has_value());
    EXPECT_EQ(refused.outcome->result, "rolled-back");
    EXPECT_EQ(refused.outcome->reason, reason);
    EXPECT_THAT(refused.outcome->detail, detail);
    EXPECT_TRUE(refused.moves.empty());
    EXPECT_EQ(filesBelow(install_), before);
    EXPECT_FALSE(std::filesystem::exists(stageFolder(workspace(), kId)));
    EXPECT_FALSE(std::filesystem::exists(workspace().workspacePath / "elevated" / kId));
    EXPECT_EQ(lines_.back(), "refusing the update (" + reason + "): " + refused.outcome->detail);
    EXPECT_TRUE(host_.launches().empty());
    (void)std::filesystem::remove(journalPath(workspace()));
  }

  void expectUpdated() {
    EXPECT_EQ(readTestFile(install_ / "demo.exe"), "new exe");
    EXPECT_EQ(readTestFile(install_ / "lib" / "data.txt"), "new data");
    EXPECT_EQ(readTestFile(install_ / "settings.ini"), "mine");
  }

  void expectPrevious() {
    EXPECT_EQ(filesBelow(install_),
              (std::map<std::string, std::string>{
                  {"demo.exe", "old exe"},
                  {"lib", "/"},
                  {"lib/data.txt", "old data"},
                  {"loftswitch.json", readTestFile(install_ / "loftswitch.json")},
                  {"settings.ini", "mine"}}));
  }

  void markerAfter(std::int64_t ms, const std::string& name, const std::string& content) {
    host_.after(ms, [this, name, content] { writeTestFile(temp_ / "user" / name, content); });
  }

  TempFolder temp_;
  std::filesystem::path install_;
  UpdateRequest request_;
  ElevatedConfig config_;
  std::optional<ProcessIdentity> app_;
  LocalFileSystem fileSystem_;
  FakeHost host_;
  std::vector<std::string> lines_;
  LogSink sink_ = [this](std::string_view line) { lines_.emplace_back(line); };
  std::vector<std::filesystem::path> checked_;
  std::map<std::filesystem::path, std::string> checkFailures_;
  std::vector<std::filesystem::path> restricted_;
  bool restrictedHadContent_ = true;
};

TEST_F(ElevatedTest, InstallsASignedPackageAndWaitsForTheConfirmedMarker) {
  markerAfter(700, std::string("confirmed-") + kId, "");
  EXPECT_EQ(runHelper(), RunOutcome::updated);
  expectUpdated();
  const Journal confirmed = journal();
  EXPECT_EQ(confirmed.state, JournalState::confirmed);
  EXPECT_EQ(confirmed.outcome, (OutcomeRecord{"updated", "", ""}));
  EXPECT_EQ(confirmed.from, "1.0.0");
  EXPECT_EQ(confirmed.to, "1.1.0");
  EXPECT_EQ(confirmed.package, toHex(request_.sha256));
  EXPECT_EQ(confirmed.relaunch.args, std::vector<std::string>{"--updated"});
  EXPECT_EQ(confirmed.timeouts.confirmMs, 10000);
  EXPECT_FALSE(confirmed.moves.empty());
  // Checked: the install folder and, once it exists, never again before the
  // lock; the package folder was restricted while still empty.
  EXPECT_THAT(checked_, ElementsAre(install_));
  EXPECT_THAT(restricted_, ElementsAre(workspace().workspacePath / "elevated" / kId));
  EXPECT_FALSE(restrictedHadContent_);
  // This attempt's folders were retired into the trash, its copy deleted.
  EXPECT_FALSE(std::filesystem::exists(stageFolder(workspace(), kId)));
  EXPECT_FALSE(std::filesystem::exists(backupFolder(workspace(), kId)));
  EXPECT_FALSE(std::filesystem::exists(workspace().workspacePath / "elevated" / kId));
  EXPECT_TRUE(host_.launches().empty());
  EXPECT_GE(host_.elapsedMs(), 700);
  EXPECT_THAT(lines_, ::testing::Contains("the new version confirmed the update"));
}

TEST_F(ElevatedTest, AConfirmationAfterARepairRolledTheUpdateBackIsNoSuccess) {
  host_.after(400, [this] {
    Journal repaired = journal();
    repaired.state = JournalState::rolledBack;
    saveJournalAs(repaired);
  });
  markerAfter(700, std::string("confirmed-") + kId, "");
  EXPECT_EQ(runHelper(), RunOutcome::rolledBack);
  EXPECT_EQ(journal().state, JournalState::rolledBack);
}

TEST_F(ElevatedTest, AnExitedMarkerRollsBackWithTheCodeItHolds) {
  markerAfter(300, std::string("exited-") + kId, "-1073741819\r\n");
  EXPECT_EQ(runHelper(), RunOutcome::rolledBack);
  expectPrevious();
  const Journal rolledBack = journal();
  EXPECT_EQ(rolledBack.state, JournalState::rolledBack);
  EXPECT_EQ(rolledBack.outcome,
            (OutcomeRecord{"rolled-back", "exited",
                           "the new version exited with code -1073741819 before it finished "
                           "starting"}));
  EXPECT_TRUE(host_.launches().empty());
}

TEST_F(ElevatedTest, AnExitedMarkerWithoutANumberSaysUnknown) {
  markerAfter(300, std::string("exited-") + kId, "-x");
  EXPECT_EQ(runHelper(), RunOutcome::rolledBack);
  EXPECT_EQ(journal().outcome->detail,
            "the new version exited with code unknown before it finished starting");
}

TEST_F(ElevatedTest, NoWordUntilTheDeadlineLeavesTheUpdateSwapped) {
  EXPECT_EQ(runHelper(), RunOutcome::unconfirmed);
  expectUpdated();
  EXPECT_EQ(journal().state, JournalState::swapped);
  EXPECT_GE(host_.elapsedMs(), 10000);
  EXPECT_THAT(lines_, ::testing::Contains("no word from the new version yet; its startup() will "
                                          "confirm when it gets there"));
  // The next request finds it swapped: it counts as confirmed, is retired and
  // archived, and the new request installs.
  const Journal left = journal();
  writeDescription("1.1.0", {"windows-x64"});
  request_.id = "00000000000000aa";
  request_.version = "1.2.0";
  setPackage(ZipBuilder().file("demo.exe", "newer exe").build());
  EXPECT_EQ(runHelper(), RunOutcome::unconfirmed);
  EXPECT_EQ(readTestFile(install_ / "demo.exe"), "newer exe");
  EXPECT_FALSE(std::filesystem::exists(backupFolder(workspace(), kId)));
  EXPECT_FALSE(std::filesystem::exists(trashFolder(workspace())));
  std::vector<std::string> archived;
  for (const auto& entry : std::filesystem::directory_iterator(logsFolder(workspace()))) {
    archived.push_back(entry.path().filename().string());
  }
  ASSERT_EQ(archived.size(), 1u);
  EXPECT_TRUE(archived[0].ends_with(std::string("-") + kId + "-journal.json"));
  auto archivedJournal = parseJournal(readTestFile(logsFolder(workspace()) / archived[0]));
  ASSERT_THAT(archivedJournal, IsOkay());
  EXPECT_EQ(archivedJournal->state, JournalState::confirmed);
  EXPECT_EQ(archivedJournal->outcome, (OutcomeRecord{"updated", "", ""}));
  EXPECT_EQ(archivedJournal->moves, left.moves);
}

TEST_F(ElevatedTest, RefusesUpdatesThatFailACheckWithoutTouchingTheInstall) {
  using ::testing::Eq;
  using ::testing::StartsWith;
  struct Case {
    const char* name;
    std::function<void(ElevatedTest&)> change;
    ::testing::Matcher<const std::string&> detail;
  };
  const auto editPackage = [](std::function<void(std::string&)> edit) {
    return [edit](ElevatedTest& t) {
      std::string bytes = readTestFile(t.request_.package);
      edit(bytes);
      writeTestFile(t.request_.package, bytes);
    };
  };
  const auto resign = [](std::function<void(UpdateRequest&)> edit) {
    return [edit](ElevatedTest& t) {
      edit(t.request_);
      t.sign();
    };
  };
  const std::string size = std::to_string(request_.size);
  const std::string shorter = std::to_string(request_.size - 1);
  const std::vector<Case> cases = {
      {"unsigned", [](ElevatedTest& t) { t.request_.signature[5] ^= 1; },
       Eq("the update's signature doesn't verify with any trusted key")},
      {"same version", resign([](UpdateRequest& r) { r.version = "1.0.0"; }),
       Eq("version 1.0.0 is not newer than the installed 1.0.0")},
      {"older version", resign([](UpdateRequest& r) { r.version = "v0.9"; }),
       Eq("version v0.9 is not newer than the installed 1.0.0")},
      {"platform", resign([](UpdateRequest& r) { r.platform = "windows-arm64"; }),
       Eq("the package is for windows-arm64, which this install doesn't run")},
      {"size limit", [](ElevatedTest& t) { t.config_.packageSizeLimit = t.request_.size - 1; },
       Eq("the package is larger than the limit")},
      {"grown copy", editPackage([](std::string& bytes) { bytes += "x"; }),
       Eq("the package couldn't be copied for verification: the package is larger than its "
          "signed size")},
      {"missing package", [](ElevatedTest& t) { std::filesystem::remove(t.request_.package); },
       StartsWith("the package couldn't be copied for verification: ")},
      {"short copy", editPackage([](std::string& bytes) { bytes.pop_back(); }),
       Eq("the package is " + shorter + " bytes, not the signed " + size)},
      {"digest", editPackage([](std::string& bytes) { bytes[bytes.size() / 2] ^= 1; }),
       Eq("the package's SHA-256 doesn't match the signed one")},
      {"no executable",
       [](ElevatedTest& t) { t.setPackage(ZipBuilder().file("other.exe", "x").build()); },
       Eq("the update has no demo.exe")},
  };
  for (const Case& refusal : cases) {
    SCOPED_TRACE(refusal.name);
    const UpdateRequest original = request_;
    const std::string packageBytes = readTestFile(request_.package);
    const ElevatedConfig originalConfig = config_;
    refusal.change(*this);
    expectRefused("rejected", refusal.detail);
    request_ = original;
    config_ = originalConfig;
    writeTestFile(request_.package, packageBytes);
  }
  // A package exactly at the limit passes the size check.
  config_.packageSizeLimit = request_.size;
  EXPECT_EQ(runHelper(), RunOutcome::unconfirmed);
}

ZipBuilderEntry entryNamed(std::string name, std::string content) {
  ZipBuilderEntry entry;
  entry.name = std::move(name);
  entry.content = std::move(content);
  return entry;
}

TEST_F(ElevatedTest, RefusesEveryKindOfBadEntry) {
  struct Case {
    ZipBuilderEntry entry;
    std::string detail;
  };
  ZipBuilderEntry link = entryNamed("lib/current", "data.txt");
  link.externalAttributes = unixMode(0120777);
  link.method = 0;
  const std::vector<Case> cases = {
      {entryNamed("/etc/passwd", "x"), "package entry \"/etc/passwd\" is an absolute path"},
      {entryNamed("C:evil.exe", "x"),
       "package entry \"C:evil.exe\" contains ':' (a drive letter or an "
       "alternate data stream)"},
      {entryNamed("lib/../../evil.exe", "x"),
       "package entry \"lib/../../evil.exe\" climbs with \"..\""},
      {entryNamed(".LoftSwitch/journal.json", "{}"),
       "package entry \".LoftSwitch/journal.json\" uses the reserved name .loftswitch"},
      {entryNamed("lib/con.txt", "x"),
       "package entry \"lib/con.txt\" uses the Windows device name \"con.txt\""},
      {entryNamed("lib/a?.txt", "x"),
       "package entry \"lib/a?.txt\" contains '?', which Windows forbids"},
      {entryNamed("lib/trailing. ", "x"),
       "package entry \"lib/trailing. \" has a component ending in '.' or a space, which Windows "
       "strips"},
      {entryNamed("LIB/DATA.TXT", "twice"), ""},
      {link, ""},
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.entry.name);
    setPackage(ZipBuilder()
                   .file("demo.exe", "new exe")
                   .file("lib/data.txt", "new data")
                   .add(bad.entry)
                   .build());
    if (bad.detail.empty()) {
      expectRefused("rejected", HasSubstr(bad.entry.name));
    } else {
      expectRefused("rejected", bad.detail);
    }
  }
}

TEST_F(ElevatedTest, ExtractionLimitsComeFromTheConfiguration) {
  config_.entryLimit = 2;
  expectRefused("rejected", "the package has 3 entries, more than the limit of 2");
}

TEST_F(ElevatedTest, AccessDeniedAndDiskFullDuringExtractionAreIoFailures) {
  for (const Error& error : {Error{ErrorCode::accessDenied, "can't create x: access is denied"},
                             Error{ErrorCode::diskFull, "can't write x: the disk is full"},
                             Error{ErrorCode::badLayout, "package entry \"x\" is bad"}}) {
    SCOPED_TRACE(error.message);
    FailingExtraction helper(request_, fileSystem_, host_, sink_, config_, error);
    EXPECT_EQ(helper.run(), RunOutcome::rolledBack);
    const char* reason = error.code == ErrorCode::badLayout ? "rejected" : "io";
    EXPECT_EQ(journal().outcome, (OutcomeRecord{"rolled-back", reason, error.message}));
    expectPrevious();
    (void)std::filesystem::remove(journalPath(workspace()));
  }
}

TEST_F(ElevatedTest, ExtractsAFreshStageOverLeftoversOfTheSameAttempt) {
  writeTestFile(stagedFolder(workspace(), kId) / "stale.dll", "left over");
  writeTestFile(stagedFolder(workspace(), kId) / "demo.exe", "stale exe");
  Elevated helper(request_, std::nullopt, fileSystem_, host_, sink_, config_);
  std::filesystem::create_directories(workspace().workspacePath / "elevated");
  std::filesystem::copy_file(request_.package, workspace().workspacePath / "elevated" / "copy.zip");
  ASSERT_THAT(helper.extractVerified(workspace().workspacePath / "elevated" / "copy.zip"),
              IsOkay());
  EXPECT_EQ(filesBelow(stagedFolder(workspace(), kId)),
            (std::map<std::string, std::string>{{"demo.exe", "new exe"},
                                                {"lib", "/"},
                                                {"lib/data.txt", "new data"},
                                                {"settings.ini", "theirs"}}));
}

TEST_F(ElevatedTest, RefusesTheEnvironmentWithoutWritingAnything) {
  // The install folder fails the check.
  checkFailures_[install_] = "Z:\\App can be changed by users who aren't administrators";
  EXPECT_EQ(runHelper(), RunOutcome::refused);
  EXPECT_THAT(lines_, ::testing::Contains("refusing to run elevated: " + checkFailures_[install_]));
  checkFailures_.clear();

  // No install description, then a bad one.
  std::filesystem::rename(install_ / "loftswitch.json", temp_ / "loftswitch.json");
  EXPECT_EQ(runHelper(), RunOutcome::refused);
  EXPECT_THAT(lines_.back(),
              ::testing::StartsWith(
                  "refusing to run elevated: no loftswitch.json in the install folder ("));
  writeTestFile(install_ / "loftswitch.json", R"({"loftswitch_install": 2})");
  EXPECT_EQ(runHelper(), RunOutcome::refused);
  EXPECT_EQ(lines_.back(),
            "refusing to run elevated: loftswitch.json: not a version 1 install description");
  std::filesystem::rename(temp_ / "loftswitch.json", install_ / "loftswitch.json");
  EXPECT_FALSE(std::filesystem::exists(workspace().workspacePath));

  // A workspace that is a file, then one that fails the check.
  writeTestFile(workspace().workspacePath, "");
  EXPECT_EQ(runHelper(), RunOutcome::refused);
  EXPECT_EQ(lines_.back(), "refusing to run elevated: " + pathToUtf8(workspace().workspacePath) +
                               " is a link or a file");
  std::filesystem::remove(workspace().workspacePath);
  std::filesystem::create_directories(workspace().workspacePath);
  checkFailures_[workspace().workspacePath] = "the workspace is open to users";
  EXPECT_EQ(runHelper(), RunOutcome::refused);
  EXPECT_EQ(lines_.back(),
            "refusing to run elevated: the workspace is open to users; an "
            "administrator can delete " +
                pathToUtf8(workspace().workspacePath));
  EXPECT_TRUE(std::filesystem::is_empty(workspace().workspacePath));
  EXPECT_EQ(checked_.back(), workspace().workspacePath);
  EXPECT_EQ(readTestFile(install_ / "demo.exe"), "old exe");
}

TEST_F(ElevatedTest, WaitsForTheAppAndOtherProgramsFromTheInstall) {
  app_ = host_.addProcess("Z:\\elsewhere\\demo.exe", FakeHost::kNever);
  EXPECT_EQ(runHelper(), RunOutcome::appStillRunning);
  EXPECT_THAT(lines_.back(), "the app (process " + std::to_string(app_->pid) + ") didn't exit");
  ASSERT_FALSE(host_.waits().empty());
  EXPECT_EQ(host_.waits().back().timeoutMs, 5000);

  app_.reset();
  const ProcessIdentity helperCopy = host_.addProcess(workspace().workspacePath / "tool.exe");
  const ProcessIdentity other = host_.addProcess(install_ / "plugin.exe", host_.elapsedMs() + 6000);
  EXPECT_EQ(runHelper(), RunOutcome::appStillRunning);
  EXPECT_EQ(lines_.back(), "another program from the install folder is still running (process " +
                               std::to_string(other.pid) + ")");
  // The helper's own copy in the workspace was not waited for; nothing was
  // created before the wait ended.
  EXPECT_NE(lines_.back(), "another program from the install folder is still running (process " +
                               std::to_string(helperCopy.pid) + ")");
  EXPECT_FALSE(std::filesystem::exists(workspace().workspacePath));
}

TEST_F(ElevatedTest, ABusyWorkspaceEndsWithBusy) {
  std::filesystem::create_directories(workspace().workspacePath);
  auto held = acquireWorkspaceLock(lockPath(workspace()), 0);
  ASSERT_THAT(held, IsOkay());
  EXPECT_EQ(runHelper(), RunOutcome::busy);
  EXPECT_FALSE(std::filesystem::exists(journalPath(workspace())));
}

TEST_F(ElevatedTest, SettlesThePreviousJournal) {
  // The same request again: nothing to do, nothing changed.
  Journal same = previousJournal(JournalState::confirmed);
  same.id = kId;
  saveJournalAs(same);
  EXPECT_EQ(runHelper(), RunOutcome::nothingToDo);
  EXPECT_EQ(journal(), same);
  EXPECT_EQ(lines_.back(), "this request was already handled");

  // The same request after a run of it stopped mid-swap: undone, not ignored.
  same.state = JournalState::swapping;
  same.moves = {Move{Location::target, Location::backup, "demo.exe"}};
  saveJournalAs(same);
  std::filesystem::create_directories(backupFolder(workspace(), kId));
  std::filesystem::rename(install_ / "demo.exe", backupFolder(workspace(), kId) / "demo.exe");
  EXPECT_EQ(runHelper(), RunOutcome::rolledBack);
  EXPECT_EQ(readTestFile(install_ / "demo.exe"), "old exe");
  EXPECT_EQ(journal().state, JournalState::rolledBack);
  std::filesystem::remove_all(workspace().workspacePath);

  // An interrupted swap is rolled back, retired and archived before the
  // install: the half-moved file comes back first.
  Journal interrupted = previousJournal(JournalState::swapping);
  interrupted.moves = {Move{Location::target, Location::backup, "lib"}};
  saveJournalAs(interrupted);
  std::filesystem::create_directories(backupFolder(workspace(), kPreviousId));
  std::filesystem::rename(install_ / "lib", backupFolder(workspace(), kPreviousId) / "lib");
  writeTestFile(stageFolder(workspace(), kPreviousId) / "new" / "x", "x");
  writeTestFile(workspace().workspacePath / "trash" / "old" / "x", "x");
  EXPECT_EQ(runHelper(), RunOutcome::unconfirmed);
  expectUpdated();
  EXPECT_THAT(lines_, ::testing::Contains(
                          "rolling back (interrupted): the update was interrupted before it "
                          "finished and has been undone"));
  EXPECT_FALSE(std::filesystem::exists(stageFolder(workspace(), kPreviousId)));
  EXPECT_FALSE(std::filesystem::exists(backupFolder(workspace(), kPreviousId)));
  EXPECT_FALSE(std::filesystem::exists(workspace().workspacePath / "trash" / "old"));
  std::vector<std::string> archived;
  for (const auto& entry : std::filesystem::directory_iterator(logsFolder(workspace()))) {
    archived.push_back(readTestFile(entry.path()));
  }
  ASSERT_EQ(archived.size(), 1u);
  auto settled = parseJournal(archived[0]);
  ASSERT_THAT(settled, IsOkay());
  EXPECT_EQ(settled->id, kPreviousId);
  EXPECT_EQ(settled->state, JournalState::rolledBack);
  EXPECT_EQ(settled->outcome->reason, "interrupted");
}

TEST_F(ElevatedTest, ArchivesAFinishedPreviousAttemptUnchanged) {
  for (JournalState state :
       {JournalState::staged, JournalState::confirmed, JournalState::rolledBack}) {
    SCOPED_TRACE(std::string(stateName(state)));
    TempFolder fresh;
    install_ = fresh / "App";
    config_.installFolder = install_;
    writeTestFile(install_ / "demo.exe", "old exe");
    writeDescription("1.0.0", {"windows-x64"});
    saveJournalAs(previousJournal(state));
    const std::string before = readTestFile(journalPath(workspace()));
    writeTestFile(backupFolder(workspace(), kPreviousId) / "demo.exe", "older exe");
    EXPECT_EQ(runHelper(), RunOutcome::unconfirmed);
    EXPECT_EQ(readTestFile(install_ / "demo.exe"), "new exe");
    EXPECT_FALSE(std::filesystem::exists(backupFolder(workspace(), kPreviousId)));
    const auto archived = std::filesystem::directory_iterator(logsFolder(workspace()));
    ASSERT_NE(archived, std::filesystem::directory_iterator());
    EXPECT_EQ(readTestFile(archived->path()), before);
    EXPECT_EQ(journal().id, kId);
  }
}

TEST_F(ElevatedTest, AnInterruptedAttemptThatCannotBeUndoneStopsTheInstall) {
  Journal stuck = previousJournal(JournalState::rollingBack);
  stuck.timeouts.retryAttempts = 1;
  stuck.moves = {Move{Location::target, Location::backup, "lib"}};
  saveJournalAs(stuck);
  // A progress record that can't be read makes every undo fail.
  std::filesystem::create_directories(progressPath(workspace(), kPreviousId));
  EXPECT_EQ(runHelper(), RunOutcome::failed);
  EXPECT_EQ(journal().id, kPreviousId);
  EXPECT_EQ(journal().state, JournalState::rollingBack);
  EXPECT_EQ(readTestFile(install_ / "demo.exe"), "old exe");
}

TEST_F(ElevatedTest, RepairRollsBackAnUnfinishedAttemptWithoutStartingTheApp) {
  request_.repair = true;
  std::filesystem::remove(install_ / "loftswitch.json");  // not needed to repair
  EXPECT_EQ(runHelper(), RunOutcome::nothingToDo);

  Journal confirmed = previousJournal(JournalState::confirmed);
  saveJournalAs(confirmed);
  EXPECT_EQ(runHelper(), RunOutcome::nothingToDo);
  EXPECT_EQ(lines_.back(), "nothing to repair: the journal is confirmed");

  Journal swapped = previousJournal(JournalState::swapped);
  swapped.moves = {Move{Location::target, Location::backup, "lib"}};
  saveJournalAs(swapped);
  std::filesystem::create_directories(backupFolder(workspace(), kPreviousId));
  std::filesystem::rename(install_ / "lib", backupFolder(workspace(), kPreviousId) / "lib");
  EXPECT_EQ(runHelper(), RunOutcome::rolledBack);
  EXPECT_EQ(readTestFile(install_ / "lib" / "data.txt"), "old data");
  const Journal repaired = journal();
  EXPECT_EQ(repaired.state, JournalState::rolledBack);
  EXPECT_EQ(repaired.outcome->reason, "interrupted");
  EXPECT_TRUE(host_.launches().empty());
}

TEST_F(ElevatedTest, TheLogGoesIntoTheWorkspaceOnlyWhenItPassesTheCheck) {
  const std::filesystem::path logs = logsFolder(workspace());
  EXPECT_EQ(elevatedLogPath(fileSystem_, config_, "a.log"), logs / "a.log");
  std::filesystem::create_directories(workspace().workspacePath);
  EXPECT_EQ(elevatedLogPath(fileSystem_, config_, "a.log"), logs / "a.log");
  EXPECT_THAT(checked_, ElementsAre(workspace().workspacePath));
  checkFailures_[workspace().workspacePath] = "open to users";
  EXPECT_EQ(elevatedLogPath(fileSystem_, config_, "a.log"), std::filesystem::path());
  std::filesystem::remove(workspace().workspacePath);
  writeTestFile(workspace().workspacePath, "");
  EXPECT_EQ(elevatedLogPath(fileSystem_, config_, "a.log"), std::filesystem::path());
}

TEST(InstallFolderTest, IsTheFolderHoldingTheWorkspaceElseTheExecutablesOwn) {
  EXPECT_EQ(installFolderForExecutable("C:\\App\\.loftswitch\\tools\\loftswitch-apply.exe"),
            std::filesystem::path("C:\\App"));
  EXPECT_EQ(installFolderForExecutable("C:\\App\\.LoftSwitch\\loftswitch-apply.exe"),
            std::filesystem::path("C:\\App"));
  EXPECT_EQ(installFolderForExecutable("C:\\App\\bin\\loftswitch-apply.exe"),
            std::filesystem::path("C:\\App\\bin"));
  EXPECT_EQ(installFolderForExecutable("C:\\loftswitch-apply.exe"), std::filesystem::path("C:\\"));
}

}  // namespace
}  // namespace loftswitch
