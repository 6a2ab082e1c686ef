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

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Files = std::map<std::string, std::string>;

constexpr char kId[] = "0123456789abcdef";
constexpr char kPreviousId[] = "fedcba9876543210";

Ed25519Seed testSeed() {
  Ed25519Seed seed;
  seed.fill(0x42);
  return seed;
}

// Every file below root with its content ("/" for a folder), the workspace left out.
Files filesBelow(const std::filesystem::path& root) {
  Files files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string relative = entry.path().lexically_relative(root).generic_string();
    if (!relative.starts_with(".loftswitch")) {
      files[relative] = entry.is_regular_file() ? readTestFile(entry.path()) : "/";
    }
  }
  return files;
}

// The archived journals, oldest first.
std::vector<Journal> archivedJournals(const std::filesystem::path& logs) {
  std::vector<Journal> journals;
  for (const auto& entry : std::filesystem::directory_iterator(logs)) {
    auto journal = parseJournal(readTestFile(entry.path()));
    EXPECT_THAT(journal, IsOkay());
    if (journal) journals.push_back(*journal);
  }
  return journals;
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
    setUpInstall(temp_ / "App");
    std::filesystem::create_directories(temp_ / "user");
    request_.id = kId;
    request_.version = "1.1.0";
    request_.platform = "windows-x64";
    request_.package = temp_ / "download" / "package.zip";
    request_.userWorkspace = temp_ / "user";
    request_.executable = "demo.exe";
    request_.relaunchArgs = {"--updated"};
    request_.exitMs = 5000;
    request_.confirmMs = 10000;
    setPackage(updatable("1.1.0", ZipBuilder()
                                      .file("demo.exe", "new exe")
                                      .file("lib/data.txt", "new data")
                                      .file("settings.ini", "theirs")));
    // The folder checks accept, unless told otherwise, and record what they were asked.
    config_.folderCheck = [this](const std::filesystem::path& folder) -> Result<Unit> {
      checked_.push_back(folder);
      auto failure = checkFailures_.find(folder);
      if (failure != checkFailures_.end()) return fail(ErrorCode::accessDenied, failure->second);
      return Unit{};
    };
    config_.folderRestrict = [this](const std::filesystem::path& folder) -> Result<Unit> {
      restricted_.push_back(folder);
      restrictedHadContent_ = std::filesystem::exists(folder) && !std::filesystem::is_empty(folder);
      return Unit{};
    };
    config_.pathCheck = [](const std::filesystem::path&) -> Result<Unit> { return Unit{}; };
    config_.lockWaitMs = 0;
  }

  void setUpInstall(const std::filesystem::path& install) {
    install_ = request_.install = config_.installFolder = install;
    writeTestFile(install_ / "demo.exe", "old exe");
    writeTestFile(install_ / "lib" / "data.txt", "old data");
    writeTestFile(install_ / "settings.ini", "mine");
    writeDescription("1.0.0");
  }

  static std::string description(const std::string& version) {
    return nlohmann::json{
        {"loftswitch_install", 1},  {"app", "demo"},
        {"version", version},       {"publicKeys", {encodeBase64(*ed25519PublicKey(testSeed()))}},
        {"executable", "demo.exe"}, {"platforms", {"windows-x64"}},
        {"preserve", {"settings.ini"}}}.dump();
  }

  void writeDescription(const std::string& version) {
    writeTestFile(install_ / "loftswitch.json", description(version));
  }

  // `zip` with what keeps the installed `version` updatable.
  static std::string updatable(const std::string& version, ZipBuilder zip) {
    return zip.file("loftswitch.json", description(version))
        .file("loftswitch-apply.exe", "tool")
        .build();
  }

  // Writes the package and signs the request for exactly these bytes.
  void setPackage(const std::string& bytes) {
    writeTestFile(request_.package, bytes);
    request_.size = bytes.size();
    request_.sha256 = Sha256::digest(bytes);
    sign();
  }

  void sign() {
    const std::string message = buildSignedMessage("demo", request_);
    request_.signature = *ed25519Sign(
        testSeed(), {reinterpret_cast<const std::uint8_t*>(message.data()), message.size()});
  }

  Workspace workspace() const { return workspaceForInstall(install_, Layout::folder); }
  std::filesystem::path packageCopies() const { return workspace().workspacePath / "elevated"; }

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

  // A previous attempt's journal; with a move, "lib" is already in its backup.
  Journal previousJournal(JournalState state, const char* id = kPreviousId, bool moved = false) {
    Journal previous;
    previous.id = id;
    previous.app = "demo";
    previous.from = "0.9.0";
    previous.to = "1.0.0";
    previous.executable = "demo.exe";
    previous.state = state;
    if (moved) {
      previous.moves = {Move{Location::target, Location::backup, "lib"}};
      std::filesystem::create_directories(backupFolder(workspace(), id));
      std::filesystem::rename(install_ / "lib", backupFolder(workspace(), id) / "lib");
    }
    return previous;
  }

  // A request that fails its own checks is refused before anything changes.
  void expectRefusedEarly(::testing::Matcher<const std::string&> detail) {
    const Files before = filesBelow(install_);
    EXPECT_EQ(runHelper(), RunOutcome::refused);
    EXPECT_FALSE(std::filesystem::exists(workspace().workspacePath));
    EXPECT_EQ(filesBelow(install_), before);
    EXPECT_THAT(lines_.back(), StartsWith("refusing the update (rejected): "));
    EXPECT_THAT(lines_.back().substr(32), detail);
  }

  void expectRefused(const std::string& reason, ::testing::Matcher<const std::string&> detail) {
    const Files before = filesBelow(install_);
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
    EXPECT_FALSE(std::filesystem::exists(packageCopies() / kId));
    EXPECT_EQ(lines_.back(), "refusing the update (" + reason + "): " + refused.outcome->detail);
    EXPECT_TRUE(host_.launches().empty());
    (void)std::filesystem::remove(journalPath(workspace()));
  }

  void expectUpdated() {
    EXPECT_EQ(readTestFile(install_ / "demo.exe"), "new exe");
    EXPECT_EQ(readTestFile(install_ / "lib" / "data.txt"), "new data");
    EXPECT_EQ(readTestFile(install_ / "settings.ini"), "mine");
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
  EXPECT_EQ(confirmed.from + ">" + confirmed.to, "1.0.0>1.1.0");
  EXPECT_EQ(confirmed.package, toHex(request_.sha256));
  EXPECT_EQ(confirmed.relaunch.args, std::vector<std::string>{"--updated"});
  EXPECT_EQ(confirmed.timeouts.confirmMs, 10000);
  // The install folder is checked once; the package folder restricted while still empty.
  EXPECT_THAT(checked_, ElementsAre(install_));
  EXPECT_THAT(restricted_, ElementsAre(packageCopies() / kId));
  EXPECT_FALSE(restrictedHadContent_);
  EXPECT_FALSE(std::filesystem::exists(stageFolder(workspace(), kId)));
  EXPECT_FALSE(std::filesystem::exists(backupFolder(workspace(), kId)));
  EXPECT_FALSE(std::filesystem::exists(packageCopies() / kId));
  EXPECT_TRUE(host_.launches().empty());
  EXPECT_GE(host_.elapsedMs(), 700);
  EXPECT_THAT(lines_, Contains("the new version confirmed the update"));
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
  const Files before = filesBelow(install_);
  for (const auto& [marker, code] : {std::pair{"-1073741819\r\n", "-1073741819"},
                                     std::pair{"-x", "unknown"}}) {
    SCOPED_TRACE(marker);
    markerAfter(host_.elapsedMs() + 300, std::string("exited-") + kId, marker);
    EXPECT_EQ(runHelper(), RunOutcome::rolledBack);
    EXPECT_EQ(filesBelow(install_), before);
    EXPECT_EQ(journal().state, JournalState::rolledBack);
    EXPECT_EQ(journal().outcome,
              (OutcomeRecord{"rolled-back", "exited",
                             std::string("the new version exited with code ") + code +
                                 " before it finished starting"}));
    EXPECT_TRUE(host_.launches().empty());
    std::filesystem::remove(journalPath(workspace()));
    std::filesystem::remove(temp_ / "user" / (std::string("exited-") + kId));
  }
}

