// Real batch-normalisation kernel wrappers through a test context whose handle
// records every scratch allocation and release: results against a naive
// reference of the formula, the scratch sequence, and identical bits with 1, 3
// and 8 threads.
#include <gtest/gtest.h>
#include <immintrin.h>
#include <omp.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "bn_support.h"
#include "tests/child_process.h"

using namespace bn_test;

#define EXPORT2 \
  ___un_3C_s_5B_unqel_ctx_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_
#define CAT_(a, b) a##b
#define CAT(a, b) CAT_(a, b)
#define WRAPPER2(id) void qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*);
#define WRAPPER3(id)                                                                                  \
  void qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*, \
                                                  qel_tensor_struct*);

extern "C" {
WRAPPER2(8329)
WRAPPER2(8407)
WRAPPER2(8532)
WRAPPER2(84E8)
WRAPPER2(8357)
WRAPPER2(82E8)
WRAPPER2(851C)
WRAPPER2(8229)
WRAPPER3(851A)
WRAPPER3(84B2)
WRAPPER3(82EB)
void qel_x86_4602A7A4_00000000_D0_dfp_ispc_8556(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*,
                                                qel_tensor_struct*, qel_tensor_struct*);
void CAT(qel_x86_4602A7A4_00000000_D0_dfp_ispc_8329, EXPORT2)(qel_ctx_struct*, qel_tensor_struct*,
                                                               qel_tensor_struct*, __m256i);
}

