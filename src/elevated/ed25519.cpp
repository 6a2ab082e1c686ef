#include "elevated/ed25519.h"

#include <sodium.h>

namespace loftswitch {
namespace {

static_assert(crypto_sign_SEEDBYTES == 32 && crypto_sign_PUBLICKEYBYTES == 32 &&
              crypto_sign_BYTES == 64);

// Picks the implementations for this processor, once; what fails here fails
// every signature rather than passing one.
bool libraryReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

// The key pair of a seed. The secret half holds the seed itself and is
// wiped when the pair goes.
struct KeyPair {
  explicit KeyPair(const Ed25519Seed& seed)
      : made(libraryReady() &&
             crypto_sign_seed_keypair(publicKey.data(), secretKey.data(), seed.data()) == 0) {}
  KeyPair(const KeyPair&) = delete;
  KeyPair& operator=(const KeyPair&) = delete;
  ~KeyPair() { sodium_memzero(secretKey.data(), secretKey.size()); }

  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> publicKey{};
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secretKey{};
  bool made;
};

}  // namespace

bool ed25519Verify(std::span<const std::uint8_t> signature, std::span<const std::uint8_t> publicKey,
                   std::span<const std::uint8_t> message) {
  if (signature.size() != crypto_sign_BYTES || publicKey.size() != crypto_sign_PUBLICKEYBYTES ||
      !libraryReady()) {
    return false;
  }
  return crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                     publicKey.data()) == 0;
}

std::optional<std::array<std::uint8_t, 32>> ed25519PublicKey(const Ed25519Seed& seed) {
  const KeyPair pair(seed);
  if (!pair.made) return std::nullopt;
  return pair.publicKey;
}

std::optional<std::array<std::uint8_t, 64>> ed25519Sign(const Ed25519Seed& seed,
                                                        std::span<const std::uint8_t> message) {
  const KeyPair pair(seed);
  if (!pair.made) return std::nullopt;
  std::array<std::uint8_t, 64> signature{};
  if (crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(),
                           pair.secretKey.data()) != 0) {
    return std::nullopt;
  }
  // A fault in the arithmetic must not hand out a signature that does not
  // check (and a faulty signature can leak the key).
  if (!ed25519Verify(signature, pair.publicKey, message)) return std::nullopt;
  return signature;
}

}  // namespace loftswitch
