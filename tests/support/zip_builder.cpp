#include "support/zip_builder.h"

#include "pack/delta_maker.h"
#include "package/package_reader.h"
#include "support/temp_folder.h"

#include <zlib.h>
#include <zstd.h>

#include <cstring>
#include <stdexcept>

namespace loftswitch {
namespace {

// Little-endian, as zip writes every number.
void put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t crcOf(std::string_view bytes) {
  return static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

// Raw deflate, as zip stores it.
std::string deflateRaw(std::string_view content) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("deflateInit2 failed");
  std::string out(deflateBound(&stream, static_cast<uLong>(content.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data())), stream.avail_in = static_cast<uInt>(content.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data()), stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out.resize(stream.total_out), out;
}

}  // namespace

ReadAt memoryReadAt(const std::string& bytes) {
  return [&bytes](std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset > bytes.size() || out.size() > bytes.size() - offset) return false;
    std::memcpy(out.data(), bytes.data() + offset, out.size());
    return true;
  };
}

std::string zipOf(const std::map<std::string, std::string>& files) {
  ZipBuilder zip;
  for (const auto& [name, content] : files) {
    if (name.ends_with('/')) {
      zip.folder(name);
    } else {
      zip.file(name, content, content.size() % 2 == 0 && content.size() < 0x10000 ? 8 : 0);
    }
  }
  return zip.build();
}

std::string zstdFrame(std::string_view bytes) {
  std::string frame(ZSTD_compressBound(bytes.size()), '\0');
  frame.resize(ZSTD_compress(frame.data(), frame.size(), bytes.data(), bytes.size(), 3));
  return frame;
}

std::string zstdContent(std::string_view frame) {
  std::string bytes(ZSTD_getFrameContentSize(frame.data(), frame.size()), '\0');
  bytes.resize(ZSTD_decompress(bytes.data(), bytes.size(), frame.data(), frame.size()));
  return bytes;
}

std::map<std::string, std::string> zipEntries(const std::string& zip) {
  std::map<std::string, std::string> files;
  PackageReader reader = openPackage(memoryReadAt(zip), zip.size(), {1 << 30, 1000}).value();
  for (const PackageEntry& entry : reader.entries()) {
    if (entry.kind == PackageEntryKind::folder) continue;
    std::string& content = files[joinedPath(reader.components(entry).value())];
    if (!reader.read(entry, [&](std::string_view piece) { return content += piece, ok(); })) {
      throw std::runtime_error("can't read an entry");
    }
  }
  return files;
}

std::string deltaBetween(const std::string& from, const std::string& to, MadeDelta* made) {
  TempFolder temp;
  writeTestFile(temp / "from.zip", from);
  writeTestFile(temp / "to.zip", to);
  const auto result = makeDelta(temp / "from.zip", temp / "to.zip", temp / "delta.zip");
  if (!result) return {};
  if (made != nullptr) *made = *result;
  return readTestFile(temp / "delta.zip");
}

ZipBuilder& ZipBuilder::file(std::string name, std::string content, std::uint16_t method) {
  return add({.name = std::move(name), .content = std::move(content), .method = method});
}

ZipBuilder& ZipBuilder::folder(std::string name) {
  return add({.name = std::move(name), .method = 0, .externalAttributes = unixMode(040755) | 0x10});
}

std::string ZipBuilder::build() const {
  std::string out;
  std::string central;
  for (const ZipBuilderEntry& entry : entries_) {
    const std::string data = entry.storedData ? *entry.storedData
                             : entry.method == 8 ? deflateRaw(entry.content)
                                                 : entry.content;
    const std::uint32_t crc = entry.crc32.value_or(crcOf(entry.content));
    const std::uint64_t compressed = entry.compressedSize.value_or(data.size());
    const std::uint64_t uncompressed = entry.uncompressedSize.value_or(entry.content.size());
    const std::uint64_t offset = entry.localHeaderOffset.value_or(out.size());
    const bool wideOffset = entry.zip64 || entry.zip64Offset;
    const std::uint16_t version = wideOffset ? 45 : 20;

    // The local extra field holds both sizes, the central one the offset too.
    std::string zip64Extra;
    if (entry.zip64) {
      put(zip64Extra, 0x0001, 2), put(zip64Extra, 16, 2);
      put(zip64Extra, uncompressed, 8), put(zip64Extra, compressed, 8);
    }
    const std::string localExtra = zip64Extra;
    if (entry.zip64Offset) put(zip64Extra, 0x0001, 2), put(zip64Extra, 0, 2);
    if (wideOffset) zip64Extra[2] = static_cast<char>(zip64Extra.size() + 4), put(zip64Extra, offset, 8);

    // From the version needed to the name's length, local header and central
    // record agree.
    std::string common;
    put(common, version, 2), put(common, entry.flags, 2), put(common, entry.method, 2);
    put(common, 0, 4), put(common, crc, 4);  // time and date, CRC
    put(common, entry.zip64 ? 0xFFFFFFFF : compressed, 4);
    put(common, entry.zip64 ? 0xFFFFFFFF : uncompressed, 4);
    put(common, entry.name.size(), 2);

    put(out, 0x04034b50, 4);
    out += common;
    put(out, localExtra.size(), 2);
    out += entry.name + localExtra + data;

    put(central, 0x02014b50, 4), put(central, (3 << 8) | version, 2);  // made on Unix
    central += common;
    put(central, zip64Extra.size(), 2), put(central, 0, 6);  // comment, disk, internal attributes
    put(central, entry.externalAttributes, 4), put(central, wideOffset ? 0xFFFFFFFF : offset, 4);
    central += entry.name + zip64Extra;
  }

  const std::uint64_t directoryOffset = out.size();
  out += central;
  if (zip64End_) {
    const std::uint64_t recordOffset = out.size();
    put(out, 0x06064b50, 4), put(out, 44, 8), put(out, 45, 2), put(out, 45, 2), put(out, 0, 8);
    put(out, entries_.size(), 8), put(out, entries_.size(), 8);
    put(out, central.size(), 8), put(out, directoryOffset, 8);
    put(out, 0x07064b50, 4), put(out, 0, 4), put(out, recordOffset, 8), put(out, 1, 4);
  }
  put(out, 0x06054b50, 4), put(out, 0, 4);
  put(out, zip64End_ ? 0xFFFF : entries_.size(), 2), put(out, zip64End_ ? 0xFFFF : entries_.size(), 2);
  put(out, zip64End_ ? 0xFFFFFFFF : central.size(), 4);
  put(out, zip64End_ ? 0xFFFFFFFF : directoryOffset, 4);
  put(out, 0, 2);  // comment
  return out;
}

namespace {

ZipBuilderEntry hostileEntry(std::string name, std::uint16_t method = 8) {
  return {.name = std::move(name), .content = "data", .method = method};
}

}  // namespace

const std::vector<HostileArchive>& hostileArchives() {
  static const std::vector<HostileArchive> archives = [] {
    const auto base = [] { return ZipBuilder().file("demo.exe", "new exe").file("lib/data.txt", "d"); };
    const auto named = [&](std::string name) { return base().add(hostileEntry(name)).build(); };
    const auto pair = [&](std::string a, std::string b) { return base().file(a, "", 0).file(b, "", 0).build(); };
    const auto flipped = [&](std::size_t at, int bit = 1) { std::string bytes = base().build(); return bytes[at] ^= static_cast<char>(bit), bytes; };
    const std::string entry = "package entry ";
    // An archive with one entry of that name, refused with that detail after the name.
    const auto rule = [&](const char* title, std::string name, std::string detail) {
      return HostileArchive{title, named(name), entry + "\"" + name + "\" " + detail};
    };
    const std::string notZip = "not a readable zip archive: ";
    const std::string disagrees = "package entry \"demo.exe\" has a local header that disagrees with the central directory";
    std::string deep;
    for (int i = 0; i < 128; ++i) deep += "d/";
    std::vector<HostileArchive> all = {
        rule("Traversal", "lib/../../evil.exe", "climbs with \"..\""),
        rule("AbsoluteName", "/etc/passwd", "is an absolute path"),
        rule("BackslashAbsoluteName", "\\evil.exe", "is an absolute path"),
        rule("DriveName", "C:evil.exe", "contains ':' (a drive letter or an alternate data stream)"),
        rule("ReservedName", ".LoftSwitch/journal.json", "uses the reserved name .loftswitch"),
        rule("ReservedNameInUnicodeCase", ".loft\xC5\xBFwitch/x", "uses the reserved name .loftswitch"),
        rule("ForbiddenCharacter", "lib/a?.txt", "contains '?', which Windows forbids"),
        {"NotUtf8", named("lib/\xFF.txt"), entry + "\"lib/\\xff.txt\" is not valid UTF-8"},
        rule("TooDeep", deep + "f", "is nested more than 128 levels deep"),
        rule("DeviceName", "lib/con.txt", "uses the Windows device name \"con.txt\""),
        rule("DeviceNameBeforeASpace", "lib/nul .txt", "uses the Windows device name \"nul .txt\""),
        rule("SuperscriptPort", "lib/COM\xC2\xB9.log", "uses the Windows device name \"COM\xC2\xB9.log\""),
        {"C1Control", named("lib/\xC2\x85?.txt"), entry + "\"lib/\\xc2\\x85?.txt\" contains a control character"},
        rule("TrailingDot", "lib/x. ", "has a component ending in '.' or a space, which Windows strips"),
        {"AsciiCaseClash", pair("A/b.txt", "a/B.TXT"), entry + "\"a/B.TXT\" appears twice (ignoring case)"},
        {"UnicodeCaseClash", pair("\xC3\x84.txt", "\xC3\xA4.txt"), entry + "\"\xC3\xA4.txt\" appears twice (ignoring case)"},
        {"SigmaCaseClash", pair("\xCE\xA3/a", "\xCF\x83/A"), entry + "\"\xCF\x83/A\" appears twice (ignoring case)"},
        {"InsideAFile", pair("x", "X/y"), entry + "\"X/y\" lies inside a file"},
        {"ShortNameOfAnotherEntry", pair("Some Long Folder/a.txt", "SOMELO~1/b.dll"),
         entry + "\"SOMELO~1/b.dll\" is shaped like the Windows short name \"SOMELO~1\", which can stand for another entry"},
        {"LocalFlags", flipped(6), disagrees},
        {"LocalDataDescriptorFlag", flipped(6, 0x08), disagrees},
        {"LocalMethod", flipped(8), disagrees},
        {"LocalCrc", flipped(14), disagrees},
        {"LocalCompressedSize", flipped(18), disagrees},
        {"LocalSize", flipped(22), disagrees},
        {"LocalName", flipped(30), disagrees},
    };
    const auto with = [&](ZipBuilderEntry e) { return base().add(std::move(e)).build(); };
    all.push_back({"SymbolicLink", with({.name = "lib/current", .content = "data", .externalAttributes = unixMode(0120777)}),
                   entry + "\"lib/current\" is a symbolic link"});
    all.push_back({"Encrypted", with({.name = "secret", .content = "data", .flags = kZipFlagEncrypted}),
                   entry + "\"secret\" is encrypted"});
    ZipBuilderEntry covering = hostileEntry("a", 0);
    covering.compressedSize = 4 + 31 + 4;  // over "b"'s local header and data
    all.push_back({"OverlappingEntries", base().add(covering).add(hostileEntry("b", 0)).build(),
                   notZip + "entry 3 overlaps entry 2"});
    covering.compressedSize = 4 + 20;
    all.push_back({"EntryOverTheDirectory", ZipBuilder().add(covering).build(),
                   notZip + "entry 0 overlaps the central directory"});
    all.push_back({"LocalHeaderInsideAnotherEntry", with({.name = "b.txt", .content = "data", .localHeaderOffset = 4}),
                   entry + "\"b.txt\" has a damaged local header"});
    std::string gap = base().build();
    gap.insert(gap.size() - 22, "gap!");  // before the end record, which still names the directory
    all.push_back({"GapBeforeTheEndRecord", gap, notZip + "the central directory doesn't end where the end record begins"});
    std::string contradicting = base().zip64End().build();
    contradicting[contradicting.size() - 12] = 1;  // the classic count, no longer saturated
    all.push_back({"Zip64ContradictsTheEndRecord", contradicting,
                   notZip + "the zip64 end record contradicts the end record"});
    return all;
  }();
  return archives;
}

}  // namespace loftswitch
