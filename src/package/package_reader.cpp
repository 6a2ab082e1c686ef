#include "package/package_reader.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>

#include "base/text.h"
#include "package/entry_rules.h"

namespace loftswitch {
namespace {

constexpr std::uint32_t kTypeMask = 0xF000;
constexpr std::uint32_t kTypeFolder = 0x4000;
constexpr std::uint32_t kTypeFile = 0x8000;
constexpr std::uint32_t kTypeLink = 0xA000;
constexpr std::uint32_t kAnyExecute = 0111;

// FNV-1a, a byte at a time: the hash of every prefix of a key is met on the
// way to the hash of the whole key.
constexpr std::uint64_t kHashStart = 0xcbf29ce484222325ULL;
std::uint64_t hashStep(std::uint64_t hash, char c) {
  return (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
}

std::uint64_t hashOf(std::string_view key) {
  std::uint64_t hash = kHashStart;
  for (char c : key) hash = hashStep(hash, c);
  return hash;
}

// The joined path of an accepted name, straight from its stored form.
std::string acceptedPath(std::string_view name) {
  std::string path(name);
  std::replace(path.begin(), path.end(), '\\', '/');
  if (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

// Serves small reads that mostly move forward (the local headers, in
// archive order) from one window, so that each costs no read of its own.
constexpr std::uint64_t kWindow = 64 * 1024;

ReadAt windowed(const ReadAt& readAt, std::uint64_t archiveSize) {
  auto window = std::make_shared<std::vector<std::uint8_t>>();
  auto start = std::make_shared<std::uint64_t>(0);
  return [&readAt, archiveSize, window, start](std::uint64_t offset,
                                               std::span<std::uint8_t> bytes) {
    if (bytes.size() > kWindow) return readAt(offset, bytes);
    if (offset < *start || offset - *start > window->size() ||
        bytes.size() > window->size() - (offset - *start)) {
      if (offset > archiveSize) return false;
      window->resize(static_cast<std::size_t>(std::min(kWindow, archiveSize - offset)));
      *start = offset;
      if (!readAt(offset, *window)) {
        window->clear();
        return false;
      }
      if (bytes.size() > window->size()) return false;
    }
    std::copy_n(window->data() + (offset - *start), bytes.size(), bytes.data());
    return true;
  };
}

struct DataSpan {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint32_t index = 0;
};

// The entry as a PackageEntry, or the error that refuses the package.
Result<PackageEntry> examine(const ZipRecord& record, std::uint32_t index,
                             std::vector<std::string>& components) {
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
  components = std::move(accepted.components);
  entry.declaredSize = record.uncompressedSize;
  entry.index = index;
  entry.recordPosition = record.recordPosition;

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

Result<ZipRecord> PackageReader::recordOf(const PackageEntry& entry) {
  cursor_->seek(entry.recordPosition);
  ZipResult<ZipRecord> record = cursor_->next();
  if (!record) {
    return fail(ErrorCode::damaged, "entry " + std::to_string(entry.index) +
                                        " has a damaged header: " + record.error());
  }
  return std::move(*record);
}

Result<std::vector<std::string>> PackageReader::components(const PackageEntry& entry) {
  ASSIGN_OR_RETURN(const ZipRecord record, recordOf(entry));
  ASSIGN_OR_RETURN(AcceptedName accepted, checkEntryName(record.name));
  return std::move(accepted.components);
}

Result<PackageReader> openPackage(ReadAt readAt, std::uint64_t archiveSize,
                                  PackageLimits limits) {
  PackageReader reader(std::move(readAt), archiveSize, limits);
  const ZipResult<ZipDirectory> directory = findZipDirectory(*reader.readAt_, archiveSize);
  if (!directory) return fail(ErrorCode::damaged, "not a readable zip archive: " + directory.error());
  if (directory->entryCount == 0) return fail(ErrorCode::damaged, "the package is empty");
  if (directory->entryCount > limits.maxEntries) {
    return fail(ErrorCode::tooLarge, "the package has " + std::to_string(directory->entryCount) +
                                         " entries, more than the limit of " +
                                         std::to_string(limits.maxEntries));
  }
  reader.directory_ = *directory;
  reader.cursor_ = std::make_unique<ZipDirectoryCursor>(*reader.readAt_, archiveSize, *directory);

  // Every key by its hash; a hash met again is compared in full, with the
  // earlier entry's name read again from the archive.
  std::unordered_multimap<std::uint64_t, std::uint32_t> keys;
  keys.reserve(static_cast<std::size_t>(directory->entryCount));
  // Two paths clash when the file system would take them for one.
  const auto keyOf = [&reader](const PackageEntry& entry) -> Result<std::string> {
    ASSIGN_OR_RETURN(const ZipRecord record, reader.recordOf(entry));
    return upperCaseKey(acceptedPath(record.name));
  };
  std::vector<DataSpan> spans;
  spans.reserve(static_cast<std::size_t>(directory->entryCount));
  ZipDirectoryCursor cursor(*reader.readAt_, archiveSize, *directory);
  const ReadAt localReads = windowed(*reader.readAt_, archiveSize);
  for (std::uint64_t i = 0; i < directory->entryCount; ++i) {
    const auto index = static_cast<std::uint32_t>(i);
    ZipResult<ZipRecord> record = cursor.next();
    if (!record) {
      return fail(ErrorCode::damaged,
                  "entry " + std::to_string(index) + " has a damaged header: " + record.error());
    }
    std::vector<std::string> components;
    ASSIGN_OR_RETURN(PackageEntry entry, examine(*record, index, components));
    if (entry.kind == PackageEntryKind::file) {
      if (entry.declaredSize > limits.maxExpandedBytes ||
          reader.declaredTotal_ > limits.maxExpandedBytes - entry.declaredSize) {
        return fail(ErrorCode::tooLarge, "the package expands to more than " +
                                             std::to_string(limits.maxExpandedBytes) + " bytes");
      }
      reader.declaredTotal_ += entry.declaredSize;
    }
    const std::string key = upperCaseKey(joinedPath(components));
    const std::uint64_t hash = hashOf(key);
    for (auto [at, end] = keys.equal_range(hash); at != end; ++at) {
      ASSIGN_OR_RETURN(const std::string other, keyOf(reader.entries_[at->second]));
      if (other == key) return fail(entryError(record->name, "appears twice (ignoring case)"));
    }
    const ZipResult<std::uint64_t> dataEnd = checkLocalHeader(localReads, archiveSize, *record);
    if (!dataEnd) {
      return fail(ErrorCode::damaged,
                  "package entry \"" + joinedPath(components) + "\" " + dataEnd.error());
    }
    keys.emplace(hash, index);
    spans.push_back(DataSpan{record->localHeaderOffset, *dataEnd, index});
    reader.entries_.push_back(entry);
  }

  // Entries that share bytes, with each other or with the directory, are how
  // a small archive unpacks to far more than it holds.
  std::sort(spans.begin(), spans.end(),
            [](const DataSpan& a, const DataSpan& b) { return a.start < b.start; });
  const std::uint64_t directoryEnd = directory->offset + directory->size;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    if (i > 0 && spans[i].start < spans[i - 1].end) {
      const auto [first, second] = std::minmax(spans[i].index, spans[i - 1].index);
      return fail(ErrorCode::damaged, "not a readable zip archive: entry " +
                                          std::to_string(second) + " overlaps entry " +
                                          std::to_string(first));
    }
    if (spans[i].start < directoryEnd && directory->offset < spans[i].end) {
      return fail(ErrorCode::damaged, "not a readable zip archive: entry " +
                                          std::to_string(spans[i].index) +
                                          " overlaps the central directory");
    }
  }
  spans = {};

  // Each proper prefix of each entry, looked up among the files by hash. The
  // folders an entry shares with the one before it were looked up already.
  cursor.seek(0);
  std::string previous;
  for (std::size_t i = 0; i < reader.entries_.size(); ++i) {
    ZipResult<ZipRecord> record = cursor.next();
    if (!record) return fail(ErrorCode::damaged, "the central directory changed while read");
    const std::string path = acceptedPath(record->name);
    std::string key = upperCaseKey(path);
    const std::size_t shared =
        std::mismatch(key.begin(), key.end(), previous.begin(), previous.end()).first -
        key.begin();
    std::uint64_t hash = kHashStart;
    for (std::size_t at = 0; at < key.size(); hash = hashStep(hash, key[at]), ++at) {
      if (key[at] != '/' || (at < shared && previous[at] == '/')) continue;
      for (auto [found, end] = keys.equal_range(hash); found != end; ++found) {
        const PackageEntry& other = reader.entries_[found->second];
        if (other.kind != PackageEntryKind::file) continue;
        ASSIGN_OR_RETURN(const std::string otherKey, keyOf(other));
        if (std::string_view(key).substr(0, at) == otherKey) {
          return fail(ErrorCode::badLayout, "package entry \"" + path + "\" lies inside a file");
        }
      }
    }
    previous = std::move(key);
  }
  return reader;
}

Result<Unit> PackageReader::read(const PackageEntry& entry, const PieceSink& sink) {
  ASSIGN_OR_RETURN(const ZipRecord record, recordOf(entry));
  const std::string path = acceptedPath(record.name);
  std::uint64_t written = 0;
  std::optional<Error> sinkError;
  const ZipSink zipSink = [&](std::string_view piece) {
    if (piece.size() > entry.declaredSize - written) {
      sinkError = Error{ErrorCode::tooLarge, "a package entry inflates past its declared size"};
      return false;
    }
    if (Result<Unit> taken = sink(piece); !taken) {
      sinkError = std::move(taken.error());
      return false;
    }
    written += piece.size();
    return true;
  };
  const ZipExtraction extraction = extractZipEntry(*readAt_, archiveSize_, record, zipSink);
  if (sinkError) return fail(std::move(*sinkError));
  if (!extraction.failure.empty()) {
    return fail(ErrorCode::damaged,
                "package entry \"" + path + "\" is damaged: " + extraction.failure);
  }
  if (written != entry.declaredSize) {
    return fail(ErrorCode::damaged, "package entry \"" + path + "\" is shorter than declared");
  }
  return Unit{};
}

Result<Unit> extractAll(PackageReader& reader, FileSystem& fileSystem,
                        const std::filesystem::path& target, const ByteProgress& progress) {
  std::uint64_t writtenTotal = 0;
  const std::uint64_t declaredTotal = reader.declaredTotal_;
  if (!keepGoing(progress, 0, declaredTotal)) return fail(stoppedByCaller());
  for (const PackageEntry& entry : reader.entries_) {
    ASSIGN_OR_RETURN(const std::vector<std::string> components, reader.components(entry));
    std::filesystem::path path = target;
    for (const std::string& component : components) path /= utf8ToPath(component);
    if (entry.kind == PackageEntryKind::folder) {
      RETURN_IF_ERROR(fileSystem.createFolders(path));
      continue;
    }

    RETURN_IF_ERROR(fileSystem.createFolders(path.parent_path()));
    const std::uint32_t permissions = (entry.mode & kAnyExecute) != 0 ? 0755 : 0644;
    Result<std::unique_ptr<FileWriter>> opened = fileSystem.createFile(path, permissions);
    if (!opened) {
      if (opened.error().code == ErrorCode::io) {
        return fail(ErrorCode::badLayout, "package entry \"" + joinedPath(components) +
                                              "\" collides with another entry: " +
                                              opened.error().message);
      }
      return fail(std::move(opened.error()));
    }
    const std::unique_ptr<FileWriter> file = std::move(*opened);
    RETURN_IF_ERROR(reader.read(entry, [&](std::string_view piece) -> Result<Unit> {
      RETURN_IF_ERROR(file->write(piece));
      writtenTotal += piece.size();
      if (!keepGoing(progress, writtenTotal, declaredTotal)) return fail(stoppedByCaller());
      return Unit{};
    }));
  }
  if (!keepGoing(progress, writtenTotal, declaredTotal)) return fail(stoppedByCaller());
  return Unit{};
}

}  // namespace loftswitch
