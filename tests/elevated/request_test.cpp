#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "elevated/request.h"
#include "elevated/validate.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"

namespace loftswitch {
namespace {

using ::testing::StartsWith;

const std::string kDigestHex =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

std::string signatureText() {
  Bytes bytes(64);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 3);
  return encodeBase64(bytes);
}

nlohmann::json validRequest() {
  return {
      {"loftswitch_request", 1},
      {"id", "0123456789abcdef"},
      {"version", "v1.2.3+b7"},
      {"platform", "windows-x64"},
      {"size", 1234},
      {"sha256", kDigestHex},
      {"signature", signatureText()},
      {"package", "C:\\Users\\u\\AppData\\Local\\App\\.loftswitch\\package.zip"},
      {"install", "C:\\Program Files\\App"},
      {"userWorkspace", "C:\\Users\\u\\AppData\\Local\\App\\.loftswitch"},
      {"executable", "bin/app.exe"},
      {"relaunchArgs", {"--updated", "caf\xC3\xA9"}},
  };
}

Result<UpdateRequest> readWith(const nlohmann::json& document) {
  return readUpdateRequest(document.dump());
}

Result<UpdateRequest> readChanged(std::string_view key, const nlohmann::json& value) {
  nlohmann::json document = validRequest();
  document[std::string(key)] = value;
  return readWith(document);
}

Result<UpdateRequest> readWithout(std::string_view key) {
  nlohmann::json document = validRequest();
  document.erase(std::string(key));
  return readWith(document);
}

auto requestFails(const std::string& detail) {
  return FailsWith(ErrorCode::invalidData, "the update request: " + detail);
}

TEST(UpdateRequestTest, ReadsEveryFieldWithItsDefaults) {
  nlohmann::json document = validRequest();
  document["unknownKey"] = {{"ignored", true}};
  const auto request = readWith(document);
  ASSERT_THAT(request, IsOkay());
  EXPECT_EQ(request->id, "0123456789abcdef");
  EXPECT_FALSE(request->repair);
  EXPECT_EQ(request->version, "v1.2.3+b7");
  EXPECT_EQ(request->notes, "");
  EXPECT_EQ(request->platform, "windows-x64");
  EXPECT_EQ(request->url, "");
  EXPECT_EQ(request->size, 1234u);
  EXPECT_EQ(Bytes(request->sha256.begin(), request->sha256.end()), decodeHex(kDigestHex));
  EXPECT_EQ(Bytes(request->signature.begin(), request->signature.end()),
            *decodeBase64(signatureText()));
  EXPECT_EQ(request->package.wstring(),
            L"C:\\Users\\u\\AppData\\Local\\App\\.loftswitch\\package.zip");
  EXPECT_EQ(request->install.wstring(), L"C:\\Program Files\\App");
  EXPECT_EQ(request->userWorkspace.wstring(), L"C:\\Users\\u\\AppData\\Local\\App\\.loftswitch");
  EXPECT_EQ(request->executable, "bin/app.exe");
  EXPECT_EQ(request->relaunchArgs, (std::vector<std::string>{"--updated", "caf\xC3\xA9"}));
  EXPECT_EQ(request->relaunchCwd, "");
  EXPECT_EQ(request->exitMs, 60000u);
  EXPECT_EQ(request->confirmMs, 60000u);
}

TEST(UpdateRequestTest, ReadsTheOptionalFieldsWhenGiven) {
  nlohmann::json document = validRequest();
  document["notes"] = "line\nnext";
  document["url"] = "https://example.com/p.zip";
  document["relaunchCwd"] = "C:\\work";
  document["exitMs"] = 0;
  document["confirmMs"] = 3600000;
  document["repair"] = false;
  const auto request = readWith(document);
  ASSERT_THAT(request, IsOkay());
  EXPECT_EQ(request->notes, "line\nnext");
  EXPECT_EQ(request->url, "https://example.com/p.zip");
  EXPECT_EQ(request->relaunchCwd, "C:\\work");
  EXPECT_EQ(request->exitMs, 0u);
  EXPECT_EQ(request->confirmMs, 3600000u);
}

TEST(UpdateRequestTest, RefusesTextThatIsNotAVersionOneRequest) {
  EXPECT_THAT(readUpdateRequest("{\"loftswitch_request\": 1,}"),
              FailsWithMessageThat(StartsWith("the update request: [json.exception.")));
  EXPECT_THAT(readUpdateRequest("[1]"), requestFails("not a version 1 request"));
  EXPECT_THAT(readUpdateRequest("1"), requestFails("not a version 1 request"));
  EXPECT_THAT(readWithout("loftswitch_request"), requestFails("not a version 1 request"));
  for (const nlohmann::json& marker : {nlohmann::json("1"), nlohmann::json(true),
                                       nlohmann::json(2), nlohmann::json(nullptr)}) {
    EXPECT_THAT(readChanged("loftswitch_request", marker),
                requestFails("not a version 1 request"));
  }
  EXPECT_THAT(readChanged("loftswitch_request", 1.0), IsOkay());
}

TEST(UpdateRequestTest, RefusesDuplicateKeysAndDeepNesting) {
  std::string text = validRequest().dump();
  text.insert(1, "\"id\":\"0123456789abcdef\",");
  EXPECT_THAT(readUpdateRequest(text), requestFails("duplicate key \"id\""));
  // Five containers with the top object.
  EXPECT_THAT(readChanged("relaunchArgs", nlohmann::json::parse("[[[[]]]]")),
              requestFails("nested deeper than 4 levels"));
  EXPECT_THAT(readChanged("relaunchArgs", nlohmann::json::parse("[[[\"x\"]]]")),
              requestFails("relaunchArgs must be an array of strings"));
}

TEST(UpdateRequestTest, ARepairNeedsOnlyItsIdFoldersAndExecutable) {
  const nlohmann::json minimal = {{"loftswitch_request", 1},
                                  {"id", "0123456789abcdef"},
                                  {"install", "C:\\App"},
                                  {"userWorkspace", "C:\\Users\\u\\.loftswitch"},
                                  {"executable", "app.exe"}};
  nlohmann::json repair = minimal;
  repair["repair"] = true;
  const auto request = readWith(repair);
  ASSERT_THAT(request, IsOkay());
  EXPECT_TRUE(request->repair);
  EXPECT_EQ(request->version, "");
  EXPECT_EQ(request->size, 0u);
  EXPECT_TRUE(request->package.empty());

  EXPECT_THAT(readWith(minimal), requestFails("version must be a string"));

  // Present fields still need their types, and nothing more.
  nlohmann::json loose = repair;
  loose["sha256"] = "not hex";
  loose["version"] = "not a version";
  EXPECT_THAT(readWith(loose), IsOkay());
  loose["size"] = -1;
  EXPECT_THAT(readWith(loose), requestFails("size must be an integer from 0 to 9007199254740991"));
  repair["version"] = 5;
  EXPECT_THAT(readWith(repair), requestFails("version must be a string"));
}

TEST(UpdateRequestTest, RepairMustBeABooleanAndCountsAfterTheId) {
  EXPECT_THAT(readChanged("repair", "true"), requestFails("repair must be true or false"));
  EXPECT_THAT(readChanged("repair", 1), requestFails("repair must be true or false"));
  nlohmann::json document = validRequest();
  document["repair"] = "yes";
  document.erase("id");
  EXPECT_THAT(readWith(document), requestFails("id must be a string"));
  document = validRequest();
  document["repair"] = "yes";
  document["version"] = 1;
  EXPECT_THAT(readWith(document), requestFails("repair must be true or false"));
}

TEST(UpdateRequestTest, ReportsTheFirstFieldThatFails) {
  nlohmann::json document = validRequest();
  document["install"] = 7;
  document["exitMs"] = -1;
  document["id"] = "BAD";  // the id's form is checked only after reading
  EXPECT_THAT(readWith(document), requestFails("install must be a string"));
  for (const char* key : {"id", "install", "userWorkspace", "executable", "package",
                          "platform", "sha256", "signature"}) {
    EXPECT_THAT(readWithout(key), requestFails(std::string(key) + " must be a string")) << key;
  }
  EXPECT_THAT(readChanged("notes", nullptr), requestFails("notes must be a string"));
  EXPECT_THAT(readChanged("relaunchArgs", "x"), requestFails("relaunchArgs must be an array of strings"));
}

TEST(UpdateRequestTest, BoundsSizesAndWaits) {
  EXPECT_THAT(readChanged("size", 9007199254740991u), IsOkay());
  EXPECT_THAT(readChanged("size", 9007199254740992u),
              requestFails("size must be an integer from 0 to 9007199254740991"));
  EXPECT_THAT(readChanged("size", 0), requestFails("size must be at least 1"));
  EXPECT_THAT(readWithout("size"), requestFails("size must be at least 1"));
  EXPECT_THAT(readChanged("exitMs", 3600001),
              requestFails("exitMs must be an integer from 0 to 3600000"));
  EXPECT_THAT(readChanged("confirmMs", 1.0),
              requestFails("confirmMs must be an integer from 0 to 3600000"));
  EXPECT_THAT(readChanged("exitMs", 3600000), IsOkay());
}

TEST(UpdateRequestTest, ChecksTheIdAndExecutableFirst) {
  for (const char* id : {"0123456789ABCDEF", "0123456789abcde", "0123456789abcdef0", ""}) {
    EXPECT_THAT(readChanged("id", id), requestFails("id must be 16 lowercase hex digits")) << id;
  }
  nlohmann::json document = validRequest();
  document["id"] = "x";
  document["executable"] = "../x.exe";
  document["sha256"] = "x";
  EXPECT_THAT(readWith(document), requestFails("id must be 16 lowercase hex digits"));
  for (const char* executable : {"/bin/app.exe", "bin//app.exe", "bin/", "../app.exe",
                                 "C:app.exe", "./app.exe", "bin\\app.exe", ""}) {
    EXPECT_THAT(readChanged("executable", executable),
                requestFails("executable must be a relative path inside the install folder"))
        << executable;
  }
}

TEST(UpdateRequestTest, ChecksDigestSignatureVersionPlatformAndSizeInThatOrder) {
  const std::string shaDetail = "sha256 must be 64 lowercase hex digits";
  const std::string signatureDetail = "signature must be 64 bytes of base64";
  EXPECT_THAT(readChanged("sha256", kDigestHex.substr(2)), requestFails(shaDetail));
  EXPECT_THAT(readChanged("sha256", kDigestHex + "00"), requestFails(shaDetail));
  std::string upper = kDigestHex;
  upper[0] = 'B';
  EXPECT_THAT(readChanged("sha256", upper), requestFails(shaDetail));

  const std::string signature = signatureText();
  ASSERT_EQ(signature.size(), 88u);
  ASSERT_EQ(signature.substr(86), "==");
  EXPECT_THAT(readChanged("signature", signature.substr(0, 86)), requestFails(signatureDetail));
  EXPECT_THAT(readChanged("signature", signature.substr(0, 40) + "\n" + signature.substr(40)),
              requestFails(signatureDetail));
  EXPECT_THAT(readChanged("signature", encodeBase64(Bytes(63))), requestFails(signatureDetail));
  EXPECT_THAT(readChanged("signature", encodeBase64(Bytes(65))), requestFails(signatureDetail));

  EXPECT_THAT(readChanged("version", "1..2"), requestFails("version is not a valid version"));
  EXPECT_THAT(readChanged("platform", "Windows"), requestFails("platform is not a valid name"));

  nlohmann::json document = validRequest();
  document["size"] = 0;
  document["platform"] = "";
  EXPECT_THAT(readWith(document), requestFails("platform is not a valid name"));
  document["version"] = "";
  EXPECT_THAT(readWith(document), requestFails("version is not a valid version"));
  document["signature"] = "";
  EXPECT_THAT(readWith(document), requestFails(signatureDetail));
  document["sha256"] = "";
  EXPECT_THAT(readWith(document), requestFails(shaDetail));
}

TEST(UpdateRequestTest, LoadsTheRequestFileUpToOneMebibyte) {
  MemoryFileSystem files;
  const std::string text = validRequest().dump();
  files.addFile("C:\\r\\request.json", text);
  const auto request = loadUpdateRequest(files, "C:\\r\\request.json");
  ASSERT_THAT(request, IsOkay());
  EXPECT_EQ(request->id, "0123456789abcdef");

  // White space is valid JSON: the size alone decides.
  files.addFile("C:\\r\\at-limit.json", text + std::string(0x100000 - text.size(), ' '));
  EXPECT_THAT(loadUpdateRequest(files, "C:\\r\\at-limit.json"), IsOkay());
  files.addFile("C:\\r\\big.json", text + std::string(0x100000 - text.size() + 1, ' '));
  EXPECT_THAT(loadUpdateRequest(files, "C:\\r\\big.json"), FailsWithCode(ErrorCode::tooLarge));
  EXPECT_THAT(loadUpdateRequest(files, "C:\\r\\missing.json"), FailsWithCode(ErrorCode::notFound));
}

nlohmann::json validDescription() {
  return {{"loftswitch_install", 1},
          {"app", "com.example.app"},
          {"version", "1.2.3"},
          {"executable", "bin/app.exe"},
          {"platforms", {"windows-x64", "windows-arm64"}},
          {"preserve", {"data", "config/user.ini"}},
          {"publicKeys", {encodeBase64(Bytes(32, 1)), encodeBase64(Bytes(32, 2))}}};
}

Result<InstallDescription> describe(const nlohmann::json& document) {
  return readInstallDescription(document.dump());
}

Result<InstallDescription> describeChanged(std::string_view key, const nlohmann::json& value) {
  nlohmann::json document = validDescription();
  document[std::string(key)] = value;
  return describe(document);
}

auto descriptionFails(const std::string& detail) {
  return FailsWith(ErrorCode::invalidData, "loftswitch.json: " + detail);
}

TEST(InstallDescriptionTest, ReadsEveryField) {
  const auto description = describe(validDescription());
  ASSERT_THAT(description, IsOkay());
  EXPECT_EQ(description->app, "com.example.app");
  EXPECT_EQ(description->version, "1.2.3");
  EXPECT_EQ(description->executable, "bin/app.exe");
  EXPECT_EQ(description->platforms, (std::vector<std::string>{"windows-x64", "windows-arm64"}));
  EXPECT_EQ(description->preserve, (std::vector<std::string>{"data", "config/user.ini"}));
  ASSERT_EQ(description->publicKeys.size(), 2u);
  EXPECT_EQ(description->publicKeys[0][0], 1);
  EXPECT_EQ(description->publicKeys[1][31], 2);

  nlohmann::json bare = validDescription();
  bare.erase("platforms");
  bare.erase("preserve");
  EXPECT_THAT(describe(bare), IsOkay());
}

TEST(InstallDescriptionTest, RefusesOtherDocumentsAndWrongFields) {
  EXPECT_THAT(readInstallDescription("{"),
              FailsWithMessageThat(StartsWith("loftswitch.json: [json.exception.")));
  EXPECT_THAT(describeChanged("loftswitch_install", "1"),
              descriptionFails("not a version 1 install description"));
  EXPECT_THAT(readInstallDescription("{\"loftswitch_request\":1}"),
              descriptionFails("not a version 1 install description"));
  nlohmann::json document = validDescription();
  document.erase("app");
  document["platforms"] = "windows-x64";
  EXPECT_THAT(describe(document), descriptionFails("app must be a string"));
  EXPECT_THAT(describeChanged("platforms", "windows-x64"),
              descriptionFails("platforms must be an array of strings"));
  EXPECT_THAT(describeChanged("preserve", {1}), descriptionFails("preserve must be an array of strings"));
}

TEST(InstallDescriptionTest, NamesTheFirstPublicKeyThatIsNot32Bytes) {
  const std::string full = encodeBase64(Bytes(32, 9));
  const std::string unpadded = full.substr(0, 43);
  const std::string longer = encodeBase64(Bytes(33, 9));
  EXPECT_THAT(describeChanged("publicKeys", {unpadded}),
              descriptionFails("public key \"" + unpadded + "\" is not 32 bytes of base64"));
  EXPECT_THAT(describeChanged("publicKeys", {full, encodeBase64(Bytes(31, 9)), longer}),
              descriptionFails("public key \"" + encodeBase64(Bytes(31, 9)) +
                               "\" is not 32 bytes of base64"));
  // A field read before the keys fails first.
  nlohmann::json document = validDescription();
  document["publicKeys"] = {longer};
  document["version"] = false;
  EXPECT_THAT(describe(document), descriptionFails("version must be a string"));
  EXPECT_THAT(describeChanged("publicKeys", nlohmann::json::array()),
              descriptionFails("publicKeys is empty"));
}

TEST(InstallDescriptionTest, ChecksEachFieldsFormInOrder) {
  EXPECT_THAT(describeChanged("app", "Com.Example"), descriptionFails("app is not a valid id"));
  EXPECT_THAT(describeChanged("version", "1.2.3.4.5"),
              descriptionFails("version is not a valid version"));
  nlohmann::json noKeys = validDescription();
  noKeys.erase("publicKeys");
  EXPECT_THAT(describe(noKeys), descriptionFails("publicKeys is empty"));
  noKeys["executable"] = "..";
  EXPECT_THAT(describe(noKeys), descriptionFails("publicKeys is empty"));
  EXPECT_THAT(describeChanged("executable", "C:/app.exe"),
              descriptionFails("executable must be a relative path inside the install folder"));
  EXPECT_THAT(describeChanged("platforms", {"windows-x64", "Win", "-x"}),
              descriptionFails("platform \"Win\" is not a valid name"));
  EXPECT_THAT(describeChanged("preserve", {"data", "../secrets", "/x"}),
              descriptionFails("preserve path \"../secrets\" must be relative and inside the "
                               "install folder"));

  nlohmann::json everything = validDescription();
  everything["app"] = "";
  everything["version"] = "x";
  everything["executable"] = "/x";
  EXPECT_THAT(describe(everything), descriptionFails("app is not a valid id"));
}

}  // namespace
}  // namespace loftswitch
