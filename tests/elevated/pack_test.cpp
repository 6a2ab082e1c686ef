#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/text.h"
#include "base/win32.h"
#include "elevated/request.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "support/matchers.h"
#include "support/programs.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::HasSubstr;

struct Finished {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

// The usual command-line quoting, so that spaces, quotes and backslashes
// reach the program as given.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

class PackToolTest : public ::testing::Test {
 protected:
  Finished pack(const std::vector<std::string>& args) {
    const std::filesystem::path outPath = temp_ / "stdout.txt";
    const std::filesystem::path errPath = temp_ / "stderr.txt";
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out = ::CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = ::CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::wstring commandLine = quoted(builtProgram("loftswitch-pack").wstring());
    for (const std::string& arg : args) commandLine += L" " + quoted(toWide(arg));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    Finished finished;
    const std::wstring folder = temp_.path().wstring();
    if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                         folder.c_str(), &startup, &process)) {
      ::WaitForSingleObject(process.hProcess, INFINITE);
      ::GetExitCodeProcess(process.hProcess, &finished.exitCode);
      ::CloseHandle(process.hThread);
      ::CloseHandle(process.hProcess);
    } else {
      ADD_FAILURE() << "can't start loftswitch-pack: " << ::GetLastError();
    }
    ::CloseHandle(out);
    ::CloseHandle(err);
    finished.out = readTestFile(outPath);
    finished.err = readTestFile(errPath);
    return finished;
  }

  std::string path(std::string_view name) { return pathToUtf8(temp_ / name); }

  // A key pair in the temporary folder; the public key as keygen printed it.
  std::string makeKey(std::string_view name) {
    const Finished made = pack({"keygen", path(name)});
    EXPECT_EQ(made.exitCode, 0u) << made.err;
    std::string key = made.out;
    if (!key.empty() && key.back() == '\n') key.pop_back();
    return key;
  }

  Finished signPackage(std::string_view key, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"sign", "--key", path(key), "--app", "com.example.app",
                                     "--version", "v2.0.0-rc.1", "--platform", "windows-x64",
                                     "--notes", "Fixes \"quoted\" things \xE2\x9C\x93\\",
                                     "--out", path("fields.json")};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(path("package.zip"));
    return pack(args);
  }

  TempFolder temp_;
};

TEST_F(PackToolTest, SignsAPackageThatTheHelpersCheckAccepts) {
  const std::string publicKey = makeKey("release.key");
  const std::optional<Bytes> keyBytes = decodeBase64(publicKey);
  ASSERT_TRUE(keyBytes && keyBytes->size() == 32) << publicKey;
  const std::string content = "PK\x03\x04 not really a zip, but bytes all the same";
  writeTestFile(temp_ / "package.zip", content);

  const Finished signedPackage = signPackage("release.key", {"--signature-out", path("sig.txt")});
  ASSERT_EQ(signedPackage.exitCode, 0u) << signedPackage.err;
  const nlohmann::json fields = nlohmann::json::parse(readTestFile(temp_ / "fields.json"));
  EXPECT_EQ(fields.at("size"), content.size());
  EXPECT_EQ(fields.at("sha256"), toHex(Sha256::digest(content)));
  EXPECT_EQ(fields.at("notes"), "Fixes \"quoted\" things \xE2\x9C\x93\\");
  EXPECT_EQ(fields.at("version"), "v2.0.0-rc.1");
  EXPECT_EQ(readTestFile(temp_ / "sig.txt"), fields.at("signature").get<std::string>() + "\n");

  // The fields as the application would put them into its request.
  nlohmann::json document = fields;
  document["loftswitch_request"] = 1;
  document["id"] = "00000000000000aa";
  document["package"] = path("package.zip");
  document["install"] = path("install");
  document["userWorkspace"] = path("workspace");
  document["executable"] = "app.exe";
  const auto request = readUpdateRequest(document.dump());
  ASSERT_THAT(request, IsOkay());
  Ed25519Key key;
  std::copy(keyBytes->begin(), keyBytes->end(), key.begin());
  const std::vector<Ed25519Key> keys = {key};
  EXPECT_THAT(verifyPackageSignature("com.example.app", *request, keys), IsOkay());
  EXPECT_THAT(verifyPackageSignature("com.example.other", *request, keys),
              FailsWithCode(ErrorCode::badSignature));
  EXPECT_THAT(hashPackage(temp_ / "package.zip", *request), IsOkay());
}

