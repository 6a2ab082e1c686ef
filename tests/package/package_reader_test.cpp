#include "package/package_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "base/text.h"
#include "support/matchers.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"

namespace loftswitch {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr PackageLimits kLimits{1 << 20, 100};
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

Result<PackageReader> openBytes(const std::string& zip, PackageLimits limits = kLimits) {
  return openPackage(memoryReadAt(zip), zip.size(), limits);
}

// Opens and extracts; the archive must stay alive while the reader reads it.
Result<Unit> extractBytes(const std::string& zip, const std::filesystem::path& target,
                          PackageLimits limits = kLimits) {
  Result<PackageReader> reader = openBytes(zip, limits);
  if (!reader) return fail(reader.error());
  return extractAll(*reader, target);
}

// Every file below the folder by its relative path with '/', and every folder
// with a trailing '/'.
std::map<std::string, std::string> treeOf(const std::filesystem::path& folder) {
  std::map<std::string, std::string> tree;
  for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
    std::string relative = pathToUtf8(item.path().lexically_relative(folder));
    for (char& c : relative) {
      if (c == '\\') c = '/';
    }
    if (item.is_directory()) {
      tree[relative + "/"] = "";
    } else {
      tree[relative] = readTestFile(item.path());
    }
  }
  return tree;
}

std::string randomBytesOf(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

ZipBuilderEntry entryNamed(std::string name, std::string content = "data") {
  ZipBuilderEntry entry;
  entry.name = std::move(name);
  entry.content = std::move(content);
  return entry;
}

TEST(PackageReaderTest, ExtractsATreeWithExactBytes) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<char>(i));
  const std::string large = randomBytesOf(300 * 1024, 7) + std::string(200 * 1024, 'z');
  ZipBuilderEntry tool = entryNamed("bin/tool.exe", allBytes);
  tool.method = 0;
  tool.externalAttributes = unixMode(0100755);
  const std::string zip = ZipBuilder()
                              .folder("bin/")
                              .add(tool)
                              .file("bin\\lib\\core.dll", large)
                              .file("readme.txt", "hello\r\n", 0)
                              .file("empty.txt", "", 0)
                              .file("empty-deflated.txt", "", 8)
                              .folder("data/cache/")
                              .file("caf\xC3\xA9/\xE6\x97\xA5.txt", "unicode")
                              .build();
  TempFolder temp;
  Result<PackageReader> reader = openBytes(zip);
  ASSERT_THAT(reader, IsOkay());
  const std::vector<PackageEntry>& entries = reader->entries();
  ASSERT_EQ(entries.size(), 8u);
  EXPECT_EQ(entries[0].kind, PackageEntryKind::folder);
  EXPECT_TRUE(entries[0].folderName);
  EXPECT_EQ(entries[1].kind, PackageEntryKind::file);
  EXPECT_EQ(entries[1].mode, 0100755u);
  EXPECT_EQ(entries[1].declaredSize, 256u);
  EXPECT_EQ(entries[2].index, 2u);
  EXPECT_THAT(entries[2].components, ElementsAre("bin", "lib", "core.dll"));
  EXPECT_EQ(entries[2].declaredSize, large.size());

  ASSERT_THAT(extractAll(*reader, temp.path()), IsOkay());
  const std::map<std::string, std::string> expected = {
      {"bin/", ""},
      {"bin/tool.exe", allBytes},
      {"bin/lib/", ""},
      {"bin/lib/core.dll", large},
      {"readme.txt", "hello\r\n"},
      {"empty.txt", ""},
      {"empty-deflated.txt", ""},
      {"data/", ""},
      {"data/cache/", ""},
      {"caf\xC3\xA9/", ""},
      {"caf\xC3\xA9/\xE6\x97\xA5.txt", "unicode"},
  };
  EXPECT_EQ(treeOf(temp.path()), expected);
}

TEST(PackageReaderTest, ReadsZip64RecordsAndFields) {
  ZipBuilderEntry big = entryNamed("big.bin", randomBytesOf(70000, 3));
  big.zip64 = true;
  ZipBuilderEntry stored = entryNamed("stored.txt", "stored bytes");
  stored.method = 0;
  stored.zip64 = true;
  const std::string zip = ZipBuilder().add(big).add(stored).zip64End().build();
  TempFolder temp;
  ASSERT_THAT(extractBytes(zip, temp.path()), IsOkay());
  EXPECT_EQ(readTestFile(temp / "big.bin"), big.content);
  EXPECT_EQ(readTestFile(temp / "stored.txt"), "stored bytes");
}

