#include "elevated/elevated.h"

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/sha256.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "support/fake_host.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"
#include "workspace/journal_store.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;
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
  return {{"demo.exe", "old exe"}, {"lib\\", ""}, {"lib\\data.txt", "old data"},
          {"loftswitch.json", description("1.0.0")}, {"settings.ini", "mine"}};
}
Snapshot newVersionInstalled() {
  return {{"demo.exe", "new exe"}, {"lib\\", ""}, {"lib\\data.txt", "new data"},
          {"loftswitch-apply.exe", "tool"}, {"loftswitch.json", description("1.1.0")},
          {"settings.ini", "mine"}};
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

// Names every file it creates, so that a test sees where and when files appear.
struct RecordingFileSystem : MemoryFileSystem {
  Result<std::unique_ptr<FileWriter>> createFile(const std::filesystem::path& path, std::uint32_t permissions) override {
    created.push_back(pathToUtf8(path));
    return MemoryFileSystem::createFile(path, permissions);
  }
  std::vector<std::string> created;
};

// Version 1.0.0 installed in memory and a signed request for 1.1.0. Only the
// lock and the helper's verified copy of the package lie on the real disk:
// the helper opens those itself, with its own rights.
struct World {
  World() {
    for (const auto& [name, content] : oldVersion()) {
      if (!name.ends_with('\\')) fs.addFile(install / name, content);
    }
    fs.addFolder(user);
    request = {.id = kId, .version = "1.1.0", .platform = "windows-x64", .package = temp / "download.zip",
               .install = install, .userWorkspace = user, .executable = "demo.exe", .exitMs = 5000,
               .confirmMs = 10000};
    config.installFolder = install;
    setPackage(updatable("1.1.0", newVersion()));
    config.folderCheck = [this](const std::filesystem::path& folder) -> Result<Unit> {
      checked.push_back(folder);
      if (checkFailures.contains(folder)) return fail(ErrorCode::accessDenied, checkFailures[folder]);
      return Unit{};
    };
    config.folderRestrict = [this](const std::filesystem::path& folder) -> Result<Unit> {
      return restrictedEmpty.push_back(fs.snapshot(folder).empty()), Unit{};
    };
    config.pathCheck = [this](const std::filesystem::path& path) -> Result<Unit> {
      if (pathToUtf8(path).starts_with(pathToUtf8(temp.path()))) return Unit{};
      return fail(ErrorCode::invalidData, pathToUtf8(path) + " is not a path on a local disk");
    };
    config.lockWaitMs = 0;
  }

  void setPackage(const std::string& bytes) {
    writeTestFile(request.package, bytes);
    request.size = bytes.size(), request.sha256 = Sha256::digest(bytes);
    sign();
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
    std::filesystem::create_directories(ws().workspacePath / "elevated" / request.id);
    Elevated helper(request, app, fs, host, sink, config);
    return helper.run();
  }
  std::optional<Journal> journal() {
    auto loaded = loadJournal(fs, ws());
    return loaded ? std::optional(*loaded) : std::nullopt;
  }
  void save(const Journal& journal) { ASSERT_THAT(saveJournal(fs, ws(), journal, {}), IsOkay()); }
  // A previous attempt's journal; with a move, "lib" is already in its backup.
  Journal previous(JournalState state, const char* id = kPreviousId, bool moved = false) {
    Journal journal{.id = id, .app = "demo", .from = "0.9.0", .to = "1.0.0", .state = state,
                    .executable = "demo.exe"};
    if (moved) {
      journal.moves = {Move{Location::target, Location::backup, "lib"}};
      fs.addFolder(backupFolder(ws(), id));
      EXPECT_THAT(fs.move(install / "lib", backupFolder(ws(), id) / "lib"), IsOkay());
    }
    return journal;
  }
  void markerAfter(std::int64_t ms, const std::string& name, const std::string& content = "") {
    host.after(ms, [this, name, content] { fs.addFile(user / name, content); });
  }
  // The install without its workspace.
  Snapshot installed() const {
    Snapshot files = fs.snapshot(install);
    std::erase_if(files, [](const auto& file) { return file.first.starts_with(".loftswitch\\"); });
    return files;
  }
  // Everything outside the install, less the markers the test leaves.
  Snapshot outside() const {
    Snapshot files = fs.snapshot(temp.path());
    std::erase_if(files, [](const auto& file) {
      return file.first.starts_with("App\\") || file.first.starts_with("user\\confirmed-");
    });
    return files;
  }

  TempFolder temp;
  std::filesystem::path install = temp / "App";
  std::filesystem::path user = temp / "user";
  RecordingFileSystem fs;
  FakeHost host;
  UpdateRequest request;
  ElevatedConfig config;
  std::optional<ProcessIdentity> app;
  std::vector<std::string> lines;
  LogSink sink = [this](std::string_view line) { lines.emplace_back(line); };
  std::vector<std::filesystem::path> checked;
  std::map<std::filesystem::path, std::string> checkFailures;
  std::vector<bool> restrictedEmpty;
};

TEST(ElevatedTest, InstallsASignedPackageAndEndsOnlyOnTheNewVersionsWord) {
  World w;
  w.markerAfter(700, std::string("confirmed-") + kId);
  w.fs.addFile(stagedFolder(w.ws(), kId) / "stale.dll", "left by an earlier run of this attempt");
  EXPECT_EQ(w.run(), RunOutcome::updated);
  EXPECT_EQ(w.installed(), newVersionInstalled());
  ASSERT_TRUE(w.journal());
  EXPECT_EQ(std::string(stateName(w.journal()->state)) + " " + w.journal()->from + ">" + w.journal()->to + " " +
                w.journal()->package, "confirmed 1.0.0>1.1.0 " + toHex(w.request.sha256));
  EXPECT_THAT(w.checked, ElementsAre(w.install, w.ws().workspacePath));
  // Restricted before the copy lands in it, so that no user can swap the copy.
  EXPECT_THAT(w.restrictedEmpty, ElementsAre(true));
  EXPECT_FALSE(w.fs.exists(stageFolder(w.ws(), kId)));  // retired once confirmed
  EXPECT_FALSE(w.fs.exists(backupFolder(w.ws(), kId)));
  EXPECT_GE(w.host.elapsedMs(), 700);
  EXPECT_TRUE(w.host.launches().empty());

  // A repair rolled the update back while the new version was starting.
  World repaired;
  repaired.host.after(400, [&r = repaired] {
    Journal journal = *r.journal();
    r.save((journal.state = JournalState::rolledBack, journal));
  });
  repaired.markerAfter(700, std::string("confirmed-") + kId);
  EXPECT_EQ(repaired.run(), RunOutcome::rolledBack);

  // The new version exits instead: the update is undone, with the code it left.
  World exited;
  exited.markerAfter(300, std::string("exited-") + kId, "-1073741819\r\n");
  EXPECT_EQ(exited.run(), RunOutcome::rolledBack);
  EXPECT_EQ(exited.installed(), oldVersion());
  EXPECT_EQ(exited.journal()->outcome->detail, "the new version exited with code -1073741819 before it finished starting");
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
  w.markerAfter(700, std::string("confirmed-") + kId);
  EXPECT_EQ(w.run(), RunOutcome::updated);
  EXPECT_EQ(w.installed(), newVersionInstalled());
}

TEST(ElevatedTest, AnUnconfirmedUpdateIsCountedAsConfirmedByTheNextRequestAndRetired) {
  World w;
  EXPECT_EQ(w.run(), RunOutcome::unconfirmed);
  EXPECT_GE(w.host.elapsedMs(), 10000);
  w.request.id = "00000000000000aa";
  w.request.version = "1.2.0";
  w.setPackage(updatable("1.2.0", ZipBuilder().file("demo.exe", "newer exe")));
  w.fs.addFile(w.ws().workspacePath / "trash" / "old" / "x", "x");
  EXPECT_EQ(w.run(), RunOutcome::unconfirmed);
  EXPECT_EQ(w.fs.fileContent(w.install / "demo.exe"), "newer exe");
  EXPECT_FALSE(w.fs.exists(backupFolder(w.ws(), kId)));
  EXPECT_FALSE(w.fs.exists(w.ws().workspacePath / "trash" / "old"));
  const Snapshot logs = w.fs.snapshot(logsFolder(w.ws()));
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(parseJournal(logs.begin()->second).value().outcome, (OutcomeRecord{"updated", "", ""}));
}

// The attacks: a hostile package, request or copy. Each is refused with its
// own message, and nothing outside the attempt's stage changes; the files the
// helper creates lie in the stage, and only once the package verified.
struct Attack {
  const char* name;
  std::function<void(World&)> make;
  std::string detail;
  bool early = false;   // refused before anything is written, journal included
  bool extracts = false;
};

std::function<void(World&)> packageWith(ZipBuilderEntry extra) {
  return [extra](World& w) { w.setPackage(updatable("1.1.0", newVersion().add(extra))); };
}
std::function<void(World&)> resigned(std::function<void(UpdateRequest&)> edit) {
  return [edit](World& w) { edit(w.request), w.sign(); };
}
const std::string kEntry = "package entry ";

std::vector<Attack> attacks() {
  std::vector<Attack> all = {
    {"BadSignature", [](World& w) { w.request.signature[5] ^= 1; },
     "the update's signature doesn't verify with any trusted key", true},
    {"SameVersion", resigned([](UpdateRequest& r) { r.version = "1.0.0"; }),
     "version 1.0.0 is not newer than the installed 1.0.0", true},
    {"OtherPlatform", resigned([](UpdateRequest& r) { r.platform = "windows-arm64"; }),
     "the package is for windows-arm64, which this install doesn't run", true},
    {"OverSizeLimit", [](World& w) { w.config.packageSizeLimit = w.request.size - 1; },
     "the package is larger than the limit", true},
    {"PackageOnAShare", [](World& w) { w.request.package = "//srv/share/p.zip"; },
     "//srv/share/p.zip is not a path on a local disk", true},
    {"WorkspaceOnAPipe", [](World& w) { w.request.userWorkspace = "//./pipe/user"; },
     "//./pipe/user is not a path on a local disk", true},
    {"GrownCopy", [](World& w) { w.editPackage([](std::string& b) { b += "x"; }); },
     "the package couldn't be copied for verification: the package is larger than its signed size"},
    {"ShortCopy", [](World& w) { w.setPackage("12345"), w.editPackage([](std::string& b) { b.pop_back(); }); },
     "the package is 4 bytes, not the signed 5"},
    {"DigestMismatch", [](World& w) { w.editPackage([](std::string& b) { b[b.size() / 2] ^= 1; }); },
     "the package's SHA-256 doesn't match the signed one"},
    {"EntryLimit", [](World& w) { w.config.entryLimit = 2; }, "the package has 5 entries, more than the limit of 2"},
    {"ExpandedLimit", [](World& w) { w.config.expandedSizeLimit = 10; }, "the package expands to more than 10 bytes"},
    {"InflatesPastItsSize",
     packageWith({.name = "bomb.bin", .content = std::string(1 << 20, '\0'), .uncompressedSize = 1000}),
     "a package entry inflates past its declared size", false, true},
    {"CrcMismatch", packageWith({.name = "crc.txt", .content = "data", .crc32 = 0x12345678}),
     kEntry + "\"crc.txt\" is damaged: CRC-32 mismatch", false, true},
    {"ShorterThanDeclared", packageWith({.name = "short.txt", .content = "data", .uncompressedSize = 10}),
     kEntry + "\"short.txt\" is shorter than declared", false, true},
    {"DeltaForAnotherVersion", resigned([](UpdateRequest& r) { r.from = "0.9.0"; }),
     "the delta turns version 0.9.0 into 1.1.0, not the installed 1.0.0", true},
    {"NoExecutable", [](World& w) { w.setPackage(updatable("1.1.0", ZipBuilder().file("x.exe", "x"))); },
     "the update has no demo.exe", false, true},
    // What keeps the install updatable after this update.
    {"NoDescription", [](World& w) { w.setPackage(newVersion().file("loftswitch-apply.exe", "tool").build()); },
     "the package has no loftswitch.json file at its root: the installed version needs one to be updated again", false, true},
    {"DescribesAnotherVersion", [](World& w) { w.setPackage(updatable("1.2.0", newVersion())); },
     "the package's loftswitch.json says version \"1.2.0\", but the package is signed as version \"1.1.0\"", false, true},
    {"NoTool", [](World& w) { w.setPackage(newVersion().file("loftswitch.json", description("1.1.0")).build()); },
     "the package has no loftswitch-apply.exe at its root: the installed version needs it to be updated again", false, true},
  };
  for (const HostileArchive& archive : hostileArchives()) {
    all.push_back({archive.name.c_str(), [&archive](World& w) { w.setPackage(archive.bytes); }, archive.refusal});
  }
  return all;
}

void PrintTo(const Attack& attack, std::ostream* out) { *out << attack.name; }

class AttackTest : public ::testing::TestWithParam<Attack> {};

TEST_P(AttackTest, IsRefusedWithItsMessageAndChangesNothingOutsideTheStage) {
  World w;
  GetParam().make(w);
  const std::string& detail = GetParam().detail;
  const Snapshot outside = w.outside();
  const RunOutcome outcome = w.run();
  EXPECT_EQ(w.lines.back(), "refusing the update (rejected): " + detail);
  EXPECT_EQ(w.installed(), oldVersion());
  EXPECT_EQ(w.outside(), outside);
  Snapshot workspace = w.fs.snapshot(w.ws().workspacePath);
  std::erase_if(workspace, [](const auto& file) { return file.first.ends_with("\\"); });
  if (GetParam().early) {
    EXPECT_EQ(outcome, RunOutcome::refused);
    EXPECT_EQ(workspace, Snapshot{});
  } else {
    EXPECT_EQ(outcome, RunOutcome::rolledBack);
    EXPECT_EQ(workspace.size(), 1u) << "only the journal";
    EXPECT_EQ(w.journal()->outcome, (OutcomeRecord{"rolled-back", "rejected", detail}));
  }
  // Nothing is written before the package verified and opened.
  const std::string stage = pathToUtf8(stageFolder(w.ws(), kId));
  for (const std::string& path : w.fs.created) EXPECT_TRUE(path.starts_with(stage)) << path;
  EXPECT_EQ(!w.fs.created.empty(), GetParam().extracts);
}

INSTANTIATE_TEST_SUITE_P(Rows, AttackTest, ::testing::ValuesIn(attacks()),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(ElevatedTest, RefusesTheEnvironmentWithoutWritingAnything) {
  const std::string refusing = "refusing to run elevated: ";
  World w;
  w.checkFailures[w.install] = "the install folder is open to users";
  EXPECT_EQ(w.run(), RunOutcome::refused);
  EXPECT_EQ(w.lines.back(), refusing + "the install folder is open to users");
  w.checkFailures.clear();
  w.fs.addFile(w.install / "loftswitch.json", R"({"loftswitch_install": 2})");
  EXPECT_EQ(w.run(), RunOutcome::refused);
  EXPECT_EQ(w.lines.back(), refusing + "loftswitch.json: not a version 1 install description");

  World planted;
  const std::filesystem::path ws = planted.ws().workspacePath;
  planted.fs.addFile(ws, "");
  EXPECT_EQ(planted.run(), RunOutcome::refused);
  EXPECT_EQ(planted.lines.back(), refusing + pathToUtf8(ws) + " is a link or a file");
  EXPECT_EQ(elevatedLogPath(planted.fs, planted.config, "a.log"), std::filesystem::path());
  ASSERT_THAT(planted.fs.remove(ws), IsOkay());
  planted.fs.addFolder(ws);
  EXPECT_EQ(elevatedLogPath(planted.fs, planted.config, "a.log"), logsFolder(planted.ws()) / "a.log");
  planted.checkFailures[ws] = "the workspace is open to users";
  EXPECT_EQ(elevatedLogPath(planted.fs, planted.config, "a.log"), std::filesystem::path());
  EXPECT_EQ(planted.run(), RunOutcome::refused);
  EXPECT_EQ(planted.lines.back(),
            refusing + "the workspace is open to users; an administrator can delete " + pathToUtf8(ws));
  EXPECT_EQ(planted.fs.snapshot(ws), Snapshot{});
  EXPECT_EQ(planted.installed(), oldVersion());
}

TEST(ElevatedTest, WaitsForTheAppWithTheRequestsTimeAndWritesNothingWhileItRuns) {
  World w;
  w.app = w.host.addProcess(w.temp / "elsewhere" / "demo.exe");
  EXPECT_EQ(w.run(), RunOutcome::appStillRunning);
  EXPECT_EQ(w.lines.back(), "the app (process " + std::to_string(w.app->pid) + ") didn't exit");
  EXPECT_EQ(w.host.waitTimeouts().back(), 5000);
  EXPECT_FALSE(w.fs.exists(w.ws().workspacePath));
}

TEST(ElevatedTest, SettlesThePreviousJournalBeforeInstalling) {
  World w;
  w.save(w.previous(JournalState::swapping, kPreviousId, true));
  w.fs.addFile(stageFolder(w.ws(), kPreviousId) / "new" / "x", "x");
  EXPECT_EQ(w.run(), RunOutcome::unconfirmed);
  EXPECT_EQ(w.installed(), newVersionInstalled());
  EXPECT_FALSE(w.fs.exists(stageFolder(w.ws(), kPreviousId)));
  EXPECT_FALSE(w.fs.exists(backupFolder(w.ws(), kPreviousId)));
  const Snapshot logs = w.fs.snapshot(logsFolder(w.ws()));
  EXPECT_EQ(logs.size() == 1 ? parseJournal(logs.begin()->second)->state : JournalState::staged, JournalState::rolledBack);
}

// A garbage signature would otherwise confirm a pending attempt and delete
// its backup; an unsigned repair may only settle the half-done swap.
TEST(ElevatedTest, ARefusedRequestChangesNothingAndARepairOnlySettlesTheSwap) {
  World w;
  w.save(w.previous(JournalState::swapped, kPreviousId, true));
  w.fs.addFile(trashFolder(w.ws()) / "old" / "x", "x");
  w.fs.addFile(w.ws().workspacePath / "elevated" / "leftover", "x");
  const Snapshot before = w.fs.snapshot();
  w.request.signature[0] ^= 1;
  EXPECT_EQ(w.run(), RunOutcome::refused);
  EXPECT_EQ(w.fs.snapshot(), before);
  w.request.repair = true;
  ASSERT_THAT(w.fs.remove(w.install / "loftswitch.json"), IsOkay());  // not needed to repair
  EXPECT_EQ(w.run(), RunOutcome::rolledBack);
  EXPECT_EQ(w.fs.fileContent(w.install / "lib" / "data.txt"), "old data");
  EXPECT_EQ(w.journal()->outcome->reason, "interrupted");
  EXPECT_TRUE(w.fs.exists(trashFolder(w.ws()) / "old" / "x"));
  EXPECT_TRUE(w.fs.exists(w.ws().workspacePath / "elevated" / "leftover"));
  EXPECT_EQ(w.run(), RunOutcome::nothingToDo);
  EXPECT_EQ(w.lines.back(), "nothing to repair: the journal is rolled-back");
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
    w.markerAfter(500, std::string("confirmed-") + kId);
    Snapshot outside = w.outside();
    w.fs.failAt(k, MemoryFileSystem::Fault::forGood);
    const RunOutcome outcome = w.run();
    if (!w.fs.faultReached()) {
      EXPECT_EQ(outcome, RunOutcome::updated);
      break;
    }
    w.fs.heal();
    EXPECT_EQ(w.outside(), outside);
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
