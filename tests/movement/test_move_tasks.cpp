// The data-movement and decoder tasks called directly: LeakyReLU on special
// values, and every task on ranges of its items, with sources and destination
// ending at an inaccessible page and the destination poisoned.
#include "tests/kernels/kernel_oracles.h"

using namespace kt;

namespace {

// Expected bits written out: a negative value scaled by 0.2f and rounded, the
// zeros and infinities kept, and a NaN passed on with its sign and payload
// (a signalling one quieted, as the product quiets it).
TEST(LeakyReluTask, SpecialValues) {
  const float inf = INFINITY;
  const uint32_t cases[][2] = {{bits(-0.0f), bits(-0.0f)}, {bits(0.0f), bits(0.0f)},
                               {bits(inf), bits(inf)},     {bits(-inf), bits(-inf)},
                               {bits(-1.0f), 0xBE4CCCCDu}, {bits(2.5f), bits(2.5f)},
                               {0x80000001u, 0x80000000u},  // subnormal x 0.2 rounds to -0
                               {0x00000001u, 0x00000001u}, {0x7FC01234u, 0x7FC01234u},
                               {0xFFC00000u, 0xFFC00000u}, {0x7F812345u, 0x7FC12345u},
                               {0xFF800001u, 0xFFC00001u}, {0xFFE54321u, 0xFFE54321u}};
  constexpr size_t n = std::size(cases);
  std::vector<float> src(n + 5, 1.0f);
  for (size_t i = 0; i < n; ++i) src[i] = from_bits(cases[i][0]);
  std::vector<float> dst = poison(n + 5);
  call_task(find(kLeaky).tasks[0], {src.data(), dst.data()}, 0, static_cast<int>(n));  // a full step and a tail
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(bits(dst[i]), cases[i][1]) << "case " << i;
  EXPECT_EQ(bits(dst[n]), kPoison);
}

// A task of each form over the standard ranges; the copies are the skip copy of
// decoder stage 1, a dense copy ending at its buffer's last channel and a block
// input copy.
class MoveTaskRanges : public ::testing::TestWithParam<std::string> {};

TEST_P(MoveTaskRanges, WriteExactlyTheItemsOfTheRange) {
  const Row& r = find(GetParam());
  const Case c = make_case(r, 3);
  std::vector<std::vector<float>> srcs = {r.form == kPad ? c.input : c.t[0]};
  size_t per_item = 1;
  Slots slots = [](const std::vector<float*>& s, float* d) { return std::vector<void*>{s[0], d}; };
  if (r.form == kCopy) per_item = r.Xs;
  if (r.form == kUpsample) per_item = r.Cdst;
  if (r.form == kLeakyUpsample) {  // an image per item, through the H W C floats of slice 0
    per_item = size_t{4} * r.H * r.W * r.Cdst;
    srcs.push_back(std::vector<float>(size_t{1} * r.H * r.W * r.C));
    slots = [](const std::vector<float*>& s, float* d) { return std::vector<void*>{s[1], s[0], d}; };
  }
  const std::vector<float>& want = c.want.back();
  for (const auto& [begin, end] : ranges(static_cast<int>(want.size() / per_item)))
    check_range(r.tasks[0], srcs, want, per_item, begin, end, slots);
}
INSTANTIATE_TEST_SUITE_P(Rows, MoveTaskRanges,
                         ::testing::Values("84B1", "822B", "853C", "8558", "8224", "8227", "8222"),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                           return std::string(form_name(find(p.param).form)) + "_" + p.param;
                         });

}  // namespace
