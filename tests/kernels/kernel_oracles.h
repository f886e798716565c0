// Scalar oracles of every kernel form, written from the kernels' definitions in
// plain loops and sharing no code with the library, and what the tests feed
// them: data with special values, poisoned outputs, memory that ends at an
// inaccessible page, direct task calls over a range.
#pragma once
#include <gtest/gtest.h>
#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "kernel_table.h"

namespace kt {

using qel_test::bits;
using qel_test::from_bits;

// Untouched outputs hold this signalling NaN, which no test feeds or computes.
constexpr uint32_t kPoison = 0x7FA5A5A5u;
inline std::vector<float> poison(size_t n) { return std::vector<float>(n, from_bits(kPoison)); }

// Pseudo-random floats. `uniform`: in [lo, hi), on a grid of (hi - lo) / 2^24.
// `data`: every mantissa bit in play (so that sums and products round),
// magnitudes from 1/16 to 8, either sign, and every 53 elements a -0, and an
// infinity, a subnormal and a NaN with a payload of either sign (a copy must
// carry them all unchanged, arithmetic the NaN's payload and sign).
struct Xorshift {
  uint32_t s;
  uint32_t operator()() { return s ^= s << 13, s ^= s >> 17, s ^= s << 5; }
};
inline std::vector<float> uniform(size_t n, uint32_t seed, float lo, float hi) {
  Xorshift g{seed * 2654435761u + 12345u};
  std::vector<float> v(n);
  for (float& x : v) x = lo + (hi - lo) * static_cast<float>(g() >> 8) * 0x1p-24f;
  return v;
}
inline std::vector<float> data(size_t n, uint32_t seed) {
  Xorshift g{seed * 2654435761u + 12345u};
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t r = g(), sign = r & 0x80000000u, low = g() & 0x007FFFFFu;
    v[i] = from_bits(sign | ((123u + r % 7) << 23) | low);
    if (i % 53 == 7) v[i] = -0.0f;
    if (i % 53 == 19) v[i] = from_bits(sign | 0x7F800000u);
    if (i % 53 == 31) v[i] = from_bits(sign | low | 1u);
    if (i % 53 == 43 && (sign | 0x7F800000u | low | 1u) != kPoison) v[i] = from_bits(sign | 0x7F800000u | low | 1u);
  }
  return v;
}

// ---- the arithmetic ----------------------------------------------------------------
inline float eps() { return from_bits(0x3727F09Fu); }  // the float nearest 1.001e-05
inline float invstd(float var) { return 1.0f / std::sqrt(var + eps()); }
inline float bn(float x, float gamma, float beta, float mean, float inv) {
  const float v = std::fma(inv * gamma, x - mean, beta);
  return v > 0.0f ? v : 0.0f;  // NaN and -0 give +0
}
inline float leaky(float x) { return 0.0f <= x ? x : x * 0.2f; }

// One axis of the bilinear 2 x sampling rule: output coordinate o over n source pixels.
struct Axis {
  int i0, i1;
  float f, g;
};
inline Axis axis(int o, int n) {
  float s = std::fma(static_cast<float>(o) + 0.5f, 0.5f, -0.5f);
  if (!(0.0f <= s)) s = 0.0f;
  const int i0 = static_cast<int>(s);
  const float f = s - static_cast<float>(i0);
  return {i0, i0 < n - 1 ? i0 + 1 : i0, f, 1.0f - f};
}

// 32 x H x W x C, LeakyReLU first when `act`, into channels [0, C) of 32 x 2H x 2W x Cdst.
inline void upsample(const float* src, float* dst, int H, int W, int C, int Cdst, bool act) {
  for (int n = 0; n < 32; ++n)
    for (int oy = 0; oy < 2 * H; ++oy)
      for (int ox = 0; ox < 2 * W; ++ox) {
        const Axis ay = axis(oy, H), ax = axis(ox, W);
        const float w00 = ay.g * ax.g, w01 = ay.g * ax.f, w10 = ay.f * ax.g, w11 = ay.f * ax.f;
        for (int c = 0; c < C; ++c) {
          const auto tap = [&](int y, int x) {
            const float v = src[((static_cast<size_t>(n) * H + y) * W + x) * C + c];
            return act ? leaky(v) : v;
          };
          float v = w01 * tap(ay.i0, ax.i1);
          v = std::fma(tap(ay.i0, ax.i0), w00, v);
          v = std::fma(w10, tap(ay.i1, ax.i0), v);
          v = std::fma(w11, tap(ay.i1, ax.i1), v);
          dst[((static_cast<size_t>(n) * 2 * H + oy) * 2 * W + ox) * Cdst + c] = v;
        }
      }
}

