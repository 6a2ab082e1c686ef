#include "base/windows_error.h"

namespace loftswitch {

std::string windowsErrorText(std::uint32_t code) {
  return "windows error (" + std::to_string(code) + ")";
}

}  // namespace loftswitch
