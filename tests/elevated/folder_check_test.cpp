#include <windows.h>

#include <sddl.h>

#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/file.h"
#include "base/text.h"
#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "elevated/folder_check.h"
#include "elevated/folder_check_win32.h"
#include "support/matchers.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

#define TRUSTED_INSTALLER L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
#define SOME_USER L"S-1-5-21-1004336348-1177238915-682003330-1001"
#define ADMINS L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"

UniqueLocalMemory fromSddl(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
    ADD_FAILURE() << "bad test descriptor " << toUtf8(sddl);
  }
  return UniqueLocalMemory(descriptor);
}

UniqueLocalMemory sidFrom(const wchar_t* text) {
  PSID sid = nullptr;
  if (!::ConvertStringSidToSidW(text, &sid)) ADD_FAILURE() << "bad test SID " << toUtf8(text);
  return UniqueLocalMemory(sid);
}

struct Verdict {
  const wchar_t* sddl;
  bool folder;  // with kFolderChangeRights, or as the folder asked about
  bool parent;  // with kParentChangeRights, or as a folder above it
};

TEST(IsAdminOnlyTest, TrustsOnlyAdministratorOwnersAndAdministratorGrantsOfChangingRights) {
  const Verdict verdicts[] = {
      {L"O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)", true, true},
      {L"O:" TRUSTED_INSTALLER L"D:(A;;FA;;;" TRUSTED_INSTALLER L")", true, true},
      {L"O:BUD:(A;;FA;;;SY)", false, false},
      {L"O:" SOME_USER L"D:", false, false},
      {L"D:(A;;FA;;;SY)", false, false},
      {L"O:BA", false, false},
      {L"O:BAD:", true, true},
      {L"O:BAD:(A;;0x80000;;;BU)", false, false},
      {L"O:BAD:(A;;0x40000;;;BU)", false, false},
      {L"O:BAD:(A;;0x10000;;;BU)", false, false},
      {L"O:BAD:(A;;0x40;;;BU)", false, false},
      {L"O:BAD:(A;;0x4;;;BU)", false, true},
      {L"O:BAD:(A;;0x2;;;BU)", false, true},
      {L"O:BAD:(A;;0x110;;;BU)", true, true},
      {L"O:BAD:(A;;GA;;;WD)", false, false},
      {L"O:BAD:(A;;GW;;;AU)", false, true},
      {L"O:BAD:(A;;0xA0000000;;;BU)", true, true},
      {L"O:BAD:(A;;FA;;;CO)(A;;FA;;;OW)", true, true},
      {L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x40;;;" SOME_USER L")", false, false},
      {L"O:BAD:(A;OICIIO;FA;;;BU)", true, true},
      {L"O:BAD:(A;OICI;FA;;;BU)", false, false},
      {L"O:BAD:(D;;FA;;;BU)", true, true},
      {L"O:BAD:(D;;FA;;;BU)(A;;FA;;;BU)", false, false},
  };
  for (const Verdict& v : verdicts) {
    UniqueLocalMemory descriptor = fromSddl(v.sddl);
    EXPECT_EQ(isAdminOnly(descriptor.get(), kFolderChangeRights), v.folder) << toUtf8(v.sddl);
    EXPECT_EQ(isAdminOnly(descriptor.get(), kParentChangeRights), v.parent) << toUtf8(v.sddl);
  }
}

TEST(IsAdminOnlyTest, JudgesTheFolderAskedAboutAlsoOnWhatItsContentsInherit) {
  const Verdict verdicts[] = {
      {ADMINS L"(A;OICI;0x1200a9;;;BU)", true, true},
      {ADMINS L"(A;OICI;0x1301bf;;;BU)", false, false},
      {ADMINS L"(A;;0x2;;;BU)", false, true},
      {ADMINS L"(A;OICIIO;0x1301bf;;;AU)", false, true},
      {ADMINS L"(A;CIIO;0x40;;;BU)", false, true},
      {ADMINS L"(A;OICIIO;GRGX;;;BU)(A;OICIIO;GA;;;CO)", true, true},
      {L"O:BUD:", false, false},
  };
  for (const Verdict& v : verdicts) {
    UniqueLocalMemory descriptor = fromSddl(v.sddl);
    EXPECT_EQ(isAdminOnlyFolder(descriptor.get(), FolderRole::askedAbout), v.folder)
        << toUtf8(v.sddl);
    EXPECT_EQ(isAdminOnlyFolder(descriptor.get(), FolderRole::above), v.parent) << toUtf8(v.sddl);
  }
}

