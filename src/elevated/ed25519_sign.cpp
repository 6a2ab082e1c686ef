// Signing serves the publisher's tool and the tests; kept apart from the
// check so that the updater itself links no signer. Every step that touches
// the private key runs the same operations whatever its value, and the
// secrets are wiped before returning.

#include <algorithm>

#include "elevated/ed25519.h"
#include "elevated/ed25519_curve.h"
#include "elevated/sha512.h"

namespace loftswitch {
namespace {

using namespace ed25519_detail;

// The secret scalar a and the prefix that makes the nonce, both from
// SHA-512 of the seed. a is clamped: a multiple of 8, so that it ignores any
// small-order part, with its top bit fixed, so that its length leaks nothing.
struct Expanded {
  Bytes32 scalar;
  Bytes32 prefix;
  explicit Expanded(const Ed25519Seed& seed) {
    Sha512Digest digest = Sha512::digest(seed);
    std::copy_n(digest.begin(), 32, scalar.begin());
    std::copy_n(digest.begin() + 32, 32, prefix.begin());
    wipe(digest.data(), digest.size());
    scalar[0] &= 248;
    scalar[31] &= 127;
    scalar[31] |= 64;
  }
  Expanded(const Expanded&) = delete;
  Expanded& operator=(const Expanded&) = delete;
  ~Expanded() {
    wipe(scalar.data(), scalar.size());
    wipe(prefix.data(), prefix.size());
  }
};

}  // namespace

std::optional<std::array<std::uint8_t, 32>> ed25519PublicKey(const Ed25519Seed& seed) {
  const Expanded secret(seed);
  return encodePoint(multiply(basePoint(), secret.scalar));
}

std::optional<std::array<std::uint8_t, 64>> ed25519Sign(const Ed25519Seed& seed,
                                                        std::span<const std::uint8_t> message) {
  const Expanded secret(seed);
  const Bytes32 publicKey = encodePoint(multiply(basePoint(), secret.scalar));

  // The nonce r comes from the key and the message alone: no randomness to
  // fail, and one message never gets two nonces.
  Sha512 nonceHash;
  nonceHash.update(secret.prefix);
  nonceHash.update(message);
  Sha512Digest nonceDigest = nonceHash.finish();
  Bytes32 nonce = reduceScalar(nonceDigest);
  wipe(nonceDigest.data(), nonceDigest.size());

  std::array<std::uint8_t, 64> signature;
  const Bytes32 encodedR = encodePoint(multiply(basePoint(), nonce));
  std::copy(encodedR.begin(), encodedR.end(), signature.begin());

  Sha512 challengeHash;
  challengeHash.update(encodedR);
  challengeHash.update(publicKey);
  challengeHash.update(message);
  const Bytes32 k = reduceScalar(challengeHash.finish());
  const Bytes32 s = multiplyAddScalars(k, secret.scalar, nonce);
  wipe(nonce.data(), nonce.size());
  std::copy(s.begin(), s.end(), signature.begin() + 32);

  // A fault in the arithmetic must not hand out a signature that does not
  // check (and a faulty signature can leak the key).
  if (!ed25519Verify(signature, publicKey, message)) return std::nullopt;
  return signature;
}

}  // namespace loftswitch
