#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <string>
#include <system_error>
#include <vector>

#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "elevated/folder_check.h"
#include "elevated/folder_check_win32.h"
#include "fs/tree_win32.h"

namespace loftswitch {

namespace {

constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Made once; empty when the text can't be converted, and then nothing matches.
const std::vector<BYTE>& trustedInstallerSid() {
  static const std::vector<BYTE> sid = [] {
    std::vector<BYTE> bytes;
    PSID converted = nullptr;
    if (::ConvertStringSidToSidW(kTrustedInstallerSid, &converted)) {
      UniqueLocalMemory owned(converted);
      const auto* start = static_cast<const BYTE*>(converted);
      bytes.assign(start, start + ::GetLengthSid(converted));
    }
    return bytes;
  }();
  return sid;
}

ACCESS_MASK mapFileRights(ACCESS_MASK mask) {
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  ::MapGenericMask(&mask, &mapping);
  return mask;
}

// One entry that grants access. `sid` is null when the entry's trustee can't
// be read safely; such an entry is treated as granting to a stranger.
struct AllowEntry {
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
  PSID sid = nullptr;
};

PSID sidWithin(BYTE* ace, std::size_t offset, std::size_t aceSize) {
  if (offset + sizeof(SID) > aceSize) return nullptr;
  PSID sid = ace + offset;
  if (!::IsValidSid(sid) || offset + ::GetLengthSid(sid) > aceSize) return nullptr;
  return sid;
}

// Every kind of entry that can grant access counts, conditional and object
// entries included: a condition or an object type never makes a grant to a
// stranger safe. Entries that only deny, audit or label are not grants.
std::optional<AllowEntry> allowEntry(void* raw) {
  auto* header = static_cast<ACE_HEADER*>(raw);
  auto* bytes = static_cast<BYTE*>(raw);
  const std::size_t size = header->AceSize;
  if (size < sizeof(ACE_HEADER) + sizeof(ACCESS_MASK)) {
    return AllowEntry{header->AceFlags, FILE_ALL_ACCESS, nullptr};
  }
  AllowEntry entry;
  entry.flags = header->AceFlags;
  std::memcpy(&entry.mask, bytes + sizeof(ACE_HEADER), sizeof(ACCESS_MASK));
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      entry.sid = sidWithin(bytes, offsetof(ACCESS_ALLOWED_ACE, SidStart), size);
      return entry;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
      std::size_t offset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + sizeof(DWORD);
      if (offset > size) return entry;
      DWORD objectFlags = 0;
      std::memcpy(&objectFlags, bytes + offset - sizeof(DWORD), sizeof(DWORD));
      if (objectFlags & ACE_OBJECT_TYPE_PRESENT) offset += sizeof(GUID);
      if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT) offset += sizeof(GUID);
      entry.sid = sidWithin(bytes, offset, size);
      return entry;
    }
    case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
      // Grants to a server acting for a client: never an administrator-only
      // arrangement this check could vouch for.
      return entry;
    default:
      return std::nullopt;
  }
}

enum class Applies { toObject, toContents };

bool grantsOnlyToTrusted(PACL dacl, ACCESS_MASK rights, Applies applies) {
  ACL_SIZE_INFORMATION info{};
  if (!::GetAclInformation(dacl, &info, sizeof(info), AclSizeInformation)) return false;
  for (DWORD i = 0; i < info.AceCount; ++i) {
    void* raw = nullptr;
    if (!::GetAce(dacl, i, &raw)) return false;
    const std::optional<AllowEntry> entry = allowEntry(raw);
    if (!entry) continue;
    if (applies == Applies::toObject) {
      // Inherit-only entries say nothing about the object that holds them.
      if (entry->flags & INHERIT_ONLY_ACE) continue;
    } else {
      if (!(entry->flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))) continue;
    }
    if ((mapFileRights(entry->mask) & rights) == 0) continue;
    if (entry->sid == nullptr) return false;
    if (!isTrustedSid(entry->sid) && !isOwnerSid(entry->sid)) return false;
  }
  return true;
}

// The DACL of a descriptor with a trusted owner; null when there is none, the
// DACL is null (everyone may do everything) or the owner is not trusted.
PACL trustedDacl(PSECURITY_DESCRIPTOR descriptor) {
  if (descriptor == nullptr) return nullptr;
  PSID owner = nullptr;
  BOOL ownerDefaulted = FALSE;
  if (!::GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted) || owner == nullptr) {
    return nullptr;
  }
  if (!isTrustedSid(owner)) return nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE;
  BOOL daclDefaulted = FALSE;
  if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &daclDefaulted) || !present) {
    return nullptr;
  }
  return dacl;
}

std::string shown(const std::filesystem::path& path) { return toUtf8(path.native()); }

Error refusal(std::string message) { return Error{ErrorCode::accessDenied, std::move(message)}; }