TEST_F(ElevatedTest, NoWordUntilTheDeadlineLeavesTheUpdateSwappedForTheNextRequestToRetire) {
  EXPECT_EQ(runHelper(), RunOutcome::unconfirmed);
  expectUpdated();
  const Journal left = journal();
  EXPECT_EQ(left.state, JournalState::swapped);
  EXPECT_GE(host_.elapsedMs(), 10000);
  EXPECT_THAT(lines_, Contains("no word from the new version yet; its startup() will confirm "
                               "when it gets there"));
  // The next request counts it as confirmed, retires and archives it, and installs.
  writeDescription("1.1.0");
  request_.id = "00000000000000aa";
  request_.version = "1.2.0";
  setPackage(updatable("1.2.0", ZipBuilder().file("demo.exe", "newer exe")));
  EXPECT_EQ(runHelper(), RunOutcome::unconfirmed);
  EXPECT_EQ(readTestFile(install_ / "demo.exe"), "newer exe");
  EXPECT_FALSE(std::filesystem::exists(backupFolder(workspace(), kId)));
  EXPECT_FALSE(std::filesystem::exists(trashFolder(workspace())));
  const std::vector<Journal> archived = archivedJournals(logsFolder(workspace()));
  ASSERT_EQ(archived.size(), 1u);
  EXPECT_EQ(archived[0].id, kId);
  EXPECT_EQ(archived[0].state, JournalState::confirmed);
  EXPECT_EQ(archived[0].outcome, (OutcomeRecord{"updated", "", ""}));
  EXPECT_EQ(archived[0].moves, left.moves);
}

