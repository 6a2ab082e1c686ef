#include "package/zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

namespace loftswitch {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kLocalSignature = 0x04034b50;

constexpr std::uint64_t kEndSize = 22;
constexpr std::uint64_t kMaxCommentSize = 0xFFFF;
constexpr std::uint64_t kZip64LocatorSize = 20;
constexpr std::uint64_t kZip64EndSize = 56;
constexpr std::uint64_t kCentralSize = 46;
constexpr std::uint64_t kLocalSize = 30;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint32_t kSaturated32 = 0xFFFFFFFF;
constexpr std::uint16_t kSaturated16 = 0xFFFF;

constexpr std::size_t kWindowSize = 64 * 1024;
constexpr std::size_t kChunkSize = 64 * 1024;

std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
         (static_cast<std::uint32_t>(b[at + 2]) << 16) |
         (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

std::uint64_t le64(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint64_t>(le32(b, at)) |
         (static_cast<std::uint64_t>(le32(b, at + 4)) << 32);
}

// [offset, offset + length) lies within [0, limit), without overflow.
bool fits(std::uint64_t offset, std::uint64_t length, std::uint64_t limit) {
  return offset <= limit && length <= limit - offset;
}

bool readInto(const ReadAt& readAt, std::uint64_t offset, std::span<std::uint8_t> bytes) {
  return bytes.empty() || readAt(offset, bytes);
}

}  // namespace

ZipResult<ZipDirectory> findZipDirectory(const ReadAt& readAt, std::uint64_t archiveSize) {
  if (archiveSize < kEndSize) {
    return std::unexpected<std::string>("the archive is too small to hold an end record");
  }
  const std::uint64_t tailSize = std::min(archiveSize, kEndSize + kMaxCommentSize);
  const std::uint64_t tailStart = archiveSize - tailSize;
  std::vector<std::uint8_t> tail(static_cast<std::size_t>(tailSize));
  if (!readInto(readAt, tailStart, tail)) {
    return std::unexpected<std::string>("the end of the archive can't be read");
  }

  // The end record is followed only by its comment; search from the end so
  // that a signature inside the file data cannot be mistaken for it.
  std::size_t found = tail.size();
  for (std::size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
    if (le32(tail, at) == kEndSignature && at + kEndSize + le16(tail, at + 20) == tail.size()) {
      found = at;
      break;
    }
  }
  if (found == tail.size()) {
    return std::unexpected<std::string>("no end of central directory record was found");
  }
  const std::span<const std::uint8_t> end = std::span(tail).subspan(found, kEndSize);
  const std::uint64_t endOffset = tailStart + found;

  std::uint64_t disk = le16(end, 4);
  std::uint64_t directoryDisk = le16(end, 6);
  std::uint64_t entriesOnDisk = le16(end, 8);
  ZipDirectory directory{le16(end, 10), le32(end, 16), le32(end, 12)};
  std::uint64_t directoryLimit = endOffset;

  if (endOffset >= kZip64LocatorSize) {
    std::uint8_t locator[kZip64LocatorSize];
    if (!readInto(readAt, endOffset - kZip64LocatorSize, locator)) {
      return std::unexpected<std::string>("the end of the archive can't be read");
    }
    if (le32(locator, 0) == kZip64LocatorSignature) {
      const std::uint64_t zip64EndOffset = le64(locator, 8);
      if (le32(locator, 4) != 0 || le32(locator, 16) > 1) {
        return std::unexpected<std::string>("the archive spans several disks");
      }
      if (!fits(zip64EndOffset, kZip64EndSize, endOffset - kZip64LocatorSize)) {
        return std::unexpected<std::string>(
            "the zip64 end of central directory record lies outside the archive");
      }
      std::uint8_t zip64End[kZip64EndSize];
      if (!readInto(readAt, zip64EndOffset, zip64End)) {
        return std::unexpected<std::string>(
            "the zip64 end of central directory record can't be read");
      }
      if (le32(zip64End, 0) != kZip64EndSignature || le64(zip64End, 4) < kZip64EndSize - 12) {
        return std::unexpected<std::string>(
            "the zip64 end of central directory record is damaged");
      }
      // A classic value that is not saturated must say what the zip64 record
      // says: two readers must not find two different directories.
      const auto agrees = [](std::uint64_t classic, std::uint64_t saturated, std::uint64_t wide) {
        return classic == saturated || classic == wide;
      };
      const std::uint64_t wide[] = {le32(zip64End, 16), le32(zip64End, 20), le64(zip64End, 24),
                                    le64(zip64End, 32), le64(zip64End, 40), le64(zip64End, 48)};
      if (!agrees(disk, kSaturated16, wide[0]) || !agrees(directoryDisk, kSaturated16, wide[1]) ||
          !agrees(entriesOnDisk, kSaturated16, wide[2]) ||
          !agrees(directory.entryCount, kSaturated16, wide[3]) ||
          !agrees(directory.size, kSaturated32, wide[4]) ||
          !agrees(directory.offset, kSaturated32, wide[5])) {
        return std::unexpected<std::string>("the zip64 end record contradicts the end record");
      }
      disk = wide[0];
      directoryDisk = wide[1];
      entriesOnDisk = wide[2];
      directory = ZipDirectory{wide[3], wide[5], wide[4]};
      directoryLimit = zip64EndOffset;
    }
  }

  if (disk != 0 || directoryDisk != 0 || entriesOnDisk != directory.entryCount) {
    return std::unexpected<std::string>("the archive spans several disks");
  }
  if (!fits(directory.offset, directory.size, directoryLimit)) {
    return std::unexpected<std::string>("the central directory lies outside the archive");
  }
  // Readers that meet a gap here shift every offset by it and find other
  // entries than readers that take the offsets as stated.
  if (directory.offset + directory.size != directoryLimit) {
    return std::unexpected<std::string>(
        "the central directory doesn't end where the end record begins");
  }
  if (directory.entryCount > directory.size / kCentralSize) {
    return std::unexpected<std::string>("the central directory is too small for its entry count");
  }
  return directory;
}

ZipDirectoryCursor::ZipDirectoryCursor(const ReadAt& readAt, std::uint64_t archiveSize,
                                       ZipDirectory directory)
    : readAt_(readAt), archiveSize_(archiveSize), directory_(directory) {}

ZipResult<std::span<const std::uint8_t>> ZipDirectoryCursor::view(std::uint64_t length) {
  if (!fits(position_, length, directory_.size)) {
    return std::unexpected<std::string>("the record runs past the end of the central directory");
  }
  if (position_ < windowStart_ || !fits(position_ - windowStart_, length, window_.size())) {
    const std::uint64_t size =
        std::min<std::uint64_t>(std::max<std::uint64_t>(kWindowSize, length),
                                directory_.size - position_);
    window_.resize(static_cast<std::size_t>(size));
    windowStart_ = position_;
    if (!readInto(readAt_, directory_.offset + position_, window_)) {
      window_.clear();
      return std::unexpected<std::string>("the central directory can't be read");
    }
  }
  return std::span<const std::uint8_t>(window_).subspan(
      static_cast<std::size_t>(position_ - windowStart_), static_cast<std::size_t>(length));
}

ZipResult<ZipRecord> ZipDirectoryCursor::next() {
  auto head = view(kCentralSize);
  if (!head) return std::unexpected<std::string>(head.error());
  if (le32(*head, 0) != kCentralSignature) {
    return std::unexpected<std::string>("the record has no central directory signature");
  }
  ZipRecord record;
  record.recordPosition = position_;
  record.versionMadeBy = le16(*head, 4);
  record.flags = le16(*head, 8);
  record.method = le16(*head, 10);
  record.crc32 = le32(*head, 16);
  record.compressedSize = le32(*head, 20);
  record.uncompressedSize = le32(*head, 24);
  const std::size_t nameSize = le16(*head, 28);
  const std::size_t extraSize = le16(*head, 30);
  const std::size_t commentSize = le16(*head, 32);
  std::uint64_t diskStart = le16(*head, 34);
  record.externalAttributes = le32(*head, 38);
  record.localHeaderOffset = le32(*head, 42);

  auto whole = view(kCentralSize + nameSize + extraSize + commentSize);
  if (!whole) return std::unexpected<std::string>(whole.error());
  const std::span<const std::uint8_t> name = whole->subspan(kCentralSize, nameSize);
  record.name.assign(reinterpret_cast<const char*>(name.data()), name.size());

  // The Zip64 field holds only the values that are saturated in the record,
  // in this order.
  const bool wantUncompressed = record.uncompressedSize == kSaturated32;
  const bool wantCompressed = record.compressedSize == kSaturated32;
  const bool wantOffset = record.localHeaderOffset == kSaturated32;
  const bool wantDisk = diskStart == kSaturated16;
  bool haveZip64 = false;
  std::span<const std::uint8_t> extra = whole->subspan(kCentralSize + nameSize, extraSize);
  while (extra.size() >= 4) {
    const std::uint16_t id = le16(extra, 0);
    const std::size_t size = le16(extra, 2);
    if (size > extra.size() - 4) {
      return std::unexpected<std::string>("an extra field runs past the end of the record");
    }
    const std::span<const std::uint8_t> field = extra.subspan(4, size);
    if (id == kZip64ExtraId && !haveZip64) {
      haveZip64 = true;
      std::size_t at = 0;
      const std::size_t needed = (wantUncompressed ? 8 : 0) + (wantCompressed ? 8 : 0) +
                                 (wantOffset ? 8 : 0) + (wantDisk ? 4 : 0);
      if (field.size() < needed) {
        return std::unexpected<std::string>("the zip64 extra field is too short");
      }
      if (wantUncompressed) record.uncompressedSize = le64(field, at), at += 8;
      if (wantCompressed) record.compressedSize = le64(field, at), at += 8;
      if (wantOffset) record.localHeaderOffset = le64(field, at), at += 8;
      if (wantDisk) diskStart = le32(field, at);
    }
    extra = extra.subspan(4 + size);
  }
  if ((wantUncompressed || wantCompressed || wantOffset || wantDisk) && !haveZip64) {
    return std::unexpected<std::string>("the zip64 extra field is missing");
  }
  if (diskStart != 0) return std::unexpected<std::string>("the entry starts on another disk");
  if (!fits(record.localHeaderOffset, kLocalSize, archiveSize_) ||
      !fits(record.localHeaderOffset + kLocalSize, record.compressedSize, archiveSize_)) {
    return std::unexpected<std::string>("the entry's data lies outside the archive");
  }
  position_ += kCentralSize + nameSize + extraSize + commentSize;
  return record;
}

ZipResult<std::uint64_t> checkLocalHeader(const ReadAt& readAt, std::uint64_t archiveSize,
                                          const ZipRecord& record) {
  std::uint8_t local[kLocalSize];
  if (!fits(record.localHeaderOffset, kLocalSize, archiveSize) ||
      !readInto(readAt, record.localHeaderOffset, local)) {
    return std::unexpected<std::string>("has a local header that can't be read");
  }
  if (le32(local, 0) != kLocalSignature) {
    return std::unexpected<std::string>("has a damaged local header");
  }
  const std::size_t nameSize = le16(local, 26);
  const std::size_t extraSize = le16(local, 28);
  const std::uint64_t variableOffset = record.localHeaderOffset + kLocalSize;
  std::vector<std::uint8_t> variable(nameSize + extraSize);
  if (!fits(variableOffset, variable.size(), archiveSize) ||
      !readInto(readAt, variableOffset, variable)) {
    return std::unexpected<std::string>("has a local header that can't be read");
  }
  const std::uint16_t flags = le16(local, 6);
  // The flags that change how the data is read must agree as well: a local
  // header alone claiming a data descriptor would excuse sizes of its own.
  constexpr std::uint16_t kDataDescriptor = 0x0008;
  constexpr std::uint16_t kReadingFlags = kZipFlagEncrypted | kDataDescriptor | kZipFlagPatch |
                                          kZipFlagStrongEncryption | kZipFlagMaskedHeaders;
  bool agrees = le16(local, 8) == record.method &&
                (flags & kReadingFlags) == (record.flags & kReadingFlags) &&
                std::string_view(reinterpret_cast<const char*>(variable.data()), nameSize) ==
                    record.name;
  // Without a data descriptor the local header carries the real values.
  if (agrees && (flags & kDataDescriptor) == 0) {
    std::uint64_t compressed = le32(local, 18);
    std::uint64_t uncompressed = le32(local, 22);
    if (compressed == kSaturated32 || uncompressed == kSaturated32) {
      // A local zip64 field holds both sizes, uncompressed first.
      std::span<const std::uint8_t> extra = std::span(variable).subspan(nameSize);
      bool found = false;
      while (extra.size() >= 4 && !found) {
        const std::size_t size = le16(extra, 2);
        if (size > extra.size() - 4) break;
        if (le16(extra, 0) == kZip64ExtraId && size >= 16) {
          uncompressed = le64(extra, 4);
          compressed = le64(extra, 12);
          found = true;
        }
        extra = extra.subspan(4 + size);
      }
      agrees = found;
    }
    agrees = agrees && le32(local, 14) == record.crc32 && compressed == record.compressedSize &&
             uncompressed == record.uncompressedSize;
  }
  if (!agrees) {
    return std::unexpected<std::string>("has a local header that disagrees with the central directory");
  }
  const std::uint64_t dataOffset = variableOffset + variable.size();
  if (!fits(dataOffset, record.compressedSize, archiveSize)) {
    return std::unexpected<std::string>("has data outside the archive");
  }
  return dataOffset + record.compressedSize;
}

namespace {

class Inflater {
 public:
  Inflater() { ready_ = inflateInit2(&stream_, -15) == Z_OK; }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() {
    if (ready_) inflateEnd(&stream_);
  }
  bool ready() const { return ready_; }
  z_stream& stream() { return stream_; }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

}  // namespace

ZipExtraction extractZipEntry(const ReadAt& readAt, std::uint64_t archiveSize,
                              const ZipRecord& record, const ZipSink& sink) {
  ZipExtraction result;
  auto failWith = [&result](std::string text) {
    result.failure = std::move(text);
    return result;
  };

  std::uint8_t local[kLocalSize];
  if (!fits(record.localHeaderOffset, kLocalSize, archiveSize)) {
    return failWith("the local header lies outside the archive");
  }
  if (!readInto(readAt, record.localHeaderOffset, local)) {
    return failWith("the local header can't be read");
  }
  if (le32(local, 0) != kLocalSignature) return failWith("the local header is damaged");
  const std::uint64_t dataOffset =
      record.localHeaderOffset + kLocalSize + le16(local, 26) + le16(local, 28);
  if (!fits(dataOffset, record.compressedSize, archiveSize)) {
    return failWith("the entry's data lies outside the archive");
  }

  uLong crc = crc32(0L, Z_NULL, 0);
  auto deliver = [&](std::string_view piece) {
    if (piece.empty()) return true;
    if (!sink(piece)) {
      result.stoppedBySink = true;
      result.failure = "the extraction was stopped";
      return false;
    }
    crc = crc32(crc, reinterpret_cast<const Bytef*>(piece.data()),
                static_cast<uInt>(piece.size()));
    result.bytesProduced += piece.size();
    return true;
  };

  std::vector<std::uint8_t> input(
      static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, record.compressedSize)));
  std::uint64_t position = dataOffset;
  std::uint64_t remaining = record.compressedSize;
  auto readChunk = [&]() -> std::span<std::uint8_t> {
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(input.size(), remaining));
    const std::span<std::uint8_t> chunk(input.data(), size);
    if (!readInto(readAt, position, chunk)) return {};
    position += size;
    remaining -= size;
    return chunk;
  };

  if (record.method == 0) {
    while (remaining > 0) {
      const std::span<std::uint8_t> chunk = readChunk();
      if (chunk.empty()) return failWith("the entry's data can't be read");
      if (!deliver(std::string_view(reinterpret_cast<const char*>(chunk.data()), chunk.size()))) {
        return result;
      }
    }
  } else if (record.method == 8) {
    // Nothing stored means nothing to inflate: some writers give empty
    // entries the deflate method without an end block.
    if (remaining > 0) {
      Inflater inflater;
      if (!inflater.ready()) return failWith("the inflater can't be set up");
      z_stream& stream = inflater.stream();
      std::vector<std::uint8_t> output(kChunkSize);
      while (true) {
        if (stream.avail_in == 0 && remaining > 0) {
          const std::span<std::uint8_t> chunk = readChunk();
          if (chunk.empty()) return failWith("the entry's data can't be read");
          stream.next_in = chunk.data();
          stream.avail_in = static_cast<uInt>(chunk.size());
        }
        stream.next_out = output.data();
        stream.avail_out = static_cast<uInt>(output.size());
        const int status = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = output.size() - stream.avail_out;
        if (!deliver(std::string_view(reinterpret_cast<const char*>(output.data()), produced))) {
          return result;
        }
        if (status == Z_STREAM_END) break;
        if (status == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0) {
          return failWith("the compressed data ends early");
        }
        if (status == Z_MEM_ERROR) return failWith("out of memory while inflating");
        if (status != Z_OK && status != Z_BUF_ERROR) {
          return failWith("the compressed data is invalid");
        }
      }
    }
  } else {
    return failWith("compression method " + std::to_string(record.method) + " isn't supported");
  }

  if (result.bytesProduced == record.uncompressedSize && crc != record.crc32) {
    return failWith("CRC-32 mismatch");
  }
  return result;
}

}  // namespace loftswitch
