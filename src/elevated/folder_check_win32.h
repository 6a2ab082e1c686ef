#pragma once

// The descriptor logic behind the folder checks, for Win32 code and tests.

#include <windows.h>

#include <filesystem>
#include <functional>

#include "base/result.h"

namespace loftswitch {

// Owner Administrators; a protected DACL with full access for SYSTEM and
// Administrators, inherited by files and subfolders.
inline constexpr wchar_t kRestrictedFolderSddl[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// Rights that let someone change the folder asked about: WRITE_OWNER,
// WRITE_DAC, DELETE, FILE_DELETE_CHILD, FILE_ADD_SUBDIRECTORY, FILE_ADD_FILE.
// On files the last two are FILE_APPEND_DATA and FILE_WRITE_DATA.
inline constexpr ACCESS_MASK kFolderChangeRights = 0xD0046;
// Rights on a folder above it that let someone replace or re-permission what
// lies below: adding entries beside it does not.
inline constexpr ACCESS_MASK kParentChangeRights = 0xD0040;
// Rights that let someone change a file: WRITE_OWNER, WRITE_DAC, DELETE,
// FILE_APPEND_DATA, FILE_WRITE_DATA.
inline constexpr ACCESS_MASK kFileChangeRights = 0xD0006;

// True when the descriptor has a trusted owner and a DACL whose allow entries
// that apply to the object itself grant any of `rights` only to trusted
// identities or owner placeholders. A missing owner, a missing or null DACL,
// or an entry that can't be read gives false; deny entries are not counted.
bool isAdminOnly(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights);

// True when no allow entry that files or subfolders created inside would
// inherit grants any of kFolderChangeRights to an identity that is neither
// trusted nor an owner placeholder. Inherit-only entries count here.
bool isAdminOnlyForContents(PSECURITY_DESCRIPTOR descriptor);

// Where a folder stands in the walk of the folder check.
enum class FolderRole { askedAbout, above };

// The folder check's verdict on one folder's descriptor: the folder asked
// about must keep kFolderChangeRights and what it passes on to its contents
// for trusted identities; a folder above it only kParentChangeRights.
bool isAdminOnlyFolder(PSECURITY_DESCRIPTOR descriptor, FolderRole role);

// Whether one folder inside a checked tree may stay as its descriptor says.
using FolderJudge =
    std::function<bool(const std::filesystem::path& folder, PSECURITY_DESCRIPTOR descriptor)>;

// Walks every folder inside `folder` through handles, never into a link: a
// folder that is a junction or link, or that `judge` turns down, is refused
// with an accessDenied error naming it.
[[nodiscard]] Result<Unit> checkFoldersInside(const std::filesystem::path& folder,
                                              const FolderJudge& judge);

// SYSTEM, the Administrators group or the TrustedInstaller service.
bool isTrustedSid(PSID sid);

// CREATOR OWNER or OWNER RIGHTS: entries for them stand for the owner.
bool isOwnerSid(PSID sid);

}  // namespace loftswitch
