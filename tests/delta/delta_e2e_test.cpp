#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "base/text.h"
#include "delta/delta_manifest.h"
#include "elevated/ed25519.h"
#include "elevated/sha256.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "loftswitch/app.h"
#include "support/app_dll.h"
#include "support/programs.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"

namespace loftswitch {
namespace {

using Files = std::map<std::string, std::string>;
using ::testing::HasSubstr;

// A publisher with a key of the tool's making and an install of "demo" 1.0
// that trusts it: deltas made, signed and staged by the real programs, each
// staging over a fresh install.
struct DeltaE2eTest : ::testing::Test {
  ProgramRun pack(const std::vector<std::string>& args) { return runProgram(builtProgram("loftswitch-pack"), args); }
  std::string path(const std::string& name) const { return pathToUtf8(temp / name); }

  Files release(const std::string& version) const {
    std::string core(300000, '\0');
    for (std::uint32_t x = 1; char& c : core) c = static_cast<char>((x = x * 69069 + 1) >> 24);
    const nlohmann::json description = {{"loftswitch_install", 1}, {"app", "demo"}, {"version", version},
                                        {"executable", "app.exe"}, {"platforms", {"windows-x64"}}, {"publicKeys", {key}}};
    return {{"app.exe", "demo " + version + std::string(5000, '.')}, {"lib/core.dll", core},
            {"readme.txt", "read me"}, {"loftswitch-apply.exe", "the tool"},
            {"loftswitch.json", description.dump()}};
  }

  ProgramRun sign(const std::string& package) {
    return pack({"sign", "--key", path("release.key"), "--app", "demo", "--version", "2.0",
                 "--platform", "windows-x64", "--out", path("signed.json"), path(package)});
  }
  // Stages as an app does, through the library's DLL: the attempt's id, or
  // the refusal.
  ProgramRun stage(const std::string& package, const Files& installed) {
    std::filesystem::remove_all(temp / "App");
    for (const auto& [name, content] : installed) writeTestFile(temp / ("App/" + name), content);
    char id[LOFTSWITCH_ATTEMPT_ID_SIZE] = {};
    loftswitch_status status{};
    const int code = appDll().stagePackage(path("App").c_str(), nullptr, nullptr, path(package).c_str(),
                                           readTestFile(temp / "signed.json").c_str(), nullptr, nullptr, nullptr, id, &status);
    const ProgramRun run{code, id, status.message != nullptr ? status.message : ""};
    appDll().statusFree(&status);
    EXPECT_EQ(installFiles(temp / "App"), installed) << "the install changed";
    EXPECT_EQ(std::filesystem::exists(temp / "App/.loftswitch/stage"), run.exitCode == 0);
    return run;
  }
  // Signed fields for a delta from 1.0, signed with the publisher's key
  // without any of the publisher's tool's checks.
  void signByHand(const std::string& package) {
    const std::string keyFile = readTestFile(temp / "release.key");
    const std::optional<Bytes> bytes = decodeBase64(keyFile.substr(keyFile.find('\n') + 1, 44));
    Ed25519Seed seed{};
    std::copy_n(bytes->begin(), seed.size(), seed.begin());
    const std::string zip = readTestFile(temp / package);
    UpdateRequest request;
    request.version = "2.0", request.from = "1.0", request.platform = "windows-x64";
    request.size = zip.size(), request.sha256 = Sha256::digest(zip);
    const std::string message = buildSignedMessage("demo", request);
    const auto signature = ed25519Sign(seed, {reinterpret_cast<const std::uint8_t*>(message.data()), message.size()});
    writeTestFile(temp / "signed.json", nlohmann::json{{"version", "2.0"}, {"from", "1.0"}, {"platform", "windows-x64"},
        {"size", zip.size()}, {"sha256", toHex(request.sha256)}, {"signature", encodeBase64(*signature)}}.dump());
  }
  // delta.zip with its manifest edited, into edited.zip.
  void editManifest(const std::function<void(nlohmann::json&)>& edit) {
    Files entries = zipEntries(readTestFile(temp / "delta.zip"));
    std::string& frame = entries.at(std::string(kDeltaManifestName));
    nlohmann::json manifest = nlohmann::json::parse(zstdContent(frame));
    frame = (edit(manifest), zstdFrame(manifest.dump()));
    writeTestFile(temp / "edited.zip", zipOf(entries));
  }

  TempFolder temp;
  std::string key = pack({"keygen", path("release.key")}).out.substr(0, 44);
};

TEST_F(DeltaE2eTest, StagesTheNewVersionExactlyOrRefusesNamingWhyAndStagesNothing) {
  const Files old = release("1.0");
  Files next = release("2.0");
  next.erase("readme.txt");
  next["plugins/new.dll"] = "a plugin";
  writeTestFile(temp / "1.0.zip", zipOf(old));
  writeTestFile(temp / "2.0.zip", zipOf(next));
  const ProgramRun made = pack({"delta", "--from", path("1.0.zip"), "--to", path("2.0.zip"), "--out", path("delta.zip")});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  EXPECT_THAT(made.out, HasSubstr("from 1.0 to 2.0, 2 files unchanged, 2 patched, 1 whole, 1 removed"));
  ASSERT_EQ(sign("delta.zip").exitCode, 0);

  // Unchanged, patched, whole, deleted and added files.
  const ProgramRun staged = stage("delta.zip", old);
  ASSERT_EQ(staged.exitCode, 0) << staged.err;
  const auto rebuilt = temp / "App/.loftswitch/stage" / staged.out.substr(0, 16) / "new";
  EXPECT_EQ(installFiles(rebuilt), next);
  // Copies, not links: what the new version writes into its files leaves
  // the old version's as they were, for a rollback to bring back.
  writeTestFile(rebuilt / "lib/core.dll", "written by version 2.0");
  EXPECT_EQ(readTestFile(temp / "App/lib/core.dll"), old.at("lib/core.dll"));

  Files changed = old;
  changed["lib/core.dll"][7] ^= 1;
  EXPECT_THAT(stage("delta.zip", changed).err,
              HasSubstr("the install's \"lib/core.dll\" isn't the file of version 1.0 that the delta was made from"));
  Files other = old;
  other["loftswitch.json"] = release("1.1").at("loftswitch.json");
  EXPECT_THAT(stage("delta.zip", other).err, HasSubstr("the delta turns version 1.0 into 2.0, not the installed 1.1"));

  // A patch that gives other bytes than its manifest lists; a manifest that
  // names a path the package rules refuse, which the publisher's tool checks
  // and signs as the installing side reads it.
  editManifest([](nlohmann::json& m) { m["files"][0]["sha256"] = std::string(64, '0'); });
  ASSERT_EQ(sign("edited.zip").exitCode, 0);
  EXPECT_THAT(stage("edited.zip", old).err, HasSubstr("the rebuilt \"app.exe\" doesn't match the delta's manifest"));
  editManifest([](nlohmann::json& m) { m["files"][0]["path"] = "CON.exe"; });
  const std::string refused = "package entry \"CON.exe\" uses the Windows device name \"CON.exe\"";
  EXPECT_THAT(pack({"check", path("edited.zip")}).err, HasSubstr(refused));
  EXPECT_THAT(sign("edited.zip").err, HasSubstr("not signed: " + refused));
  signByHand("edited.zip");
  EXPECT_THAT(stage("edited.zip", old).err, HasSubstr(refused));
}

}  // namespace
}  // namespace loftswitch
