#include "package/package_reader.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "base/text.h"
#include "fs/local_file_system.h"
#include "support/matchers.h"
#include "support/temp_folder.h"
#include "support/zip_builder.h"

namespace loftswitch {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr PackageLimits kLimits{1 << 20, 100};
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

FileSystem& disk() {
  static LocalFileSystem local;
  return local;
}

Result<PackageReader> openBytes(const std::string& zip, PackageLimits limits = kLimits) {
  return openPackage(memoryReadAt(zip), zip.size(), limits);
}

// Opens and extracts; the archive must stay alive while the reader reads it.
Result<Unit> extractBytes(const std::string& zip, const std::filesystem::path& target) {
  Result<PackageReader> reader = openBytes(zip);
  if (!reader) return fail(reader.error());
  return extractAll(*reader, disk(), target);
}

// Every file below the folder by its relative path with '/', and every folder
// with a trailing '/'.
std::map<std::string, std::string> treeOf(const std::filesystem::path& folder) {
  std::map<std::string, std::string> tree;
  for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
    std::string relative = pathToUtf8(item.path().lexically_relative(folder));
    std::replace(relative.begin(), relative.end(), '\\', '/');
    tree[item.is_directory() ? relative + "/" : relative] =
        item.is_directory() ? "" : readTestFile(item.path());
  }
  return tree;
}

std::string randomBytesOf(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

ZipBuilderEntry entry(std::string name, std::string content = "data",
                      const std::function<void(ZipBuilderEntry&)>& change = {}) {
  ZipBuilderEntry e;
  e.name = std::move(name);
  e.content = std::move(content);
  if (change) change(e);
  return e;
}

void stored(ZipBuilderEntry& e) { e.method = 0; }

TEST(PackageReaderTest, ExtractsATreeWithExactBytes) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<char>(i));
  const std::string large = randomBytesOf(300 * 1024, 7) + std::string(200 * 1024, 'z');
  const std::string zip =
      ZipBuilder()
          .folder("bin/")
          .add(entry(
              "bin/tool.exe", allBytes,
              [](ZipBuilderEntry& e) { e.method = 0, e.externalAttributes = unixMode(0100755); }))
          .file("bin\\lib\\core.dll", large)
          .file("readme.txt", "hello\r\n", 0)
          .file("empty.txt", "", 0)
          .file("empty-deflated.txt", "", 8)
          .folder("data/cache/")
          .file("caf\xC3\xA9/\xE6\x97\xA5.txt", "unicode")
          // Folders marked only by their attributes.
          .add(entry("dosdir", "",
                     [](ZipBuilderEntry& e) { e.method = 0, e.externalAttributes = 0x10; }))
          .add(entry(
              "unixdir", "",
              [](ZipBuilderEntry& e) { e.method = 0, e.externalAttributes = unixMode(040755); }))
          .file("dosdir/x.txt", "x")
          .build();
  TempFolder temp;
  Result<PackageReader> reader = openBytes(zip);
  ASSERT_THAT(reader, IsOkay());
  ASSERT_EQ(reader->entries().size(), 11u);
  EXPECT_EQ(reader->entries()[1].mode, 0100755u);
  EXPECT_EQ(reader->entries()[2].declaredSize, large.size());
  EXPECT_EQ(reader->entries()[8].kind, PackageEntryKind::folder);

  ASSERT_THAT(extractAll(*reader, disk(), temp.path()), IsOkay());
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
      {"dosdir/", ""},
      {"dosdir/x.txt", "x"},
      {"unixdir/", ""},
  };
  EXPECT_EQ(treeOf(temp.path()), expected);
}

