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

}  // namespace loftswitch
