#include "support/memory_file_system.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "base/text.h"
#include "base/windows_error.h"

namespace loftswitch {
namespace {

// Windows error codes, as the real calls would report them.
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kNotReady = 21;
constexpr std::uint32_t kNotSameDevice = 17;
constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kFileExists = 80;
constexpr std::uint32_t kDiskFull = 112;
constexpr std::uint32_t kAlreadyExists = 183;
constexpr std::uint32_t kDirectory = 267;

// The pieces of a path with "." and ".." worked out, as the long form would
// have them; the first piece is the root.
std::vector<std::string> piecesOf(const std::filesystem::path& path) {
  std::string text = pathToUtf8(path);
  if (text.starts_with("\\\\?\\")) text.erase(0, 4);
  std::replace(text.begin(), text.end(), '/', '\\');
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\\', start);
    if (end == std::string::npos) end = text.size();
    std::string piece = text.substr(start, end - start);
    if (piece == "..") {
      if (pieces.size() > 1) pieces.pop_back();
    } else if (!piece.empty() && piece != ".") {
      pieces.push_back(std::move(piece));
    }
    start = end + 1;
  }
  return pieces;
}

std::string join(const std::vector<std::string>& pieces, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count && i < pieces.size(); ++i) {
    if (i > 0) out += '\\';
    out += pieces[i];
  }
  return out;
}

// The folder holding `path` as the caller spelled it, split at either
// separator as Windows splits, on any system.
std::filesystem::path parentPath(const std::filesystem::path& path) {
  const std::string text = pathToUtf8(path);
  const std::size_t slash = text.find_last_of("/\\");
  return slash == std::string::npos ? std::filesystem::path() : utf8ToPath(text.substr(0, slash));
}

std::string parentOf(const std::string& key) {
  const std::size_t slash = key.rfind('\\');
  return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

std::string lastPiece(const std::string& name) {
  const std::size_t slash = name.rfind('\\');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string rootOf(const std::string& key) { return key.substr(0, key.find('\\')); }

}  // namespace

std::string MemoryFileSystem::keyOf(const std::filesystem::path& path) {
  const std::vector<std::string> pieces = piecesOf(path);
  return asciiLower(join(pieces, pieces.size()));
}

Result<Unit> MemoryFileSystem::begin(Operation operation, std::string_view verb,
                                     const std::filesystem::path& path,
                                     const std::filesystem::path* second, std::uint64_t bytes) {
  using enum Operation;
  if (onAccess) {
    onAccess(operation == copy ? readFile : operation, path);
    if (second) onAccess(operation, *second);
  }
  if (fault_ && ++counted_ >= fault_->at) {
    if (fault_->fault == Fault::powerLoss) {
      if (!poweredOff_) nodes_ = durable_, poweredOff_ = true;
      return fail(errorFromWin32(kNotReady, verb, path));
    }
    if (fault_->fault == Fault::diskFull) {
      if (bytes > freed_) return fail(errorFromWin32(kDiskFull, verb, path));
      freed_ -= bytes;
    } else if (fault_->fault == Fault::forGood || counted_ == fault_->at) {
      return fail(errorFromWin32(fault_->code, verb, path));
    }
  }
  const std::string key = keyOf(path);
  const std::string secondKey = second ? keyOf(*second) : std::string();
  for (auto rule = rules_.rbegin(); rule != rules_.rend(); ++rule) {
    if (rule->operation != operation || rule->times == 0) continue;
    if (rule->key != key && (!second || rule->key != secondKey)) continue;
    if (rule->times > 0) --rule->times;
    return fail(rule->error);
  }
  return ok();
}

void MemoryFileSystem::countFreed(std::uint64_t bytes) {
  if (fault_ && fault_->fault == Fault::diskFull && counted_ >= fault_->at) freed_ += bytes;
}

std::string MemoryFileSystem::nameFor(const std::filesystem::path& path) const {
  const std::vector<std::string> pieces = piecesOf(path);
  const std::string parent = parentOf(keyOf(path));
  return (isRoot(parent) ? pieces[0] : nodes_.at(parent).name) + "\\" + pieces.back();
}

std::uint32_t MemoryFileSystem::missingCode(const std::string& key) const {
  return folderAt(parentOf(key)) ? kFileNotFound : kPathNotFound;
}

bool MemoryFileSystem::isRoot(const std::string& key) const {
  return key.find('\\') == std::string::npos;
}

bool MemoryFileSystem::existsAt(const std::string& key) const {
  return isRoot(key) || nodes_.contains(key);
}

bool MemoryFileSystem::folderAt(const std::string& key) const {
  if (isRoot(key)) return true;
  auto it = nodes_.find(key);
  return it != nodes_.end() && it->second.folder;
}

bool MemoryFileSystem::heldAt(const std::string& key) const { return held_.contains(key); }

bool MemoryFileSystem::holdsInside(const std::string& key) const {
  const std::string prefix = key + "\\";
  auto it = held_.lower_bound(prefix);
  return it != held_.end() && it->first.starts_with(prefix);
}

std::vector<std::string> MemoryFileSystem::childKeys(const std::string& key) const {
  const std::string prefix = key + "\\";
  std::vector<std::string> children;
  for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.starts_with(prefix);
       ++it) {
    if (it->first.find('\\', prefix.size()) == std::string::npos) children.push_back(it->first);
  }
  return children;
}

