#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>

#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/key_id.h"
#include "elevated/request.h"
#include "elevated/sha256.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "fs/local_file_system.h"
#include "lib/app_library.h"
#include "lib/rolled_back.h"
#include "loftswitch/app.h"
#include "support/app_dll.h"
#include "support/fake_host.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "support/programs.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"
#include "workspace/journal.h"

namespace loftswitch::applib {
namespace {

// An install of the app "demo" at version 1.0 in a temporary folder, a
// publisher's keys, packages that keep the install updatable, and doubles
// for the application library's tests.

Ed25519Seed seedOf(std::uint8_t n) { Ed25519Seed seed{}; seed.fill(n); return seed; }

Ed25519Key publicKey(std::uint8_t n) { return *ed25519PublicKey(seedOf(n)); }

// The install description of "demo" at `version`, with `changes` on top.
std::string description(const std::string& version,
                               const nlohmann::json& changes = nlohmann::json::object()) {
  nlohmann::json text = {{"loftswitch_install", 1}, {"app", "demo"}, {"version", version},
                         {"executable", "app.exe"}, {"platforms", {"windows-x64"}},
                         {"preserve", {"settings"}}, {"publicKeys", {encodeBase64(publicKey(1))}}};
  text.update(changes);
  return text.dump();
}

// The files of a package of `version` that keeps the install updatable.
std::map<std::string, std::string> packageFiles(const std::string& version = "2.0") {
  return {{"app.exe", "version 2"}, {"data/readme.txt", "read me"},
          {"loftswitch.json", description(version)}, {"loftswitch-apply.exe", "the tool"}};
}

// Records each progress call, and cancels at call `cancelAt` (from 0) and
// any after it.
struct Recorder {
  std::size_t cancelAt = SIZE_MAX;
  std::vector<std::array<std::uint64_t, 3>> calls;
  static int record(int32_t phase, std::uint64_t done, std::uint64_t total, void* self) {
    auto& me = *static_cast<Recorder*>(self);
    me.calls.push_back({static_cast<std::uint64_t>(phase), done, total});
    return me.calls.size() > me.cancelAt ? 1 : 0;
  }
};

class AppFolders : public ::testing::Test {
 public:
  AppFolders() { writeTestFile(install() / "loftswitch.json", description("1.0")); }

  std::filesystem::path install() const { return temp / "App"; }
  std::filesystem::path workspace() const { return install() / ".loftswitch"; }
  AppPlaces places() const { return AppPlaces{install(), std::nullopt}; }

  // The fields that the publisher's tool writes for `package`, signed with
  // key `key` (1 is the trusted one).
  static std::string signFor(const std::string& package, const std::string& version = "2.0",
                             const std::string& platform = "windows-x64", std::uint8_t key = 1,
                             const std::string& from = "") {
    UpdateRequest request;
    request.version = version;
    request.from = from;
    request.platform = platform;
    request.size = package.size();
    request.sha256 = Sha256::digest(package);
    const std::string message = buildSignedMessage("demo", request);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    const auto signature = ed25519Sign(seedOf(key), std::span(bytes, message.size()));
    nlohmann::json fields = {{"version", version}, {"platform", platform}, {"size", package.size()},
                             {"sha256", toHex(request.sha256)}, {"signature", encodeBase64(*signature)},
                             {"keyId", keyId(publicKey(key))}};
    if (!from.empty()) fields["from"] = from;
    return fields.dump();
  }

  // Stages `package` as an app does, through the DLL, with progress when
  // there is a recorder. Keeps the id and the message.
  int stage(const std::string& package, std::string fields = "", const char* options = nullptr,
            Recorder* recorder = nullptr, const char* userWorkspace = nullptr) {
    writeTestFile(temp / "package.zip", package);
    if (fields.empty()) fields = signFor(package);
    const std::string at = pathToUtf8(install()), from = pathToUtf8(temp / "package.zip");
    loftswitch_status status{};
    const int code = appDll().stagePackage(
        at.c_str(), userWorkspace, nullptr, from.c_str(), fields.c_str(), options,
        recorder ? &Recorder::record : nullptr, recorder, id, &status);
    message = status.message;
    appDll().statusFree(&status);
    return code;
  }

