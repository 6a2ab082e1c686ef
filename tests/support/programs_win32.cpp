#include <windows.h>

#include <string>

#include "base/text.h"
#include "support/programs.h"

namespace loftswitch {

std::filesystem::path builtProgram(std::string_view name) {
  std::wstring buffer(32768, L'\0');
  const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return std::filesystem::path(buffer).parent_path() / utf8ToPath(std::string(name) + ".exe");
}

}  // namespace loftswitch
