#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "fs/file_system.h"

namespace loftswitch {

// A file system in memory that answers like LocalFileSystem on NTFS: names
// compare without regard to ASCII case and keep the case they were created
// with, and the messages and codes are those the Windows calls would give.
// Any path whose first piece is a drive ("C:") is valid; drive roots always
// exist. Relative paths are taken as they are.
//
// On top of that it can fail chosen operations, hold paths "in use" and
// simulate a power loss.
class MemoryFileSystem : public FileSystem {
 public:
  enum class Operation { exists, probe, isFolder, list, move, createFolders, remove, writeFile,
                         readFile, append, copy, checkWritable, createFile, write, lock, size,
                         openRead, read };

  // Full paths as stored (their case kept) mapped to file contents; folders
  // end with "\" and map to the empty text.
  using Snapshot = std::map<std::string, std::string>;

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
  Result<std::unique_ptr<FileReader>> openRead(const std::filesystem::path& path) override;
  Result<Unit> copy(const std::filesystem::path& from, const std::filesystem::path& to) override;
  Result<std::unique_ptr<FileWriter>> createFile(const std::filesystem::path& path,
                                                 std::uint32_t permissions) override;
  Result<Unit> checkWritable(const std::filesystem::path& folder) override;
  // A lock held through this file system refuses every other opener.
  Result<std::unique_ptr<FileLock>> lock(const std::filesystem::path& path) override;
  Result<std::uint64_t> size(const std::filesystem::path& path) override;
  std::vector<FileHolder> holders(const std::filesystem::path& path) override;

  // Told every operation and each path it names, before it is checked,
  // counted or run; a copy's source as the read it is.
  std::function<void(Operation, const std::filesystem::path&)> onAccess;
  // How many changes were flushed to disk (each with all before it).
  std::size_t flushes() const { return flushes_; }
  // How often a lock was refused because another opener held it.
  std::size_t lockRefusals() const { return lockRefusals_; }

  // Set-up and inspection for tests: never counted, never failed, never held,
  // and on disk for good.
  // addFile creates the missing folders and replaces an existing file.
  void addFile(const std::filesystem::path& path, std::string_view content);
  void addFolder(const std::filesystem::path& path);
  // Makes an existing folder answer as a junction does: it still lists, but
  // it is a link, not a folder.
  void markLink(const std::filesystem::path& path) { links_.insert(keyOf(path)); }
  // The content of a file; nothing for a folder or a missing path.
  std::optional<std::string> fileContent(const std::filesystem::path& path) const;
  // The entries below `folder` (not the folder itself), relative to it;
  // everything without one.
  Snapshot snapshot(const std::filesystem::path& folder = {}) const;

  // Makes `operation` fail with `error` when either of its paths is `path`
  // (compared as the file system compares): `times` calls, then it succeeds
  // again; a negative count fails for good. Later rules are checked first.
  void failOn(Operation operation, const std::filesystem::path& path, Error error,
              int times = -1);

  // A held path is open in another program without delete sharing: moving,
  // removing, replacing or appending to it fails with the Windows sharing
  // violation (`inUse`); moving a folder that holds it is access denied.
  // `holders` are the programs that `holders` then names for it.
  void hold(const std::filesystem::path& path, std::vector<FileHolder> holders = {});
  void release(const std::filesystem::path& path);
  void releaseAll() { held_.clear(); }

  // Fault injection for sweeps: the `k`-th call from now (every operation
  // counts, `exists` and `isFolder` included) fails with the Windows error
  // `code` ("the device is not ready" unless told) and changes nothing:
  // `once`, then the disk works again; `forGood`, with every later call; as
  // `diskFull`, from then on every call that needs new space beyond what
  // deletes freed since; or as a `powerLoss`, which leaves the disk as the
  // last flush left it and fails every call as not ready until `heal`. What
  // was flushed: `append` flushes, and `move` writes through, which flushes
  // every change made before it; a `writeFile`, `remove` or `createFolders`
  // after the last of those is lost, the replace falling back to the old
  // whole file.
  enum class Fault { once, forGood, diskFull, powerLoss };
  void failAt(std::size_t k, Fault fault, std::uint32_t code = 21);
  // Whether a power loss struck and the disk waits for `heal`.
  bool poweredOff() const { return poweredOff_; }
  // Whether the call chosen by failAt was reached.
  bool faultReached() const { return fault_ && counted_ >= fault_->at; }
  // Ends the fault (the power comes back) and starts counting afresh.
  void heal();

 private:
  class Writer;
  class HeldLock;
  class Reader;

  struct Node {
    std::string name;  // the full path as stored, pieces joined with "\"
    bool folder = false;
    std::string content;
  };
  struct Rule {
    Operation operation;
    std::string key;
    Error error;
    int times;
  };

  // `bytes` is the new space the operation needs.
  Result<Unit> begin(Operation operation, std::string_view verb,
                     const std::filesystem::path& path,
                     const std::filesystem::path* second = nullptr, std::uint64_t bytes = 0);
  // The path as it will be stored: its parent's stored name and its own last piece.
  std::string nameFor(const std::filesystem::path& path) const;
  // Not found, or no such path when the parent folder is missing too.
  std::uint32_t missingCode(const std::string& key) const;
  static std::string keyOf(const std::filesystem::path& path);
  bool isRoot(const std::string& key) const;
  bool folderAt(const std::string& key) const;
  bool existsAt(const std::string& key) const;
  bool heldAt(const std::string& key) const;
  bool holdsInside(const std::string& key) const;
  std::vector<std::string> childKeys(const std::string& key) const;
  Result<Unit> makeFolders(const std::filesystem::path& path);
  std::uint32_t removeTree(const std::string& key);
  // Counts `bytes` as freed while the disk is full.
  void countFreed(std::uint64_t bytes);

  std::map<std::string, Node> nodes_;
  std::vector<Rule> rules_;
  // Held paths, with the programs said to hold them.
  std::map<std::string, std::vector<FileHolder>> held_;
  std::set<std::string> links_;
  struct Injected {
    std::size_t at;
    Fault fault;
    std::uint32_t code;
  };
  std::optional<Injected> fault_;
  std::size_t counted_ = 0;
  // Space freed since the disk filled up.
  std::uint64_t freed_ = 0;
  std::set<std::string> locks_;
  std::size_t lockRefusals_ = 0;
  std::size_t flushes_ = 0;
  bool poweredOff_ = false;
  std::map<std::string, Node> durable_;
};

}  // namespace loftswitch
