#pragma once

// An install of the app "demo" at version 1.0 in a temporary folder, a
// publisher's keys, packages that keep the install updatable, and doubles
// for the application library's tests.

#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/request.h"
#include "elevated/sha256.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "fs/local_file_system.h"
#include "lib/app_library.h"
#include "loftswitch/app.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"
#include "workspace/journal.h"

namespace loftswitch::applib {

inline Ed25519Seed seedOf(std::uint8_t n) { Ed25519Seed seed{}; seed.fill(n); return seed; }

inline Ed25519Key publicKey(std::uint8_t n) { return *ed25519PublicKey(seedOf(n)); }

// The install description of "demo" at `version`, with `changes` on top.
inline std::string description(const std::string& version,
                               const nlohmann::json& changes = nlohmann::json::object()) {
  nlohmann::json text = {{"loftswitch_install", 1}, {"app", "demo"}, {"version", version},
                         {"executable", "app.exe"}, {"platforms", {"windows-x64"}},
                         {"preserve", {"settings"}}, {"publicKeys", {encodeBase64(publicKey(1))}}};
  text.update(changes);
  return text.dump();
}

// The files of a package of `version` that keeps the install updatable.
inline std::map<std::string, std::string> packageFiles(const std::string& version = "2.0") {
  return {{"app.exe", "version 2"}, {"data/readme.txt", "read me"},
          {"loftswitch.json", description(version)}, {"loftswitch-apply.exe", "the tool"}};
}

inline std::string zipOf(const std::map<std::string, std::string>& files) {
  ZipBuilder zip;
  for (const auto& [name, content] : files) zip.file(name, content);
  return zip.build();
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
                          {"sha256", toHex(request.sha256)}, {"signature", encodeBase64(*signature)}}
        .dump();
  }

  // Stages `package` as the app does, through the C call without progress,
  // or with it when there is a recorder. Keeps the id and the message.
  int stage(const std::string& package, std::string fields = "", const char* options = nullptr,
            Recorder* recorder = nullptr) {
    writeTestFile(temp / "package.zip", package);
    if (fields.empty()) fields = signFor(package);
    const std::string at = pathToUtf8(install()), from = pathToUtf8(temp / "package.zip");
    loftswitch_status status{};
    const int code = recorder == nullptr
        ? loftswitch_stage_package(at.c_str(), nullptr, nullptr, from.c_str(), fields.c_str(),
                                   options, id, &status)
        : loftswitch_stage_package_with_progress(at.c_str(), nullptr, nullptr, from.c_str(),
                                                 fields.c_str(), options, &Recorder::record,
                                                 recorder, id, &status);
    message = status.message;
    loftswitch_status_free(&status);
    return code;
  }

  static Journal journalOf(const std::string& id, JournalState state) {
    Journal journal;
    std::tie(journal.id, journal.state, journal.app, journal.from, journal.to, journal.executable) =
        std::tuple(id, state, "demo", "1.0", "2.0", "app.exe");
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
  char id[LOFTSWITCH_ATTEMPT_ID_SIZE] = {};
  std::string message;
};

}  // namespace loftswitch::applib
