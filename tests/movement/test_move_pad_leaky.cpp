// Input padding and LeakyReLU against their references, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "move_kernels.h"
#include "move_reference.h"

using namespace movetest;
using namespace moveref;

namespace {

constexpr int kSrcCount = 32 * 32 * 32 * 3;
constexpr int kPadCount = 32 * 38 * 38 * 3;

const PadRow& pad() { return pads().at(0); }

}  // namespace

TEST(InputPad, TableRow) {
  ASSERT_EQ(pads().size(), 1u);
  EXPECT_STREQ(pad().k.id, "8558");
  EXPECT_EQ(pad().count, kPadCount);
}

TEST(InputPad, WrapperMatchesReferenceAndZeroesTheBorder) {
  const std::vector<float> src = special_mix(kSrcCount, 21);
  std::vector<float> src_copy = src;
  std::vector<float> dst = poisoned(kPadCount), expect(kPadCount);
  input_pad(src.data(), expect.data(), 0, kPadCount);
  RecordingHandle h;
  Context c(h, src_copy.data());
  qel_tensor_struct out = tensor(dst.data());
  pad().wrapper(&c.ctx, &out);
  EXPECT_EQ(first_mismatch(dst.data(), expect.data(), kPadCount), -1);
  EXPECT_EQ(first_mismatch(src_copy.data(), src.data(), kSrcCount), -1) << "the input was written";
  EXPECT_TRUE(h.requests.empty()) << "the padding kernel allocates nothing";

  auto at = [&](int n, int y, int x, int ch) { return bits(dst[((n * 38 + y) * 38 + x) * 3 + ch]); };
  auto in = [&](int n, int y, int x, int ch) { return bits(src[((n * 32 + y) * 32 + x) * 3 + ch]); };
  for (int n : {0, 17, 31})
    for (int ch = 0; ch < 3; ++ch) {
      for (int i = 0; i < 38; ++i)
        for (int b : {0, 1, 2, 35, 36, 37}) {
          EXPECT_EQ(at(n, b, i, ch), 0u);  // +0.0, all bits zero
          EXPECT_EQ(at(n, i, b, ch), 0u);
        }
      EXPECT_EQ(at(n, 3, 3, ch), in(n, 0, 0, ch));
      EXPECT_EQ(at(n, 3, 34, ch), in(n, 0, 31, ch));
      EXPECT_EQ(at(n, 34, 3, ch), in(n, 31, 0, ch));
      EXPECT_EQ(at(n, 34, 34, ch), in(n, 31, 31, ch));
    }
}

TEST(InputPad, ExportDoesWhatTheWrapperDoesWhateverTheMask) {
  const std::vector<float> src = finite_mix(kSrcCount, 22);
  std::vector<float> expect(kPadCount);
  input_pad(src.data(), expect.data(), 0, kPadCount);
  for (int m : {0xFF, 0x00, 0x5A}) {
    std::vector<float> dst = poisoned(kPadCount);
    RecordingHandle h;
    Context c(h, const_cast<float*>(src.data()));
    qel_tensor_struct out = tensor(dst.data());
    pad().exported(&c.ctx, &out, mask(m));
    EXPECT_EQ(first_mismatch(dst.data(), expect.data(), kPadCount), -1) << "mask " << m;
  }
}

TEST(InputPad, TaskRanges) {
  const std::vector<float> src = special_mix(kSrcCount, 23);
  struct Range {
    int begin, end;
  };
  // [0, 11): border only; [345, 390): crosses into the first inside pixels of
  // row 3 with an unaligned start; [4000, 4500): an image boundary (4332);
  // the last 13 elements; empty and reversed ranges.
  for (const Range g : {Range{0, 11}, Range{345, 390}, Range{4000, 4500}, Range{kPadCount - 13, kPadCount},
                        Range{100, 100}, Range{50, 40}}) {
    std::vector<float> dst = poisoned(kPadCount), expect = dst;
    if (g.begin < g.end) input_pad(src.data(), expect.data(), g.begin, g.end);
    call_task(pad().task, {const_cast<float*>(src.data()), dst.data()}, g.begin, g.end);
    EXPECT_EQ(first_mismatch(dst.data(), expect.data(), kPadCount), -1)
        << "range [" << g.begin << ", " << g.end << ")";
  }
}

TEST(InputPad, TaskReadsOnlyInsideLanesAndWritesOnlyItsRange) {
  // The source ends on a guard page and the destination range [e - 11, e)
  // ends on another, where e is the end of the last inside pixel's row.
  const std::vector<float> data = special_mix(kSrcCount, 24);
  GuardedFloats src(kSrcCount, GuardedFloats::kGuardAfter);
  std::memcpy(src.data(), data.data(), sizeof(float) * kSrcCount);
  const int end = ((31 * 38 + 34) * 38 + 35) * 3;  // image 31, row 34, up to column 34
  GuardedFloats dst(11, GuardedFloats::kGuardAfter);
  call_task(pad().task, {src.data(), dst.data() - (end - 11)}, end - 11, end);
  std::vector<float> expect(kPadCount);
  input_pad(data.data(), expect.data(), 0, kPadCount);
  EXPECT_EQ(first_mismatch(dst.data(), expect.data() + end - 11, 11), -1);
}

