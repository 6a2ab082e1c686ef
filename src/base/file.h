#pragma once

// Owned files and the basic file calls. The declarations are portable; each
// platform implements them (Win32 in the product, POSIX in the native build).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"

namespace loftswitch {

enum class OpenMode : std::uint32_t {
  read = 0,           // shared for read, write and delete; sequential
  readDenyWrite = 1,  // nobody may change the file while it is open
  createNew = 2,      // fails when the file exists; not shared
  createAlways = 3,   // creates or truncates; shared for reading
  openAlways = 4,     // creates or opens, keeping what is there; shared for reading
};

// One open file. The path is kept as the caller gave it, for messages only.
class OpenFile {
 public:
  // The platform's owned handle.
  struct Native;

  OpenFile();
  OpenFile(std::unique_ptr<Native> native, std::filesystem::path path);
  OpenFile(OpenFile&&) noexcept;
  OpenFile& operator=(OpenFile&&) noexcept;
  ~OpenFile();

  Native& native() const { return *native_; }
  const std::filesystem::path& path() const { return path_; }
  bool isOpen() const { return native_ != nullptr; }
  void close();

 private:
  std::unique_ptr<Native> native_;
  std::filesystem::path path_;
};

// `permissions` is the POSIX mode a package asks for; Windows ignores it.
[[nodiscard]] Result<OpenFile> openFile(const std::filesystem::path& path, OpenMode mode,
                                        std::uint32_t permissions = 0644);
// Bytes read, 0 at the end of the file.
[[nodiscard]] Result<std::uint64_t> readSome(OpenFile& file, std::span<std::uint8_t> buffer);
// Fills the whole buffer from `offset`; a file that ends first is `damaged`.
[[nodiscard]] Result<Unit> readExactAt(OpenFile& file, std::uint64_t offset,
                                       std::span<std::uint8_t> buffer);
[[nodiscard]] Result<std::uint64_t> fileSize(OpenFile& file);
// The rest of the file from where it stands; `tooLarge` when that is more
// than `limit` bytes.
[[nodiscard]] Result<std::string> readRest(OpenFile& file, std::uint64_t limit);
[[nodiscard]] Result<Unit> writeAll(OpenFile& file, std::string_view bytes);
[[nodiscard]] Result<Unit> flushFile(OpenFile& file);
// Cuts (or extends) the file to `size` bytes; the next write goes there.
[[nodiscard]] Result<Unit> truncateAt(OpenFile& file, std::uint64_t size);
// Creates the folder and every missing one above it; an existing folder is
// success, a file in the way is not.
[[nodiscard]] Result<Unit> createFolders(const std::filesystem::path& path);

// Fills the buffer from the system generator; throws std::runtime_error when
// the system cannot deliver, which no input can cause.
void randomBytes(std::span<std::uint8_t> buffer);
// `bytes` random bytes as lower-case hex.
std::string randomToken(std::size_t bytes);

}  // namespace loftswitch
