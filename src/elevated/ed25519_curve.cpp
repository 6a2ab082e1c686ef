#include "elevated/ed25519_curve.h"

#include <algorithm>

namespace loftswitch::ed25519_detail {
namespace {

// --- The field ---------------------------------------------------------------

// Carries each limb's bits above 16 into the next (an arithmetic shift, so
// that a negative limb borrows); the carry out of the top limb is 2^256, which
// is 38 modulo the prime. Two passes leave every limb in 16 bits but the
// lowest, which may be a few dozen outside.
Field carry(Field a) {
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 16; ++i) {
      const std::int64_t over = a.limb[i] >> 16;
      a.limb[i] &= 0xffff;
      a.limb[(i + 1) % 16] += i == 15 ? 38 * over : over;
    }
  }
  return a;
}

Field fieldAdd(const Field& a, const Field& b) {
  Field r;
  for (int i = 0; i < 16; ++i) r.limb[i] = a.limb[i] + b.limb[i];
  return carry(r);
}

Field fieldSubtract(const Field& a, const Field& b) {
  Field r;
  for (int i = 0; i < 16; ++i) r.limb[i] = a.limb[i] - b.limb[i];
  return carry(r);
}

Field fieldNegate(const Field& a) { return fieldSubtract(Field{}, a); }

// Limbs below 2^17 give products below 2^34 and rows below 2^44: no overflow.
Field fieldMultiply(const Field& a, const Field& b) {
  std::int64_t row[31] = {};
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) row[i + j] += a.limb[i] * b.limb[j];
  }
  for (int k = 16; k < 31; ++k) row[k - 16] += 38 * row[k];
  Field r;
  std::copy_n(row, 16, r.limb.begin());
  return carry(r);
}

Field fieldSquare(const Field& a) { return fieldMultiply(a, a); }

// a^e for a public exponent e (little-endian bytes), by square and multiply.
Field fieldPower(const Field& a, const Bytes32& exponent) {
  Field r{{1}};
  for (int bit = 255; bit >= 0; --bit) {
    r = fieldSquare(r);
    if ((exponent[bit / 8] >> (bit % 8)) & 1) r = fieldMultiply(r, a);
  }
  return r;
}

// 2^k - c as a 32-byte exponent, for the few exponents the field needs.
Bytes32 twoToThePowerMinus(int k, std::uint8_t c) {
  Bytes32 e;
  e.fill(0xff);
  e[0] = static_cast<std::uint8_t>(0x100 - c);
  e[31] = static_cast<std::uint8_t>((1u << (k - 248)) - 1);
  return e;
}

Field fieldInvert(const Field& a) { return fieldPower(a, twoToThePowerMinus(255, 21)); }

// The prime's limbs: 0xffed, fourteen times 0xffff, 0x7fff.
std::int64_t primeLimb(int i) { return i == 0 ? 0xffed : i == 15 ? 0x7fff : 0xffff; }

Bytes32 fieldToBytes(const Field& value) {
  // Twice the prime added keeps the number from going below zero; the
  // carries then leave it below 2^256 = 2p + 38 with every limb in 16 bits,
  // and p is subtracted twice, each time kept only when nothing was borrowed.
  Field a = value;
  for (int i = 0; i < 16; ++i) a.limb[i] += 2 * primeLimb(i);
  a = carry(carry(a));
  for (int round = 0; round < 2; ++round) {
    Field less;
    std::int64_t borrow = 0;
    for (int i = 0; i < 16; ++i) {
      less.limb[i] = a.limb[i] - primeLimb(i) - borrow;
      borrow = (less.limb[i] >> 16) & 1;
      less.limb[i] &= 0xffff;
    }
    const std::int64_t keep = -borrow;
    for (int i = 0; i < 16; ++i) a.limb[i] = (a.limb[i] & keep) | (less.limb[i] & ~keep);
  }
  Bytes32 out;
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(a.limb[i]);
    out[2 * i + 1] = static_cast<std::uint8_t>(a.limb[i] >> 8);
  }
  return out;
}