TEST(PackageReaderTest, ReadsZip64RecordsAndFindsTheEndRecordBehindACommentThatMimicsOne) {
  ZipBuilderEntry big = entry("big.bin", randomBytesOf(70000, 3), [](auto& e) { e.zip64 = true; });
  ZipBuilderEntry small =
      entry("stored.txt", "stored", [](auto& e) { e.method = 0, e.zip64 = true; });
  TempFolder temp;
  ASSERT_THAT(extractBytes(ZipBuilder().add(big).add(small).zip64End().build(), temp.path()),
              IsOkay());
  EXPECT_EQ(readTestFile(temp / "big.bin"), big.content);
  EXPECT_EQ(readTestFile(temp / "stored.txt"), "stored");

  // A self-consistent looking end record whose comment length falls short.
  const std::string fake = std::string("PK\x05\x06", 4) + std::string(16, '\x7F') +
                           std::string("\x02\x00", 2) + "abcdefgh";
  std::filesystem::create_directories(temp / "c");
  ASSERT_THAT(extractBytes(ZipBuilder().file("a.txt", "content").comment(fake).build(), temp / "c"),
              IsOkay());
  EXPECT_EQ(readTestFile(temp / "c/a.txt"), "content");
}

TEST(PackageReaderTest, KeepsEntriesInStoredOrderAndCountsThemAgainstTheLimitFirst) {
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
  // In stored order ("10" before "2" would be sorted), across many read windows.
  ASSERT_EQ(reader->entries().size(), 200000u);
  for (std::uint32_t i = 0; i < 200000; ++i) {
    ASSERT_EQ(joinedPath(*reader->components(reader->entries()[i])), std::to_string(i));
    ASSERT_EQ(reader->entries()[i].index, i);
  }
  EXPECT_THAT(openBytes(over.zip64End().build(), limits),
              FailsWith(ErrorCode::tooLarge,
                        "the package has 200001 entries, more than the limit of 200000"));
}

TEST(PackageReaderTest, RefusesArchivesThatAreNotReadable) {
  const std::string zip = ZipBuilder().file("a.txt", "content").build();
  const std::string zip64 = ZipBuilder().file("a.txt", "content").zip64End().build();
  const std::size_t end = zip.size() - 22;
  const std::size_t record = zip64.size() - 22 - 20 - 56;
  auto changed = [](std::string bytes, std::size_t at, char value, std::size_t at2 = 0) {
    bytes[at] = value;
    if (at2 != 0) bytes[at2] = value;
    return bytes;
  };
  const std::string notZip = "not a readable zip archive: ";
  const std::pair<std::string, std::string> cases[] = {
      {ZipBuilder().build(), "the package is empty"},
      {"PK", notZip + "the archive is too small to hold an end record"},
      {std::string(1000, 'x'), notZip + "no end of central directory record was found"},
      {changed(zip, end + 16, '\x7F'), notZip + "the central directory lies outside the archive"},
      {changed(zip, end + 8, '\x09', end + 10),
       notZip + "the central directory is too small for its entry count"},
      {changed(zip, end + 4, '\x01'), notZip + "the archive spans several disks"},
      {changed(zip64, zip64.size() - 22 - 20 + 8, '\x7F'),
       notZip + "the zip64 end of central directory record lies outside the archive"},
      {changed(zip64, record, 'X'),
       notZip + "the zip64 end of central directory record is damaged"},
      // A classic count that is not saturated must agree with the zip64 one.
      {changed(changed(zip64, zip64.size() - 12, '\x02'), zip64.size() - 11, '\x00'),
       notZip + "the zip64 end record contradicts the end record"},
  };
  for (const auto& [bytes, message] : cases) {
    EXPECT_THAT(openBytes(bytes), FailsWith(ErrorCode::damaged, message));
  }
}

