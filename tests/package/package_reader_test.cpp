#include "package/package_reader.h"

#include <functional>
#include <random>

#include "support/matchers.h"
#include "support/memory_file_system.h"
#include "support/zip_builder.h"

namespace loftswitch {
namespace {

using Snapshot = MemoryFileSystem::Snapshot;
constexpr PackageLimits kLimits{1 << 20, 100};
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
const std::filesystem::path kTarget = std::filesystem::path("C:/stage") / "new";

Result<PackageReader> openBytes(const std::string& zip, PackageLimits limits = kLimits) {
  return openPackage(memoryReadAt(zip), zip.size(), limits);
}

// Extracts into kTarget, beside a file that must stay as it is.
struct Extraction {
  explicit Extraction(const std::string& zip, ReadAt readAt = {}) {
    fs.addFolder(kTarget);
    fs.addFile(kTarget.parent_path() / "beside.txt", "kept");
    Result<PackageReader> reader = openPackage(readAt ? readAt : memoryReadAt(zip), zip.size(), kLimits);
    result = reader ? extractAll(*reader, fs, kTarget) : fail(reader.error());
    EXPECT_EQ(fs.fileContent(kTarget.parent_path() / "beside.txt"), "kept");
    EXPECT_EQ(fs.snapshot(kTarget.parent_path()).size(), fs.snapshot(kTarget).size() + 2);
  }
  Snapshot tree() const { return fs.snapshot(kTarget); }

