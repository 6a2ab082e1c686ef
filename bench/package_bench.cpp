// Opening 200,000 entries flat and 128 levels deep, then hashing, opening
// and extracting a package of about 1 GiB: time and peak memory of each step. Memory must stay flat as the package grows, and
// opening must read the directory only.
//   bench-package.exe <folder> [MiB]
#include <windows.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "measure.h"

#include "base/file.h"
#include "base/text.h"
#include "elevated/sha256.h"
#include "elevated/verify.h"
#include "fs/local_file_system.h"
#include "package/package_reader.h"

namespace {

using namespace loftswitch;

void put16(std::string& out, std::uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// A stored entry's central directory record: no extra field, no comment.
void putCentralRecord(std::string& out, const std::string& name, std::uint32_t flags,
                      std::uint32_t crc, std::uint32_t size, std::uint64_t localOffset) {
  put32(out, 0x02014b50);
  put16(out, 20);
  put16(out, 20);
  put16(out, flags);
  put16(out, 0);  // stored
  put32(out, 0);  // time and date
  put32(out, crc);
  put32(out, size);
  put32(out, size);
  put16(out, static_cast<std::uint32_t>(name.size()));
  for (int i = 0; i < 4; ++i) put16(out, 0);  // extra, comment, disk, internal attributes
  put32(out, 0);
  put32(out, static_cast<std::uint32_t>(localOffset));
  out += name;
}

// A stored-entries zip written in a streaming way: the generator itself must
// not inflate the peak memory that the steps are measured against.
std::uint64_t writePackage(const std::filesystem::path& path, std::uint64_t totalBytes,
                           std::uint32_t fileBytes) {
  auto file = openFile(path, OpenMode::createAlways);
  if (!file) {
    std::fprintf(stderr, "%s\n", file.error().message.c_str());
    std::exit(2);
  }
  std::string chunk(fileBytes, '\0');
  std::uint32_t seed = 12345;
  std::string central;
  std::uint64_t offset = 0;
  std::uint32_t count = 0;
  for (std::uint64_t written = 0; written < totalBytes; written += fileBytes, ++count) {
    for (char& c : chunk) {
      seed = seed * 1103515245u + 12345u;
      c = static_cast<char>(seed >> 24);
    }
    const std::uint32_t crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(chunk.data()), fileBytes));
    const std::string name = "data/part-" + std::to_string(count) + ".bin";
    std::string local;
    put32(local, 0x04034b50);
    put16(local, 20);
    put16(local, 0x0800);  // UTF-8 names
    put16(local, 0);       // stored
    put32(local, 0);
    put32(local, crc);
    put32(local, fileBytes);
    put32(local, fileBytes);
    put16(local, static_cast<std::uint32_t>(name.size()));
    put16(local, 0);
    local += name;
    putCentralRecord(central, name, 0x0800, crc, fileBytes, offset);
    (void)writeAll(*file, local);
    (void)writeAll(*file, chunk);
    offset += local.size() + fileBytes;
  }
  std::string end;
  put32(end, 0x06054b50);
  put16(end, 0);
  put16(end, 0);
  put16(end, count);
  put16(end, count);
  put32(end, static_cast<std::uint32_t>(central.size()));
  put32(end, static_cast<std::uint32_t>(offset));
  put16(end, 0);
  (void)writeAll(*file, central);
  (void)writeAll(*file, end);
  return offset + central.size() + end.size();
}

void put64(std::string& out, std::uint64_t v) {
  put32(out, static_cast<std::uint32_t>(v));
  put32(out, static_cast<std::uint32_t>(v >> 32));
}

// `count` empty stored files, each `depth` levels deep, written in two
// streaming passes so that the generator holds no directory in memory.
std::uint64_t writeManyEntries(const std::filesystem::path& path, std::uint32_t count,
                               std::uint32_t depth) {
  auto file = openFile(path, OpenMode::createAlways);
  if (!file) std::exit(2);
  std::string prefix;
  for (std::uint32_t i = 1; i < depth; ++i) prefix += "d/";
  const auto nameOf = [&prefix](std::uint32_t i) { return prefix + std::to_string(i); };
  std::uint64_t offset = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string name = nameOf(i);
    std::string local;
    put32(local, 0x04034b50);
    put16(local, 20);
    put16(local, 0);
    put16(local, 0);
    put32(local, 0);
    put32(local, 0);
    put32(local, 0);
    put32(local, 0);
    put16(local, static_cast<std::uint32_t>(name.size()));
    put16(local, 0);
    local += name;
    (void)writeAll(*file, local);
    offset += local.size();
  }
  const std::uint64_t directoryOffset = offset;
  std::uint64_t localOffset = 0;
  std::string batch;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string name = nameOf(i);
    putCentralRecord(batch, name, 0, 0, 0, localOffset);
    localOffset += 30 + name.size();
    offset += 46 + name.size();
    if (batch.size() > (1u << 20)) (void)writeAll(*file, batch), batch.clear();
  }
  const std::uint64_t directorySize = offset - directoryOffset;
  std::string end;
  put32(end, 0x06064b50);
  put64(end, 44);
  put16(end, 45);
  put16(end, 45);
  put32(end, 0);
  put32(end, 0);
  put64(end, count);
  put64(end, count);
  put64(end, directorySize);
  put64(end, directoryOffset);
  put32(end, 0x07064b50);
  put32(end, 0);
  put64(end, offset);
  put32(end, 1);
  put32(end, 0x06054b50);
  put16(end, 0);
  put16(end, 0);
  put16(end, 0xFFFF);
  put16(end, 0xFFFF);
  put32(end, 0xFFFFFFFF);
  put32(end, 0xFFFFFFFF);
  put16(end, 0);
  batch += end;
  (void)writeAll(*file, batch);
  return offset + end.size();
}

