// Two releases of a synthetic app of about 200 MB in 500 files, of which
// three changed: one of 50 MB with 1% of it edited in scattered places, one
// of 10 MB with a few edits, one small file rewritten. The delta's size
// against the full package's, and rebuilding the new version from the delta
// against extracting the full package, each with its peak memory. Each step
// is its own process, so that each peak is its own.
//   bench-delta.exe <folder> make      both packages, the delta, and the
//                                      changed files' pairs in "anchors"
//   bench-delta.exe <folder> extract   the new package into "extracted"
//   bench-delta.exe <folder> rebuild   the new version into "rebuilt" over
//                                      the old one in "install"
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "measure.h"

#include "base/file.h"
#include "base/text.h"
#include "delta/delta_rebuild.h"
#include "delta/patch_decoder.h"
#include "elevated/sha256.h"
#include "fs/local_file_system.h"
#include "pack/delta_maker.h"
#include "package/package_reader.h"

namespace {

using namespace loftswitch;

template <typename T>
T orExit(Result<T> result) {
  if (!result) {
    std::fprintf(stderr, "bench-delta: %s\n", result.error().message.c_str());
    std::exit(2);
  }
  return std::move(*result);
}

std::uint32_t next(std::uint32_t& state) {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return state;
}

// Bytes that deflate to about half, as programs and their data do.
std::string content(std::uint32_t seed, std::size_t size) {
  static constexpr std::string_view kWords[] = {
      "mov rax, ", "call ", "ret\n", "push rbp\n", "GetProcAddress", std::string_view("\0\0\0\0", 4),
      "\xff\xff", "lea rcx, [rip+"};
  std::string bytes;
  bytes.reserve(size + 32);
  std::uint32_t state = seed * 2654435761u + 1;
  while (bytes.size() < size) {
    const std::uint32_t r = next(state);
    if (r % 4 != 0) {
      bytes += kWords[(r >> 8) % 8];
    } else {
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(next(state)));
    }
  }
  bytes.resize(size);
  return bytes;
}

void put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A zip of deflated entries, as publishers ship full packages.
class DeflatedZip {
 public:
  explicit DeflatedZip(const std::filesystem::path& path)
      : file_(orExit(openFile(path, OpenMode::createAlways))) {}

  void add(const std::string& name, const std::string& content) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string data(deflateBound(&stream, static_cast<uLong>(content.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(data.data());
    stream.avail_out = static_cast<uInt>(data.size());
    deflate(&stream, Z_FINISH);
    data.resize(stream.total_out);
    deflateEnd(&stream);
    std::string fields;  // from the version needed to the name's length
    put(fields, 20, 2), put(fields, 0, 2), put(fields, 8, 2), put(fields, 0x00210000, 4);
    put(fields, crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())), 4);
    put(fields, data.size(), 4), put(fields, content.size(), 4), put(fields, name.size(), 2);
    std::string local;
    put(local, 0x04034b50, 4);
    local += fields, put(local, 0, 2), local += name;
    put(central_, 0x02014b50, 4), put(central_, 20, 2), central_ += fields;
    put(central_, 0, 12), put(central_, offset_, 4), central_ += name;
    orExit(writeAll(file_, local + data));
    offset_ += local.size() + data.size();
    ++count_;
  }

  std::uint64_t finish() {
    std::string end;
    put(end, 0x06054b50, 4), put(end, 0, 4), put(end, count_, 2), put(end, count_, 2);
    put(end, central_.size(), 4), put(end, offset_, 4), put(end, 0, 2);
    orExit(writeAll(file_, central_ + end));
    file_.close();
    return offset_ + central_.size() + end.size();
  }

 private:
  loftswitch::OpenFile file_;
  std::string central_;
  std::uint64_t offset_ = 0;
  std::uint64_t count_ = 0;
};

struct AppFile {
  std::string name;
  std::size_t size;
};

std::vector<AppFile> appFiles() {
  std::vector<AppFile> files = {{"bin/core.dll", 50 << 20}};
  for (int i = 0; i < 9; ++i) files.push_back({"data/pack" + std::to_string(i) + ".bin", 10 << 20});
  std::uint32_t state = 99;
  for (int i = 0; i < 490; ++i) {
    files.push_back({"res/" + std::to_string(i / 50) + "/item" + std::to_string(i) + ".dat",
                     20000 + next(state) % 210000});
  }
  return files;
}