namespace {

const float kSentinel = from_bits(0x7fa11a11u);

::testing::AssertionResult same(float got, float want) {
  if (bits(got) == bits(want) || (std::isnan(got) && std::isnan(want))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << got << ", want " << want;
}

// Input values: random, with NaN, infinities and -0 sprinkled in.
std::vector<float> input(size_t n, uint32_t seed) {
  auto v = random_values(n, seed, -3.0f, 3.0f);
  for (size_t i = 7; i < n; i += 997) v[i] = NAN;
  for (size_t i = 11; i < n; i += 1499) v[i] = -0.0f;
  for (size_t i = 13; i < n; i += 2503) v[i] = (i % 2) ? INFINITY : -INFINITY;
  return v;
}

// Runs `body` with n OpenMP threads and restores the previous setting.
void with_threads(int n, const std::function<void()>& body) {
  const int before = omp_get_max_threads();
  omp_set_num_threads(n);
  body();
  omp_set_num_threads(before);
}

// The expected scratch descriptor of an allocation.
void expect_scratch(const Event& e, bool is_malloc, int32_t rank, int32_t dtype, int64_t e0, int64_t e1,
                    const std::string& where) {
  EXPECT_EQ(e.is_malloc, is_malloc) << where;
  EXPECT_EQ(e.rank, rank) << where;
  EXPECT_EQ(e.dtype, dtype) << where;
  EXPECT_EQ(e.extents[0], e0) << where;
  EXPECT_EQ(e.extents[1], e1) << where;
  for (int i = 2; i < 8; ++i) EXPECT_EQ(e.extents[i], 0) << where;
  EXPECT_EQ(e.count, rank == 1 ? e0 : e0 * e1) << where;
  EXPECT_TRUE(e.handle_matches) << where;
  if (is_malloc) {
    EXPECT_TRUE(e.data_was_null) << where;
    EXPECT_TRUE(e.mirror_clear) << where;
  } else {
    EXPECT_FALSE(e.data_was_null) << where;
  }
}

// The releases undo the allocations in reverse order, descriptor by descriptor.
void expect_nested(const std::vector<Event>& ev) {
  const size_t n = ev.size() / 2;
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(ev[i].descriptor, ev[ev.size() - 1 - i].descriptor);
    EXPECT_EQ(ev[i].data, ev[ev.size() - 1 - i].data);
  }
}

const int kThreads[] = {1, 3, 8};

// ---- bn_relu ---------------------------------------------------------------------

struct BnCase {
  const char* id;
  void (*wrapper)(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*);
  bool prefix;
  int C, Xs, R, k;
};

const BnCase kBnCases[] = {
    {"8329", qel_x86_4602A7A4_00000000_D0_dfp_ispc_8329, true, 1472, 1792, 128, 575},  // 16 a step
    {"8407", qel_x86_4602A7A4_00000000_D0_dfp_ispc_8407, true, 288, 1792, 128, 205},   // 24 a step
    {"8532", qel_x86_4602A7A4_00000000_D0_dfp_ispc_8532, false, 128, 128, 2048, 30},   // block 1
    {"84E8", qel_x86_4602A7A4_00000000_D0_dfp_ispc_84E8, false, 128, 128, 512, 105},   // block 2
    {"8357", qel_x86_4602A7A4_00000000_D0_dfp_ispc_8357, false, 128, 128, 128, 500},   // block 3
    {"82E8", qel_x86_4602A7A4_00000000_D0_dfp_ispc_82E8, false, 128, 128, 32, 685},    // block 4
    {"851C", qel_x86_4602A7A4_00000000_D0_dfp_ispc_851C, false, 256, 256, 2048, 65},   // whole buffer
    {"8229", qel_x86_4602A7A4_00000000_D0_dfp_ispc_8229, false, 1920, 1920, 32, 1000}, // final
};

std::vector<float> ref_bn_relu(Context& t, const BnCase& b, const std::vector<float>& x) {
  std::vector<float> y(static_cast<size_t>(b.R) * b.C);
  for (int r = 0; r < b.R; ++r)
    for (int c = 0; c < b.C; ++c)
      y[r * b.C + c] = ref_bn(x[r * b.Xs + c], t.param(b.k)[c], t.param(b.k + 1)[c], t.param(b.k + 2)[c],
                              ref_invstd(t.param(b.k + 3)[c]));
  return y;
}

TEST(BnReluKernels, MatchReferenceWithScratchSequenceAtEveryThreadCount) {
  Context t;
  for (const BnCase& b : kBnCases) {
    SCOPED_TRACE(b.id);
    auto xv = input(static_cast<size_t>(b.R) * b.Xs, b.C + b.k);
    if (b.prefix)  // channels past C are never read
      for (int r = 0; r < b.R; ++r)
        for (int c = b.C; c < b.Xs; ++c) xv[r * b.Xs + c] = NAN;
    const auto want = ref_bn_relu(t, b, xv);
    for (int n : kThreads) {
      SCOPED_TRACE("threads " + std::to_string(n));
      Tensor x(xv), y(static_cast<size_t>(b.R) * b.C, kSentinel);
      t.events().clear();
      with_threads(n, [&] { b.prefix ? b.wrapper(t.ctx(), &y.d, &x.d) : b.wrapper(t.ctx(), &x.d, &y.d); });
      for (size_t i = 0; i < want.size(); ++i) ASSERT_TRUE(same(y.v[i], want[i])) << "element " << i;
      EXPECT_EQ(std::memcmp(x.v.data(), xv.data(), xv.size() * 4), 0) << "the input is only read";
      const auto& ev = t.events();
      ASSERT_EQ(ev.size(), 2u);
      expect_scratch(ev[0], true, 1, QEL_F32, 4 * b.C, 0, "invstd malloc");
      expect_scratch(ev[1], false, 1, QEL_F32, 4 * b.C, 0, "invstd free");
      expect_nested(ev);
    }
  }
}

TEST(BnReluKernels, ExportBehavesLikeTheWrapperWhateverTheMask) {
  Context t;
  const BnCase& b = kBnCases[0];
  const auto xv = input(static_cast<size_t>(b.R) * b.Xs, 99);
  const auto want = ref_bn_relu(t, b, xv);
  const __m256i masks[] = {_mm256_set1_epi32(-1), _mm256_setzero_si256(), _mm256_setr_epi32(-1, 0, -1, 0, 0, 0, 0, -1)};
  for (const __m256i& m : masks) {
    Tensor x(xv), y(static_cast<size_t>(b.R) * b.C, kSentinel);
    t.events().clear();
    CAT(qel_x86_4602A7A4_00000000_D0_dfp_ispc_8329, EXPORT2)(t.ctx(), &y.d, &x.d, m);
    for (size_t i = 0; i < want.size(); ++i) ASSERT_TRUE(same(y.v[i], want[i])) << "element " << i;
    ASSERT_EQ(t.events().size(), 2u);
    expect_scratch(t.events()[0], true, 1, QEL_F32, 4 * b.C, 0, "export malloc");
  }
}

// ---- avgpool_bn_relu ---------------------------------------------------------------

struct PoolCase {
  const char* id;
  void (*wrapper)(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*, qel_tensor_struct*);
  int C, Hin, k;
  bool per_thread;  // per-image variant with a per-thread scratch of C floats
};

const PoolCase kPoolCases[] = {
    {"851A", qel_x86_4602A7A4_00000000_D0_dfp_ispc_851A, 128, 8, 70, false},
    {"84B2", qel_x86_4602A7A4_00000000_D0_dfp_ispc_84B2, 256, 4, 195, false},
    {"82EB", qel_x86_4602A7A4_00000000_D0_dfp_ispc_82EB, 896, 2, 680, true},
};

TEST(AvgpoolBnReluKernels, MatchReferenceWithScratchSequenceAtEveryThreadCount) {
  Context t;
  for (const PoolCase& p : kPoolCases) {
    SCOPED_TRACE(p.id);
    const int C = p.C, H = p.Hin, Ho = H / 2;
    auto xv = input(static_cast<size_t>(32) * H * H * C, C);
    // Window of output (0, 0), channel 0 of image 0: big + 1 + 1 + 0 loses both ones
    // only when added in order; channel 1: four 3e38 overflow before the scaling;
    // channel 2: four -0 give +0.
    const auto at = [&](int n, int h, int w, int c) -> float& { return xv[((n * H + h) * H + w) * C + c]; };
    at(0, 0, 0, 0) = 16777216.0f, at(0, 0, 1, 0) = 1.0f, at(0, 1, 0, 0) = 1.0f, at(0, 1, 1, 0) = 0.0f;
    for (int q = 0; q < 4; ++q) at(0, q / 2, q % 2, 1) = 3.0e38f, at(0, q / 2, q % 2, 2) = -0.0f;
    std::vector<float> want_p(static_cast<size_t>(32) * Ho * Ho * C), want_y(want_p.size());
    for (int n = 0; n < 32; ++n)
      for (int oy = 0; oy < Ho; ++oy)
        for (int ox = 0; ox < Ho; ++ox)
          for (int c = 0; c < C; ++c) {
            float s = 0.0f;
            s += at(n, 2 * oy, 2 * ox, c);
            s += at(n, 2 * oy, 2 * ox + 1, c);
            s += at(n, 2 * oy + 1, 2 * ox, c);
            s += at(n, 2 * oy + 1, 2 * ox + 1, c);
            const size_t o = ((static_cast<size_t>(n) * Ho + oy) * Ho + ox) * C + c;
            want_p[o] = s * 0.25f;
            want_y[o] = ref_bn(want_p[o], t.param(p.k)[c], t.param(p.k + 1)[c], t.param(p.k + 2)[c],
                               ref_invstd(t.param(p.k + 3)[c]));
          }
    EXPECT_EQ(want_p[0], 4194304.0f);
    EXPECT_EQ(want_p[1], INFINITY);
    EXPECT_EQ(bits(want_p[2]), 0u);
    for (int n : kThreads) {
      SCOPED_TRACE("threads " + std::to_string(n));
      Tensor x(xv), pooled(want_p.size(), kSentinel), y(want_p.size(), kSentinel);
      t.events().clear();
      with_threads(n, [&] { p.wrapper(t.ctx(), &x.d, &pooled.d, &y.d); });
      for (size_t i = 0; i < want_p.size(); ++i) {
        ASSERT_TRUE(same(pooled.v[i], want_p[i])) << "pooled " << i;
        ASSERT_TRUE(same(y.v[i], want_y[i])) << "y " << i;
      }
      const auto& ev = t.events();
      ASSERT_EQ(ev.size(), p.per_thread ? 4u : 2u);
      expect_scratch(ev.front(), true, 1, QEL_F32, 4 * C, 0, "invstd malloc");
      if (p.per_thread) {
        expect_scratch(ev[1], true, 2, QEL_S8, n, 4 * C, "per-thread malloc");
        expect_scratch(ev[2], false, 2, QEL_S8, n, 4 * C, "per-thread free");
      }
      expect_scratch(ev.back(), false, 1, QEL_F32, 4 * C, 0, "invstd free");
      expect_nested(ev);
    }
  }
}

// ---- stem_bn_relu_maxpool ------------------------------------------------------------

TEST(StemKernel, MatchesReferenceWithScratchSequenceAtEveryThreadCount) {
  Context t;
  const int C = 64, S = 16, O = 8;
  auto xv = input(static_cast<size_t>(32) * S * S * C, 5);
  // Image 1, channel 3: one value far above the rest at (1, 1), which must reach
  // exactly the outputs (0, 0), (0, 1), (1, 0) and (1, 1).
  for (int p = 0; p < S * S; ++p) xv[(S * S + p) * C + 3] = -1.0f;
  xv[(S * S + S + 1) * C + 3] = 1000.0f;
  auto bn = [&](float v, int k, int c) {
    return ref_bn(v, t.param(k)[c], t.param(k + 1)[c], t.param(k + 2)[c], ref_invstd(t.param(k + 3)[c]));
  };
  std::vector<float> want_skip(xv.size()), want_p(static_cast<size_t>(32) * O * O * C), want_y(want_p.size());
  for (size_t i = 0; i < xv.size(); ++i) want_skip[i] = bn(xv[i], 1, static_cast<int>(i % C));
  for (int n = 0; n < 32; ++n)
    for (int oy = 0; oy < O; ++oy)
      for (int ox = 0; ox < O; ++ox)
        for (int c = 0; c < C; ++c) {
          float m = -INFINITY;
          for (int h = 2 * oy - 1; h <= 2 * oy + 1; ++h)
            for (int w = 2 * ox - 1; w <= 2 * ox + 1; ++w) {
              const float v = (h < 0 || w < 0 || h >= S || w >= S) ? 0.0f : want_skip[((n * S + h) * S + w) * C + c];
              m = std::max(m, v);
            }
          const size_t o = ((static_cast<size_t>(n) * O + oy) * O + ox) * C + c;
          want_p[o] = m;
          want_y[o] = bn(m, 5, c);
        }
  const float peak = want_skip[(S * S + S + 1) * C + 3];
  for (int q = 0; q < O * O; ++q) {
    const bool reached = q == 0 || q == 1 || q == 8 || q == 9;
    EXPECT_EQ(want_p[(O * O + q) * C + 3] == peak, reached) << "output " << q;
  }
  for (int n : kThreads) {
    SCOPED_TRACE("threads " + std::to_string(n));
    Tensor x(xv), pooled(want_p.size(), kSentinel), skip(xv.size(), kSentinel), y(want_p.size(), kSentinel);
    t.events().clear();
    with_threads(n, [&] { qel_x86_4602A7A4_00000000_D0_dfp_ispc_8556(t.ctx(), &x.d, &pooled.d, &skip.d, &y.d); });
    for (size_t i = 0; i < xv.size(); ++i) ASSERT_EQ(bits(skip.v[i]), bits(want_skip[i])) << "skip " << i;
    for (size_t i = 0; i < want_p.size(); ++i) {
      ASSERT_EQ(bits(pooled.v[i]), bits(want_p[i])) << "pooled " << i;
      ASSERT_EQ(bits(y.v[i]), bits(want_y[i])) << "y " << i;
    }
    const auto& ev = t.events();
    ASSERT_EQ(ev.size(), 6u);
    expect_scratch(ev[0], true, 1, QEL_F32, 256, 0, "invstd1 malloc");
    expect_scratch(ev[1], true, 1, QEL_F32, 256, 0, "invstd2 malloc");
    expect_scratch(ev[2], true, 2, QEL_S8, n, 82944, "per-thread malloc");
    expect_scratch(ev[3], false, 2, QEL_S8, n, 82944, "per-thread free");
    expect_scratch(ev[4], false, 1, QEL_F32, 256, 0, "invstd2 free");
    expect_scratch(ev[5], false, 1, QEL_F32, 256, 0, "invstd1 free");
    expect_nested(ev);
  }
}

// ---- a handle that hands back no memory ----------------------------------------

TEST(BnReluKernels, ScratchThatCannotBeObtainedIsReportedNotWrittenThrough) {
  Context t;
  qel_handle_struct empty(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{});
  empty.malloc = [](const qel_handle_struct*, qel_tensor_struct*) {};  // leaves data null
  empty.free = [](const qel_handle_struct*, qel_tensor_struct*) {};
  t.ctx()->alloc_handle = &empty;
  Tensor x(static_cast<size_t>(32) * 1920, 1.0f), y(static_cast<size_t>(32) * 1920, kSentinel);
  const ChildResult r = run_in_child([&] { qel_x86_4602A7A4_00000000_D0_dfp_ispc_8229(t.ctx(), &x.d, &y.d); });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Message: could not obtain a kernel scratch tensor of 30720 bytes"), std::string::npos) << r.out;
}

}  // namespace
