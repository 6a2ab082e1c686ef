#include "support/zip_builder.h"

#include <zlib.h>

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

}  // namespace

std::string deflateRaw(std::string_view content) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&stream, static_cast<uLong>(content.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  stream.avail_in = static_cast<uInt>(content.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) throw std::runtime_error("deflate failed");
  out.resize(stream.total_out);
  return out;
}

ReadAt memoryReadAt(const std::string& bytes) {
  return [&bytes](std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset > bytes.size() || out.size() > bytes.size() - offset) return false;
    std::memcpy(out.data(), bytes.data() + offset, out.size());
    return true;
  };
}

ZipBuilder& ZipBuilder::file(std::string name, std::string content, std::uint16_t method) {
  ZipBuilderEntry entry;
  entry.name = std::move(name);
  entry.content = std::move(content);
  entry.method = method;
  return add(std::move(entry));
}

ZipBuilder& ZipBuilder::folder(std::string name) {
  ZipBuilderEntry entry;
  entry.name = std::move(name);
  entry.method = 0;
  entry.externalAttributes = unixMode(040755) | 0x10;
  return add(std::move(entry));
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
    const std::uint16_t version = entry.zip64 ? 45 : 20;

    std::string zip64Extra;
    std::string localExtra;
    if (entry.zip64) {
      put(localExtra, 0x0001, 2);
      put(localExtra, 16, 2);
      put(localExtra, uncompressed, 8);
      put(localExtra, compressed, 8);
      put(zip64Extra, 0x0001, 2);
      put(zip64Extra, 24, 2);
      put(zip64Extra, uncompressed, 8);
      put(zip64Extra, compressed, 8);
      put(zip64Extra, offset, 8);
    }

    put(out, 0x04034b50, 4);
    put(out, version, 2);
    put(out, entry.flags, 2);
    put(out, entry.method, 2);
    put(out, 0, 4);  // time and date
    put(out, crc, 4);
    put(out, entry.zip64 ? 0xFFFFFFFF : compressed, 4);
    put(out, entry.zip64 ? 0xFFFFFFFF : uncompressed, 4);
    put(out, entry.name.size(), 2);
    put(out, localExtra.size(), 2);
    out += entry.name;
    out += localExtra;
    out += data;

    put(central, 0x02014b50, 4);
    put(central, (3 << 8) | version, 2);  // made on Unix
    put(central, version, 2);
    put(central, entry.flags, 2);
    put(central, entry.method, 2);
    put(central, 0, 4);
    put(central, crc, 4);
    put(central, entry.zip64 ? 0xFFFFFFFF : compressed, 4);
    put(central, entry.zip64 ? 0xFFFFFFFF : uncompressed, 4);
    put(central, entry.name.size(), 2);
    put(central, zip64Extra.size(), 2);
    put(central, 0, 2);  // comment
    put(central, 0, 2);  // disk
    put(central, 0, 2);  // internal attributes
    put(central, entry.externalAttributes, 4);
    put(central, entry.zip64 ? 0xFFFFFFFF : offset, 4);
    central += entry.name;
    central += zip64Extra;
  }

  const std::uint64_t directoryOffset = out.size();
  out += central;
  if (zip64End_) {
    const std::uint64_t recordOffset = out.size();
    put(out, 0x06064b50, 4);
    put(out, 44, 8);
    put(out, 45, 2);
    put(out, 45, 2);
    put(out, 0, 4);
    put(out, 0, 4);
    put(out, entries_.size(), 8);
    put(out, entries_.size(), 8);
    put(out, central.size(), 8);
    put(out, directoryOffset, 8);
    put(out, 0x07064b50, 4);
    put(out, 0, 4);
    put(out, recordOffset, 8);
    put(out, 1, 4);
  }
  put(out, 0x06054b50, 4);
  put(out, 0, 2);
  put(out, 0, 2);
  put(out, zip64End_ ? 0xFFFF : entries_.size(), 2);
  put(out, zip64End_ ? 0xFFFF : entries_.size(), 2);
  put(out, zip64End_ ? 0xFFFFFFFF : central.size(), 4);
  put(out, zip64End_ ? 0xFFFFFFFF : directoryOffset, 4);
  put(out, comment_.size(), 2);
  out += comment_;
  return out;
}

namespace {

ZipBuilderEntry hostileEntry(std::string name, std::uint16_t method = 8) {
  ZipBuilderEntry entry;
  entry.name = std::move(name);
  entry.content = "data";
  entry.method = method;
  return entry;
}

}  // namespace

