
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "base/text.h"
#include "elevated/request.h"
#include "elevated/validate.h"
#include "support/matchers.h"

namespace loftswitch {
namespace {

using Json = nlohmann::json;

const std::string kDigestHex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kSignature = encodeBase64(Bytes(64, 0x5a));

Json validRequest() {
  return {{"loftswitch_request", 1},      {"id", "0123456789abcdef"},
          {"version", "v1.2.3+b7"},       {"platform", "windows-x64"},
          {"size", 1234},                 {"sha256", kDigestHex},
          {"signature", kSignature},      {"package", "C:/ws/package.zip"},
          {"install", "C:/Program Files/App"}, {"userWorkspace", "C:/ws"},
          {"executable", "bin/app.exe"},  {"relaunchArgs", {"--updated", "caf\xC3\xA9"}},
          {"notes", "a\nb"}, {"relaunchCwd", "C:/w"}, {"exitMs", 0}};
}

// Each row breaks one rule, or two where the first must be reported.
TEST(UpdateRequestTest, ReadsAValidRequestAndRefusesEachBrokenRuleWithItsOwnMessage) {
  const auto read = readUpdateRequest(validRequest().dump());
  EXPECT_EQ(read.value().notes + "|" + read->relaunchCwd + "|" + std::to_string(read->exitMs + read->confirmMs), "a\nb|C:/w|60000");
  const struct {
    Json change;
    std::string detail;
  } cases[] = {
      {{{"package", std::string("C:/p\0.zip", 9)}}, "package must not hold a zero character"},
      {{{"loftswitch_request", 2}}, "not a version 1 request"},
      {{{"relaunchArgs", Json::parse("[[[\"x\"]]]")}}, "relaunchArgs must be an array of strings"},
      {{{"version", nullptr}}, "version must be a string"},
      {{{"repair", "yes"}, {"id", 5}}, "id must be a string"},
      {{{"size", 9007199254740992u}}, "size must be an integer from 0 to 9007199254740991"},
      {{{"id", "x"}, {"executable", "../x"}}, "id must be 16 lowercase hex digits"},
      {{{"executable", "/bin/app.exe"}}, "executable must be a relative path inside the install folder"},
      {{{"sha256", "B" + kDigestHex.substr(1)}}, "sha256 must be 64 lowercase hex digits"},
      {{{"signature", kSignature.substr(0, 40) + "\n" + kSignature.substr(40)}}, "signature must be 64 bytes of base64"},
      {{{"signature", encodeBase64(Bytes(65))}, {"version", ""}}, "signature must be 64 bytes of base64"},
      {{{"version", "1..2"}, {"platform", ""}}, "version is not a valid version"},
      {{{"platform", "Windows"}, {"size", 0}}, "platform is not a valid name"},
      {{{"size", 0}}, "size must be at least 1"},
      {{{"confirmMs", 3600001}}, "confirmMs must be an integer from 0 to 3600000"},
  };
  for (const auto& [change, detail] : cases) {
    Json document = validRequest();
    document.update(change);
    EXPECT_THAT(readUpdateRequest(document.dump()),
                FailsWith(ErrorCode::invalidData, "the update request: " + detail))
        << detail;
  }
  // Only a repair may leave out what names the package; what it gives is kept.
  Json repair = validRequest();
  repair["repair"] = true;
  EXPECT_EQ(toHex(readUpdateRequest(repair.dump()).value().sha256), kDigestHex);
  Json unnamed = validRequest();
  unnamed.erase("sha256");
  EXPECT_THAT(readUpdateRequest(unnamed.dump()),
              FailsWith(ErrorCode::invalidData, "the update request: sha256 must be a string"));
  std::string twice = validRequest().dump();
  twice.insert(1, "\"id\":\"0123456789abcdef\",");
  EXPECT_THAT(readUpdateRequest(twice),
              FailsWith(ErrorCode::invalidData, "the update request: duplicate key \"id\""));
}

// The nearest miss of each field rule, one byte or one character over.
TEST(ValidateTest, RefusesTheNearestMissOfEachRule) {
  EXPECT_TRUE(isValidName(std::string(64, 'a')) && !isValidName(std::string(65, 'a')));
  for (const char* path : {"..", "a/../b", "a/.", "./a"}) EXPECT_FALSE(isRelativeInside(path)) << path;
  // Zero bytes, and the same with a spare bit set: a second text for them.
  EXPECT_TRUE(decodeBase64("AAA=") && decodeBase64("AA==") && !decodeBase64("AAB=") && !decodeBase64("AB=="));
  EXPECT_TRUE(decodeHex("0a") == Bytes{0x0a} && !decodeHex("0g"));
}

}  // namespace
}  // namespace loftswitch
