#pragma once

#include "fs/file_system.h"

namespace loftswitch {

// The file system of this machine, through Win32 calls on the long form of
// every path. Deletes and replacing renames retry while other processes hold
// a file briefly, and use POSIX semantics where the file system offers them.
class LocalFileSystem final : public FileSystem {
 public:
  bool exists(const std::filesystem::path& path) override;
  Result<EntryKind> probe(const std::filesystem::path& path) override;
  bool isFolder(const std::filesystem::path& path) override;
  Result<std::vector<std::string>> list(const std::filesystem::path& folder) override;
  Result<Unit> move(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Result<Unit> createFolders(const std::filesystem::path& path) override;
  Result<Unit> remove(const std::filesystem::path& path) override;
  Result<Unit> writeFile(const std::filesystem::path& path, std::string_view bytes) override;
  Result<std::string> readFile(const std::filesystem::path& path, std::uint64_t limit) override;
  Result<Unit> append(const std::filesystem::path& path, std::string_view bytes) override;
  Result<std::unique_ptr<FileWriter>> createFile(const std::filesystem::path& path,
                                                 std::uint32_t permissions) override;
  Result<std::unique_ptr<FileReader>> openRead(const std::filesystem::path& path) override;
  Result<Unit> copy(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Result<Unit> checkWritable(const std::filesystem::path& folder) override;
  // No sharing at all: a sharing or lock violation means another opener.
  Result<std::unique_ptr<FileLock>> lock(const std::filesystem::path& path) override;
  Result<std::uint64_t> size(const std::filesystem::path& path) override;
  // Asks Windows' Restart Manager.
  std::vector<FileHolder> holders(const std::filesystem::path& path) override;
};

}  // namespace loftswitch