bool MemoryFileSystem::exists(const std::filesystem::path& path) {
  if (!begin(Operation::exists, "can't read the attributes of", path)) return false;
  return existsAt(keyOf(path));
}

Result<EntryKind> MemoryFileSystem::probe(const std::filesystem::path& path) {
  RETURN_IF_ERROR(begin(Operation::probe, "can't read the attributes of", path));
  const std::string key = keyOf(path);
  if (!existsAt(key)) return EntryKind::missing;
  if (links_.contains(key)) return EntryKind::link;
  return folderAt(key) ? EntryKind::folder : EntryKind::file;
}

bool MemoryFileSystem::isFolder(const std::filesystem::path& path) {
  if (!begin(Operation::isFolder, "can't read the attributes of", path)) return false;
  return folderAt(keyOf(path)) && !links_.contains(keyOf(path));
}

Result<std::vector<std::string>> MemoryFileSystem::list(const std::filesystem::path& folder) {
  RETURN_IF_ERROR(begin(Operation::list, "can't list", folder));
  const std::string key = keyOf(folder);
  if (!existsAt(key)) return fail(errorFromWin32(kPathNotFound, "can't list", folder));
  if (!folderAt(key)) return fail(errorFromWin32(kDirectory, "can't list", folder));
  std::vector<std::string> names;
  for (const std::string& child : childKeys(key)) names.push_back(lastPiece(nodes_.at(child).name));
  std::sort(names.begin(), names.end());
  return names;
}

Result<Unit> MemoryFileSystem::makeFolders(const std::filesystem::path& path) {
  const std::vector<std::string> pieces = piecesOf(path);
  for (std::size_t count = 2; count <= pieces.size(); ++count) {
    const std::string given = join(pieces, count);
    const std::string key = asciiLower(given);
    auto it = nodes_.find(key);
    if (it != nodes_.end()) {
      if (it->second.folder) continue;
      // An ancestor in the way is reported under its long form.
      const std::string shown = count == pieces.size() ? pathToUtf8(path) : "\\\\?\\" + given;
      return fail(ErrorCode::io, "can't create folder " + shown + ": a file is in the way");
    }
    const std::string parent = parentOf(key);
    const std::string parentName = isRoot(parent) ? pieces[0] : nodes_.at(parent).name;
    nodes_[key] = Node{parentName + "\\" + pieces[count - 1], true, {}};
  }
  return ok();
}

Result<Unit> MemoryFileSystem::createFolders(const std::filesystem::path& path) {
  RETURN_IF_ERROR(begin(Operation::createFolders, "can't create folder", path));
  return makeFolders(path);
}