const std::vector<HostileArchive>& hostileArchives() {
  static const std::vector<HostileArchive> archives = [] {
    const auto base = [] { return ZipBuilder().file("demo.exe", "new exe").file("lib/data.txt", "d"); };
    const auto named = [&](std::string name) { return base().add(hostileEntry(name)).build(); };
    const auto pair = [&](std::string a, std::string b) { return base().file(a, "", 0).file(b, "", 0).build(); };
    const auto flipped = [&](std::size_t at, int bit = 1) {
      std::string bytes = base().build();
      bytes[at] = static_cast<char>(bytes[at] ^ bit);
      return bytes;
    };
    const std::string entry = "package entry ";
    const std::string notZip = "not a readable zip archive: ";
    const std::string disagrees =
        "package entry \"demo.exe\" has a local header that disagrees with the central directory";
    std::string deep;
    for (int i = 0; i < 128; ++i) deep += "d/";
    std::vector<HostileArchive> all = {
        {"Traversal", named("lib/../../evil.exe"), entry + "\"lib/../../evil.exe\" climbs with \"..\""},
        {"AbsoluteName", named("/etc/passwd"), entry + "\"/etc/passwd\" is an absolute path"},
        {"DriveName", named("C:evil.exe"),
         entry + "\"C:evil.exe\" contains ':' (a drive letter or an alternate data stream)"},
        {"ReservedName", named(".LoftSwitch/journal.json"),
         entry + "\".LoftSwitch/journal.json\" uses the reserved name .loftswitch"},
        {"ReservedNameInUnicodeCase", named(".loft\xC5\xBFwitch/x"),
         entry + "\".loft\xC5\xBFwitch/x\" uses the reserved name .loftswitch"},
        {"ForbiddenCharacter", named("lib/a?.txt"), entry + "\"lib/a?.txt\" contains '?', which Windows forbids"},
        {"NotUtf8", named("lib/\xFF.txt"), entry + "\"lib/\\xff.txt\" is not valid UTF-8"},
        {"TooDeep", named(deep + "f"), entry + "\"" + deep + "f\" is nested more than 128 levels deep"},
        {"DeviceName", named("lib/con.txt"), entry + "\"lib/con.txt\" uses the Windows device name \"con.txt\""},
        {"TrailingDot", named("lib/x. "),
         entry + "\"lib/x. \" has a component ending in '.' or a space, which Windows strips"},
        {"AsciiCaseClash", pair("A/b.txt", "a/B.TXT"), entry + "\"a/B.TXT\" appears twice (ignoring case)"},
        {"UnicodeCaseClash", pair("\xC3\x84.txt", "\xC3\xA4.txt"),
         entry + "\"\xC3\xA4.txt\" appears twice (ignoring case)"},
        {"SigmaCaseClash", pair("\xCE\xA3/a", "\xCF\x83/A"), entry + "\"\xCF\x83/A\" appears twice (ignoring case)"},
        {"InsideAFile", pair("x", "X/y"), entry + "\"X/y\" lies inside a file"},
        {"LocalFlags", flipped(6), disagrees},
        {"LocalDataDescriptorFlag", flipped(6, 0x08), disagrees},
        {"LocalMethod", flipped(8), disagrees},
        {"LocalCrc", flipped(14), disagrees},
        {"LocalCompressedSize", flipped(18), disagrees},
        {"LocalSize", flipped(22), disagrees},
        {"LocalName", flipped(30), disagrees},
    };
    ZipBuilderEntry link = hostileEntry("lib/current");
    link.externalAttributes = unixMode(0120777);
    all.push_back({"SymbolicLink", base().add(link).build(), entry + "\"lib/current\" is a symbolic link"});
    ZipBuilderEntry secret = hostileEntry("secret");
    secret.flags = kZipFlagEncrypted;
    all.push_back({"Encrypted", base().add(secret).build(), entry + "\"secret\" is encrypted"});
    ZipBuilderEntry covering = hostileEntry("a", 0);
    covering.compressedSize = 4 + 31 + 4;  // over "b"'s local header and data
    all.push_back({"OverlappingEntries", base().add(covering).add(hostileEntry("b", 0)).build(),
                   notZip + "entry 3 overlaps entry 2"});
    covering.compressedSize = 4 + 20;
    all.push_back({"EntryOverTheDirectory", ZipBuilder().add(covering).build(),
                   notZip + "entry 0 overlaps the central directory"});
    ZipBuilderEntry inside = hostileEntry("b.txt");
    inside.localHeaderOffset = 4;
    all.push_back({"LocalHeaderInsideAnotherEntry", base().add(inside).build(),
                   entry + "\"b.txt\" has a damaged local header"});
    std::string contradicting = base().zip64End().build();
    contradicting[contradicting.size() - 12] = 1;  // the classic count, no longer saturated
    all.push_back({"Zip64ContradictsTheEndRecord", contradicting,
                   notZip + "the zip64 end record contradicts the end record"});
    return all;
  }();
  return archives;
}

}  // namespace loftswitch
