#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace loftswitch {

// A new file being written from its start; destroying the writer closes it.
class FileWriter {
 public:
  virtual ~FileWriter() = default;
  virtual Result<Unit> write(std::string_view bytes) = 0;
};

// A file being read from its start; destroying the reader closes it.
class FileReader {
 public:
  virtual ~FileReader() = default;
  // Bytes read into the front of `buffer`, 0 at the end of the file.
  virtual Result<std::size_t> read(std::span<char> buffer) = 0;
  virtual Result<std::uint64_t> size() = 0;
};

// A program that holds a file open.
struct FileHolder {
  std::string program;  // its executable's file name, UTF-8
  std::uint32_t pid = 0;
};

// A file held open so that no other opener may open it; destroying it lets go.
class FileLock {
 public:
  virtual ~FileLock() = default;
};

// What a path names, as `FileSystem::probe` tells it.
enum class EntryKind {
  missing,
  file,
  // A real folder; a junction or a link to a folder is a `link`.
  folder,
  link,
};

// Every file operation of the update logic. The drivers see only this
// interface; the entry point creates the one real implementation.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // True when the path names anything; any failure to look counts as false.
  virtual bool exists(const std::filesystem::path& path) = 0;
  // What the path names. `missing` only when it is known not to exist (no
  // such file or no such path); any other failure to look is an error, so
  // that a decision never mistakes a failed look for an absence.
  virtual Result<EntryKind> probe(const std::filesystem::path& path) = 0;
  // True only for a real folder: junctions and links to folders are not.
  virtual bool isFolder(const std::filesystem::path& path) = 0;
  // Entry names (UTF-8), sorted by bytes.
  virtual Result<std::vector<std::string>> list(const std::filesystem::path& folder) = 0;
  // Creates the missing parents of `to`; never replaces, never copies.
  virtual Result<Unit> move(const std::filesystem::path& from,
                            const std::filesystem::path& to) = 0;
  virtual Result<Unit> createFolders(const std::filesystem::path& path) = 0;
  // Deletes a file, a link (not its target) or a whole tree; a missing path
  // is already removed.
  virtual Result<Unit> remove(const std::filesystem::path& path) = 0;
  // Replaces the whole content atomically: readers see old or new, never a mix.
  virtual Result<Unit> writeFile(const std::filesystem::path& path, std::string_view bytes) = 0;
  // The whole file, or `tooLarge` when it holds more than `limit` bytes.
  virtual Result<std::string> readFile(const std::filesystem::path& path,
                                       std::uint64_t limit) = 0;
  // Appends and flushes to disk before returning.
  virtual Result<Unit> append(const std::filesystem::path& path, std::string_view bytes) = 0;
  // A new file to write piece by piece; fails (`io`) when anything exists at
  // `path` and never creates folders. `permissions` is the POSIX mode a
  // package asks for; Windows ignores it.
  virtual Result<std::unique_ptr<FileWriter>> createFile(const std::filesystem::path& path,
                                                         std::uint32_t permissions) = 0;
  // A file to read piece by piece, shared with writers: a caller that must
  // know what it read checks the bytes, not the path.
  virtual Result<std::unique_ptr<FileReader>> openRead(const std::filesystem::path& path) = 0;
  virtual Result<Unit> copy(const std::filesystem::path& from,
                            const std::filesystem::path& to) = 0;
  // Succeeds when this user may create, rename and delete files and folders
  // directly inside `folder`.
  virtual Result<Unit> checkWritable(const std::filesystem::path& folder) = 0;
  // Opens `path`, creating it when missing, so that nobody else may open it:
  // null while another opener holds it open, an error for any other failure.
  virtual Result<std::unique_ptr<FileLock>> lock(const std::filesystem::path& path) = 0;
  // The bytes of the file at `path`, or of all files below the folder at
  // `path`; a link counts as nothing and is not followed.
  virtual Result<std::uint64_t> size(const std::filesystem::path& path) = 0;
  // The programs that hold `path` (a file, or files inside a folder) open,
  // for messages only: an empty list means none was found, not that none
  // holds it.
  virtual std::vector<FileHolder> holders(const std::filesystem::path& path) {
    (void)path;
    return {};
  }
};

// The whole file, or nothing when it is known not to be there: a read that
// says "not found" is believed once a look at the path agrees, as a
// decision made on an absence must not rest on a read that failed otherwise.
[[nodiscard]] inline Result<std::optional<std::string>> readIfPresent(
    FileSystem& fileSystem, const std::filesystem::path& path, std::uint64_t limit) {
  Result<std::string> text = fileSystem.readFile(path, limit);
  if (text) return std::optional<std::string>(std::move(*text));
  if (text.error().code != ErrorCode::notFound) return fail(text.error());
  Result<EntryKind> kind = fileSystem.probe(path);
  if (!kind || *kind != EntryKind::missing) return fail(ErrorCode::io, text.error().message);
  return std::optional<std::string>();
}

}  // namespace loftswitch