// Archives whose entries share bytes unpack to far more than they hold; a
// local header that tells another story than the directory is read
// differently by other tools.
TEST(PackageReaderTest, RefusesEntriesThatOverlapOrWhoseLocalHeaderDisagrees) {
  const auto covering = [](std::uint64_t size) {
    return [size](ZipBuilderEntry& e) { e.method = 0, e.compressedSize = size; };
  };
  // "b"'s local header (30 bytes and its name) and data lie inside "a"'s data.
  const std::string overlapping =
      ZipBuilder().add(entry("a", "data", covering(4 + 31 + 4))).file("b", "data", 0).build();
  EXPECT_THAT(openBytes(overlapping),
              FailsWith(ErrorCode::damaged, "not a readable zip archive: entry 1 overlaps entry 0"));
  const std::string intoDirectory = ZipBuilder().add(entry("a", "data", covering(4 + 20))).build();
  EXPECT_THAT(openBytes(intoDirectory),
              FailsWith(ErrorCode::damaged,
                        "not a readable zip archive: entry 0 overlaps the central directory"));
  const std::string disagreeing = "package entry \"b.txt\" has a local header that disagrees "
                                  "with the central directory";
  for (const std::size_t at : {8u, 14u, 18u, 22u, 30u, 6u}) {
    std::string zip = ZipBuilder().file("b.txt", "data").build();
    zip[at] = static_cast<char>(zip[at] ^ 1);
    EXPECT_THAT(openBytes(zip), FailsWith(ErrorCode::damaged, disagreeing)) << at;
  }
  // With a data descriptor the local sizes and CRC may be zero.
  std::string described = ZipBuilder().add(entry("b.txt", "data", [](auto& e) {
    e.flags = 0x0008;
  })).build();
  for (std::size_t at = 14; at < 26; ++at) described[at] = 0;
  EXPECT_THAT(openBytes(described), IsOkay());
}

TEST(PackageReaderTest, RefusesDamagedCentralRecords) {
  const std::string header = "has a damaged header: ";
  EXPECT_THAT(
      openBytes(ZipBuilder()
                    .file("ok.txt", "x")
                    .add(entry("a.txt", "data", [](auto& e) { e.localHeaderOffset = 0x7FFFFFF0; }))
                    .build()),
      FailsWith(ErrorCode::damaged,
                "entry 1 " + header + "the entry's data lies outside the archive"));
  EXPECT_THAT(
      openBytes(ZipBuilder()
                    .add(entry("a.txt", "data", [](auto& e) { e.compressedSize = 0xFFFFFFF0; }))
                    .build()),
      FailsWithMessageThat(StartsWith("entry 0 " + header)));
  // A saturated size with no Zip64 field to carry the real one.
  EXPECT_THAT(
      openBytes(ZipBuilder()
                    .add(entry("a.txt", "data", [](auto& e) { e.uncompressedSize = 0xFFFFFFFF; }))
                    .build()),
      FailsWith(ErrorCode::damaged, "entry 0 " + header + "the zip64 extra field is missing"));
  std::string zip = ZipBuilder().file("a.txt", "x").file("b.txt", "y").build();
  zip[zip.rfind(std::string("PK\x01\x02", 4)) + 3] = '\x09';
  EXPECT_THAT(openBytes(zip),
              FailsWith(ErrorCode::damaged,
                        "entry 1 " + header + "the record has no central directory signature"));
}

