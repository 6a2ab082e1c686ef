#include "elevated/sha256.h"

namespace loftswitch {

void Sha256::update(std::string_view bytes) {
  update(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                       bytes.size()));
}

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