// Owned by Administrators, with a null DACL or a DACL of one entry laid out
// by hand: Wine's SDDL reader makes no null DACL and no conditional entries.
struct RawDescriptor {
  RawDescriptor(BYTE type, ACCESS_MASK mask, const wchar_t* trustee, DWORD objectFlags)
      : RawDescriptor() {
    UniqueLocalMemory sid = sidFrom(trustee);
    const bool object = type == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                        type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
    std::vector<BYTE> entry(8 + (object ? 4 + 32 : 0) + ::GetLengthSid(sid.get()), 0);
    const ACE_HEADER header{type, 0, static_cast<WORD>(entry.size())};
    std::memcpy(entry.data(), &header, 4);
    std::memcpy(entry.data() + 4, &mask, 4);
    std::size_t at = 8;
    if (object) {
      std::memcpy(entry.data() + 8, &objectFlags, 4);
      at = 12 + (objectFlags & ACE_OBJECT_TYPE_PRESENT ? 16 : 0) +
           (objectFlags & ACE_INHERITED_OBJECT_TYPE_PRESENT ? 16 : 0);
    }
    std::memcpy(entry.data() + at, sid.get(), ::GetLengthSid(sid.get()));
    auto* acl = reinterpret_cast<PACL>(aclBytes.data());
    EXPECT_TRUE(::InitializeAcl(acl, static_cast<DWORD>(aclBytes.size()), ACL_REVISION_DS));
    EXPECT_TRUE(::AddAce(acl, ACL_REVISION_DS, MAXDWORD, entry.data(),
                         static_cast<DWORD>(entry.size())));
    EXPECT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
  }
  RawDescriptor() : aclBytes(256), owner(sidFrom(L"BA")) {
    EXPECT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(::SetSecurityDescriptorOwner(&descriptor, owner.get(), FALSE));
    EXPECT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
  }
  std::vector<BYTE> aclBytes;
  UniqueLocalMemory owner;
  SECURITY_DESCRIPTOR descriptor{};
};

TEST(IsAdminOnlyTest, CountsEveryKindOfGrantAndRefusesANullDacl) {
  RawDescriptor nullDacl;
  EXPECT_FALSE(isAdminOnly(&nullDacl.descriptor, kParentChangeRights));
  EXPECT_FALSE(isAdminOnlyFolder(&nullDacl.descriptor, FolderRole::askedAbout));
  const std::pair<BYTE, DWORD> kinds[] = {
      {ACCESS_ALLOWED_CALLBACK_ACE_TYPE, 0},
      {ACCESS_ALLOWED_OBJECT_ACE_TYPE, 0},
      {ACCESS_ALLOWED_OBJECT_ACE_TYPE, ACE_OBJECT_TYPE_PRESENT | ACE_INHERITED_OBJECT_TYPE_PRESENT},
      {ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE, ACE_INHERITED_OBJECT_TYPE_PRESENT},
  };
  for (const auto& [type, flags] : kinds) {
    RawDescriptor toUsers(type, FILE_DELETE_CHILD, L"BU", flags);
    EXPECT_FALSE(isAdminOnly(&toUsers.descriptor, kParentChangeRights)) << int(type);
    RawDescriptor toSystem(type, FILE_ALL_ACCESS, L"SY", flags);
    EXPECT_TRUE(isAdminOnly(&toSystem.descriptor, kFolderChangeRights)) << int(type);
  }
  RawDescriptor denied(ACCESS_DENIED_CALLBACK_ACE_TYPE, FILE_ALL_ACCESS, L"BU", 0);
  EXPECT_TRUE(isAdminOnly(&denied.descriptor, kFolderChangeRights));
  RawDescriptor compound(ACCESS_ALLOWED_COMPOUND_ACE_TYPE, WRITE_DAC, L"SY", 0);
  EXPECT_FALSE(isAdminOnly(&compound.descriptor, kParentChangeRights));
}