// The low 255 bits of `bytes`, not reduced.
Field fieldFromBytes(std::span<const std::uint8_t, 32> bytes) {
  Field a;
  for (int i = 0; i < 16; ++i) a.limb[i] = bytes[2 * i] | bytes[2 * i + 1] << 8;
  a.limb[15] &= 0x7fff;
  return a;
}

bool fieldEquals(const Field& a, const Field& b) { return fieldToBytes(a) == fieldToBytes(b); }
bool fieldIsNegative(const Field& a) { return (fieldToBytes(a)[0] & 1) != 0; }

// Swaps a and b when `bit` is 1, through masks rather than a branch.
void conditionalSwap(Field& a, Field& b, std::int64_t bit) {
  const std::int64_t mask = -bit;
  for (int i = 0; i < 16; ++i) {
    const std::int64_t differ = (a.limb[i] ^ b.limb[i]) & mask;
    a.limb[i] ^= differ;
    b.limb[i] ^= differ;
  }
}

void conditionalSwap(Point& a, Point& b, std::int64_t bit) {
  conditionalSwap(a.x, b.x, bit);
  conditionalSwap(a.y, b.y, bit);
  conditionalSwap(a.z, b.z, bit);
  conditionalSwap(a.t, b.t, bit);
}

// The curve's constants, derived rather than written out: d = -121665 /
// 121666, twice d for the addition formula, a square root of -1, and the
// base point, whose y is 4/5 and whose x is even.
struct Constants {
  Field d;
  Field twiceD;
  Field rootOfMinusOne;
  Point base;
};

Point decodeWith(const Field& d, const Field& rootOfMinusOne,
                 std::span<const std::uint8_t, 32> bytes, bool& ok);

const Constants& constants() {
  static const Constants value = [] {
    Constants c;
    c.d = fieldMultiply(fieldNegate(Field{{121665}}), fieldInvert(Field{{121666}}));
    c.twiceD = fieldAdd(c.d, c.d);
    // 2 is not a square modulo p, so 2^((p - 1) / 4) squares to -1.
    c.rootOfMinusOne = fieldPower(Field{{2}}, twoToThePowerMinus(253, 5));
    Bytes32 encodedBase;
    encodedBase.fill(0x66);
    encodedBase[0] = 0x58;
    bool ok = false;
    c.base = decodeWith(c.d, c.rootOfMinusOne, encodedBase, ok);
    return c;
  }();
  return value;
}

Point decodeWith(const Field& d, const Field& rootOfMinusOne,
                 std::span<const std::uint8_t, 32> bytes, bool& ok) {
  ok = false;
  Point p;
  p.y = fieldFromBytes(bytes);
  Bytes32 unsignedBytes;
  std::copy(bytes.begin(), bytes.end(), unsignedBytes.begin());
  unsignedBytes[31] &= 0x7f;
  // One encoding per point: y must already be reduced.
  if (fieldToBytes(p.y) != unsignedBytes) return p;
  const bool negativeX = (bytes[31] >> 7) != 0;

  // x^2 = u / v; the candidate (u / v)^((p + 3) / 8) is computed as
  // u v^3 (u v^7)^((p - 5) / 8), which needs no inversion, and is either a
  // root or a root times sqrt(-1), or u / v has no root.
  const Field one{{1}};
  const Field ySquared = fieldSquare(p.y);
  const Field u = fieldSubtract(ySquared, one);
  const Field v = fieldAdd(fieldMultiply(d, ySquared), one);
  const Field vCubed = fieldMultiply(fieldSquare(v), v);
  const Field uvSeventh = fieldMultiply(u, fieldMultiply(fieldSquare(vCubed), v));
  p.x = fieldMultiply(fieldMultiply(u, vCubed), fieldPower(uvSeventh, twoToThePowerMinus(252, 3)));
  const Field check = fieldMultiply(v, fieldSquare(p.x));
  if (!fieldEquals(check, u)) {
    if (!fieldEquals(check, fieldNegate(u))) return p;
    p.x = fieldMultiply(p.x, rootOfMinusOne);
  }
  if (fieldEquals(p.x, Field{}) && negativeX) return p;
  if (fieldIsNegative(p.x) != negativeX) p.x = fieldNegate(p.x);
  p.z = one;
  p.t = fieldMultiply(p.x, p.y);
  ok = true;
  return p;
}