TEST(PackageReaderTest, FindsTheEndRecordBehindACommentThatMimicsOne) {
  // A complete, self-consistent looking end record inside the comment, whose
  // own comment length does not reach the end of the archive.
  std::string fake("PK\x05\x06", 4);
  fake += std::string(16, '\x7F');
  fake += std::string("\x02\x00", 2);
  fake += "abcdefgh";
  const std::string zip = ZipBuilder().file("a.txt", "content").comment(fake).build();
  TempFolder temp;
  ASSERT_THAT(extractBytes(zip, temp.path()), IsOkay());
  EXPECT_EQ(readTestFile(temp / "a.txt"), "content");
}

TEST(PackageReaderTest, KeepsTheCentralDirectoryInStoredOrderAcrossReadWindows) {
  // Enough long names for the directory to span several read windows.
  ZipBuilder builder;
  std::vector<std::string> names;
  for (int i = 2999; i >= 0; --i) {
    names.push_back("folder/" + std::string(60, 'n') + std::to_string(i));
    builder.file(names.back(), "", 0);
  }
  const std::string zip = builder.zip64End().build();
  Result<PackageReader> reader = openBytes(zip, {kGiB, 3000});
  ASSERT_THAT(reader, IsOkay());
  ASSERT_EQ(reader->entries().size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(joinedPath(reader->entries()[i].components), names[i]);
    EXPECT_EQ(reader->entries()[i].index, i);
  }
  EXPECT_THAT(openBytes(zip, {kGiB, 2999}),
              FailsWith(ErrorCode::tooLarge,
                        "the package has 3000 entries, more than the limit of 2999"));
}

TEST(PackageReaderTest, CountsEntriesAgainstTheLimitBeforeExaminingAny) {
  const PackageLimits limits{16 * kGiB, 200000};
  ZipBuilder fits;
  ZipBuilder over;
  over.file("../first", "", 0);
  for (int i = 0; i < 200000; ++i) {
    fits.file(std::to_string(i), "", 0);
    over.file(std::to_string(i), "", 0);
  }
  const std::string full = fits.zip64End().build();
  Result<PackageReader> reader = openBytes(full, limits);
  ASSERT_THAT(reader, IsOkay());
  EXPECT_EQ(reader->entries().size(), 200000u);

  const std::string overBytes = over.zip64End().build();
  EXPECT_THAT(openBytes(overBytes, limits),
              FailsWith(ErrorCode::tooLarge,
                        "the package has 200001 entries, more than the limit of 200000"));
}

TEST(PackageReaderTest, RefusesArchivesThatAreNotReadable) {
  EXPECT_THAT(openBytes(ZipBuilder().build()),
              FailsWith(ErrorCode::damaged, "the package is empty"));
  EXPECT_THAT(openBytes("PK"),
              FailsWith(ErrorCode::damaged,
                        "not a readable zip archive: the archive is too small to hold an end record"));
  EXPECT_THAT(openBytes(std::string(1000, 'x')),
              FailsWith(ErrorCode::damaged,
                        "not a readable zip archive: no end of central directory record was found"));

  const std::string zip = ZipBuilder().file("a.txt", "content").build();
  const std::size_t end = zip.size() - 22;
  std::string outside = zip;
  outside[end + 16] = '\x7F';  // directory offset
  EXPECT_THAT(openBytes(outside),
              FailsWith(ErrorCode::damaged,
                        "not a readable zip archive: the central directory lies outside the archive"));
  std::string crowded = zip;
  crowded[end + 8] = crowded[end + 10] = '\x09';  // entry counts
  EXPECT_THAT(openBytes(crowded),
              FailsWith(ErrorCode::damaged, "not a readable zip archive: the central directory "
                                            "is too small for its entry count"));
  std::string spanned = zip;
  spanned[end + 4] = '\x01';  // disk number
  EXPECT_THAT(openBytes(spanned),
              FailsWith(ErrorCode::damaged, "not a readable zip archive: the archive spans several disks"));

  const std::string zip64 = ZipBuilder().file("a.txt", "content").zip64End().build();
  std::string badLocator = zip64;
  badLocator[zip64.size() - 22 - 20 + 8] = '\x7F';  // zip64 record offset
  EXPECT_THAT(openBytes(badLocator), FailsWithMessageThat(EndsWith("lies outside the archive")));
  std::string badRecord = zip64;
  badRecord[zip64.size() - 22 - 20 - 56] = 'X';  // zip64 record signature
  EXPECT_THAT(openBytes(badRecord),
              FailsWith(ErrorCode::damaged, "not a readable zip archive: the zip64 end of "
                                            "central directory record is damaged"));
}