TEST(PackageReaderTest, RefusesEntriesItMustNotWrite) {
  auto attributes = [](std::uint32_t value) {
    return [value](ZipBuilderEntry& e) { e.externalAttributes = value; };
  };
  auto flags = [](std::uint16_t value) { return [value](ZipBuilderEntry& e) { e.flags = value; }; };
  const struct {
    ZipBuilderEntry entry;
    ErrorCode code;
    std::string message;
  } cases[] = {
      {entry("link", "data", attributes(unixMode(0120777))), ErrorCode::badLayout,
       "\"link\" is a symbolic link"},
      {entry("dir/", "data", attributes(unixMode(0120777))), ErrorCode::badLayout,
       "\"dir/\" is a symbolic link"},
      {entry("tty", "data", attributes(unixMode(0020666))), ErrorCode::badLayout,
       "\"tty\" is a device, pipe or socket"},
      {entry("fifo", "data", attributes(unixMode(0010644))), ErrorCode::badLayout,
       "\"fifo\" is a device, pipe or socket"},
      {entry("dir/", std::string(512, 'x'), stored), ErrorCode::badLayout,
       "\"dir/\" is a directory with data"},
      {entry("unixdir", "data", attributes(unixMode(040755))), ErrorCode::badLayout,
       "\"unixdir\" is a directory with data"},
      {entry("dosdir", "data", attributes(0x10)), ErrorCode::badLayout,
       "\"dosdir\" is a directory with data"},
      {entry("secret", "data", flags(0x0001)), ErrorCode::badLayout, "\"secret\" is encrypted"},
      {entry("strong", "data", flags(0x0040)), ErrorCode::badLayout, "\"strong\" is encrypted"},
      {entry("bz", "data", [](auto& e) { e.method = 12; }), ErrorCode::badLayout,
       "\"bz\" uses compression method 12 (only stored and deflate are allowed)"},
      {entry("patch", "data", flags(0x0020)), ErrorCode::badLayout,
       "\"patch\" uses zip features this reader doesn't support"},
      {entry("hollow.bin", "data", [](auto& e) { e.uncompressedSize = 10, e.storedData = ""; }),
       ErrorCode::damaged, "\"hollow.bin\" declares data but stores none"},
      {entry("../up.txt"), ErrorCode::badLayout, "\"../up.txt\" climbs with \"..\""},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(openBytes(ZipBuilder().file("first.txt", "x").add(c.entry).build()),
                FailsWith(c.code, "package entry " + c.message));
  }
}

TEST(PackageReaderTest, RefusesEntriesThatLandOnTheSamePathOrInsideAFile) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"A/b.txt", "a/B.txt", "appears twice (ignoring case)"},
      {"dir", "dir/", "appears twice (ignoring case)"},
      {"a\\b.txt", "a/b.txt", "appears twice (ignoring case)"},
      {"Dir/", "dIR\\", "appears twice (ignoring case)"},
      {"x", "x/y", "lies inside a file"},
      // Unicode simple upper case, as NTFS compares names; sharp s has none.
      {"\xC3\x84.txt", "\xC3\xA4.txt", "appears twice (ignoring case)"},
      {"\xCE\xA3/a", "\xCF\x83/A", "appears twice (ignoring case)"},
      {"\xC5\xBF", "s/x", "lies inside a file"},
  };
  for (const auto& [first, second, detail] : cases) {
    EXPECT_THAT(openBytes(ZipBuilder().file(first, "", 0).file(second, "", 0).build()),
                FailsWith(ErrorCode::badLayout, "package entry \"" + second + "\" " + detail));
  }
  EXPECT_THAT(openBytes(ZipBuilder().file("X/y/z", "below").file("x", "file").build()),
              FailsWith(ErrorCode::badLayout, "package entry \"X/y/z\" lies inside a file"));
  EXPECT_THAT(openBytes(ZipBuilder().folder("x/").file("x/y", "below").build()), IsOkay());
  EXPECT_THAT(openBytes(ZipBuilder().file("\xC3\x9F", "").file("SS", "").build()), IsOkay());
}

TEST(PackageReaderTest, RefusesPackagesDeclaringMoreThanTheExpandedLimit) {
  const PackageLimits limits{16 * kGiB, 200000};
  auto declaring = [](std::string name, std::uint64_t size) {
    return entry(std::move(name), "data",
                 [size](auto& e) { e.uncompressedSize = size, e.zip64 = true; });
  };
  auto both = [&](std::uint64_t a, std::uint64_t b) {
    return openBytes(ZipBuilder().add(declaring("a", a)).add(declaring("b", b)).build(), limits);
  };
  EXPECT_THAT(both(8 * kGiB, 8 * kGiB), IsOkay());
  EXPECT_THAT(both(10 * kGiB, 10 * kGiB),
              FailsWith(ErrorCode::tooLarge, "the package expands to more than 17179869184 bytes"));
  EXPECT_THAT(both(1, ~std::uint64_t{0}), FailsWithCode(ErrorCode::tooLarge));
}

