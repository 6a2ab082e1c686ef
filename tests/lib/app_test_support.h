#pragma once

// An install of the app "demo" at version 1.0 in a temporary folder, a
// publisher's keys, packages that keep the install updatable, and doubles
// for the application library's tests.

#include <gtest/gtest.h>

#include <map>

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

inline Ed25519Seed seedOf(std::uint8_t n) { Ed25519Seed seed{}; seed.fill(n); return seed; }

inline Ed25519Key publicKey(std::uint8_t n) { return *ed25519PublicKey(seedOf(n)); }

// The install description of "demo" at `version`, with `changes` on top.
inline std::string description(const std::string& version,
                               const nlohmann::json& changes = nlohmann::json::object()) {
  nlohmann::json text = {{"loftswitch_install", 1},         {"app", "demo"},
                         {"version", version},              {"executable", "app.exe"},
                         {"platforms", {"windows-x64"}},    {"preserve", {"settings"}},
                         {"publicKeys", {encodeBase64(publicKey(1))}}};
  text.update(changes);
  return text.dump();
}

// The files of a package of `version` that keeps the install updatable.
inline std::map<std::string, std::string> packageFiles(const std::string& version = "2.0") {
  return {{"app.exe", "version 2"},
          {"data/readme.txt", "read me"},
          {"loftswitch.json", description(version)},
          {"loftswitch-apply.exe", "the tool"}};
}

inline std::string zipOf(const std::map<std::string, std::string>& files) {
  ZipBuilder zip;
  for (const auto& [name, content] : files) zip.file(name, content);
  return zip.build();
}

// Records what would be started; the app is process 4321.
class RecordingStarter final : public Starter {
 public:
  Result<Unit> start(const LaunchRequest& run) override { started.push_back(run); return Unit{}; }
  Result<ProcessIdentity> startElevated(const LaunchRequest& request) override {
    elevated.push_back(request);
    return ProcessIdentity{777, 133000000000000777};
  }
  ProcessIdentity self() override { return ProcessIdentity{4321, 133000000000000000}; }

  std::vector<LaunchRequest> started, elevated;
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
                             const std::string& platform = "windows-x64", std::uint8_t key = 1) {
    UpdateRequest request;
    request.version = version;
    request.platform = platform;
    request.size = package.size();
    request.sha256 = Sha256::digest(package);
    const std::string message = buildSignedMessage("demo", request);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    const auto signature = ed25519Sign(seedOf(key), std::span(bytes, message.size()));
    return nlohmann::json{{"version", version}, {"platform", platform}, {"size", package.size()},
                          {"sha256", toHex(request.sha256)},
                          {"signature", encodeBase64(*signature)}}
        .dump();
  }

  // Stages `package` (written to temp/"package.zip"), signed as `version`.
  Outcome<Staged> stage(const std::string& package, const std::string& version = "2.0",
                        const std::string& options = "") {
    writeTestFile(temp / "package.zip", package);
    return stagePackage(fs, places(), std::nullopt, temp / "package.zip",
                        signFor(package, version), options);
  }

  static Journal journalOf(const std::string& id, JournalState state) {
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
    return parseJournal(readTestFile(workspace() / "journal.json")).value_or(Journal{});
  }

  TempFolder temp;
  LocalFileSystem fs;
};

}  // namespace loftswitch::applib