TEST(PackageReaderTest, RefusesDamagedCentralRecords) {
  ZipBuilderEntry farAway = entryNamed("a.txt");
  farAway.localHeaderOffset = 0x7FFFFFF0;
  EXPECT_THAT(openBytes(ZipBuilder().file("ok.txt", "x").add(farAway).build()),
              FailsWith(ErrorCode::damaged, "entry 1 has a damaged header: the entry's data lies "
                                            "outside the archive"));

  ZipBuilderEntry hugeCompressed = entryNamed("a.txt");
  hugeCompressed.compressedSize = 0xFFFFFFF0;
  EXPECT_THAT(openBytes(ZipBuilder().add(hugeCompressed).build()),
              FailsWithMessageThat(StartsWith("entry 0 has a damaged header: ")));

  // A saturated size with no Zip64 field to carry the real one.
  ZipBuilderEntry saturated = entryNamed("a.txt");
  saturated.uncompressedSize = 0xFFFFFFFF;
  EXPECT_THAT(openBytes(ZipBuilder().add(saturated).build()),
              FailsWith(ErrorCode::damaged,
                        "entry 0 has a damaged header: the zip64 extra field is missing"));

  std::string zip = ZipBuilder().file("a.txt", "x").file("b.txt", "y").build();
  const std::size_t second = zip.rfind(std::string("PK\x01\x02", 4));
  zip[second + 3] = '\x09';
  EXPECT_THAT(openBytes(zip), FailsWith(ErrorCode::damaged,
                                        "entry 1 has a damaged header: the record has no central "
                                        "directory signature"));
}

TEST(PackageReaderTest, RefusesEntriesOfTypesItMustNotWrite) {
  struct Case {
    ZipBuilderEntry entry;
    std::string message;
  };
  auto with = [](std::string name, auto change) {
    ZipBuilderEntry entry = entryNamed(std::move(name));
    change(entry);
    return entry;
  };
  const std::vector<Case> cases = {
      {with("link", [](ZipBuilderEntry& e) { e.externalAttributes = unixMode(0120777); }),
       "package entry \"link\" is a symbolic link"},
      {with("dir/", [](ZipBuilderEntry& e) { e.externalAttributes = unixMode(0120777); }),
       "package entry \"dir/\" is a symbolic link"},
      {with("tty", [](ZipBuilderEntry& e) { e.externalAttributes = unixMode(0020666); }),
       "package entry \"tty\" is a device, pipe or socket"},
      {with("fifo", [](ZipBuilderEntry& e) { e.externalAttributes = unixMode(0010644); }),
       "package entry \"fifo\" is a device, pipe or socket"},
      {with("dir/", [](ZipBuilderEntry& e) {
         e.content = std::string(512, 'x');
         e.method = 0;
       }),
       "package entry \"dir/\" is a directory with data"},
      {with("unixdir", [](ZipBuilderEntry& e) { e.externalAttributes = unixMode(040755); }),
       "package entry \"unixdir\" is a directory with data"},
      {with("dosdir", [](ZipBuilderEntry& e) { e.externalAttributes = 0x10; }),
       "package entry \"dosdir\" is a directory with data"},
      {with("secret", [](ZipBuilderEntry& e) { e.flags = 0x0001; }),
       "package entry \"secret\" is encrypted"},
      {with("strong", [](ZipBuilderEntry& e) { e.flags = 0x0040; }),
       "package entry \"strong\" is encrypted"},
      {with("bz", [](ZipBuilderEntry& e) { e.method = 12; }),
       "package entry \"bz\" uses compression method 12 (only stored and deflate are allowed)"},
      {with("patch", [](ZipBuilderEntry& e) { e.flags = 0x0020; }),
       "package entry \"patch\" uses zip features this reader doesn't support"},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(openBytes(ZipBuilder().file("first.txt", "x").add(c.entry).build()),
                FailsWith(ErrorCode::badLayout, c.message));
  }

  ZipBuilderEntry hollow = entryNamed("hollow.bin");
  hollow.uncompressedSize = 10;
  hollow.storedData = "";
  EXPECT_THAT(openBytes(ZipBuilder().add(hollow).build()),
              FailsWith(ErrorCode::damaged, "package entry \"hollow.bin\" declares data but stores none"));

  ZipBuilderEntry badName = entryNamed("../up.txt");
  EXPECT_THAT(openBytes(ZipBuilder().add(badName).build()),
              FailsWith(ErrorCode::badLayout, "package entry \"../up.txt\" climbs with \"..\""));
}

