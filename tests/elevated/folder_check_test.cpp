#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "elevated/folder_check.h"
#include "elevated/folder_check_win32.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::wstring kTrustedInstaller =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const std::wstring kSomeUser = L"S-1-5-21-1004336348-1177238915-682003330-1001";

UniqueLocalMemory descriptorFrom(const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    ADD_FAILURE() << "can't build a descriptor from " << toUtf8(sddl) << ": "
                  << ::GetLastError();
  }
  return UniqueLocalMemory(descriptor);
}

bool adminOnly(const std::wstring& sddl, ACCESS_MASK rights) {
  UniqueLocalMemory descriptor = descriptorFrom(sddl);
  return isAdminOnly(descriptor.get(), rights);
}

bool contentsAdminOnly(const std::wstring& sddl) {
  UniqueLocalMemory descriptor = descriptorFrom(sddl);
  return isAdminOnlyForContents(descriptor.get());
}

std::wstring grantToUsers(ACCESS_MASK mask) {
  wchar_t text[128];
  std::swprintf(text, 128, L"O:BAD:(A;;0x%lx;;;BU)", static_cast<unsigned long>(mask));
  return text;
}

UniqueLocalMemory sidFrom(const std::wstring& text) {
  PSID sid = nullptr;
  if (!::ConvertStringSidToSidW(text.c_str(), &sid)) {
    ADD_FAILURE() << "can't convert " << toUtf8(text);
  }
  return UniqueLocalMemory(sid);
}

// A descriptor owned by Administrators whose DACL holds one entry given as
// raw bytes, for entry kinds SDDL can't always express, or whose DACL is null
// (Wine's SDDL reader makes NO_ACCESS_CONTROL an empty DACL instead).
class BuiltDescriptor {
 public:
  static BuiltDescriptor withNullDacl() { return BuiltDescriptor(nullptr); }
  explicit BuiltDescriptor(const std::vector<BYTE>& entry) : BuiltDescriptor(&entry) {}
  BuiltDescriptor(BuiltDescriptor&&) = default;

  PSECURITY_DESCRIPTOR get() { return &descriptor_; }

 private:
  explicit BuiltDescriptor(const std::vector<BYTE>* entry) : acl_(1024) {
    auto* acl = reinterpret_cast<PACL>(acl_.data());
    if (entry != nullptr) {
      EXPECT_TRUE(::InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION_DS));
      EXPECT_TRUE(::AddAce(acl, ACL_REVISION_DS, MAXDWORD, const_cast<BYTE*>(entry->data()),
                           static_cast<DWORD>(entry->size())));
    }
    owner_ = sidFrom(L"BA");
    EXPECT_TRUE(::InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(::SetSecurityDescriptorOwner(&descriptor_, owner_.get(), FALSE));
    EXPECT_TRUE(::SetSecurityDescriptorDacl(&descriptor_, TRUE, entry ? acl : nullptr, FALSE));
  }

  std::vector<BYTE> acl_;
  UniqueLocalMemory owner_;
  SECURITY_DESCRIPTOR descriptor_{};
};

TEST(IsAdminOnlyTest, NeedsAnOwnerThatIsSystemAdministratorsOrTrustedInstaller) {
  for (const std::wstring& owner : {std::wstring(L"SY"), std::wstring(L"BA"), kTrustedInstaller}) {
    const std::wstring sddl = L"O:" + owner + L"D:(A;;FA;;;SY)(A;;0x1200a9;;;BU)";
    EXPECT_TRUE(adminOnly(sddl, kFolderChangeRights)) << toUtf8(owner);
    EXPECT_TRUE(adminOnly(sddl, kParentChangeRights)) << toUtf8(owner);
  }
  // Owners may always rewrite the access list, whatever it says.
  for (const std::wstring& owner :
       {std::wstring(L"BU"), std::wstring(L"WD"), std::wstring(L"AU"), kSomeUser}) {
    const std::wstring sddl = L"O:" + owner + L"D:(A;;FA;;;SY)";
    EXPECT_FALSE(adminOnly(sddl, kFolderChangeRights)) << toUtf8(owner);
    EXPECT_FALSE(adminOnly(sddl, kParentChangeRights)) << toUtf8(owner);
  }
  EXPECT_FALSE(adminOnly(L"D:(A;;FA;;;SY)", kFolderChangeRights));
  EXPECT_FALSE(isAdminOnly(nullptr, kFolderChangeRights));
}

