// The two tasks of the batch-normalisation kernels, called directly with an
// argument block and a range, against the scalar oracle, bit for bit.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "bn_support.h"
#include "dfp_bn.h"

using namespace bn_test;

#define TASK_ARGS void*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t
extern "C" {
// invstd and normalise tasks of the final normalisation (plain, C 1920).
void qel_x86_4602A7A4_00000000_D0_dfp_ispc_8229_87E3___UM_un_3C_Cunf_3E_un_3C_unf_3E_(TASK_ARGS);
void qel_x86_4602A7A4_00000000_D0_dfp_ispc_8229_8825___UM_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_unf_3E_un_3C_Cunf_3E_(
    TASK_ARGS);
// normalise task of prefix kernel 853A (C 96 of a 256-wide buffer, 24 channels a step).
void qel_x86_4602A7A4_00000000_D0_dfp_ispc_853A_DFBD___UM_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_unf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_(
    TASK_ARGS);
}

namespace {

using TaskFn = void (*)(TASK_ARGS);
const TaskFn kInvstd = qel_x86_4602A7A4_00000000_D0_dfp_ispc_8229_87E3___UM_un_3C_Cunf_3E_un_3C_unf_3E_;
const TaskFn kPlainApply =
    qel_x86_4602A7A4_00000000_D0_dfp_ispc_8229_8825___UM_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_unf_3E_un_3C_Cunf_3E_;
const TaskFn kPrefixApply =
    qel_x86_4602A7A4_00000000_D0_dfp_ispc_853A_DFBD___UM_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_unf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_;

void call(TaskFn fn, std::vector<const void*> slots, int begin, int end) {
  fn(slots.data(), 0, 0, 0, 0, 0, 0, 0, begin, end, 0);
}

// Bits equal, or both NaN (the NaN payload is not part of the contract).
::testing::AssertionResult same(float got, float want) {
  if (bits(got) == bits(want) || (std::isnan(got) && std::isnan(want))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << got << " (0x" << std::hex << bits(got) << "), want " << want
                                       << " (0x" << bits(want) << ")";
}

const float kSentinel = from_bits(0x7fa11a11u);  // a signalling NaN nobody computes

// ---- inverse standard deviation ---------------------------------------------

TEST(BnInvstdTask, SpecialAndRandomVariancesMatchOracle) {
  const float eps = epsilon();
  std::vector<float> var = {0.0f, 1.0f, -0.0f, -eps, -2 * eps, -1.0f, NAN, INFINITY, -INFINITY, FLT_MAX,
                            1e-30f, from_bits(1), 3.0e-5f, 1e-5f, 0.5f, 4.0f, 1e10f, 7.77e-6f};
  const auto rnd = random_values(200, 7, -30.0f, 30.0f);
  for (float e : rnd) var.push_back(std::ldexp(1.0f, static_cast<int>(e)) * (1.0f + std::fabs(e) / 64));
  while (var.size() % 8 != 3) var.push_back(0.25f);  // a masked tail as well
  std::vector<float> out(var.size(), kSentinel);
  call(kInvstd, {var.data(), out.data()}, 0, static_cast<int>(var.size()));
  for (size_t i = 0; i < var.size(); ++i) EXPECT_TRUE(same(out[i], ref_invstd(var[i]))) << "var " << var[i];

  EXPECT_NEAR(out[0], 316.0698f, 1e-3f);  // the epsilon is 1.001e-05, not 1e-05 (316.2278)
  EXPECT_NEAR(out[1], 0.999995f, 1e-6f);
  EXPECT_EQ(out[3], INFINITY);  // var = -eps: sqrt(+0)
  EXPECT_TRUE(std::isnan(out[4]) && std::isnan(out[5]) && std::isnan(out[6]));
  EXPECT_EQ(bits(out[7]), 0u);  // var = +inf gives +0
}

TEST(BnInvstdTask, RangesTouchOnlyTheirChannels) {
  const auto var = random_values(40, 11, 0.0f, 3.0f);
  for (int begin = 0; begin < 8; ++begin) {
    for (int len = 0; len <= 20; ++len) {
      std::vector<float> out(40, kSentinel);
      call(kInvstd, {var.data(), out.data()}, begin, begin + len);
      for (int c = 0; c < 40; ++c) {
        if (c >= begin && c < begin + len)
          ASSERT_TRUE(same(out[c], ref_invstd(var[c]))) << begin << "+" << len << " channel " << c;
        else
          ASSERT_EQ(bits(out[c]), bits(kSentinel)) << begin << "+" << len << " channel " << c;
      }
    }
  }
  std::vector<float> out(40, kSentinel);
  call(kInvstd, {var.data(), out.data()}, 9, 3);  // end below begin
  for (float v : out) EXPECT_EQ(bits(v), bits(kSentinel));
}

TEST(BnInvstdTask, MaskedStepDoesNotTouchMemoryPastTheEnd) {
  // The last channel of each array is the last float before an inaccessible page.
  const long page = sysconf(_SC_PAGESIZE);
  auto guarded = [page]() {
    void* p = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(p, MAP_FAILED);
    mprotect(static_cast<char*>(p) + page, page, PROT_NONE);
    return static_cast<float*>(p);
  };
  float* var_page = guarded();
  float* out_page = guarded();
  const int n = 13;
  float* var = var_page + page / 4 - n;
  float* out = out_page + page / 4 - n;
  for (int i = 0; i < n; ++i) var[i] = 0.5f * i;
  call(kInvstd, {var, out}, 0, n);  // one full step, then 5 lanes at the page's end
  for (int i = 0; i < n; ++i) EXPECT_TRUE(same(out[i], ref_invstd(var[i])));
  munmap(var_page, 2 * page);
  munmap(out_page, 2 * page);
}

// ---- normalise and ReLU ----------------------------------------------------------

struct Channels {
  std::vector<float> gamma, beta, mean, invstd;
  explicit Channels(int C, uint32_t seed)
      : gamma(random_values(C, seed, 0.5f, 2.0f)),
        beta(random_values(C, seed + 1, -1.0f, 1.0f)),
        mean(random_values(C, seed + 2, -1.0f, 1.0f)),
        invstd(random_values(C, seed + 3, 0.1f, 10.0f)) {}
};

TEST(BnApplyTask, CasesThatFixTheRoundingOrder) {
  const int C = 1920;
  Channels p(C, 3);
  std::vector<float> x = random_values(2 * C, 5, -4.0f, 4.0f);
  auto set = [&](int c, float inv, float g, float xv, float m, float b) {
    p.invstd[c] = inv, p.gamma[c] = g, x[c] = xv, p.mean[c] = m, p.beta[c] = b;
  };
  const float a = 1.000244140625f, b = -1.00048828125f;  // 1 + 2^-12, -(1 + 2^-11)
  set(0, 2, 3, 5, 1, -20);  // 4
  set(1, 2, 3, 5, 1, -30);  // +0
  set(2, 1, a, a, 0, b);    // fused: 2^-24; a rounded product would give +0
  set(3, a, a, 1, 0, b);    // invstd * gamma rounds to 1 + 2^-11 first: +0
  set(4, 1, 1, 0.5f, 0.5f, -0.0f);    // v = -0 gives +0
  set(5, NAN, 1, 1, 0, 1);            // NaN invstd
  set(6, 1, NAN, 1, 0, 1);            // NaN gamma
  set(7, 1, 1, NAN, 0, 1);            // NaN x
  set(8, 1, 1, 1, NAN, 1);            // NaN mean
  set(9, 1, 1, 1, 0, NAN);            // NaN beta
  set(10, 1, 1, INFINITY, 0, 1);      // +inf stays
  set(11, INFINITY, 1, 1, 1, 1);      // inf * 0 is NaN: +0
  set(12, 3, 0.7f, 2.5f, 0.5f, -2.0f);  // x = mean + ...: ordinary
  set(13, 1, 1, 0.75f, 0.75f, 0.5f);  // x = mean: beta
  std::vector<float> y(2 * C, kSentinel);
  call(kPlainApply, {p.gamma.data(), p.beta.data(), p.mean.data(), x.data(), y.data(), p.invstd.data()}, 0, 2);
  EXPECT_EQ(y[0], 4.0f);
  EXPECT_EQ(bits(y[1]), 0u);
  EXPECT_EQ(y[2], std::ldexp(1.0f, -24));
  EXPECT_EQ(bits(y[3]), 0u);
  for (int c = 4; c <= 9; ++c) EXPECT_EQ(bits(y[c]), 0u) << c;
  EXPECT_EQ(y[10], INFINITY);
  EXPECT_EQ(bits(y[11]), 0u);
  EXPECT_EQ(y[13], 0.5f);
  for (int r = 0; r < 2; ++r)
    for (int c = 0; c < C; ++c)
      ASSERT_TRUE(same(y[r * C + c], ref_bn(x[r * C + c], p.gamma[c], p.beta[c], p.mean[c], p.invstd[c])))
          << "row " << r << " channel " << c;
}

TEST(BnApplyTask, PrefixReadsOnlyItsChannelsAndPacksRows) {
  const int C = 96, W = 256, R = 12;
  Channels p(C, 21);
  std::vector<float> x = random_values(R * W, 23, -3.0f, 3.0f);
  for (int r = 0; r < R; ++r)
    for (int c = C; c < W; ++c) x[r * W + c] = (c % 2) ? NAN : INFINITY;  // never read
  x[5 * W + 7] = NAN;  // only its own element becomes +0
  const std::vector<float> x_before = x;
  std::vector<float> y(R * C, kSentinel);
  call(kPrefixApply, {p.gamma.data(), p.beta.data(), p.mean.data(), y.data(), x.data(), p.invstd.data()}, 3, 9);
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < C; ++c) {
      if (r >= 3 && r < 9)
        ASSERT_TRUE(same(y[r * C + c], ref_bn(x[r * W + c], p.gamma[c], p.beta[c], p.mean[c], p.invstd[c])))
            << "row " << r << " channel " << c;
      else
        ASSERT_EQ(bits(y[r * C + c]), bits(kSentinel)) << "row " << r << " outside the range";
    }
  EXPECT_EQ(bits(y[5 * C + 7]), 0u);
  EXPECT_EQ(std::memcmp(x.data(), x_before.data(), x.size() * 4), 0);

  std::vector<float> z(R * C, kSentinel);
  call(kPrefixApply, {p.gamma.data(), p.beta.data(), p.mean.data(), z.data(), x.data(), p.invstd.data()}, 4, 4);
  call(kPrefixApply, {p.gamma.data(), p.beta.data(), p.mean.data(), z.data(), x.data(), p.invstd.data()}, 6, 2);
  for (float v : z) ASSERT_EQ(bits(v), bits(kSentinel));
}

TEST(BnApplyTask, BothChannelStepsGiveTheSameBits) {
  constexpr int C = 288, W = 1792, R = 5;
  Channels p(C, 31);
  const auto x = random_values(R * W, 37, -5.0f, 5.0f);
  std::vector<float> y16(R * C, kSentinel), y24(R * C, kSentinel);
  qel::dfp::bn_apply_rows<C, W, C, 16>(p.gamma.data(), p.beta.data(), p.mean.data(), x.data(), y16.data(),
                                       p.invstd.data(), 0, R);
  qel::dfp::bn_apply_rows<C, W, C, 24>(p.gamma.data(), p.beta.data(), p.mean.data(), x.data(), y24.data(),
                                       p.invstd.data(), 0, R);
  static_assert(qel::dfp::bn_step(C) == 24 && qel::dfp::bn_step(1472) == 16, "step follows divisibility by 24");
  for (int i = 0; i < R * C; ++i) {
    ASSERT_EQ(bits(y16[i]), bits(y24[i])) << i;
    ASSERT_TRUE(same(y16[i], ref_bn(x[(i / C) * W + i % C], p.gamma[i % C], p.beta[i % C], p.mean[i % C],
                                    p.invstd[i % C])));
  }
}

}  // namespace
