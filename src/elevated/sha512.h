#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace loftswitch {

using Sha512Digest = std::array<std::uint8_t, 64>;

// SHA-512 (FIPS 180-4), the hash inside Ed25519. Portable and allocation-free,
// so that the signature check needs no crypto library.
class Sha512 {
 public:
  Sha512();
  // Clears the state and the buffered input: the signer hashes its secrets.
  ~Sha512();
  Sha512(const Sha512&) = delete;
  Sha512& operator=(const Sha512&) = delete;
  void update(std::span<const std::uint8_t> bytes);
  // Ends the hash; the object must not be used afterwards.
  Sha512Digest finish();

  static Sha512Digest digest(std::span<const std::uint8_t> bytes);

 private:
  void compress(const std::uint8_t* block);

  std::array<std::uint64_t, 8> state_;
  std::array<std::uint8_t, 128> block_{};
  std::size_t used_ = 0;
  // Messages stay far below 2^64 bytes, so the 128-bit length field's upper
  // half is always zero.
  std::uint64_t length_ = 0;
};

}  // namespace loftswitch
