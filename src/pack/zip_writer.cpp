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

std::uint32_t crcOf(std::uint32_t crc, std::string_view bytes) {
  return static_cast<std::uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
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

// From the version needed to the name's length, the local header and the
// central record agree; a streamed entry's local header leaves its CRC-32
// and sizes to the data descriptor.
std::string ZipWriter::commonFields(const Entry& entry, bool known) {
  std::string fields;
  put(fields, 20, 2);
  put(fields, entry.flags, 2);
  put(fields, entry.method, 2);
  put(fields, 0, 2);
  put(fields, kDosDate, 2);
  put(fields, known ? entry.crc32 : 0, 4);
  put(fields, known ? entry.compressedSize : 0, 4);
  put(fields, known ? entry.size : 0, 4);
  put(fields, entry.name.size(), 2);
  return fields;
}

Result<Unit> ZipWriter::localHeader(const Entry& entry) {
  std::string header;
  put(header, 0x04034b50, 4);
  header += commonFields(entry, (entry.flags & kDataDescriptor) == 0);
  put(header, 0, 2);
  return emit(header + entry.name);
}

Result<Unit> ZipWriter::begin(std::string name) {
  Entry& entry = entries_.emplace_back();
  entry.name = std::move(name);
  entry.flags = kDataDescriptor;
  entry.offset = offset_;
  return localHeader(entry);
}

Result<Unit> ZipWriter::write(std::string_view piece) {
  Entry& entry = entries_.back();
  entry.crc32 = crcOf(entry.crc32, piece);
  entry.size += piece.size();
  entry.compressedSize += piece.size();
  return emit(piece);
}

Result<Unit> ZipWriter::end() {
  const Entry& entry = entries_.back();
  std::string descriptor;
  put(descriptor, 0x08074b50, 4);
  put(descriptor, entry.crc32, 4);
  put(descriptor, entry.compressedSize, 4);
  put(descriptor, entry.size, 4);
  return emit(descriptor);
}

Result<Unit> ZipWriter::addDeflated(std::string name, std::string_view content) {
  z_stream stream{};
  if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return fail(ErrorCode::io, "can't set up deflate");
  }
  std::string data(deflateBound(&stream, static_cast<uLong>(content.size())), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  stream.avail_in = static_cast<uInt>(content.size());
  stream.next_out = reinterpret_cast<Bytef*>(data.data());
  stream.avail_out = static_cast<uInt>(data.size());
  const int status = deflate(&stream, Z_FINISH);
  data.resize(stream.total_out);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) return fail(ErrorCode::io, "can't deflate " + name);
  Entry& entry = entries_.emplace_back();
  entry.name = std::move(name);
  entry.method = 8;
  entry.crc32 = crcOf(0, content);
  entry.size = content.size();
  entry.compressedSize = data.size();
  entry.offset = offset_;
  RETURN_IF_ERROR(localHeader(entry));
  return emit(data);
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
    record += commonFields(entry, true);
    put(record, 0, 8);   // extra and comment lengths, disk, internal attributes
    put(record, 0, 4);   // external attributes: a plain file
    put(record, entry.offset, 4);
    record += entry.name;
    RETURN_IF_ERROR(emit(record));
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
