#include "elevated/sha256_cpu.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define LOFTSWITCH_SHA_X86 1
#endif

namespace loftswitch {
namespace {

#ifdef LOFTSWITCH_SHA_X86
alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// The instructions keep the working variables as ABEF and CDGH; the schedule
// makes four words at a time from the four groups before them.
__attribute__((target("sha,sse4.1,ssse3"))) void compress(std::uint32_t* state,
                                                         const std::uint8_t* data,
                                                         std::size_t blocks) {
  const __m128i bigEndian = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefBefore = abef;
    const __m128i cdghBefore = cdgh;
    __m128i words[4];
    for (int group = 0; group < 16; ++group) {
      __m128i& w = words[group & 3];
      if (group < 4) {
        w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)),
                             bigEndian);
      } else {
        const __m128i& previous = words[(group - 1) & 3];
        const __m128i sum = _mm_add_epi32(_mm_sha256msg1_epu32(w, words[(group - 3) & 3]),
                                          _mm_alignr_epi8(previous, words[(group - 2) & 3], 4));
        w = _mm_sha256msg2_epu32(sum, previous);
      }
      __m128i message = _mm_add_epi32(
          w, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}
#else
void compress(std::uint32_t*, const std::uint8_t*, std::size_t) {}
#endif

}  // namespace

bool CpuSha256::available() {
#ifdef LOFTSWITCH_SHA_X86
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool sse = (c & bit_SSSE3) != 0 && (c & bit_SSE4_1) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return sse && (b & (1u << 29)) != 0;
#else
  return false;
#endif
}

void CpuSha256::update(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  length_ += bytes.size();
  if (buffered_ > 0) {
    const std::size_t taken = std::min(bytes.size(), block_.size() - buffered_);
    std::memcpy(block_.data() + buffered_, bytes.data(), taken);
    buffered_ += taken;
    bytes = bytes.subspan(taken);
    if (buffered_ < block_.size()) return;
    compress(state_.data(), block_.data(), 1);
    buffered_ = 0;
  }
  const std::size_t whole = bytes.size() / 64;
  compress(state_.data(), bytes.data(), whole);
  bytes = bytes.subspan(whole * 64);
  std::memcpy(block_.data(), bytes.data(), bytes.size());
  buffered_ = bytes.size();
}

Sha256Digest CpuSha256::finish() {
  const std::uint64_t bits = length_ * 8;
  block_[buffered_++] = 0x80;
  // The length takes the last eight bytes; without room for them the padding
  // runs on into one more block.
  if (buffered_ > 56) {
    std::fill(block_.begin() + static_cast<std::ptrdiff_t>(buffered_), block_.end(), 0);
    compress(state_.data(), block_.data(), 1);
    buffered_ = 0;
  }
  std::fill(block_.begin() + static_cast<std::ptrdiff_t>(buffered_), block_.begin() + 56, 0);
  for (int i = 0; i < 8; ++i) block_[56 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  compress(state_.data(), block_.data(), 1);
  Sha256Digest digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) {
    digest[i] = static_cast<std::uint8_t>(state_[i / 4] >> (24 - 8 * (i % 4)));
  }
  return digest;
}

}  // namespace loftswitch