// The new release's content of file `index`: the three that changed.
std::string newContent(std::size_t index, std::string old) {
  std::uint32_t state = 4242 + static_cast<std::uint32_t>(index);
  if (index == 0) {
    // 1% of 50 MB, in 1024 edits of 512 bytes all over the file.
    for (int edit = 0; edit < 1024; ++edit) {
      const std::size_t at = next(state) % (old.size() - 512);
      for (std::size_t i = 0; i < 512; ++i) old[at + i] = static_cast<char>(next(state));
    }
  } else if (index == 1) {
    for (int edit = 0; edit < 20; ++edit) old.insert(next(state) % old.size(), "v2 code here");
  } else if (index == 17) {
    old = content(777, old.size() + 1000);
  }
  return old;
}

bool changed(std::size_t index) { return index == 0 || index == 1 || index == 17; }

void make(const std::filesystem::path& folder) {
  const std::vector<AppFile> files = appFiles();
  DeflatedZip oldZip(folder / "old.zip");
  DeflatedZip newZip(folder / "new.zip");
  std::uint64_t bytes = 0;
  const Clock::time_point writing = Clock::now();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string old = content(static_cast<std::uint32_t>(i), files[i].size);
    const std::string now = changed(i) ? newContent(i, old) : old;
    oldZip.add(files[i].name, old);
    newZip.add(files[i].name, now);
    bytes += now.size();
    if (changed(i)) {
      const std::string anchor = "anchors\\" + std::to_string(i);
      orExit(createFolders(folder / "anchors"));
      for (const auto& [suffix, data] : {std::pair{".old", &old}, std::pair{".new", &now}}) {
        loftswitch::OpenFile file =
            orExit(openFile(folder / utf8ToPath(anchor + suffix), OpenMode::createAlways));
        orExit(writeAll(file, *data));
      }
    }
  }
  const std::string description = R"({"loftswitch_install": 1, "app": "bench", "executable": "bin/app.exe", "publicKeys": ["AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="], "platforms": ["windows-x64"], "version": ")";
  oldZip.add("loftswitch.json", description + "1.0\"}");
  newZip.add("loftswitch.json", description + "2.0\"}");
  const std::uint64_t oldSize = oldZip.finish();
  const std::uint64_t fullSize = newZip.finish();
  std::printf("app: %zu files, %.1f MB; packages written in %.1f s (%.1f and %.1f MB deflated)\n",
              files.size() + 1, bytes / 1e6, secondsSince(writing), oldSize / 1e6, fullSize / 1e6);

  const Clock::time_point making = Clock::now();
  const MadeDelta made = orExit(makeDelta(folder / "old.zip", folder / "new.zip", folder / "delta.zip"));
  std::printf("delta: %llu bytes, %.2f%% of the full package (%zu unchanged, %zu patched, %zu whole), made in %.1f s\n",
              static_cast<unsigned long long>(made.bytes), 100.0 * made.bytes / fullSize,
              made.unchanged, made.patched, made.whole, secondsSince(making));

  // The install the rebuild starts from.
  LocalFileSystem fs;
  HeldPackage old = orExit(holdPackage(folder / "old.zip"));
  orExit(fs.createFolders(folder / "install"));
  orExit(extractAll(*old.reader, fs, folder / "install"));
}

void extract(const std::filesystem::path& folder) {
  LocalFileSystem fs;
  const Clock::time_point start = Clock::now();
  HeldPackage full = orExit(holdPackage(folder / "new.zip"));
  orExit(fs.createFolders(folder / "extracted"));
  orExit(extractAll(*full.reader, fs, folder / "extracted"));
  std::printf("extracting the full package: %.2f s, peak memory %.1f MiB\n", secondsSince(start),
              peakMiB());
}

