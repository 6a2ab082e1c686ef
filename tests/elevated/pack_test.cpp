#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lib/app_test_support.h"
#include "support/programs.h"
#include "support/run_program.h"
#include "support/zip_builder.h"

namespace loftswitch::applib {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// The publisher's tool on the "demo" install, with the trusted key 1.
class PackToolTest : public AppFolders {
 protected:
  PackToolTest() {
    writeTestFile(temp / "release.key",
                  "loftswitch-pack ed25519 private key\n" + encodeBase64(seedOf(1)) + "\n");
  }
  ProgramRun pack(const std::vector<std::string>& args) {
    return runProgram(builtProgram("loftswitch-pack"), args, temp.path());
  }
  std::string file(std::string_view name) { return pathToUtf8(temp / name); }
  ProgramRun sign(const std::string& package) {
    writeTestFile(temp / "package.zip", package);
    return pack({"sign", "--key", file("release.key"), "--app", "demo", "--version", "2.0",
                 "--platform", "windows-x64", "--notes", "caf\xC3\xA9 \"1\"", "--out",
                 file("fields.json"), file("package.zip")});
  }
  void expectRefusal(const std::vector<std::string>& args, int code, const std::string& error) {
    const ProgramRun run = pack(args);
    EXPECT_EQ(run.exitCode, code);
    EXPECT_EQ(run.err, "loftswitch-pack: " + error + "\n");
  }
};

TEST_F(PackToolTest, SignsWhatTheAppStagesWithAStagedJournalAndVerifiesIt) {
  const std::string package = zipOf(packageFiles());
  const ProgramRun signedPackage = sign(package);
  ASSERT_EQ(signedPackage.exitCode, 0) << signedPackage.err;
  const auto staged = stagePackage(fs, places(), std::nullopt, temp / "package.zip",
                                   readTestFile(temp / "fields.json"), R"({"exitMs": 5000})");
  ASSERT_TRUE(staged) << staged.error().message;
  EXPECT_EQ(readTestFile(workspace() / "stage" / staged->id / "new" / "data" / "readme.txt"),
            "read me");
  EXPECT_FALSE(std::filesystem::exists(workspace() / "incoming"));
  Journal expected = journalOf(staged->id, JournalState::staged);
  expected.package = toHex(Sha256::digest(package));
  expected.preserve = {"settings"};
  expected.timeouts.exitMs = 5000;
  EXPECT_EQ(readJournal(), expected);
  EXPECT_THAT(pack({"check", file("package.zip")}).out, HasSubstr(" holds 4 entries, "));

  const std::string trust = pathToUtf8(install() / "loftswitch.json");
  const ProgramRun verified =
      pack({"verify", "--install", trust, "--signed", file("fields.json"), file("package.zip")});
  EXPECT_EQ(verified.exitCode, 0) << verified.err;
  EXPECT_EQ(verified.out, "ok: " + file("package.zip") + " is signed for demo 2.0 on windows-x64\n");
  EXPECT_THAT(pack({"verify", "--app", "demo", "--public-key", encodeBase64(publicKey(2)),
                    "--request", file("fields.json"), file("package.zip")})
                  .err,
              StartsWith("loftswitch-pack: the update's signature doesn't verify with any "
                         "trusted key (the app id, version, platform and notes are all part"));
  const std::vector<std::string> verify = {"verify", "--install", trust, "--signed",
                                           file("fields.json"), file("package.zip")};
  writeTestFile(temp / "fields.json", "{\"size\": 1,}");
  expectRefusal(verify, 2, file("fields.json") + ": not valid JSON at line 1, column 12");
}

TEST_F(PackToolTest, RefusesToSignWhatAnInstallWouldRefuse) {
  auto files = packageFiles();
  files.erase("loftswitch-apply.exe");
  const ProgramRun refused = sign(zipOf(files));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_THAT(refused.err, HasSubstr("not signed: the package has no loftswitch-apply.exe"));
  EXPECT_FALSE(std::filesystem::exists(temp / "fields.json"));
  expectRefusal({"sign", "--key", file("release.key"), "--app", "demo", "--version", "2.x",
                 "--platform", "windows-x64", file("package.zip")},
                2, "the version \"2.x\" is not a version such as 1.4.0, 2.0.0-rc.1 or v3.1");
}

// The publisher's check reads an archive as the installing side does: every
// archive that side refuses is refused here with the same words.
TEST_F(PackToolTest, CheckRefusesEveryHostileArchive) {
  for (const HostileArchive& archive : hostileArchives()) {
    SCOPED_TRACE(archive.name);
    writeTestFile(temp / "hostile.zip", archive.bytes);
    const ProgramRun check = pack({"check", file("hostile.zip")});
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_THAT(check.err, HasSubstr(archive.refusal));
  }
  // A new key never replaces a private key already there.
  const std::string key = readTestFile(temp / "release.key");
  EXPECT_EQ(pack({"keygen", file("release.key")}).exitCode, 2);
  EXPECT_EQ(readTestFile(temp / "release.key"), key);
}

}  // namespace
}  // namespace loftswitch::applib