std::string changeableMessage(const std::filesystem::path& path) {
  return shown(path) +
         " can be changed by users who aren't administrators, so an elevated update won't run "
         "there";
}

std::string linkMessage(const std::filesystem::path& path) {
  return shown(path) + " is a junction or link, which an elevated update won't follow";
}

// By its name's attributes or by an open handle's: a system that follows
// links even when told not to (Wine, with Unix links) shows them by name.
bool isLink(const std::filesystem::path& path, HANDLE opened) {
  const DWORD attributes = ::GetFileAttributesW(longPath(path).c_str());
  BY_HANDLE_FILE_INFORMATION info{};
  return (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) ||
         (::GetFileInformationByHandle(opened, &info) &&
          (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT));
}

}  // namespace

bool isTrustedSid(PSID sid) {
  if (sid == nullptr || !::IsValidSid(sid)) return false;
  if (::IsWellKnownSid(sid, WinLocalSystemSid) ||
      ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
    return true;
  }
  const std::vector<BYTE>& installer = trustedInstallerSid();
  if (installer.empty()) return false;
  return ::EqualSid(sid, const_cast<BYTE*>(installer.data())) != FALSE;
}

bool isOwnerSid(PSID sid) {
  if (sid == nullptr || !::IsValidSid(sid)) return false;
  return ::IsWellKnownSid(sid, WinCreatorOwnerSid) ||
         ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid);
}

bool isAdminOnly(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights) {
  PACL dacl = trustedDacl(descriptor);
  if (dacl == nullptr) return false;
  return grantsOnlyToTrusted(dacl, rights, Applies::toObject);
}

bool isAdminOnlyForContents(PSECURITY_DESCRIPTOR descriptor) {
  PACL dacl = trustedDacl(descriptor);
  if (dacl == nullptr) return false;
  return grantsOnlyToTrusted(dacl, kFolderChangeRights, Applies::toContents);
}

bool isAdminOnlyFolder(PSECURITY_DESCRIPTOR descriptor, FolderRole role) {
  if (role == FolderRole::above) return isAdminOnly(descriptor, kParentChangeRights);
  // What gets created inside the folder asked about (the workspace, the
  // staged files) inherits its entries, so those count there too.
  return isAdminOnly(descriptor, kFolderChangeRights) && isAdminOnlyForContents(descriptor);
}

