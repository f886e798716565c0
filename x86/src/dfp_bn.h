// Batch normalisation with ReLU: the task bodies and the wrapper bodies of the
// four kernel forms (bn_relu over a concatenation-buffer prefix or a plain
// tensor, average pooling fused with a normalisation per output position or per
// image, and the stem's normalisation, max pooling and second normalisation).
//
// Every normalised value is computed in four single-precision steps, in this
// order, which fix its bits:
//   g = invstd[c] * gamma[c]        (rounded)
//   u = x - mean[c]                 (rounded)
//   v = fma(g, u, beta[c])          (one rounding)
//   y = max(v, +0)                  (+0 the second operand: NaN and -0 give +0)
// with invstd[c] = 1 / sqrt(var[c] + eps), eps the float with bits 0x3727F09F
// (the one nearest 1.001e-05, not 1e-05).
#pragma once
#include <immintrin.h>

#include <cfloat>
#include <cstdint>

#include "dfp_frame.h"

namespace qel {
namespace dfp {

// invstd[c] = 1 / sqrt(var[c] + eps) for c in [begin, end): full 8-lane steps
// from begin, then one masked step for a remainder of 1 to 7 channels that
// reads and writes nothing outside the range. Slots: var (read), invstd (written).
void bn_invstd_task(void* args, int32_t begin, int32_t end);

// One 8-lane step of the normalisation.
inline __m256 bn_relu8(__m256 x, const float* gamma, const float* beta, const float* mean, const float* invstd,
                       int64_t c) {
  const __m256 g = _mm256_mul_ps(_mm256_loadu_ps(invstd + c), _mm256_loadu_ps(gamma + c));
  const __m256 u = _mm256_sub_ps(x, _mm256_loadu_ps(mean + c));
  const __m256 v = _mm256_fmadd_ps(g, u, _mm256_loadu_ps(beta + c));
  return _mm256_max_ps(v, _mm256_setzero_ps());
}

// Channels per step of the row normalisation: three vectors when C is a
// multiple of 24, else two. The step must divide C or a row would spill into
// the next one.
constexpr int bn_step(int C) { return C % 24 == 0 ? 24 : 16; }

// Rows [begin, end) of y[r * Ys + c] = BN(x[r * Xs + c]) for c < C, S channels
// (S / 8 independent vectors) per step.
template <int C, int Xs, int Ys, int S = bn_step(C)>
inline void bn_apply_rows(const float* gamma, const float* beta, const float* mean, const float* x, float* y,
                          const float* invstd, int32_t begin, int32_t end) {
  static_assert(S == 16 || S == 24, "two or three vectors per step");
  static_assert(C % S == 0, "the channel step must divide the channel count");
  static_assert(Xs >= C && Ys >= C, "rows hold at least C channels");
  if (static_cast<uint32_t>(begin) >= static_cast<uint32_t>(end)) return;
  for (int64_t r = begin; r < end; ++r) {
    const float* xr = x + r * Xs;
    float* yr = y + r * Ys;
    for (int64_t c0 = 0; c0 < C; c0 += S) {
      for (int64_t c = c0; c < c0 + S; c += 8)
        _mm256_storeu_ps(yr + c, bn_relu8(_mm256_loadu_ps(xr + c), gamma, beta, mean, invstd, c));
    }
  }
}

// Sum of four taps from +0, added in the given order, then scaled once.
inline __m256 sum4(__m256 a, __m256 b, __m256 c, __m256 d) {
  return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_setzero_ps(), a), b), c), d);
}