TEST(IsTrustedSidTest, KnowsAdministratorIdentitiesAndOwnerPlaceholders) {
  const std::tuple<const wchar_t*, bool, bool> sids[] = {
      {L"S-1-5-18", true, false},      {L"S-1-5-32-544", true, false},
      {TRUSTED_INSTALLER, true, false}, {L"S-1-3-0", false, true},
      {L"S-1-3-4", false, true},       {L"S-1-5-32-545", false, false},
      {L"S-1-1-0", false, false},      {L"S-1-5-19", false, false},
      {L"S-1-3-1", false, false},      {SOME_USER, false, false},
      {L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465", false, false},
  };
  for (const auto& [text, trusted, owner] : sids) {
    UniqueLocalMemory sid = sidFrom(text);
    EXPECT_EQ(isTrustedSid(sid.get()), trusted) << toUtf8(text);
    EXPECT_EQ(isOwnerSid(sid.get()), owner) << toUtf8(text);
  }
}

TEST(RestrictFolderTest, GivesAProtectedDescriptorThatPassesTheCheck) {
  UniqueLocalMemory descriptor = fromSddl(kRestrictedFolderSddl);
  EXPECT_TRUE(isAdminOnlyFolder(descriptor.get(), FolderRole::askedAbout));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(descriptor.get(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);

  TempFolder temp;
  const FolderCheck restrict = restrictFolder;
  EXPECT_THAT(restrict(temp.path()), IsOkay());
  const auto missing = restrict(temp / "missing");
  EXPECT_THAT(missing, FailsWithCode(ErrorCode::notFound));
  EXPECT_THAT(missing, FailsWithMessageThat(::testing::StartsWith(
                           "can't restrict " + toUtf8((temp / "missing").native()) + ": ")));
}

std::string normal(const std::filesystem::path& path) {
  return toUtf8(std::filesystem::absolute(path).lexically_normal().native());
}

// Wine makes every folder the ordinary user's, so a real one is refused here.
TEST(CheckElevatedFolderTest, NamesTheFolderThatFailedInItsAbsoluteForm) {
  TempFolder temp;
  writeTestFile(temp / "sub" / "file.txt", "x");
  const FolderCheck check = checkElevatedFolder;
  const std::string refused = normal(temp.path()) +
      " can be changed by users who aren't administrators, so an elevated update won't run there";
  EXPECT_THAT(check(temp.path()), FailsWith(ErrorCode::accessDenied, refused));
  EXPECT_THAT(check(temp.path() / ""), FailsWith(ErrorCode::accessDenied, refused));
  EXPECT_THAT(check(temp / "sub" / ".."), FailsWith(ErrorCode::accessDenied, refused));
  for (const auto& notFolder : {temp / "sub" / "file.txt", temp / "missing" / "deeper"}) {
    EXPECT_THAT(check(notFolder),
                FailsWith(ErrorCode::accessDenied, normal(notFolder) + " is not a folder"));
  }
  EXPECT_THAT(check(std::filesystem::path()), FailsWithCode(ErrorCode::accessDenied));
}

TEST(CheckFoldersInsideTest, NamesTheFirstFolderInsideThatIsTurnedDownAtAnyDepth) {
  TempFolder temp;
  writeTestFile(temp / "a" / "b" / "open" / "file.txt", "x");
  writeTestFile(temp / "open.txt", "a file is never judged");
  std::vector<std::string> judged;
  const auto judge = [&](const std::filesystem::path& folder, PSECURITY_DESCRIPTOR descriptor) {
    judged.push_back(pathToUtf8(folder.filename()));
    return descriptor != nullptr && folder.filename() != "open";
  };
  EXPECT_THAT(checkFoldersInside(temp.path(), judge),
              FailsWith(ErrorCode::accessDenied,
                        normal(temp / "a" / "b" / "open") +
                            " can be changed by users who aren't administrators, so an "
                            "elevated update won't run there"));
  EXPECT_THAT(judged, ::testing::ElementsAre("a", "b", "open"));
  EXPECT_THAT(checkFoldersInside(temp / "a" / "b" / "open", judge), IsOkay());
}

// Request paths are opened with administrator rights: only local files.
TEST(CheckLocalPathTest, AcceptsOnlyDriveLetterPathsOnALocalDisk) {
  TempFolder temp;
  EXPECT_THAT(checkLocalPath(temp / "package.zip"), IsOkay());
  EXPECT_THAT(checkLocalPath(L"c:/users/x/package.zip"), IsOkay());
  for (const wchar_t* refused :
       {L"\\\\server\\share\\package.zip", L"//server/share/package.zip",
        L"\\\\.\\pipe\\package", L"\\\\?\\C:\\package.zip", L"\\\\?\\UNC\\server\\share",
        L"C:package.zip", L"package.zip", L"\\package.zip", L"\\\\.\\C:\\package.zip"}) {
    EXPECT_THAT(checkLocalPath(refused),
                FailsWith(ErrorCode::invalidData,
                          toUtf8(refused) + " is not a path on a local disk"));
  }
  // What Windows still turns into a device is refused when it is opened.
  EXPECT_EQ(longPath(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
  EXPECT_EQ(plainPath(L"//./nul"), L"\\\\.\\nul");
  EXPECT_THAT(openFile(L"\\\\.\\nul", OpenMode::read),
              FailsWith(ErrorCode::invalidData, "can't open \\\\.\\nul: not a file on a disk"));
}

}  // namespace
}  // namespace loftswitch
