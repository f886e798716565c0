// Naive scalar references of the data-movement and decoder kernels, written
// from their definitions with plain loops and no code shared with the library,
// plus the buffers and bit patterns the tests feed them.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "tests/support/recording_handle.h"

namespace moveref {

using qel_test::bits;
using qel_test::from_bits;

// Poison of untouched destination elements: a signalling NaN with a payload
// that no source pattern of the tests uses.
constexpr uint32_t kPoison = 0x7FA5A5A5u;

// Random bit patterns mixing ordinary values with the cases that a copy must
// carry unchanged: -0.0, +0.0, subnormals, infinities, quiet and signalling
// NaNs with payloads of either sign.
inline std::vector<float> special_mix(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> val(-4.0f, 4.0f);
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    switch (rng() % 10) {
      case 0: v[i] = from_bits(0x80000000u); break;                                   // -0.0
      case 1: v[i] = from_bits(0x7F800001u + (rng() & 0x003FFFFEu)); break;           // sNaN payload
      case 2: v[i] = from_bits(0xFFC00000u | (rng() & 0x003FFFFFu)); break;           // -qNaN payload
      case 3: v[i] = from_bits((rng() & 0x80000000u) | (1u + (rng() & 0x007FFFFEu))); break;  // subnormal
      case 4: v[i] = from_bits((rng() & 1) ? 0x7F800000u : 0xFF800000u); break;       // +-inf
      default: v[i] = val(rng); break;
    }
    if (bits(v[i]) == kPoison) v[i] = 1.0f;
  }
  return v;
}

// Finite random values of both signs, with -0.0 and +0.0 sprinkled in.
inline std::vector<float> finite_mix(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> val(-8.0f, 8.0f);
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t k = rng() % 16;
    v[i] = k == 0 ? -0.0f : k == 1 ? 0.0f : val(rng);
  }
  return v;
}

inline std::vector<float> poisoned(size_t n) {
  return std::vector<float>(n, from_bits(kPoison));
}

// Memory whose accessible part ends exactly at (or starts exactly at) an
// inaccessible page, so that a read or write one element past the end (or
// before the start) faults.
class GuardedFloats {
 public:
  enum Side { kGuardAfter, kGuardBefore };
  GuardedFloats(size_t count, Side side) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t body = (count * sizeof(float) + page_ - 1) / page_ * page_;
    total_ = body + 2 * page_;
    base_ = static_cast<char*>(mmap(nullptr, total_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ == MAP_FAILED) std::abort();
    mprotect(base_, page_, PROT_NONE);
    mprotect(base_ + page_ + body, page_, PROT_NONE);
    data_ = side == kGuardAfter ? reinterpret_cast<float*>(base_ + page_ + body) - count
                                : reinterpret_cast<float*>(base_ + page_);
  }
  ~GuardedFloats() { munmap(base_, total_); }
  GuardedFloats(const GuardedFloats&) = delete;
  GuardedFloats& operator=(const GuardedFloats&) = delete;
  float* data() { return data_; }

 private:
  size_t page_ = 0, total_ = 0;
  char* base_ = nullptr;
  float* data_ = nullptr;
};

// ---------------------------------------------------------------------------
// References

// dst[r W + O + c] = src[r S + c] for rows [begin, end), channels [0, S).
inline void concat_copy(const float* src, float* dst, int S, int W, int O, int begin, int end) {
  for (int r = begin; r < end; ++r)
    for (int c = 0; c < S; ++c) std::memcpy(&dst[r * W + O + c], &src[r * S + c], 4);
}

// 32 x 32 x 32 x 3 into 32 x 38 x 38 x 3 with a border of 3 zero pixels.
inline void input_pad(const float* src, float* dst, int begin, int end) {
  for (int e = begin; e < end; ++e) {
    const int c = e % 3, x = (e / 3) % 38, y = (e / 114) % 38, n = e / 4332;
    if (x >= 3 && x <= 34 && y >= 3 && y <= 34)
      std::memcpy(&dst[e], &src[n * 3072 + (y - 3) * 96 + (x - 3) * 3 + c], 4);
    else
      dst[e] = 0.0f;
  }
}

inline float leaky(float x) { return 0.0f <= x ? x : x * 0.2f; }

// One axis of the 2 x sampling rule for output coordinate o over n pixels.
struct Axis {
  int i0, i1;
  float f, g;
};
inline Axis axis(int o, int n) {
  const float t = static_cast<float>(o) + 0.5f;
  float s = std::fma(t, 0.5f, -0.5f);
  if (!(0.0f <= s)) s = 0.0f;
  Axis a;
  a.i0 = static_cast<int>(s);
  a.i1 = a.i0 < n - 1 ? a.i0 + 1 : a.i0;
  a.f = s - static_cast<float>(a.i0);
  a.g = 1.0f - a.f;
  return a;
}

// Output value from four taps and the two axes, in the fixed order.
inline float blend(const Axis& ay, const Axis& ax, float s00, float s01, float s10, float s11) {
  const float w00 = ay.g * ax.g, w01 = ay.g * ax.f, w10 = ay.f * ax.g, w11 = ay.f * ax.f;
  float v = w01 * s01;
  v = std::fma(s00, w00, v);
  v = std::fma(w10, s10, v);
  v = std::fma(w11, s11, v);
  return v;
}

// Upsamples images [n0, n1) of a 32 x H x W x C source 2 x into channels
// [0, C) of a 32 x 2H x 2W x Cdst destination, optionally applying LeakyReLU
// to the source first.
inline void upsample(const float* src, float* dst, int H, int W, int C, int Cdst, bool activate, int n0, int n1) {
  for (int n = n0; n < n1; ++n)
    for (int oy = 0; oy < 2 * H; ++oy)
      for (int ox = 0; ox < 2 * W; ++ox) {
        const Axis ay = axis(oy, H), ax = axis(ox, W);
        for (int c = 0; c < C; ++c) {
          auto at = [&](int y, int x) {
            const float v = src[((n * H + y) * W + x) * C + c];
            return activate ? leaky(v) : v;
          };
          dst[((n * 2 * H + oy) * 2 * W + ox) * Cdst + c] =
              blend(ay, ax, at(ay.i0, ax.i0), at(ay.i0, ax.i1), at(ay.i1, ax.i0), at(ay.i1, ax.i1));
        }
      }
}

// Index of the first element whose bits differ, or -1.
inline long first_mismatch(const float* a, const float* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (bits(a[i]) != bits(b[i])) return static_cast<long>(i);
  return -1;
}

}  // namespace moveref