TEST(PackageReaderTest, RefusesALocalHeaderInsideAnotherEntryBeforeWritingAnything) {
  ZipBuilderEntry b = entry("b.txt", "bbbb", [](auto& e) { e.localHeaderOffset = 4; });
  TempFolder temp;
  std::filesystem::create_directories(temp / "t");
  const std::string zip = ZipBuilder().file("a.txt", "aaaaaaaaaaaaaaaa", 0).add(b).build();
  EXPECT_THAT(extractBytes(zip, temp / "t"),
              FailsWith(ErrorCode::damaged, "package entry \"b.txt\" has a damaged local header"));
  EXPECT_TRUE(std::filesystem::is_empty(temp / "t"));
}

TEST(PackageReaderTest, RefusesDataThatDoesNotMatchItsDeclaration) {
  const std::string cutContent = randomBytesOf(5000, 11);
  const std::string stream = deflateRaw(cutContent);
  auto declares = [](std::uint64_t size, bool store) {
    return [size, store](ZipBuilderEntry& e) {
      e.uncompressedSize = size;
      if (store) e.method = 0;
    };
  };
  const struct {
    ZipBuilderEntry entry;
    ErrorCode code;
    std::string message;
  } cases[] = {
      // Ten MiB of zeros deflate to a few kilobytes: a bomb that lies about its size.
      {entry("bomb.bin", std::string(10 << 20, '\0'), declares(1000, false)), ErrorCode::tooLarge,
       "a package entry inflates past its declared size"},
      {entry("longer.txt", "0123456789", declares(5, true)), ErrorCode::tooLarge,
       "a package entry inflates past its declared size"},
      {entry("stored.txt", "0123456789", declares(20, true)), ErrorCode::damaged,
       "package entry \"stored.txt\" is shorter than declared"},
      {entry("deflated.txt", "0123456789", declares(20, false)), ErrorCode::damaged,
       "package entry \"deflated.txt\" is shorter than declared"},
      {entry("cut.bin", cutContent,
             [&](auto& e) { e.storedData = stream.substr(0, stream.size() / 2); }),
       ErrorCode::damaged, "package entry \"cut.bin\" is damaged: the compressed data ends early"},
      {entry("garbage.bin", "abc", [](auto& e) { e.storedData = std::string(4, '\xFF'); }),
       ErrorCode::damaged,
       "package entry \"garbage.bin\" is damaged: the compressed data is invalid"},
      {entry("d/crc.txt", "the content", [](auto& e) { e.crc32 = 0x12345678; }), ErrorCode::damaged,
       "package entry \"d/crc.txt\" is damaged: CRC-32 mismatch"},
      {entry("d/crc.txt", "the content", [](auto& e) { e.crc32 = 0x12345678, e.method = 0; }),
       ErrorCode::damaged, "package entry \"d/crc.txt\" is damaged: CRC-32 mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry.name);
    TempFolder temp;
    std::filesystem::create_directories(temp / "t");
    const std::string zip = ZipBuilder().file("a.txt", "aaaaaaaaaaaaaaaa", 0).add(c.entry).build();
    EXPECT_THAT(extractBytes(zip, temp / "t"), FailsWith(c.code, c.message));
    std::map<std::string, std::string> tree = treeOf(temp.path());
    EXPECT_EQ(tree["t/a.txt"], "aaaaaaaaaaaaaaaa");
    // Nothing outside the target, and never more than an entry declared.
    const std::uint64_t declared = c.entry.uncompressedSize.value_or(c.entry.content.size());
    for (const auto& [path, content] : tree) {
      EXPECT_TRUE(path.starts_with("t/")) << path;
      EXPECT_LE(content.size(), std::max<std::uint64_t>(declared, 16)) << path;
    }
    // A CRC-32 mismatch shows only once the whole file is written.
    if (c.entry.crc32) {
      EXPECT_EQ(tree["t/d/crc.txt"], "the content");
    }
  }
}

TEST(PackageReaderTest, NeverOverwritesAFileAlreadyInTheTarget) {
  TempFolder temp;
  writeTestFile(temp / "a.txt", "already here");
  EXPECT_THAT(extractBytes(ZipBuilder().file("a.txt", "new").build(), temp.path()),
              AllOf(FailsWithCode(ErrorCode::badLayout),
                    FailsWithMessageThat(StartsWith(
                        "package entry \"a.txt\" collides with another entry: can't create "))));
  EXPECT_EQ(readTestFile(temp / "a.txt"), "already here");
}

const std::string& damageSample() {
  static const std::string zip =
      ZipBuilder()
          .folder("d/")
          .add(entry("s.txt", "stored content", stored))
          .file("d/x.bin", randomBytesOf(3000, 5))
          .add(entry("w/z.bin", randomBytesOf(2000, 9), [](auto& e) { e.zip64 = true; }))
          .zip64End()
          .build();
  return zip;
}

TEST(PackageReaderTest, FailsCleanlyWhenTruncatedAnywhere) {
  const std::string& zip = damageSample();
  for (std::size_t size = 0; size < zip.size(); ++size) {
    EXPECT_THAT(openBytes(zip.substr(0, size)), FailsWithCode(ErrorCode::damaged))
        << "size " << size;
  }
}

TEST(PackageReaderTest, FailsCleanlyWhenAnyByteCannotBeRead) {
  const std::string& zip = damageSample();
  TempFolder whole;
  ASSERT_THAT(extractBytes(zip, whole.path()), IsOkay());
  const auto expected = treeOf(whole.path());
  TempFolder temp;
  for (std::size_t hole = 0; hole < zip.size(); hole += 7) {
    SCOPED_TRACE(hole);
    const ReadAt full = memoryReadAt(zip);
    const ReadAt holed = [&full, hole](std::uint64_t offset, std::span<std::uint8_t> bytes) {
      return !(offset <= hole && hole < offset + bytes.size()) && full(offset, bytes);
    };
    const std::filesystem::path target = temp / std::to_string(hole);
    std::filesystem::create_directories(target);
    Result<PackageReader> reader = openPackage(holed, zip.size(), kLimits);
    if (!reader) {
      EXPECT_EQ(reader.error().code, ErrorCode::damaged) << reader.error();
      continue;
    }
    Result<Unit> extracted = extractAll(*reader, disk(), target);
    if (!extracted) {
      EXPECT_THAT(extracted, AllOf(FailsWithCode(ErrorCode::damaged),
                                   FailsWithMessageThat(HasSubstr("is damaged: "))));
    } else {
      // Only bytes that nothing needs, such as a local header's copy of the name.
      EXPECT_EQ(treeOf(target), expected);
    }
  }
}

TEST(PackageReaderTest, SurvivesRandomDamage) {
  const std::string& original = damageSample();
  TempFolder whole;
  ASSERT_THAT(extractBytes(original, whole.path()), IsOkay());
  std::set<std::string> contents;
  for (const auto& [path, content] : treeOf(whole.path())) {
    if (!path.ends_with("/")) contents.insert(content);
  }
  std::mt19937 generator(20261206);
  TempFolder temp;
  int opened = 0;
  for (int round = 0; round < 1000; ++round) {
    std::string damaged = original;
    for (int i = 0, flips = 1 + static_cast<int>(generator() % 3); i < flips; ++i) {
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
    Result<Unit> extracted = extractAll(*reader, disk(), target);
    if (!extracted) {
      EXPECT_FALSE(extracted.error().message.empty());
    } else {
      // Damage may rename an entry but must never reach a file's content unnoticed.
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
