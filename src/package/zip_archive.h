#pragma once

// Reading the zip container: the end records, the central directory in
// stored order and the data of one entry. Every byte comes through a ReadAt;
// every offset and size the archive states is checked against the archive
// before it is used, and memory stays bounded whatever the archive claims.
// Failures are short texts that callers put into their own messages.

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace loftswitch {

// Fills the whole span from the offset and answers true, or answers false.
using ReadAt = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> bytes)>;

template <typename T>
using ZipResult = std::expected<T, std::string>;

inline constexpr std::uint16_t kZipFlagEncrypted = 0x0001;
inline constexpr std::uint16_t kZipFlagPatch = 0x0020;
inline constexpr std::uint16_t kZipFlagStrongEncryption = 0x0040;
inline constexpr std::uint16_t kZipFlagMaskedHeaders = 0x2000;
inline constexpr std::uint32_t kZipDosFolderAttribute = 0x10;

// One central directory record, with the Zip64 values already applied.
struct ZipRecord {
  std::string name;
  std::uint16_t versionMadeBy = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc32 = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t localHeaderOffset = 0;
  std::uint32_t externalAttributes = 0;
  // Where the record starts, from the start of the central directory.
  std::uint64_t recordPosition = 0;
};

// Where the central directory is, from the end records.
struct ZipDirectory {
  std::uint64_t entryCount = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

[[nodiscard]] ZipResult<ZipDirectory> findZipDirectory(const ReadAt& readAt,
                                                       std::uint64_t archiveSize);

// Walks the central directory record by record, reading it in bounded pieces.
class ZipDirectoryCursor {
 public:
  ZipDirectoryCursor(const ReadAt& readAt, std::uint64_t archiveSize, ZipDirectory directory);

  // The next record; only call it ZipDirectory::entryCount times.
  [[nodiscard]] ZipResult<ZipRecord> next();

  // Goes back to a record `next` returned before.
  void seek(std::uint64_t recordPosition) { position_ = recordPosition; }

 private:
  // Makes [position, position + length) of the directory available in the
  // window and returns it.
  ZipResult<std::span<const std::uint8_t>> view(std::uint64_t length);

  const ReadAt& readAt_;
  std::uint64_t archiveSize_;
  ZipDirectory directory_;
  std::uint64_t position_ = 0;  // relative to the directory's start
  std::uint64_t windowStart_ = 0;
  std::vector<std::uint8_t> window_;
};

// The offset just past the entry's data, once its local header agrees with
// its central record on the name, method, encryption and, unless a data
// descriptor follows, the CRC-32 and both sizes. A failure is a detail to
// follow the entry's name ("has a damaged local header").
[[nodiscard]] ZipResult<std::uint64_t> checkLocalHeader(const ReadAt& readAt,
                                                        std::uint64_t archiveSize,
                                                        const ZipRecord& record);

// Receives the entry's content piece by piece; false stops the extraction.
using ZipSink = std::function<bool(std::string_view piece)>;

struct ZipExtraction {
  // Empty on success; otherwise why the entry could not be read.
  std::string failure;
  // The sink answered false; the failure then only says so.
  bool stoppedBySink = false;
  std::uint64_t bytesProduced = 0;
};

// Streams the entry's stored or deflated data into the sink and checks its
// CRC-32 when all of the declared size came out.
ZipExtraction extractZipEntry(const ReadAt& readAt, std::uint64_t archiveSize,
                              const ZipRecord& record, const ZipSink& sink);

}  // namespace loftswitch