ZipBuilderEntry entryNamed(std::string name, std::uint32_t attributes = 0) {
  ZipBuilderEntry entry;
  entry.name = std::move(name);
  entry.content = "x";
  entry.externalAttributes = attributes;
  return entry;
}

TEST_F(ElevatedTest, RefusesUpdatesThatFailACheckWithoutTouchingTheInstall) {
  struct Case {
    const char* name;
    std::function<void(ElevatedTest&)> change;
    ::testing::Matcher<const std::string&> detail;
    bool early = false;
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
  const auto withEntry = [](ZipBuilderEntry entry) {
    return [entry](ElevatedTest& t) {
      t.setPackage(
          ZipBuilder().file("demo.exe", "new exe").file("lib/data.txt", "d").add(entry).build());
    };
  };
  const auto entry = [](const std::string& name, const std::string& problem) {
    return Eq("package entry \"" + name + "\" " + problem);
  };
  const std::string size = std::to_string(request_.size);
  const std::vector<Case> cases = {
      {"unsigned", [](ElevatedTest& t) { t.request_.signature[5] ^= 1; },
       Eq("the update's signature doesn't verify with any trusted key"), true},
      {"same version", resign([](UpdateRequest& r) { r.version = "1.0.0"; }),
       Eq("version 1.0.0 is not newer than the installed 1.0.0"), true},
      {"older version", resign([](UpdateRequest& r) { r.version = "v0.9"; }),
       Eq("version v0.9 is not newer than the installed 1.0.0"), true},
      {"platform", resign([](UpdateRequest& r) { r.platform = "windows-arm64"; }),
       Eq("the package is for windows-arm64, which this install doesn't run"), true},
      {"size limit", [](ElevatedTest& t) { t.config_.packageSizeLimit = t.request_.size - 1; },
       Eq("the package is larger than the limit"), true},
      {"grown copy", editPackage([](std::string& bytes) { bytes += "x"; }),
       Eq("the package couldn't be copied for verification: the package is larger than its "
          "signed size")},
      {"missing package", [](ElevatedTest& t) { std::filesystem::remove(t.request_.package); },
       StartsWith("the package couldn't be copied for verification: ")},
      {"short copy", editPackage([](std::string& bytes) { bytes.pop_back(); }),
       Eq("the package is " + std::to_string(request_.size - 1) + " bytes, not the signed " +
          size)},
      {"digest", editPackage([](std::string& bytes) { bytes[bytes.size() / 2] ^= 1; }),
       Eq("the package's SHA-256 doesn't match the signed one")},
      {"no executable",
       [](ElevatedTest& t) { t.setPackage(ZipBuilder().file("other.exe", "x").build()); },
       Eq("the update has no demo.exe")},
      {"entry limit", [](ElevatedTest& t) { t.config_.entryLimit = 2; },
       Eq("the package has 5 entries, more than the limit of 2")},
      {"not updatable",
       [](ElevatedTest& t) { t.setPackage(ZipBuilder().file("demo.exe", "x").build()); },
       StartsWith("the package has no loftswitch.json file at its root")},
      {"absolute", withEntry(entryNamed("/etc/passwd")), entry("/etc/passwd", "is an absolute path")},
      {"drive", withEntry(entryNamed("C:evil.exe")),
       entry("C:evil.exe", "contains ':' (a drive letter or an alternate data stream)")},
      {"climbs", withEntry(entryNamed("lib/../../evil.exe")),
       entry("lib/../../evil.exe", "climbs with \"..\"")},
      {"reserved", withEntry(entryNamed(".LoftSwitch/journal.json")),
       entry(".LoftSwitch/journal.json", "uses the reserved name .loftswitch")},
      {"device", withEntry(entryNamed("lib/con.txt")),
       entry("lib/con.txt", "uses the Windows device name \"con.txt\"")},
      {"forbidden", withEntry(entryNamed("lib/a?.txt")),
       entry("lib/a?.txt", "contains '?', which Windows forbids")},
      {"trailing", withEntry(entryNamed("lib/trailing. ")),
       entry("lib/trailing. ", "has a component ending in '.' or a space, which Windows strips")},
      {"twice", withEntry(entryNamed("LIB/DATA.TXT")), HasSubstr("\"LIB/DATA.TXT\"")},
      {"link", withEntry(entryNamed("lib/current", unixMode(0120777))),
       HasSubstr("\"lib/current\"")},
  };
  for (const Case& refusal : cases) {
    SCOPED_TRACE(refusal.name);
    const UpdateRequest original = request_;
    const std::string packageBytes = readTestFile(request_.package);
    const ElevatedConfig originalConfig = config_;
    refusal.change(*this);
    if (refusal.early) {
      expectRefusedEarly(refusal.detail);
    } else {
      expectRefused("rejected", refusal.detail);
    }
    request_ = original;
    config_ = originalConfig;
    writeTestFile(request_.package, packageBytes);
  }
  // A package exactly at the limit passes the size check.
  config_.packageSizeLimit = request_.size;
  EXPECT_EQ(runHelper(), RunOutcome::unconfirmed);
}

TEST_F(ElevatedTest, AccessDeniedAndDiskFullDuringExtractionAreIoFailures) {
  const Files before = filesBelow(install_);
  for (const Error& error : {Error{ErrorCode::accessDenied, "can't create x: access is denied"},
                             Error{ErrorCode::diskFull, "can't write x: the disk is full"},
                             Error{ErrorCode::badLayout, "package entry \"x\" is bad"}}) {
    SCOPED_TRACE(error.message);
    FailingExtraction helper(request_, fileSystem_, host_, sink_, config_, error);
    EXPECT_EQ(helper.run(), RunOutcome::rolledBack);
    const char* reason = error.code == ErrorCode::badLayout ? "rejected" : "io";
    EXPECT_EQ(journal().outcome, (OutcomeRecord{"rolled-back", reason, error.message}));
    EXPECT_EQ(filesBelow(install_), before);
    (void)std::filesystem::remove(journalPath(workspace()));
  }
}

TEST_F(ElevatedTest, ExtractsAFreshStageOverLeftoversOfTheSameAttempt) {
  writeTestFile(stagedFolder(workspace(), kId) / "stale.dll", "left over");
  writeTestFile(stagedFolder(workspace(), kId) / "demo.exe", "stale exe");
  Elevated helper(request_, std::nullopt, fileSystem_, host_, sink_, config_);
  std::filesystem::create_directories(packageCopies());
  std::filesystem::copy_file(request_.package, packageCopies() / "copy.zip");
  ASSERT_THAT(helper.extractVerified(packageCopies() / "copy.zip"), IsOkay());
  EXPECT_EQ(filesBelow(stagedFolder(workspace(), kId)),
            (Files{{"demo.exe", "new exe"}, {"lib", "/"}, {"lib/data.txt", "new data"},
                   {"loftswitch-apply.exe", "tool"}, {"loftswitch.json", description("1.1.0")},
                   {"settings.ini", "theirs"}}));
}

TEST_F(ElevatedTest, RefusesTheEnvironmentWithoutWritingAnything) {
  const std::string refusing = "refusing to run elevated: ";
  checkFailures_[install_] = "Z:\\App can be changed by users who aren't administrators";
  EXPECT_EQ(runHelper(), RunOutcome::refused);
  EXPECT_THAT(lines_, Contains(refusing + checkFailures_[install_]));
  checkFailures_.clear();

  std::filesystem::rename(install_ / "loftswitch.json", temp_ / "loftswitch.json");
  EXPECT_EQ(runHelper(), RunOutcome::refused);
  EXPECT_THAT(lines_.back(), StartsWith(refusing + "no loftswitch.json in the install folder ("));
  writeTestFile(install_ / "loftswitch.json", R"({"loftswitch_install": 2})");
  EXPECT_EQ(runHelper(), RunOutcome::refused);
  EXPECT_EQ(lines_.back(), refusing + "loftswitch.json: not a version 1 install description");
  std::filesystem::rename(temp_ / "loftswitch.json", install_ / "loftswitch.json");
  EXPECT_FALSE(std::filesystem::exists(workspace().workspacePath));

  const std::filesystem::path ws = workspace().workspacePath;
  writeTestFile(ws, "");
  EXPECT_EQ(runHelper(), RunOutcome::refused);
  EXPECT_EQ(lines_.back(), refusing + pathToUtf8(ws) + " is a link or a file");
  std::filesystem::remove(ws);
  std::filesystem::create_directories(ws);
  checkFailures_[ws] = "the workspace is open to users";
  EXPECT_EQ(runHelper(), RunOutcome::refused);
  EXPECT_EQ(lines_.back(), refusing + "the workspace is open to users; an administrator can "
                                      "delete " + pathToUtf8(ws));
  EXPECT_TRUE(std::filesystem::is_empty(ws));
  EXPECT_EQ(checked_.back(), ws);
  EXPECT_EQ(readTestFile(install_ / "demo.exe"), "old exe");
}

TEST_F(ElevatedTest, WaitsForTheAppAndOtherProgramsFromTheInstallButNotItsOwnCopy) {
  app_ = host_.addProcess("Z:\\elsewhere\\demo.exe", FakeHost::kNever);
  EXPECT_EQ(runHelper(), RunOutcome::appStillRunning);
  EXPECT_EQ(lines_.back(), "the app (process " + std::to_string(app_->pid) + ") didn't exit");
  ASSERT_FALSE(host_.waits().empty());
  EXPECT_EQ(host_.waits().back().timeoutMs, 5000);

  app_.reset();
  host_.addProcess(workspace().workspacePath / "tool.exe");
  const ProcessIdentity other = host_.addProcess(install_ / "plugin.exe", host_.elapsedMs() + 6000);
  EXPECT_EQ(runHelper(), RunOutcome::appStillRunning);
  EXPECT_EQ(lines_.back(), "another program from the install folder is still running (process " +
                               std::to_string(other.pid) + ")");
  EXPECT_FALSE(std::filesystem::exists(workspace().workspacePath));
}

TEST_F(ElevatedTest, ABusyWorkspaceEndsWithBusy) {
  std::filesystem::create_directories(workspace().workspacePath);
  auto held = acquireWorkspaceLock(lockPath(workspace()), 0);
  ASSERT_THAT(held, IsOkay());
  EXPECT_EQ(runHelper(), RunOutcome::busy);
  EXPECT_FALSE(std::filesystem::exists(journalPath(workspace())));
}

TEST_F(ElevatedTest, SettlesThePreviousJournalOfTheSameRequest) {
  Journal same = previousJournal(JournalState::confirmed, kId);
  saveJournalAs(same);
  EXPECT_EQ(runHelper(), RunOutcome::nothingToDo);
  EXPECT_EQ(journal(), same);
  EXPECT_EQ(lines_.back(), "this request was already handled");

  // After a run of it stopped mid-swap: undone, not ignored.
  Journal stopped = previousJournal(JournalState::swapping, kId, true);
  saveJournalAs(stopped);
  EXPECT_EQ(runHelper(), RunOutcome::rolledBack);
  EXPECT_EQ(readTestFile(install_ / "lib" / "data.txt"), "old data");
  EXPECT_EQ(journal().state, JournalState::rolledBack);
}

TEST_F(ElevatedTest, RollsBackRetiresAndArchivesAnInterruptedAttemptBeforeInstalling) {
  saveJournalAs(previousJournal(JournalState::swapping, kPreviousId, true));
  writeTestFile(stageFolder(workspace(), kPreviousId) / "new" / "x", "x");
  writeTestFile(workspace().workspacePath / "trash" / "old" / "x", "x");
  EXPECT_EQ(runHelper(), RunOutcome::unconfirmed);
  expectUpdated();
  EXPECT_THAT(lines_, Contains("rolling back (interrupted): the update was interrupted before it "
                               "finished and has been undone"));
  EXPECT_FALSE(std::filesystem::exists(stageFolder(workspace(), kPreviousId)));
  EXPECT_FALSE(std::filesystem::exists(backupFolder(workspace(), kPreviousId)));
  EXPECT_FALSE(std::filesystem::exists(workspace().workspacePath / "trash" / "old"));
  const std::vector<Journal> archived = archivedJournals(logsFolder(workspace()));
  ASSERT_EQ(archived.size(), 1u);
  EXPECT_EQ(archived[0].id, kPreviousId);
  EXPECT_EQ(archived[0].state, JournalState::rolledBack);
  EXPECT_EQ(archived[0].outcome->reason, "interrupted");
}

TEST_F(ElevatedTest, ArchivesAFinishedPreviousAttemptUnchanged) {
  for (JournalState state :
       {JournalState::staged, JournalState::confirmed, JournalState::rolledBack}) {
    SCOPED_TRACE(std::string(stateName(state)));
    TempFolder fresh;
    setUpInstall(fresh / "App");
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
  saveJournalAs(previousJournal(JournalState::confirmed));
  EXPECT_EQ(runHelper(), RunOutcome::nothingToDo);
  EXPECT_EQ(lines_.back(), "nothing to repair: the journal is confirmed");

  saveJournalAs(previousJournal(JournalState::swapped, kPreviousId, true));
  EXPECT_EQ(runHelper(), RunOutcome::rolledBack);
  EXPECT_EQ(readTestFile(install_ / "lib" / "data.txt"), "old data");
  EXPECT_EQ(journal().state, JournalState::rolledBack);
  EXPECT_EQ(journal().outcome->reason, "interrupted");
  EXPECT_TRUE(host_.launches().empty());
}

// Every file and folder below the test's root, the workspace included.
Files everything(const std::filesystem::path& root) {
  Files files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    files[entry.path().lexically_relative(root).generic_string()] =
        entry.is_regular_file() ? readTestFile(entry.path()) : "/";
  }
  return files;
}

// A request that fails its own checks must not settle, retire, archive or
// delete anything: a garbage signature would otherwise confirm a pending
// attempt and delete its backup.
TEST_F(ElevatedTest, ARefusedRequestChangesNothingAnywhere) {
  saveJournalAs(previousJournal(JournalState::swapped, kPreviousId, true));
  writeTestFile(trashFolder(workspace()) / "old" / "x", "x");
  writeTestFile(packageCopies() / "leftover", "x");
  const std::vector<std::pair<const char*, std::function<void()>>> attacks = {
      {"garbage signature", [this] { request_.signature[0] ^= 1; }},
      {"package on a share", [this] {
         config_.pathCheck = [](const std::filesystem::path&) -> Result<Unit> {
           return fail(ErrorCode::invalidData, "\\\\srv\\x is not a path on a local disk");
         };
       }},
      {"replayed older version", [this] { request_.version = "1.0.0", sign(); }},
  };
  const Files before = everything(temp_.path());
  for (const auto& [name, attack] : attacks) {
    SCOPED_TRACE(name);
    const UpdateRequest original = request_;
    const ElevatedConfig originalConfig = config_;
    attack();
    EXPECT_EQ(runHelper(), RunOutcome::refused);
    EXPECT_EQ(everything(temp_.path()), before);
    request_ = original;
    config_ = originalConfig;
  }
  // A repair is unsigned by design: it may only settle the half-done swap.
  request_.repair = true;
  request_.signature[0] ^= 1;
  EXPECT_EQ(runHelper(), RunOutcome::rolledBack);
  EXPECT_TRUE(std::filesystem::exists(trashFolder(workspace()) / "old" / "x"));
  EXPECT_TRUE(std::filesystem::exists(packageCopies() / "leftover"));
  EXPECT_TRUE(std::filesystem::exists(journalPath(workspace())));
}

TEST_F(ElevatedTest, TheLogGoesIntoTheWorkspaceOnlyWhenItPassesTheCheck) {
  const std::filesystem::path ws = workspace().workspacePath;
  EXPECT_EQ(elevatedLogPath(fileSystem_, config_, "a.log"), logsFolder(workspace()) / "a.log");
  std::filesystem::create_directories(ws);
  EXPECT_EQ(elevatedLogPath(fileSystem_, config_, "a.log"), logsFolder(workspace()) / "a.log");
  EXPECT_THAT(checked_, ElementsAre(ws));
  checkFailures_[ws] = "open to users";
  EXPECT_EQ(elevatedLogPath(fileSystem_, config_, "a.log"), std::filesystem::path());
  std::filesystem::remove(ws);
  writeTestFile(ws, "");
  EXPECT_EQ(elevatedLogPath(fileSystem_, config_, "a.log"), std::filesystem::path());
}

TEST(InstallFolderTest, IsTheFolderHoldingTheWorkspaceElseTheExecutablesOwn) {
  for (const auto& [executable, folder] :
       {std::pair{"C:\\App\\.loftswitch\\tools\\loftswitch-apply.exe", "C:\\App"},
        {"C:\\App\\.LoftSwitch\\loftswitch-apply.exe", "C:\\App"},
        {"C:\\App\\bin\\loftswitch-apply.exe", "C:\\App\\bin"},
        {"C:\\loftswitch-apply.exe", "C:\\"}}) {
    EXPECT_EQ(installFolderForExecutable(executable), std::filesystem::path(folder)) << executable;
  }
}

}  // namespace
}  // namespace loftswitch
