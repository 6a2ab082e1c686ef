#pragma once

// What the end-to-end tests read back from a real install and from the
// sample application's record of its starts.

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace loftswitch {

// Every file below `install` but its ".loftswitch" workspace, by relative
// path, with its content.
std::map<std::string, std::string> installFiles(const std::filesystem::path& install);

// The versions of the sample application's starts (one JSON line each),
// "?" for a start of another attempt, once `count` of them are complete, or
// what there is after ten seconds: a version the tool started after it ended
// records itself on its own time.
std::vector<std::string> startedVersions(const std::filesystem::path& runs,
                                         std::string_view attempt, std::size_t count);

// Removes a folder, waiting up to five seconds for a program started from
// it to let go of its executable.
void removeWhenFree(const std::filesystem::path& folder);

}  // namespace loftswitch
