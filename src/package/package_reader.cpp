#include "package/package_reader.h"

#include <memory>
#include <optional>

#include "base/text.h"
#include "package/entry_rules.h"

namespace loftswitch {
namespace {

constexpr std::uint32_t kTypeMask = 0xF000;
constexpr std::uint32_t kTypeFolder = 0x4000;
constexpr std::uint32_t kTypeFile = 0x8000;
constexpr std::uint32_t kTypeLink = 0xA000;
constexpr std::uint32_t kAnyExecute = 0111;

std::string pathKey(const std::vector<std::string>& components, std::size_t count) {
  std::string key;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) key.push_back('/');
    key += asciiLower(components[i]);
  }
  return key;
}

// The entry as a PackageEntry, or the error that refuses the package.
Result<PackageEntry> examine(const ZipRecord& record, std::uint32_t index) {
  ASSIGN_OR_RETURN(AcceptedName accepted, checkEntryName(record.name));
  const std::string& name = record.name;
  if ((record.flags & (kZipFlagEncrypted | kZipFlagStrongEncryption)) != 0) {
    return fail(entryError(name, "is encrypted"));
  }
  if (record.method != 0 && record.method != 8) {
    return fail(entryError(name, "uses compression method " + std::to_string(record.method) +
                                     " (only stored and deflate are allowed)"));
  }
  if ((record.flags & (kZipFlagPatch | kZipFlagMaskedHeaders)) != 0) {
    return fail(entryError(name, "uses zip features this reader doesn't support"));
  }

  PackageEntry entry;
  entry.mode = record.externalAttributes >> 16;
  entry.folderName = accepted.folderName;
  entry.components = std::move(accepted.components);
  entry.declaredSize = record.uncompressedSize;
  entry.index = index;

  const std::uint32_t type = entry.mode & kTypeMask;
  if (type == kTypeLink) return fail(entryError(name, "is a symbolic link"));
  const bool folder = name.back() == '/' ||
                      (record.externalAttributes & kZipDosFolderAttribute) != 0 ||
                      entry.folderName || type == kTypeFolder;
  if (folder) {
    entry.kind = PackageEntryKind::folder;
    if (record.compressedSize != 0 || record.uncompressedSize != 0) {
      return fail(entryError(name, "is a directory with data"));
    }
  } else if (type != 0 && type != kTypeFile) {
    return fail(entryError(name, "is a device, pipe or socket"));
  } else {
    entry.kind = PackageEntryKind::file;
    if (record.compressedSize == 0 && record.uncompressedSize != 0) {
      return fail(ErrorCode::damaged,
                  "package entry \"" + name + "\" declares data but stores none");
    }
  }
  return entry;
}

}  // namespace

std::string joinedPath(const std::vector<std::string>& components) {
  std::string joined;
  for (const std::string& component : components) {
    if (!joined.empty()) joined.push_back('/');
    joined += component;
  }
  return joined;
}

