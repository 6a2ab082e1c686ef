#include "elevated/elevated.h"

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/key_id.h"
#include "elevated/package_contract.h"
#include "elevated/sha256.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "support/fake_host.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"
#include "workspace/journal_store.h"
#include "workspace/lock.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Snapshot = MemoryFileSystem::Snapshot;

constexpr char kId[] = "0123456789abcdef";
constexpr char kPreviousId[] = "fedcba9876543210";

Ed25519Seed testSeed() { Ed25519Seed seed; return seed.fill(0x42), seed; }

std::string description(const std::string& version) {
  return nlohmann::json{{"loftswitch_install", 1}, {"app", "demo"}, {"version", version},
                        {"publicKeys", {encodeBase64(*ed25519PublicKey(testSeed()))}}, {"executable", "demo.exe"},
                        {"platforms", {"windows-x64"}}, {"preserve", {"settings.ini"}}}.dump();
}

// `zip` with what keeps the installed `version` updatable.
std::string updatable(const std::string& version, ZipBuilder zip) {
  return zip.file("loftswitch.json", description(version)).file("loftswitch-apply.exe", "tool").build();
}

ZipBuilder newVersion() {
  return ZipBuilder().file("demo.exe", "new exe").file("lib/data.txt", "new data").file("settings.ini", "theirs");
}

Snapshot oldVersion() {
  return {{"demo.exe", "old exe"}, {"lib\\", ""}, {"lib\\data.txt", "old data"}, {"loftswitch-apply.exe", "old tool"},
          {"loftswitch.json", description("1.0.0")}, {"settings.ini", "mine"}};
}
Snapshot newVersionInstalled() {
  return {{"demo.exe", "new exe"}, {"lib\\", ""}, {"lib\\data.txt", "new data"}, {"loftswitch-apply.exe", "tool"},
          {"loftswitch.json", description("1.1.0")}, {"settings.ini", "mine"}};
}

// The delta from the publisher's 1.0.0, whose files the install holds, to
// the new version.
std::string deltaPackage() {
  ZipBuilder old;
  for (const auto& [stored, content] : oldVersion()) {
    std::string name = stored;
    std::replace(name.begin(), name.end(), '\\', '/');
    if (!name.ends_with('/')) old.file(name, content);
  }
  return deltaBetween(old.build(), updatable("1.1.0", newVersion()));
}

bool inside(const std::filesystem::path& path, const std::filesystem::path& folder) {
  return pathToUtf8(path).starts_with(pathToUtf8(folder));
}

// Version 1.0.0 installed in memory and a signed request for 1.1.0. What the
// user names (the package, the markers) and the helper's verified copy lie on
// the real disk; the doubles record who opens what: the user's files go
// through the user's opener, the helper's file system stays in the install.
struct World {
  World() {
    for (const auto& [name, content] : oldVersion()) {
      if (!name.ends_with('\\')) fs.addFile(install / name, content);
    }
    std::filesystem::create_directories(user);
    request = {.id = kId, .version = "1.1.0", .platform = "windows-x64",
               .keyId = keyId(*ed25519PublicKey(testSeed())), .package = temp / "download.zip",
               .install = install, .userWorkspace = user, .executable = "demo.exe", .exitMs = 5000,
               .confirmMs = 10000};
    config.installFolder = install;
    setPackage(updatable("1.1.0", newVersion()));
    config.folderCheck = config.fileCheck = [this](const std::filesystem::path& path) -> Result<Unit> {
      checked.push_back(path);
      return failures.contains(path) ? fail(ErrorCode::accessDenied, failures[path]) : Result<Unit>(Unit{});
    };
    config.createRestricted = [this](const std::filesystem::path& folder) -> Result<Unit> {
      if (fs.exists(folder)) return fail(ErrorCode::io, "something is at " + pathToUtf8(folder));
      return fs.addFolder(folder), std::filesystem::create_directories(folder), restricted.push_back(folder), Unit{};
    };
    config.inheritPermissions = [this](const std::filesystem::path& folder) { return inherited.push_back(folder), Result<Unit>(Unit{}); };
    config.openAsUser = [this](const std::filesystem::path& path) { return userOpens.push_back(path), openFile(path, OpenMode::read); };
    config.changesBegin = [this] { ++changesBegun; };
    fs.onAccess = [this](auto, const std::filesystem::path& path) { if (!inside(path, install)) helperOutside.push_back(pathToUtf8(path)); };
    config.lockWaitMs = 0;
  }