void rebuild(const std::filesystem::path& folder) {
  LocalFileSystem fs;
  // Where the time goes: each progress report's interval goes to the kind
  // of file whose bytes it reported; what comes before the first is opening
  // the delta and checking the install's files are there.
  const DeltaManifest manifest = [&] {
    HeldPackage delta = orExit(holdPackage(folder / "delta.zip"));
    return orExit(readDeltaPackage(*delta.reader));
  }();
  std::vector<std::pair<std::uint64_t, int>> ends;  // a file's last byte + 1, its kind
  std::uint64_t offset = 0;
  for (const DeltaFile& file : manifest.files) {
    offset += file.size;
    ends.emplace_back(offset, file.data.empty() ? 0 : file.base.empty() ? 2 : 1);
  }
  double spent[4] = {};  // unchanged, patched, whole, before the first byte
  Clock::time_point last;
  bool started = false;
  const ByteProgress progress = [&](std::uint64_t done, std::uint64_t) {
    const Clock::time_point now = Clock::now();
    if (started && done > 0) {
      const auto at = std::upper_bound(ends.begin(), ends.end(), std::pair(done - 1, 3));
      spent[at == ends.end() ? 2 : at->second] += std::chrono::duration<double>(now - last).count();
    }
    started = true;
    last = now;
    return true;
  };
  const Clock::time_point start = Clock::now();
  HeldPackage delta = orExit(holdPackage(folder / "delta.zip"));
  orExit(fs.createFolders(folder / "rebuilt"));
  last = start;
  orExit(rebuildDelta(*delta.reader, fs, folder / "install", folder / "rebuilt",
                      DeltaVersions{"1.0", "2.0"}, progress));
  const double total = secondsSince(start);
  std::printf("rebuilding from the delta:   %.2f s, peak memory %.1f MiB\n", total, peakMiB());
  std::uint64_t bytes[3] = {};
  for (const DeltaFile& file : manifest.files) {
    bytes[file.data.empty() ? 0 : file.base.empty() ? 2 : 1] += file.size;
  }
  std::printf("  of which: opening and checking %.2f s; unchanged files %.2f s (%.1f MB); "
              "patched %.2f s (%.1f MB); whole %.2f s (%.1f MB)\n",
              total - spent[0] - spent[1] - spent[2], spent[0], bytes[0] / 1e6, spent[1],
              bytes[1] / 1e6, spent[2], bytes[2] / 1e6);

  // The largest patch decoded alone, its base in memory, its output dropped.
  const DeltaFile* largest = nullptr;
  for (const DeltaFile& file : manifest.files) {
    if (!file.base.empty() && !file.data.empty() && (!largest || file.size > largest->size)) largest = &file;
  }
  if (largest != nullptr) {
    const std::string base = orExit(fs.readFile(folder / "install" / utf8ToPath(largest->base), kPatchWindow));
    HeldPackage again = orExit(holdPackage(folder / "delta.zip"));
    const PackageEntry* entry = nullptr;
    for (const PackageEntry& candidate : again.reader->entries()) {
      if (joinedPath(orExit(again.reader->components(candidate))) == largest->data) entry = &candidate;
    }
    const Clock::time_point decoding = Clock::now();
    PatchDecoder decoder(base);
    orExit(again.reader->read(*entry, [&](std::string_view piece) {
      return decoder.feed(piece, [](std::string_view) -> Result<Unit> { return Unit{}; });
    }));
    orExit(decoder.finish());
    std::printf("  decoding the %.1f MB file's patch alone: %.2f s\n", largest->size / 1e6,
                secondsSince(decoding));
  }

  // What of it is SHA-256: every rebuilt file once, and every patch's base.
  std::uint64_t hashed = 0;
  for (const DeltaFile& file : manifest.files) {
    hashed += file.size;
    for (const DeltaRead& read : manifest.reads) {
      if (!file.data.empty() && read.path == file.base) hashed += read.size;
    }
  }
  const std::string block(1 << 20, 'x');
  const Clock::time_point hashing = Clock::now();
  Sha256 hash;
  for (std::uint64_t done = 0; done < hashed; done += block.size()) hash.update(block);
  hash.finish();
  std::printf("  SHA-256 of %.1f MB in all: about %.2f s (%.0f MB/s)\n",
              hashed / 1e6, secondsSince(hashing), hashed / 1e6 / secondsSince(hashing));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench-delta.exe <folder> make|extract|rebuild\n");
    return 64;
  }
  const std::filesystem::path folder = argv[1];
  const std::wstring step = argv[2];
  if (step == L"make") {
    make(folder);
  } else if (step == L"extract") {
    extract(folder);
  } else if (step == L"rebuild") {
    rebuild(folder);
  } else {
    return 64;
  }
  return 0;
}
