#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lib/app_test_support.h"
#include "support/programs.h"
#include "support/run_program.h"

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

TEST_F(PackToolTest, AnswersHelpAndNamesWhatIsMissing) {
  for (const std::string command : {"keygen", "public-key", "check", "sign", "verify"}) {
    const ProgramRun help = pack({command, "--help"});
    EXPECT_EQ(help.exitCode, 0) << command;
    EXPECT_THAT(help.out, StartsWith("usage: loftswitch-pack " + command)) << command;
  }
  EXPECT_THAT(pack({"--version"}).out, StartsWith("loftswitch-pack "));
  EXPECT_EQ(pack({}).exitCode, 64);
  const ProgramRun nothing = pack({"sign", "--app", "a"});
  EXPECT_EQ(nothing.exitCode, 64);
  EXPECT_THAT(nothing.err, StartsWith("loftswitch-pack: missing --key, --version, --platform\n"));
  const std::string key = readTestFile(temp / "release.key");
  EXPECT_EQ(pack({"keygen", file("release.key")}).exitCode, 2);
  EXPECT_EQ(readTestFile(temp / "release.key"), key);
}

}  // namespace
}  // namespace loftswitch::applib