  void setPackage(const std::string& bytes) {
    writeTestFile(request.package, bytes), request.size = bytes.size(), request.sha256 = Sha256::digest(bytes), sign();
  }
  void sign() {
    const std::string message = buildSignedMessage("demo", request);
    request.signature = *ed25519Sign(testSeed(), {reinterpret_cast<const std::uint8_t*>(message.data()), message.size()});
  }
  void editPackage(const std::function<void(std::string&)>& edit) {
    std::string bytes = readTestFile(request.package);
    edit(bytes), writeTestFile(request.package, bytes);
  }

  Workspace ws() const { return workspaceForInstall(install, Layout::folder); }
  RunOutcome run() {
    std::filesystem::create_directories(ws().workspacePath);  // where the lock lies
    return Elevated(request, app, fs, host, sink, config).run();
  }
  std::optional<Journal> journal() { auto loaded = loadJournal(fs, ws()); return loaded ? std::optional(*loaded) : std::nullopt; }
  void save(const Journal& journal) { ASSERT_THAT(saveJournal(fs, ws(), journal, {}), IsOkay()); }
  // A previous attempt's journal; with a move, "lib" is already in its backup.
  Journal previous(JournalState state, bool moved = false) {
    Journal journal{.id = kPreviousId, .app = "demo", .from = "0.9.0", .to = "1.0.0", .state = state, .executable = "demo.exe"};
    if (moved) {
      journal.moves = {Move{Location::target, Location::backup, "lib"}};
      EXPECT_THAT(fs.move(install / "lib", backupFolder(ws(), kPreviousId) / "lib"), IsOkay());
    }
    return journal;
  }
  // A file another program holds open without delete sharing.
  void addHeld(const std::filesystem::path& file) { fs.addFile(file, "x"), fs.hold(file); }
  // What earlier runs left in the trash and in the helper's own folder.
  void addLeftovers() { fs.addFile(trashFolder(ws()) / "old" / "x", "x"), fs.addFile(ws().workspacePath / "elevated" / "leftover", "x"); }
  void markerAfter(std::int64_t ms, const std::string& name, const std::string& content = "") {
    host.after(ms, [this, name, content] { writeTestFile(user / (name + kId), content); });
  }
  // The install without its workspace.
  Snapshot installed() const {
    Snapshot files = fs.snapshot(install);
    return std::erase_if(files, [](const auto& file) { return file.first.starts_with(".loftswitch\\"); }), files;
  }

  TempFolder temp;
  std::filesystem::path install = temp / "App";
  std::filesystem::path user = temp / "user";
  MemoryFileSystem fs;
  FakeHost host;
  UpdateRequest request;
  ElevatedConfig config;
  std::optional<ProcessIdentity> app;
  std::vector<std::string> lines;
  LogSink sink = [this](std::string_view line) { lines.emplace_back(line); };
  std::vector<std::filesystem::path> checked, restricted, inherited, userOpens;
  std::vector<std::string> helperOutside;
  std::map<std::filesystem::path, std::string> failures;
  int changesBegun = 0;
  std::optional<Result<WorkspaceLock>> otherLock;
};

