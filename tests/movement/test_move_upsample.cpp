// Bilinear 2 x upsampling (plain and fused with LeakyReLU) against the
// reference: the sampling rule at the first and last rows and columns, the
// fixed order of accumulation, zero weights meeting infinities, and the
// channels of the buffer beyond the upsampled slice.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "move_kernels.h"
#include "move_reference.h"

using namespace movetest;
using namespace moveref;

namespace {

const UpsampleRow& up() { return upsamples().at(0); }

const FusedRow& fused_row(const std::string& id) {
  for (const FusedRow& r : fused())
    if (id == r.k.id) return r;
  ADD_FAILURE() << "no fused kernel " << id;
  return fused().front();
}

// Compares bit for bit, except that where the reference is NaN the kernel
// must give a NaN of any payload (the payload of a NaN passed through fused
// multiply-adds is not part of the result's definition).
long first_difference(const float* got, const float* want, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (std::isnan(want[i]) ? !std::isnan(got[i]) : bits(got[i]) != bits(want[i])) return static_cast<long>(i);
  }
  return -1;
}

}  // namespace

TEST(UpsampleTable, DecoderBuffersAreTiledByUpsamplingAndSkipCopy) {
  // The upsampled channels [0, C) and the skip copy's slice [O, W) of each
  // decoder stage meet exactly and fill the stage's buffer.
  struct Stage {
    const char* upsample;
    const char* skip;
  };
  const Stage stages[] = {{"8227", "84B1"}, {"8222", "8519"}, {"821D", "8551"}, {"8218", "8555"}};
  for (const Stage& s : stages) {
    int C = -1, Cdst = -1, rows = -1;
    for (const UpsampleRow& r : upsamples())
      if (s.upsample == std::string(r.k.id)) C = r.C, Cdst = r.Cdst, rows = 32 * 4 * r.H * r.W;
    for (const FusedRow& r : fused())
      if (s.upsample == std::string(r.k.id)) C = r.C, Cdst = r.Cdst, rows = 32 * 4 * r.H * r.W;
    bool found = false;
    for (const CopyRow& r : copies())
      if (s.skip == std::string(r.k.id)) {
        found = true;
        EXPECT_EQ(r.O, C) << s.skip;
        EXPECT_EQ(r.W, Cdst) << s.skip;
        EXPECT_EQ(r.R, rows) << s.skip;
      }
    EXPECT_TRUE(found) << s.skip;
  }
  ASSERT_EQ(upsamples().size(), 1u);
  EXPECT_EQ(up().H, 1);
  EXPECT_EQ(up().C, 960);
  ASSERT_EQ(fused().size(), 3u);
  for (const FusedRow& r : fused()) {
    EXPECT_EQ(r.slice, int64_t{16} * r.H * r.W * r.C) << r.k.id;
    EXPECT_EQ(r.H, r.W) << r.k.id;
  }
  EXPECT_EQ(fused_row("8222").C, 480);
  EXPECT_EQ(fused_row("821D").C, 240);
  EXPECT_EQ(fused_row("8218").C, 120);
}

TEST(UpsampleBilinear, WrapperMatchesReferenceAndKeepsTheSkipChannels) {
  for (auto mix : {&finite_mix, &special_mix}) {
    const std::vector<float> src = mix(32 * 960, 41);
    std::vector<float> dst = poisoned(128 * 1216), expect = dst;
    upsample(src.data(), expect.data(), 1, 1, 960, 1216, false, 0, 32);
    qel_tensor_struct in = tensor(const_cast<float*>(src.data())), out = tensor(dst.data());
    up().wrapper(nullptr, &in, &out);
    EXPECT_EQ(first_difference(dst.data(), expect.data(), dst.size()), -1);
    for (int r = 0; r < 128; ++r)
      for (int c = 960; c < 1216; ++c) ASSERT_EQ(bits(dst[r * 1216 + c]), kPoison) << "row " << r << " channel " << c;
  }
}

