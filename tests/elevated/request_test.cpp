#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "base/text.h"
#include "elevated/request.h"
#include "elevated/validate.h"
#include "support/matchers.h"
#include "support/memory_file_system.h"

namespace loftswitch {
namespace {

using ::testing::StartsWith;
using Json = nlohmann::json;
using Change = std::function<void(Json&)>;

const std::string kDigestHex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kSignature = encodeBase64(Bytes(64, 0x5a));

Change set(std::string key, Json value) {
  return [key, value](Json& document) { document[key] = value; };
}
Change drop(std::string key) {
  return [key](Json& document) { document.erase(key); };
}
Change both(Change first, Change second) {
  return [first, second](Json& document) {
    first(document);
    second(document);
  };
}

Json validRequest() {
  return {{"loftswitch_request", 1},      {"id", "0123456789abcdef"},
          {"version", "v1.2.3+b7"},       {"platform", "windows-x64"},
          {"size", 1234},                 {"sha256", kDigestHex},
          {"signature", kSignature},      {"package", "C:/ws/package.zip"},
          {"install", "C:/Program Files/App"}, {"userWorkspace", "C:/ws"},
          {"executable", "bin/app.exe"},  {"relaunchArgs", {"--updated", "caf\xC3\xA9"}}};
}

Result<UpdateRequest> readChanged(const Change& change) {
  Json document = validRequest();
  change(document);
  return readUpdateRequest(document.dump());
}

TEST(UpdateRequestTest, ReadsEveryFieldWithItsDefaults) {
  const auto request = readChanged(set("unknownKey", {{"ignored", true}}));
  ASSERT_THAT(request, IsOkay());
  EXPECT_EQ(request->id + " " + request->version + " " + request->platform + " " +
                request->executable,
            "0123456789abcdef v1.2.3+b7 windows-x64 bin/app.exe");
  EXPECT_FALSE(request->repair);
  EXPECT_EQ(request->size, 1234u);
  EXPECT_EQ(toHex(request->sha256), kDigestHex);
  EXPECT_EQ(Bytes(request->signature.begin(), request->signature.end()), Bytes(64, 0x5a));
  EXPECT_EQ(request->package.wstring(), L"C:/ws/package.zip");
  EXPECT_EQ(request->install.wstring(), L"C:/Program Files/App");
  EXPECT_EQ(request->userWorkspace.wstring(), L"C:/ws");
  EXPECT_EQ(request->relaunchArgs, (std::vector<std::string>{"--updated", "caf\xC3\xA9"}));
  EXPECT_EQ(request->notes + request->url + request->relaunchCwd, "");
  EXPECT_EQ(request->exitMs, 60000u);
  EXPECT_EQ(request->confirmMs, 60000u);

  Json optional = validRequest();
  optional.update({{"notes", "a\nb"}, {"url", "https://x/p.zip"}, {"relaunchCwd", "C:/w"},
                   {"exitMs", 0}, {"confirmMs", 3600000}, {"repair", false},
                   {"size", 9007199254740991u}, {"loftswitch_request", 1.0}});
  const auto full = readUpdateRequest(optional.dump());
  ASSERT_THAT(full, IsOkay());
  EXPECT_EQ(full->notes + "|" + full->url + "|" + full->relaunchCwd, "a\nb|https://x/p.zip|C:/w");
  EXPECT_EQ(full->exitMs, 0u);
  EXPECT_EQ(full->confirmMs, 3600000u);
  EXPECT_EQ(full->size, 9007199254740991u);
}

TEST(UpdateRequestTest, RefusesEachBrokenRuleWithItsOwnMessage) {
  const std::string exe = "executable must be a relative path inside the install folder";
  const std::string sha = "sha256 must be 64 lowercase hex digits";
  const std::string sig = "signature must be 64 bytes of base64";
  const std::string upperDigest = "B" + kDigestHex.substr(1);
  const struct {
    Change change;
    std::string detail;
  } cases[] = {
      {set("package", std::string("C:/p\0.zip", 9)), "package must not hold a zero character"},
      {set("loftswitch_request", 2), "not a version 1 request"},
      {set("relaunchArgs", Json::parse("[[[[]]]]")), "nested deeper than 4 levels"},
      {set("relaunchArgs", Json::parse("[[[\"x\"]]]")), "relaunchArgs must be an array of strings"},
      {drop("version"), "version must be a string"},
      {set("notes", nullptr), "notes must be a string"},
      {set("repair", "true"), "repair must be true or false"},
      {both(set("repair", "yes"), drop("id")), "id must be a string"},
      {set("size", 9007199254740992u), "size must be an integer from 0 to 9007199254740991"},
      {set("exitMs", 3600001), "exitMs must be an integer from 0 to 3600000"},
      {set("id", "0123456789ABCDEF"), "id must be 16 lowercase hex digits"},
      {both(set("id", "x"), set("executable", "../x")), "id must be 16 lowercase hex digits"},
      {set("executable", "/bin/app.exe"), exe},
      {set("sha256", kDigestHex.substr(2)), sha},
      {set("sha256", upperDigest), sha},
      {set("signature", kSignature.substr(0, 86)), sig},
      {set("signature", kSignature.substr(0, 40) + "\n" + kSignature.substr(40)), sig},
      {both(set("signature", encodeBase64(Bytes(65))), set("version", "")), sig},
      {both(set("version", "1..2"), set("platform", "")), "version is not a valid version"},
      {both(set("platform", "Windows"), set("size", 0)), "platform is not a valid name"},
      {set("size", 0), "size must be at least 1"},
  };
  for (const auto& [change, detail] : cases) {
    EXPECT_THAT(readChanged(change),
                FailsWith(ErrorCode::invalidData, "the update request: " + detail))
        << detail;
  }
  EXPECT_THAT(readUpdateRequest("{\"loftswitch_request\": 1,}"),
              FailsWithMessageThat(StartsWith("the update request: [json.exception.")));
  std::string twice = validRequest().dump();
  twice.insert(1, "\"id\":\"0123456789abcdef\",");
  EXPECT_THAT(readUpdateRequest(twice),
              FailsWith(ErrorCode::invalidData, "the update request: duplicate key \"id\""));
}

TEST(UpdateRequestTest, ARepairNeedsOnlyItsIdFoldersAndExecutable) {
  const Json minimal = {{"loftswitch_request", 1}, {"id", "0123456789abcdef"},
                        {"install", "C:/App"},    {"userWorkspace", "C:/ws"},
                        {"executable", "app.exe"}};
  Json repair = minimal;
  repair["repair"] = true;
  const auto request = readUpdateRequest(repair.dump());
  ASSERT_THAT(request, IsOkay());
  EXPECT_TRUE(request->repair);
  EXPECT_EQ(request->size, 0u);
  EXPECT_TRUE(request->package.empty());
  EXPECT_THAT(readUpdateRequest(minimal.dump()),
              FailsWith(ErrorCode::invalidData, "the update request: version must be a string"));

  // Present fields keep their types, and nothing more is asked of them.
  repair.update({{"sha256", "not hex"}, {"version", "not a version"}, {"size", 0}});
  EXPECT_THAT(readUpdateRequest(repair.dump()), IsOkay());
  repair["platform"] = 5;
  EXPECT_THAT(readUpdateRequest(repair.dump()),
              FailsWith(ErrorCode::invalidData, "the update request: platform must be a string"));
}

TEST(UpdateRequestTest, LoadsTheRequestFileUpToOneMebibyte) {
  MemoryFileSystem files;
  const std::string text = validRequest().dump();
  files.addFile("C:/r/request.json", text);
  EXPECT_THAT(loadUpdateRequest(files, "C:/r/request.json"), IsOkay());
  // White space keeps the JSON valid: the size alone decides.
  files.addFile("C:/r/at-limit.json", text + std::string(0x100000 - text.size(), ' '));
  EXPECT_THAT(loadUpdateRequest(files, "C:/r/at-limit.json"), IsOkay());
  files.addFile("C:/r/big.json", text + std::string(0x100000 - text.size() + 1, ' '));
  EXPECT_THAT(loadUpdateRequest(files, "C:/r/big.json"), FailsWithCode(ErrorCode::tooLarge));
  EXPECT_THAT(loadUpdateRequest(files, "C:/r/none.json"), FailsWithCode(ErrorCode::notFound));
}

Json validDescription() {
  return {{"loftswitch_install", 1},
          {"app", "com.example.app"},
          {"version", "1.2.3"},
          {"executable", "bin/app.exe"},
          {"platforms", {"windows-x64", "windows-arm64"}},
          {"preserve", {"data", "config/user.ini"}},
          {"publicKeys", {encodeBase64(Bytes(32, 1)), encodeBase64(Bytes(32, 2))}}};
}

Result<InstallDescription> describeChanged(const Change& change) {
  Json document = validDescription();
  change(document);
  return readInstallDescription(document.dump());
}

TEST(InstallDescriptionTest, ReadsEveryField) {
  const auto description = describeChanged([](Json&) {});
  ASSERT_THAT(description, IsOkay());
  EXPECT_EQ(description->app + " " + description->version + " " + description->executable,
            "com.example.app 1.2.3 bin/app.exe");
  EXPECT_EQ(description->platforms, (std::vector<std::string>{"windows-x64", "windows-arm64"}));
  EXPECT_EQ(description->preserve, (std::vector<std::string>{"data", "config/user.ini"}));
  ASSERT_EQ(description->publicKeys.size(), 2u);
  EXPECT_EQ(description->publicKeys[0][0], 1);
  EXPECT_EQ(description->publicKeys[1][31], 2);
  EXPECT_THAT(describeChanged(both(drop("platforms"), drop("preserve"))), IsOkay());
}

TEST(InstallDescriptionTest, RefusesEachBrokenRuleWithItsOwnMessage) {
  const std::string unpadded = encodeBase64(Bytes(32, 9)).substr(0, 43);
  const std::string shortKey = encodeBase64(Bytes(31, 9));
  const std::string longKey = encodeBase64(Bytes(33, 9));
  const struct {
    Change change;
    std::string detail;
  } cases[] = {
      {set("loftswitch_install", "1"), "not a version 1 install description"},
      {both(drop("app"), set("platforms", "x")), "app must be a string"},
      {set("platforms", "windows-x64"), "platforms must be an array of strings"},
      {set("publicKeys", {unpadded}), "public key \"" + unpadded + "\" is not 32 bytes of base64"},
      {set("publicKeys", {encodeBase64(Bytes(32)), shortKey, longKey}),
       "public key \"" + shortKey + "\" is not 32 bytes of base64"},
      {both(set("publicKeys", {longKey}), set("version", false)), "version must be a string"},
      {both(set("publicKeys", {longKey}), set("app", "A")),
       "public key \"" + longKey + "\" is not 32 bytes of base64"},
      {both(set("app", "Com.Example"), set("version", "x")), "app is not a valid id"},
      {both(set("version", "1.2.3.4.5"), drop("publicKeys")), "version is not a valid version"},
      {both(set("publicKeys", Json::array()), set("executable", "..")), "publicKeys is empty"},
      {set("executable", "C:/app.exe"),
       "executable must be a relative path inside the install folder"},
      {both(set("platforms", {"windows-x64", "Win", "-x"}), set("preserve", {"/x"})),
       "platform \"Win\" is not a valid name"},
      {set("preserve", {"data", "../secrets", "/x"}),
       "preserve path \"../secrets\" must be relative and inside the install folder"},
  };
  for (const auto& [change, detail] : cases) {
    EXPECT_THAT(describeChanged(change),
                FailsWith(ErrorCode::invalidData, "loftswitch.json: " + detail))
        << detail;
  }
  EXPECT_THAT(readInstallDescription("{"),
              FailsWithMessageThat(StartsWith("loftswitch.json: [json.exception.")));
}

}  // namespace
}  // namespace loftswitch