TEST(ElevatedTest, InstallsASignedPackageAndEndsOnlyOnTheNewVersionsWord) {
  World w;
  w.markerAfter(700, "confirmed-");
  w.fs.addFile(stagedFolder(w.ws(), kId) / "stale.dll", "left by an earlier run of this attempt");
  EXPECT_EQ(w.run(), RunOutcome::updated);
  EXPECT_EQ(w.installed(), newVersionInstalled());
  ASSERT_TRUE(w.journal());
  EXPECT_EQ(std::string(stateName(w.journal()->state)) + " " + w.journal()->from + ">" + w.journal()->to + " " +
                w.journal()->package, "confirmed 1.0.0>1.1.0 " + toHex(w.request.sha256));
  EXPECT_THAT(w.checked, ElementsAre(w.install, w.install / "loftswitch.json", w.install / "loftswitch-apply.exe",
                                     w.install / "demo.exe", w.ws().workspacePath));
  // Verified in a new folder only administrators can open, then placed as
  // the stage, readable as the install is.
  EXPECT_TRUE(w.restricted.size() == 1 && w.restricted[0].parent_path() == w.ws().workspacePath / "elevated");
  EXPECT_THAT(w.inherited, ElementsAre(stagedFolder(w.ws(), kId)));
  EXPECT_FALSE(w.fs.exists(w.ws().workspacePath / "elevated"));
  // The user's files are opened as the user, and only those.
  EXPECT_TRUE(w.userOpens.front() == w.request.package && w.userOpens.back() == w.user / (std::string("confirmed-") + kId));
  EXPECT_TRUE(w.helperOutside.empty() && w.changesBegun == 1 && w.host.launches().empty());
  EXPECT_FALSE(w.fs.exists(stageFolder(w.ws(), kId)) || w.fs.exists(backupFolder(w.ws(), kId)));  // retired once confirmed
  EXPECT_GE(w.host.elapsedMs(), 700);

  // A repair rolled the update back while the new version was starting.
  World repaired;
  repaired.host.after(400, [&r = repaired] { Journal journal = *r.journal(); r.save((journal.state = JournalState::rolledBack, journal)); });
  repaired.markerAfter(700, "confirmed-");
  EXPECT_EQ(repaired.run(), RunOutcome::rolledBack);

  // The new version exits instead: the update is undone, with the code it left.
  World exited;
  exited.markerAfter(300, "exited-", "-1073741819\r\n");
  EXPECT_EQ(exited.run(), RunOutcome::rolledBack);
  EXPECT_EQ(exited.installed(), oldVersion());
  EXPECT_EQ(exited.journal()->outcome->detail, "the new version exited with code 0xC0000005 (access violation) before it finished starting");
}

// A delta is rebuilt from the install the helper guards; the copy that the
// request names, whatever it holds, is never read.
TEST(ElevatedTest, RebuildsASignedDeltaFromTheInstallItGuards) {
  World w;
  w.request.install = w.temp / "copy";
  for (const auto& [name, content] : oldVersion()) {
    if (!name.ends_with('\\')) w.fs.addFile(w.request.install / name, content + "!");
  }
  w.request.from = "1.0.0";
  w.setPackage(deltaPackage());
  w.markerAfter(700, "confirmed-");
  EXPECT_EQ(w.run(), RunOutcome::updated);
  EXPECT_EQ(w.installed(), newVersionInstalled());
}

// What the previous attempt left is settled before this one installs: a
// swapped one is counted as confirmed, as the app asks again and so runs, a
// half-done one is undone; either is archived, and its folders and the
// trash go. Without the new version's word, the run ends unconfirmed.
TEST(ElevatedTest, SettlesThePreviousAttemptBeforeInstalling) {
  for (const auto& [state, settled] : {std::pair{JournalState::swapped, JournalState::confirmed},
                                       std::pair{JournalState::swapping, JournalState::rolledBack}}) {
    World w;
    w.save(w.previous(state, true));
    w.fs.addFile(stagedFolder(w.ws(), kPreviousId) / "x", "x"), w.addLeftovers();
    EXPECT_EQ(w.run(), RunOutcome::unconfirmed);
    EXPECT_GE(w.host.elapsedMs(), 10000);
    EXPECT_EQ(w.installed(), newVersionInstalled());
    for (const auto& gone : {stageFolder(w.ws(), kPreviousId), backupFolder(w.ws(), kPreviousId), trashFolder(w.ws()) / "old"}) EXPECT_FALSE(w.fs.exists(gone)) << gone;
    const Snapshot logs = w.fs.snapshot(logsFolder(w.ws()));
    EXPECT_TRUE(logs.size() == 1 && parseJournal(logs.begin()->second)->state == settled);
  }
}

