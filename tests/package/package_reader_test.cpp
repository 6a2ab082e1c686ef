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
const std::filesystem::path kTarget = std::filesystem::path("C:/stage") / "new";

Result<PackageReader> openBytes(const std::string& zip) { return openPackage(memoryReadAt(zip), zip.size(), kLimits); }

// Extracts into kTarget, beside a file that must stay as it is.
struct Extraction {
  explicit Extraction(const std::string& zip, ReadAt readAt = {}) {
    fs.addFolder(kTarget);
    fs.addFile(kTarget.parent_path() / "beside.txt", "kept");
    Result<PackageReader> reader = openPackage(readAt ? readAt : memoryReadAt(zip), zip.size(), kLimits);
    result = reader ? extractAll(*reader, fs, kTarget) : fail(reader.error());
    EXPECT_EQ(fs.snapshot(kTarget.parent_path()).size(), fs.snapshot(kTarget).size() + 2);
  }
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
  ZipBuilderEntry e{.name = std::move(name), .content = std::move(content)};
  if (change) change(e);
  return e;
}
std::function<void(ZipBuilderEntry&)> attributes(std::uint32_t value) {
  return [value](ZipBuilderEntry& e) { e.method = 0, e.externalAttributes = value; };
}

// What an archive can do wrong that the hostile archives leave out.
TEST(PackageReaderTest, RefusesArchivesAndEntriesItMustNotRead) {
  const std::string zip = ZipBuilder().file("a.txt", "content").build();
  const std::string zip64 = ZipBuilder().file("a.txt", "content").zip64End().build();
  const std::size_t end = zip.size() - 22, end64 = zip64.size() - 22 - 20;
  auto changed = [](std::string bytes, std::size_t at, char value) { return bytes[at] = value, bytes; };
  auto after = [](ZipBuilderEntry e) { return ZipBuilder().file("first.txt", "x").add(e).build(); };
  auto with = [&](const char* name, std::function<void(ZipBuilderEntry&)> change) {
    return after(entry(name, "data", change));
  };
  const std::string notZip = "not a readable zip archive: ";
  const std::string damaged = "entry 1 has a damaged header: ";
  const struct {
    const char* name;
    std::string bytes;
    ErrorCode code;
    std::string message;
  } cases[] = {
      {"DirectoryOutside", changed(zip, end + 16, '\x7F'), ErrorCode::damaged, notZip + "the central directory lies outside the archive"},
      {"DirectoryTooSmall", changed(changed(zip, end + 8, '\x09'), end + 10, '\x09'), ErrorCode::damaged,
       notZip + "the central directory is too small for its entry count"},
      {"Zip64LocatorAtTheStart", std::string("PK\x06\x07\0\0\0\0\0\0\0\0\0\0\0\0\x01\0\0\0PK\x05\x06", 24) + std::string(18, '\0'),
       ErrorCode::damaged, notZip + "the zip64 end of central directory record lies outside the archive"},
      {"Zip64RecordDamaged", changed(zip64, end64 - 56, 'X'), ErrorCode::damaged,
       notZip + "the zip64 end of central directory record is damaged"},
      {"DataOutside", with("a.txt", [](auto& e) { e.localHeaderOffset = 0x7FFFFFF0; }), ErrorCode::damaged,
       damaged + "the entry's data lies outside the archive"},
      {"SaturatedWithoutZip64", with("a.txt", [](auto& e) { e.uncompressedSize = 0xFFFFFFFF; }), ErrorCode::damaged,
       damaged + "the zip64 extra field is missing"},
      {"Device", with("tty", attributes(unixMode(0020666))), ErrorCode::badLayout, "package entry \"tty\" is a device, pipe or socket"},
      {"FolderWithData", with("d", attributes(0x10)), ErrorCode::badLayout, "package entry \"d\" is a directory with data"},
      {"Bzip2", with("bz", [](auto& e) { e.method = 12; }), ErrorCode::badLayout,
       "package entry \"bz\" uses compression method 12 (only stored and deflate are allowed)"},
      {"Hollow", with("h", [](auto& e) { e.uncompressedSize = 10, e.storedData = ""; }), ErrorCode::damaged,
       "package entry \"h\" declares data but stores none"},
      {"SizesOverflow",
       ZipBuilder().add(entry("a", "data", [](auto& e) { e.uncompressedSize = 1, e.zip64 = true; }))
           .add(entry("b", "data", [](auto& e) { e.uncompressedSize = ~std::uint64_t{0}, e.zip64 = true; })).build(),
       ErrorCode::tooLarge, "the package expands to more than 1048576 bytes"},
      {"DeclaredTotalOverTheLimit", ZipBuilder().add(entry("a", "x", [](auto& e) { e.uncompressedSize = 600000; }))
           .add(entry("b", "x", [](auto& e) { e.uncompressedSize = 600000; })).build(),
       ErrorCode::tooLarge, "the package expands to more than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    EXPECT_THAT(openBytes(c.bytes), FailsWith(c.code, c.message)) << c.name;
  }
  // No clash: sharp s has no simple upper case. With a data descriptor the
  // local sizes and CRC may be zero.
  EXPECT_THAT(openBytes(ZipBuilder().file("\xC3\x9F", "").file("SS", "").build()), IsOkay());
  // A comment may end in bytes that read as an empty comment's length.
  EXPECT_THAT(openBytes(changed(zip, zip.size() - 2, '\x02') + std::string(2, '\0')), IsOkay());
  std::string described = ZipBuilder().add(entry("b.txt", "data", [](auto& e) { e.flags = 0x0008; })).build();
  for (std::size_t at = 14; at < 26; ++at) described[at] = 0;
  EXPECT_THAT(openBytes(described), IsOkay());
}

// Whole, it extracts exactly; cut short anywhere, or with any byte
// unreadable, it is refused as damaged or extracts exactly the same.
TEST(PackageReaderTest, ExtractsExactlyOrFailsCleanlyWhenTruncatedOrUnreadableAnywhere) {
  const std::string x = randomBytesOf(3000, 5), z = randomBytesOf(2000, 9);
  const std::string zip = ZipBuilder()
                              .folder("d/")
                              .file("s.txt", "stored content", 0)
                              .file("d/x.bin", x)
                              .add(entry("w/z.bin", z, [](auto& e) { e.zip64 = true; }))
                              .add(entry("o.txt", "at a wide offset", [](auto& e) { e.zip64Offset = true; }))
                              .add(entry("dos", "", attributes(0x10)))
                              // Near the rules, on the right side: no device, no short name.
                              .file("comic.png", "", 0).file("release~notes.txt", "", 0).file("abcdef~12", "", 0)
                              .file("ab~1.html", "", 0)
                              .add(entry("caf\xC3\xA9", "", attributes(unixMode(040755))))
                              .zip64End()
                              .build();
  for (std::size_t size = 0; size < zip.size(); ++size) {
    EXPECT_THAT(openBytes(zip.substr(0, size)), FailsWithCode(ErrorCode::damaged)) << "size " << size;
  }
  Extraction first(zip);
  const Snapshot whole = first.fs.snapshot(kTarget);
  // A file already in the target is never replaced.
  Result<PackageReader> again = openBytes(zip);
  EXPECT_THAT(extractAll(*again, first.fs, kTarget), FailsWithMessageThat(::testing::HasSubstr("collides with another entry")));
  EXPECT_EQ(first.fs.snapshot(kTarget), whole);
  EXPECT_EQ(whole, (Snapshot{{"d\\", ""}, {"s.txt", "stored content"}, {"d\\x.bin", x}, {"w\\", ""},
                             {"w\\z.bin", z}, {"o.txt", "at a wide offset"}, {"dos\\", ""}, {"comic.png", ""},
                             {"release~notes.txt", ""}, {"abcdef~12", ""}, {"ab~1.html", ""}, {"caf\xC3\xA9\\", ""}}));
  for (std::size_t hole = 0; hole < zip.size(); hole += 7) {
    const ReadAt full = memoryReadAt(zip);
    Extraction extraction(zip, [&full, hole](std::uint64_t offset, std::span<std::uint8_t> bytes) {
      return !(offset <= hole && hole < offset + bytes.size()) && full(offset, bytes);
    });
    if (extraction.result) {
      EXPECT_EQ(extraction.fs.snapshot(kTarget), whole) << hole;  // only bytes nothing needs
    } else {
      EXPECT_EQ(extraction.result.error().code, ErrorCode::damaged) << hole << extraction.result.error();
    }
  }
}

}  // namespace
}  // namespace loftswitch
