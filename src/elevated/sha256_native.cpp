// SHA-256 for the native build, where there is no CNG: libsodium's, which the
// native lane links for the signatures anyway.
#include <sodium.h>

#include "elevated/sha256_system.h"

namespace loftswitch {

struct SystemSha256::State {
  crypto_hash_sha256_state hash{};
};

SystemSha256::SystemSha256() {
  auto state = std::make_unique<State>();
  if (sodium_init() >= 0 && crypto_hash_sha256_init(&state->hash) == 0) state_ = std::move(state);
}

SystemSha256::~SystemSha256() = default;

bool SystemSha256::update(std::span<const std::uint8_t> bytes) {
  if (state_ && crypto_hash_sha256_update(&state_->hash, bytes.data(), bytes.size()) == 0) {
    return true;
  }
  state_.reset();
  return false;
}

std::optional<Sha256Digest> SystemSha256::finish() {
  Sha256Digest out{};
  const bool done = state_ && crypto_hash_sha256_final(&state_->hash, out.data()) == 0;
  state_.reset();
  if (!done) return std::nullopt;
  return out;
}

}  // namespace loftswitch
