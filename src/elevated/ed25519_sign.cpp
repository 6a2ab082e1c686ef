// Signing serves the publisher's tool and the tests; kept apart from the
// check so that the updater itself links no signer.

#include <gcrypt.h>

#include <cstring>

#include "elevated/ed25519.h"

namespace loftswitch {
namespace {

struct SexpHolder {
  gcry_sexp_t value = nullptr;
  ~SexpHolder() { gcry_sexp_release(value); }
};

struct MpiHolder {
  gcry_mpi_t value = nullptr;
  ~MpiHolder() { gcry_mpi_release(value); }
};

struct ContextHolder {
  gcry_ctx_t value = nullptr;
  ~ContextHolder() { gcry_ctx_release(value); }
};

// The 32 bytes of token `name` inside `list`, as the library writes them.
bool copyToken(gcry_sexp_t list, const char* name, std::uint8_t* out) {
  SexpHolder token;
  token.value = gcry_sexp_find_token(list, name, 0);
  if (token.value == nullptr) return false;
  std::size_t length = 0;
  const char* data = gcry_sexp_nth_data(token.value, 1, &length);
  if (data == nullptr || length != 32) return false;
  std::memcpy(out, data, 32);
  return true;
}

}  // namespace

std::optional<std::array<std::uint8_t, 32>> ed25519PublicKey(const Ed25519Seed& seed) {
  if (!cryptoLibraryReady()) return std::nullopt;
  SexpHolder key;
  if (gcry_sexp_build(&key.value, nullptr, "(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))",
                      32, seed.data()) != 0) {
    return std::nullopt;
  }
  ContextHolder context;
  if (gcry_mpi_ec_new(&context.value, key.value, nullptr) != 0) return std::nullopt;
  MpiHolder q;
  q.value = gcry_mpi_ec_get_mpi("q@eddsa", context.value, 1);
  if (q.value == nullptr || !gcry_mpi_get_flag(q.value, GCRYMPI_FLAG_OPAQUE)) return std::nullopt;
  unsigned int bits = 0;
  const void* data = gcry_mpi_get_opaque(q.value, &bits);
  if (data == nullptr || bits != 256) return std::nullopt;
  std::array<std::uint8_t, 32> out;
  std::memcpy(out.data(), data, out.size());
  return out;
}

std::optional<std::array<std::uint8_t, 64>> ed25519Sign(const Ed25519Seed& seed,
                                                        std::span<const std::uint8_t> message) {
  if (message.size() > 0x7fffffff) return std::nullopt;
  const std::optional<std::array<std::uint8_t, 32>> publicKey = ed25519PublicKey(seed);
  if (!publicKey) return std::nullopt;
  static const std::uint8_t kNothing = 0;
  SexpHolder key;
  SexpHolder data;
  SexpHolder signature;
  if (gcry_sexp_build(&key.value, nullptr,
                      "(private-key(ecc(curve Ed25519)(flags eddsa)(q %b)(d %b)))", 32,
                      publicKey->data(), 32, seed.data()) != 0) {
    return std::nullopt;
  }
  if (gcry_sexp_build(&data.value, nullptr, "(data(flags eddsa)(hash-algo sha512)(value %b))",
                      static_cast<int>(message.size()),
                      message.empty() ? &kNothing : message.data()) != 0) {
    return std::nullopt;
  }
  if (gcry_pk_sign(&signature.value, data.value, key.value) != 0) return std::nullopt;
  std::array<std::uint8_t, 64> out;
  if (!copyToken(signature.value, "r", out.data()) ||
      !copyToken(signature.value, "s", out.data() + 32)) {
    return std::nullopt;
  }
  // A signature that does not check is never handed out.
  if (!ed25519Verify(out, *publicKey, message)) return std::nullopt;
  return out;
}

}  // namespace loftswitch