// The attacks: a hostile package, request, copy or install, and what an
// earlier attempt or the app left. Each ends with its own message and leaves
// the install as it was; ended before any change, it leaves the workspace as
// it was too, a pending attempt and leftovers included, and no log. The
// helper's own file system never leaves the install.
struct Attack {
  const char* name;
  std::function<void(World&)> make;
  std::string detail;
  std::string reason = "rejected";  // empty: the environment is refused
  RunOutcome outcome = RunOutcome::refused;
};

std::function<void(World&)> packageWith(ZipBuilderEntry extra) {
  return [extra](World& w) { w.setPackage(updatable("1.1.0", newVersion().add(extra))); };
}
std::function<void(World&)> resigned(std::function<void(UpdateRequest&)> edit) {
  return [edit](World& w) { edit(w.request), w.sign(); };
}
// The check of the install folder or of one of its entries fails.
std::function<void(World&)> failing(std::string entry, std::string message) {
  return [entry, message](World& w) { w.failures[entry.empty() ? w.install : w.install / entry] = message; };
}
const std::string kEntry = "package entry ";
const std::string kOpenToUsers = " can be changed by users who aren't administrators";

std::vector<Attack> attacks() {
  std::vector<Attack> all = {
    {"BadSignature", [](World& w) { w.request.signature[5] ^= 1; },
     "the update's signature doesn't verify with any trusted key: the signed fields name key " +
     keyId(*ed25519PublicKey(testSeed())) + ", which this install trusts, so what was offered "
     "differs from what was signed (" + std::string(kSignedFieldsHint) + ")"},
    {"SameVersion", resigned([](UpdateRequest& r) { r.version = "1.0.0"; }),
     "version 1.0.0 is not newer than the installed 1.0.0"},
    {"OtherPlatform", resigned([](UpdateRequest& r) { r.platform = "windows-arm64"; }),
     "the package is for windows-arm64, which this install doesn't run"},
    {"OverSizeLimit", [](World& w) { w.config.packageSizeLimit = w.request.size - 1; },
     "the package is larger than the limit"},
    {"GrownCopy", [](World& w) { w.setPackage("12345"), w.editPackage([](std::string& b) { b += "x"; }); },
     "the package couldn't be copied for verification: the package is 6 bytes, not the signed 5, so "
     "its SHA-256 differs too: the package and the signed fields don't belong together"},
    {"ShortCopy", [](World& w) { w.setPackage("12345"), w.editPackage([](std::string& b) { b.pop_back(); }); },
     "the package is 4 bytes, not the signed 5, so its SHA-256 differs too: the download is "
     "incomplete, or the package and the signed fields don't belong together"},
    {"DigestMismatch", [](World& w) { w.editPackage([](std::string& b) { b[b.size() / 2] ^= 1; }); },
     "the package's SHA-256 doesn't match the signed one: the package was changed after it was "
     "signed, or the package and the signed fields don't belong together"},
    {"EntryLimit", [](World& w) { w.config.entryLimit = 2; }, "the package has 5 entries, more than the limit of 2"},
    {"ExpandedLimit", [](World& w) { w.config.expandedSizeLimit = 10; }, "the package expands to more than 10 bytes"},
    {"InflatesPastItsSize",
     packageWith({.name = "bomb.bin", .content = std::string(1 << 20, '\0'), .uncompressedSize = 1000}),
     "a package entry inflates past its declared size"},
    {"CrcMismatch", packageWith({.name = "crc.txt", .content = "data", .crc32 = 0x12345678}),
     kEntry + "\"crc.txt\" is damaged: CRC-32 mismatch"},
    {"ShorterThanDeclared", packageWith({.name = "short.txt", .content = "data", .uncompressedSize = 10}),
     kEntry + "\"short.txt\" is shorter than declared"},
    {"DeltaForAnotherVersion", resigned([](UpdateRequest& r) { r.from = "0.9.0"; }),
     "the delta turns version 0.9.0 into 1.1.0, not the installed 1.0.0"},
    {"NoExecutable", [](World& w) { w.setPackage(updatable("1.1.0", ZipBuilder().file("x.exe", "x"))); },
     "the package has no demo.exe, the executable its loftswitch.json names"},
    {"OneFolderZipped", [](World& w) { w.setPackage(ZipBuilder().file("app/loftswitch.json", description("1.1.0")).build()); },
     "the package has no loftswitch.json file at its root: the zip holds one folder, app/: zip "
     "its contents instead"},
    // What keeps the install updatable after this update.
    {"NoDescription", [](World& w) { w.setPackage(newVersion().file("loftswitch-apply.exe", "tool").build()); },
     "the package has no loftswitch.json file at its root: the installed version needs one to be updated again"},
    {"DescribesAnotherVersion", [](World& w) { w.setPackage(updatable("1.2.0", newVersion())); },
     "the package's loftswitch.json says version \"1.2.0\", but the package is signed as version \"1.1.0\""},
    {"NoTool", [](World& w) { w.setPackage(newVersion().file("loftswitch.json", description("1.1.0")).build()); },
     "the package has no loftswitch-apply.exe at its root: the installed version needs it to be updated again"},
    // The install folder and what it trusts: its description, the tool and
    // the executable may be changed by administrators only.
    {"InstallFolderOpenToUsers", failing("", "the install folder" + kOpenToUsers), "the install folder" + kOpenToUsers, ""},
    {"DescriptionOpenToUsers", failing("loftswitch.json", "loftswitch.json" + kOpenToUsers), "loftswitch.json" + kOpenToUsers, ""},
    {"ToolOpenToUsers", failing("loftswitch-apply.exe", "the tool" + kOpenToUsers), "the tool" + kOpenToUsers, ""},
    {"ExecutableOpenToUsers", failing("demo.exe", "demo.exe" + kOpenToUsers), "demo.exe" + kOpenToUsers, ""},
    {"DescriptionOfAnotherKind", [](World& w) { w.fs.addFile(w.install / "loftswitch.json", R"({"loftswitch_install": 2})"); },
     "loftswitch.json: not a version 1 install description", ""},
    {"WorkspaceOpenToUsers", failing(".loftswitch", "the workspace" + kOpenToUsers), "the workspace" + kOpenToUsers + "; an administrator can delete ", ""},
    // An earlier attempt's files that can't be cleared away never join this
    // one's, and never only make a log line.
    {"StaleStageHeldOpen", [](World& w) { w.addHeld(stagedFolder(w.ws(), kId) / "plugins" / "old.dll"); },
     "can't clear the way for the update: can't delete ", "io", RunOutcome::rolledBack},
    // The app is waited for as long as the request says, and holds nothing up
    // for longer.
    {"AppStillRunning", [](World& w) { w.app = w.host.addProcess(w.temp / "elsewhere" / "demo.exe", 5001); },
     "the app (process 1000) didn't exit", "", RunOutcome::appStillRunning},
    // Only another update holding the lock is busy.
    {"AnotherUpdateHoldsTheLock", [](World& w) { w.fs.addFolder(w.ws().workspacePath), w.otherLock = acquireWorkspaceLock(w.fs, w.host, lockPath(w.ws()), 0); },
     "another update is in progress (", "", RunOutcome::busy},
    {"PreviousStageHeldOpen", [](World& w) { w.addHeld(stagedFolder(w.ws(), kPreviousId) / "x"); }, "can't retire ", "", RunOutcome::failed},
  };
  for (const HostileArchive& archive : hostileArchives()) {
    all.push_back({archive.name.c_str(), [&archive](World& w) { w.setPackage(archive.bytes); }, archive.refusal});
  }
  return all;
}

