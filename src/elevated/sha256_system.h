#pragma once

#include <memory>
#include <optional>
#include <span>

#include "elevated/sha256.h"

namespace loftswitch {

// The system's SHA-256 provider: CNG on Windows, libsodium in the native
// build. A provider failure is final: update() then returns false and
// finish() nothing.
class SystemSha256 {
 public:
  SystemSha256();
  SystemSha256(const SystemSha256&) = delete;
  SystemSha256& operator=(const SystemSha256&) = delete;
  ~SystemSha256();

  bool update(std::span<const std::uint8_t> bytes);
  std::optional<Sha256Digest> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace loftswitch