Result<PackageReader> openPackage(ReadAt readAt, std::uint64_t archiveSize,
                                  PackageLimits limits) {
  PackageReader reader(std::move(readAt), archiveSize, limits);
  const ZipResult<ZipDirectory> directory = findZipDirectory(reader.readAt_, archiveSize);
  if (!directory) return fail(ErrorCode::damaged, "not a readable zip archive: " + directory.error());
  if (directory->entryCount == 0) return fail(ErrorCode::damaged, "the package is empty");
  if (directory->entryCount > limits.maxEntries) {
    return fail(ErrorCode::tooLarge, "the package has " + std::to_string(directory->entryCount) +
                                         " entries, more than the limit of " +
                                         std::to_string(limits.maxEntries));
  }

  ZipDirectoryCursor cursor(reader.readAt_, archiveSize, *directory);
  std::uint64_t expandedBytes = 0;
  for (std::uint64_t i = 0; i < directory->entryCount; ++i) {
    const auto index = static_cast<std::uint32_t>(i);
    ZipResult<ZipRecord> record = cursor.next();
    if (!record) {
      return fail(ErrorCode::damaged,
                  "entry " + std::to_string(index) + " has a damaged header: " + record.error());
    }
    ASSIGN_OR_RETURN(PackageEntry entry, examine(*record, index));
    if (entry.kind == PackageEntryKind::file) {
      if (entry.declaredSize > limits.maxExpandedBytes ||
          expandedBytes > limits.maxExpandedBytes - entry.declaredSize) {
        return fail(ErrorCode::tooLarge, "the package expands to more than " +
                                             std::to_string(limits.maxExpandedBytes) + " bytes");
      }
      expandedBytes += entry.declaredSize;
    }
    std::string key = pathKey(entry.components, entry.components.size());
    if (reader.byPath_.contains(key)) {
      return fail(entryError(record->name, "appears twice (ignoring case)"));
    }
    reader.byPath_.emplace(std::move(key), reader.entries_.size());
    reader.entries_.push_back(std::move(entry));
    reader.records_.push_back(std::move(*record));
  }

  for (const PackageEntry& entry : reader.entries_) {
    for (std::size_t count = 1; count < entry.components.size(); ++count) {
      const auto found = reader.byPath_.find(pathKey(entry.components, count));
      if (found != reader.byPath_.end() &&
          reader.entries_[found->second].kind == PackageEntryKind::file) {
        return fail(ErrorCode::badLayout,
                    "package entry \"" + joinedPath(entry.components) + "\" lies inside a file");
      }
    }
  }
  return reader;
}

Result<Unit> extractAll(PackageReader& reader, FileSystem& fileSystem,
                        const std::filesystem::path& target) {
  std::uint64_t writtenTotal = 0;
  for (std::size_t i = 0; i < reader.entries_.size(); ++i) {
    const PackageEntry& entry = reader.entries_[i];
    std::filesystem::path path = target;
    for (const std::string& component : entry.components) path /= utf8ToPath(component);
    if (entry.kind == PackageEntryKind::folder) {
      RETURN_IF_ERROR(fileSystem.createFolders(path));
      continue;
    }

    const std::string joined = joinedPath(entry.components);
    RETURN_IF_ERROR(fileSystem.createFolders(path.parent_path()));
    const std::uint32_t permissions = (entry.mode & kAnyExecute) != 0 ? 0755 : 0644;
    Result<std::unique_ptr<FileWriter>> opened = fileSystem.createFile(path, permissions);
    if (!opened) {
      if (opened.error().code == ErrorCode::io) {
        return fail(ErrorCode::badLayout, "package entry \"" + joined +
                                              "\" collides with another entry: " +
                                              opened.error().message);
      }
      return fail(std::move(opened.error()));
    }
    std::unique_ptr<FileWriter> file = std::move(*opened);

    std::uint64_t writtenHere = 0;
    std::optional<Error> sinkError;
    const ZipSink sink = [&](std::string_view piece) {
      if (piece.size() > entry.declaredSize - writtenHere ||
          piece.size() > reader.limits_.maxExpandedBytes - writtenTotal) {
        sinkError = Error{ErrorCode::tooLarge, "a package entry inflates past its declared size"};
        return false;
      }
      Result<Unit> written = file->write(piece);
      if (!written) {
        sinkError = std::move(written.error());
        return false;
      }
      writtenHere += piece.size();
      writtenTotal += piece.size();
      return true;
    };
    const ZipExtraction extraction =
        extractZipEntry(reader.readAt_, reader.archiveSize_, reader.records_[i], sink);
    file.reset();

    if (sinkError) return fail(std::move(*sinkError));
    if (!extraction.failure.empty()) {
      return fail(ErrorCode::damaged,
                  "package entry \"" + joined + "\" is damaged: " + extraction.failure);
    }
    if (writtenHere != entry.declaredSize) {
      return fail(ErrorCode::damaged, "package entry \"" + joined + "\" is shorter than declared");
    }
  }
  return Unit{};
}

}  // namespace loftswitch
