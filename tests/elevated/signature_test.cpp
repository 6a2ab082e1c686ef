#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/text.h"
#include "elevated/ed25519.h"
#include "elevated/validate.h"
#include "elevated/verify.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

// Throws, failing the test, on a typing error in the hex text.
Bytes hex(std::string_view text) { return decodeHex(text).value(); }

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Ed25519Key publicKeyOf(std::uint8_t n) { return ed25519PublicKey(Ed25519Seed{n}).value(); }

// RFC 8032, section 7.1, test 1: the empty message.
constexpr std::string_view kRfcSeed =
    "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
constexpr std::string_view kRfcPublic =
    "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr std::string_view kRfcSignature =
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9"
    "b46bd25bf5f0595bbe24655141438e7a100b";
constexpr std::string_view kAbcDigest =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// Its verification is one of the Wycheproof cases.
TEST(Ed25519Test, MakesTheFirstRfc8032SignatureAndRefusesShortenedOnes) {
  Ed25519Seed seed;
  std::ranges::copy(hex(kRfcSeed), seed.begin());
  const Ed25519Key publicKey = ed25519PublicKey(seed).value();
  const auto signature = ed25519Sign(seed, {}).value();
  EXPECT_EQ(toHex(publicKey), kRfcPublic);
  EXPECT_EQ(toHex(signature), kRfcSignature);
  EXPECT_FALSE(ed25519Verify(std::span(signature).first(63), publicKey, {}));
  EXPECT_FALSE(ed25519Verify(signature, std::span(publicKey).first(31), {}));
}

TEST(Ed25519Test, RefusesPublicKeysOfSmallOrderAndUnreducedOnes) {
  // Under a key of small order, R = B and S = 1 satisfy the verification
  // equation for some or all messages: such keys prove nothing.
  const Bytes forged = hex(
      "5866666666666666666666666666666666666666666666666666666666666666"
      "0100000000000000000000000000000000000000000000000000000000000000");
  for (std::string_view key : {
           "0000000000000000000000000000000000000000000000000000000000000000",
           "0000000000000000000000000000000000000000000000000000000000000080",
           "0100000000000000000000000000000000000000000000000000000000000000",
           "0100000000000000000000000000000000000000000000000000000000000080",
           "ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
           "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05",
           "26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85",
           "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a",
           "c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa",
           // y = p + 1 and y = p: the neutral point and one of order 4, unreduced.
           "eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
           "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
       }) {
    EXPECT_FALSE(ed25519Verify(forged, hex(key), bytesOf("m"))) << key;
  }
}

TEST(Ed25519Test, GivesEveryWycheproofVerdict) {
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
}

UpdateRequest signedFieldsRequest() {
  UpdateRequest request;
  request.version = "v1.2.3+b7";
  request.platform = "windows-x64";
  request.size = 1048576;
  request.sha256.fill(0xab);
  return request;
}

TEST(SignedMessageTest, HasOneLineFeedEndedLinePerFieldAndHashesEvenEmptyNotes) {
  EXPECT_EQ(buildSignedMessage("com.example.app", signedFieldsRequest()),
            "loftswitch package v1\n"
            "app=com.example.app\n"
            "version=v1.2.3+b7\n"
            "platform=windows-x64\n"
            "size=1048576\n"
            "sha256=" + toHex(signedFieldsRequest().sha256) + "\n"
            "notes-sha256=e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n");
  UpdateRequest spaceNotes = signedFieldsRequest();
  spaceNotes.notes = " ";
  EXPECT_THAT(buildSignedMessage("app", spaceNotes),
              ::testing::HasSubstr("notes-sha256=" + toHex(Sha256::digest(" ")) + "\n"));
}

TEST(PackageSignatureTest, AnyTrustedKeyVerifiesEverySignedField) {
  UpdateRequest request = signedFieldsRequest();
  const std::string message = buildSignedMessage("app", request);
  request.signature = ed25519Sign(Ed25519Seed{3}, bytesOf(message)).value();
  const std::vector<Ed25519Key> keys = {publicKeyOf(1), publicKeyOf(2), publicKeyOf(3)};
  EXPECT_THAT(verifyPackageSignature("app", request, keys), IsOkay());
  const std::string untrusted = "the update's signature doesn't verify with any trusted key";
  EXPECT_THAT(verifyPackageSignature("app", request, std::span(keys).first(2)),
              FailsWith(ErrorCode::badSignature, untrusted));
  EXPECT_THAT(verifyPackageSignature("app", request, {}),
              FailsWith(ErrorCode::badSignature, untrusted));
  EXPECT_THAT(verifyPackageSignature("other", request, keys),
              FailsWithCode(ErrorCode::badSignature));

  std::vector<UpdateRequest> changed(5, request);
  changed[0].version = "1.2.3+b7";  // the v is part of what was signed
  changed[1].platform = "windows-arm64";
  changed[2].size += 1;
  changed[3].sha256[31] ^= 1;
  changed[4].notes = "surprise";
  for (const UpdateRequest& tampered : changed) {
    EXPECT_THAT(verifyPackageSignature("app", tampered, keys),
                FailsWithCode(ErrorCode::badSignature));
  }
}

class HashPackageTest : public ::testing::Test {
 protected:
  UpdateRequest requestFor(std::string_view content) {
    UpdateRequest request;
    request.size = content.size();
    request.sha256 = Sha256::digest(content);
    return request;
  }
  std::filesystem::path package() const { return temp_ / "package.zip"; }
  TempFolder temp_;
};

TEST_F(HashPackageTest, ReturnsTheFileStillOpenAndLockedAgainstWriters) {
  writeTestFile(package(), "abc");
  UpdateRequest request;
  request.size = 3;
  std::ranges::copy(hex(kAbcDigest), request.sha256.begin());
  auto file = hashPackage(package(), request);
  ASSERT_THAT(file, IsOkay());
#ifdef _WIN32
  // Only Windows keeps writers out of a file that is open.
  EXPECT_THAT(openFile(package(), OpenMode::createAlways), FailsWithCode(ErrorCode::inUse));
#endif
  std::array<std::uint8_t, 3> read{};
  ASSERT_THAT(readExactAt(*file, 0, read), IsOkay());
  EXPECT_EQ(std::string(read.begin(), read.end()), "abc");
}

TEST_F(HashPackageTest, HashesAcrossTheBufferBoundaryAndNoticesAChangedLastByte) {
  for (std::size_t size : {std::size_t{0x40000}, std::size_t{0x40001}, std::size_t{0x80001}}) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + i / 251);
    writeTestFile(package(), content);
    EXPECT_THAT(hashPackage(package(), requestFor(content)), IsOkay()) << size;
    std::string lastChanged = content;
    lastChanged.back() ^= 0x20;
    writeTestFile(package(), lastChanged);
    EXPECT_THAT(hashPackage(package(), requestFor(content)),
                FailsWith(ErrorCode::digestMismatch,
                          "the package's SHA-256 doesn't match the signed one"))
        << size;
  }
}

TEST_F(HashPackageTest, RefusesAnotherSizeBeforeHashingAndPassesOnOpenErrors) {
  writeTestFile(package(), "ab");
  EXPECT_THAT(hashPackage(package(), requestFor("abc")),
              FailsWith(ErrorCode::sizeMismatch, "the package is 2 bytes, not the signed 3"));
  EXPECT_THAT(hashPackage(temp_ / "missing.zip", requestFor("abc")),
              FailsWithCode(ErrorCode::notFound));
}

}  // namespace
}  // namespace loftswitch