  // The sample app at version 1 (which reports nothing itself) stages
  // version 2 with `settings` through the library, starts the real tool and
  // exits; returns once the journal holds the outcome. `sample` adds to
  // both versions' install descriptions.
  void updateSampleApp(const std::string& settings, nlohmann::json sample = nlohmann::json::object()) {
    sample["executable"] = "sample-app.exe";
    std::map<std::string, std::string> files = {
        {"sample-app.exe", readTestFile(builtProgram("sample-app"))},
        {"loftswitch-apply.exe", readTestFile(builtProgram("loftswitch-apply"))},
        {"sample.ini", "version=1\nmode=quiet\n"}, {"loftswitch.json", description("1", sample)}};
    for (const auto& [name, content] : files) writeTestFile(install() / name, content);
    files["sample.ini"] = settings, files["loftswitch.json"] = description("2", sample);
    const std::string package = zipOf(files);
    ASSERT_EQ(stage(package, signFor(package, "2")), LOFTSWITCH_OK) << message;
    const ProgramRun start = runProgram(install() / "sample-app.exe", {"--start-update", id});
    ASSERT_EQ(start.exitCode, 0) << start.err;
    EXPECT_TRUE(pollUntil(std::chrono::seconds(60), [&] {
      return fs.readFile(workspace() / "journal.json", 1 << 20).value_or("").contains("outcome");
    })) << "the update never ended";
  }

  static Journal journalOf(const std::string& id, JournalState state) {
    Journal journal;
    std::tie(journal.id, journal.state, journal.app, journal.from, journal.to, journal.executable) =
        std::tuple(id, state, "demo", "1.0", "2.0", "app.exe");
    return journal;
  }