TEST(PackageReaderTest, AcceptsFoldersMarkedOnlyByTheirAttributes) {
  ZipBuilderEntry dos = entryNamed("dosdir", "");
  dos.externalAttributes = 0x10;
  dos.method = 0;
  ZipBuilderEntry unix = entryNamed("unixdir", "");
  unix.externalAttributes = unixMode(040755);
  unix.method = 0;
  const std::string zip = ZipBuilder().add(dos).add(unix).file("dosdir/x.txt", "x").build();
  TempFolder temp;
  ASSERT_THAT(extractBytes(zip, temp.path()), IsOkay());
  EXPECT_TRUE(std::filesystem::is_directory(temp / "unixdir"));
  EXPECT_EQ(readTestFile(temp / "dosdir/x.txt"), "x");
}

TEST(PackageReaderTest, RefusesEntriesThatLandOnTheSamePath) {
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"A/b.txt", "a/B.txt"}, {"dir", "dir/"}, {"a\\b.txt", "a/b.txt"}, {"Dir/", "dIR\\"}};
  for (const auto& [first, second] : pairs) {
    ZipBuilder builder;
    builder.file(first, "", 0).file(second, "", 0);
    EXPECT_THAT(openBytes(builder.build()),
                FailsWith(ErrorCode::badLayout,
                          "package entry \"" + second + "\" appears twice (ignoring case)"));
  }
}

TEST(PackageReaderTest, RefusesEntriesBelowAFileInEitherOrder) {
  EXPECT_THAT(openBytes(ZipBuilder().file("x", "file").file("x/y", "below").build()),
              FailsWith(ErrorCode::badLayout, "package entry \"x/y\" lies inside a file"));
  EXPECT_THAT(openBytes(ZipBuilder().file("X/y/z", "below").file("x", "file").build()),
              FailsWith(ErrorCode::badLayout, "package entry \"X/y/z\" lies inside a file"));
  EXPECT_THAT(openBytes(ZipBuilder().folder("x/").file("x/y", "below").build()), IsOkay());
}

TEST(PackageReaderTest, RefusesPackagesDeclaringMoreThanTheExpandedLimit) {
  const PackageLimits limits{16 * kGiB, 200000};
  auto declaring = [](std::string name, std::uint64_t size) {
    ZipBuilderEntry entry = entryNamed(std::move(name));
    entry.uncompressedSize = size;
    entry.zip64 = true;
    return entry;
  };
  EXPECT_THAT(openBytes(ZipBuilder().add(declaring("a", 10 * kGiB)).build(), limits), IsOkay());
  EXPECT_THAT(openBytes(ZipBuilder()
                            .add(declaring("a", 10 * kGiB))
                            .add(declaring("b", 10 * kGiB))
                            .build(),
                        limits),
              FailsWith(ErrorCode::tooLarge, "the package expands to more than 17179869184 bytes"));
  EXPECT_THAT(openBytes(ZipBuilder().add(declaring("a", 8 * kGiB)).add(declaring("b", 8 * kGiB)).build(),
                        limits),
              IsOkay());
  ZipBuilderEntry huge = declaring("huge", ~std::uint64_t{0});
  EXPECT_THAT(openBytes(ZipBuilder().add(declaring("a", 1)).add(huge).build(), limits),
              FailsWithCode(ErrorCode::tooLarge));
}