// Opens a package of many entries and prints its time and the growth of the
// peak working set it caused.
void openManyEntries(const std::filesystem::path& path, std::uint32_t depth) {
  const std::uint32_t count = 200000;
  const std::uint64_t size = writeManyEntries(path, count, depth);
  auto file = openFile(path, OpenMode::read);
  if (!file) std::exit(2);
  ReadAt readAt = [&file](std::uint64_t offset, std::span<std::uint8_t> bytes) {
    return static_cast<bool>(readExactAt(*file, offset, bytes));
  };
  const double before = peakMiB();
  const auto start = Clock::now();
  auto reader = openPackage(readAt, size, PackageLimits{std::uint64_t{16} << 30, count});
  const double seconds = secondsSince(start);
  std::printf("openPackage of %u entries %3u levels deep (%.0f MiB): %6.2f s  peak +%.1f MiB%s\n",
              count, depth, size / 1048576.0, seconds, peakMiB() - before,
              reader ? "" : ("  " + reader.error().message).c_str());
}

Sha256Digest digestOf(const std::filesystem::path& path) {
  auto file = openFile(path, OpenMode::read);
  Sha256 hash;
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    auto got = readSome(*file, buffer);
    if (!got || *got == 0) break;
    hash.update(std::span<const std::uint8_t>(buffer.data(), *got));
  }
  return hash.finish();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench-package <folder> [MiB]\n");
    return 64;
  }
  const std::filesystem::path folder = argv[1];
  const std::uint64_t mib = argc > 2 ? std::wcstoull(argv[2], nullptr, 10) : 1024;
  const auto package = folder / "package.zip";
  const auto target = folder / "extracted";
  std::filesystem::remove_all(target);
  std::filesystem::create_directories(target);

  // Names many levels deep must cost little more than flat ones.
  openManyEntries(folder / "flat.zip", 1);
  openManyEntries(folder / "deep.zip", 128);
  std::filesystem::remove(folder / "flat.zip");
  std::filesystem::remove(folder / "deep.zip");

  const std::uint64_t size = writePackage(package, mib << 20, 8u << 20);
  std::printf("package: %.1f MiB in %llu entries of 8 MiB (stored)\n", size / 1048576.0,
              static_cast<unsigned long long>(mib / 8));
  std::printf("peak memory after writing it: %.1f MiB\n", peakMiB());

  UpdateRequest request;
  request.size = size;
  request.sha256 = digestOf(package);

  auto start = Clock::now();
  auto held = hashPackage(package, request);
  if (!held) {
    std::fprintf(stderr, "hash: %s\n", held.error().message.c_str());
    return 1;
  }
  const double hashSeconds = secondsSince(start);
  std::printf("hashPackage:  %6.2f s  %7.1f MiB/s  peak %.1f MiB\n", hashSeconds,
              size / 1048576.0 / hashSeconds, peakMiB());

  std::uint64_t bytesRead = 0;
  loftswitch::OpenFile& file = *held;
  ReadAt readAt = [&file, &bytesRead](std::uint64_t offset, std::span<std::uint8_t> bytes) {
    bytesRead += bytes.size();
    return static_cast<bool>(readExactAt(file, offset, bytes));
  };
  start = Clock::now();
  auto reader = openPackage(readAt, size, PackageLimits{std::uint64_t{16} << 30, 200000});
  if (!reader) {
    std::fprintf(stderr, "open: %s\n", reader.error().message.c_str());
    return 1;
  }
  std::printf("openPackage:  %6.3f s  read %llu bytes of %llu  peak %.1f MiB\n",
              secondsSince(start), static_cast<unsigned long long>(bytesRead),
              static_cast<unsigned long long>(size), peakMiB());

  start = Clock::now();
  LocalFileSystem fileSystem;
  if (auto extracted = extractAll(*reader, fileSystem, target); !extracted) {
    std::fprintf(stderr, "extract: %s\n", extracted.error().message.c_str());
    return 1;
  }
  const double extractSeconds = secondsSince(start);
  std::printf("extractAll:   %6.2f s  %7.1f MiB/s  peak %.1f MiB\n", extractSeconds,
              size / 1048576.0 / extractSeconds, peakMiB());
  return 0;
}