// A context whose 1024 parameters are valid random vectors of 2048 floats.
struct Fixture {
  Context c;
  std::vector<std::vector<float>> p, inv;  // inv[k]: invstd of parameter k as a variance
  Fixture() : p(1024), inv(1024) {
    for (int k = 0; k < 1024; ++k) {
      p[k] = uniform(2048, 1000 + k, 0.25f, 1.75f);
      inv[k].resize(2048);
      std::transform(p[k].begin(), p[k].end(), inv[k].begin(), invstd);
      c.params[k].data = p[k].data();
    }
  }
  // Normalisation `k` (parameters k .. k + 3) of x in channel ch.
  float bn(float x, int k, int ch) const { return kt::bn(x, p[k][ch], p[k + 1][ch], p[k + 2][ch], inv[k + 3][ch]); }
};
inline Fixture& fixture() {
  static Fixture f;
  return f;
}

// A kernel call: its tensors in argument order before the call and as the
// oracle has them after it, and the network input (read by the padding only).
struct Case {
  std::vector<std::vector<float>> t, want;
  std::vector<float> input;
};

inline Case make_case(const Row& r, uint32_t seed) {
  const Fixture& F = fixture();
  const auto img = [](int h, int w, int c) { return size_t{32} * h * w * c; };
  Case c;
  auto& t = c.t;
  auto& w = c.want;
  switch (r.form) {
    case kPrefix:
    case kPlain: {
      const bool prefix = r.form == kPrefix;
      std::vector<float> x = data(size_t(r.R) * r.Xs, seed), y = poison(size_t(r.R) * r.C);
      t = prefix ? std::vector<std::vector<float>>{y, x} : std::vector<std::vector<float>>{x, y};
      w = t;
      for (size_t i = 0; i < y.size(); ++i) w[prefix ? 0 : 1][i] = F.bn(x[i / r.C * r.Xs + i % r.C], r.k, i % r.C);
      break;
    }
    case kAvgpoolPos:
    case kAvgpoolImg: {
      const int Ho = r.H, Wo = r.W, C = r.C;
      t = {data(img(2 * Ho, 2 * Wo, C), seed), poison(img(Ho, Wo, C)), poison(img(Ho, Wo, C))};
      w = t;
      for (size_t o = 0; o < w[1].size(); ++o) {
        const size_t ch = o % C, ox = o / C % Wo, oy = o / C / Wo % Ho, n = o / C / Wo / Ho;
        const float* a = &t[0][((n * 2 * Ho + 2 * oy) * 2 * Wo + 2 * ox) * C + ch];
        float s = 0.0f;
        s += a[0], s += a[C], s += a[2 * Wo * C], s += a[2 * Wo * C + C];
        w[1][o] = s * 0.25f;
        w[2][o] = F.bn(s * 0.25f, r.k, ch);
      }
      break;
    }
    case kStem: {  // x, pooled, skip, y
      t = {data(img(16, 16, 64), seed), poison(img(8, 8, 64)), poison(img(16, 16, 64)), poison(img(8, 8, 64))};
      w = t;
      for (size_t i = 0; i < w[2].size(); ++i) w[2][i] = F.bn(t[0][i], r.k, i % 64);
      for (size_t o = 0; o < w[1].size(); ++o) {
        const int ch = o % 64, ox = o / 64 % 8, oy = o / 512 % 8, n = o / 4096;
        float m = -FLT_MAX;
        for (int y = 2 * oy - 1; y <= 2 * oy + 1; ++y)
          for (int x = 2 * ox - 1; x <= 2 * ox + 1; ++x)
            m = std::max(m, y < 0 || x < 0 || y > 15 || x > 15 ? 0.0f : w[2][((n * 16 + y) * 16 + x) * 64 + ch]);
        w[1][o] = m;
        w[3][o] = F.bn(m, r.k2, ch);
      }
      break;
    }
    case kCopy:
      t = {data(size_t(r.R) * r.S, seed), poison(size_t(r.R) * r.Xs)};
      w = t;
      for (size_t i = 0; i < t[0].size(); ++i) w[1][i / r.S * r.Xs + r.O + i % r.S] = t[0][i];
      break;
    case kPad:
      c.input = data(img(32, 32, 3), seed);
      t = {poison(img(38, 38, 3))};
      w = t;
      for (size_t e = 0; e < w[0].size(); ++e) {
        const int ch = e % 3, x = e / 3 % 38, y = e / 114 % 38, n = e / 4332;
        const bool inside = x >= 3 && x < 35 && y >= 3 && y < 35;
        w[0][e] = inside ? c.input[((n * 32 + y - 3) * 32 + x - 3) * 3 + ch] : 0.0f;
      }
      break;
    case kLeaky:
      t = {data(r.count, seed), poison(r.count)};
      w = t;
      std::transform(t[0].begin(), t[0].end(), w[1].begin(), leaky);
      break;
    case kUpsample:
    case kLeakyUpsample:
      t = {data(img(r.H, r.W, r.C), seed), poison(img(2 * r.H, 2 * r.W, r.Cdst))};
      w = t;
      upsample(t[0].data(), w[1].data(), r.H, r.W, r.C, r.Cdst, r.form == kLeakyUpsample);
      break;
  }
  return c;
}