Result<Unit> MemoryFileSystem::move(const std::filesystem::path& from,
                                    const std::filesystem::path& to) {
  const std::string prefix = "can't move " + pathToUtf8(from) + " to";
  RETURN_IF_ERROR(begin(Operation::move, prefix, from, &to));
  RETURN_IF_ERROR(makeFolders(parentPath(to)));
  const std::string fromKey = keyOf(from);
  const std::string toKey = keyOf(to);
  if (isRoot(fromKey) || isRoot(toKey)) return fail(errorFromWin32(kAccessDenied, prefix, to));
  if (!existsAt(fromKey)) return fail(errorFromWin32(missingCode(fromKey), prefix, to));
  if (rootOf(fromKey) != rootOf(toKey)) return fail(errorFromWin32(kNotSameDevice, prefix, to));
  if (heldAt(fromKey)) return fail(errorFromWin32(kSharingViolation, prefix, to));
  if (holdsInside(fromKey)) return fail(errorFromWin32(kAccessDenied, prefix, to));
  // Renaming an entry to its own name in another case is allowed.
  if (toKey != fromKey && existsAt(toKey)) return fail(errorFromWin32(kAlreadyExists, prefix, to));
  if (toKey.starts_with(fromKey + "\\")) return fail(errorFromWin32(kSharingViolation, prefix, to));

  const std::string oldName = nodes_.at(fromKey).name;
  const std::string newName = nameFor(to);
  std::vector<std::pair<std::string, Node>> moved;
  const std::string inside = fromKey + "\\";
  for (auto it = nodes_.begin(); it != nodes_.end();) {
    if (it->first == fromKey || it->first.starts_with(inside)) {
      Node node = std::move(it->second);
      const std::string key = toKey + it->first.substr(fromKey.size());
      node.name = newName + node.name.substr(oldName.size());
      moved.emplace_back(key, std::move(node));
      it = nodes_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [key, node] : moved) nodes_[key] = std::move(node);
  ++flushes_;
  if (fault_) durable_ = nodes_;
  return ok();
}

std::uint32_t MemoryFileSystem::removeTree(const std::string& key) {
  std::uint32_t first = 0;
  if (folderAt(key)) {
    for (const std::string& child : childKeys(key)) {
      const std::uint32_t error = removeTree(child);
      if (first == 0) first = error;
    }
  }
  if (first != 0) return first;
  if (heldAt(key)) return kSharingViolation;
  countFreed(nodes_.at(key).content.size());
  nodes_.erase(key);
  return 0;
}

Result<Unit> MemoryFileSystem::remove(const std::filesystem::path& path) {
  RETURN_IF_ERROR(begin(Operation::remove, "can't delete", path));
  const std::string key = keyOf(path);
  if (isRoot(key)) return fail(errorFromWin32(kAccessDenied, "can't delete", path));
  if (!existsAt(key)) return ok();
  const std::uint32_t error = removeTree(key);
  if (error != 0) return fail(errorFromWin32(error, "can't delete", path));
  return ok();
}

Result<Unit> MemoryFileSystem::writeFile(const std::filesystem::path& path,
                                         std::string_view bytes) {
  RETURN_IF_ERROR(begin(Operation::writeFile, "can't replace", path, nullptr, bytes.size()));
  RETURN_IF_ERROR(makeFolders(parentPath(path)));
  const std::string key = keyOf(path);
  if (folderAt(key) || heldAt(key))
    return fail(errorFromWin32(kAccessDenied, "can't replace", path));
  if (auto old = nodes_.find(key); old != nodes_.end()) countFreed(old->second.content.size());
  // The replacing rename gives the file the name as written this time.
  nodes_[key] = Node{nameFor(path), false, std::string(bytes)};
  return ok();
}

Result<std::string> MemoryFileSystem::readFile(const std::filesystem::path& path,
                                               std::uint64_t limit) {
  RETURN_IF_ERROR(begin(Operation::readFile, "can't open", path));
  const std::string key = keyOf(path);
  if (!existsAt(key)) return fail(errorFromWin32(missingCode(key), "can't open", path));
  if (folderAt(key)) return fail(errorFromWin32(kAccessDenied, "can't open", path));
  const std::string& content = nodes_.at(key).content;
  if (content.size() > limit) {
    return fail(ErrorCode::tooLarge,
                pathToUtf8(path) + " is larger than " + std::to_string(limit) + " bytes");
  }
  return content;
}

Result<Unit> MemoryFileSystem::append(const std::filesystem::path& path, std::string_view bytes) {
  RETURN_IF_ERROR(begin(Operation::append, "can't open", path, nullptr, bytes.size()));
  const std::string key = keyOf(path);
  const std::string parent = parentOf(key);
  if (isRoot(key) || !folderAt(parent))
    return fail(errorFromWin32(kPathNotFound, "can't open", path));
  if (folderAt(key)) return fail(errorFromWin32(kAccessDenied, "can't open", path));
  if (heldAt(key)) return fail(errorFromWin32(kSharingViolation, "can't open", path));
  nodes_.try_emplace(key, Node{nameFor(path), false, {}}).first->second.content += bytes;
  ++flushes_;
  if (fault_) durable_ = nodes_;
  return ok();
}

Result<Unit> MemoryFileSystem::copy(const std::filesystem::path& from,
                                    const std::filesystem::path& to) {
  const std::string prefix = "can't copy " + pathToUtf8(from) + " to";
  const auto source = nodes_.find(keyOf(from));
  RETURN_IF_ERROR(begin(Operation::copy, prefix, from, &to,
                        source == nodes_.end() ? 0 : source->second.content.size()));
  RETURN_IF_ERROR(makeFolders(parentPath(to)));
  const std::string fromKey = keyOf(from);
  const std::string toKey = keyOf(to);
  if (!existsAt(fromKey)) return fail(errorFromWin32(missingCode(fromKey), prefix, to));
  if (folderAt(fromKey) || folderAt(toKey)) return fail(errorFromWin32(kAccessDenied, prefix, to));
  if (heldAt(toKey)) return fail(errorFromWin32(kSharingViolation, prefix, to));
  std::string content = nodes_.at(fromKey).content;
  nodes_.try_emplace(toKey, Node{nameFor(to), false, {}}).first->second.content =
      std::move(content);
  return ok();
}

// Writes into the file's node for as long as it exists, as a handle keeps
// writing to its file.
class MemoryFileSystem::Writer final : public FileWriter {
 public:
  Writer(MemoryFileSystem& fs, std::filesystem::path path) : fs_(fs), path_(std::move(path)) {}
  Result<Unit> write(std::string_view bytes) override {
    RETURN_IF_ERROR(fs_.begin(Operation::write, "can't write", path_, nullptr, bytes.size()));
    auto it = fs_.nodes_.find(keyOf(path_));
    if (it != fs_.nodes_.end() && !it->second.folder) it->second.content += bytes;
    return ok();
  }

 private:
  MemoryFileSystem& fs_;
  std::filesystem::path path_;
};

// Reads what the file holds at each call, as a reader sharing it with
// writers does.
class MemoryFileSystem::Reader final : public FileReader {
 public:
  Reader(MemoryFileSystem& fs, std::filesystem::path path) : fs_(fs), path_(std::move(path)) {}
  Result<std::size_t> read(std::span<char> buffer) override {
    RETURN_IF_ERROR(fs_.begin(Operation::read, "can't read", path_));
    const auto it = fs_.nodes_.find(keyOf(path_));
    const bool more = it != fs_.nodes_.end() && it->second.content.size() > at_;
    const std::size_t got = more ? it->second.content.copy(buffer.data(), buffer.size(), at_) : 0;
    return at_ += got, got;
  }
  Result<std::uint64_t> size() override {
    const auto it = fs_.nodes_.find(keyOf(path_));
    return it == fs_.nodes_.end() ? 0 : it->second.content.size();
  }

 private:
  MemoryFileSystem& fs_;
  std::filesystem::path path_;
  std::size_t at_ = 0;
};

Result<std::unique_ptr<FileReader>> MemoryFileSystem::openRead(const std::filesystem::path& path) {
  RETURN_IF_ERROR(begin(Operation::openRead, "can't open", path));
  const std::string key = keyOf(path);
  if (!existsAt(key)) return fail(errorFromWin32(missingCode(key), "can't open", path));
  if (folderAt(key)) return fail(errorFromWin32(kAccessDenied, "can't open", path));
  return std::unique_ptr<FileReader>(std::make_unique<Reader>(*this, path));
}

Result<std::unique_ptr<FileWriter>> MemoryFileSystem::createFile(const std::filesystem::path& path,
                                                                 std::uint32_t /*permissions*/) {
  RETURN_IF_ERROR(begin(Operation::createFile, "can't create", path));
  const std::string key = keyOf(path);
  if (isRoot(key) || !folderAt(parentOf(key))) {
    return fail(errorFromWin32(kPathNotFound, "can't create", path));
  }
  if (existsAt(key)) return fail(errorFromWin32(kFileExists, "can't create", path));
  nodes_[key] = Node{nameFor(path), false, {}};
  return std::unique_ptr<FileWriter>(std::make_unique<Writer>(*this, path));
}

Result<Unit> MemoryFileSystem::checkWritable(const std::filesystem::path& folder) {
  RETURN_IF_ERROR(begin(Operation::checkWritable, "can't create", folder));
  if (!folderAt(keyOf(folder))) {
    return fail(ErrorCode::accessDenied, pathToUtf8(folder) + " can't be changed by this user: " +
                                             windowsErrorText(kPathNotFound));
  }
  return ok();
}

void MemoryFileSystem::addFile(const std::filesystem::path& path, std::string_view content) {
  const Result<Unit> folders = makeFolders(parentPath(path));
  const std::string key = keyOf(path);
  if (!folders || isRoot(key) || folderAt(key)) {
    throw std::logic_error("MemoryFileSystem::addFile: something is in the way of " +
                           pathToUtf8(path));
  }
  nodes_[key] = Node{nameFor(path), false, std::string(content)};
  ++flushes_;
  if (fault_) durable_ = nodes_;
}

void MemoryFileSystem::addFolder(const std::filesystem::path& path) {
  if (!makeFolders(path)) {
    throw std::logic_error("MemoryFileSystem::addFolder: a file is in the way of " +
                           pathToUtf8(path));
  }
}

std::optional<std::string> MemoryFileSystem::fileContent(const std::filesystem::path& path) const {
  auto it = nodes_.find(keyOf(path));
  if (it == nodes_.end() || it->second.folder) return std::nullopt;
  return it->second.content;
}

// Keys are the folded names, so a prefix of a key has the length of the same
// prefix of the stored name.
MemoryFileSystem::Snapshot MemoryFileSystem::snapshot(const std::filesystem::path& folder) const {
  const std::string prefix = folder.empty() ? std::string() : keyOf(folder) + "\\";
  Snapshot out;
  for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.starts_with(prefix);
       ++it) {
    const std::string relative = it->second.name.substr(prefix.size());
    out[it->second.folder ? relative + "\\" : relative] = it->second.content;
  }
  return out;
}