TEST_F(PackToolTest, VerifyPassesTheSignedPackageAndFailsATamperedOne) {
  const std::string publicKey = makeKey("release.key");
  const std::string otherKey = makeKey("other.key");
  writeTestFile(temp_ / "package.zip", std::string(70000, 'z'));
  ASSERT_EQ(signPackage("release.key").exitCode, 0u);

  const std::vector<std::string> check = {"verify", "--app", "com.example.app", "--public-key",
                                          otherKey, "--public-key", publicKey, "--request",
                                          path("fields.json"), path("package.zip")};
  const Finished good = pack(check);
  EXPECT_EQ(good.exitCode, 0u) << good.err;
  EXPECT_THAT(good.out, HasSubstr("is signed for com.example.app v2.0.0-rc.1 on windows-x64"));

  const Finished wrongKey = pack({"verify", "--app", "com.example.app", "--public-key", otherKey,
                                  "--request", path("fields.json"), path("package.zip")});
  EXPECT_EQ(wrongKey.exitCode, 1u);
  EXPECT_EQ(wrongKey.err,
            "loftswitch-pack: the update's signature doesn't verify with any trusted key\n");

  writeTestFile(temp_ / "package.zip", std::string(69999, 'z') + "y");
  const Finished tampered = pack(check);
  EXPECT_EQ(tampered.exitCode, 1u);
  EXPECT_EQ(tampered.err, "loftswitch-pack: the package's SHA-256 doesn't match the signed one\n");

  writeTestFile(temp_ / "package.zip", std::string(69999, 'z'));
  const Finished shorter = pack(check);
  EXPECT_EQ(shorter.exitCode, 1u);
  EXPECT_EQ(shorter.err, "loftswitch-pack: the package is 69999 bytes, not the signed 70000\n");
}

TEST_F(PackToolTest, VerifyAgainstAnInstallDescriptionChecksVersionAndPlatform) {
  const std::string publicKey = makeKey("release.key");
  writeTestFile(temp_ / "package.zip", "package");
  ASSERT_EQ(signPackage("release.key").exitCode, 0u);
  nlohmann::json description = {{"loftswitch_install", 1},
                                {"app", "com.example.app"},
                                {"version", "1.9"},
                                {"executable", "app.exe"},
                                {"platforms", {"windows-x64"}},
                                {"publicKeys", {publicKey}}};
  writeTestFile(temp_ / "loftswitch.json", description.dump());
  const std::vector<std::string> check = {"verify", "--install", path("loftswitch.json"),
                                          "--request", path("fields.json"), path("package.zip")};
  const Finished good = pack(check);
  EXPECT_EQ(good.exitCode, 0u) << good.err;

  description["version"] = "2.0.0-rc.1";
  writeTestFile(temp_ / "loftswitch.json", description.dump());
  const Finished same = pack(check);
  EXPECT_EQ(same.exitCode, 1u);
  EXPECT_EQ(same.err,
            "loftswitch-pack: version v2.0.0-rc.1 is not newer than the installed 2.0.0-rc.1\n");

  description["version"] = "1.0";
  description["platforms"] = {"windows-arm64"};
  writeTestFile(temp_ / "loftswitch.json", description.dump());
  const Finished elsewhere = pack(check);
  EXPECT_EQ(elsewhere.exitCode, 1u);
  EXPECT_EQ(elsewhere.err,
            "loftswitch-pack: the package is for windows-x64, which this install doesn't run\n");
}

TEST_F(PackToolTest, RefusesToOverwriteAKeyOrSignWhatTheHelperWouldRefuse) {
  makeKey("release.key");
  const std::string keyText = readTestFile(temp_ / "release.key");
  const Finished again = pack({"keygen", path("release.key")});
  EXPECT_EQ(again.exitCode, 2u);
  EXPECT_THAT(again.err, HasSubstr("the private key was not written: can't create"));
  EXPECT_EQ(readTestFile(temp_ / "release.key"), keyText);

  const Finished publicAgain = pack({"public-key", path("release.key")});
  EXPECT_EQ(publicAgain.exitCode, 0u);

  writeTestFile(temp_ / "package.zip", "");
  const Finished empty = signPackage("release.key");
  EXPECT_EQ(empty.exitCode, 2u);
  EXPECT_EQ(empty.err, "loftswitch-pack: the update request: size must be at least 1\n");
  EXPECT_FALSE(std::filesystem::exists(temp_ / "fields.json"));

  writeTestFile(temp_ / "package.zip", "x");
  const Finished badPlatform = pack({"sign", "--key", path("release.key"), "--app", "a",
                                     "--version", "1", "--platform", "Windows",
                                     path("package.zip")});
  EXPECT_EQ(badPlatform.exitCode, 2u);
  EXPECT_EQ(badPlatform.err, "loftswitch-pack: the update request: platform is not a valid name\n");

  writeTestFile(temp_ / "broken.key", "loftswitch-pack ed25519 private key\nAAAA\n");
  const Finished brokenKey = pack({"public-key", path("broken.key")});
  EXPECT_EQ(brokenKey.exitCode, 2u);
  EXPECT_THAT(brokenKey.err, HasSubstr("is not a loftswitch-pack private key"));
}

TEST_F(PackToolTest, ExplainsUsageMistakes) {
  const Finished none = pack({});
  EXPECT_EQ(none.exitCode, 64u);
  EXPECT_THAT(none.err, HasSubstr("usage: loftswitch-pack keygen"));
  EXPECT_EQ(pack({"sign", "x"}).exitCode, 64u);
  EXPECT_THAT(pack({"sign", "--key"}).err, HasSubstr("--key needs a value"));
  EXPECT_THAT(pack({"verify", "--request", "r", "--install", "i", "--app", "a", "p"}).err,
              HasSubstr("give either --install, or --app"));
  const Finished help = pack({"--help"});
  EXPECT_EQ(help.exitCode, 0u);
  EXPECT_THAT(help.out, HasSubstr("exit codes"));
}

}  // namespace
}  // namespace loftswitch
