// The exported convolution and weight reorder layers, run on real buffers
// with a test context and compared with a naive convolution.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "dnn_layers.h"
#include "dnn_test_util.h"

using dnntest::GuardedBuffer;
using dnntest::TestContext;
using dnntest::tensor_of;
using qel::dnn::layers::ConvShape;
using qel::dnn::layers::kLayers;
using qel::dnn::layers::LayerRow;

#define Q(id) qel_x86_4602A7A4_00000000_D0_dnn_dnnl_##id

namespace {

using ReorderFn = void (*)(const qel_ctx_struct*, qel_tensor_struct*);
// A convolution called with its tensors in (source, destination, weights)
// order, whatever its own argument order.
using ConvCall = void (*)(const qel_ctx_struct*, qel_tensor_struct* src, qel_tensor_struct* dst,
                          qel_tensor_struct* wei);

const LayerRow& row_of(uint32_t conv_id) {
  for (const LayerRow& l : kLayers)
    if (l.conv_id == conv_id) return l;
  ADD_FAILURE() << "no row for convolution " << std::hex << conv_id;
  return kLayers[0];
}

size_t weights_temp_size(const ConvShape& s) {
  return static_cast<size_t>(s.padded_cout()) * s.k * s.k * s.cin;
}

// One layer shape of each kind, with its argument order written out here.
struct ConvCase {
  const char* what;
  uint32_t conv_id;
  ReorderFn reorder;
  ConvCall conv;
};

const ConvCase kCases[] = {
    {"stem", 0x8557, Q(8559), [](auto c, auto s, auto d, auto w) { Q(8557)(c, d, w, s); }},
    {"block1_1x1", 0x8540, Q(8542), [](auto c, auto s, auto d, auto w) { Q(8540)(c, d, s, w); }},
    {"block1_3x3", 0x853E, Q(8543), [](auto c, auto s, auto d, auto w) { Q(853E)(c, d, s, w); }},
    {"transition1", 0x851B, Q(854E), [](auto c, auto s, auto d, auto w) { Q(851B)(c, d, s, w); }},
    {"block2_1x1", 0x84BF, Q(8512), [](auto c, auto s, auto d, auto w) { Q(84BF)(c, d, s, w); }},
    {"block2_3x3", 0x84FA, Q(84FF), [](auto c, auto s, auto d, auto w) { Q(84FA)(c, d, s, w); }},
    {"transition2", 0x84B3, Q(8516), [](auto c, auto s, auto d, auto w) { Q(84B3)(c, d, s, w); }},
    {"block3_1x1", 0x840D, Q(840F), [](auto c, auto s, auto d, auto w) { Q(840D)(c, d, s, w); }},
    {"block3_3x3", 0x8302, Q(8468), [](auto c, auto s, auto d, auto w) { Q(8302)(c, d, s, w); }},
    {"transition3", 0x82EC, Q(846F), [](auto c, auto s, auto d, auto w) { Q(82EC)(c, d, s, w); }},
    {"block4_1x1", 0x822E, Q(84AE), [](auto c, auto s, auto d, auto w) { Q(822E)(c, d, s, w); }},
    {"block4_3x3", 0x82E7, Q(8471), [](auto c, auto s, auto d, auto w) { Q(82E7)(c, d, s, w); }},
    {"decoder_entry", 0x8228, Q(84B0), [](auto c, auto s, auto d, auto w) { Q(8228)(c, d, s, w); }},
    {"stage3_first", 0x821B, Q(8553), [](auto c, auto s, auto d, auto w) { Q(821B)(c, d, s, w); }},
    {"stage4_first", 0x8216, Q(855A), [](auto c, auto s, auto d, auto w) { Q(8216)(c, d, s, w); }},
    {"stage4_second", 0x8214, Q(855B), [](auto c, auto s, auto d, auto w) { Q(8214)(c, s, d, w); }},
    {"stage3_second", 0x8219, Q(8554), [](auto c, auto s, auto d, auto w) { Q(8219)(c, s, d, w); }},
    {"head", 0x8212, Q(855C), [](auto c, auto s, auto, auto w) { Q(8212)(c, s, w); }},
};

class LayerNumerics : public ::testing::TestWithParam<ConvCase> {};

// Reorder then convolution of one layer on random data, checked against the
// naive convolution of the stored weights. The weights temporary and the
// destination start as NaN, so an element that is misplaced or not written
// shows up; guard zones behind both catch writes past their end.
TEST_P(LayerNumerics, MatchesNaiveConvolution) {
  const ConvCase& c = GetParam();
  const LayerRow& row = row_of(c.conv_id);
  const ConvShape& s = row.shape;
  TestContext tc;

  std::vector<float> weights(static_cast<size_t>(s.k) * s.k * s.cin * s.cout);
  dnntest::fill_random(weights, 11 + c.conv_id);
  const float scale = 1.0f / std::sqrt(static_cast<float>(s.k * s.k * s.cin));
  for (float& x : weights) x *= scale;
  tc.params[row.weights_param] = tensor_of(weights.data());
  std::vector<float> bias(s.cout);
  if (s.bias) {
    dnntest::fill_random(bias, 7 + c.conv_id);
    tc.params[row.bias_param] = tensor_of(bias.data());
  }
  std::vector<float> src(static_cast<size_t>(32) * s.hin * s.hin * s.cin);
  dnntest::fill_random(src, 3 + c.conv_id);
  GuardedBuffer temp(weights_temp_size(s));
  GuardedBuffer dst(static_cast<size_t>(32) * s.hout * s.hout * s.cout);
  tc.outputs[0] = tensor_of(dst.data());

  qel_tensor_struct t_src = tensor_of(src.data());
  qel_tensor_struct t_dst = tensor_of(dst.data());
  qel_tensor_struct t_wei = tensor_of(temp.data());
  c.reorder(tc.get(), &t_wei);
  c.conv(tc.get(), &t_src, &t_dst, &t_wei);

  EXPECT_TRUE(temp.guard_intact());
  EXPECT_TRUE(dst.guard_intact()) << "the convolution wrote past its destination";
  EXPECT_EQ(dst.count_nan(), 0u) << "destination values left unwritten";

  const size_t image = static_cast<size_t>(s.hout) * s.hout * s.cout;
  for (int n : {0, 1, 31}) {
    const std::vector<double> ref = dnntest::naive_conv_image(src.data(), s.hin, s.cin, weights.data(), s.k, s.cout, s.bias ? bias.data() : nullptr, s.stride, s.pad, s.hout, n);
    double peak = 0;
    for (double v : ref) peak = std::max(peak, std::fabs(v));
    const double tol = 1e-4 * std::max(peak, 1e-30);
    size_t bad = 0;
    for (size_t i = 0; i < image; ++i) {
      const double got = dst[n * image + i];
      if (!(std::fabs(got - ref[i]) <= tol)) {
        if (bad++ < 5)
          ADD_FAILURE() << c.what << " image " << n << " element " << i << ": " << got
                        << " instead of " << ref[i];
      }
    }
    EXPECT_EQ(bad, 0u) << c.what << " image " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LayerNumerics, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ConvCase>& i) { return std::string(i.param.what); });

// 1x1 convolutions of small images, which the handle may hand oneDNN as the
// same convolution of images of another width: every pixel of every image
// must still meet its own weights, bias and output place. Weights come in
// the layers' blocked layout (written here by a naive loop).
TEST(PixelForms, OneByOneConvolutionsOfSmallImagesMatchNaive) {
  // Shapes of the network's 1x1 layers (blocks 1 to 4, transition 3 with its
  // padded block of 48), all of which have such forms.
  const ConvShape shapes[] = {{1, 1, 0, 1024, 1, 128, 1, 32, true},
                              {1, 1, 0, 1024, 2, 128, 2, 32, true},
                              {1, 1, 0, 800, 4, 128, 4, 32, false},
                              {1, 1, 0, 1792, 2, 896, 2, 48, false}};
  for (const ConvShape& s : shapes) {
    const int side = s.hin;
    SCOPED_TRACE(testing::Message() << side << " " << s.cin << " " << s.cout);
    std::vector<float> w(static_cast<size_t>(s.cin) * s.cout), bias(s.cout), src(static_cast<size_t>(32) * side * side * s.cin);
    dnntest::fill_random(w, 21 + side);
    for (float& x : w) x /= std::sqrt(static_cast<float>(s.cin));
    dnntest::fill_random(bias, 22 + side);
    dnntest::fill_random(src, 23 + side);
    std::vector<float> blocked(static_cast<size_t>(s.padded_cout()) * s.cin, 0.0f);
    for (int ci = 0; ci < s.cin; ++ci)
      for (int co = 0; co < s.cout; ++co)
        blocked[(static_cast<size_t>(co / s.block) * s.cin + ci) * s.block + co % s.block] =
            w[static_cast<size_t>(ci) * s.cout + co];
    qel::dnn::dnnl::Conv conv(nullptr, qel::dnn::layers::conv_src_desc(s), qel::dnn::layers::conv_dst_desc(s),
                              qel::dnn::layers::conv_weights_desc(s), qel::dnn::layers::conv_bias_desc(s),
                              {1, 1}, {0, 0}, {0, 0}, {0, 0}, 0);
    GuardedBuffer dst(static_cast<size_t>(32) * side * side * s.cout);
    conv(src.data(), dst.data(), blocked.data(), s.bias ? bias.data() : nullptr);
    EXPECT_TRUE(dst.guard_intact());
    const size_t image = static_cast<size_t>(side) * side * s.cout;
    size_t bad = 0;
    for (int n = 0; n < 32; ++n) {
      const std::vector<double> ref =
          dnntest::naive_conv_image(src.data(), side, s.cin, w.data(), 1, s.cout, s.bias ? bias.data() : nullptr, 1, 0,
                                    side, n);
      for (size_t i = 0; i < image; ++i)
        if (!(std::fabs(dst[n * image + i] - ref[i]) <= 1e-4) && bad++ < 5)
          ADD_FAILURE() << "image " << n << " element " << i << ": " << dst[n * image + i] << " instead of "
                        << ref[i];
    }
    EXPECT_EQ(bad, 0u);
  }
}

// The weight reorders place index-valued data exactly where the blocked
// layout [Cout / B][K][K][Cin][B] puts it, and clear the padded lanes.
void check_placement(ReorderFn reorder, uint32_t conv_id) {
  const LayerRow& row = row_of(conv_id);
  const ConvShape& s = row.shape;
  TestContext tc;
  std::vector<float> param(static_cast<size_t>(s.k) * s.k * s.cin * s.cout);
  for (size_t i = 0; i < param.size(); ++i) param[i] = static_cast<float>(i);
  tc.params[row.weights_param] = tensor_of(param.data());
  GuardedBuffer temp(weights_temp_size(s));
  qel_tensor_struct t = tensor_of(temp.data());
  reorder(tc.get(), &t);

  const size_t block = static_cast<size_t>(s.k) * s.k * s.cin * s.block;
  std::vector<char> placed(temp.size(), 0);
  size_t wrong = 0;
  for (int kh = 0; kh < s.k; ++kh)
    for (int kw = 0; kw < s.k; ++kw)
      for (int ci = 0; ci < s.cin; ++ci)
        for (int co = 0; co < s.cout; ++co) {
          const size_t from = ((static_cast<size_t>(kh) * s.k + kw) * s.cin + ci) * s.cout + co;
          const size_t to = (co / s.block) * block +
                            ((static_cast<size_t>(kh) * s.k + kw) * s.cin + ci) * s.block + co % s.block;
          placed[to] = 1;
          if (temp[to] != static_cast<float>(from) && wrong++ < 5)
            ADD_FAILURE() << "element (" << kh << ", " << kw << ", " << ci << ", " << co
                          << ") at " << to << " holds " << temp[to];
        }
  EXPECT_EQ(wrong, 0u);
  size_t padding = 0, dirty = 0;
  for (size_t i = 0; i < temp.size(); ++i) {
    if (placed[i]) continue;
    ++padding;
    if (temp[i] != 0.0f) ++dirty;
  }
  EXPECT_EQ(padding, static_cast<size_t>(s.padded_cout() - s.cout) * s.k * s.k * s.cin);
  EXPECT_EQ(dirty, 0u) << "padded lanes must be cleared";
  EXPECT_TRUE(temp.guard_intact());
}

TEST(ReorderPlacement, Transition3Block48PadsTo912) {
  check_placement(Q(846F), 0x82EC);
  EXPECT_EQ(row_of(0x82EC).shape.padded_cout(), 912);
}
TEST(ReorderPlacement, HeadOneChannelInBlock16) { check_placement(Q(855C), 0x8212); }
TEST(ReorderPlacement, Stage2SecondPads240To256) { check_placement(Q(8550), 0x821E); }
TEST(ReorderPlacement, Block1Bottleneck64) { check_placement(Q(8542), 0x8540); }

// Uniform callers of every layer, from the table; only used to drive all
// 420 layers once.
struct LayerCallers {
  uint32_t conv_id;
  ReorderFn reorder;
  ConvCall conv;
};
#define CALL_A(id) [](auto c, auto s, auto d, auto w) { Q(id)(c, d, s, w); }
#define CALL_B(id) [](auto c, auto s, auto d, auto w) { Q(id)(c, s, d, w); }
#define CALL_C(id) [](auto c, auto s, auto d, auto w) { Q(id)(c, d, w, s); }
#define CALL_D(id) [](auto c, auto s, auto, auto w) { Q(id)(c, s, w); }
const LayerCallers kCallers[] = {
#define QEL_DNN_LAYER(cid, cT, cpart, ord, rid, rT, rpart, wp, bp, K, S, P, Cin, Hin, Cout, Hout, B) \
  {0x##cid, Q(rid), CALL_##ord(cid)},
#include "dnn_layers.def"
#undef QEL_DNN_LAYER
};

// Every weight reorder of the table, not only the shapes above: the handle
// hands oneDNN each reorder in its own merged form, which must place every
// element exactly where the layer's layout puts it.
TEST(ReorderPlacement, EveryLayerOfTheTable) {
  for (const LayerCallers& c : kCallers) {
    SCOPED_TRACE(c.conv_id);
    check_placement(c.reorder, c.conv_id);
    if (HasFailure()) break;
  }
}

// Drives one forward pass of all 420 layers over shared buffers of zeros:
// every primitive is created on its layer's first call, in call order.
TEST(AllLayers, EveryLayerCreatesItsPrimitiveAndNoneRunsOnReferenceCode) {
  size_t src_max = 0, dst_max = 0, wei_max = 0, param_max = 0;
  for (const LayerRow& l : kLayers) {
    const ConvShape& s = l.shape;
    src_max = std::max(src_max, static_cast<size_t>(32) * s.hin * s.hin * s.cin);
    dst_max = std::max(dst_max, static_cast<size_t>(32) * s.hout * s.hout * s.cout);
    wei_max = std::max(wei_max, weights_temp_size(s));
    param_max = std::max(param_max, static_cast<size_t>(s.k) * s.k * s.cin * s.cout);
  }
  std::vector<float> src(src_max, 0.f), dst(dst_max, 0.f), wei(wei_max, 0.f), param(param_max, 0.f);
  TestContext tc;
  for (auto& p : tc.params) p = tensor_of(param.data());
  tc.outputs[0] = tensor_of(dst.data());
  qel_tensor_struct t_src = tensor_of(src.data()), t_dst = tensor_of(dst.data()),
                    t_wei = tensor_of(wei.data());

  for (const LayerCallers& l : kCallers) {
    ASSERT_NO_THROW(l.reorder(tc.get(), &t_wei)) << std::hex << l.conv_id;
    ASSERT_NO_THROW(l.conv(tc.get(), &t_src, &t_dst, &t_wei)) << std::hex << l.conv_id;
  }
  // Every layer has created exactly one primitive (some may stem from
  // earlier tests of this process), labelled with its own id and kind.
  const std::vector<qel::dnn::dnnl::PrimitiveRecord> rec = qel::dnn::dnnl::created_primitives();
  std::map<std::string, const qel::dnn::dnnl::PrimitiveRecord*> by_layer;
  for (const auto& r : rec) EXPECT_TRUE(by_layer.emplace(r.layer, &r).second) << r.layer << " created twice";
  ASSERT_EQ(by_layer.size(), 420u);

  std::map<std::string, int> impls;
  for (const LayerRow& l : kLayers) {
    char rid[32], cid[32];
    snprintf(rid, sizeof rid, "%04X (weight reorder)", l.reorder_id);
    snprintf(cid, sizeof cid, "%04X (convolution)", l.conv_id);
    ASSERT_EQ(by_layer.count(rid), 1u) << rid;
    ASSERT_EQ(by_layer.count(cid), 1u) << cid;
    const auto& r = *by_layer[rid];
    const auto& c = *by_layer[cid];
    EXPECT_FALSE(r.convolution);
    EXPECT_TRUE(c.convolution);
    EXPECT_EQ(c.impl.find("ref"), std::string::npos) << cid << " runs on " << c.impl;
    EXPECT_EQ(r.impl.find("ref"), std::string::npos) << rid << " runs on " << r.impl;
    EXPECT_EQ(c.converter_impl.find("ref"), std::string::npos) << cid << " converts with " << c.converter_impl;
    ++impls[c.impl + (c.weights_converted ? " (weights converted by " + c.converter_impl + ")" : "")];
    ++impls["reorder: " + r.impl];
  }
  for (const auto& kv : impls) std::printf("%4d x %s\n", kv.second, kv.first.c_str());

  // A second pass creates nothing.
  for (const LayerCallers& l : kCallers) {
    l.reorder(tc.get(), &t_wei);
    l.conv(tc.get(), &t_src, &t_dst, &t_wei);
  }
  EXPECT_EQ(qel::dnn::dnnl::created_primitives().size(), rec.size());
}

}  // namespace
