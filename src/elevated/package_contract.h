#pragma once

// What every package must hold so that the install it becomes can be updated
// again: its own install description and the tool. Checked on the extracted
// package, once every entry has passed the reader's rules, by both staging
// roads and by the publisher's tool before it signs.

#include <filesystem>
#include <string>
#include <string_view>

#include "base/result.h"
#include "fs/file_system.h"

namespace loftswitch {

// What the package is signed as. An empty field is not compared: a publisher
// may check a package before deciding its app id and version. Without a
// platform, the description must still name at least one.
struct PackageExpectation {
  std::string app;
  std::string version;
  std::string platform;
};

// Succeeds when the extracted package in `root` holds at its root a
// loftswitch.json that reads as an install description for the expected app,
// version and platform, the executable that description names, and
// loftswitch-apply.exe. A broken rule is `badLayout` (`invalidData` for a
// description that does not read) with a message naming it; a file that
// cannot be read keeps its own error.
[[nodiscard]] Result<Unit> checkPackageContract(FileSystem& fs, const std::filesystem::path& root,
                                                const PackageExpectation& expected);

// What a publisher checks first when a signature does not verify.
inline constexpr std::string_view kSignedFieldsHint =
    "the app id, version, platform and notes are all part of what is signed: each must be "
    "exactly what the package was signed with";

// `message` with any JSON library text in it replaced by our own words,
// saying where the document is broken: "loftswitch.json: [json.exception...]
// parse error at line 3, column 7: ..." becomes "loftswitch.json: not valid
// JSON at line 3, column 7".
std::string plainJsonMessage(std::string_view message);

}  // namespace loftswitch
