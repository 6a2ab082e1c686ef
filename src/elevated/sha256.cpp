#include "elevated/sha256.h"

#include <optional>

#include "elevated/sha256_cpu.h"
#include "elevated/sha256_system.h"

namespace loftswitch {

struct Sha256::State {
  std::optional<CpuSha256> cpu;
  std::optional<SystemSha256> system;
  bool finished = false;
  bool failed = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (CpuSha256::available()) {
    state_->cpu.emplace();
  } else {
    state_->system.emplace();
  }
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
  if (!state_) return;
  if (state_->finished) {
    state_->failed = true;
  } else if (state_->cpu) {
    state_->cpu->update(bytes);
  } else if (!state_->system->update(bytes)) {
    state_->failed = true;
  }
}

void Sha256::update(std::string_view bytes) {
  update(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                       bytes.size()));
}

Sha256Digest Sha256::finish() {
  if (!state_) return {};
  std::optional<Sha256Digest> digest;
  if (!state_->finished) {
    digest = state_->cpu ? state_->cpu->finish() : state_->system->finish();
  }
  state_->finished = true;
  if (!digest || state_->failed) {
    state_->failed = true;
    return {};
  }
  return *digest;
}

bool Sha256::failed() const { return !state_ || state_->failed; }

Sha256Digest Sha256::digest(std::span<const std::uint8_t> bytes) {
  Sha256 hash;
  hash.update(bytes);
  Sha256Digest out = hash.finish();
  if (hash.failed()) out.fill(0);
  return out;
}

Sha256Digest Sha256::digest(std::string_view bytes) {
  return digest(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace loftswitch