void MemoryFileSystem::failOn(Operation operation, const std::filesystem::path& path, Error error,
                              int times) {
  rules_.push_back(Rule{operation, keyOf(path), std::move(error), times});
}


void MemoryFileSystem::hold(const std::filesystem::path& path, std::vector<FileHolder> holders) {
  held_[keyOf(path)] = std::move(holders);
}

void MemoryFileSystem::release(const std::filesystem::path& path) { held_.erase(keyOf(path)); }

std::vector<FileHolder> MemoryFileSystem::holders(const std::filesystem::path& path) {
  const auto found = held_.find(keyOf(path));
  return found == held_.end() ? std::vector<FileHolder>() : found->second;
}

void MemoryFileSystem::failAt(std::size_t k, Fault fault, std::uint32_t code) {
  fault_ = Injected{k, fault, code};
  counted_ = 0;
  freed_ = 0;
  durable_ = nodes_;
}

// Released when the owner drops it, as the system closes a handle.
class MemoryFileSystem::HeldLock final : public FileLock {
 public:
  HeldLock(std::set<std::string>& locks, std::string key) : locks_(locks), key_(std::move(key)) {}
  ~HeldLock() override { locks_.erase(key_); }

 private:
  std::set<std::string>& locks_;
  std::string key_;
};

