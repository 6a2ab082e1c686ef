#include <windows.h>

#include <sddl.h>

#include <string>
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

// Each row lets through one kind of grant that a wrong mask or a missed
// owner, inheritance or deny rule would misjudge.
TEST(IsAdminOnlyTest, TrustsOnlyAdministratorOwnersAndAdministratorGrantsOfChangingRights) {
  const Verdict verdicts[] = {
      {L"O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)", true, true}, {L"O:BUD:(A;;FA;;;SY)", false, false},
      {L"O:" TRUSTED_INSTALLER L"D:(A;;FA;;;" TRUSTED_INSTALLER L")", true, true},
      {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465D:", false, false},
      {L"O:" SOME_USER L"D:", false, false},
      {L"D:(A;;FA;;;SY)", false, false}, {L"O:BA", false, false}, {L"O:BAD:", true, true},
      {L"O:BAD:(A;;0x80000;;;BU)", false, false}, {L"O:BAD:(A;;0x40000;;;BU)", false, false},
      {L"O:BAD:(A;;0x10000;;;BU)", false, false}, {L"O:BAD:(A;;0x40;;;BU)", false, false},
      {L"O:BAD:(A;;0x4;;;BU)", false, true}, {L"O:BAD:(A;;0x2;;;BU)", false, true},
      {L"O:BAD:(A;;0x110;;;BU)", true, true}, {L"O:BAD:(A;;GA;;;WD)", false, false},
      {L"O:BAD:(A;;GW;;;AU)", false, true}, {L"O:BAD:(A;;0xA0000000;;;BU)", true, true},
      {L"O:BAD:(A;;FA;;;CO)(A;;FA;;;OW)", true, true},
      {L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x40;;;" SOME_USER L")", false, false},
      {L"O:BAD:(A;OICIIO;FA;;;BU)", true, true}, {L"O:BAD:(A;OICI;FA;;;BU)", false, false},
      {L"O:BAD:(D;;FA;;;BU)", true, true}, {L"O:BAD:(D;;FA;;;BU)(A;;FA;;;BU)", false, false},
  };
  for (const Verdict& v : verdicts) {
    UniqueLocalMemory descriptor = fromSddl(v.sddl);
    EXPECT_EQ(isAdminOnly(descriptor.get(), kFolderChangeRights), v.folder) << toUtf8(v.sddl);
    EXPECT_EQ(isAdminOnly(descriptor.get(), kParentChangeRights), v.parent) << toUtf8(v.sddl);
  }
  const Verdict folders[] = {
      {ADMINS L"(A;OICI;0x1200a9;;;BU)", true, true}, {ADMINS L"(A;OICI;0x1301bf;;;BU)", false, false},
      {ADMINS L"(A;;0x2;;;BU)", false, true}, {ADMINS L"(A;OICIIO;0x1301bf;;;AU)", false, true},
      {ADMINS L"(A;CIIO;0x40;;;BU)", false, true},
      {ADMINS L"(A;OICIIO;GRGX;;;BU)(A;OICIIO;GA;;;CO)", true, true}, {L"O:BUD:", false, false},
  };
  for (const Verdict& v : folders) {
    UniqueLocalMemory descriptor = fromSddl(v.sddl);
    EXPECT_EQ(isAdminOnlyFolder(descriptor.get(), FolderRole::askedAbout), v.folder) << toUtf8(v.sddl);
    EXPECT_EQ(isAdminOnlyFolder(descriptor.get(), FolderRole::above), v.parent) << toUtf8(v.sddl);
  }
}

// A null DACL grants everyone everything; Wine's SDDL reader makes none.
TEST(IsAdminOnlyTest, RefusesANullDacl) {
  SECURITY_DESCRIPTOR descriptor{};
  UniqueLocalMemory owner = sidFrom(L"BA");
  ASSERT_TRUE(::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(::SetSecurityDescriptorOwner(&descriptor, owner.get(), FALSE));
  ASSERT_TRUE(::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
  EXPECT_FALSE(isAdminOnly(&descriptor, kParentChangeRights));
  EXPECT_FALSE(isAdminOnlyFolder(&descriptor, FolderRole::askedAbout));
}

std::string normal(const std::filesystem::path& path) {
  return toUtf8(std::filesystem::absolute(path).lexically_normal().native());
}

std::string openToUsers(const std::filesystem::path& path) {
  return normal(path) + " can be changed by users who aren't administrators, so an elevated update won't run there";
}

// Wine makes every folder the ordinary user's, so a real one is refused here;
// the tree check is given its verdicts.
TEST(CheckElevatedFolderTest, NamesTheFolderThatFailedInItsAbsoluteFormAtAnyDepth) {
  TempFolder temp;
  writeTestFile(temp / "a" / "b" / "open" / "file.txt", "x");
  writeTestFile(temp / "open.txt", "a file is never judged");
  for (const auto& folder : {temp.path(), temp.path() / "", temp / "a" / ".."}) {
    EXPECT_THAT(checkElevatedFolder(folder), FailsWith(ErrorCode::accessDenied, openToUsers(temp.path())));
  }
  for (const auto& notFolder : {temp / "open.txt", temp / "missing" / "deeper"}) {
    EXPECT_THAT(checkElevatedFolder(notFolder), FailsWith(ErrorCode::accessDenied, normal(notFolder) + " is not a folder"));
  }
  EXPECT_THAT(checkElevatedFolder(std::filesystem::path()), FailsWithCode(ErrorCode::accessDenied));
  std::vector<std::string> judged;
  const auto judge = [&](const std::filesystem::path& folder, PSECURITY_DESCRIPTOR descriptor) {
    judged.push_back(pathToUtf8(folder.filename()));
    return descriptor != nullptr && folder.filename() != "open";
  };
  EXPECT_THAT(checkFoldersInside(temp.path(), judge),
              FailsWith(ErrorCode::accessDenied, openToUsers(temp / "a" / "b" / "open")));
  EXPECT_THAT(judged, ::testing::ElementsAre("a", "b", "open"));
  EXPECT_THAT(checkFoldersInside(temp / "a" / "b" / "open", judge), IsOkay());
  // What the helper restricts its folders to passes the check, and inherits nothing.
  UniqueLocalMemory restricted = fromSddl(kRestrictedFolderSddl);
  EXPECT_TRUE(isAdminOnlyFolder(restricted.get(), FolderRole::askedAbout));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  EXPECT_TRUE(::GetSecurityDescriptorControl(restricted.get(), &control, &revision) && (control & SE_DACL_PROTECTED));
  EXPECT_THAT(restrictFolder(temp.path()), IsOkay());
  EXPECT_THAT(restrictFolder(temp / "missing"), FailsWithCode(ErrorCode::notFound));
}

// Request paths are opened with administrator rights: only local files.
TEST(CheckLocalPathTest, AcceptsOnlyDriveLetterPathsOnALocalDisk) {
  TempFolder temp;
  EXPECT_THAT(checkLocalPath(temp / "package.zip"), IsOkay());
  EXPECT_THAT(checkLocalPath(L"c:/users/x/package.zip"), IsOkay());
  for (const wchar_t* refused :
       {L"\\\\server\\share\\package.zip", L"//server/share/package.zip", L"\\\\.\\pipe\\package", L"\\\\?\\C:\\package.zip",
        L"\\\\?\\UNC\\server\\share", L"C:package.zip", L"package.zip", L"\\package.zip", L"\\\\.\\C:\\package.zip"}) {
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
