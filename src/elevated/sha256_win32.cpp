#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "elevated/sha256.h"

#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif

namespace loftswitch {
namespace {

constexpr std::size_t kMaxPiece = 0x40000000;

bool succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool failed = false;

  ~State() {
    if (hash != nullptr) ::BCryptDestroyHash(hash);
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  // The predefined algorithm handle needs no provider to be opened.
  if (!succeeded(::BCryptCreateHash(BCRYPT_SHA256_ALG_HANDLE, &state_->hash, nullptr, 0,
                                    nullptr, 0, 0))) {
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
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kMaxPiece);
    if (!succeeded(::BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes.data()),
                                    static_cast<ULONG>(piece), 0))) {
      state_->failed = true;
      return;
    }
    bytes = bytes.subspan(piece);
  }
}

Sha256Digest Sha256::finish() {
  Sha256Digest out{};
  if (!state_ || state_->hash == nullptr) {
    if (state_) state_->failed = true;
    return out;
  }
  if (!succeeded(::BCryptFinishHash(state_->hash, out.data(), static_cast<ULONG>(out.size()), 0))) {
    state_->failed = true;
    out.fill(0);
  }
  ::BCryptDestroyHash(state_->hash);
  state_->hash = nullptr;
  return out;
}

bool Sha256::failed() const { return !state_ || state_->failed; }

}  // namespace loftswitch
