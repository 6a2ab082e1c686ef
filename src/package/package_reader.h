#pragma once

// Opening a zip package and writing its entries below a folder. Opening reads
// only the central directory and refuses the whole package if any entry is
// unacceptable; extraction then streams each entry into a new file, counting
// bytes against the sizes the directory declared.

#include <cstdint>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/result.h"
#include "fs/file_system.h"
#include "package/zip_archive.h"

namespace loftswitch {

struct PackageLimits {
  // The largest allowed sum of the declared sizes of all files.
  std::uint64_t maxExpandedBytes = 0;
  // The largest allowed number of archive entries.
  std::uint64_t maxEntries = 0;
};

enum class PackageEntryKind { file, folder };

struct PackageEntry {
  std::vector<std::string> components;
  bool folderName = false;
  PackageEntryKind kind = PackageEntryKind::file;
  std::uint64_t declaredSize = 0;
  // The upper 16 bits of the external attributes: a Unix mode, if any.
  std::uint32_t mode = 0;
  std::uint32_t index = 0;
};

class PackageReader;

// Reads the central directory of the archive's first `archiveSize` bytes and
// examines every entry; no file is written.
[[nodiscard]] Result<PackageReader> openPackage(ReadAt readAt, std::uint64_t archiveSize,
                                                PackageLimits limits);

// Writes every entry below `target`, which must exist, in archive order. On
// failure the files written so far stay; the caller removes the folder.
[[nodiscard]] Result<Unit> extractAll(PackageReader& reader, FileSystem& fileSystem,
                                      const std::filesystem::path& target);

// An archive whose every entry passed the checks, ready for one extraction.
class PackageReader {
 public:
  PackageReader(PackageReader&&) = default;
  PackageReader& operator=(PackageReader&&) = default;

  // In archive order.
  const std::vector<PackageEntry>& entries() const { return entries_; }

 private:
  friend Result<PackageReader> openPackage(ReadAt readAt, std::uint64_t archiveSize,
                                           PackageLimits limits);
  friend Result<Unit> extractAll(PackageReader& reader, FileSystem& fileSystem,
                                 const std::filesystem::path& target);

  PackageReader(ReadAt readAt, std::uint64_t archiveSize, PackageLimits limits)
      : readAt_(std::move(readAt)), archiveSize_(archiveSize), limits_(limits) {}

  ReadAt readAt_;
  std::uint64_t archiveSize_ = 0;
  PackageLimits limits_;
  std::vector<PackageEntry> entries_;
  // Parallel to entries_: where each entry's data lies and how it is stored.
  std::vector<ZipRecord> records_;
  // Lower-cased joined path -> position in entries_.
  std::unordered_map<std::string, std::size_t> byPath_;
};

// Components joined with '/'.
std::string joinedPath(const std::vector<std::string>& components);

}  // namespace loftswitch
