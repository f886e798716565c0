// Task bodies shared by the batch-normalisation kernels: the inverse standard
// deviation and the stem's fused normalisation and max pooling.
#include "dfp_bn.h"

#include <sleef.h>

#include <cstring>

namespace qel {
namespace dfp {

namespace {

// The epsilon of every normalisation, by its bits: the float nearest 1.001e-05.
float bn_epsilon() {
  const uint32_t bits = 0x3727F09Fu;
  float eps;
  std::memcpy(&eps, &bits, sizeof eps);
  return eps;
}

inline __m256 invstd8(__m256 var, __m256 eps, __m256 one) {
  return _mm256_div_ps(one, Sleef_sqrtf8_u35avx2(_mm256_add_ps(var, eps)));
}

}  // namespace

void bn_invstd_task(void* args, int32_t begin, int32_t end) {
  const float* var = slot<const float>(args, 0);
  float* invstd = slot<float>(args, 1);
  const __m256 eps = _mm256_set1_ps(bn_epsilon());
  const __m256 one = _mm256_set1_ps(1.0f);
  // 64-bit arithmetic: the same values as 32-bit for every real range, and no
  // overflow for absurd ones.
  const int64_t n = int64_t{end} - begin;
  const int64_t main_end = int64_t{end} - n % 8;
  int64_t i = begin;
  for (; i < main_end; i += 8) _mm256_storeu_ps(invstd + i, invstd8(_mm256_loadu_ps(var + i), eps, one));
  if (i < end) {
    // Lane k is on when i + k < end; off lanes neither read nor write memory.
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(end),
                                            _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(i)), lanes));
    const __m256 v = _mm256_maskload_ps(var + i, mask);
    _mm256_maskstore_ps(invstd + i, mask, invstd8(v, eps, one));
  }
}

void stem_task(void* args, int32_t begin, int32_t end) {
  // The slice is chosen once, at entry, by the thread that runs the task.
  float* padded = static_cast<float*>(thread_slice(slot<void>(args, 0), kStemSliceBytes));
  const float* gamma1 = slot<const float>(args, 1);
  const float* beta1 = slot<const float>(args, 2);
  const float* mean1 = slot<const float>(args, 3);
  const float* gamma2 = slot<const float>(args, 4);
  const float* beta2 = slot<const float>(args, 5);
  const float* mean2 = slot<const float>(args, 6);
  const float* x = slot<const float>(args, 7);
  float* pooled = slot<float>(args, 8);
  float* skip = slot<float>(args, 9);
  float* y = slot<float>(args, 10);
  const float* invstd1 = slot<const float>(args, 11);
  const float* invstd2 = slot<const float>(args, 12);
  if (static_cast<uint32_t>(begin) >= static_cast<uint32_t>(end)) return;

  constexpr int64_t C = kStemC;
  constexpr int64_t Row = int64_t{kStemSide} * C;        // floats per image row of skip
  constexpr int64_t PRow = int64_t{kStemPadded} * C;     // floats per row of the padded copy
  const __m256 zero = _mm256_setzero_ps();
  const __m256 lowest = _mm256_set1_ps(-FLT_MAX);

  for (int64_t n = begin; n < end; ++n) {
    const float* xi = x + n * kStemImage;
    float* si = skip + n * kStemImage;
    // 1. skip = BN1(x), position by position.
    for (int64_t e = 0; e < kStemImage; e += C)
      for (int64_t c = 0; c < C; c += 8)
        _mm256_storeu_ps(si + e + c, bn_relu8(_mm256_loadu_ps(xi + e + c), gamma1, beta1, mean1, invstd1, c));
    // 2. The image of skip inside a border of +0, one position wide.
    for (int64_t e = 0; e < int64_t{kStemPadded} * PRow; e += 8) {
      const int64_t pr = e / PRow, pc = (e / C) % kStemPadded, c = e % C;
      const bool inside = pr >= 1 && pr <= kStemSide && pc >= 1 && pc <= kStemSide;
      _mm256_storeu_ps(padded + e, inside ? _mm256_loadu_ps(si + (pr - 1) * Row + (pc - 1) * C + c) : zero);
    }
    // 3. Maximum over the nine taps in row-major order (an earlier equal value
    //    stays, a NaN tap takes over), then pooled and y = BN2(pooled).
    for (int64_t q = 0; q < int64_t{kStemOut} * kStemOut; ++q) {
      const int64_t oy = q / kStemOut, ox = q % kStemOut;
      const float* w0 = padded + 2 * oy * PRow + 2 * ox * C;
      for (int64_t c = 0; c < C; c += 8) {
        __m256 m = _mm256_max_ps(lowest, _mm256_loadu_ps(w0 + c));
        for (int tap = 1; tap < 9; ++tap) {
          const __m256 t = _mm256_loadu_ps(w0 + (tap / 3) * PRow + (tap % 3) * C + c);
          m = _mm256_blendv_ps(t, m, _mm256_cmp_ps(t, m, _CMP_LE_OQ));
        }
        const int64_t o = n * kStemOutImage + q * C + c;
        _mm256_storeu_ps(pooled + o, m);
        _mm256_storeu_ps(y + o, bn_relu8(m, gamma2, beta2, mean2, invstd2, c));
      }
    }
  }
}

}  // namespace dfp
}  // namespace qel
