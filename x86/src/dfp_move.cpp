// Task bodies of the input padding and LeakyReLU kernels (the other bodies of
// the data-movement kernels are templates in dfp_move.h).
#include "dfp_move.h"

namespace qel {
namespace dfp {
namespace move {

namespace {

constexpr int32_t kSrcImage = kPadSide * kPadSide * kPadChannels;              // 3072
constexpr int32_t kSrcRow = kPadSide * kPadChannels;                           // 96
constexpr int32_t kDstImage = kPadOutSide * kPadOutSide * kPadChannels;        // 4332

// Decomposes the destination elements i .. i + 7 into an inside mask and the
// 64-bit offsets of their source elements (0 for border lanes).
struct PadLanes {
  __m256i inside;
  __m256i off_lo, off_hi;
};

inline PadLanes pad_lanes(int64_t i) {
  alignas(32) int32_t in[8];
  alignas(32) int64_t off[8];
  // Decompose the first element by division, then step the coordinates lane
  // by lane (channel fastest, then column, row and image).
  const int32_t e = static_cast<int32_t>(i);
  int32_t c = e % kPadChannels;
  int32_t x = (e / kPadChannels) % kPadOutSide;
  int32_t y = (e / kPadChannels / kPadOutSide) % kPadOutSide;
  int32_t n = e / kDstImage;
  for (int k = 0; k < 8; ++k) {
    const bool inside = static_cast<uint32_t>(x - kPadBorder) <= static_cast<uint32_t>(kPadSide - 1) &&
                        static_cast<uint32_t>(y - kPadBorder) <= static_cast<uint32_t>(kPadSide - 1);
    in[k] = inside ? -1 : 0;
    off[k] = inside ? static_cast<int64_t>(n) * kSrcImage + (y - kPadBorder) * kSrcRow +
                          (x - kPadBorder) * kPadChannels + c
                    : 0;
    if (++c == kPadChannels) {
      c = 0;
      if (++x == kPadOutSide) {
        x = 0;
        if (++y == kPadOutSide) {
          y = 0;
          ++n;
        }
      }
    }
  }
  PadLanes l;
  l.inside = _mm256_load_si256(reinterpret_cast<const __m256i*>(in));
  l.off_lo = _mm256_load_si256(reinterpret_cast<const __m256i*>(off));
  l.off_hi = _mm256_load_si256(reinterpret_cast<const __m256i*>(off + 4));
  return l;
}

// Gathers the lanes set in `mask` (others read nothing and give 0) and keeps
// only their bits, so border lanes are +0.0f.
inline __m256 pad_gather(const float* src, const PadLanes& l, __m256i mask) {
  const __m128 lo = _mm256_mask_i64gather_ps(_mm_setzero_ps(), src, l.off_lo,
                                          _mm_castsi128_ps(_mm256_castsi256_si128(mask)), 4);
  const __m128 hi = _mm256_mask_i64gather_ps(_mm_setzero_ps(), src, l.off_hi,
                                          _mm_castsi128_ps(_mm256_extracti128_si256(mask, 1)), 4);
  return _mm256_and_ps(_mm256_set_m128(hi, lo), _mm256_castsi256_ps(mask));
}

}  // namespace

void input_pad(const float* src, float* dst, int32_t begin, int32_t end) {
  const int64_t full = full_steps_end(begin, end);
  int64_t i = begin;
  for (; i < full; i += 8) {
    const PadLanes l = pad_lanes(i);
    if (_mm256_testz_si256(l.inside, l.inside)) {
      _mm256_storeu_ps(dst + i, _mm256_setzero_ps());
      continue;
    }
    _mm256_storeu_ps(dst + i, pad_gather(src, l, l.inside));
  }
  if (i < end) {
    const __m256i on = active_lanes(i, end);
    const PadLanes l = pad_lanes(i);
    const __m256i read = _mm256_and_si256(on, l.inside);
    const __m256 v = _mm256_testz_si256(read, read) ? _mm256_setzero_ps() : pad_gather(src, l, read);
    _mm256_maskstore_ps(dst + i, on, v);
  }
}

void leaky_relu(const float* src, float* dst, int32_t begin, int32_t end) {
  const int64_t full = full_steps_end(begin, end);
  int64_t i = begin;
  for (; i < full; i += 8) leaky_step8(src + i, dst + i);
  if (i < end) {
    const __m256i on = active_lanes(i, end);
    const __m256 x = _mm256_maskload_ps(src + i, on);
    _mm256_maskstore_ps(dst + i, on, leaky8(src + i, x, on));
  }
}

}  // namespace move
}  // namespace dfp
}  // namespace qel
