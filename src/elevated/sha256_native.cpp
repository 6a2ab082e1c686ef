// SHA-256 for the native build, where there is no CNG: libgcrypt, which the
// native lane has anyway as the Ed25519 fuzz target's oracle.
#include <gcrypt.h>

#include "elevated/sha256.h"

namespace loftswitch {
namespace {

bool libraryReady() {
  static const bool ready = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
    // Only public data is hashed here: locked secure memory would buy nothing.
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return ready;
}

}  // namespace

struct Sha256::State {
  gcry_md_hd_t hash = nullptr;
  bool failed = false;

  ~State() {
    if (hash != nullptr) gcry_md_close(hash);
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (!libraryReady() || gcry_md_open(&state_->hash, GCRY_MD_SHA256, 0) != 0) {
    state_->hash = nullptr;
    state_->failed = true;
  }
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
  if (!state_ || state_->hash == nullptr) {
    if (state_) state_->failed = true;
    return;
  }
  gcry_md_write(state_->hash, bytes.data(), bytes.size());
}

Sha256Digest Sha256::finish() {
  Sha256Digest out{};
  if (!state_ || state_->hash == nullptr) {
    if (state_) state_->failed = true;
    return out;
  }
  const unsigned char* result = gcry_md_read(state_->hash, GCRY_MD_SHA256);
  if (result == nullptr) {
    state_->failed = true;
  } else {
    std::copy(result, result + out.size(), out.begin());
  }
  gcry_md_close(state_->hash);
  state_->hash = nullptr;
  return out;
}

bool Sha256::failed() const { return !state_ || state_->failed; }

}  // namespace loftswitch