TEST(IsAdminOnlyTest, NullOrMissingAccessListFailsAndEmptyOnePasses) {
  BuiltDescriptor nullDacl = BuiltDescriptor::withNullDacl();
  EXPECT_FALSE(isAdminOnly(nullDacl.get(), kParentChangeRights));
  EXPECT_FALSE(adminOnly(L"O:BA", kParentChangeRights));
  EXPECT_TRUE(adminOnly(L"O:BAD:", kFolderChangeRights));
  EXPECT_TRUE(adminOnly(L"O:SYD:P", kFolderChangeRights));
  EXPECT_FALSE(adminOnly(L"O:BUD:", kFolderChangeRights));
}

TEST(IsAdminOnlyTest, EachChangingRightCountsOnTheFolderAndOnlySomeOnAParent) {
  struct Case {
    ACCESS_MASK mask;
    bool folderPasses;
    bool parentPasses;
  };
  const Case cases[] = {
      {WRITE_OWNER, false, false},
      {WRITE_DAC, false, false},
      {DELETE, false, false},
      {FILE_DELETE_CHILD, false, false},
      {FILE_ADD_SUBDIRECTORY, false, true},
      {FILE_ADD_FILE, false, true},
      {FILE_WRITE_EA, true, true},
      {FILE_WRITE_ATTRIBUTES, true, true},
      {FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, true, true},
      {FILE_ALL_ACCESS, false, false},
      // Generic rights are judged by the file rights they stand for.
      {GENERIC_ALL, false, false},
      {GENERIC_WRITE, false, true},
      {GENERIC_READ | GENERIC_EXECUTE, true, true},
  };
  for (const Case& c : cases) {
    const std::wstring sddl = grantToUsers(c.mask);
    EXPECT_EQ(adminOnly(sddl, kFolderChangeRights), c.folderPasses) << toUtf8(sddl);
    EXPECT_EQ(adminOnly(sddl, kParentChangeRights), c.parentPasses) << toUtf8(sddl);
  }
  EXPECT_FALSE(adminOnly(L"O:BAD:(A;;GA;;;BU)", kParentChangeRights));
  EXPECT_TRUE(adminOnly(L"O:BAD:(A;;GW;;;BU)", kParentChangeRights));
  EXPECT_FALSE(adminOnly(L"O:BAD:(A;;GW;;;BU)", kFolderChangeRights));
}