// 2 x 2 average pooling (stride 2) and normalisation, one item per output
// position r = (n * Ho + oy) * Wo + ox, 8 channels per step. Input images are
// (2 Ho) x (2 Wo) x C; both outputs have rows of C floats.
template <int C, int Ho, int Wo>
inline void avgpool_bn_rows(const float* gamma, const float* beta, const float* mean, const float* x,
                            float* pooled, float* y, const float* invstd, int32_t begin, int32_t end) {
  static_assert(C % 8 == 0, "whole vectors per row");
  constexpr int64_t Wi = 2 * Wo, Hi = 2 * Ho;
  const __m256 quarter = _mm256_set1_ps(0.25f);
  if (static_cast<uint32_t>(begin) >= static_cast<uint32_t>(end)) return;
  for (int64_t r = begin; r < end; ++r) {
    const int64_t ox = r % Wo, oy = (r / Wo) % Ho, n = r / (Ho * Wo);
    const float* a = x + n * Hi * Wi * C + 2 * oy * Wi * C + 2 * ox * C;
    for (int64_t c = 0; c < C; c += 8) {
      const __m256 s = sum4(_mm256_loadu_ps(a + c), _mm256_loadu_ps(a + C + c), _mm256_loadu_ps(a + Wi * C + c),
                            _mm256_loadu_ps(a + Wi * C + C + c));
      const __m256 p = _mm256_mul_ps(s, quarter);
      _mm256_storeu_ps(pooled + r * C + c, p);
      _mm256_storeu_ps(y + r * C + c, bn_relu8(p, gamma, beta, mean, invstd, c));
    }
  }
}

// The same pooling with one item per image of 2 x 2 positions: the first pass
// keeps the unscaled sums in the thread's slice of the per-thread scratch (C
// floats), the second scales, stores and normalises them; 16 channels a step.
template <int C>
inline void avgpool_bn_images(void* scratch, const float* gamma, const float* beta, const float* mean,
                              const float* x, float* pooled, float* y, const float* invstd, int32_t begin,
                              int32_t end) {
  static_assert(C % 16 == 0, "two vectors per step");
  float* w = static_cast<float*>(thread_slice(scratch, int64_t{4} * C));
  const __m256 quarter = _mm256_set1_ps(0.25f);
  if (static_cast<uint32_t>(begin) >= static_cast<uint32_t>(end)) return;
  for (int64_t n = begin; n < end; ++n) {
    const float* a = x + n * 4 * C;
    for (int64_t c0 = 0; c0 < C; c0 += 16)
      for (int64_t c = c0; c < c0 + 16; c += 8)
        _mm256_storeu_ps(w + c, sum4(_mm256_loadu_ps(a + c), _mm256_loadu_ps(a + C + c),
                                     _mm256_loadu_ps(a + 2 * C + c), _mm256_loadu_ps(a + 3 * C + c)));
    for (int64_t c0 = 0; c0 < C; c0 += 16)
      for (int64_t c = c0; c < c0 + 16; c += 8) {
        const __m256 p = _mm256_mul_ps(quarter, _mm256_loadu_ps(w + c));
        _mm256_storeu_ps(pooled + n * C + c, p);
        _mm256_storeu_ps(y + n * C + c, bn_relu8(p, gamma, beta, mean, invstd, c));
      }
  }
}

// Geometry of the stem kernel: 16 x 16 x 64 images, a zero-bordered 18 x 18
// copy per thread, 3 x 3 stride-2 max pooling to 8 x 8.
constexpr int kStemC = 64;
constexpr int kStemSide = 16;
constexpr int kStemPadded = kStemSide + 2;
constexpr int kStemOut = 8;
constexpr int64_t kStemImage = int64_t{kStemSide} * kStemSide * kStemC;       // 16384 floats
constexpr int64_t kStemOutImage = int64_t{kStemOut} * kStemOut * kStemC;      // 4096 floats
constexpr int64_t kStemSliceBytes = int64_t{4} * kStemPadded * kStemPadded * kStemC;  // 82944

// Stem task, one item per image: skip = BN1(x); a zero-bordered copy of the
// image of skip in the thread's slice; pooled = 3 x 3 stride-2 maximum over it;
// y = BN2(pooled). Slots in order: scratch, gamma1, beta1, mean1, gamma2,
// beta2, mean2, x, pooled, skip, y, invstd1, invstd2.
void stem_task(void* args, int32_t begin, int32_t end);

// ---- wrapper bodies ----------------------------------------------------------