// ---------------------------------------------------------------------------

TEST(LeakyRelu, TableRows) {
  const std::map<std::string, int> expected = {
      {"8224", 32 * 2 * 2 * 480}, {"821F", 32 * 4 * 4 * 240}, {"821A", 32 * 8 * 8 * 120},
      {"8215", 32 * 16 * 16 * 60}, {"8213", 32 * 16 * 16 * 60}};
  ASSERT_EQ(leakies().size(), expected.size());
  for (const LeakyRow& r : leakies()) EXPECT_EQ(r.count, expected.at(r.k.id)) << r.k.id;
}

TEST(LeakyRelu, SpecialValues) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    uint32_t in, out;
  };
  const Case cases[] = {
      {bits(-0.0f), bits(-0.0f)},        {bits(0.0f), bits(0.0f)},
      {bits(inf), bits(inf)},            {bits(-inf), bits(-inf)},
      {bits(-1.0f), 0xBE4CCCCDu},        {bits(2.5f), bits(2.5f)},
      {bits(-3.0f), bits(-3.0f * 0.2f)}, {0x80000001u, 0x80000000u},  // smallest negative subnormal * 0.2
      {0x00000001u, 0x00000001u},        {0xFF800000u, 0xFF800000u},
  };
  std::vector<float> src, dst(16, from_bits(kPoison));
  for (const Case& c : cases) src.push_back(from_bits(c.in));
  src.push_back(from_bits(0x7FC01234u));  // NaN: comparison fails, the product is a NaN
  src.push_back(from_bits(0xFFC00000u));
  while (src.size() < 16) src.push_back(1.0f);
  call_task(leakies().at(0).task, {src.data(), dst.data()}, 0, 16);
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(bits(dst[i]), cases[i].out) << "case " << i;
  EXPECT_TRUE(std::isnan(dst[std::size(cases)]));
  EXPECT_TRUE(std::isnan(dst[std::size(cases) + 1]));
}

TEST(LeakyRelu, EveryWrapperMatchesReference) {
  for (const LeakyRow& r : leakies()) {
    const std::vector<float> src = special_mix(static_cast<size_t>(r.count), 31);
    std::vector<float> dst = poisoned(static_cast<size_t>(r.count) + 8), expect = dst;
    for (int i = 0; i < r.count; ++i) expect[i] = leaky(src[i]);
    qel_tensor_struct in = tensor(const_cast<float*>(src.data())), out = tensor(dst.data());
    r.wrapper(nullptr, &in, &out);
    // NaN payloads are not fixed by the kernel's definition beyond staying NaN.
    for (size_t i = 0; i < dst.size(); ++i) {
      if (i < static_cast<size_t>(r.count) && std::isnan(src[i])) {
        ASSERT_TRUE(std::isnan(dst[i])) << r.k.id << " element " << i;
        continue;
      }
      ASSERT_EQ(bits(dst[i]), bits(expect[i])) << r.k.id << " element " << i;
    }
  }
}

TEST(LeakyRelu, TaskRangesTouchNothingOutside) {
  const Task task = leakies().at(0).task;
  const std::vector<float> data = finite_mix(64, 32);
  // [0, 11) with both source and destination ending on a guard page.
  {
    GuardedFloats src(11, GuardedFloats::kGuardAfter), dst(11, GuardedFloats::kGuardAfter);
    std::memcpy(src.data(), data.data(), 11 * 4);
    call_task(task, {src.data(), dst.data()}, 0, 11);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(bits(dst.data()[i]), bits(leaky(data[i]))) << i;
  }
  // [5, 8) with the guard page just before element 5.
  {
    GuardedFloats src(3, GuardedFloats::kGuardBefore), dst(3, GuardedFloats::kGuardBefore);
    std::memcpy(src.data(), data.data() + 5, 3 * 4);
    call_task(task, {src.data() - 5, dst.data() - 5}, 5, 8);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(bits(dst.data()[i]), bits(leaky(data[5 + i]))) << i;
  }
  // Empty and reversed ranges write nothing.
  std::vector<float> dst = poisoned(64);
  call_task(task, {const_cast<float*>(data.data()), dst.data()}, 9, 9);
  call_task(task, {const_cast<float*>(data.data()), dst.data()}, 40, 3);
  for (float v : dst) EXPECT_EQ(bits(v), kPoison);
}
