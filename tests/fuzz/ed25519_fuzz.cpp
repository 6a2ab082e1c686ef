// Our Ed25519 and SHA-512 against libgcrypt's, which the programs used
// before: the same digest, the same deterministic signature, and the same
// verdict once one bit of the signature, the key or the message changed.
#include <gcrypt.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "elevated/ed25519.h"
#include "elevated/sha512.h"
#include "fuzz_check.h"

using namespace loftswitch;

namespace {

using Sexp = std::unique_ptr<gcry_sexp, decltype(&gcry_sexp_release)>;
using Bytes = std::span<const std::uint8_t>;
constexpr const char* kData = "(data(flags eddsa)(hash-algo sha512)(value %b))";
constexpr const char* kSignature = "(sig-val(eddsa(r %b)(s %b)))";
constexpr const char* kPublicKey = "(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))";

Sexp sexp(const char* format, Bytes a, Bytes b = {}) {
  gcry_sexp_t out = nullptr;
  FUZZ_CHECK(gcry_sexp_build(&out, nullptr, format, static_cast<int>(a.size()), a.data(),
                             static_cast<int>(b.size()), b.data()) == 0);
  return Sexp(out, gcry_sexp_release);
}

std::string canonical(const Sexp& value) {
  std::string out(gcry_sexp_sprint(value.get(), GCRYSEXP_FMT_CANON, nullptr, 0), '\0');
  FUZZ_CHECK(gcry_sexp_sprint(value.get(), GCRYSEXP_FMT_CANON, out.data(), out.size()) != 0);
  return out;
}

}  // namespace

// Input: a 32-byte seed, two bytes that choose the bit to flip, the message.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = gcry_check_version(nullptr) && !gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
  FUZZ_CHECK(ready);
  if (size < 34) return 0;
  Ed25519Seed seed;
  std::copy_n(data, 32, seed.begin());
  const Bytes message(data + 34, size - 34);
  Sha512Digest theirDigest;
  gcry_md_hash_buffer(GCRY_MD_SHA512, theirDigest.data(), message.data(), message.size());
  FUZZ_CHECK(Sha512::digest(message) == theirDigest);

  const auto key = ed25519PublicKey(seed).value();
  const auto signature = ed25519Sign(seed, message).value();
  gcry_sexp_t theirs = nullptr;
  FUZZ_CHECK(gcry_pk_sign(&theirs, sexp(kData, message).get(),
                          sexp("(private-key(ecc(curve Ed25519)(flags eddsa)(q %b)(d %b)))", key,
                               seed).get()) == 0);
  FUZZ_CHECK(canonical(Sexp(theirs, gcry_sexp_release)) ==
             canonical(sexp(kSignature, Bytes(signature).first(32), Bytes(signature).subspan(32))));

  // Signature, key and message in a row; a bit past their end flips nothing.
  std::vector<std::uint8_t> all(signature.begin(), signature.end());
  all.insert(all.end(), key.begin(), key.end());
  all.insert(all.end(), message.begin(), message.end());
  const std::size_t bit = (data[32] | data[33] << 8) % (all.size() * 8 + 1);
  if (bit < all.size() * 8) all[bit / 8] ^= static_cast<std::uint8_t>(1 << bit % 8);
  const Bytes s = Bytes(all).first(64), k = Bytes(all).subspan(64, 32), m = Bytes(all).subspan(96);
  const bool verified = ed25519Verify(s, k, m);
  FUZZ_CHECK(verified == (gcry_pk_verify(sexp(kSignature, s.first(32), s.subspan(32)).get(),
                                         sexp(kData, m).get(), sexp(kPublicKey, k).get()) == 0));
  FUZZ_CHECK(verified == (bit >= all.size() * 8));
  return 0;
}
