#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "elevated/sha256_system.h"

#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif

namespace loftswitch {
namespace {

constexpr std::size_t kMaxPiece = 0x40000000;

bool succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

struct SystemSha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;

  ~State() {
    if (hash != nullptr) ::BCryptDestroyHash(hash);
  }
};

SystemSha256::SystemSha256() {
  auto state = std::make_unique<State>();
  // The predefined algorithm handle needs no provider to be opened.
  if (succeeded(::BCryptCreateHash(BCRYPT_SHA256_ALG_HANDLE, &state->hash, nullptr, 0, nullptr,
                                   0, 0))) {
    state_ = std::move(state);
  }
}

SystemSha256::~SystemSha256() = default;

bool SystemSha256::update(std::span<const std::uint8_t> bytes) {
  while (state_ && !bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), kMaxPiece);
    if (!succeeded(::BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes.data()),
                                    static_cast<ULONG>(piece), 0))) {
      state_.reset();
    }
    bytes = bytes.subspan(piece);
  }
  return state_ != nullptr;
}

std::optional<Sha256Digest> SystemSha256::finish() {
  Sha256Digest out{};
  const bool done = state_ && succeeded(::BCryptFinishHash(state_->hash, out.data(),
                                                           static_cast<ULONG>(out.size()), 0));
  state_.reset();
  if (!done) return std::nullopt;
  return out;
}

}  // namespace loftswitch
