// The normalisation tasks called directly: the inverse standard deviation on
// special variances and on every start and tail length of its 8-lane steps,
// the fixed order of rounding and the ReLU of the normalisation, and both
// tasks on ranges of their items.
#include "kernel_oracles.h"

using namespace kt;

namespace {

const Slots kTwoSlots = [](const std::vector<float*>& s, float* d) { return std::vector<void*>{s[0], d}; };

TEST(BnInvstdTask, SpecialVariancesAndEveryStartAndTailMatchTheOracle) {
  const float e = eps(), inf = INFINITY;
  std::vector<float> var = {0.0f, 1.0f,    -0.0f,  -e,           -2 * e,  -1.0f, NAN,     inf,
                            -inf, FLT_MAX, 1e-30f, from_bits(1), 3.0e-5f, 1e-5f, 7.77e-6f};
  const std::vector<float> spread = uniform(33, 7, -30.0f, 30.0f);
  for (float x : spread) var.push_back(std::ldexp(1.0f + std::fabs(x) / 64, static_cast<int>(x)));
  std::vector<float> want(var.size());
  std::transform(var.begin(), var.end(), want.begin(), invstd);
  EXPECT_NEAR(want[0], 316.0698f, 1e-3f) << "the epsilon is 1.001e-05, not 1e-05 (316.2278)";
  EXPECT_EQ(want[3], inf);  // sqrt(+0)
  EXPECT_EQ(bits(want[7]), 0u);
  const Task task = find(kPlain).tasks[0];
  check_range(task, {var}, want, 1, 0, static_cast<int>(var.size()), kTwoSlots);
  check_range(task, {var}, want, 1, 9, 3, kTwoSlots);
  // Each range ends where the variances do, so a lane read past it faults.
  for (int begin = 0; begin < 8; ++begin)
    for (int end = begin; end <= begin + 20; ++end)
      check_range(task, {std::vector<float>(var.begin(), var.begin() + end)},
                  std::vector<float>(want.begin(), want.begin() + end), 1, begin, end, kTwoSlots);
}

TEST(BnApplyTask, RoundingOrderAndReluOfTheNormalisation) {
  const Row& r = find("8229");  // whole buffer of 1920 channels, 24 a step
  const int C = r.C, R = 16;
  std::vector<float> gamma = uniform(C, 1, 0.5f, 2.0f), beta = uniform(C, 2, -1.0f, 1.0f),
                     mean = uniform(C, 3, -1.0f, 1.0f), inv = uniform(C, 4, 0.1f, 10.0f), x = data(R * C, 5);
  const auto set = [&](int c, float i, float g, float xv, float m, float b) {
    inv[c] = i, gamma[c] = g, x[c] = xv, mean[c] = m, beta[c] = b;
  };
  const float a = 1.000244140625f, b = -1.00048828125f;  // 1 + 2^-12, -(1 + 2^-11)
  set(0, 2, 3, 5, 1, -20);                               // 4
  set(1, 2, 3, 5, 1, -30);                               // below zero: +0
  set(2, 1, a, a, 0, b);                                 // one rounding: 2^-24, where a rounded product gives +0
  set(3, a, a, 1, 0, b);                                 // invstd * gamma rounded first: +0
  set(4, 1, 1, -0.0f, 0, -0.0f);                         // -0 gives +0
  set(5, NAN, 1, 1, 0, 1);                               // a NaN anywhere gives +0
  set(6, 1, NAN, 1, 0, 1);
  set(7, 1, 1, NAN, 0, 1);
  set(8, 1, 1, 1, NAN, 1);
  set(9, 1, 1, 1, 0, NAN);
  set(10, 1, 1, INFINITY, 0, 1);  // +inf stays
  set(11, INFINITY, 1, 1, 1, 1);  // inf x 0 is NaN: +0
  std::vector<float> want(R * C);
  for (int i = 0; i < R * C; ++i) want[i] = bn(x[i], gamma[i % C], beta[i % C], mean[i % C], inv[i % C]);
  const float expected[12] = {4, 0, std::ldexp(1.0f, -24), 0, 0, 0, 0, 0, 0, 0, INFINITY, 0};
  for (int c = 0; c < 12; ++c) EXPECT_EQ(bits(want[c]), bits(expected[c])) << "channel " << c;
  const Slots slots = [](const std::vector<float*>& s, float* d) {
    return std::vector<void*>{s[0], s[1], s[2], s[3], d, s[4]};
  };
  for (const auto& [begin, end] : ranges(R))
    check_range(r.tasks[1], {gamma, beta, mean, x, inv}, want, C, begin, end, slots);
}

TEST(BnApplyTask, PrefixReadsTheFilledChannelsOfTheBufferIntoPackedRows) {
  const Row& r = find("822F");  // 1888 of 1920 channels, 16 a step, 32 rows
  const Case c = make_case(r, 9);
  const Fixture& F = fixture();
  const Slots slots = [](const std::vector<float*>& s, float* d) {
    return std::vector<void*>{s[0], s[1], s[2], d, s[3], s[4]};
  };
  for (const auto& [begin, end] : ranges(r.R))
    check_range(r.tasks[1], {F.p[r.k], F.p[r.k + 1], F.p[r.k + 2], c.t[1], F.inv[r.k + 3]}, c.want[0], r.C, begin, end,
                slots);
}

}  // namespace
