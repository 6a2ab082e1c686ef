#pragma once

// Opening a zip package and writing its entries below a folder. Opening reads
// only the central directory and refuses the whole package if any entry is
// unacceptable; extraction then streams each entry into a new file, counting
// bytes against the sizes the directory declared.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "fs/file_system.h"
#include "package/progress.h"
#include "package/zip_archive.h"

namespace loftswitch {

struct PackageLimits {
  // The largest allowed sum of the declared sizes of all files.
  std::uint64_t maxExpandedBytes = 0;
  // The largest allowed number of archive entries.
  std::uint64_t maxEntries = 0;
};

enum class PackageEntryKind { file, folder };

// What the reader keeps of one entry; its name stays in the archive and is
// read again when the entry is written, so that memory does not grow with
// the length of the names.
struct PackageEntry {
  bool folderName = false;
  PackageEntryKind kind = PackageEntryKind::file;
  std::uint64_t declaredSize = 0;
  // The upper 16 bits of the external attributes: a Unix mode, if any.
  std::uint32_t mode = 0;
  std::uint32_t index = 0;
  // Where its central record starts, from the start of the directory.
  std::uint64_t recordPosition = 0;
};

class PackageReader;

// Reads the central directory of the archive's first `archiveSize` bytes and
// examines every entry; no file is written.
[[nodiscard]] Result<PackageReader> openPackage(ReadAt readAt, std::uint64_t archiveSize,
                                                PackageLimits limits);

// Writes every entry below `target`, which must exist, in archive order. On
// failure the files written so far stay; the caller removes the folder.
// `progress` counts the bytes written against the declared sizes of all files.
[[nodiscard]] Result<Unit> extractAll(PackageReader& reader, FileSystem& fileSystem,
                                      const std::filesystem::path& target,
                                      const ByteProgress& progress = {});

// Takes one piece of an entry's content; an error stops the reading.
using PieceSink = std::function<Result<Unit>(std::string_view piece)>;

// An archive whose every entry passed the checks, ready for one extraction.
class PackageReader {
 public:
  PackageReader(PackageReader&&) = default;
  PackageReader& operator=(PackageReader&&) = default;

  // In archive order.
  const std::vector<PackageEntry>& entries() const { return entries_; }
  const PackageLimits& limits() const { return limits_; }

  // The accepted path components of one of its entries.
  [[nodiscard]] Result<std::vector<std::string>> components(const PackageEntry& entry);

  // Streams a file entry's content into `sink`, checked against its declared
  // size and its CRC-32; the sink's own error takes precedence.
  [[nodiscard]] Result<Unit> read(const PackageEntry& entry, const PieceSink& sink);

 private:
  friend Result<PackageReader> openPackage(ReadAt readAt, std::uint64_t archiveSize,
                                           PackageLimits limits);
  friend Result<Unit> extractAll(PackageReader& reader, FileSystem& fileSystem,
                                 const std::filesystem::path& target,
                                 const ByteProgress& progress);

  PackageReader(ReadAt readAt, std::uint64_t archiveSize, PackageLimits limits)
      : readAt_(std::make_unique<ReadAt>(std::move(readAt))),
        archiveSize_(archiveSize),
        limits_(limits) {}

  [[nodiscard]] Result<ZipRecord> recordOf(const PackageEntry& entry);

  // Owned through a pointer: the cursor keeps a reference that a move of
  // the reader must not invalidate.
  std::unique_ptr<ReadAt> readAt_;
  std::uint64_t archiveSize_ = 0;
  PackageLimits limits_;
  ZipDirectory directory_;
  std::unique_ptr<ZipDirectoryCursor> cursor_;
  std::vector<PackageEntry> entries_;
  // The files' declared sizes added up: they bound what extraction writes.
  std::uint64_t declaredTotal_ = 0;
};

// Components joined with '/'.
std::string joinedPath(const std::vector<std::string>& components);

}  // namespace loftswitch
