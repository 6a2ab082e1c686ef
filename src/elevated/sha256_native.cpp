// SHA-256 for the native build, where there is no CNG: libsodium's, which the
// native lane links for the signatures anyway.
#include <sodium.h>

#include "elevated/sha256.h"

namespace loftswitch {

struct Sha256::State {
  crypto_hash_sha256_state hash{};
  bool finished = false;
  bool failed = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (sodium_init() < 0 || crypto_hash_sha256_init(&state_->hash) != 0) state_->failed = true;
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
  if (!state_ || state_->finished ||
      crypto_hash_sha256_update(&state_->hash, bytes.data(), bytes.size()) != 0) {
    if (state_) state_->failed = true;
  }
}

Sha256Digest Sha256::finish() {
  Sha256Digest out{};
  if (!state_ || state_->finished || crypto_hash_sha256_final(&state_->hash, out.data()) != 0) {
    if (state_) state_->failed = true;
    out.fill(0);
  }
  if (state_) state_->finished = true;
  return out;
}

bool Sha256::failed() const { return !state_ || state_->failed; }

}  // namespace loftswitch
