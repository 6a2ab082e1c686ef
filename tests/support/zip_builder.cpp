#include "support/zip_builder.h"

#include <zlib.h>

#include <cstring>
#include <stdexcept>

namespace loftswitch {
namespace {

void put16(std::string& out, std::uint64_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void put32(std::string& out, std::uint64_t value) {
  put16(out, value & 0xFFFF);
  put16(out, (value >> 16) & 0xFFFF);
}

void put64(std::string& out, std::uint64_t value) {
  put32(out, value & 0xFFFFFFFF);
  put32(out, value >> 32);
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

ZipBuilder& ZipBuilder::add(ZipBuilderEntry entry) {
  entries_.push_back(std::move(entry));
  return *this;
}

ZipBuilder& ZipBuilder::zip64End() {
  zip64End_ = true;
  return *this;
}

ZipBuilder& ZipBuilder::comment(std::string text) {
  comment_ = std::move(text);
  return *this;
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
    if (entry.zip64) {
      put16(zip64Extra, 0x0001);
      put16(zip64Extra, 24);
      put64(zip64Extra, uncompressed);
      put64(zip64Extra, compressed);
      put64(zip64Extra, offset);
    }

    put32(out, 0x04034b50);
    put16(out, version);
    put16(out, entry.flags);
    put16(out, entry.method);
    put32(out, 0);  // time and date
    put32(out, crc);
    put32(out, entry.zip64 ? 0xFFFFFFFF : compressed);
    put32(out, entry.zip64 ? 0xFFFFFFFF : uncompressed);
    put16(out, entry.name.size());
    put16(out, 0);
    out += entry.name;
    out += data;

    put32(central, 0x02014b50);
    put16(central, (3 << 8) | version);  // made on Unix
    put16(central, version);
    put16(central, entry.flags);
    put16(central, entry.method);
    put32(central, 0);
    put32(central, crc);
    put32(central, entry.zip64 ? 0xFFFFFFFF : compressed);
    put32(central, entry.zip64 ? 0xFFFFFFFF : uncompressed);
    put16(central, entry.name.size());
    put16(central, zip64Extra.size());
    put16(central, 0);  // comment
    put16(central, 0);  // disk
    put16(central, 0);  // internal attributes
    put32(central, entry.externalAttributes);
    put32(central, entry.zip64 ? 0xFFFFFFFF : offset);
    central += entry.name;
    central += zip64Extra;
  }

  const std::uint64_t directoryOffset = out.size();
  out += central;
  if (zip64End_) {
    const std::uint64_t recordOffset = out.size();
    put32(out, 0x06064b50);
    put64(out, 44);
    put16(out, 45);
    put16(out, 45);
    put32(out, 0);
    put32(out, 0);
    put64(out, entries_.size());
    put64(out, entries_.size());
    put64(out, central.size());
    put64(out, directoryOffset);
    put32(out, 0x07064b50);
    put32(out, 0);
    put64(out, recordOffset);
    put32(out, 1);
  }
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, zip64End_ ? 0xFFFF : entries_.size());
  put16(out, zip64End_ ? 0xFFFF : entries_.size());
  put32(out, zip64End_ ? 0xFFFFFFFF : central.size());
  put32(out, zip64End_ ? 0xFFFFFFFF : directoryOffset);
  put16(out, comment_.size());
  out += comment_;
  return out;
}

}  // namespace loftswitch
