#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/text.h"
#include "elevated/request.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "support/matchers.h"
#include "support/programs.h"
#include "support/run_program.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::HasSubstr;

constexpr char kNotes[] = "Fixes \"quoted\" things \xE2\x9C\x93\\";

class PackToolTest : public ::testing::Test {
 protected:
  ProgramRun pack(const std::vector<std::string>& args) {
    return runProgram(builtProgram("loftswitch-pack"), args, temp_.path());
  }

  std::string path(std::string_view name) { return pathToUtf8(temp_ / name); }

  // A key pair in the temporary folder; the public key as keygen printed it.
  std::string makeKey(std::string_view name) {
    const ProgramRun made = pack({"keygen", path(name)});
    EXPECT_EQ(made.exitCode, 0) << made.err;
    return made.out.ends_with('\n') ? made.out.substr(0, made.out.size() - 1) : made.out;
  }

  ProgramRun signPackage(std::string_view key, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"sign", "--key", path(key), "--app", "com.example.app",
                                     "--version", "v2.0.0-rc.1", "--platform", "windows-x64",
                                     "--notes", kNotes, "--out", path("fields.json")};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(path("package.zip"));
    return pack(args);
  }

  void expectRefusal(const std::vector<std::string>& args, int code, const std::string& error) {
    const ProgramRun run = pack(args);
    EXPECT_EQ(run.exitCode, code);
    EXPECT_EQ(run.err, "loftswitch-pack: " + error + "\n");
  }

  TempFolder temp_;
};

TEST_F(PackToolTest, SignsAPackageThatTheHelpersCheckAccepts) {
  const std::optional<Bytes> keyBytes = decodeBase64(makeKey("release.key"));
  ASSERT_TRUE(keyBytes && keyBytes->size() == 32);
  const std::string content = "PK\x03\x04 not really a zip, but bytes all the same";
  writeTestFile(temp_ / "package.zip", content);

  const ProgramRun signedPackage = signPackage("release.key", {"--signature-out", path("sig.txt")});
  ASSERT_EQ(signedPackage.exitCode, 0) << signedPackage.err;
  nlohmann::json fields = nlohmann::json::parse(readTestFile(temp_ / "fields.json"));
  EXPECT_EQ(fields.at("size"), content.size());
  EXPECT_EQ(fields.at("sha256"), toHex(Sha256::digest(content)));
  EXPECT_EQ(fields.at("notes"), kNotes);
  EXPECT_EQ(fields.at("version"), "v2.0.0-rc.1");
  EXPECT_EQ(readTestFile(temp_ / "sig.txt"), fields.at("signature").get<std::string>() + "\n");

  // The fields as the application would put them into its request.
  fields.update({{"loftswitch_request", 1}, {"id", "00000000000000aa"},
                 {"package", path("package.zip")}, {"install", path("install")},
                 {"userWorkspace", path("workspace")}, {"executable", "app.exe"}});
  const auto request = readUpdateRequest(fields.dump());
  ASSERT_THAT(request, IsOkay());
  Ed25519Key key;
  std::copy(keyBytes->begin(), keyBytes->end(), key.begin());
  EXPECT_THAT(verifyPackageSignature("com.example.app", *request, std::vector{key}), IsOkay());
  EXPECT_THAT(verifyPackageSignature("com.example.other", *request, std::vector{key}),
              FailsWithCode(ErrorCode::badSignature));
  EXPECT_THAT(hashPackage(temp_ / "package.zip", *request), IsOkay());
}

