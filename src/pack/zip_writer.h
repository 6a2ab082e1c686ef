#pragma once

// Writing a zip archive of at most 4 GiB front to back, each entry stored
// and streamed in, its CRC-32 and sizes in a data descriptor after it.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.h"
#include "base/result.h"

namespace loftswitch {

class ZipWriter {
 public:
  // Creates the archive, replacing any file at `path`.
  [[nodiscard]] static Result<ZipWriter> create(const std::filesystem::path& path);

  // Starts an entry; its content follows through write(), and end() closes it.
  [[nodiscard]] Result<Unit> begin(std::string name);
  [[nodiscard]] Result<Unit> write(std::string_view piece);
  [[nodiscard]] Result<Unit> end();

  // Writes the central directory and flushes; the bytes written in all.
  [[nodiscard]] Result<std::uint64_t> finish();

 private:
  struct Entry {
    std::string name;
    std::uint32_t crc32 = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
  };

  explicit ZipWriter(OpenFile file) : file_(std::move(file)) {}
  [[nodiscard]] Result<Unit> emit(std::string_view bytes);

  OpenFile file_;
  std::uint64_t offset_ = 0;
  std::vector<Entry> entries_;
};

}  // namespace loftswitch
