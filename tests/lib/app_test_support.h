#pragma once

// An install of the app "demo" at version 1.0 in a temporary folder, a
// publisher's keys, and doubles for the application library's tests.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/request.h"
#include "elevated/sha256.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "fs/local_file_system.h"
#include "lib/app_library.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"
#include "workspace/journal.h"

namespace loftswitch::applib {

inline constexpr const char* kId = "00000000000000c3";

inline Ed25519Seed seedOf(std::uint8_t n) {
  Ed25519Seed seed{};
  seed.fill(n);
  return seed;
}

inline Ed25519Key publicKey(std::uint8_t n) { return *ed25519PublicKey(seedOf(n)); }

// Every file operation of LocalFileSystem, except that the install folder
// cannot be changed, as when only an administrator may.
class ReadOnlyInstall final : public FileSystem {
  using Path = std::filesystem::path;

 public:
  explicit ReadOnlyInstall(Path install) : install_(std::move(install)) {}
  bool exists(const Path& p) override { return local_.exists(p); }
  Result<EntryKind> probe(const Path& p) override { return local_.probe(p); }
  bool isFolder(const Path& p) override { return local_.isFolder(p); }
  Result<std::vector<std::string>> list(const Path& p) override { return local_.list(p); }
  Result<Unit> move(const Path& a, const Path& b) override { return local_.move(a, b); }
  Result<Unit> createFolders(const Path& p) override { return local_.createFolders(p); }
  Result<Unit> remove(const Path& p) override { return local_.remove(p); }
  Result<Unit> writeFile(const Path& p, std::string_view b) override {
    return local_.writeFile(p, b);
  }
  Result<std::string> readFile(const Path& p, std::uint64_t limit) override {
    return local_.readFile(p, limit);
  }
  Result<Unit> append(const Path& p, std::string_view b) override { return local_.append(p, b); }
  Result<Unit> copy(const Path& a, const Path& b) override { return local_.copy(a, b); }
  Result<Unit> checkWritable(const Path& folder) override {
    if (folder == install_) return fail(ErrorCode::notWritable, "can't change " + pathToUtf8(folder));
    return local_.checkWritable(folder);
  }

 private:
  Path install_;
  LocalFileSystem local_;
};

// Records what would be started; the app is process 4321.
class RecordingStarter final : public Starter {
 public:
  Result<Unit> start(const LaunchRequest& request) override {
    started.push_back(request);
    return Unit{};
  }
  Result<ProcessIdentity> startElevated(const LaunchRequest& request) override {
    elevated.push_back(request);
    if (elevatedFailure) return fail(*elevatedFailure);
    return ProcessIdentity{777, 133000000000000777};
  }
  ProcessIdentity self() override { return ProcessIdentity{4321, 133000000000000000}; }

  std::vector<LaunchRequest> started;
  std::vector<LaunchRequest> elevated;
  std::optional<Error> elevatedFailure;
};

class AppFolders : public ::testing::Test {
 public:
  AppFolders() {
    writeTestFile(install() / "app.exe", "version 1");
    writeTestFile(install() / "settings" / "user.txt", "mine");
    writeTestFile(install() / "loftswitch.json", trust());
  }

  std::filesystem::path install() const { return temp / "App"; }
  std::filesystem::path workspace() const { return install() / ".loftswitch"; }
  AppPlaces places() const { return AppPlaces{install(), std::nullopt}; }

  static std::string trust() {
    return nlohmann::json{{"loftswitch_install", 1},
                          {"app", "demo"},
                          {"version", "1.0"},
                          {"executable", "app.exe"},
                          {"platforms", {"windows-x64"}},
                          {"preserve", {"settings"}},
                          {"publicKeys", {encodeBase64(publicKey(1))}}}
        .dump();
  }

  static std::string v2Package() {
    return ZipBuilder().file("app.exe", "version 2").file("data/readme.txt", "read me").build();
  }

  // The fields the publisher's tool writes for `package`, signed with key
  // `key` (1 is the trusted one).
  static std::string signFor(const std::string& package, const std::string& version = "2.0",
                             const std::string& platform = "windows-x64", std::uint8_t key = 1) {
    UpdateRequest request;
    request.version = version;
    request.platform = platform;
    request.size = package.size();
    request.sha256 = Sha256::digest(package);
    const std::string message = buildSignedMessage("demo", request);
    const auto signature = ed25519Sign(
        seedOf(key), std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()));
    return nlohmann::json{{"version", version},
                          {"platform", platform},
                          {"size", package.size()},
                          {"sha256", toHex(request.sha256)},
                          {"signature", encodeBase64(*signature)}}
        .dump(2);
  }

  // Stages temp/"package.zip", written first when it does not exist.
  Outcome<Staged> stage(const std::string& signedFields, const std::string& options = "") {
    if (!std::filesystem::exists(temp / "package.zip")) writeTestFile(temp / "package.zip", v2Package());
    return stagePackage(fs, places(), std::nullopt, temp / "package.zip", signedFields, options);
  }

  Journal journalOf(const std::string& id, JournalState state) const {
    Journal journal;
    journal.id = id;
    journal.app = "demo";
    journal.from = "1.0";
    journal.to = "2.0";
    journal.state = state;
    journal.executable = "app.exe";
    return journal;
  }
  void writeJournal(const Journal& journal) const {
    writeTestFile(workspace() / "journal.json", serializeJournal(journal));
  }
  Journal readJournal() const {
    auto journal = parseJournal(readTestFile(workspace() / "journal.json"));
    EXPECT_TRUE(journal) << journal.error().message;
    return journal ? *journal : Journal{};
  }

  TempFolder temp;
  LocalFileSystem fs;
};

}  // namespace loftswitch::applib
