#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/text.h"
#include "base/unique_handle_win32.h"
#include "base/win32.h"
#include "elevated/folder_check.h"
#include "elevated/folder_check_win32.h"
#include "fs/local_file_system.h"
#include "fs/tree_win32.h"
#include "host/system_host.h"
#include "elevated/user_files.h"
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
  bool file = false;  // with kFileChangeRights
};

// Each row lets through one kind of grant that a wrong mask or a missed
// owner, inheritance or deny rule would misjudge.
TEST(IsAdminOnlyTest, TrustsOnlyAdministratorOwnersAndAdministratorGrantsOfChangingRights) {
  const Verdict verdicts[] = {
      // The last rows: a file that users may write, by an explicit rule or one it
      // brought from a user's folder, and one they may only read and run.
      {L"O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)", true, true, true}, {L"O:BUD:(A;;FA;;;SY)", false, false, false},
      {L"O:" TRUSTED_INSTALLER L"D:(A;;FA;;;" TRUSTED_INSTALLER L")", true, true, true},
      {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465D:", false, false, false},
      {L"O:" SOME_USER L"D:", false, false, false}, {L"D:(A;;FA;;;SY)", false, false, false},
      {L"O:BA", false, false, false}, {L"O:BAD:", true, true, true}, {L"O:BAD:(A;;0x80000;;;BU)", false, false, false},
      {L"O:BAD:(A;;0x40000;;;BU)", false, false, false}, {L"O:BAD:(A;;0x10000;;;BU)", false, false, false},
      {L"O:BAD:(A;;0x40;;;BU)", false, false, true}, {L"O:BAD:(A;;0x4;;;BU)", false, true, false},
      {L"O:BAD:(A;;0x2;;;BU)", false, true, false}, {L"O:BAD:(A;;0x110;;;BU)", true, true, true},
      {L"O:BAD:(A;;GA;;;WD)", false, false, false}, {L"O:BAD:(A;;GW;;;AU)", false, true, false},
      {L"O:BAD:(A;;0xA0000000;;;BU)", true, true, true}, {L"O:BAD:(A;;FA;;;CO)(A;;FA;;;OW)", true, true, true},
      {L"O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x40;;;" SOME_USER L")", false, false, true},
      {L"O:BAD:(A;OICIIO;FA;;;BU)", true, true, true}, {L"O:BAD:(A;OICI;FA;;;BU)", false, false, false},
      {L"O:BAD:(D;;FA;;;BU)", true, true, true}, {L"O:BAD:(D;;FA;;;BU)(A;;FA;;;BU)", false, false, false},
      {L"O:BAD:(A;;FA;;;BA)(A;;FW;;;BU)", false, true, false}, {L"O:BAD:(A;;FA;;;BA)(A;ID;FW;;;BU)", false, true, false},
      {L"O:BAD:(A;;FA;;;BA)(A;;FRFX;;;BU)", true, true, true},
  };
  for (const Verdict& v : verdicts) {
    UniqueLocalMemory descriptor = fromSddl(v.sddl);
    EXPECT_EQ(isAdminOnly(descriptor.get(), kFolderChangeRights), v.folder) << toUtf8(v.sddl);
    EXPECT_EQ(isAdminOnly(descriptor.get(), kParentChangeRights), v.parent) << toUtf8(v.sddl);
    EXPECT_EQ(isAdminOnly(descriptor.get(), kFileChangeRights), v.file) << toUtf8(v.sddl);
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
TEST(CheckElevatedFolderTest, NamesTheFolderThatFailedAndJudgesFilesAndOpensTheUsersFilesAsTheUser) {
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
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  EXPECT_TRUE(isAdminOnlyFolder(restricted.get(), FolderRole::askedAbout) &&
              ::GetSecurityDescriptorControl(restricted.get(), &control, &revision) && (control & SE_DACL_PROTECTED));
  EXPECT_TRUE(createRestrictedFolder(temp / "new") && std::filesystem::is_directory(temp / "new"));
  EXPECT_THAT(createRestrictedFolder(temp / "new"), FailsWithCode(ErrorCode::io));  // never one that exists
  EXPECT_THAT(inheritFolderPermissions(temp / "new"), IsOkay());
  EXPECT_THAT(inheritFolderPermissions(temp / "missing"), FailsWithCode(ErrorCode::notFound));
  // A file is judged by its own descriptor: Wine's belongs to the ordinary user.
  EXPECT_THAT(checkElevatedFile(temp / "open.txt"), FailsWith(ErrorCode::accessDenied, normal(temp / "open.txt") +
              " can be changed by users who aren't administrators, so an elevated update won't trust it"));
  for (const auto& notFile : {temp / "a", temp / "missing"}) EXPECT_THAT(checkElevatedFile(notFile), FailsWith(ErrorCode::accessDenied, "can't read the permissions of " + normal(notFile)));
  // The user's files are opened as the user of a running process, and only
  // files on a disk of this machine pass, by what the handle shows.
  const UserFileOpener opener = userFileOpener(ownIdentity(), temp.path()).value();
  auto opened = opener(temp / "open.txt");
  EXPECT_EQ(opened ? readRest(*opened, 22).value_or("") : "", "a file is never judged");
  EXPECT_THAT(opener(temp.path()), FailsWithCode(ErrorCode::accessDenied));
  EXPECT_THAT(opener(L"\\\\.\\nul"), FailsWith(ErrorCode::invalidData, "can't open \\\\.\\nul: not a file on a disk"));
  EXPECT_THAT(userFileOpener(std::nullopt, temp.path()), FailsWithCode(ErrorCode::accessDenied));
  const ProcessIdentity gone{ownIdentity().pid, ownIdentity().started + 1};
  EXPECT_THAT(userFileOpener(gone, temp.path()),
              FailsWith(ErrorCode::accessDenied, "can't act for the user who asked: neither the app (process " +
                                                     std::to_string(gone.pid) + ") nor its waiter runs any more"));
}

// The folder CTest fills before these tests run: "real\sub" and "link", a
// Unix symbolic link to "real" that Wine shows as a reparse point.
std::filesystem::path linkFixture() {
  const char* unixPath = std::getenv("LOFTSWITCH_FOLDER_LINKS");
  if (unixPath == nullptr || *unixPath == '\0') return {};
  std::string windowsPath = std::string("Z:") + unixPath;
  std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
  return utf8ToPath(windowsPath);
}

std::string linkRefusal(const std::filesystem::path& path) {
  return pathToUtf8(path) + " is a junction or link, which an elevated update won't follow";
}

class FolderCheckLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture_ = linkFixture();
    if (fixture_.empty()) GTEST_SKIP() << "needs the links CTest makes first";
  }
  std::filesystem::path fixture_;
};

// The folder check, the tree check and the restriction all refuse the link,
// named as such, and what lies below it; nor does the file system take it for
// a folder, which a removal would walk into.
TEST_F(FolderCheckLinkTest, EveryCheckRefusesALinkAndWhatLiesBelowItNamingTheLink) {
  const std::filesystem::path link = fixture_ / "link";
  LocalFileSystem fs;
  EXPECT_THAT(fs.probe(link), ::testing::Optional(EntryKind::link));
  EXPECT_FALSE(fs.isFolder(link));
  for (const auto& path : {link, link / "", link / "sub", fixture_ / "real" / ".." / "link" / "sub"}) {
    EXPECT_THAT(checkElevatedFolder(path), FailsWith(ErrorCode::accessDenied, linkRefusal(link))) << path;
  }
  EXPECT_THAT(checkFoldersInside(fixture_, [](auto&&...) { return true; }),
              FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
  EXPECT_THAT(checkFoldersInside(fixture_ / "real", [](auto&&...) { return true; }), IsOkay());
  EXPECT_THAT(inheritFolderPermissions(link), FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
  EXPECT_THAT(checkElevatedFile(link), FailsWith(ErrorCode::accessDenied, linkRefusal(link)));
  EXPECT_THAT(inheritFolderPermissions(fixture_ / "real"), IsOkay());
}

// Wine's own calls follow a Unix link (a MoveFile of one moves its target),
// so a Unix program moves it, by the Unix name Wine gives the path.
std::wstring unixName(const std::filesystem::path& path) {
  using Convert = char* (*)(const wchar_t*);
  const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
  char* name = convert != nullptr ? convert(path.c_str()) : nullptr;
  if (name == nullptr) return {};
  const std::wstring text = toWide(name);
  ::HeapFree(::GetProcessHeap(), 0, name);
  return text;
}

bool isLinkNow(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(longPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The attack on a delete by full paths: after "tree\\inner" is listed and
// before its children go, the folder is moved away and a link to "victim",
// outside the tree, takes its name. The delete must never reach the victim;
// the link, never listed, keeps the tree from going and the delete says so.
// A link to one of the victim's files lies in the tree from the start.
TEST_F(FolderCheckLinkTest, ADeleteNeverFollowsAFolderSwappedForALinkAfterItsListing) {
  const std::filesystem::path swap = utf8ToPath(pathToUtf8(fixture_) + "-swap");
  const std::filesystem::path inner = swap / "tree" / "inner";
  const std::wstring link = unixName(swap / "spare-link"), tree = unixName(swap / "tree");
  ASSERT_FALSE(link.empty() || tree.empty()) << "no Unix names: not Wine?";
  int listings = 0;
  bool swapped = false;
  const DWORD first = removeTree(longPath(swap / "tree"), [&](const std::wstring& folder) {
    if (!folder.ends_with(L"\\inner") || listings++ > 0) return;
    if (!::MoveFileExW(longPath(inner).c_str(), longPath(swap / "moved").c_str(), 0)) return;
    std::wstring line = L"mv -T \"" + link + L"\" \"" + tree + L"/inner\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(L"Z:\\bin\\mv", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) return;
    ::WaitForSingleObject(process.hProcess, 10000);
    ::CloseHandle(process.hThread), ::CloseHandle(process.hProcess);
    for (int i = 0; i < 100 && !swapped; ++i, ::Sleep(50)) swapped = isLinkNow(inner);
  });
  ASSERT_EQ(listings, 1) << "the delete never listed tree\\inner";
  ASSERT_TRUE(swapped) << "the link did not take the folder's place";
  EXPECT_EQ(readTestFile(swap / "victim" / "v.txt"), "victim");
  EXPECT_EQ(readTestFile(swap / "victim" / "sub" / "w.txt"), "victim");
  EXPECT_NE(first, 0u) << "a delete that left the link reported success";
  // Windows then deletes the link as a link; Wine opens through a Unix link
  // and cannot, so there the link is refused: either way no success while
  // it stays, and the victim is never reached.
  const DWORD second = removeTree(longPath(swap / "tree"));
  EXPECT_EQ(second == 0, ::GetFileAttributesW(longPath(swap / "tree").c_str()) == INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(second == 0 || second == ERROR_NOT_SUPPORTED) << second;
  EXPECT_EQ(readTestFile(swap / "victim" / "v.txt"), "victim");
}

}  // namespace
}  // namespace loftswitch