// Outputs are compared bit for bit, NaNs included: a NaN that reaches an
// output through arithmetic keeps the payload and sign of the NaN it came from
// (quieted, as the processor quiets it), so a kernel that lost or replaced it
// shows. The test data never gives one result two NaN operands, where the
// processor's choice would depend on the order of the operands.
inline bool same(float got, float want) { return bits(got) == bits(want); }

// Index of the first element of `got` whose bits differ from `want`, or -1.
inline long mismatch(const float* got, const std::vector<float>& want) {
  for (size_t i = 0; i < want.size(); ++i)
    if (!same(got[i], want[i])) return static_cast<long>(i);
  return -1;
}

// ---- scratch requests -------------------------------------------------------------

// A kernel's scratch requests through the handle: every allocation starts from
// a clear descriptor of the handle, and every release matches the latest
// allocation not yet released (same descriptor, same memory); none is left.
inline void expect_requests_paired(const std::vector<qel_test::Request>& got) {
  std::vector<const qel_test::Request*> live;
  for (size_t i = 0; i < got.size(); ++i) {
    const qel_test::Request& g = got[i];
    EXPECT_TRUE(g.handle_matches) << "request " << i;
    if (g.is_malloc) {
      EXPECT_TRUE(g.data_was_null) << "request " << i;
      EXPECT_TRUE(g.mirror_clear) << "request " << i;
      live.push_back(&g);
      continue;
    }
    ASSERT_FALSE(live.empty()) << "request " << i << " releases what was never allocated";
    EXPECT_EQ(g.descriptor, live.back()->descriptor) << "request " << i;
    EXPECT_EQ(g.data, live.back()->data) << "request " << i;
    live.pop_back();
  }
  EXPECT_TRUE(live.empty()) << live.size() << " scratch tensors never released";
}

// ---- direct task calls -------------------------------------------------------------

// The OpenMP team size for a scope.
struct Threads {
  int saved = omp_get_max_threads();
  explicit Threads(int n) { omp_set_num_threads(n); }
  ~Threads() { omp_set_num_threads(saved); }
};

// n floats whose last one is followed by an inaccessible page.
class Guarded {
 public:
  explicit Guarded(size_t n) : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    body_ = (std::max<size_t>(n, 1) * 4 + page_ - 1) / page_ * page_;
    base_ =
        static_cast<char*>(mmap(nullptr, body_ + page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ == MAP_FAILED || mprotect(base_ + body_, page_, PROT_NONE) != 0) std::abort();
    data_ = reinterpret_cast<float*>(base_ + body_) - n;
  }
  ~Guarded() { munmap(base_, body_ + page_); }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;
  float* data() { return data_; }

 private:
  size_t page_, body_;
  char* base_;
  float* data_;
};

inline void call_task(Task task, std::vector<void*> slots, int begin, int end) {
  task(slots.data(), 0, 0, 0, 0, 0, 0, 0, begin, end, 0);
}

// Runs `task` over [begin, end) on guarded copies of `srcs` and a poisoned
// guarded destination, put into the task's block by `slots`. The destination
// must then hold `want` in the elements of the items of the range (`per_item`
// consecutive elements each) and the poison in all others.
using Slots = std::function<std::vector<void*>(const std::vector<float*>& srcs, float* dst)>;
inline void check_range(Task task, const std::vector<std::vector<float>>& srcs, const std::vector<float>& want,
                        size_t per_item, int begin, int end, const Slots& slots) {
  std::vector<std::unique_ptr<Guarded>> keep;
  std::vector<float*> in;
  for (const auto& s : srcs) {
    keep.emplace_back(new Guarded(s.size()));
    std::copy(s.begin(), s.end(), keep.back()->data());
    in.push_back(keep.back()->data());
  }
  Guarded dst(want.size());
  std::fill(dst.data(), dst.data() + want.size(), from_bits(kPoison));
  call_task(task, slots(in, dst.data()), begin, end);
  for (size_t i = 0; i < want.size(); ++i) {
    const long item = static_cast<long>(i / per_item);
    const float expected = item >= begin && item < end ? want[i] : from_bits(kPoison);
    if (!same(dst.data()[i], expected)) {
      ADD_FAILURE() << "range [" << begin << ", " << end << "): element " << i << " is 0x" << std::hex
                    << bits(dst.data()[i]) << ", not 0x" << bits(expected);
      return;
    }
  }
}

// The ranges every task is tried on, for n >= 13 items: all, the head, the
// middle, unaligned tails, empty and reversed.
inline std::vector<std::pair<int, int>> ranges(int n) {
  return {{0, n}, {0, 11}, {3, 6}, {n - 13, n}, {n - 1, n}, {5, 5}, {9, 2}};
}

}  // namespace kt
