#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace loftswitch {

using Sha256Digest = std::array<std::uint8_t, 32>;

// An incremental SHA-256: the processor's own instructions where it has them,
// the system's hash provider otherwise. A provider failure is remembered
// rather than thrown: finish() then gives a digest that must not be trusted,
// and failed() says so.
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  ~Sha256();

  void update(std::span<const std::uint8_t> bytes);
  void update(std::string_view bytes);
  // Ends the hash; a second call gives all zeros and counts as failed.
  Sha256Digest finish();
  bool failed() const;

  // The digest of `bytes` in one call; all zeros if the provider failed,
  // which matches no real digest.
  static Sha256Digest digest(std::span<const std::uint8_t> bytes);
  static Sha256Digest digest(std::string_view bytes);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace loftswitch
