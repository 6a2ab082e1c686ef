#include "base/text.h"
#include "host/system_host.h"
#include "support/programs.h"

namespace loftswitch {

std::filesystem::path builtProgram(std::string_view name) {
  return std::filesystem::path(ownExecutablePath()).parent_path() /
         utf8ToPath(std::string(name) + ".exe");
}

}  // namespace loftswitch
