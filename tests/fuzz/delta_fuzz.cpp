#include <set>
#include <string>

#include "base/text.h"
#include "delta/delta_manifest.h"
#include "delta/patch_decoder.h"
#include "fuzz_check.h"
#include "package/entry_rules.h"

namespace {

using namespace loftswitch;

// An accepted path is one the entry rules accept, in its joined form.
bool isRulePath(const std::string& path) {
  const auto accepted = checkEntryName(path);
  return accepted && !accepted->folderName && joinedPath(accepted->components) == path;
}

void checkManifest(std::string_view text) {
  const auto manifest = readDeltaManifest(text, PackageLimits{1 << 20, 64});
  if (!manifest) return;
  std::set<std::string> reads, keys;
  for (const DeltaRead& read : manifest->reads) FUZZ_CHECK(isRulePath(read.path) && reads.insert(upperCaseKey(read.path)).second);
  std::uint64_t total = 0;
  for (const DeltaFile& file : manifest->files) {
    FUZZ_CHECK(isRulePath(file.path) && keys.insert(upperCaseKey(file.path)).second);
    FUZZ_CHECK(!file.base.empty() || !file.data.empty());
    total += file.size;
    const auto base = std::find_if(manifest->reads.begin(), manifest->reads.end(),
                                   [&](const DeltaRead& read) { return read.path == file.base; });
    FUZZ_CHECK(file.base.empty() || base != manifest->reads.end());
    FUZZ_CHECK(!file.data.empty() || (base->size == file.size && base->sha256 == file.sha256));
  }
  for (const std::string& folder : manifest->folders) FUZZ_CHECK(checkEntryName(folder) && keys.insert(upperCaseKey(folder)).second);
  FUZZ_CHECK(total <= (1 << 20) && keys.size() <= 64);
  // No path of the new version lies below one of its files.
  for (const DeltaFile& file : manifest->files) {
    const std::string below = upperCaseKey(file.path) + "/";
    const auto next = keys.lower_bound(below);
    FUZZ_CHECK(next == keys.end() || !next->starts_with(below));
  }
  // What the publisher's tool writes reads back the same.
  const std::string written = serializeDeltaManifest(*manifest);
  const auto reread = readDeltaManifest(written, PackageLimits{1 << 20, 64});
  FUZZ_CHECK(reread && serializeDeltaManifest(*reread) == written);
}

// The frame decoded as it comes, in one piece or cut anywhere: the same
// bytes or the same failure.
Result<std::string> decode(std::string_view base, std::string_view frame, std::size_t cut) {
  // Windows the fuzzer's memory limit allows.
  PatchDecoder decoder(base, 24);
  std::string out;
  const PieceSink sink = [&out](std::string_view piece) -> Result<Unit> { return out += piece, Unit{}; };
  RETURN_IF_ERROR(decoder.feed(frame.substr(0, cut), sink));
  RETURN_IF_ERROR(decoder.feed(frame.substr(cut), sink));
  RETURN_IF_ERROR(decoder.finish());
  return out;
}

void checkPatch(std::string_view input) {
  if (input.size() < 2) return;
  const std::size_t baseSize = std::min<std::size_t>(static_cast<std::uint8_t>(input[0]) * 16, input.size() - 2);
  const std::size_t cut = static_cast<std::uint8_t>(input[1]);
  const std::string_view base = input.substr(2, baseSize);
  const std::string_view frame = input.substr(2 + baseSize);
  const auto whole = decode(base, frame, frame.size());
  const auto pieces = decode(base, frame, std::min(cut, frame.size()));
  FUZZ_CHECK(whole.has_value() == pieces.has_value());
  if (whole) FUZZ_CHECK(*whole == *pieces);
}

}  // namespace

// The first byte picks the input: even, a manifest; odd, a patch with its
// base.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest = fuzzText(data + 1, size - 1);
  return data[0] % 2 == 0 ? checkManifest(rest) : checkPatch(rest), 0;
}