  TempFolder temp;
  LocalFileSystem fs;
  char id[LOFTSWITCH_ATTEMPT_ID_SIZE] = {};
  std::string message;
};

using ::testing::HasSubstr;
using ::testing::StartsWith;

class LibraryTest : public AppFolders {
 protected:
  // What a failed call must leave as it was.
  auto snapshot() {
    return std::tuple(installFiles(install()), installFiles(workspace()),
                      fs.list(workspace()).value(), fs.list(workspace() / "stage").value());
  }
};

// Catches phases out of order, counts that go back or stop short of their
// total, totals that are not the package's and a report per chunk rather
// than per MiB; then, cancelling at each report in turn, a cancel that is
// ignored or reported as another failure, a callback called after it
// cancelled, and a copy, stage folder or journal change left behind. The
// attempt staged first must survive, and the call without progress must
// stage after the cancels. A delta reports rebuilding the new version from
// the install's own files in place of unpacking. A refusal leaves what a
// cancel leaves.
TEST_F(LibraryTest, ReportsEachPhaseToItsTotalAndACancelAtAnyReportLeavesNothing) {
  const auto old = packageFiles("1.0");
  for (const auto& [name, content] : old) writeTestFile(install() / name, content);
  auto files = packageFiles();
  std::string& noise = files["data/noise.bin"] = std::string(3 * 0x100000 + 12345, '\0');
  for (std::uint32_t x = 1; char& byte : noise) byte = static_cast<char>((x = x * 69069 + 1) >> 24);
  const std::string package = zipOf(files), delta = deltaBetween(zipOf(old), package);
  std::uint64_t unpacked = 0;
  for (const auto& [name, content] : files) unpacked += content.size();
  for (const auto& [bytes, fields, last] :
       {std::tuple(package, signFor(package), LOFTSWITCH_PHASE_UNPACKING),
        std::tuple(delta, signFor(delta, "2.0", "windows-x64", 1, "1.0"), LOFTSWITCH_PHASE_REBUILDING)}) {
    const std::uint64_t totals[] = {0, bytes.size(), bytes.size(), unpacked, 0, unpacked};
    Recorder full;
    ASSERT_EQ(stage(bytes, fields, nullptr, &full), LOFTSWITCH_OK) << message;
    EXPECT_EQ(installFiles(workspace() / "stage" / id / "new"), files);
    std::uint64_t phases = 0;
    for (std::size_t i = 0; i < full.calls.size(); ++i) {
      const auto [phase, done, total] = full.calls[i];
      const bool starts = i == 0 || full.calls[i - 1][0] != phase;
      const bool ends = i + 1 == full.calls.size() || full.calls[i + 1][0] != phase;
      const std::uint64_t before = starts ? 0 : full.calls[i - 1][1];
      EXPECT_TRUE(!starts || phase == (++phases == 3 ? std::uint64_t{last} : phases)) << "call " << i;
      EXPECT_EQ(std::pair(total, ends ? done : total), std::pair(totals[phase], totals[phase])) << i;
      EXPECT_TRUE(starts ? done == 0 : done >= before + 0x100000 || (ends && done > before)) << i;
    }
    EXPECT_EQ(phases, 3u);
    EXPECT_GE(full.calls.size(), 8u);

    const auto before = snapshot();
    const char* names[] = {"", "copying", "verifying", "unpacking", "", "rebuilding"};
    for (std::size_t k = 0; k < full.calls.size(); ++k) {
      if (bytes == delta && full.calls[k][0] != last) continue;  // the package's phases again
      Recorder cancelling{k, {}};
      EXPECT_EQ(stage(bytes, fields, nullptr, &cancelling), LOFTSWITCH_CANCELLED) << "at call " << k;
      EXPECT_EQ(message, std::string("cancelled by the application while ") +
                             names[full.calls[k][0]] + " the package; nothing was staged");
      EXPECT_EQ(cancelling.calls.size(), k + 1) << "called after the cancel at call " << k;
      EXPECT_TRUE(snapshot() == before) << "at call " << k;
    }
    // A refusal leaves the attempt staged first, as a cancel does.
    EXPECT_EQ(stage(bytes, "{"), LOFTSWITCH_ERROR_ARGUMENT);
    EXPECT_THAT(message, StartsWith("the signed fields: not valid JSON"));
    EXPECT_TRUE(snapshot() == before);
    EXPECT_EQ(stage(bytes, fields), LOFTSWITCH_OK) << message;
  }
}

// The crash loop: the app finds 2.0, stages it, 2.0 crashes at start and is
// rolled back, the app starts again and finds 2.0 again.
TEST_F(LibraryTest, AVersionRolledBackIsStagedAgainOnlyWhenAskedTo) {
  Journal crashed = journalOf("00000000000000a1", JournalState::rolledBack);
  crashed.outcome = OutcomeRecord{"rolled-back", "exited", "the new version exited with code 3"};
  writeTestFile(workspace() / "journal.json", serializeJournal(crashed));
  const auto refusal = StartsWith(
      "version 2.0 was rolled back on this install (exited: the new version exited with code 3)");
  const std::string v2 = zipOf(packageFiles());
  EXPECT_EQ(stage(v2), LOFTSWITCH_ERROR_REJECTED);
  EXPECT_THAT(message, refusal);
  ASSERT_EQ(stage(v2, "", R"({"retryRolledBack": true})"), LOFTSWITCH_OK) << message;
  // Remembered beyond the journal that told it; a newer version is welcome.
  EXPECT_EQ(stage(v2), LOFTSWITCH_ERROR_REJECTED);
  EXPECT_THAT(message, refusal);
  const std::string v21 = zipOf(packageFiles("2.1"));
  EXPECT_EQ(stage(v21, signFor(v21, "2.1")), LOFTSWITCH_OK) << message;
}

// An install that only an administrator can change: staging writes a
// request for the helper, confirming a marker. Catches a request the helper
// would read wrongly and a confirmation written into the administrator's
// journal.
TEST_F(LibraryTest, AnAdministratorsInstallGoesThroughARequestAndAMarker) {
  MemoryFileSystem memory;
  FakeHost host;
  memory.addFile(install() / "loftswitch.json", description("1.0"));
  memory.failOn(MemoryFileSystem::Operation::checkWritable, install(),
                Error{ErrorCode::notWritable, "administrators only"});
  const AppPlaces places = {install(), temp / "user"};
  const std::string bytes = zipOf(packageFiles());
  writeTestFile(temp / "package.zip", bytes);
  const auto staged =
      stagePackage(memory, host, places, std::nullopt, temp / "package.zip", signFor(bytes), "");
  ASSERT_TRUE(staged) << staged.error().message;
  const auto request =
      readUpdateRequest(memory.fileContent(requestFile(temp / "user", staged->id)).value());
  ASSERT_TRUE(request) << request.error().message;
  EXPECT_EQ(std::tuple(request->install, request->userWorkspace, request->package),
            std::tuple(install(), temp / "user", temp / "package.zip"));
  const std::string swapped = serializeJournal(journalOf(staged->id, JournalState::swapped));
  memory.addFile(workspace() / "journal.json", swapped);
  EXPECT_EQ(confirmStartup(memory, host, places, staged->id, 0)->kind, LOFTSWITCH_CONFIRMED);
  EXPECT_TRUE(memory.fileContent(temp / "user" / ("confirmed-" + staged->id)));
  EXPECT_EQ(memory.fileContent(workspace() / "journal.json"), swapped);

  // Started: the helper from the install, the waiter from the user's
  // workspace, told which helper to wait for.
  FakeStarter starter;
  starter.elevated = ProcessIdentity{77, 5};
  memory.addFile(install() / "loftswitch-apply.exe", "the tool");
  EXPECT_THAT(startApply(memory, starter, places, staged->id, {}).value_or(""), StartsWith("started the administrator's helper"));
  ASSERT_EQ(starter.started.size(), 2u);
  EXPECT_EQ(std::tuple(starter.started[0].program, starter.started[1].program, starter.started[1].arguments.back()),
            std::tuple(install() / "loftswitch-apply.exe", temp / "user" / "loftswitch-apply.exe", "5"));

  // A delta the install's files don't fit: refused before the helper is
  // asked, and remembered so that the next check offers the full package.
  memory.addFile(install() / "app.exe", "patched by the user");
  const auto requests = memory.snapshot(temp / "user");
  const std::string delta = deltaBetween(zipOf(packageFiles("1.0")), bytes);
  writeTestFile(temp / "package.zip", delta);
  const auto refused = stagePackage(memory, host, places, std::nullopt, temp / "package.zip",
                                    signFor(delta, "2.0", "windows-x64", 1, "1.0"), "");
  const std::string why = "the install's \"app.exe\" isn't the file of version 1.0 that the delta was made from";
  EXPECT_EQ(refused.error().message, why + "; check for the update again to be offered the full package");
  const auto remembered = refusedDeltas(memory, refusedDeltasPath(temp / "user"));
  EXPECT_TRUE(remembered.size() == 1 && remembered[0].sha256 == toHex(Sha256::digest(delta)) &&
              remembered[0].why.starts_with(why));
  EXPECT_EQ(memory.snapshot(temp / "user").size(), requests.size() + 1);
}

// Every refusal on a newcomer's road, through the DLL as an app meets it,
// says how to fix it; and a refusal on an install with nothing staged
// leaves the install folder as it was, the workspace's lock included.
TEST_F(LibraryTest, EachRefusalSaysHowToFixItAndARefusedFirstStagingLeavesNothing) {
  const std::string v2 = zipOf(packageFiles());
  ZipBuilder inFolder;
  for (const auto& [name, content] : packageFiles()) inFolder.file("app/" + name, content);
  const std::string zippedFolder = inFolder.build();
  auto withoutTool = packageFiles();
  withoutTool.erase("loftswitch-apply.exe");
  writeTestFile(temp / "signed.json", signFor(v2));
  const std::string user = pathToUtf8(temp / "user");
  loftswitch_status status{};
  loftswitch_outcome outcome{};
  const std::string at = pathToUtf8(install());
  const auto told = [&](int code) {
    message = status.message;
    appDll().statusFree(&status);
    return code;
  };
  const struct Row {
    std::string name;
    std::function<int()> call;
    int code;
    std::string hint;
  } rows[] = {
      {"8 one folder zipped", [&] { return stage(zippedFolder); }, LOFTSWITCH_ERROR_REJECTED,
       "the zip holds one folder, app/: zip its contents instead"},
      {"9 another key", [&] { return stage(v2, signFor(v2, "2.0", "windows-x64", 9)); },
       LOFTSWITCH_ERROR_REJECTED, "the signed fields say key " + keyId(publicKey(9)) +
       " signed them, but this install trusts key " + keyId(publicKey(1)) + ": sign with a key"},
      {"10 a path for the text", [&] { return stage(v2, pathToUtf8(temp / "signed.json")); },
       LOFTSWITCH_ERROR_ARGUMENT, "signed.json\" is the path of a file, not its text: pass"},
      {"11 a byte more", [&] { return stage(v2 + "x", signFor(v2)); }, LOFTSWITCH_ERROR_REJECTED,
       "the package is " + std::to_string(v2.size() + 1) + " bytes, not the signed " +
       std::to_string(v2.size()) + ", so its SHA-256 differs too: the package and the signed "
       "fields don't belong together"},
      {"13 refused once locked", [&] { return stage(zipOf(withoutTool)); },
       LOFTSWITCH_ERROR_REJECTED, "the package has no loftswitch-apply.exe at its root"},
      {"14 nothing to mark", [&] {
         return told(appDll().markReported(at.c_str(), nullptr, "00000000000000a1", 0, &status)); },
       LOFTSWITCH_ERROR_NOT_FOUND, "nothing to mark: no update has been staged in"},
      {"an outcome without its size", [&] {
         return told(appDll().readOutcome(at.c_str(), nullptr, &outcome, &status)); },
       LOFTSWITCH_ERROR_ARGUMENT, "set it to sizeof(loftswitch_outcome) before the call"},
      {"15 a user workspace not needed", [&] { return stage(v2, "", nullptr, nullptr, user.c_str()); },
       LOFTSWITCH_OK, "the user workspace is not used, as this user can change the install folder"},
      {"12 a crash", [&] {
         updateSampleApp("version=2\nmode=crash\nexitCode=-1073741819\n");
         outcome.size = sizeof outcome;
         const int code = told(appDll().readOutcome(at.c_str(), nullptr, &outcome, &status));
         if (outcome.present) message = std::to_string(outcome.reason_code) + " " + outcome.detail;
         appDll().outcomeFree(&outcome);
         return code; },
       LOFTSWITCH_OK, "6 the new version exited with code 0xC0000005 (access violation)"},
  };
  for (const Row& row : rows) {
    std::filesystem::remove_all(workspace());
    EXPECT_EQ(row.call(), row.code) << row.name << ": " << message;
    EXPECT_THAT(message, HasSubstr(row.hint)) << row.name;
    EXPECT_TRUE(row.code == LOFTSWITCH_OK || !fs.exists(workspace())) << row.name << " left it";
  }
}

// Version 2 migrates the user's database and crashes: the rollback keeps the
// migrated one where the next staging leaves it, and the outcome says where.
TEST_F(LibraryTest, WhatACrashedVersionMigratedOutlivesTheNextStaging) {
  const nlohmann::json sample = {{"executable", "sample-app.exe"}, {"preserve", {"data/user.db"}}};
  writeTestFile(install() / "data" / "user.db", "the user's");
  updateSampleApp("mode=crash\nrename=data/user.db:data/user.v2.db\n", sample);
  loftswitch_status status{};
  loftswitch_outcome outcome{};
  outcome.size = sizeof outcome;
  ASSERT_EQ(appDll().readOutcome(pathToUtf8(install()).c_str(), nullptr, &outcome, &status),
            LOFTSWITCH_OK);
  appDll().statusFree(&status);
  const std::filesystem::path migrated = utf8ToPath(outcome.kept_path) / "new" / "data" / "user.v2.db";
  EXPECT_EQ(readTestFile(migrated), "the user's");
  EXPECT_GE(outcome.kept_bytes, 10u);
  appDll().outcomeFree(&outcome);
  const std::string v3 = zipOf({{"sample-app.exe", readTestFile(install() / "sample-app.exe")},
                                {"loftswitch-apply.exe", readTestFile(install() / "loftswitch-apply.exe")},
                                {"sample.ini", "mode=quiet\n"}, {"loftswitch.json", description("3", sample)}});
  ASSERT_EQ(stage(v3, signFor(v3, "3")), LOFTSWITCH_OK) << message;
  EXPECT_EQ(readTestFile(migrated), "the user's");
}

}  // namespace
}  // namespace loftswitch::applib