  MemoryFileSystem fs;
  Result<Unit> result = Unit{};
};

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

TEST(PackageReaderTest, ExtractsATreeWithExactBytesAndZip64Records) {
  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes.push_back(static_cast<char>(i));
  const std::string large = randomBytesOf(300 * 1024, 7) + std::string(200 * 1024, 'z');
  const auto attributes = [](std::uint32_t value) {
    return [value](ZipBuilderEntry& e) { e.method = 0, e.externalAttributes = value; };
  };
  const std::string zip =
      ZipBuilder()
          .folder("bin/")
          .add(entry("bin/tool.exe", allBytes, attributes(unixMode(0100755))))
          .add(entry("bin\\lib\\core.dll", large, [](auto& e) { e.zip64 = true; }))
          .file("empty.txt", "", 0)
          .file("empty-deflated.txt", "", 8)
          .file("caf\xC3\xA9/\xE6\x97\xA5.txt", "unicode")
          // Folders marked only by their attributes.
          .add(entry("dosdir", "", attributes(0x10)))
          .add(entry("unixdir", "", attributes(unixMode(040755))))
          .add(entry("dosdir/x.txt", "x", [](auto& e) { e.method = 0, e.zip64 = true; }))
          .zip64End()
          .build();
  Result<PackageReader> reader = openBytes(zip);
  ASSERT_THAT(reader, IsOkay());
  EXPECT_EQ(reader->entries()[1].mode, 0100755u);
  Extraction extraction(zip);
  ASSERT_THAT(extraction.result, IsOkay());
  EXPECT_EQ(extraction.tree(), (Snapshot{{"bin\\", ""}, {"bin\\tool.exe", allBytes},
                                         {"bin\\lib\\", ""}, {"bin\\lib\\core.dll", large},
                                         {"empty.txt", ""}, {"empty-deflated.txt", ""},
                                         {"caf\xC3\xA9\\", ""}, {"caf\xC3\xA9\\\xE6\x97\xA5.txt", "unicode"},
                                         {"dosdir\\", ""}, {"dosdir\\x.txt", "x"}, {"unixdir\\", ""}}));

  // An end record mimicked by the comment, whose comment length falls short.
  const std::string fake = std::string("PK\x05\x06", 4) + std::string(16, '\x7F') +
                           std::string("\x02\x00", 2) + "abcdefgh";
  Extraction behindComment(ZipBuilder().file("a.txt", "content").comment(fake).build());
  EXPECT_EQ(behindComment.tree(), (Snapshot{{"a.txt", "content"}}));
}

TEST(PackageReaderTest, KeepsEntriesInStoredOrderAndCountsThemAgainstTheLimitFirst) {
  constexpr int kCount = 30000;
  const PackageLimits limits{kGiB, kCount};
  ZipBuilder fits;
  ZipBuilder over;
  over.file("../first", "", 0);
  for (int i = 0; i < kCount; ++i) {
    fits.file(std::to_string(i), "", 0);
    over.file(std::to_string(i), "", 0);
  }
  const std::string full = fits.zip64End().build();
  Result<PackageReader> reader = openBytes(full, limits);
  ASSERT_THAT(reader, IsOkay());
  // In stored order ("10" before "2" would be sorted), across many read windows.
  ASSERT_EQ(reader->entries().size(), std::size_t{kCount});
  for (std::uint32_t i = 0; i < kCount; ++i) {
    ASSERT_EQ(joinedPath(*reader->components(reader->entries()[i])), std::to_string(i));
  }
  EXPECT_THAT(openBytes(over.zip64End().build(), limits),
              FailsWith(ErrorCode::tooLarge, "the package has 30001 entries, more than the limit of 30000"));
}

// What an archive can do wrong that the helper's attack table leaves out.
TEST(PackageReaderTest, RefusesArchivesAndEntriesItMustNotRead) {
  const std::string zip = ZipBuilder().file("a.txt", "content").build();
  const std::string zip64 = ZipBuilder().file("a.txt", "content").zip64End().build();
  const std::size_t end = zip.size() - 22;
  auto changed = [](std::string bytes, std::size_t at, char value) {
    bytes[at] = value;
    return bytes;
  };
  auto after = [](ZipBuilderEntry e) { return ZipBuilder().file("first.txt", "x").add(e).build(); };
  auto attributes = [](std::uint32_t value) { return [value](ZipBuilderEntry& e) { e.externalAttributes = value; }; };
  auto twoFiles = [](const char* a, const char* b) { return ZipBuilder().file(a, "", 0).file(b, "", 0).build(); };
  const std::string notZip = "not a readable zip archive: ";
  const std::string damaged = "entry 1 has a damaged header: ";
  std::string badSignature = ZipBuilder().file("a.txt", "x").file("b.txt", "y").build();
  badSignature[badSignature.rfind(std::string("PK\x01\x02", 4)) + 3] = '\x09';
  const struct {
    const char* name;
    std::string bytes;
    ErrorCode code;
    std::string message;
  } cases[] = {
      {"Empty", ZipBuilder().build(), ErrorCode::damaged, "the package is empty"},
      {"TooSmall", "PK", ErrorCode::damaged, notZip + "the archive is too small to hold an end record"},
      {"NoEndRecord", std::string(1000, 'x'), ErrorCode::damaged, notZip + "no end of central directory record was found"},
      {"DirectoryOutside", changed(zip, end + 16, '\x7F'), ErrorCode::damaged, notZip + "the central directory lies outside the archive"},
      {"DirectoryTooSmall", changed(changed(zip, end + 8, '\x09'), end + 10, '\x09'), ErrorCode::damaged,
       notZip + "the central directory is too small for its entry count"},
      {"SpansDisks", changed(zip, end + 4, '\x01'), ErrorCode::damaged, notZip + "the archive spans several disks"},
      {"Zip64RecordOutside", changed(zip64, zip64.size() - 22 - 20 + 8, '\x7F'), ErrorCode::damaged,
       notZip + "the zip64 end of central directory record lies outside the archive"},
      {"Zip64RecordDamaged", changed(zip64, zip64.size() - 22 - 20 - 56, 'X'), ErrorCode::damaged,
       notZip + "the zip64 end of central directory record is damaged"},
      {"DataOutside", after(entry("a.txt", "data", [](auto& e) { e.localHeaderOffset = 0x7FFFFFF0; })),
       ErrorCode::damaged, damaged + "the entry's data lies outside the archive"},
      {"SaturatedWithoutZip64", after(entry("a.txt", "data", [](auto& e) { e.uncompressedSize = 0xFFFFFFFF; })),
       ErrorCode::damaged, damaged + "the zip64 extra field is missing"},
      {"RecordSignature", badSignature, ErrorCode::damaged, damaged + "the record has no central directory signature"},
      {"Device", after(entry("tty", "data", attributes(unixMode(0020666)))), ErrorCode::badLayout,
       "package entry \"tty\" is a device, pipe or socket"},
      {"Fifo", after(entry("fifo", "data", attributes(unixMode(0010644)))), ErrorCode::badLayout,
       "package entry \"fifo\" is a device, pipe or socket"},
      {"FolderLink", after(entry("dir/", "data", attributes(unixMode(0120777)))), ErrorCode::badLayout,
       "package entry \"dir/\" is a symbolic link"},
      {"FolderWithData", after(entry("dir/", std::string(512, 'x'), [](auto& e) { e.method = 0; })),
       ErrorCode::badLayout, "package entry \"dir/\" is a directory with data"},
      {"UnixFolderWithData", after(entry("u", "data", attributes(unixMode(040755)))), ErrorCode::badLayout,
       "package entry \"u\" is a directory with data"},
      {"DosFolderWithData", after(entry("d", "data", attributes(0x10))), ErrorCode::badLayout,
       "package entry \"d\" is a directory with data"},
      {"StrongEncryption", after(entry("s", "data", [](auto& e) { e.flags = kZipFlagStrongEncryption; })),
       ErrorCode::badLayout, "package entry \"s\" is encrypted"},
      {"Bzip2", after(entry("bz", "data", [](auto& e) { e.method = 12; })), ErrorCode::badLayout,
       "package entry \"bz\" uses compression method 12 (only stored and deflate are allowed)"},
      {"Patch", after(entry("p", "data", [](auto& e) { e.flags = kZipFlagPatch; })), ErrorCode::badLayout,
       "package entry \"p\" uses zip features this reader doesn't support"},
      {"Hollow", after(entry("h", "data", [](auto& e) { e.uncompressedSize = 10, e.storedData = ""; })),
       ErrorCode::damaged, "package entry \"h\" declares data but stores none"},
      {"FileAndFolder", twoFiles("dir", "dir/"), ErrorCode::badLayout, "package entry \"dir/\" appears twice (ignoring case)"},
      {"Backslash", twoFiles("a\\b.txt", "a/b.txt"), ErrorCode::badLayout, "package entry \"a/b.txt\" appears twice (ignoring case)"},
      {"LongSInsideAFile", twoFiles("\xC5\xBF", "s/x"), ErrorCode::badLayout, "package entry \"s/x\" lies inside a file"},
      {"FileOverAFolder", ZipBuilder().file("X/y/z", "below").file("x", "file").build(), ErrorCode::badLayout,
       "package entry \"X/y/z\" lies inside a file"},
      {"SizesOverflow",
       ZipBuilder().add(entry("a", "data", [](auto& e) { e.uncompressedSize = 1, e.zip64 = true; }))
           .add(entry("b", "data", [](auto& e) { e.uncompressedSize = ~std::uint64_t{0}, e.zip64 = true; })).build(),
       ErrorCode::tooLarge, "the package expands to more than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(openBytes(c.bytes), FailsWith(c.code, c.message));
  }
  // Neighbours that are no clash: a folder and its file; sharp s has no upper case.
  EXPECT_THAT(openBytes(ZipBuilder().folder("x/").file("x/y", "below").build()), IsOkay());
  EXPECT_THAT(openBytes(twoFiles("\xC3\x9F", "SS")), IsOkay());
  // With a data descriptor the local sizes and CRC may be zero.
  std::string described = ZipBuilder().add(entry("b.txt", "data", [](auto& e) { e.flags = 0x0008; })).build();
  for (std::size_t at = 14; at < 26; ++at) described[at] = 0;
  EXPECT_THAT(openBytes(described), IsOkay());
}

// Data that lies about itself is caught while it is written, and never grows
// a file past what its entry declared.
TEST(PackageReaderTest, RefusesDataThatDoesNotMatchItsDeclaration) {
  const std::string cutContent = randomBytesOf(5000, 11);
  const std::string stream = deflateRaw(cutContent);
  auto declares = [](std::uint64_t size, bool store) {
    return [size, store](ZipBuilderEntry& e) { e.uncompressedSize = size, e.method = store ? 0 : 8; };
  };
  const struct {
    ZipBuilderEntry entry;
    ErrorCode code;
    std::string message;
  } cases[] = {
      {entry("longer.txt", "0123456789", declares(5, true)), ErrorCode::tooLarge,
       "a package entry inflates past its declared size"},
      {entry("stored.txt", "0123456789", declares(20, true)), ErrorCode::damaged,
       "package entry \"stored.txt\" is shorter than declared"},
      {entry("deflated.txt", "0123456789", declares(20, false)), ErrorCode::damaged,
       "package entry \"deflated.txt\" is shorter than declared"},
      {entry("cut.bin", cutContent, [&](auto& e) { e.storedData = stream.substr(0, stream.size() / 2); }),
       ErrorCode::damaged, "package entry \"cut.bin\" is damaged: the compressed data ends early"},
      {entry("garbage.bin", "abc", [](auto& e) { e.storedData = std::string(4, '\xFF'); }), ErrorCode::damaged,
       "package entry \"garbage.bin\" is damaged: the compressed data is invalid"},
      {entry("crc.txt", "the content", [](auto& e) { e.crc32 = 0x12345678, e.method = 0; }),
       ErrorCode::damaged, "package entry \"crc.txt\" is damaged: CRC-32 mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry.name);
    Extraction extraction(ZipBuilder().file("a.txt", "aaaaaaaaaaaaaaaa", 0).add(c.entry).build());
    EXPECT_THAT(extraction.result, FailsWith(c.code, c.message));
    const std::uint64_t declared = c.entry.uncompressedSize.value_or(c.entry.content.size());
    for (const auto& [path, content] : extraction.tree()) {
      EXPECT_LE(content.size(), std::max<std::uint64_t>(declared, 16)) << path;
    }
  }
  // A file already in the target is never replaced.
  MemoryFileSystem fs;
  fs.addFile(kTarget / "a.txt", "already here");
  const std::string zip = ZipBuilder().file("a.txt", "new").build();
  Result<PackageReader> reader = openBytes(zip);
  EXPECT_THAT(extractAll(*reader, fs, kTarget),
              FailsWithMessageThat(::testing::StartsWith(
                  "package entry \"a.txt\" collides with another entry: can't create ")));
  EXPECT_EQ(fs.fileContent(kTarget / "a.txt"), "already here");
}

// Cut short anywhere, or with any byte unreadable, an archive is refused as
// damaged or extracts exactly what the whole one does.
TEST(PackageReaderTest, FailsCleanlyWhenTruncatedOrUnreadableAnywhere) {
  const std::string zip = ZipBuilder()
                              .folder("d/")
                              .file("s.txt", "stored content", 0)
                              .file("d/x.bin", randomBytesOf(3000, 5))
                              .add(entry("w/z.bin", randomBytesOf(2000, 9), [](auto& e) { e.zip64 = true; }))
                              .zip64End()
                              .build();
  for (std::size_t size = 0; size < zip.size(); ++size) {
    EXPECT_THAT(openBytes(zip.substr(0, size)), FailsWithCode(ErrorCode::damaged)) << "size " << size;
  }
  const Snapshot whole = Extraction(zip).tree();
  for (std::size_t hole = 0; hole < zip.size(); hole += 7) {
    SCOPED_TRACE(hole);
    const ReadAt full = memoryReadAt(zip);
    Extraction extraction(zip, [&full, hole](std::uint64_t offset, std::span<std::uint8_t> bytes) {
      return !(offset <= hole && hole < offset + bytes.size()) && full(offset, bytes);
    });
    if (extraction.result) {
      EXPECT_EQ(extraction.tree(), whole);  // only bytes nothing needs, such as a local name
    } else {
      EXPECT_EQ(extraction.result.error().code, ErrorCode::damaged) << extraction.result.error();
    }
  }
}

}  // namespace
}  // namespace loftswitch