Result<std::unique_ptr<FileLock>> MemoryFileSystem::lock(const std::filesystem::path& path) {
  RETURN_IF_ERROR(begin(Operation::lock, "can't open the lock", path));
  const std::string key = keyOf(path);
  if (!folderAt(parentOf(key))) return fail(errorFromWin32(kPathNotFound, "can't open the lock", path));
  if (folderAt(key)) return fail(errorFromWin32(kAccessDenied, "can't open the lock", path));
  if (!locks_.insert(key).second) {
    ++lockRefusals_;
    return nullptr;
  }
  nodes_.try_emplace(key, Node{nameFor(path), false, {}});
  return std::unique_ptr<FileLock>(std::make_unique<HeldLock>(locks_, key));
}

Result<std::uint64_t> MemoryFileSystem::size(const std::filesystem::path& path) {
  RETURN_IF_ERROR(begin(Operation::size, "can't measure", path));
  const std::string key = keyOf(path);
  if (!existsAt(key)) return fail(errorFromWin32(missingCode(key), "can't measure", path));
  std::uint64_t total = isRoot(key) ? 0 : nodes_.at(key).content.size();
  const std::string prefix = key + "\\";
  for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.starts_with(prefix);
       ++it) {
    total += it->second.content.size();
  }
  return total;
}

void MemoryFileSystem::heal() {
  poweredOff_ = false;
  fault_.reset();
}

}  // namespace loftswitch