void PrintTo(const Attack& attack, std::ostream* out) { *out << attack.name; }

class AttackTest : public ::testing::TestWithParam<Attack> {};

TEST_P(AttackTest, IsRefusedWithItsMessageAndChangesNothingItMustNot) {
  const Attack& attack = GetParam();
  World w;
  w.save(w.previous(JournalState::swapped)), w.addLeftovers();
  attack.make(w);
  const Snapshot before = w.fs.snapshot(), installed = w.installed();
  EXPECT_EQ(w.run(), attack.outcome);
  const std::string line = attack.reason.empty() ? attack.detail : "refusing the update (" + attack.reason + "): " + attack.detail;
  EXPECT_THAT(w.lines.back(), StartsWith(attack.outcome == RunOutcome::refused && attack.reason.empty() ? "refusing to run elevated: " + line : line));
  EXPECT_EQ(w.installed(), installed);
  EXPECT_THAT(w.helperOutside, IsEmpty());
  const bool changes = attack.outcome == RunOutcome::rolledBack || attack.outcome == RunOutcome::failed;
  EXPECT_EQ(w.changesBegun, changes ? 1 : 0);
  if (!changes) { EXPECT_EQ(w.fs.snapshot(), before); }
  // A refusal once changes began is this attempt's outcome; a run that
  // stopped leaves the previous attempt's journal.
  if (changes) { EXPECT_EQ(w.journal()->id, attack.outcome == RunOutcome::failed ? kPreviousId : kId); }
  if (attack.outcome == RunOutcome::rolledBack) { EXPECT_THAT(w.journal()->outcome->reason + ": " + w.journal()->outcome->detail, StartsWith(attack.reason + ": " + attack.detail)); }
}

