
#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/key_id.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "support/matchers.h"

namespace loftswitch {
namespace {

// Throws, failing the test, on a typing error in the hex text.
Bytes hex(std::string_view text) { return decodeHex(text).value(); }

TEST(Ed25519Test, GivesEveryWycheproofVerdictAndTheRfc8032Signature) {
  std::ifstream in(std::string(LOFTSWITCH_SOURCE_DIR) + "/tests/data/wycheproof/ed25519_test.json",
                   std::ios::binary);
  const nlohmann::json vectors = nlohmann::json::parse(in);
  int cases = 0;
  for (const auto& group : vectors.at("testGroups")) {
    const Bytes publicKey = hex(group.at("publicKey").at("pk").get<std::string>());
    for (const auto& test : group.at("tests")) {
      EXPECT_EQ(ed25519Verify(hex(test.at("sig").get<std::string>()), publicKey,
                              hex(test.at("msg").get<std::string>())),
                test.at("result").get<std::string>() == "valid")
          << "case " << test.at("tcId") << ": " << test.at("comment");
      ++cases;
    }
  }
  EXPECT_EQ(cases, 151);
  // RFC 8032, 7.1, test 1: the key pair comes from the seed, and the signature
  // is Ed25519's one deterministic signature, not a prehashed variant.
  Ed25519Seed seed;
  std::ranges::copy(hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"), seed.begin());
  EXPECT_EQ(toHex(ed25519PublicKey(seed).value()), "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  EXPECT_EQ(toHex(ed25519Sign(seed, {}).value()),
            "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
}

// A signature made here verifies under its key only, and only while every
// signed field is as it was: a full package's, and a delta's, which is bound
// to the version it applies to and never passes for a full package's.
TEST(PackageSignatureTest, AnyTrustedKeyVerifiesEverySignedField) {
  for (const char* from : {"", "1.2.0"}) {
  UpdateRequest request{.version = "v1.2.3+b7", .from = from, .platform = "windows-x64", .size = 1048576};
  const std::string message = buildSignedMessage("app", request);
  request.signature = ed25519Sign(Ed25519Seed{3}, {reinterpret_cast<const std::uint8_t*>(message.data()),
                                                   message.size()}).value();
  std::vector<Ed25519Key> keys;
  for (std::uint8_t n : {1, 2, 3}) keys.push_back(ed25519PublicKey(Ed25519Seed{n}).value());
  EXPECT_THAT(verifyPackageSignature("app", request, keys), IsOkay());
  // The refusal names the key the fields name, and the ones trusted.
  request.keyId = keyId(keys[2]);
  EXPECT_THAT(verifyPackageSignature("app", request, std::span(keys).first(2)),
              FailsWithMessageThat(::testing::HasSubstr(
                  ": the signed fields say key " + keyId(keys[2]) + " signed them, but this install "
                  "trusts keys " + keyId(keys[0]) + ", " + keyId(keys[1]) + ": sign with a key")));
  EXPECT_THAT(verifyPackageSignature("other", request, keys), FailsWithCode(ErrorCode::badSignature));
  for (const auto& change : std::initializer_list<std::function<void(UpdateRequest&)>>{
           [](auto& r) { r.version = "1.2.3+b7"; },  // the v is part of what was signed
           [](auto& r) { r.platform = "windows-arm64"; }, [](auto& r) { ++r.size; },
           [](auto& r) { r.sha256[31] ^= 1; }, [](auto& r) { r.notes = " "; },
           [](auto& r) { r.from = r.from.empty() ? "1.2.0" : ""; },
           [](auto& r) { r.from = r.from.empty() ? "1.1" : r.from + ".0"; }}) {
    UpdateRequest tampered = request;
    change(tampered);
    EXPECT_THAT(verifyPackageSignature("app", tampered, keys), FailsWithCode(ErrorCode::badSignature));
  }
  }
}

}  // namespace
}  // namespace loftswitch
