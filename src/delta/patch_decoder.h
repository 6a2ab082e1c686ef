#pragma once

// The data of a delta package: one zstd frame, fed piece by piece, with the
// install's old file as its prefix when it is a patch (zstd's patch-from
// mode).

#include <cstdint>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "package/package_reader.h"

struct ZSTD_DCtx_s;

namespace loftswitch {

// The largest window a frame may ask for, and so the largest file or base a
// patch may have; larger files travel whole. Decoding holds the base and at
// most one file of this size in memory.
inline constexpr int kPatchWindowLog = 31;
inline constexpr std::uint64_t kPatchWindow = std::uint64_t{1} << kPatchWindowLog;

class PatchDecoder {
 public:
  // `base` is kept by reference; empty for a frame without a prefix. A
  // frame that asks for a window over 2^maxWindowLog bytes is refused.
  explicit PatchDecoder(std::string_view base, int maxWindowLog = kPatchWindowLog);
  PatchDecoder(const PatchDecoder&) = delete;
  PatchDecoder& operator=(const PatchDecoder&) = delete;
  ~PatchDecoder();

  // Decodes the next piece of the frame and hands what it gives to `out`.
  // Anything after the end of the frame is `damaged`, as is a broken frame.
  [[nodiscard]] Result<Unit> feed(std::string_view piece, const PieceSink& out);
  // Succeeds once the whole frame came in.
  [[nodiscard]] Result<Unit> finish() const;

 private:
  ZSTD_DCtx_s* context_ = nullptr;
  std::vector<char> output_;
  bool ended_ = false;
};

}  // namespace loftswitch
