#include <zlib.h>

#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "base/text.h"
#include "package/package_reader.h"
#include "support/memory_file_system.h"

namespace {

using namespace loftswitch;

// Small enough that a declared bomb is refused at once, large enough for
// real inflating.
constexpr PackageLimits kLimits{1 << 20, 64};

std::uint32_t crcOf(std::string_view bytes) {
  return static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Every read the reader makes must lie within the archive it was given.
  const ReadAt readAt = [data, size](std::uint64_t offset, std::span<std::uint8_t> bytes) {
    FUZZ_CHECK(offset <= size && bytes.size() <= size - offset);
    if (!bytes.empty()) std::memcpy(bytes.data(), data + offset, bytes.size());
    return true;
  };
  auto reader = openPackage(readAt, size, kLimits);
  if (!reader) return 0;

  MemoryFileSystem fileSystem;
  const std::filesystem::path target = std::filesystem::path("C:/stage") / "new";
  fileSystem.addFolder(target);
  fileSystem.addFile(std::filesystem::path("C:/stage") / "beside.txt", "kept");
  const MemoryFileSystem::Snapshot before = fileSystem.snapshot();
  const bool extracted = extractAll(*reader, fileSystem, target).has_value();

  // Nothing changes outside the target, and the limit holds even on failure.
  const MemoryFileSystem::Snapshot inside = fileSystem.snapshot(target);
  FUZZ_CHECK(fileSystem.snapshot().size() == before.size() + inside.size());
  for (const auto& [name, content] : before) FUZZ_CHECK(fileSystem.snapshot().at(name) == content);
  std::uint64_t written = 0;
  for (const auto& [name, content] : inside) written += content.size();
  FUZZ_CHECK(written <= kLimits.maxExpandedBytes);
  if (!extracted) return 0;

  // Each file holds exactly what the central directory declares for it.
  const ZipResult<ZipDirectory> directory = findZipDirectory(readAt, size);
  FUZZ_CHECK(directory.has_value());
  ZipDirectoryCursor cursor(readAt, size, *directory);
  std::size_t files = 0;
  for (const PackageEntry& entry : reader->entries()) {
    const ZipResult<ZipRecord> record = cursor.next();
    FUZZ_CHECK(record.has_value());
    const Result<std::vector<std::string>> components = reader->components(entry);
    FUZZ_CHECK(components.has_value());
    std::filesystem::path path = target;
    for (const std::string& component : *components) path /= utf8ToPath(component);
    if (entry.kind == PackageEntryKind::folder) {
      FUZZ_CHECK(fileSystem.isFolder(path));
      continue;
    }
    ++files;
    const std::optional<std::string> content = fileSystem.fileContent(path);
    FUZZ_CHECK(content.has_value() && content->size() == entry.declaredSize);
    FUZZ_CHECK(crcOf(*content) == record->crc32);
  }
  std::size_t filesInside = 0;
  for (const auto& [name, content] : inside) filesInside += name.ends_with('\\') ? 0 : 1;
  FUZZ_CHECK(filesInside == files);
  return 0;
}