TEST(IsAdminOnlyTest, OnlyTrustedIdentitiesAndOwnerPlaceholdersMayHoldChangingRights) {
  for (const wchar_t* trustee : {L"SY", L"BA", L"CO", L"OW"}) {
    EXPECT_TRUE(adminOnly(std::wstring(L"O:BAD:(A;;FA;;;") + trustee + L")", kFolderChangeRights))
        << toUtf8(trustee);
  }
  EXPECT_TRUE(adminOnly(L"O:BAD:(A;;FA;;;" + kTrustedInstaller + L")", kFolderChangeRights));
  for (const std::wstring& trustee : {std::wstring(L"BU"), std::wstring(L"WD"),
                                      std::wstring(L"AU"), std::wstring(L"IU"), kSomeUser}) {
    EXPECT_FALSE(adminOnly(L"O:BAD:(A;;FA;;;" + trustee + L")", kParentChangeRights))
        << toUtf8(trustee);
  }
  // A stranger's grant after trusted ones still counts.
  EXPECT_FALSE(adminOnly(L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x40;;;BU)", kParentChangeRights));
}

TEST(IsAdminOnlyTest, InheritOnlyAndDenyEntriesAreNotCounted) {
  EXPECT_TRUE(adminOnly(L"O:BAD:(A;OICIIO;FA;;;BU)", kFolderChangeRights));
  EXPECT_FALSE(adminOnly(L"O:BAD:(A;OICI;FA;;;BU)", kFolderChangeRights));
  EXPECT_TRUE(adminOnly(L"O:BAD:(D;;FA;;;BU)", kFolderChangeRights));
  // A deny entry doesn't make up for a grant, even when it comes first.
  EXPECT_FALSE(adminOnly(L"O:BAD:(D;;FA;;;BU)(A;;FA;;;BU)", kFolderChangeRights));
}

std::vector<BYTE> rawEntry(BYTE type, BYTE flags, ACCESS_MASK mask, const std::wstring& trustee,
                           const std::vector<BYTE>& beforeSid = {}) {
  UniqueLocalMemory sid = sidFrom(trustee);
  const std::size_t sidLength = sid ? ::GetLengthSid(sid.get()) : 0;
  const std::size_t sidOffset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + beforeSid.size();
  std::vector<BYTE> bytes((sidOffset + sidLength + 3) / 4 * 4, 0);
  if (!beforeSid.empty()) {
    std::memcpy(bytes.data() + sizeof(ACE_HEADER) + sizeof(ACCESS_MASK), beforeSid.data(),
                beforeSid.size());
  }
  if (sidLength > 0) std::memcpy(bytes.data() + sidOffset, sid.get(), sidLength);
  ACE_HEADER header{type, flags, static_cast<WORD>(bytes.size())};
  std::memcpy(bytes.data(), &header, sizeof(header));
  std::memcpy(bytes.data() + sizeof(header), &mask, sizeof(mask));
  return bytes;
}

std::vector<BYTE> objectPart(DWORD objectFlags) {
  std::vector<BYTE> bytes(sizeof(DWORD));
  std::memcpy(bytes.data(), &objectFlags, sizeof(objectFlags));
  if (objectFlags & ACE_OBJECT_TYPE_PRESENT) bytes.insert(bytes.end(), sizeof(GUID), 0x11);
  if (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT) bytes.insert(bytes.end(), sizeof(GUID), 0x22);
  return bytes;
}

TEST(IsAdminOnlyTest, ConditionalAndObjectGrantsCountLikePlainOnes) {
  struct Case {
    BYTE type;
    std::vector<BYTE> beforeSid;
  };
  const Case cases[] = {
      {ACCESS_ALLOWED_CALLBACK_ACE_TYPE, {}},
      {ACCESS_ALLOWED_OBJECT_ACE_TYPE, objectPart(0)},
      {ACCESS_ALLOWED_OBJECT_ACE_TYPE,
       objectPart(ACE_OBJECT_TYPE_PRESENT | ACE_INHERITED_OBJECT_TYPE_PRESENT)},
      {ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE, objectPart(ACE_INHERITED_OBJECT_TYPE_PRESENT)},
  };
  for (const Case& c : cases) {
    BuiltDescriptor toUsers(rawEntry(c.type, 0, FILE_DELETE_CHILD, L"BU", c.beforeSid));
    EXPECT_FALSE(isAdminOnly(toUsers.get(), kParentChangeRights)) << int(c.type);
    BuiltDescriptor toSystem(rawEntry(c.type, 0, FILE_ALL_ACCESS, L"SY", c.beforeSid));
    EXPECT_TRUE(isAdminOnly(toSystem.get(), kFolderChangeRights)) << int(c.type);
    BuiltDescriptor readOnly(rawEntry(c.type, 0, FILE_GENERIC_READ, L"BU", c.beforeSid));
    EXPECT_TRUE(isAdminOnly(readOnly.get(), kFolderChangeRights)) << int(c.type);
  }
  BuiltDescriptor denied(rawEntry(ACCESS_DENIED_CALLBACK_ACE_TYPE, 0, FILE_ALL_ACCESS, L"BU"));
  EXPECT_TRUE(isAdminOnly(denied.get(), kFolderChangeRights));
  BuiltDescriptor compound(rawEntry(ACCESS_ALLOWED_COMPOUND_ACE_TYPE, 0, WRITE_DAC, L"SY"));
  EXPECT_FALSE(isAdminOnly(compound.get(), kParentChangeRights));
}

TEST(IsAdminOnlyForContentsTest, InheritableGrantsToStrangersFail) {
  EXPECT_FALSE(contentsAdminOnly(L"O:BAD:(A;OICIIO;FA;;;BU)"));
  EXPECT_FALSE(contentsAdminOnly(L"O:BAD:(A;OIIO;FW;;;AU)"));
  EXPECT_FALSE(contentsAdminOnly(L"O:BAD:(A;CIIO;0x40;;;BU)"));
  EXPECT_FALSE(contentsAdminOnly(L"O:BAD:(A;OICIIO;GA;;;BU)"));
  EXPECT_TRUE(contentsAdminOnly(L"O:BAD:(A;OICIIO;GRGX;;;BU)(A;OICIIO;FA;;;CO)"));
  EXPECT_TRUE(contentsAdminOnly(L"O:BAD:(A;OICIIO;FA;;;SY)(A;OICIIO;GA;;;BA)"));
  // Entries for the folder alone are the other check's business.
  EXPECT_TRUE(contentsAdminOnly(L"O:BAD:(A;;FA;;;BU)"));
  EXPECT_FALSE(contentsAdminOnly(L"O:BUD:"));
  BuiltDescriptor nullDacl = BuiltDescriptor::withNullDacl();
  EXPECT_FALSE(isAdminOnlyForContents(nullDacl.get()));
}

bool folderPasses(const std::wstring& sddl, FolderRole role) {
  UniqueLocalMemory descriptor = descriptorFrom(sddl);
  return isAdminOnlyFolder(descriptor.get(), role);
}

TEST(IsAdminOnlyFolderTest, JudgesTheFolderAskedAboutMoreStrictlyThanTheFoldersAbove) {
  const std::wstring base = L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
  const std::wstring usersRead = base + L"(A;OICI;0x1200a9;;;BU)";
  EXPECT_TRUE(folderPasses(usersRead, FolderRole::askedAbout));
  EXPECT_TRUE(folderPasses(usersRead, FolderRole::above));

  const std::wstring usersModify = base + L"(A;OICI;0x1301bf;;;BU)";
  EXPECT_FALSE(folderPasses(usersModify, FolderRole::askedAbout));
  EXPECT_FALSE(folderPasses(usersModify, FolderRole::above));

  const std::wstring usersDeleteChild = base + L"(A;;0x40;;;BU)";
  EXPECT_FALSE(folderPasses(usersDeleteChild, FolderRole::above));

  const std::wstring usersAddFile = base + L"(A;;0x2;;;BU)";
  EXPECT_TRUE(folderPasses(usersAddFile, FolderRole::above));
  EXPECT_FALSE(folderPasses(usersAddFile, FolderRole::askedAbout));

  // As on a drive root: what users may do to things created inside counts
  // only for the folder that will hold the update.
  const std::wstring driveRoot = base + L"(A;OICIIO;0x1301bf;;;AU)(A;CI;0x4;;;AU)";
  EXPECT_TRUE(folderPasses(driveRoot, FolderRole::above));
  const std::wstring usersModifyChildren = base + L"(A;OICIIO;0x1301bf;;;AU)";
  EXPECT_FALSE(folderPasses(usersModifyChildren, FolderRole::askedAbout));

  EXPECT_FALSE(folderPasses(L"O:BUD:", FolderRole::above));
  EXPECT_TRUE(folderPasses(kRestrictedFolderSddl, FolderRole::askedAbout));
}

TEST(IsTrustedSidTest, KnowsAdministratorIdentitiesAndOwnerPlaceholders) {
  for (const std::wstring& text : {std::wstring(L"S-1-5-18"), std::wstring(L"S-1-5-32-544"),
                                   kTrustedInstaller}) {
    UniqueLocalMemory sid = sidFrom(text);
    EXPECT_TRUE(isTrustedSid(sid.get())) << toUtf8(text);
    EXPECT_FALSE(isOwnerSid(sid.get())) << toUtf8(text);
  }
  for (const std::wstring& text : {std::wstring(L"S-1-3-0"), std::wstring(L"S-1-3-4")}) {
    UniqueLocalMemory sid = sidFrom(text);
    EXPECT_TRUE(isOwnerSid(sid.get())) << toUtf8(text);
    EXPECT_FALSE(isTrustedSid(sid.get())) << toUtf8(text);
  }
  for (const std::wstring& text :
       {std::wstring(L"S-1-5-32-545"), std::wstring(L"S-1-1-0"), std::wstring(L"S-1-5-11"),
        std::wstring(L"S-1-5-19"), std::wstring(L"S-1-3-1"), kSomeUser,
        std::wstring(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465")}) {
    UniqueLocalMemory sid = sidFrom(text);
    EXPECT_FALSE(isTrustedSid(sid.get())) << toUtf8(text);
    EXPECT_FALSE(isOwnerSid(sid.get())) << toUtf8(text);
  }
  EXPECT_FALSE(isTrustedSid(nullptr));
  EXPECT_FALSE(isOwnerSid(nullptr));
}

TEST(RestrictFolderTest, DescriptorIsProtectedAdministratorOnlyAndPassesTheCheck) {
  EXPECT_STREQ(kRestrictedFolderSddl, L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  UniqueLocalMemory descriptor = descriptorFrom(kRestrictedFolderSddl);
  ASSERT_TRUE(descriptor);
  EXPECT_TRUE(isAdminOnly(descriptor.get(), kFolderChangeRights));
  EXPECT_TRUE(isAdminOnly(descriptor.get(), kParentChangeRights));
  EXPECT_TRUE(isAdminOnlyForContents(descriptor.get()));

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(::GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted));
  EXPECT_TRUE(::IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
}

TEST(RestrictFolderTest, SetsTheDescriptorOnAFolderAndReportsAMissingOne) {
  TempFolder temp;
  const FolderCheck restrict = restrictFolder;
  EXPECT_THAT(restrict(temp.path()), IsOkay());
  const std::filesystem::path missing = temp / "missing";
  const auto result = restrict(missing);
  EXPECT_THAT(result, FailsWithCode(ErrorCode::notFound));
  EXPECT_THAT(result, FailsWithMessageThat(StartsWith("can't restrict " + toUtf8(missing.native()) + ": ")));
}

std::string normal(const std::filesystem::path& path) {
  return toUtf8(std::filesystem::absolute(path).lexically_normal().native());
}

// Wine makes every folder the ordinary user's, so a real folder is refused
// here for its owner.
TEST(CheckElevatedFolderTest, RefusesAFolderAnOrdinaryUserOwnsNamingIt) {
  TempFolder temp;
  std::filesystem::create_directories(temp / "sub");
  const FolderCheck check = checkElevatedFolder;
  const std::string expected =
      normal(temp.path()) +
      " can be changed by users who aren't administrators, so an elevated update won't run there";
  EXPECT_THAT(check(temp.path()), FailsWith(ErrorCode::accessDenied, expected));
  EXPECT_THAT(check(temp.path() / ""), FailsWith(ErrorCode::accessDenied, expected));
  EXPECT_THAT(check(temp / "sub" / ".."), FailsWith(ErrorCode::accessDenied, expected));
}

TEST(CheckElevatedFolderTest, RefusesAFileOrAMissingPathAsNotAFolder) {
  TempFolder temp;
  writeTestFile(temp / "file.txt", "x");
  EXPECT_THAT(checkElevatedFolder(temp / "file.txt"),
              FailsWith(ErrorCode::accessDenied, normal(temp / "file.txt") + " is not a folder"));
  EXPECT_THAT(checkElevatedFolder(temp / "missing" / "deeper"),
              FailsWith(ErrorCode::accessDenied,
                        normal(temp / "missing" / "deeper") + " is not a folder"));
  EXPECT_THAT(checkElevatedFolder(std::filesystem::path()), FailsWithCode(ErrorCode::accessDenied));
}

}  // namespace
}  // namespace loftswitch
