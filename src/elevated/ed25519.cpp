#include "elevated/ed25519.h"

#include <algorithm>

#include "elevated/ed25519_curve.h"
#include "elevated/sha512.h"

namespace loftswitch {
namespace {

using namespace ed25519_detail;

// The order L of the base point, little-endian.
constexpr std::uint8_t kGroupOrder[32] = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

bool belowGroupOrder(std::span<const std::uint8_t> scalar) {
  for (int i = 31; i >= 0; --i) {
    if (scalar[i] != kGroupOrder[i]) return scalar[i] < kGroupOrder[i];
  }
  return false;
}

}  // namespace

bool ed25519Verify(std::span<const std::uint8_t> signature, std::span<const std::uint8_t> publicKey,
                   std::span<const std::uint8_t> message) {
  if (signature.size() != 64 || publicKey.size() != 32) return false;
  const std::span<const std::uint8_t, 32> encodedR = signature.first<32>();
  const std::span<const std::uint8_t, 32> s = signature.subspan<32, 32>();
  // Otherwise S + k*L would verify as well as S.
  if (!belowGroupOrder(s)) return false;
  const std::optional<Point> key = decodePoint(publicKey.first<32>());
  if (!key || hasSmallOrder(*key)) return false;

  Sha512 hash;
  hash.update(encodedR);
  hash.update(publicKey);
  hash.update(message);
  // k is used whole, not reduced modulo L: under a key with a small-order
  // part the two give different points, and the whole one is the definition.
  const Sha512Digest k = hash.finish();
  // [S]B - [k]A must be R, compared as encodings: that refuses an R whose y
  // is not reduced or that names -0 as its x, without decoding R at all.
  const Point expectedR = multiplyPublic(basePoint(), s, negate(*key), k);
  const Bytes32 encoded = encodePoint(expectedR);
  return std::equal(encoded.begin(), encoded.end(), encodedR.begin());
}

}  // namespace loftswitch
