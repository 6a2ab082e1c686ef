#include "base/file.h"

#include <vector>

#include "base/text.h"

namespace loftswitch {

std::string randomToken(std::size_t bytes) {
  std::vector<std::uint8_t> buffer(bytes);
  randomBytes(buffer);
  return toHex(buffer);
}

}  // namespace loftswitch
