// One set of behavioural cases for every FileSystem: the real one in a
// temporary folder and the in-memory double that other tests rely on, so the
// double cannot drift from the real thing.
#include <functional>
#include <memory>
#include <string>

#include "base/text.h"
#ifdef _WIN32
#include "fs/local_file_system.h"
#include "support/held_file.h"
#endif
#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "support/temp_folder.h"

namespace loftswitch {
namespace {

using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::Optional;
using ::testing::StartsWith;

struct Subject {
  std::unique_ptr<FileSystem> fs;
  std::filesystem::path root;
  std::unique_ptr<TempFolder> temp;
  // Keeps a file open elsewhere, shared for reading only, until the result
  // is destroyed; null when that could not be arranged.
  std::function<std::shared_ptr<void>(const std::filesystem::path&)> hold;
};

struct Variant {
  std::string name;
  std::function<Subject()> make;
};

#ifdef _WIN32
Subject localSubject() {
  Subject subject;
  subject.temp = std::make_unique<TempFolder>();
  subject.root = subject.temp->path();
  subject.fs = std::make_unique<LocalFileSystem>();
  subject.hold = [](const std::filesystem::path& path) -> std::shared_ptr<void> {
    auto held = std::make_shared<HeldFile>(path);
    return held->held() ? held : nullptr;
  };
  return subject;
}

#endif

Subject memorySubject() {
  auto memory = std::make_unique<MemoryFileSystem>();
  memory->addFolder(utf8ToPath("C:/contract"));
  Subject subject;
  subject.root = utf8ToPath("C:/contract");
  subject.hold = [fs = memory.get()](const std::filesystem::path& path) -> std::shared_ptr<void> {
    fs->hold(path);
    return std::shared_ptr<void>(fs, [path](MemoryFileSystem* held) { held->release(path); });
  };
  subject.fs = std::move(memory);
  return subject;
}

class FileSystemContractTest : public ::testing::TestWithParam<Variant> {
 protected:
  void SetUp() override { subject_ = GetParam().make(); }

  FileSystem& fs() { return *subject_.fs; }
  std::filesystem::path at(std::string_view relative) const {
    return subject_.root / utf8ToPath(relative);
  }
  std::string text(std::string_view relative) const { return pathToUtf8(at(relative)); }
  void write(std::string_view relative, std::string_view bytes) {
    ASSERT_THAT(fs().writeFile(at(relative), bytes), IsOkay());
  }
  std::string read(std::string_view relative) {
    auto bytes = fs().readFile(at(relative), 1 << 20);
    return bytes ? *bytes : "<" + bytes.error().message + ">";
  }
  // Fails with `code` and a message that starts with "<verb> <path>: ".
  auto failsAs(ErrorCode code, const std::string& verb, std::string_view relative) {
    return AllOf(FailsWithCode(code),
                 FailsWithMessageThat(StartsWith(verb + " " + text(relative) + ": ")));
  }