Point identity() { return Point{Field{}, Field{{1}}, Field{{1}}, Field{}}; }

// --- Scalars modulo L ----------------------------------------------------------

using Words = std::array<std::uint32_t, 8>;

// L = 2^252 + 27742317777372353535851937790883648493, little-endian words.
constexpr Words kOrder = {0x5cf5d3ed, 0x5812631a, 0xa2f79cd6, 0x14def9de,
                          0x00000000, 0x00000000, 0x00000000, 0x10000000};

// Reads the number bit by bit from the top, doubling a remainder below L and
// subtracting L whenever it reaches it; the subtraction is always computed
// and kept or dropped through a mask.
Bytes32 reduceBytes(std::span<const std::uint8_t> number) {
  Words remainder{};
  for (std::size_t bit = number.size() * 8; bit-- > 0;) {
    std::uint32_t carryIn = (number[bit / 8] >> (bit % 8)) & 1;
    for (std::uint32_t& word : remainder) {
      const std::uint32_t next = word >> 31;
      word = word << 1 | carryIn;
      carryIn = next;
    }
    Words difference;
    std::uint64_t borrow = 0;
    for (int i = 0; i < 8; ++i) {
      const std::uint64_t d = std::uint64_t{remainder[i]} - kOrder[i] - borrow;
      difference[i] = static_cast<std::uint32_t>(d);
      borrow = (d >> 32) & 1;
    }
    // No borrow: the remainder was at least L, so the difference replaces it.
    const std::uint32_t keep = static_cast<std::uint32_t>(0 - borrow);
    for (int i = 0; i < 8; ++i) remainder[i] = (remainder[i] & keep) | (difference[i] & ~keep);
  }
  Bytes32 out;
  for (int i = 0; i < 32; ++i)
    out[i] = static_cast<std::uint8_t>(remainder[i / 4] >> (8 * (i % 4)));
  wipe(remainder.data(), sizeof remainder);
  return out;
}

Words wordsOf(const Bytes32& bytes) {
  Words w{};
  for (int i = 0; i < 32; ++i) w[i / 4] |= std::uint32_t{bytes[i]} << (8 * (i % 4));
  return w;
}

}  // namespace

std::optional<Point> decodePoint(std::span<const std::uint8_t, 32> bytes) {
  bool ok = false;
  const Point p = decodeWith(constants().d, constants().rootOfMinusOne, bytes, ok);
  if (!ok) return std::nullopt;
  return p;
}

Bytes32 encodePoint(const Point& p) {
  const Field inverse = fieldInvert(p.z);
  Bytes32 out = fieldToBytes(fieldMultiply(p.y, inverse));
  out[31] |= static_cast<std::uint8_t>(fieldIsNegative(fieldMultiply(p.x, inverse)) << 7);
  return out;
}

const Point& basePoint() { return constants().base; }