TEST(UpsampleBilinear, WorkedValues) {
  // Image 0: one value per channel; the four output pixels are rows 0 to 3.
  const float inf = std::numeric_limits<float>::infinity();
  const float odd = from_bits(bits(1.5f) + 6);  // 1.5 + 6 x 2^-23
  std::vector<float> src(2 * 960, 1.0f);
  src[0] = odd;
  src[1] = 1.0f;
  src[2] = inf;
  src[3] = -inf;
  src[4] = -0.0f;
  src[5] = from_bits(0x7FC00001u);
  src[6] = 3.0f;
  std::vector<float> dst = poisoned(8 * 1216);
  call_task(up().task, {src.data(), dst.data()}, 0, 8);
  auto out = [&](int pixel, int c) { return dst[pixel * 1216 + c]; };
  // (0, 0), (0, 1) and (1, 0) reproduce finite values exactly; (1, 1) of
  // 1.5 + 6 ulp comes out 1 ulp lower through the order of accumulation.
  for (int p : {0, 1, 2}) {
    EXPECT_EQ(bits(out(p, 0)), bits(odd)) << p;
    EXPECT_EQ(bits(out(p, 6)), bits(3.0f)) << p;
  }
  EXPECT_EQ(bits(out(3, 0)), bits(1.5f) + 5);
  EXPECT_EQ(bits(out(3, 1)), bits(1.0f));
  // An infinite tap meets a zero weight everywhere but at (1, 1).
  for (int p : {0, 1, 2}) {
    EXPECT_TRUE(std::isnan(out(p, 2))) << p;
    EXPECT_TRUE(std::isnan(out(p, 3))) << p;
  }
  EXPECT_EQ(bits(out(3, 2)), bits(inf));
  EXPECT_EQ(bits(out(3, 3)), bits(-inf));
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(bits(out(p, 4)), bits(-0.0f)) << p;
    EXPECT_TRUE(std::isnan(out(p, 5))) << p;
  }
}

TEST(UpsampleBilinear, TaskRanges) {
  const std::vector<float> src = special_mix(32 * 960, 43);
  struct Range {
    int begin, end;
  };
  for (const Range g : {Range{0, 13}, Range{3, 6}, Range{8, 16}, Range{120, 128}, Range{6, 6}, Range{9, 1}}) {
    std::vector<float> dst = poisoned(128 * 1216), expect = dst;
    std::vector<float> all = dst;
    upsample(src.data(), all.data(), 1, 1, 960, 1216, false, 0, 32);
    for (int r = g.begin; r < g.end; ++r) std::memcpy(&expect[r * 1216], &all[r * 1216], 960 * 4);
    call_task(up().task, {const_cast<float*>(src.data()), dst.data()}, g.begin, g.end);
    EXPECT_EQ(first_difference(dst.data(), expect.data(), dst.size()), -1)
        << "range [" << g.begin << ", " << g.end << ")";
  }
}

TEST(UpsampleBilinear, MaskedStepReadsAndWritesNothingBeyondItsRows) {
  // Rows [0, 12) belong to images 0 to 2; the inactive lanes of the final
  // step would read image 3 and write rows 12 to 15, both on guard pages.
  const std::vector<float> data = finite_mix(3 * 960, 44);
  GuardedFloats src(3 * 960, GuardedFloats::kGuardAfter), dst(12 * 1216, GuardedFloats::kGuardAfter);
  std::memcpy(src.data(), data.data(), data.size() * 4);
  call_task(up().task, {src.data(), dst.data()}, 0, 12);
  std::vector<float> expect(12 * 1216, 0.0f);
  upsample(data.data(), expect.data(), 1, 1, 960, 1216, false, 0, 3);
  for (int r = 0; r < 12; ++r)
    ASSERT_EQ(first_mismatch(dst.data() + r * 1216, expect.data() + r * 1216, 960), -1) << "row " << r;
}

// ---------------------------------------------------------------------------

TEST(LeakyReluUpsample, EveryWrapperMatchesReference) {
  for (const FusedRow& r : fused()) {
    const size_t src_n = static_cast<size_t>(32) * r.H * r.W * r.C;
    const size_t dst_n = static_cast<size_t>(32) * 4 * r.H * r.W * r.Cdst;
    for (auto mix : {&finite_mix, &special_mix}) {
      const std::vector<float> src = mix(src_n, 51);
      std::vector<float> src_copy = src;
      std::vector<float> dst = poisoned(dst_n), expect = dst;
      upsample(src.data(), expect.data(), r.H, r.W, r.C, r.Cdst, true, 0, 32);
      RecordingHandle h;
      Context c(h);
      qel_tensor_struct in = tensor(src_copy.data()), out = tensor(dst.data());
      r.wrapper(&c.ctx, &in, &out);
      EXPECT_EQ(first_difference(dst.data(), expect.data(), dst_n), -1) << r.k.id;
      EXPECT_EQ(first_mismatch(src_copy.data(), src.data(), src_n), -1) << "source written by " << r.k.id;
    }
  }
}