// bn_relu: scratch of 4 C floats (only the first C hold invstd), the invstd
// launch over the channels, the normalise launch over the rows, release.
// t1 and t2 fill slots 3 and 4 in argument order; the task decides which is written.
template <int C, int R, int K>
inline void bn_relu_run(const qel_ctx_struct* ctx, qel_tensor_struct* t1, qel_tensor_struct* t2,
                        ispc_task_fn invstd_task, ispc_task_fn apply_task) {
  Launcher L;
  qel_tensor_struct s;
  float* invstd = alloc_floats(s, ctx, int64_t{4} * C);
  L.launch(invstd_task, C, kSIMDSchedule, param(ctx, K + 3), invstd);
  L.launch(apply_task, R, kForSchedule, param(ctx, K), param(ctx, K + 1), param(ctx, K + 2), t1->data, t2->data,
           invstd);
  release(s);
  L.sync();
}

// avgpool_bn_relu per output position: (x, pooled, y), items = output positions.
template <int C, int Items, int K>
inline void avgpool_pos_run(const qel_ctx_struct* ctx, qel_tensor_struct* x, qel_tensor_struct* pooled,
                            qel_tensor_struct* y, ispc_task_fn invstd_task, ispc_task_fn main_task) {
  Launcher L;
  qel_tensor_struct s;
  float* invstd = alloc_floats(s, ctx, int64_t{4} * C);
  L.launch(invstd_task, C, kSIMDSchedule, param(ctx, K + 3), invstd);
  L.launch(main_task, Items, kForSchedule, param(ctx, K), param(ctx, K + 1), param(ctx, K + 2), x->data,
           pooled->data, y->data, invstd);
  release(s);
  L.sync();
}

// avgpool_bn_relu per image: as above with a per-thread scratch of C floats,
// allocated after the invstd launch and released first.
template <int C, int Items, int K>
inline void avgpool_img_run(const qel_ctx_struct* ctx, qel_tensor_struct* x, qel_tensor_struct* pooled,
                            qel_tensor_struct* y, ispc_task_fn invstd_task, ispc_task_fn main_task) {
  Launcher L;
  qel_tensor_struct s, w;
  float* invstd = alloc_floats(s, ctx, int64_t{4} * C);
  L.launch(invstd_task, C, kSIMDSchedule, param(ctx, K + 3), invstd);
  uint8_t* slices = alloc_per_thread(w, ctx, int64_t{4} * C);
  L.launch(main_task, Items, kForSchedule, slices, param(ctx, K), param(ctx, K + 1), param(ctx, K + 2), x->data,
           pooled->data, y->data, invstd);
  release(w);
  release(s);
  L.sync();
}

// stem_bn_relu_maxpool: (x, pooled, skip, y); invstd scratch A for parameters
// K1.., launch, scratch B for K2.., launch, per-thread scratch, main launch over
// the 32 images; released in the order per-thread scratch, B, A.
template <int K1, int K2>
inline void stem_run(const qel_ctx_struct* ctx, qel_tensor_struct* x, qel_tensor_struct* pooled,
                     qel_tensor_struct* skip, qel_tensor_struct* y, ispc_task_fn invstd1_task,
                     ispc_task_fn invstd2_task, ispc_task_fn main_task) {
  Launcher L;
  qel_tensor_struct a, b, w;
  float* invstd1 = alloc_floats(a, ctx, int64_t{4} * kStemC);
  L.launch(invstd1_task, kStemC, kSIMDSchedule, param(ctx, K1 + 3), invstd1);
  float* invstd2 = alloc_floats(b, ctx, int64_t{4} * kStemC);
  L.launch(invstd2_task, kStemC, kSIMDSchedule, param(ctx, K2 + 3), invstd2);
  uint8_t* slices = alloc_per_thread(w, ctx, kStemSliceBytes);
  L.launch(main_task, 32, kForSchedule, slices, param(ctx, K1), param(ctx, K1 + 1), param(ctx, K1 + 2),
           param(ctx, K2), param(ctx, K2 + 1), param(ctx, K2 + 2), x->data, pooled->data, skip->data, y->data,
           invstd1, invstd2);
  release(w);
  release(b);
  release(a);
  L.sync();
}

}  // namespace dfp
}  // namespace qel
