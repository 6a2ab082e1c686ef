#pragma once

#include <filesystem>
#include <functional>

#include "base/result.h"

namespace loftswitch {

// Checks or changes one folder. The elevated helper receives its folder check
// and its folder restrict in this form, so that tests can replace them.
using FolderCheck = std::function<Result<Unit>(const std::filesystem::path&)>;

// Succeeds only when the folder and every folder above it up to the root are
// real folders (no junctions or links) owned by an administrator identity
// whose access lists let only administrator identities change them, and when
// nothing created inside the folder would inherit such rights for anyone
// else. Changes nothing. Every error has code accessDenied and names, in its
// absolute form, the folder that failed, which may lie above the one asked
// about; a junction or link anywhere on the way is reported before any
// permission problem.
[[nodiscard]] Result<Unit> checkElevatedFolder(const std::filesystem::path& folder);

// checkElevatedFolder, and then every folder inside, at any depth: each must
// be a real folder (no junction or link) that only administrator identities
// can change. Files are not looked at. The error names the folder that failed.
[[nodiscard]] Result<Unit> checkElevatedTree(const std::filesystem::path& folder);

// Succeeds only when the file is a real file (no link) owned by an
// administrator identity whose access list lets only administrator
// identities write, delete or re-permission it: the files an elevated update
// trusts, its install description and the programs it starts. The error
// (accessDenied) names the file.
[[nodiscard]] Result<Unit> checkElevatedFile(const std::filesystem::path& file);

// Creates a folder, failing when anything is at its path, with a protected
// descriptor that only SYSTEM and the Administrators group can use, owned by
// Administrators, from its first moment: no other user ever opens anything
// in it.
[[nodiscard]] Result<Unit> createRestrictedFolder(const std::filesystem::path& folder);

// Lets a folder and everything in it take their permissions from the folder
// above, as if made there: what moves out of a restricted folder into the
// install must be as readable there as what was installed before. A junction
// or link is refused rather than followed.
[[nodiscard]] Result<Unit> inheritFolderPermissions(const std::filesystem::path& folder);

}  // namespace loftswitch
