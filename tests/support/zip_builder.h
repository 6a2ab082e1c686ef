#pragma once

// Writes zip archives for tests, including damaged and unusual ones.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "package/zip_archive.h"

namespace loftswitch {

struct ZipBuilderEntry {
  std::string name;
  // The content before compression.
  std::string content;
  // 0 stores, 8 deflates; any other method stores the content as it is.
  std::uint16_t method = 8;
  std::uint16_t flags = 0;
  std::uint32_t externalAttributes = 0;
  // Values written instead of the true ones.
  std::optional<std::uint32_t> crc32;
  std::optional<std::uint64_t> compressedSize;
  std::optional<std::uint64_t> uncompressedSize;
  std::optional<std::uint64_t> localHeaderOffset;
  // Bytes stored instead of the compressed content.
  std::optional<std::string> storedData;
  // Sizes and offset go into a Zip64 extra field.
  bool zip64 = false;
  // Only the offset goes into a Zip64 extra field.
  bool zip64Offset = false;
};

class ZipBuilder {
 public:
  ZipBuilder& file(std::string name, std::string content, std::uint16_t method = 8);
  ZipBuilder& folder(std::string name);
  ZipBuilder& add(ZipBuilderEntry entry) {
    entries_.push_back(std::move(entry));
    return *this;
  }
  // Ends the archive with Zip64 end records.
  ZipBuilder& zip64End() {
    zip64End_ = true;
    return *this;
  }

  std::string build() const;

 private:
  std::vector<ZipBuilderEntry> entries_;
  bool zip64End_ = false;
};

// A ReadAt over bytes in memory: false for any read that leaves them.
ReadAt memoryReadAt(const std::string& bytes);

// An archive of `files` by name: a name ending in "/" is a folder; files of
// odd size or over 64 KiB are stored, the others deflated.
std::string zipOf(const std::map<std::string, std::string>& files);

// One zstd frame of `bytes`, and the content of one.
std::string zstdFrame(std::string_view bytes);
std::string zstdContent(std::string_view frame);

// The files of an archive the package reader accepts, by name.
std::map<std::string, std::string> zipEntries(const std::string& zip);

// The delta package that loftswitch-pack makes from the package `from` to
// the package `to`; empty when it refuses them. `made` gets its summary.
struct MadeDelta;
std::string deltaBetween(const std::string& from, const std::string& to, MadeDelta* made = nullptr);

// Archives that an installing side must refuse, each with its refusal: names
// that leave the stage, clash or are reserved, and containers that tell two
// stories (entries sharing bytes, a local header that disagrees with the
// central directory, end records that contradict each other).
struct HostileArchive {
  std::string name;
  std::string bytes;
  std::string refusal;
};
const std::vector<HostileArchive>& hostileArchives();

// Unix mode bits placed in the external attributes.
constexpr std::uint32_t unixMode(std::uint32_t mode) { return mode << 16; }

}  // namespace loftswitch
