#include "pack/zip_writer.h"

#include <zlib.h>

namespace loftswitch {
namespace {

// An install takes no package larger than this.
constexpr std::uint64_t kLargest = 0xFFFFFFFF;
constexpr std::uint16_t kDataDescriptor = 0x0008;
constexpr std::uint16_t kDosDate = 0x0021;  // 1980-01-01: the archive carries no times

// Little-endian, as zip writes every number.
void put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// From the version needed to the name's length, the local header and the
// central record agree, but that the local header leaves the CRC-32 and
// sizes to the data descriptor.
std::string commonFields(std::string_view name, std::uint32_t crc, std::uint64_t size) {
  std::string fields;
  put(fields, 20, 2);
  put(fields, kDataDescriptor, 2);
  put(fields, 0, 2);  // stored
  put(fields, 0, 2);
  put(fields, kDosDate, 2);
  put(fields, crc, 4);
  put(fields, size, 4);
  put(fields, size, 4);
  put(fields, name.size(), 2);
  return fields;
}

}  // namespace

Result<ZipWriter> ZipWriter::create(const std::filesystem::path& path) {
  ASSIGN_OR_RETURN(OpenFile file, openFile(path, OpenMode::createAlways));
  return ZipWriter(std::move(file));
}

Result<Unit> ZipWriter::emit(std::string_view bytes) {
  // No field of the archive then needs more than 32 bits.
  if (bytes.size() > kLargest - offset_) {
    return fail(ErrorCode::tooLarge, "a package can't be larger than 4 GiB");
  }
  RETURN_IF_ERROR(writeAll(file_, bytes));
  offset_ += bytes.size();
  return Unit{};
}

Result<Unit> ZipWriter::begin(std::string name) {
  Entry& entry = entries_.emplace_back();
  entry.name = std::move(name);
  entry.offset = offset_;
  std::string header;
  put(header, 0x04034b50, 4);
  header += commonFields(entry.name, 0, 0);
  put(header, 0, 2);
  return emit(header + entry.name);
}

Result<Unit> ZipWriter::write(std::string_view piece) {
  Entry& entry = entries_.back();
  entry.crc32 = static_cast<std::uint32_t>(
      crc32(entry.crc32, reinterpret_cast<const Bytef*>(piece.data()), static_cast<uInt>(piece.size())));
  entry.size += piece.size();
  return emit(piece);
}

Result<Unit> ZipWriter::end() {
  const Entry& entry = entries_.back();
  std::string descriptor;
  put(descriptor, 0x08074b50, 4);
  put(descriptor, entry.crc32, 4);
  put(descriptor, entry.size, 4);
  put(descriptor, entry.size, 4);
  return emit(descriptor);
}

Result<std::uint64_t> ZipWriter::finish() {
  if (entries_.size() >= 0xFFFF) {
    return fail(ErrorCode::tooLarge, "an archive of more than 65534 entries isn't written");
  }
  const std::uint64_t start = offset_;
  for (const Entry& entry : entries_) {
    std::string record;
    put(record, 0x02014b50, 4);
    put(record, 20, 2);
    record += commonFields(entry.name, entry.crc32, entry.size);
    put(record, 0, 8);  // extra and comment lengths, disk, internal attributes
    put(record, 0, 4);  // external attributes: a plain file
    put(record, entry.offset, 4);
    RETURN_IF_ERROR(emit(record + entry.name));
  }
  std::string end;
  put(end, 0x06054b50, 4);
  put(end, 0, 4);
  put(end, entries_.size(), 2);
  put(end, entries_.size(), 2);
  put(end, offset_ - start, 4);
  put(end, start, 4);
  put(end, 0, 2);
  RETURN_IF_ERROR(emit(end));
  RETURN_IF_ERROR(flushFile(file_));
  return offset_;
}

}  // namespace loftswitch
