#pragma once

#include <filesystem>
#include <string_view>

namespace loftswitch {

// The built program `name` (without ".exe") beside the test executable.
std::filesystem::path builtProgram(std::string_view name);

}  // namespace loftswitch
