#pragma once

// The arithmetic under Ed25519 (RFC 8032): the field of 2^255 - 19, the
// twisted Edwards curve -x^2 + y^2 = 1 + d x^2 y^2 over it, and scalars
// modulo the order L of the base point. Shared by the check and the signer;
// not for use elsewhere.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "elevated/sha512.h"

namespace loftswitch::ed25519_detail {

using Bytes32 = std::array<std::uint8_t, 32>;

// Sixteen limbs of 16 bits in signed 64-bit integers: a row of products
// stays far inside 64 bits, a limb may go negative between carries, and every
// compiler has the type.
struct Field {
  std::array<std::int64_t, 16> limb{};
};

// Extended coordinates (X : Y : Z : T) with x = X/Z, y = Y/Z, xy = T/Z:
// one addition formula then serves every pair of points, doubling included,
// so the scalar multiplication does the same work whatever the scalar.
struct Point {
  Field x, y, z, t;
};

// The point of a 32-byte encoding; nothing when y is not below the prime,
// no x exists for y, or the sign bit asks for the negative of x = 0.
std::optional<Point> decodePoint(std::span<const std::uint8_t, 32> bytes);
Bytes32 encodePoint(const Point& p);

const Point& basePoint();
Point add(const Point& a, const Point& b);
Point negate(const Point& p);
// True for the eight points whose order divides the cofactor 8.
bool hasSmallOrder(const Point& p);

// [scalar]p, `scalar` little-endian of any length. The same sequence of
// operations and memory accesses for every scalar of that length, so it may
// be secret.
Point multiply(const Point& p, std::span<const std::uint8_t> scalar);
// [a]p + [b]q for public scalars: one run of doublings shared by both and an
// addition only where a bit is set, so its time depends on a and b.
Point multiplyPublic(const Point& p, std::span<const std::uint8_t> a, const Point& q,
                     std::span<const std::uint8_t> b);

// A 64-byte little-endian number modulo L, without branches on its value.
Bytes32 reduceScalar(const Sha512Digest& wide);
// (a * b + c) modulo L, for a, b, c below 2^256, without branches on them.
Bytes32 multiplyAddScalars(const Bytes32& a, const Bytes32& b, const Bytes32& c);

// Overwrites secret bytes in a way the compiler may not drop as a dead store.
void wipe(void* data, std::size_t size);

}  // namespace loftswitch::ed25519_detail