// Hisil, Wong, Carter and Dawson's unified addition for a = -1: complete on
// this curve because d is not a square, so it also doubles.
Point add(const Point& p, const Point& q) {
  const Field a = fieldMultiply(fieldSubtract(p.y, p.x), fieldSubtract(q.y, q.x));
  const Field b = fieldMultiply(fieldAdd(p.y, p.x), fieldAdd(q.y, q.x));
  const Field c = fieldMultiply(fieldMultiply(p.t, constants().twiceD), q.t);
  const Field zz = fieldMultiply(p.z, q.z);
  const Field d = fieldAdd(zz, zz);
  const Field e = fieldSubtract(b, a);
  const Field f = fieldSubtract(d, c);
  const Field g = fieldAdd(d, c);
  const Field h = fieldAdd(b, a);
  return Point{fieldMultiply(e, f), fieldMultiply(g, h), fieldMultiply(f, g), fieldMultiply(e, h)};
}

Point negate(const Point& p) { return Point{fieldNegate(p.x), p.y, p.z, fieldNegate(p.t)}; }

bool hasSmallOrder(const Point& p) {
  Point eight = add(p, p);
  eight = add(eight, eight);
  eight = add(eight, eight);
  return fieldEquals(eight.x, Field{}) && fieldEquals(eight.y, eight.z);
}

// A ladder: `low` and `high` differ by p throughout; each bit doubles one and
// adds both, swapping them around it by mask when the bit is set.
Point multiply(const Point& p, std::span<const std::uint8_t> scalar) {
  Point low = identity();
  Point high = p;
  for (std::size_t bit = scalar.size() * 8; bit-- > 0;) {
    const std::int64_t set = (scalar[bit / 8] >> (bit % 8)) & 1;
    conditionalSwap(low, high, set);
    high = add(low, high);
    low = add(low, low);
    conditionalSwap(low, high, set);
  }
  wipe(&high, sizeof high);
  return low;
}

Point multiplyPublic(const Point& p, std::span<const std::uint8_t> a, const Point& q,
                     std::span<const std::uint8_t> b) {
  const auto bitOf = [](std::span<const std::uint8_t> scalar, std::size_t bit) {
    return bit / 8 < scalar.size() && ((scalar[bit / 8] >> (bit % 8)) & 1) != 0;
  };
  Point sum = identity();
  for (std::size_t bit = std::max(a.size(), b.size()) * 8; bit-- > 0;) {
    sum = add(sum, sum);
    if (bitOf(a, bit)) sum = add(sum, p);
    if (bitOf(b, bit)) sum = add(sum, q);
  }
  return sum;
}

Bytes32 reduceScalar(const Sha512Digest& wide) { return reduceBytes(wide); }

Bytes32 multiplyAddScalars(const Bytes32& a, const Bytes32& b, const Bytes32& c) {
  const Words x = wordsOf(a);
  const Words y = wordsOf(b);
  const Words z = wordsOf(c);
  std::array<std::uint32_t, 17> product{};
  for (int i = 0; i < 8; ++i) {
    std::uint64_t pending = 0;
    for (int j = 0; j < 8; ++j) {
      const std::uint64_t t = std::uint64_t{x[i]} * y[j] + product[i + j] + pending;
      product[i + j] = static_cast<std::uint32_t>(t);
      pending = t >> 32;
    }
    product[i + 8] = static_cast<std::uint32_t>(pending);
  }
  std::uint64_t pending = 0;
  for (int i = 0; i < 17; ++i) {
    const std::uint64_t t = std::uint64_t{product[i]} + (i < 8 ? z[i] : 0) + pending;
    product[i] = static_cast<std::uint32_t>(t);
    pending = t >> 32;
  }
  std::array<std::uint8_t, 68> bytes;
  for (int i = 0; i < 68; ++i)
    bytes[i] = static_cast<std::uint8_t>(product[i / 4] >> (8 * (i % 4)));
  const Bytes32 out = reduceBytes(bytes);
  wipe(product.data(), sizeof product);
  wipe(bytes.data(), sizeof bytes);
  return out;
}

void wipe(void* data, std::size_t size) {
  volatile std::uint8_t* bytes = static_cast<volatile std::uint8_t*>(data);
  while (size-- > 0) *bytes++ = 0;
}

}  // namespace loftswitch::ed25519_detail
