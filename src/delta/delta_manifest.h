#pragma once

// What a delta package says besides its data: which version it turns an
// install of which version into, the install's files it reads, and every
// file of the new version with where its bytes come from.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "elevated/sha256.h"
#include "package/package_reader.h"

namespace loftswitch {

// A file of the install that the delta reads, as the old version has it.
struct DeltaRead {
  std::string path;
  std::uint64_t size = 0;
  Sha256Digest sha256{};
};

// A file of the new version.
struct DeltaFile {
  std::string path;
  std::uint64_t size = 0;
  Sha256Digest sha256{};
  // One of the reads: without data the file is that file unchanged, with
  // data it is the base the data patches.
  std::string base;
  // An entry of the delta package holding one zstd frame that decodes to
  // the file, with the base as its prefix when there is one.
  std::string data;
};

struct DeltaManifest {
  std::string from;
  std::string to;
  std::vector<DeltaRead> reads;
  std::vector<DeltaFile> files;
  // The new version's folder entries.
  std::vector<std::string> folders;
};

// The manifest travels as one zstd frame: its digests repeat from one list
// to the other further apart than deflate's window reaches.
inline constexpr std::string_view kDeltaManifestName = "loftswitch-delta.json.zst";
inline constexpr std::uint64_t kDeltaManifestLimit = 64 * 1024 * 1024;

// Reads a manifest and holds the new version it describes to the rules of a
// full package: every path (read, file or folder) obeys the entry rules, no
// two of the new version's paths clash ignoring case and none lies inside a
// file, and its entries and sizes stay within `limits`. Each base is one of
// the reads, read once, and a file taken unchanged has exactly its read's
// size and digest. A broken rule fails as the package reader fails on it;
// a manifest that does not read is `invalidData`.
[[nodiscard]] Result<DeltaManifest> readDeltaManifest(std::string_view text,
                                                      const PackageLimits& limits);

std::string serializeDeltaManifest(const DeltaManifest& manifest);

}  // namespace loftswitch
