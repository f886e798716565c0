// The handle layer's own fast paths: the channel-block copy that stands in
// for oneDNN's reorder (checked bit for bit against oneDNN's reorder, into
// NaN-poisoned memory) and the matrix-product forms of convolutions
// (checked against the naive convolution).
#include <gtest/gtest.h>
#include <oneapi/dnnl/dnnl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "dnn/blocked_copy.h"
#include "dnn_layers.h"
#include "dnn_test_util.h"

using dnntest::GuardedBuffer;
using dnntest::tensor_of;
using qel::dnn::layers::ConvShape;
using qel::dnn::layers::kLayers;
namespace dnnl = qel::dnn::dnnl;

#define Q(id) qel_x86_4602A7A4_00000000_D0_dnn_dnnl_##id

namespace {

using ReorderFn = void (*)(const qel_ctx_struct*, qel_tensor_struct*);
const ReorderFn kReorders[] = {
#define QEL_DNN_LAYER(cid, cT, cpart, ord, rid, rT, rpart, wp, bp, K, S, P, Cin, Hin, Cout, Hout, B) Q(rid),
#include "dnn_layers.def"
#undef QEL_DNN_LAYER
};

// Random weights, optionally with a few negative zeros whose sign must survive.
std::vector<float> weights_of(const ConvShape& s, uint32_t seed, bool negative_zeros = true) {
  std::vector<float> w(static_cast<size_t>(s.k) * s.k * s.cin * s.cout);
  dnntest::fill_random(w, seed);
  for (size_t i = 0; negative_zeros && i < w.size(); i += 97) w[i] = -0.0f;
  return w;
}

bool same_bits(GuardedBuffer& a, GuardedBuffer& b) {
  return std::memcmp(a.data(), b.data(), sizeof(float) * a.size()) == 0;
}

TEST(CopyKernel, EveryWeightReorderPlacesEveryValueAsOneDnnDoes) {
  dnntest::TestContext tc;
  for (size_t i = 0; i < std::size(kLayers); ++i) {
    const ConvShape& s = kLayers[i].shape;
    SCOPED_TRACE(testing::Message() << std::hex << kLayers[i].reorder_id);
    std::vector<float> w = weights_of(s, static_cast<uint32_t>(i));
    tc.params[kLayers[i].weights_param] = tensor_of(w.data());
    const size_t n = static_cast<size_t>(s.padded_cout()) * s.k * s.k * s.cin;
    GuardedBuffer ours(n), theirs(n);
    qel_tensor_struct t = tensor_of(ours.data());
    kReorders[i](tc.get(), &t);
    dnnl::onednn_reorder(qel::dnn::layers::reorder_src_desc(s), qel::dnn::layers::reorder_dst_desc(s), w.data(),
                         theirs.data());
    EXPECT_EQ(ours.count_nan(), 0u);
    EXPECT_TRUE(same_bits(ours, theirs));
    EXPECT_TRUE(ours.guard_intact());
    if (HasFailure()) break;
  }
  // Every reorder above ran on the copy kernel, not on oneDNN's code.
  size_t on_kernel = 0;
  for (const auto& r : dnnl::created_primitives()) on_kernel += !r.convolution && r.impl == "avx2:blocked_copy";
  EXPECT_EQ(on_kernel, std::size(kLayers));
}

// Conversions of blocked weights into every other block width a
// convolution may prefer, for shapes with and without a padded last block.
// Without negative zeros: oneDNN's generic code for widths that do not nest
// writes them as +0, where the copy keeps the bits.
TEST(CopyKernel, ConversionsBetweenBlockWidthsMatchOneDnn) {
  for (const uint32_t id : {0x8225u, 0x82ECu, 0x8214u, 0x8212u, 0x8557u}) {
    const ConvShape s = std::find_if(std::begin(kLayers), std::end(kLayers), [&](const auto& l) {
                          return l.conv_id == id;
                        })->shape;
    const std::vector<float> w = weights_of(s, id, false);
    GuardedBuffer given(static_cast<size_t>(s.padded_cout()) * s.k * s.k * s.cin);
    dnnl::onednn_reorder(qel::dnn::layers::reorder_src_desc(s), qel::dnn::layers::reorder_dst_desc(s), w.data(),
                         given.data());
    for (const int width : {8, 16, 24, 32, 48, 64}) {
      SCOPED_TRACE(testing::Message() << std::hex << id << std::dec << " into blocks of " << width);
      ConvShape to = s;
      to.block = width;
      const dnnl::MemoryDesc from_desc = qel::dnn::layers::conv_weights_desc(s);
      const dnnl::MemoryDesc to_desc = qel::dnn::layers::conv_weights_desc(to);
      dnnl::detail::BlockedCopy copy;
      ASSERT_TRUE(copy.plan(from_desc, to_desc));
      const size_t n = static_cast<size_t>(to.padded_cout()) * s.k * s.k * s.cin;
      ASSERT_EQ(copy.dst_size(), static_cast<int64_t>(n));
      GuardedBuffer ours(n), theirs(n);
      copy.run(given.data(), ours.data());
      dnnl::onednn_reorder(from_desc, to_desc, given.data(), theirs.data());
      EXPECT_EQ(ours.count_nan(), 0u);
      EXPECT_TRUE(same_bits(ours, theirs));
      EXPECT_TRUE(ours.guard_intact());
    }
  }
}

// Layouts outside the family are left to oneDNN: rows in another order on
// the two sides, or the block index inside the rows.
TEST(CopyKernel, RefusesLayoutsWhoseRowsDiffer) {
  const ConvShape s{3, 1, 1, 64, 4, 40, 4, 16, false};
  const dnnl::MemoryDesc src = qel::dnn::layers::reorder_src_desc(s);
  // Destination rows ordered (Cin, KH, KW), the source's (KH, KW, Cin).
  dnnl::MemoryDesc reordered = qel::dnn::layers::reorder_dst_desc(s);
  reordered.strides[2] = 3 * 3 * 16;
  reordered.strides[0] = 3 * 16;
  reordered.strides[1] = 16;
  dnnl::detail::BlockedCopy copy;
  EXPECT_FALSE(copy.plan(src, reordered));
  // [KH][KW][Cout / 16][Cin][16]: the block index between the rows.
  dnnl::MemoryDesc inner = qel::dnn::layers::reorder_dst_desc(s);
  inner.strides[3] = 64 * 16;
  inner.strides[1] = 3 * 64 * 16;
  inner.strides[0] = 3 * 3 * 64 * 16;
  EXPECT_FALSE(copy.plan(src, inner));
}

// The matrix-product forms against the naive convolution: images that
// every output window covers whole (the network's 2 x 2 and 1 x 1 images, a
// strided one, a padded block), 1x1 convolutions of small images by blocks
// (a padded last block with bias), and shapes that keep the convolution.
TEST(MatrixForms, ConvolutionsMatchNaive) {
  struct Case {
    ConvShape s;
    const char* impl;  // expected start of the implementation's name
  };
  const bool avx512 = (dnnl_get_effective_cpu_isa() & dnnl_cpu_isa_avx512_core) == dnnl_cpu_isa_avx512_core;
  const char* const pixel = "pixel matrix";
  const char* const blocks = "block matrix products";
  const Case cases[] = {{{3, 1, 1, 1216, 2, 480, 2, 32, true}, pixel}, {{3, 1, 1, 480, 2, 480, 2, 32, true}, pixel},
                        {{3, 1, 1, 128, 2, 32, 2, 32, false}, pixel},  {{3, 1, 1, 128, 1, 32, 1, 32, false}, pixel},
                        {{3, 2, 1, 64, 2, 40, 1, 16, true}, pixel},     {{3, 1, 1, 96, 4, 40, 4, 16, true}, ""},
                        {{1, 1, 0, 1792, 2, 896, 2, 48, true}, blocks}, {{1, 1, 0, 512, 4, 256, 4, 32, false}, blocks},
                        {{1, 1, 0, 1920, 1, 960, 1, 48, true}, blocks}, {{1, 1, 0, 128, 8, 128, 8, 64, false}, ""}};
  for (const Case& c : cases) {
    const ConvShape& s = c.s;
    SCOPED_TRACE(testing::Message() << s.cin << " -> " << s.cout << " on " << s.hin << " x " << s.hin
                                    << ", stride " << s.stride);
    const std::vector<float> w = weights_of(s, s.cin + s.hin);
    std::vector<float> bias(s.cout), src(static_cast<size_t>(32) * s.hin * s.hin * s.cin);
    dnntest::fill_random(bias, 5);
    dnntest::fill_random(src, 6);
    GuardedBuffer blocked(static_cast<size_t>(s.padded_cout()) * s.k * s.k * s.cin);
    dnnl::onednn_reorder(qel::dnn::layers::reorder_src_desc(s), qel::dnn::layers::reorder_dst_desc(s), w.data(),
                         blocked.data());
    const size_t before = dnnl::created_primitives().size();
    dnnl::Conv conv(nullptr, qel::dnn::layers::conv_src_desc(s), qel::dnn::layers::conv_dst_desc(s),
                    qel::dnn::layers::conv_weights_desc(s), qel::dnn::layers::conv_bias_desc(s),
                    {s.stride, s.stride}, {0, 0}, {s.pad, s.pad}, {s.pad, s.pad}, 0);
    ASSERT_EQ(dnnl::created_primitives().size(), before + 1);
    const dnnl::PrimitiveRecord rec = dnnl::created_primitives().back();
    const bool is_pixel = rec.impl.rfind(pixel, 0) == 0, is_blocks = rec.impl.rfind(blocks, 0) == 0;
    if (c.impl == pixel)
      EXPECT_TRUE(is_pixel) << rec.impl;
    else if (c.impl == blocks)  // with AVX-512 code only instead of a weights conversion
      EXPECT_TRUE(is_blocks || (avx512 && !rec.weights_converted)) << rec.impl;
    else
      EXPECT_TRUE(!is_pixel && !is_blocks) << rec.impl;
    GuardedBuffer dst(static_cast<size_t>(32) * s.hout * s.hout * s.cout);
    conv(src.data(), dst.data(), blocked.data(), s.bias ? bias.data() : nullptr);
    EXPECT_TRUE(dst.guard_intact());
    // Stated tolerance: 1e-4 of the largest output of the image.
    const size_t image = static_cast<size_t>(s.hout) * s.hout * s.cout;
    size_t bad = 0;
    for (int n = 0; n < 32; ++n) {
      const std::vector<double> ref = dnntest::naive_conv_image(src.data(), s.hin, s.cin, w.data(), s.k, s.cout,
                                                                s.bias ? bias.data() : nullptr, s.stride, s.pad,
                                                                s.hout, n);
      double peak = 0;
      for (double v : ref) peak = std::max(peak, std::fabs(v));
      for (size_t i = 0; i < image; ++i)
        if (!(std::fabs(dst[n * image + i] - ref[i]) <= 1e-4 * peak) && bad++ < 5)
          ADD_FAILURE() << "image " << n << " element " << i << ": " << dst[n * image + i] << " instead of " << ref[i];
    }
    EXPECT_EQ(bad, 0u);
  }
}

}  // namespace