TEST(LeakyReluUpsample, EdgesOfTheSamplingRule) {
  // 8222: 2 x 2 x 480 source. Output rows (y0, y1, fy) are (0, 1, 0),
  // (0, 1, 0.25), (0, 1, 0.75), (1, 1, 0.25); columns alike.
  const FusedRow& r = fused_row("8222");
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> src(4 * 480, 0.0f);
  auto px = [&](int y, int x, int c) -> float& { return src[(y * 2 + x) * 480 + c]; };
  // Channel 0: distinct values, one negative (activated as x * 0.2f).
  px(0, 0, 0) = 1.0f, px(0, 1, 0) = 2.0f, px(1, 0, 0) = -4.0f, px(1, 1, 0) = 8.0f;
  // Channel 1: +inf at pixel (1, 1): every output with (1, 1) among its taps
  // is NaN or inf, even where its weight is 0 (output row 0 or column 0).
  px(1, 1, 1) = inf;
  // Channel 2: -0.0 everywhere stays -0.0.
  for (int p = 0; p < 4; ++p) src[p * 480 + 2] = -0.0f;
  std::vector<float> dst = poisoned(16 * 608);
  std::vector<float> slice(4 * 480, 0.0f);
  call_task(r.task, {slice.data(), src.data(), dst.data()}, 0, 1);
  auto out = [&](int oy, int ox, int c) { return dst[(oy * 4 + ox) * 608 + c]; };
  EXPECT_EQ(bits(out(0, 0, 0)), bits(1.0f));
  // Last row and column: both taps from the last source row/column, fy = fx = 0.25.
  EXPECT_EQ(bits(out(3, 3, 0)), bits(8.0f));
  // Row 0, column 3: taps (0, 1) and (0, 1) with weights 0.75 and 0.25 on the
  // same pixel, plus zero-weighted row-1 taps.
  EXPECT_EQ(bits(out(0, 3, 0)), bits(2.0f));
  // Row 3, column 0: activated -4 -> -0.8f from the last row only.
  EXPECT_EQ(bits(out(3, 0, 0)), bits(-4.0f * 0.2f));
  for (int oy = 0; oy < 4; ++oy)
    for (int ox = 0; ox < 4; ++ox) {
      EXPECT_TRUE(std::isinf(out(oy, ox, 1)) || std::isnan(out(oy, ox, 1))) << oy << ", " << ox;
      EXPECT_EQ(std::isnan(out(oy, ox, 1)), oy == 0 || ox == 0) << oy << ", " << ox;
      EXPECT_EQ(bits(out(oy, ox, 2)), bits(-0.0f)) << oy << ", " << ox;
      for (int c = 480; c < 608; ++c) ASSERT_EQ(bits(out(oy, ox, c)), kPoison);
    }
  // And the whole image agrees with the reference.
  std::vector<float> expect = poisoned(16 * 608);
  upsample(src.data(), expect.data(), 2, 2, 480, 608, true, 0, 1);
  EXPECT_EQ(first_difference(dst.data(), expect.data(), dst.size()), -1);
}

TEST(LeakyReluUpsample, TaskRangesAndTheUsedPartOfTheSlice) {
  // Called directly on the host thread the task uses slice 0, and of it only
  // the H W C floats of one activated image: the slice passed here ends on a
  // guard page right after them.
  const FusedRow& r = fused_row("821D");
  const int image = r.H * r.W * r.C, out_image = 4 * r.H * r.W * r.Cdst;
  const std::vector<float> src = special_mix(32 * static_cast<size_t>(image), 61);
  std::vector<float> all = poisoned(32 * static_cast<size_t>(out_image));
  upsample(src.data(), all.data(), r.H, r.W, r.C, r.Cdst, true, 0, 32);
  GuardedFloats slice(image, GuardedFloats::kGuardAfter);
  struct Range {
    int begin, end;
  };
  for (const Range g : {Range{5, 7}, Range{31, 32}, Range{0, 0}, Range{7, 3}}) {
    std::vector<float> dst = poisoned(all.size()), expect = dst;
    for (int n = g.begin; n < g.end; ++n)
      std::memcpy(&expect[n * out_image], &all[n * out_image], out_image * sizeof(float));
    call_task(r.task, {slice.data(), const_cast<float*>(src.data()), dst.data()}, g.begin, g.end);
    EXPECT_EQ(first_difference(dst.data(), expect.data(), dst.size()), -1)
        << "range [" << g.begin << ", " << g.end << ")";
  }
}
