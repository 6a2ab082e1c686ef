#include "base/file.h"

#include <algorithm>
#include <vector>

#include "base/text.h"

namespace loftswitch {

Result<std::string> readRest(OpenFile& file, std::uint64_t limit) {
  std::string text;
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(limit + 1, 0x10000)));
  for (;;) {
    ASSIGN_OR_RETURN(const std::uint64_t count, readSome(file, buffer));
    if (count == 0) return text;
    text.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(count));
    if (text.size() > limit) {
      return fail(ErrorCode::tooLarge,
                  pathToUtf8(file.path()) + " is larger than " + std::to_string(limit) + " bytes");
    }
  }
}

std::string randomToken(std::size_t bytes) {
  std::vector<std::uint8_t> buffer(bytes);
  randomBytes(buffer);
  return toHex(buffer);
}

}  // namespace loftswitch
