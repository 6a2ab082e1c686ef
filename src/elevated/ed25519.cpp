#include "elevated/ed25519.h"

#include <gcrypt.h>

namespace loftswitch {
namespace {

// The order L of the base point, little-endian.
constexpr std::uint8_t kGroupOrder[32] = {
    0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};

// The field prime 2^255 - 19, little-endian.
constexpr std::uint8_t kFieldPrime[32] = {
    0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};

// The y coordinates of the eight points of small order (the neutral point,
// the point of order 2 and those of orders 4 and 8), little-endian. A key
// among them lets anyone forge signatures that it accepts, and the library
// aborts the process on those whose x or y is zero.
constexpr std::uint8_t kSmallOrderY[5][32] = {
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0x26, 0xe8, 0x95, 0x8f, 0xc2, 0xb2, 0x27, 0xb0, 0x45, 0xc3, 0xf4, 0x89, 0xf2, 0xef, 0x98, 0xf0,
     0xd5, 0xdf, 0xac, 0x05, 0xd3, 0xc6, 0x33, 0x39, 0xb1, 0x38, 0x02, 0x88, 0x6d, 0x53, 0xfc, 0x05},
    {0xc7, 0x17, 0x6a, 0x70, 0x3d, 0x4d, 0xd8, 0x4f, 0xba, 0x3c, 0x0b, 0x76, 0x0d, 0x10, 0x67, 0x0f,
     0x2a, 0x20, 0x53, 0xfa, 0x2c, 0x39, 0xcc, 0xc6, 0x4e, 0xc7, 0xfd, 0x77, 0x92, 0xac, 0x03, 0x7a}};

bool hasSmallOrder(std::span<const std::uint8_t> publicKey) {
  for (const auto& y : kSmallOrderY) {
    bool same = true;
    for (std::size_t i = 0; i < 32 && same; ++i) {
      const std::uint8_t byte = i == 31 ? static_cast<std::uint8_t>(publicKey[i] & 0x7f)
                                        : publicKey[i];
      same = byte == y[i];
    }
    if (same) return true;
  }
  return false;
}

// a < b for 32-byte little-endian numbers; `topMask` is applied to a's
// most significant byte first.
bool lessThan(std::span<const std::uint8_t> a, const std::uint8_t (&b)[32],
              std::uint8_t topMask = 0xff) {
  for (int i = 31; i >= 0; --i) {
    const std::uint8_t x = i == 31 ? static_cast<std::uint8_t>(a[i] & topMask) : a[i];
    if (x != b[i]) return x < b[i];
  }
  return false;
}

class Sexp {
 public:
  Sexp() = default;
  Sexp(const Sexp&) = delete;
  Sexp& operator=(const Sexp&) = delete;
  ~Sexp() { gcry_sexp_release(value_); }
  gcry_sexp_t* out() { return &value_; }
  gcry_sexp_t get() const { return value_; }

 private:
  gcry_sexp_t value_ = nullptr;
};

}  // namespace

bool cryptoLibraryReady() {
  static const bool ready = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
    // Only public data passes through here and the publisher's tool holds its
    // key for a moment: locked secure memory would buy nothing on Windows.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return ready;
}

bool ed25519Verify(std::span<const std::uint8_t> signature,
                   std::span<const std::uint8_t> publicKey,
                   std::span<const std::uint8_t> message) {
  if (signature.size() != 64 || publicKey.size() != 32) return false;
  if (message.size() > 0x7fffffff) return false;
  // The library alone accepts S + k*L for a valid S.
  if (!lessThan(signature.subspan(32), kGroupOrder)) return false;
  if (!lessThan(publicKey, kFieldPrime, 0x7f) || hasSmallOrder(publicKey)) return false;
  if (!cryptoLibraryReady()) return false;

  // A zero-length buffer in an s-expression needs a valid pointer.
  static const std::uint8_t kNothing = 0;
  const void* messageData = message.empty() ? &kNothing : message.data();

  Sexp key;
  Sexp data;
  Sexp sig;
  if (gcry_sexp_build(key.out(), nullptr, "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))",
                      32, publicKey.data()) != 0) {
    return false;
  }
  if (gcry_sexp_build(data.out(), nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                      static_cast<int>(message.size()), messageData) != 0) {
    return false;
  }
  if (gcry_sexp_build(sig.out(), nullptr, "(sig-val(eddsa(r %b)(s %b)))", 32, signature.data(),
                      32, signature.data() + 32) != 0) {
    return false;
  }
  return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}

}  // namespace loftswitch