TEST(PackageReaderTest, StopsAnEntryThatInflatesPastItsDeclaredSize) {
  // Ten MiB of zeros deflate to a few kilobytes: a bomb that lies about its size.
  ZipBuilderEntry bomb = entryNamed("bomb.bin", std::string(10 << 20, '\0'));
  bomb.uncompressedSize = 1000;
  TempFolder temp;
  EXPECT_THAT(extractBytes(ZipBuilder().add(bomb).build(), temp.path()),
              FailsWith(ErrorCode::tooLarge, "a package entry inflates past its declared size"));
  EXPECT_LE(std::filesystem::file_size(temp / "bomb.bin"), 1000u);

  ZipBuilderEntry longer = entryNamed("longer.txt", "0123456789");
  longer.method = 0;
  longer.uncompressedSize = 5;
  TempFolder other;
  EXPECT_THAT(extractBytes(ZipBuilder().add(longer).build(), other.path()),
              FailsWith(ErrorCode::tooLarge, "a package entry inflates past its declared size"));
}

TEST(PackageReaderTest, RefusesEntriesShorterThanDeclared) {
  ZipBuilderEntry stored = entryNamed("stored.txt", "0123456789");
  stored.method = 0;
  stored.uncompressedSize = 20;
  TempFolder first;
  EXPECT_THAT(extractBytes(ZipBuilder().add(stored).build(), first.path()),
              FailsWith(ErrorCode::damaged, "package entry \"stored.txt\" is shorter than declared"));

  ZipBuilderEntry deflated = entryNamed("deflated.txt", "0123456789");
  deflated.uncompressedSize = 20;
  TempFolder second;
  EXPECT_THAT(extractBytes(ZipBuilder().add(deflated).build(), second.path()),
              FailsWith(ErrorCode::damaged, "package entry \"deflated.txt\" is shorter than declared"));

  ZipBuilderEntry cut = entryNamed("cut.bin", randomBytesOf(5000, 11));
  const std::string stream = deflateRaw(cut.content);
  cut.storedData = stream.substr(0, stream.size() / 2);
  TempFolder third;
  EXPECT_THAT(extractBytes(ZipBuilder().add(cut).build(), third.path()),
              FailsWith(ErrorCode::damaged,
                        "package entry \"cut.bin\" is damaged: the compressed data ends early"));

  ZipBuilderEntry garbage = entryNamed("garbage.bin", "abc");
  garbage.storedData = std::string("\xFF\xFF\xFF\xFF", 4);
  TempFolder fourth;
  EXPECT_THAT(extractBytes(ZipBuilder().add(garbage).build(), fourth.path()),
              FailsWith(ErrorCode::damaged,
                        "package entry \"garbage.bin\" is damaged: the compressed data is invalid"));
}

TEST(PackageReaderTest, ReportsACrcMismatchAfterWritingTheFile) {
  for (std::uint16_t method : {0, 8}) {
    ZipBuilderEntry entry = entryNamed("dir/file.txt", "the content");
    entry.method = method;
    entry.crc32 = 0x12345678;
    TempFolder temp;
    EXPECT_THAT(extractBytes(ZipBuilder().add(entry).build(), temp.path()),
                FailsWith(ErrorCode::damaged,
                          "package entry \"dir/file.txt\" is damaged: CRC-32 mismatch"));
    EXPECT_EQ(readTestFile(temp / "dir/file.txt"), "the content");
  }
}

TEST(PackageReaderTest, RefusesALocalHeaderThatIsNotOne) {
  ZipBuilderEntry misplaced = entryNamed("b.txt", "bbbb");
  misplaced.localHeaderOffset = 4;
  TempFolder temp;
  EXPECT_THAT(extractBytes(ZipBuilder().file("a.txt", "aaaaaaaaaaaaaaaa", 0).add(misplaced).build(),
                           temp.path()),
              FailsWith(ErrorCode::damaged, "package entry \"b.txt\" is damaged: the local header is damaged"));
  EXPECT_EQ(readTestFile(temp / "a.txt"), "aaaaaaaaaaaaaaaa");
}

TEST(PackageReaderTest, NeverOverwritesAFileAlreadyInTheTarget) {
  TempFolder temp;
  writeTestFile(temp / "a.txt", "already here");
  EXPECT_THAT(extractBytes(ZipBuilder().file("a.txt", "new").build(), temp.path()),
              FailsWithMessageThat(StartsWith("package entry \"a.txt\" collides with another entry: "
                                              "can't create ")));
  EXPECT_THAT(extractBytes(ZipBuilder().file("a.txt", "new").build(), temp.path()),
              FailsWithCode(ErrorCode::badLayout));
  EXPECT_EQ(readTestFile(temp / "a.txt"), "already here");
}

