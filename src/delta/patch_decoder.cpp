#include "delta/patch_decoder.h"

#include <string>

#include <zstd.h>

namespace loftswitch {

PatchDecoder::PatchDecoder(std::string_view base, int maxWindowLog)
    : context_(ZSTD_createDCtx()), output_(ZSTD_DStreamOutSize()) {
  // The window bounds the memory the decoder takes, whatever the frame says.
  if (context_ != nullptr &&
      (ZSTD_isError(ZSTD_DCtx_setParameter(context_, ZSTD_d_windowLogMax, maxWindowLog)) ||
       (!base.empty() && ZSTD_isError(ZSTD_DCtx_refPrefix(context_, base.data(), base.size()))))) {
    ZSTD_freeDCtx(context_);
    context_ = nullptr;
  }
}

PatchDecoder::~PatchDecoder() { ZSTD_freeDCtx(context_); }

Result<Unit> PatchDecoder::feed(std::string_view piece, const PieceSink& out) {
  if (context_ == nullptr) return fail(ErrorCode::io, "can't set up the patch decoder");
  ZSTD_inBuffer input{piece.data(), piece.size(), 0};
  bool full = false;
  while (input.pos < input.size || full) {
    if (ended_) return fail(ErrorCode::damaged, "the patch goes on after its end");
    ZSTD_outBuffer output{output_.data(), output_.size(), 0};
    const std::size_t status = ZSTD_decompressStream(context_, &output, &input);
    if (ZSTD_isError(status)) {
      return fail(ErrorCode::damaged,
                  std::string("the patch is damaged: ") + ZSTD_getErrorName(status));
    }
    if (output.pos > 0) RETURN_IF_ERROR(out(std::string_view(output_.data(), output.pos)));
    ended_ = status == 0;
    full = !ended_ && output.pos == output.size;
  }
  return Unit{};
}

Result<Unit> PatchDecoder::finish() const {
  if (!ended_) return fail(ErrorCode::damaged, "the patch ends early");
  return Unit{};
}

}  // namespace loftswitch