Result<Unit> checkElevatedFolder(const std::filesystem::path& folder) {
  std::error_code absoluteFailed;
  std::filesystem::path current = std::filesystem::absolute(folder, absoluteFailed);
  if (absoluteFailed) return fail(refusal("can't make " + shown(folder) + " absolute"));
  current = current.lexically_normal();
  if (!current.has_filename()) current = current.parent_path();

  std::vector<std::filesystem::path> chain;
  for (;;) {
    chain.push_back(current);
    std::filesystem::path parent = current.parent_path();
    if (parent.empty() || parent == current) break;
    current = std::move(parent);
  }

  // Every folder on the way is looked at before any permission is read, so a
  // junction is named wherever it is and no descriptor is read through one.
  for (const std::filesystem::path& path : chain) {
    const DWORD attributes = ::GetFileAttributesW(longPath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return fail(refusal(shown(path) + " is not a folder"));
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return fail(refusal(linkMessage(path)));
  }

  for (std::size_t i = 0; i < chain.size(); ++i) {
    const std::filesystem::path& path = chain[i];
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD status = ::GetNamedSecurityInfoW(
        longPath(path).c_str(), SE_FILE_OBJECT,
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
        nullptr, &raw);
    if (status != ERROR_SUCCESS) {
      if (raw != nullptr) ::LocalFree(raw);
      return fail(refusal("can't read the permissions of " + shown(path)));
    }
    const UniqueLocalMemory descriptor(raw);
    const bool adminOnly =
        isAdminOnlyFolder(descriptor.get(), i == 0 ? FolderRole::askedAbout : FolderRole::above);
    if (!adminOnly) {
      return fail(refusal(changeableMessage(path)));
    }
  }
  return ok();
}

Result<Unit> checkFoldersInside(const std::filesystem::path& folder, const FolderJudge& judge) {
  struct Level {
    OpenEntry folder;
    std::filesystem::path path;
    std::vector<FolderEntry> entries;
    std::size_t next = 0;
  };
  const std::filesystem::path top = std::filesystem::absolute(folder).lexically_normal();
  const auto unreadable = [](const std::filesystem::path& path) {
    return fail(refusal("can't read the permissions of " + shown(path)));
  };
  std::vector<Level> stack(1);
  stack.back().path = top;
  if (openForWalk(longPath(top), READ_CONTROL, stack.back().folder) != 0) return unreadable(top);
  if (!stack.back().folder.isFolder()) return fail(refusal(linkMessage(top)));
  if (listOpenFolder(stack.back().folder, stack.back().entries) != 0) return unreadable(top);
  while (!stack.empty()) {
    Level& level = stack.back();
    if (level.next == level.entries.size()) {
      stack.pop_back();
      continue;
    }
    const FolderEntry& entry = level.entries[level.next++];
    if (!(entry.attributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    const std::filesystem::path path = level.path / entry.name;
    if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) return fail(refusal(linkMessage(path)));
    Level inner;
    inner.path = path;
    // The check only reads: a link swapped in after the listing shows as a
    // link on Windows, and the deletes never follow one anyway.
    const DWORD error =
        openChild(level.folder, entry.name, READ_CONTROL, inner.folder, /*verify=*/false);
    // What can't be opened as itself is a link that this system follows.
    if (error == ERROR_NOT_SUPPORTED || (error == 0 && inner.folder.isLink())) {
      return fail(refusal(linkMessage(path)));
    }
    if (error != 0) return unreadable(path);
    if (!inner.folder.isFolder()) continue;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD status =
        ::GetSecurityInfo(inner.folder.handle.get(), SE_FILE_OBJECT,
                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, nullptr, &raw);
    const UniqueLocalMemory descriptor(raw);
    if (status != ERROR_SUCCESS) return unreadable(path);
    if (!judge(path, descriptor.get())) return fail(refusal(changeableMessage(path)));
    if (listOpenFolder(inner.folder, inner.entries) != 0) return unreadable(path);
    stack.push_back(std::move(inner));
  }
  return ok();
}

Result<Unit> checkElevatedTree(const std::filesystem::path& folder) {
  RETURN_IF_ERROR(checkElevatedFolder(folder));
  // Folders of one install mostly carry the same inherited descriptor: judge
  // each distinct one once.
  std::unordered_map<std::string, bool> verdicts;
  return checkFoldersInside(folder, [&verdicts](const std::filesystem::path&,
                                                PSECURITY_DESCRIPTOR descriptor) {
    const auto* bytes = static_cast<const char*>(descriptor);
    std::string key(bytes, ::GetSecurityDescriptorLength(descriptor));
    const auto found = verdicts.find(key);
    if (found != verdicts.end()) return found->second;
    const bool adminOnly = isAdminOnlyFolder(descriptor, FolderRole::askedAbout);
    verdicts.emplace(std::move(key), adminOnly);
    return adminOnly;
  });
}

Result<Unit> checkElevatedFile(const std::filesystem::path& file) {
  const auto unreadable = [&file] {
    return fail(refusal("can't read the permissions of " + shown(file)));
  };
  // Opened as itself: a link is judged, never what it points at.
  UniqueFileHandle handle(::CreateFileW(longPath(file).c_str(), READ_CONTROL,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
  if (isLink(file, handle.get())) return fail(refusal(linkMessage(file)));
  if (!handle) return unreadable();
  PSECURITY_DESCRIPTOR raw = nullptr;
  const DWORD status = ::GetSecurityInfo(handle.get(), SE_FILE_OBJECT,
                                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         nullptr, nullptr, nullptr, nullptr, &raw);
  const UniqueLocalMemory descriptor(raw);
  if (status != ERROR_SUCCESS) return unreadable();
  if (!isAdminOnly(descriptor.get(), kFileChangeRights)) {
    return fail(refusal(shown(file) +
                        " can be changed by users who aren't administrators, so an elevated "
                        "update won't trust it"));
  }
  return ok();
}

Result<Unit> createRestrictedFolder(const std::filesystem::path& folder) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kRestrictedFolderSddl,
                                                              SDDL_REVISION_1, &raw, nullptr)) {
    return fail(errorFromWin32(::GetLastError(), "can't build the permissions for", folder));
  }
  const UniqueLocalMemory descriptor(raw);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
  if (!::CreateDirectoryW(longPath(folder).c_str(), &attributes)) {
    return fail(errorFromWin32(::GetLastError(), "can't create folder", folder));
  }
  return ok();
}

Result<Unit> inheritFolderPermissions(const std::filesystem::path& folder) {
  UniqueFileHandle handle(::CreateFileW(
      longPath(folder).c_str(), READ_CONTROL | WRITE_DAC,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!handle) return fail(errorFromWin32(::GetLastError(), "can't open", folder));
  if (isLink(folder, handle.get())) return fail(refusal(linkMessage(folder)));
  // An empty DACL that is not protected holds only what the parent passes
  // on, and the system carries that down to everything inside.
  ACL empty{};
  if (!::InitializeAcl(&empty, sizeof(empty), ACL_REVISION)) {
    return fail(errorFromWin32(::GetLastError(), "can't build the permissions for", folder));
  }
  const DWORD status = ::SetSecurityInfo(
      handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
      nullptr, nullptr, &empty, nullptr);
  if (status != ERROR_SUCCESS) return fail(errorFromWin32(status, "can't change the permissions of", folder));
  return ok();
}

}  // namespace loftswitch
