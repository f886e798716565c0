// Task bodies of the data-movement and decoder kernels: channel-slice copies
// into concatenation buffers, input padding, LeakyReLU, bilinear 2 x
// upsampling and LeakyReLU fused with upsampling.
//
// Every body works on 8 single-precision lanes and fixes its results to the
// bit: copies move 32-bit patterns without any floating-point operation, and
// the arithmetic kernels round operation by operation as written below (the
// fused multiply-adds are explicit intrinsics; nothing relies on contraction).
// A body processes the items [begin, end) of one task call and touches no
// element outside them; an empty or reversed range does nothing.
#pragma once
#include <immintrin.h>

#include <cstdint>

namespace qel {
namespace dfp {
namespace move {

// LeakyReLU slope, 0.2f (bits 0x3E4CCCCD).
constexpr float kSlope = 0.2f;

// ---------------------------------------------------------------------------
// Lane helpers

// Stores the four lanes of v, one element at a time in ascending lane order,
// to p[o0], p[o1], p[o2], p[o3]. Plain moves: NaN payloads survive.
inline void store_lanes4(float* p, __m128 v, int64_t o0, int64_t o1, int64_t o2, int64_t o3) {
  _mm_store_ss(p + o0, v);
  _mm_store_ss(p + o1, _mm_permute_ps(v, 1));
  _mm_store_ss(p + o2, _mm_permute_ps(v, 2));
  _mm_store_ss(p + o3, _mm_permute_ps(v, 3));
}

// As store_lanes4, lane k only when bit k of `on` is set.
inline void store_lanes4_masked(float* p, __m128 v, int on, int64_t o0, int64_t o1, int64_t o2, int64_t o3) {
  if (on & 1) _mm_store_ss(p + o0, v);
  if (on & 2) _mm_store_ss(p + o1, _mm_permute_ps(v, 1));
  if (on & 4) _mm_store_ss(p + o2, _mm_permute_ps(v, 2));
  if (on & 8) _mm_store_ss(p + o3, _mm_permute_ps(v, 3));
}

// Lane k of the result is all ones when first + k < end (signed).
inline __m256i active_lanes(int64_t first, int64_t end) {
  const int64_t left = end - first;
  const int32_t n = left < 0 ? 0 : (left > 8 ? 8 : static_cast<int32_t>(left));
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// First index after the full 8-lane steps of [begin, end): begin + 8 x trunc(n / 8).
inline int64_t full_steps_end(int32_t begin, int32_t end) {
  const int64_t n = static_cast<int64_t>(end) - begin;
  return begin + 8 * (n / 8);
}

// LeakyReLU of 8 lanes: m = (0 <= x) ordered, p = x * 0.2f, and where m holds
// the value reloaded from the source under mask m. NaN fails the comparison
// and gives the NaN product; -0.0 passes it and stays -0.0.
inline __m256 leaky8(const float* src, __m256 x, __m256i active) {
  const __m256 m = _mm256_and_ps(_mm256_cmp_ps(_mm256_setzero_ps(), x, _CMP_LE_OQ), _mm256_castsi256_ps(active));
  const __m256 p = _mm256_mul_ps(x, _mm256_set1_ps(kSlope));
  if (_mm256_movemask_ps(m) == 0) return p;
  const __m256 again = _mm256_maskload_ps(src, _mm256_castps_si256(m));
  return _mm256_blendv_ps(p, again, m);
}

// One full 8-lane LeakyReLU step from src[0..7] to dst[0..7].
inline void leaky_step8(const float* src, float* dst) {
  const __m256 x = _mm256_loadu_ps(src);
  _mm256_storeu_ps(dst, leaky8(src, x, _mm256_set1_epi32(-1)));
}

// ---------------------------------------------------------------------------
// Bilinear 2 x sampling rule, per axis: output coordinate o of an axis of n
// source pixels gives the taps i0, i1 and the fractions f, g = 1 - f.
//   t = o + 0.5f; s = fma(t, 0.5f, -0.5f); s = (0 <= s) ? s : +0.0f;
//   i0 = trunc(s); i1 = i0 < n - 1 ? i0 + 1 : i0; f = s - i0; g = 1 - f.
// Weights are single rounded products, w00 = gy gx, w01 = gy fx, w10 = fy gx,
// w11 = fy fx, and the value v = fma(w11, s11, fma(w10, s10, fma(s00, w00, w01 s01))).

struct Axis8 {
  __m256i i0, i1;
  __m256 f, g;
};

inline Axis8 sample_axis8(__m256i o, int32_t n) {
  Axis8 a;
  const __m256 d = _mm256_cvtepi32_ps(o);
  const __m256 t = _mm256_add_ps(d, _mm256_set1_ps(0.5f));
  __m256 s = _mm256_fmadd_ps(t, _mm256_set1_ps(0.5f), _mm256_set1_ps(-0.5f));
  s = _mm256_and_ps(s, _mm256_cmp_ps(_mm256_setzero_ps(), s, _CMP_LE_OQ));
  a.i0 = _mm256_cvttps_epi32(s);
  const __m256i below_last = _mm256_cmpgt_epi32(_mm256_set1_epi32(n - 1), a.i0);
  a.i1 = _mm256_sub_epi32(a.i0, below_last);  // + 1 where i0 < n - 1
  a.f = _mm256_sub_ps(s, _mm256_cvtepi32_ps(a.i0));
  a.g = _mm256_sub_ps(_mm256_set1_ps(1.0f), a.f);
  return a;
}

struct Axis1 {
  int32_t i0, i1;
  float f, g;
};

inline Axis1 sample_axis1(int32_t o, int32_t n) {
  Axis1 a;
  const __m128 d = _mm_set_ss(static_cast<float>(o));
  const __m128 t = _mm_add_ss(d, _mm_set_ss(0.5f));
  __m128 s = _mm_fmadd_ss(t, _mm_set_ss(0.5f), _mm_set_ss(-0.5f));
  s = _mm_and_ps(s, _mm_cmple_ss(_mm_setzero_ps(), s));
  a.i0 = _mm_cvttss_si32(s);
  a.i1 = a.i0 < n - 1 ? a.i0 + 1 : a.i0;
  const __m128 f = _mm_sub_ss(s, _mm_set_ss(static_cast<float>(a.i0)));
  a.f = _mm_cvtss_f32(f);
  a.g = _mm_cvtss_f32(_mm_sub_ss(_mm_set_ss(1.0f), f));
  return a;
}

// ---------------------------------------------------------------------------
// Concatenation copy: rows [begin, end) of an R x S source into channels
// [O, O + S) of the same rows of an R x W buffer. Lane k of a step handles row
// r + k; per channel the eight lanes are gathered (two 4-lane gathers at
// stride S) and stored one lane at a time at stride W.

template <int32_t S, int32_t W, int32_t O>
void concat_copy(const float* src, float* dst, int32_t begin, int32_t end) {
  static_assert(S > 0 && O >= 0 && O + S <= W, "the slice lies inside the buffer row");
  const int64_t full = full_steps_end(begin, end);
  int64_t r = begin;
  const __m256i lane64_lo = _mm256_setr_epi64x(0, S, 2 * S, 3 * S);
  const __m256i lane64_hi = _mm256_setr_epi64x(4 * S, 5 * S, 6 * S, 7 * S);
  for (; r < full; r += 8) {
    const float* s = src + r * S;
    float* d = dst + r * W + O;
    for (int32_t c = 0; c < S; ++c) {
      const __m128 lo = _mm256_i64gather_ps(s + c, lane64_lo, 4);
      const __m128 hi = _mm256_i64gather_ps(s + c, lane64_hi, 4);
      store_lanes4(d + c, lo, 0, W, 2 * W, 3 * W);
      store_lanes4(d + c, hi, 4 * W, 5 * W, 6 * W, 7 * W);
    }
  }
  if (r < end) {
    const __m256i on = active_lanes(r, end);
    const __m128 on_lo = _mm_castsi128_ps(_mm256_castsi256_si128(on));
    const __m128 on_hi = _mm_castsi128_ps(_mm256_extracti128_si256(on, 1));
    const int bits = _mm256_movemask_ps(_mm256_castsi256_ps(on));
    const float* s = src + r * S;
    float* d = dst + r * W + O;
    for (int32_t c = 0; c < S; ++c) {
      const __m128 lo = _mm256_mask_i64gather_ps(_mm_setzero_ps(), s + c, lane64_lo, on_lo, 4);
      const __m128 hi = _mm256_mask_i64gather_ps(_mm_setzero_ps(), s + c, lane64_hi, on_hi, 4);
      store_lanes4_masked(d + c, lo, bits & 15, 0, W, 2 * W, 3 * W);
      store_lanes4_masked(d + c, hi, bits >> 4, 4 * W, 5 * W, 6 * W, 7 * W);
    }
  }
}

// ---------------------------------------------------------------------------
// Input padding: elements [begin, end) of the 32 x 38 x 38 x 3 destination,
// each the source pixel 3 rows and 3 columns up-left of it, or +0.0f in the
// 3-pixel border. Defined in dfp_move.cpp.
void input_pad(const float* src, float* dst, int32_t begin, int32_t end);

// Sizes of the padded input.
constexpr int32_t kPadBorder = 3;
constexpr int32_t kPadSide = 32;
constexpr int32_t kPadChannels = 3;
constexpr int32_t kPadOutSide = kPadSide + 2 * kPadBorder;
constexpr int32_t kPadCount = 32 * kPadOutSide * kPadOutSide * kPadChannels;

// ---------------------------------------------------------------------------
// LeakyReLU over elements [begin, end): y = (0 <= x) ? x : x * 0.2f.
// Defined in dfp_move.cpp.
void leaky_relu(const float* src, float* dst, int32_t begin, int32_t end);

// ---------------------------------------------------------------------------
// Bilinear 2 x upsampling of a 32 x H x W x C source into channels [0, C) of
// a 32 x 2H x 2W x Cdst buffer, over destination rows (output pixels)
// [begin, end). Lane k of a step handles row r + k with all its C channels;
// coordinates, weights and tap offsets are computed once per step.

template <int32_t H, int32_t W, int32_t C, int32_t Cdst>
void upsample_bilinear(const float* src, float* dst, int32_t begin, int32_t end) {
  static_assert(C <= Cdst, "the upsampled channels lie inside the buffer row");
  const int64_t full = full_steps_end(begin, end);
  for (int64_t r = begin; r < end; r += 8) {
    const bool masked = r >= full;
    const __m256i on = masked ? active_lanes(r, end) : _mm256_set1_epi32(-1);
    // Per lane q = r + k: ox = q mod 2W, oy = (q div 2W) mod 2H, n = q div 4HW.
    const __m256i q = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(r)),
                                       _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    alignas(32) int32_t qs[8], oys[8], oxs[8], ns[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(qs), q);
    for (int k = 0; k < 8; ++k) {
      oxs[k] = qs[k] % (2 * W);
      oys[k] = (qs[k] / (2 * W)) % (2 * H);
      ns[k] = qs[k] / (4 * H * W);
    }
    const Axis8 ay = sample_axis8(_mm256_load_si256(reinterpret_cast<const __m256i*>(oys)), H);
    const Axis8 ax = sample_axis8(_mm256_load_si256(reinterpret_cast<const __m256i*>(oxs)), W);
    const __m256 w00 = _mm256_mul_ps(ay.g, ax.g);
    const __m256 w01 = _mm256_mul_ps(ay.g, ax.f);
    const __m256 w10 = _mm256_mul_ps(ay.f, ax.g);
    const __m256 w11 = _mm256_mul_ps(ay.f, ax.f);
    // Tap (y, x) of image n starts at ((n H + y) W + x) C.
    const __m256i nh = _mm256_mullo_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(ns)),
                                          _mm256_set1_epi32(H));
    const auto tap = [&](__m256i y, __m256i x) {
      const __m256i row = _mm256_mullo_epi32(_mm256_add_epi32(nh, y), _mm256_set1_epi32(W));
      return _mm256_mullo_epi32(_mm256_add_epi32(row, x), _mm256_set1_epi32(C));
    };
    const __m256i t00 = tap(ay.i0, ax.i0), t01 = tap(ay.i0, ax.i1);
    const __m256i t10 = tap(ay.i1, ax.i0), t11 = tap(ay.i1, ax.i1);
    const auto lo64 = [](__m256i v) { return _mm256_cvtepi32_epi64(_mm256_castsi256_si128(v)); };
    const auto hi64 = [](__m256i v) { return _mm256_cvtepi32_epi64(_mm256_extracti128_si256(v, 1)); };
    const __m256i t00l = lo64(t00), t00h = hi64(t00), t01l = lo64(t01), t01h = hi64(t01);
    const __m256i t10l = lo64(t10), t10h = hi64(t10), t11l = lo64(t11), t11h = hi64(t11);
    const __m128 on_lo = _mm_castsi128_ps(_mm256_castsi256_si128(on));
    const __m128 on_hi = _mm_castsi128_ps(_mm256_extracti128_si256(on, 1));
    const int bits = _mm256_movemask_ps(_mm256_castsi256_ps(on));
    float* d = dst + r * Cdst;
    for (int32_t c = 0; c < C; ++c) {
      const float* s = src + c;
      const auto gather = [&](__m256i lo, __m256i hi) {
        const __m128 a = _mm256_mask_i64gather_ps(_mm_setzero_ps(), s, lo, on_lo, 4);
        const __m128 b = _mm256_mask_i64gather_ps(_mm_setzero_ps(), s, hi, on_hi, 4);
        return _mm256_set_m128(b, a);
      };
      const __m256 s00 = gather(t00l, t00h), s01 = gather(t01l, t01h);
      const __m256 s10 = gather(t10l, t10h), s11 = gather(t11l, t11h);
      __m256 v = _mm256_mul_ps(w01, s01);
      v = _mm256_fmadd_ps(s00, w00, v);
      v = _mm256_fmadd_ps(w10, s10, v);
      v = _mm256_fmadd_ps(w11, s11, v);
      const __m128 vl = _mm256_castps256_ps128(v), vh = _mm256_extractf128_ps(v, 1);
      if (!masked) {
        store_lanes4(d + c, vl, 0, Cdst, 2 * Cdst, 3 * Cdst);
        store_lanes4(d + c, vh, 4 * Cdst, 5 * Cdst, 6 * Cdst, 7 * Cdst);
      } else {
        store_lanes4_masked(d + c, vl, bits & 15, 0, Cdst, 2 * Cdst, 3 * Cdst);
        store_lanes4_masked(d + c, vh, bits >> 4, 4 * Cdst, 5 * Cdst, 6 * Cdst, 7 * Cdst);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// LeakyReLU fused with bilinear 2 x upsampling, over images [begin, end).
// Each image is first activated into `slice`, the calling thread's part of the
// per-thread scratch (bytes [t S, (t + 1) S) with t = ISPCThreadNum(); H W C
// floats laid out like a source image), 24 floats per step; then every output
// element (channel fastest) is computed from four activated taps, one element
// at a time in scalar arithmetic. Channels [C, Cdst) of the destination are
// not touched.

template <int32_t H, int32_t W, int32_t C, int32_t Cdst, int64_t SliceBytes>
void leaky_relu_upsample(uint8_t* slice, const float* src, float* dst, int32_t begin, int32_t end) {
  constexpr int32_t kImage = H * W * C;
  static_assert(kImage % 24 == 0, "the activation runs in whole 24-float steps");
  static_assert(SliceBytes >= 4 * static_cast<int64_t>(kImage), "a slice holds one activated image");
  static_assert(C <= Cdst, "the upsampled channels lie inside the buffer row");
  float* s = reinterpret_cast<float*>(slice);
  if (static_cast<uint32_t>(begin) >= static_cast<uint32_t>(end)) return;
  for (int64_t n = begin; n < end; ++n) {
    const float* in = src + n * kImage;
    float* out = dst + n * 4 * H * W * Cdst;
    for (int32_t k = 0; k < kImage; k += 24) {
      leaky_step8(in + k, s + k);
      leaky_step8(in + k + 8, s + k + 8);
      leaky_step8(in + k + 16, s + k + 16);
    }
    // Elements e = (oy 2W + ox) C + c in ascending order; the sampling
    // values depend on (oy, ox) only and are formed once per output pixel.
    for (int32_t oy = 0; oy < 2 * H; ++oy) {
      const Axis1 ay = sample_axis1(oy, H);
      for (int32_t ox = 0; ox < 2 * W; ++ox) {
        const Axis1 ax = sample_axis1(ox, W);
        const __m128 w00 = _mm_mul_ss(_mm_set_ss(ay.g), _mm_set_ss(ax.g));
        const __m128 w01 = _mm_mul_ss(_mm_set_ss(ay.g), _mm_set_ss(ax.f));
        const __m128 w10 = _mm_mul_ss(_mm_set_ss(ay.f), _mm_set_ss(ax.g));
        const __m128 w11 = _mm_mul_ss(_mm_set_ss(ay.f), _mm_set_ss(ax.f));
        const float* t00 = s + (ay.i0 * W + ax.i0) * C;
        const float* t01 = s + (ay.i0 * W + ax.i1) * C;
        const float* t10 = s + (ay.i1 * W + ax.i0) * C;
        const float* t11 = s + (ay.i1 * W + ax.i1) * C;
        float* o = out + (oy * 2 * W + ox) * Cdst;
        for (int32_t c = 0; c < C; ++c) {
          __m128 v = _mm_mul_ss(w01, _mm_load_ss(t01 + c));
          v = _mm_fmadd_ss(_mm_load_ss(t00 + c), w00, v);
          v = _mm_fmadd_ss(w10, _mm_load_ss(t10 + c), v);
          v = _mm_fmadd_ss(w11, _mm_load_ss(t11 + c), v);
          _mm_store_ss(o + c, v);
        }
      }
    }
  }
}

}  // namespace move
}  // namespace dfp
}  // namespace qel
