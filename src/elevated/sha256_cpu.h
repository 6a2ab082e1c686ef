#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "elevated/sha256.h"

namespace loftswitch {

// SHA-256 on the processor's own SHA instructions. A delta's rebuild hashes
// every file of the install twice, and the system's providers run well below
// the disk's speed where they lack them (Wine's at 200 MB/s). Only made where
// available() says the processor has them; elsewhere the system's provider
// stays.
class CpuSha256 {
 public:
  static bool available();

  void update(std::span<const std::uint8_t> bytes);
  Sha256Digest finish();

 private:
  std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<std::uint8_t, 64> block_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;
};

}  // namespace loftswitch
