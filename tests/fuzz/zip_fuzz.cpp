#include <algorithm>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "base/text.h"
#include "package/package_reader.h"
#include "support/memory_file_system.h"

namespace {

using namespace loftswitch;

// Small enough that a declared bomb is refused at once, large enough for
// real inflating.
constexpr PackageLimits kLimits{1 << 20, 64};

std::uint64_t le(const std::uint8_t* bytes, int count) {
  std::uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// An accepted archive read again by the format's plain rules, classic
// records only: each local header tells the central directory's story, and
// no entry shares a byte with another entry or with the directory.
void checkOneStory(const std::uint8_t* data, std::size_t size, std::size_t entries) {
  std::size_t end = size;
  while (end >= 22 && !(le(data + end - 22, 4) == 0x06054b50 && le(data + end - 2, 2) == size - end)) --end;
  if (end < 22) return;
  const std::uint8_t* record = data + end - 22;
  const std::uint64_t count = le(record + 10, 2), directorySize = le(record + 12, 4), directory = le(record + 16, 4);
  if (count != entries || count == 0xFFFF || directorySize == 0xFFFFFFFF || directory == 0xFFFFFFFF) return;
  FUZZ_CHECK(directory + directorySize == end - 22);  // no gap a reader could shift offsets by
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans = {{directory, directory + directorySize}};
  for (std::uint64_t at = directory, i = 0; i < count; ++i) {
    FUZZ_CHECK(at + 46 <= size && le(data + at, 4) == 0x02014b50);
    const std::uint8_t* central = data + at;
    const std::uint64_t flags = le(central + 8, 2), nameSize = le(central + 28, 2), compressed = le(central + 20, 4),
                        local = le(central + 42, 4);
    if (compressed == 0xFFFFFFFF || le(central + 24, 4) == 0xFFFFFFFF || local == 0xFFFFFFFF) return;
    FUZZ_CHECK(local + 30 <= size && le(data + local, 4) == 0x04034b50);
    const std::uint8_t* header = data + local;
    FUZZ_CHECK(le(header + 8, 2) == le(central + 10, 2));
    FUZZ_CHECK((le(header + 6, 2) & 1) == (flags & 1));
    FUZZ_CHECK(le(header + 26, 2) == nameSize && local + 30 + nameSize <= size && std::memcmp(header + 30, central + 46, nameSize) == 0);
    if ((flags & 8) == 0 && le(header + 18, 4) != 0xFFFFFFFF) {
      FUZZ_CHECK(std::memcmp(header + 14, central + 16, 12) == 0);
    }
    spans.emplace_back(local, local + 30 + nameSize + le(header + 28, 2) + compressed);
    at += 46 + nameSize + le(central + 30, 2) + le(central + 32, 2);
  }
  std::sort(spans.begin(), spans.end());
  for (std::size_t i = 1; i < spans.size(); ++i) FUZZ_CHECK(spans[i - 1].second <= spans[i].first);
}

// Upper case by the C library's Unicode tables, not the reader's own.
std::wstring upper(const std::string& text) {
  static const bool ready = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  FUZZ_CHECK(ready);
  std::wstring out;
  std::mbstate_t state{};
  for (std::size_t at = 0; at < text.size();) {
    wchar_t c = 0;
    const std::size_t used = std::mbrtowc(&c, text.data() + at, text.size() - at, &state);
    FUZZ_CHECK(used != 0 && used <= text.size() - at);
    out.push_back(static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))));
    at += used;
  }
  return out;
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
  checkOneStory(data, size, reader->entries().size());

  // Each file holds as many bytes as it declared.
  std::set<std::wstring> names, fileNames;
  for (const PackageEntry& entry : reader->entries()) {
    const Result<std::vector<std::string>> components = reader->components(entry);
    FUZZ_CHECK(components.has_value());
    std::filesystem::path path = target;
    std::wstring name;
    for (const std::string& component : *components) {
      path /= utf8ToPath(component);
      name += upper(component) + L"/";
    }
    // No two accepted names are equal as NTFS compares them.
    FUZZ_CHECK(names.insert(name).second);
    if (entry.kind == PackageEntryKind::file) fileNames.insert(name);
    if (entry.kind == PackageEntryKind::folder) {
      FUZZ_CHECK(fileSystem.isFolder(path));
      continue;
    }
    FUZZ_CHECK(fileSystem.fileContent(path).value_or(std::string(entry.declaredSize + 1, 'x')).size() == entry.declaredSize);
  }
  // And none lies inside a file.
  for (const std::wstring& name : names) {
    for (std::size_t slash = name.find(L'/'); slash + 1 < name.size(); slash = name.find(L'/', slash + 1)) {
      FUZZ_CHECK(!fileNames.contains(name.substr(0, slash + 1)));
    }
  }
  return 0;
}