TEST(PackageReaderTest, FailsCleanlyWhenTruncatedAnywhere) {
  ZipBuilderEntry stored = entryNamed("s.txt", "stored content");
  stored.method = 0;
  const std::string zip =
      ZipBuilder().folder("d/").add(stored).file("d/x.bin", randomBytesOf(3000, 5)).build();
  for (std::size_t size = 0; size < zip.size(); ++size) {
    const std::string prefix = zip.substr(0, size);
    EXPECT_THAT(openBytes(prefix), FailsWithCode(ErrorCode::damaged)) << "size " << size;
  }
}

TEST(PackageReaderTest, FailsCleanlyWhenAnyByteCannotBeRead) {
  ZipBuilderEntry stored = entryNamed("s.txt", "stored content");
  stored.method = 0;
  const std::string x = randomBytesOf(3000, 5);
  const std::string zip = ZipBuilder().add(stored).file("d/x.bin", x).build();
  TempFolder temp;
  for (std::size_t hole = 0; hole < zip.size(); hole += 7) {
    const ReadAt full = memoryReadAt(zip);
    const ReadAt holed = [&full, hole](std::uint64_t offset, std::span<std::uint8_t> bytes) {
      if (offset <= hole && hole < offset + bytes.size()) return false;
      return full(offset, bytes);
    };
    const std::filesystem::path target = temp / std::to_string(hole);
    std::filesystem::create_directories(target);
    Result<PackageReader> reader = openPackage(holed, zip.size(), kLimits);
    if (!reader) {
      EXPECT_EQ(reader.error().code, ErrorCode::damaged) << reader.error();
      continue;
    }
    Result<Unit> extracted = extractAll(*reader, target);
    if (!extracted) {
      EXPECT_EQ(extracted.error().code, ErrorCode::damaged) << extracted.error();
      EXPECT_THAT(extracted.error().message, HasSubstr("is damaged: ")) << "hole " << hole;
      continue;
    }
    // Only bytes that nothing needs, such as a local header's copy of the name.
    EXPECT_EQ(readTestFile(target / "s.txt"), "stored content") << "hole " << hole;
    EXPECT_EQ(readTestFile(target / "d/x.bin"), x) << "hole " << hole;
  }
}

TEST(PackageReaderTest, SurvivesRandomDamage) {
  ZipBuilderEntry stored = entryNamed("s.txt", "stored content");
  stored.method = 0;
  ZipBuilderEntry wide = entryNamed("w/z.bin", randomBytesOf(2000, 9));
  wide.zip64 = true;
  const std::string x = std::string(4000, 'q') + randomBytesOf(500, 1);
  const std::string original =
      ZipBuilder().folder("d/").add(stored).file("d/x.bin", x).add(wide).zip64End().build();
  const std::set<std::string> contents = {stored.content, x, wide.content};
  std::mt19937 generator(20261206);
  TempFolder temp;
  int opened = 0;
  for (int round = 0; round < 1000; ++round) {
    std::string damaged = original;
    const int flips = 1 + static_cast<int>(generator() % 3);
    for (int i = 0; i < flips; ++i) {
      damaged[generator() % damaged.size()] ^= static_cast<char>(1 + generator() % 255);
    }
    Result<PackageReader> reader = openBytes(damaged);
    if (!reader) {
      EXPECT_FALSE(reader.error().message.empty());
      continue;
    }
    ++opened;
    const std::filesystem::path target = temp / std::to_string(round);
    std::filesystem::create_directories(target);
    Result<Unit> extracted = extractAll(*reader, target);
    if (!extracted) {
      EXPECT_FALSE(extracted.error().message.empty());
    } else {
      // Damage may rename an entry but must never reach a file's content
      // unnoticed.
      for (const auto& [path, content] : treeOf(target)) {
        if (!path.ends_with("/")) {
          EXPECT_TRUE(contents.contains(content)) << path;
        }
      }
    }
    std::filesystem::remove_all(target);
  }
  // Most single flips land in data, which only extraction can notice.
  EXPECT_GT(opened, 100);
}

}  // namespace
}  // namespace loftswitch