  Subject subject_;
};

TEST_P(FileSystemContractTest, TellsFilesFromFoldersAndComparesNamesWithoutCase) {
  write("Folder/File.txt", "x");
  ASSERT_THAT(fs().createFolders(at("empty/")), IsOkay());
  EXPECT_TRUE(fs().isFolder(at("folder")));
  EXPECT_TRUE(fs().isFolder(at("EMPTY/")));
  EXPECT_TRUE(fs().exists(at("FOLDER/file.TXT")));
  EXPECT_FALSE(fs().isFolder(at("folder/file.txt")));
  EXPECT_FALSE(fs().exists(at("folder/file.txt/below")));
  EXPECT_EQ(read("folder/FILE.txt"), "x");
  EXPECT_THAT(fs().list(at("FOLDER/")), Optional(ElementsAre("File.txt")));
  // A move onto the same name spelled otherwise is no clash: Windows takes
  // the new spelling, Wine keeps the old one.
  EXPECT_THAT(fs().move(at("Folder/File.txt"), at("FOLDER/FILE.TXT")), IsOkay());
  EXPECT_THAT(fs().list(at("Folder")), Optional(ElementsAre(AnyOf("FILE.TXT", "File.txt"))));
  EXPECT_EQ(read("folder/file.txt"), "x");
}

TEST_P(FileSystemContractTest, ListsNamesSortedByUtf8BytesAndRefusesAFileOrAMissingPath) {
  // U+FF21 sorts before U+1F600 by UTF-8 bytes but after it by UTF-16 units.
  for (const char* name :
       {"c", "a", "B", "\xC3\xA4", "\xF0\x9F\x98\x80", "\xEF\xBC\xA1", ".hidden"}) {
    write(name, "");
  }
  ASSERT_THAT(fs().createFolders(at("A folder")), IsOkay());
  EXPECT_THAT(fs().list(at("")),
              Optional(ElementsAre(".hidden", "A folder", "B", "a", "c", "\xC3\xA4", "\xEF\xBC\xA1",
                                   "\xF0\x9F\x98\x80")));
  EXPECT_THAT(fs().list(at("c")),
              FailsWithMessageThat(StartsWith("can't list " + text("c") + ": ")));
  EXPECT_THAT(fs().list(at("missing")), failsAs(ErrorCode::notFound, "can't list", "missing"));
}

TEST_P(FileSystemContractTest, MoveCarriesTreesCreatesFoldersAndNeverReplaces) {
  write("old/inner/file", "content");
  ASSERT_THAT(fs().move(at("old"), at("new/deeper/moved")), IsOkay());
  EXPECT_FALSE(fs().exists(at("old")));
  EXPECT_EQ(read("new/deeper/moved/inner/file"), "content");

  write("from", "mine");
  write("to", "theirs");
  EXPECT_THAT(fs().move(at("from"), at("to")),
              failsAs(ErrorCode::io, "can't move " + text("from") + " to", "to"));
  EXPECT_EQ(read("from"), "mine");
  EXPECT_EQ(read("to"), "theirs");
  EXPECT_THAT(fs().move(at("from"), at("new")), FailsWithCode(ErrorCode::io));
  EXPECT_THAT(fs().move(at("missing"), at("to2")), FailsWithCode(ErrorCode::notFound));
}

TEST_P(FileSystemContractTest, CreateFoldersMakesEveryLevelAndStopsAtAFileInTheWay) {
  ASSERT_THAT(fs().createFolders(at("a/b/c")), IsOkay());
  EXPECT_TRUE(fs().isFolder(at("a/b/c")));
  EXPECT_THAT(fs().createFolders(at("a/b")), IsOkay());

  write("file", "x");
  write("source", "y");
  const std::string inTheWay = "can't create folder " + text("file") + ": a file is in the way";
  EXPECT_THAT(fs().createFolders(at("file")), FailsWith(ErrorCode::io, inTheWay));
  EXPECT_THAT(fs().move(at("source"), at("file/moved")), FailsWith(ErrorCode::io, inTheWay));
  EXPECT_THAT(fs().writeFile(at("file/written"), "z"), FailsWith(ErrorCode::io, inTheWay));
  EXPECT_THAT(fs().copy(at("source"), at("file/copied")), FailsWith(ErrorCode::io, inTheWay));
  EXPECT_EQ(read("file"), "x");
  EXPECT_EQ(read("source"), "y");
}

TEST_P(FileSystemContractTest, RemoveDeletesAFileAWholeTreeAndAcceptsAMissingPath) {
  write("Tree/a", "1");
  write("tree/sub/b", "2");
  ASSERT_THAT(fs().createFolders(at("tree/sub/empty")), IsOkay());
  write("keep", "3");
  EXPECT_THAT(fs().remove(at("TREE")), IsOkay());
  EXPECT_FALSE(fs().exists(at("tree")));
  EXPECT_THAT(fs().remove(at("keep")), IsOkay());
  EXPECT_FALSE(fs().exists(at("keep")));
  EXPECT_THAT(fs().remove(at("missing/deeper")), IsOkay());
  write("file", "x");
  EXPECT_THAT(fs().remove(at("file/below")), IsOkay());
  EXPECT_EQ(read("file"), "x");
}

TEST_P(FileSystemContractTest, WriteReplacesTheWholeContentAndReadHonoursTheLimitToTheByte) {
  write("new/folder/file", "a longer first content");
  write("new/folder/file", "12345");
  EXPECT_THAT(fs().list(at("new/folder")), Optional(ElementsAre("file")));
  EXPECT_THAT(fs().readFile(at("new/folder/file"), 5), Optional(std::string("12345")));
  EXPECT_THAT(fs().readFile(at("new/folder/file"), 4),
              FailsWith(ErrorCode::tooLarge, text("new/folder/file") + " is larger than 4 bytes"));
  // Or piece by piece, knowing its size.
  auto reader = fs().openRead(at("new/folder/file"));
  std::string pieces(8, '\0');
  ASSERT_EQ((*reader)->size().value(), 5u);
  EXPECT_EQ((*reader)->read(std::span(pieces).first(3)).value(), 3u);
  EXPECT_EQ((*reader)->read(std::span(pieces).subspan(3)).value(), 2u);
  EXPECT_EQ((*reader)->read(pieces).value(), 0u);
  EXPECT_EQ(pieces.substr(0, 5), "12345");
  reader->reset();
  EXPECT_THAT(fs().openRead(at("missing")), failsAs(ErrorCode::notFound, "can't open", "missing"));
  write("new/folder/file", "");
  EXPECT_THAT(fs().readFile(at("new/folder/file"), 0), Optional(std::string()));
  EXPECT_THAT(fs().readFile(at("missing"), 10),
              failsAs(ErrorCode::notFound, "can't open", "missing"));
}

TEST_P(FileSystemContractTest, AppendCopyAndCheckWritableCreateOnlyWhatTheyShould) {
  ASSERT_THAT(fs().append(at("progress"), "+"), IsOkay());
  ASSERT_THAT(fs().append(at("progress"), "++"), IsOkay());
  EXPECT_EQ(read("progress"), "+++");
  EXPECT_THAT(fs().append(at("missing/progress"), "+"), FailsWithCode(ErrorCode::notFound));
  EXPECT_FALSE(fs().exists(at("missing")));

  write("existing", "old content");
  ASSERT_THAT(fs().copy(at("progress"), at("a/b/copy")), IsOkay());
  ASSERT_THAT(fs().copy(at("progress"), at("existing")), IsOkay());
  EXPECT_EQ(read("a/b/copy"), "+++");
  EXPECT_EQ(read("existing"), "+++");
  EXPECT_THAT(fs().copy(at("missing"), at("copy")),
              failsAs(ErrorCode::notFound, "can't copy " + text("missing") + " to", "copy"));
  EXPECT_FALSE(fs().exists(at("copy")));

  EXPECT_THAT(fs().checkWritable(at("a")), IsOkay());
  EXPECT_THAT(fs().list(at("a")), Optional(ElementsAre("b")));
  EXPECT_THAT(
      fs().checkWritable(at("missing")),
      FailsWithMessageThat(StartsWith(text("missing") + " can't be changed by this user: ")));
}

TEST_P(FileSystemContractTest, FileOperationsOnAFolderFailAndLeaveItAlone) {
  write("folder/inside", "x");
  EXPECT_THAT(fs().readFile(at("folder"), 100),
              failsAs(ErrorCode::accessDenied, "can't open", "folder"));
  EXPECT_THAT(fs().openRead(at("folder")), failsAs(ErrorCode::accessDenied, "can't open", "folder"));
  EXPECT_THAT(fs().append(at("folder"), "+"),
              failsAs(ErrorCode::accessDenied, "can't open", "folder"));
  EXPECT_THAT(fs().writeFile(at("folder"), "y"),
              failsAs(ErrorCode::accessDenied, "can't replace", "folder"));
  EXPECT_THAT(fs().copy(at("folder"), at("copy")), FailsWithCode(ErrorCode::accessDenied));
  EXPECT_FALSE(fs().exists(at("copy")));
  EXPECT_EQ(read("folder/inside"), "x");
}

TEST_P(FileSystemContractTest, AFileHeldElsewhereStopsChangesToItUntilReleased) {
  write("tree/a", "1");
  write("tree/sub/held", "old");
  write("tree/sub/other", "2");
  write("source", "3");
  std::shared_ptr<void> holding = subject_.hold(at("tree/sub/held"));
  ASSERT_NE(holding, nullptr);

  const auto inUse = AnyOf(FailsWithCode(ErrorCode::inUse), FailsWithCode(ErrorCode::accessDenied));
  EXPECT_THAT(
      fs().remove(at("tree")),
      AllOf(inUse, FailsWithMessageThat(StartsWith("can't delete " + text("tree") + ": "))));
  EXPECT_THAT(fs().list(at("tree")), Optional(ElementsAre("sub")));
  EXPECT_THAT(fs().list(at("tree/sub")), Optional(ElementsAre("held")));
  EXPECT_THAT(fs().move(at("tree/sub/held"), at("moved")), inUse);
  EXPECT_THAT(fs().append(at("tree/sub/held"), "+"), inUse);
  EXPECT_THAT(fs().copy(at("source"), at("tree/sub/held")), inUse);
  EXPECT_THAT(fs().writeFile(at("tree/sub/held"), "new"), inUse);
  EXPECT_EQ(read("tree/sub/held"), "old");

  holding.reset();
  EXPECT_THAT(fs().writeFile(at("tree/sub/held"), "new"), IsOkay());
  EXPECT_EQ(read("tree/sub/held"), "new");
  EXPECT_THAT(fs().remove(at("tree")), IsOkay());
  EXPECT_FALSE(fs().exists(at("tree")));
}

INSTANTIATE_TEST_SUITE_P(, FileSystemContractTest,
                         ::testing::Values(
#ifdef _WIN32
                             Variant{"Local", localSubject},
#endif
                             Variant{"Memory", memorySubject}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace loftswitch