TEST_F(PackToolTest, VerifyChecksKeysInstallAndPackageBytes) {
  const std::string publicKey = makeKey("release.key");
  const std::string otherKey = makeKey("other.key");
  writeTestFile(temp_ / "package.zip", std::string(70000, 'z'));
  ASSERT_EQ(signPackage("release.key").exitCode, 0);
  const std::vector<std::string> check = {"verify", "--app", "com.example.app", "--public-key",
                                          otherKey, "--public-key", publicKey, "--request",
                                          path("fields.json"), path("package.zip")};
  const ProgramRun good = pack(check);
  EXPECT_EQ(good.exitCode, 0) << good.err;
  EXPECT_THAT(good.out, HasSubstr("is signed for com.example.app v2.0.0-rc.1 on windows-x64"));
  expectRefusal({"verify", "--app", "com.example.app", "--public-key", otherKey, "--request",
                 path("fields.json"), path("package.zip")},
                1, "the update's signature doesn't verify with any trusted key");

  nlohmann::json description = {{"loftswitch_install", 1},        {"app", "com.example.app"},
                                {"version", "1.9"},               {"executable", "app.exe"},
                                {"platforms", {"windows-x64"}}, {"publicKeys", {publicKey}}};
  const std::vector<std::string> install = {"verify", "--install", path("loftswitch.json"),
                                            "--request", path("fields.json"), path("package.zip")};
  writeTestFile(temp_ / "loftswitch.json", description.dump());
  EXPECT_EQ(pack(install).exitCode, 0);
  description["version"] = "2.0.0-rc.1";
  writeTestFile(temp_ / "loftswitch.json", description.dump());
  expectRefusal(install, 1, "version v2.0.0-rc.1 is not newer than the installed 2.0.0-rc.1");
  description["version"] = "1.0";
  description["platforms"] = {"windows-arm64"};
  writeTestFile(temp_ / "loftswitch.json", description.dump());
  expectRefusal(install, 1, "the package is for windows-x64, which this install doesn't run");

  writeTestFile(temp_ / "package.zip", std::string(69999, 'z') + "y");
  expectRefusal(check, 1, "the package's SHA-256 doesn't match the signed one");
  writeTestFile(temp_ / "package.zip", std::string(69999, 'z'));
  expectRefusal(check, 1, "the package is 69999 bytes, not the signed 70000");
}

TEST_F(PackToolTest, RefusesToOverwriteAKeyOrSignWhatTheHelperWouldRefuse) {
  makeKey("release.key");
  const std::string keyText = readTestFile(temp_ / "release.key");
  const ProgramRun again = pack({"keygen", path("release.key")});
  EXPECT_EQ(again.exitCode, 2);
  EXPECT_THAT(again.err, HasSubstr("the private key was not written: can't create"));
  EXPECT_EQ(readTestFile(temp_ / "release.key"), keyText);
  EXPECT_EQ(pack({"public-key", path("release.key")}).exitCode, 0);

  writeTestFile(temp_ / "package.zip", "");
  expectRefusal(
      {"sign", "--key", path("release.key"), "--app", "a", "--version", "1", "--platform",
       "windows-x64", "--out", path("fields.json"), path("package.zip")},
      2, "the update request: size must be at least 1");
  EXPECT_FALSE(std::filesystem::exists(temp_ / "fields.json"));
  writeTestFile(temp_ / "package.zip", "x");
  expectRefusal({"sign", "--key", path("release.key"), "--app", "a", "--version", "1",
                 "--platform", "Windows", path("package.zip")},
                2, "the update request: platform is not a valid name");

  writeTestFile(temp_ / "broken.key", "loftswitch-pack ed25519 private key\nAAAA\n");
  const ProgramRun brokenKey = pack({"public-key", path("broken.key")});
  EXPECT_EQ(brokenKey.exitCode, 2);
  EXPECT_THAT(brokenKey.err, HasSubstr("is not a loftswitch-pack private key"));
}

TEST_F(PackToolTest, ExplainsUsageMistakes) {
  const ProgramRun none = pack({});
  EXPECT_EQ(none.exitCode, 64);
  EXPECT_THAT(none.err, HasSubstr("usage: loftswitch-pack keygen"));
  EXPECT_EQ(pack({"sign", "x"}).exitCode, 64);
  EXPECT_THAT(pack({"sign", "--key"}).err, HasSubstr("--key needs a value"));
  EXPECT_THAT(pack({"verify", "--request", "r", "--install", "i", "--app", "a", "p"}).err,
              HasSubstr("give either --install, or --app"));
  const ProgramRun help = pack({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_THAT(help.out, HasSubstr("exit codes"));
}

}  // namespace
}  // namespace loftswitch