INSTANTIATE_TEST_SUITE_P(Rows, AttackTest, ::testing::ValuesIn(attacks()),
                         [](const auto& row) { return std::string(row.param.name); });

// An unsigned repair may only settle the half-done swap: the leftovers of
// earlier runs are no concern of it.
TEST(ElevatedTest, ARepairOnlySettlesTheSwap) {
  World w;
  w.save(w.previous(JournalState::swapped, true)), w.addLeftovers();
  w.request.repair = true;
  ASSERT_THAT(w.fs.remove(w.install / "loftswitch.json"), IsOkay());  // not needed to repair
  EXPECT_EQ(w.run(), RunOutcome::rolledBack);
  EXPECT_EQ(w.fs.fileContent(w.install / "lib" / "data.txt").value_or("") + " " + w.journal()->outcome->reason, "old data interrupted");
  EXPECT_TRUE(w.fs.exists(trashFolder(w.ws()) / "old" / "x") && w.fs.exists(w.ws().workspacePath / "elevated" / "leftover"));
  EXPECT_TRUE(w.run() == RunOutcome::nothingToDo && w.lines.back() == "nothing to repair: the journal is rolled-back");
  EXPECT_TRUE(w.host.launches().empty());
}

// The disk fails for good at the k-th operation: the install holds the old or
// the new version, or the journal still says the swap is under way and a
// repair then restores the old one; a journal never claims an outcome the
// install doesn't have, and nothing outside the workspace changes.
TEST(ElevatedTest, ADiskThatFailsAtAnyOperationNeverLeavesAFalseOrMixedInstall) {
  for (std::size_t k = 1;; ++k) {
    SCOPED_TRACE("operation " + std::to_string(k));
    World w;
    w.markerAfter(500, "confirmed-");
    w.fs.failAt(k, MemoryFileSystem::Fault::forGood);
    const RunOutcome outcome = w.run();
    if (!w.fs.faultReached()) {
      EXPECT_EQ(outcome, RunOutcome::updated);
      break;
    }
    w.fs.heal();
    EXPECT_THAT(w.helperOutside, IsEmpty());
    const std::optional<Journal> journal = w.journal();
    const Snapshot installed = w.installed();
    if (outcome == RunOutcome::updated || (journal && journal->id == kId && journal->state == JournalState::swapped)) {
      EXPECT_EQ(installed, newVersionInstalled());
    } else if (installed != oldVersion()) {
      ASSERT_TRUE(journal);
      EXPECT_TRUE(journal->state == JournalState::swapping || journal->state == JournalState::rollingBack)
          << stateName(journal->state);
      w.request.repair = true;
      EXPECT_EQ(w.run(), RunOutcome::rolledBack);
      EXPECT_EQ(w.installed(), oldVersion());
    } else if (journal && journal->outcome) {
      EXPECT_NE(journal->outcome->result, "updated");
    }
  }
}

}  // namespace
}  // namespace loftswitch
