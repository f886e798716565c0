// The convolution and weight reorder layers of the table and the handle layer
// beneath them, run on real buffers: one layer of every form against a naive
// convolution, every reorder against the blocked layout and against oneDNN's
// own reorder, the handle's channel-block copy, matrix product and
// matrix-product forms (and the descriptors those refuse), all 420 layers
// creating their primitives, the primitive cache's get-or-create with retry,
// the layer statics' release at exit, and failures as exceptions naming the
// layer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <omp.h>
#include <oneapi/dnnl/dnnl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <ostream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dnn/blocked_copy.h"
#include "dnn/device_singleton.h"
#include "dnn/panel_product.h"
#include "dnn_layers.h"
#include "tests/child_process.h"
#include "tests/support/exit_registrations.h"

using qel::dnn::DeviceItem;
using qel::dnn::DeviceSingleton;
using qel::dnn::dnnl::Error;
using qel::dnn::layers::ConvShape;
using qel::dnn::layers::kLayers;
using qel::dnn::layers::LayerRow;
namespace dnnl = qel::dnn::dnnl;
namespace layers = qel::dnn::layers;

namespace {

// A context whose 1024 parameters and one output the test fills itself.
struct TestContext {
  std::vector<qel_tensor_struct> params = std::vector<qel_tensor_struct>(1024), outputs = std::vector<qel_tensor_struct>(1);
  qel_ctx_struct ctx{};
  TestContext() { ctx.params = params.data(), ctx.outputs = outputs.data(), ctx.num_params = 1024, ctx.num_outputs = 1; }
  const qel_ctx_struct* get() const { return &ctx; }
};

qel_tensor_struct tensor_of(void* data) {
  qel_tensor_struct t{};
  t.data = data;
  t.dtype = QEL_F32;
  return t;
}

std::vector<float> random_values(size_t n, uint32_t seed, float scale = 1.0f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-scale, scale);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

// n floats and a guard zone behind them, all NaN at first, so that values left
// unwritten and writes past the end both show.
struct GuardedBuffer {
  explicit GuardedBuffer(size_t n) : size(n), v(n + 64, NAN) {}
  bool guard_intact() const { return std::all_of(v.begin() + static_cast<long>(size), v.end(), [](float x) { return std::isnan(x); }); }
  bool same_bits(const float* other) const { return std::memcmp(v.data(), other, size * sizeof(float)) == 0; }
  size_t size;
  std::vector<float> v;
};

size_t weights_temp_size(const ConvShape& s) { return static_cast<size_t>(s.padded_cout()) * s.k * s.k * s.cin; }

// Every layer of the table, with its convolution called as (source,
// destination, weights) whatever its own argument order.
using ReorderFn = void (*)(const qel_ctx_struct*, qel_tensor_struct*);
using ConvCall = void (*)(const qel_ctx_struct*, qel_tensor_struct* src, qel_tensor_struct* dst,
                          qel_tensor_struct* wei);
struct LayerCallers {
  const LayerRow* row;
  ReorderFn reorder;
  ConvCall conv;
};
void PrintTo(const LayerCallers& c, std::ostream* os) { *os << std::hex << c.row->conv_id; }
#define QEL_TEST_CALL_A(id) [](auto c, auto s, auto d, auto w) { QEL_DNN_NAME(id)(c, d, s, w); }
#define QEL_TEST_CALL_B(id) [](auto c, auto s, auto d, auto w) { QEL_DNN_NAME(id)(c, s, d, w); }
#define QEL_TEST_CALL_C(id) [](auto c, auto s, auto d, auto w) { QEL_DNN_NAME(id)(c, d, w, s); }
#define QEL_TEST_CALL_D(id) [](auto c, auto s, auto, auto w) { QEL_DNN_NAME(id)(c, s, w); }
const std::vector<LayerCallers>& layer_callers() {
  static const std::vector<LayerCallers> all = [] {
    const std::pair<ReorderFn, ConvCall> fns[] = {
#define QEL_DNN_LAYER(cid, cT, cpart, ord, rid, rT, rpart, wp, bp, K, S, P, Cin, Hin, Cout, Hout, B) \
  {&QEL_DNN_NAME(rid), QEL_TEST_CALL_##ord(cid)},
#include "dnn_layers.def"
#undef QEL_DNN_LAYER
    };
    std::vector<LayerCallers> v;
    for (size_t i = 0; i < std::size(kLayers); ++i) v.push_back({&kLayers[i], fns[i].first, fns[i].second});
    return v;
  }();
  return all;
}

// Direct cross-correlation of image `n`: source N x H x H x Cin (channels
// last), weights K x K x Cin x Cout as stored, optional bias, zero padding;
// returns Hout x Hout x Cout.
std::vector<double> naive_conv_image(const float* src, const ConvShape& s, const float* w, const float* bias, int n) {
  std::vector<double> out(static_cast<size_t>(s.hout) * s.hout * s.cout, 0.0);
  const float* img = src + static_cast<size_t>(n) * s.hin * s.hin * s.cin;
  for (int oh = 0; oh < s.hout; ++oh)
    for (int ow = 0; ow < s.hout; ++ow)
      for (int co = 0; co < s.cout; ++co) {
        double acc = bias ? bias[co] : 0.0;
        for (int kh = 0; kh < s.k; ++kh)
          for (int kw = 0; kw < s.k; ++kw) {
            const int ih = oh * s.stride - s.pad + kh, iw = ow * s.stride - s.pad + kw;
            if (ih < 0 || ih >= s.hin || iw < 0 || iw >= s.hin) continue;
            const float* px = img + (static_cast<size_t>(ih) * s.hin + iw) * s.cin;
            const float* wr = w + (static_cast<size_t>(kh) * s.k + kw) * s.cin * s.cout + co;
            for (int ci = 0; ci < s.cin; ++ci) acc += static_cast<double>(px[ci]) * wr[static_cast<size_t>(ci) * s.cout];
          }
        out[(static_cast<size_t>(oh) * s.hout + ow) * s.cout + co] = acc;
      }
  return out;
}

// The first layer of every distinct form (kernel, stride, padding, size,
// block, bias, argument order) of the table.
std::vector<LayerCallers> one_layer_per_form() {
  std::map<std::tuple<int, int, int, int, int, bool, char>, LayerCallers> forms;
  for (const LayerCallers& c : layer_callers()) {
    const ConvShape& s = c.row->shape;
    forms.emplace(std::make_tuple(s.k, s.stride, s.pad, s.hin, s.block, s.bias, c.row->order), c);
  }
  std::vector<LayerCallers> v;
  for (const auto& f : forms) v.push_back(f.second);
  return v;
}

class LayerForms : public ::testing::TestWithParam<LayerCallers> {};

// Reorder then convolution of one layer on random data, against the naive
// convolution of the stored weights. Weights temporary and destination start
// as NaN, so misplaced or unwritten values show; their guard zones catch
// writes past the end.
TEST_P(LayerForms, MatchNaiveConvolution) {
  const LayerRow& row = *GetParam().row;
  const ConvShape& s = row.shape;
  TestContext tc;
  std::vector<float> weights =
      random_values(static_cast<size_t>(s.k) * s.k * s.cin * s.cout, 11 + row.conv_id, 1.0f / std::sqrt(s.k * s.k * s.cin));
  std::vector<float> bias = random_values(s.cout, 7 + row.conv_id);
  std::vector<float> src = random_values(static_cast<size_t>(32) * s.hin * s.hin * s.cin, 3 + row.conv_id);
  tc.params[row.weights_param] = tensor_of(weights.data());
  if (s.bias) tc.params[row.bias_param] = tensor_of(bias.data());
  GuardedBuffer temp(weights_temp_size(s)), dst(static_cast<size_t>(32) * s.hout * s.hout * s.cout);
  tc.outputs[0] = tensor_of(dst.v.data());
  qel_tensor_struct t_src = tensor_of(src.data()), t_dst = tensor_of(dst.v.data()), t_wei = tensor_of(temp.v.data());
  GetParam().reorder(tc.get(), &t_wei);
  GetParam().conv(tc.get(), &t_src, &t_dst, &t_wei);
  EXPECT_TRUE(temp.guard_intact());
  EXPECT_TRUE(dst.guard_intact()) << "the convolution wrote past its destination";

  const size_t image = static_cast<size_t>(s.hout) * s.hout * s.cout;
  for (int n : {0, 31}) {
    const std::vector<double> ref = naive_conv_image(src.data(), s, weights.data(), s.bias ? bias.data() : nullptr, n);
    double peak = 1e-30;
    for (double v : ref) peak = std::max(peak, std::fabs(v));
    size_t bad = 0;
    for (size_t i = 0; i < image; ++i)
      if (!(std::fabs(dst.v[n * image + i] - ref[i]) <= 1e-4 * peak) && bad++ < 5)
        ADD_FAILURE() << "image " << n << " element " << i << ": " << dst.v[n * image + i] << " instead of " << ref[i];
    EXPECT_EQ(bad, 0u) << "image " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LayerForms, ::testing::ValuesIn(one_layer_per_form()),
                         [](const ::testing::TestParamInfo<LayerCallers>& i) {
                           char name[16];
                           std::snprintf(name, sizeof name, "conv_%04X", i.param.row->conv_id);
                           return std::string(name);
                         });

// Every weight reorder places index-valued data (every 97th value a negative
// zero, whose sign must survive) where the blocked layout
// [ceil(Cout / B)][K][K][Cin][B] puts it, clears the padded lanes, writes
// exactly what oneDNN's own reorder writes, and runs on the handle's copy
// kernel rather than on oneDNN's code.
TEST(ReorderPlacement, EveryLayerOfTheTableAsOneDnnPlacesIt) {
  for (const LayerCallers& c : layer_callers()) {
    const ConvShape& s = c.row->shape;
    SCOPED_TRACE(testing::Message() << std::hex << c.row->reorder_id);
    TestContext tc;
    std::vector<float> param(static_cast<size_t>(s.k) * s.k * s.cin * s.cout);
    for (size_t i = 0; i < param.size(); ++i) param[i] = i % 97 ? static_cast<float>(i) : -0.0f;
    tc.params[c.row->weights_param] = tensor_of(param.data());
    GuardedBuffer temp(weights_temp_size(s)), theirs(temp.size);
    qel_tensor_struct t = tensor_of(temp.v.data());
    c.reorder(tc.get(), &t);
    std::vector<float> want(temp.size, 0.0f);
    size_t from = 0;
    for (int kh = 0; kh < s.k; ++kh)
      for (int kw = 0; kw < s.k; ++kw)
        for (int ci = 0; ci < s.cin; ++ci)
          for (int co = 0; co < s.cout; ++co, ++from)
            want[((((static_cast<size_t>(co) / s.block) * s.k + kh) * s.k + kw) * s.cin + ci) * s.block +
                 co % s.block] = param[from];
    ASSERT_TRUE(temp.same_bits(want.data()));
    ASSERT_TRUE(temp.guard_intact());
    dnnl::onednn_reorder(layers::reorder_src_desc(s), layers::reorder_dst_desc(s), param.data(), theirs.v.data());
    ASSERT_TRUE(temp.same_bits(theirs.v.data()));
  }
  size_t on_kernel = 0;
  for (const auto& r : dnnl::created_primitives()) on_kernel += !r.convolution && r.impl == "avx2:blocked_copy";
  EXPECT_EQ(on_kernel, std::size(kLayers));
}

// Conversions of blocked weights into every other block width a convolution
// may prefer, for shapes with and without a padded last block, bit for bit as
// oneDNN converts them. Without negative zeros: oneDNN's generic code for
// widths that do not nest writes them as +0, where the copy keeps the bits.
TEST(CopyKernel, ConversionsBetweenBlockWidthsMatchOneDnn) {
  for (const uint32_t id : {0x8225u, 0x82ECu, 0x8214u, 0x8212u, 0x8557u}) {
    const ConvShape s =
        std::find_if(std::begin(kLayers), std::end(kLayers), [&](const LayerRow& l) { return l.conv_id == id; })->shape;
    const std::vector<float> w = random_values(static_cast<size_t>(s.k) * s.k * s.cin * s.cout, id);
    GuardedBuffer given(weights_temp_size(s));
    dnnl::onednn_reorder(layers::reorder_src_desc(s), layers::reorder_dst_desc(s), w.data(), given.v.data());
    for (const int width : {8, 16, 24, 32, 48, 64}) {
      SCOPED_TRACE(testing::Message() << std::hex << id << std::dec << " into blocks of " << width);
      ConvShape to = s;
      to.block = width;
      const dnnl::MemoryDesc from_desc = layers::conv_weights_desc(s), to_desc = layers::conv_weights_desc(to);
      dnnl::detail::BlockedCopy copy;
      ASSERT_TRUE(copy.plan(from_desc, to_desc));
      GuardedBuffer ours(weights_temp_size(to)), theirs(ours.size);
      ASSERT_EQ(copy.dst_size(), static_cast<int64_t>(ours.size));
      copy.run(given.v.data(), ours.v.data());
      dnnl::onednn_reorder(from_desc, to_desc, given.v.data(), theirs.v.data());
      EXPECT_TRUE(ours.same_bits(theirs.v.data()));
      EXPECT_TRUE(ours.guard_intact());
    }
  }
  // Layouts outside the family are left to oneDNN: destination rows ordered
  // (Cin, KH, KW) against the source's (KH, KW, Cin), or the block index
  // between the rows ([KH][KW][Cout / 16][Cin][16]).
  const ConvShape s{3, 1, 1, 64, 4, 40, 4, 16, false};
  dnnl::MemoryDesc reordered = layers::reorder_dst_desc(s), inner = reordered;
  reordered.strides[2] = 3 * 3 * 16, reordered.strides[0] = 3 * 16, reordered.strides[1] = 16;
  inner.strides[3] = 64 * 16, inner.strides[1] = 3 * 64 * 16, inner.strides[0] = 3 * 3 * 64 * 16;
  dnnl::detail::BlockedCopy copy;
  EXPECT_FALSE(copy.plan(layers::reorder_src_desc(s), reordered));
  EXPECT_FALSE(copy.plan(layers::reorder_src_desc(s), inner));
}

// The handle's matrix product against a plain loop that forms each output
// as one chain of fused multiply-adds over k in order and then adds the
// bias: bit for bit, at 1, 3 and 8 threads. Row counts leave every
// remainder of the 6-row register block; panels end early at the end of a
// block or of the matrix; leading dimensions are wider than the matrices,
// and what lies between must stay untouched.
TEST(MatrixProduct, EveryOutputIsOneOrderedChainOfMultiplyAddsAtAnyThreadCount) {
  struct Case {
    int64_t m, n, k, block, ldp;
  };
  const Case cases[] = {{1, 16, 7, 16, 16}, {5, 21, 300, 16, 16}, {4, 40, 64, 24, 24},
                        {13, 96, 33, 48, 48}, {50, 77, 129, 32, 36}, {3, 5, 1000, 64, 64}};
  const int threads_before = omp_get_max_threads();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.m << " x " << c.k << " times " << c.k << " x " << c.n << " in blocks of "
                                    << c.block);
    const int64_t lda = c.k + 3, ldc = c.n + 5, block_stride = c.k * c.ldp + 8, blocks = (c.n + c.block - 1) / c.block;
    const std::vector<float> a = random_values(static_cast<size_t>(c.m * lda), 1),
                             p = random_values(static_cast<size_t>(blocks * block_stride), 2),
                             bias = random_values(static_cast<size_t>(c.n), 3);
    const dnnl::detail::PanelProduct product(c.m, c.n, c.k, lda, ldc, c.ldp, c.block, block_stride);
    for (const bool with_bias : {false, true}) {
      GuardedBuffer want(static_cast<size_t>(c.m * ldc));
      for (int64_t i = 0; i < c.m; ++i)
        for (int64_t j = 0; j < c.n; ++j) {
          float acc = 0.0f;
          for (int64_t kk = 0; kk < c.k; ++kk)
            acc = std::fmaf(a[i * lda + kk], p[j / c.block * block_stride + kk * c.ldp + j % c.block], acc);
          want.v[i * ldc + j] = with_bias ? acc + bias[j] : acc;
        }
      for (const int threads : {1, 3, 8}) {
        omp_set_num_threads(threads);
        GuardedBuffer got(want.size);
        product.run(a.data(), p.data(), got.v.data(), with_bias ? bias.data() : nullptr);
        EXPECT_TRUE(got.same_bits(want.v.data())) << threads << " threads, bias " << with_bias;
        EXPECT_TRUE(got.guard_intact()) << threads << " threads, bias " << with_bias;
      }
    }
  }
  omp_set_num_threads(threads_before);
}

// The matrix-product forms of the handle against the naive convolution:
// images that every output window covers whole (the network's 2 x 2 and
// 1 x 1 images, a strided one, a padded block), 1x1 convolutions of small
// images by blocks (a padded last block with bias), output channels that
// end within a block of 16 columns, and shapes that keep the convolution;
// each within 1e-4 of the largest output of its image (the sums run in
// another order than the naive one's).
TEST(MatrixForms, ConvolutionsMatchNaive) {
  const bool avx512 = (dnnl_get_effective_cpu_isa() & dnnl_cpu_isa_avx512_core) == dnnl_cpu_isa_avx512_core;
  const std::string pixel = "pixel matrix", blocks = "block matrix products";
  const std::pair<ConvShape, std::string> cases[] = {
      {{3, 1, 1, 1216, 2, 480, 2, 32, true}, pixel}, {{3, 1, 1, 480, 2, 480, 2, 32, true}, pixel},
      {{3, 1, 1, 128, 2, 32, 2, 32, false}, pixel},  {{3, 1, 1, 128, 1, 32, 1, 32, false}, pixel},
      {{3, 2, 1, 64, 2, 40, 1, 16, true}, pixel},     {{3, 1, 1, 96, 4, 40, 4, 16, true}, ""},
      {{1, 1, 0, 1792, 2, 896, 2, 48, true}, blocks}, {{1, 1, 0, 512, 4, 256, 4, 32, false}, blocks},
      {{1, 1, 0, 1920, 1, 960, 1, 48, true}, blocks}, {{1, 1, 0, 128, 8, 128, 8, 64, false}, ""},
      {{1, 1, 0, 100, 4, 21, 4, 16, true}, blocks},  {{3, 1, 1, 20, 1, 3, 1, 16, true}, pixel}};
  for (const auto& [s, form] : cases) {
    SCOPED_TRACE(testing::Message() << s.cin << " -> " << s.cout << " on " << s.hin << " x " << s.hin << ", stride "
                                    << s.stride);
    const std::vector<float> w = random_values(static_cast<size_t>(s.k) * s.k * s.cin * s.cout, s.cin + s.hin),
                             bias = random_values(s.cout, 5),
                             src = random_values(static_cast<size_t>(32) * s.hin * s.hin * s.cin, 6);
    GuardedBuffer blocked(weights_temp_size(s)), dst(static_cast<size_t>(32) * s.hout * s.hout * s.cout);
    dnnl::onednn_reorder(layers::reorder_src_desc(s), layers::reorder_dst_desc(s), w.data(), blocked.v.data());
    dnnl::Conv conv(nullptr, layers::conv_src_desc(s), layers::conv_dst_desc(s), layers::conv_weights_desc(s),
                    layers::conv_bias_desc(s), {s.stride, s.stride}, {0, 0}, {s.pad, s.pad}, {s.pad, s.pad}, 0);
    const dnnl::PrimitiveRecord rec = dnnl::created_primitives().back();
    const bool is_pixel = rec.impl.rfind(pixel, 0) == 0, is_blocks = rec.impl.rfind(blocks, 0) == 0;
    if (form == pixel) {
      EXPECT_TRUE(is_pixel) << rec.impl;
    } else if (form == blocks) {  // with AVX-512 code only instead of a weights conversion
      EXPECT_TRUE(is_blocks || (avx512 && !rec.weights_converted)) << rec.impl;
    } else {
      EXPECT_FALSE(is_pixel) << rec.impl;
      EXPECT_FALSE(is_blocks) << rec.impl;
    }
    conv(src.data(), dst.v.data(), blocked.v.data(), s.bias ? bias.data() : nullptr);
    EXPECT_TRUE(dst.guard_intact());
    const size_t image = static_cast<size_t>(s.hout) * s.hout * s.cout;
    size_t bad = 0;
    for (int n = 0; n < 32; ++n) {
      const std::vector<double> ref = naive_conv_image(src.data(), s, w.data(), s.bias ? bias.data() : nullptr, n);
      double peak = 0;
      for (double v : ref) peak = std::max(peak, std::fabs(v));
      for (size_t i = 0; i < image; ++i)
        if (!(std::fabs(dst.v[n * image + i] - ref[i]) <= 1e-4 * peak) && bad++ < 5)
          ADD_FAILURE() << "image " << n << " element " << i << ": " << dst.v[n * image + i] << " instead of " << ref[i];
    }
    EXPECT_EQ(bad, 0u);
  }
}

// The pixel-matrix form when each 16-column block of the gathered matrix is
// one row (images of one pixel and one channel, weights with the output
// channel fastest, so that the whole gather lies in one stretch of both
// buffers): every thread multiplies by its own block only once that block is
// gathered from this call's weights. Two calls with different weights, each
// bit for bit the plain product (k = 1: the centre tap times the pixel), at
// 1, 3 and 8 threads.
TEST(MatrixForms, EachBlockIsGatheredFromThisCallsWeightsAtAnyThreadCount) {
  const long images = 1024, cout = 256;
  const dnnl::MemoryDesc src(4, {images, 1, 1, 1}, dnnl_f32, {images, 1, 1, 1}, {0, 0, 0, 0}, 0, dnnl_blocked,
                             {1, 1, 1, 1}, 0, {}, {}),
      dst(4, {images, cout, 1, 1}, dnnl_f32, {images, cout, 1, 1}, {0, 0, 0, 0}, 0, dnnl_blocked,
          {cout, 1, cout, cout}, 0, {}, {}),
      hwio(4, {cout, 1, 3, 3}, dnnl_f32, {cout, 1, 3, 3}, {0, 0, 0, 0}, 0, dnnl_blocked,
           {1, cout, 3 * cout, cout}, 0, {}, {});
  dnnl::Conv conv(nullptr, src, dst, hwio, dnnl::MemoryDesc(nullptr), {1, 1}, {0, 0}, {1, 1}, {1, 1}, 0);
  ASSERT_EQ(dnnl::created_primitives().back().impl.rfind("pixel matrix", 0), 0u) << dnnl::created_primitives().back().impl;
  const std::vector<float> pixels = random_values(images, 11);
  const std::vector<float> weights[2] = {random_values(9 * cout, 12), random_values(9 * cout, 13)};
  const int threads_before = omp_get_max_threads();
  for (const int threads : {1, 3, 8}) {
    omp_set_num_threads(threads);
    for (const std::vector<float>& w : weights) {
      GuardedBuffer got(static_cast<size_t>(images * cout));
      conv(pixels.data(), got.v.data(), w.data(), nullptr);
      size_t wrong = 0;
      for (long n = 0; n < images; ++n)
        for (long co = 0; co < cout; ++co) {
          const float want = std::fmaf(pixels[n], w[4 * cout + co], 0.0f);
          wrong += std::memcmp(&got.v[n * cout + co], &want, sizeof want) != 0;
        }
      EXPECT_EQ(wrong, 0u) << threads << " threads, weights " << (&w - weights);
      EXPECT_TRUE(got.guard_intact());
    }
  }
  omp_set_num_threads(threads_before);
}

// Descriptors that oneDNN's convolution refuses are refused whatever form
// their shape would otherwise take: a bias whose length is not the number of
// output channels, an output size that does not follow from the input, the
// padding on both sides and the stride. The refusal is oneDNN's own, at
// creation; a convolution accepted anyway is run once, with buffers of the
// sizes its descriptors give, so that what it reads past them shows under
// the sanitizers.
TEST(MatrixForms, RefuseWhatTheConvolutionRefuses) {
  struct Case {
    ConvShape s;  // the shape of a valid description, which takes a form
    long bias_len, pad_r, hout;
  };
  const ConvShape pixel{3, 1, 1, 128, 2, 32, 2, 32, true}, pixel_1x1{3, 1, 1, 128, 1, 32, 1, 32, true},
      blocks{1, 1, 0, 512, 4, 256, 4, 32, true}, padded_blocks{1, 1, 0, 1792, 2, 896, 2, 48, true};
  const Case cases[] = {
      {pixel, 31, 1, 2},           {pixel, 33, 1, 2},         {pixel, 32, 0, 2},  // right padding missing
      {pixel, 32, 1, 1},                                                       // output too small
      {pixel_1x1, 32, 2, 1},                                                   // right padding too wide
      {{5, 2, 2, 16, 2, 40, 1, 16, true}, 40, 2, 2},                           // stride 2 gives 1, not 2
      {blocks, 255, 0, 4},         {padded_blocks, 880, 0, 2}, {padded_blocks, 897, 0, 2}};
  for (const Case& c : cases) {
    const ConvShape& s = c.s;
    SCOPED_TRACE(testing::Message() << s.cin << " -> " << s.cout << " on " << s.hin << " x " << s.hin << ", bias of "
                                    << c.bias_len << ", right padding " << c.pad_r << ", output " << c.hout);
    ConvShape out = s;
    out.hout = static_cast<int>(c.hout);
    dnnl::MemoryDesc bias = layers::conv_bias_desc(s);
    bias.dims[0] = bias.padded_dims[0] = c.bias_len;
    std::vector<float> w(weights_temp_size(s), 0.5f), b(static_cast<size_t>(c.bias_len), 1.0f),
        src(static_cast<size_t>(32) * s.hin * s.hin * s.cin, 1.0f), dst(static_cast<size_t>(32) * c.hout * c.hout * s.cout);
    try {
      dnnl::Conv conv(nullptr, layers::conv_src_desc(s), layers::conv_dst_desc(out), layers::conv_weights_desc(s), bias,
                      {s.stride, s.stride}, {0, 0}, {s.pad, s.pad}, {c.pad_r, c.pad_r}, 0);
      conv(src.data(), dst.data(), w.data(), b.data());
      ADD_FAILURE() << "accepted as " << dnnl::created_primitives().back().impl;
    } catch (const Error& e) {
      EXPECT_EQ(e.status(), dnnl_invalid_arguments) << e.what();
    }
  }
}

// One forward pass of all 420 layers over shared buffers of zeros: each
// creates exactly one primitive, labelled with its id and kind, none runs on
// oneDNN's reference code, and a second pass creates nothing.
TEST(AllLayers, EachCreatesOnePrimitiveAndNoneRunsOnReferenceCode) {
  size_t most = 0;
  for (const LayerRow& l : kLayers) {
    const ConvShape& s = l.shape;
    most = std::max({most, static_cast<size_t>(32) * s.hin * s.hin * s.cin, static_cast<size_t>(32) * s.hout * s.hout * s.cout,
                     weights_temp_size(s)});
  }
  std::vector<float> src(most, 0.f), dst(most, 0.f), wei(most, 0.f), param(most, 0.f);
  TestContext tc;
  for (auto& p : tc.params) p = tensor_of(param.data());
  tc.outputs[0] = tensor_of(dst.data());
  qel_tensor_struct t_src = tensor_of(src.data()), t_dst = tensor_of(dst.data()), t_wei = tensor_of(wei.data());
  for (int pass = 0; pass < 2; ++pass)
    for (const LayerCallers& l : layer_callers()) {
      ASSERT_NO_THROW(l.reorder(tc.get(), &t_wei)) << std::hex << l.row->reorder_id;
      ASSERT_NO_THROW(l.conv(tc.get(), &t_src, &t_dst, &t_wei)) << std::hex << l.row->conv_id;
    }

  std::map<std::string, qel::dnn::dnnl::PrimitiveRecord> by_layer;
  for (const auto& r : qel::dnn::dnnl::created_primitives()) EXPECT_TRUE(by_layer.emplace(r.layer, r).second) << r.layer;
  EXPECT_EQ(by_layer.size(), 420u);
  for (const LayerRow& l : kLayers) {
    char rid[32], cid[32];
    std::snprintf(rid, sizeof rid, "%04X (weight reorder)", l.reorder_id);
    std::snprintf(cid, sizeof cid, "%04X (convolution)", l.conv_id);
    const auto &r = by_layer[rid], &c = by_layer[cid];
    EXPECT_TRUE(c.convolution) << cid;
    EXPECT_FALSE(r.convolution) << rid;
    EXPECT_FALSE(r.impl.empty()) << rid;
    for (const std::string& impl : {c.impl, c.converter_impl, r.impl})
      EXPECT_EQ(impl.find("ref"), std::string::npos) << cid << " runs on " << impl;
  }
}

// Creating the primitives of the first layers again and again, as a program
// of its own that uses the handle layer does, registers no exit handler once
// oneDNN has set up its state: outside a call into the library there is no
// run for an exit to wait for, so the library's exit mark is not renewed.
TEST(AllLayers, CreatingPrimitivesAgainRegistersNoExitHandler) {
  const ChildResult r = run_in_child([] {
    for (int round = 0; round < 3; ++round) {
      const int before = exit_registrations::total();
      for (int row = 0; row < 4; ++row) {
        delete layers::create_reorder(nullptr, kLayers[row].shape);
        delete layers::create_conv(nullptr, kLayers[row].shape);
      }
      std::printf("%d ", exit_registrations::total() - before);
    }
  });
  int first = -1, second = -1, third = -1;
  std::istringstream(r.out) >> first >> second >> third;
  EXPECT_GE(first, 0) << r.out;
  EXPECT_EQ(second, 0) << r.out;
  EXPECT_EQ(third, 0) << r.out;
}

// ---- The primitive cache and the layer static, with primitives of the test ----

struct Log {
  int created = 0, destroyed = 0, executed = 0, creator_calls = 0;
  bool fail_create = false, fail_execute = false;
  const qel_ctx_struct* creator_ctx = nullptr;
} g_log;

class FakePrim : public qel::dnn::dnnl::Executor<2> {
 public:
  FakePrim() { ++g_log.created; }
  ~FakePrim() noexcept override { ++g_log.destroyed; }

 protected:
  void execute(void* const*) override {
    ++g_log.executed;
    if (g_log.fail_execute) throw std::runtime_error("execution failed");
  }
};
using FakeSingleton = DeviceSingleton<FakePrim>;

FakeSingleton::Item* create_fake(const qel_ctx_struct* ctx) {
  ++g_log.creator_calls;
  g_log.creator_ctx = ctx;
  if (g_log.fail_create) throw std::runtime_error("creation failed");
  return new DeviceItem<FakePrim>();
}
void initialize_fake(const qel_ctx_struct*, FakePrim&) { ADD_FAILURE() << "the initializer is never called"; }

TEST(DeviceSingleton, CreatesOnceOnFirstUseRetriesAfterFailuresAndDestroysItsItem) {
  qel_ctx_struct first{}, later{};
  {
    FakeSingleton s(create_fake, initialize_fake);
    EXPECT_EQ(g_log.creator_calls, 0) << "construction must not create";
    g_log.fail_create = true;
    EXPECT_THROW(s.get(&later), std::runtime_error);
    EXPECT_EQ(s.item, nullptr);
    g_log.fail_create = false;
    for (int i = 0; i < 4; ++i) s.get(i == 0 ? &first : &later)(nullptr, nullptr);
    EXPECT_EQ(g_log.creator_calls, 2);
    EXPECT_EQ(g_log.creator_ctx, &first);
    EXPECT_EQ(g_log.created, 1);
    EXPECT_EQ(g_log.executed, 4);
    g_log.fail_execute = true;  // a failed execution keeps the item
    auto* item = s.item;
    EXPECT_THROW(s.get(&later)(nullptr, nullptr), std::runtime_error);
    EXPECT_EQ(s.item, item);
    EXPECT_EQ(g_log.destroyed, 0);
  }
  EXPECT_EQ(g_log.destroyed, 1);
  { FakeSingleton unused(create_fake, initialize_fake); }
  EXPECT_EQ(g_log.destroyed, 1);
  FakeSingleton empty(nullptr, initialize_fake);
  EXPECT_THROW(empty.get(&first), std::bad_function_call);
}

void say(const std::string& line) { (void)!write(STDOUT_FILENO, line.data(), line.size()); }

// A primitive that says when it is destroyed.
class NamedPrim : public qel::dnn::dnnl::Executor<2> {
 public:
  explicit NamedPrim(char name) : name_(name) {}
  ~NamedPrim() noexcept override { say(std::string("~") + name_ + "\n"); }

 protected:
  void execute(void* const*) override {}

 private:
  char name_;
};
using NamedStatic = qel::dnn::LayerStatic<NamedPrim>;
bool g_creation_fails = false;

// A layer function as the library writes them: its layer static is built on
// its first call, and makes its primitive then or, if that fails, on a later call.
template <char Name>
void named_layer() {
  static NamedStatic layer(
      [](const qel_ctx_struct*) -> NamedStatic::Singleton::Item* {
        if (g_creation_fails) throw std::runtime_error("creation failed");
        return new DeviceItem<NamedPrim>(Name);
      },
      nullptr);
  layer.get(nullptr);
}

// Released with the handle layer: says so, then calls a released layer.
qel::ReleaseHook g_handle_layer_stage{[](void*) {
                                        say("handle layer\n");
                                        try {
                                          named_layer<'b'>();
                                          say("a released layer ran\n");
                                        } catch (const std::logic_error&) {
                                          say("a released layer refused\n");
                                        }
                                      },
                                      nullptr, nullptr};

// At exit the library's release destroys the layer statics' primitives in
// reverse order of the layers' first use (not of the primitives' creation),
// all before the handle layer's stage; a layer called afterwards refuses.
TEST(LayerStatic, ReleasedAtExitInReverseOrderOfFirstUseThenRefused) {
  const ChildResult r = run_in_child([] {
    qel::register_release(qel::ReleaseStage::kHandleLayer, &g_handle_layer_stage);
    named_layer<'a'>();
    g_creation_fails = true;
    try {
      named_layer<'b'>();  // first used here; its primitive comes after c's
    } catch (const std::runtime_error&) {
    }
    g_creation_fails = false;
    named_layer<'c'>();
    named_layer<'b'>();
    named_layer<'a'>();
    say("exit\n");
    std::exit(0);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "exit\n~c\n~b\n~a\nhandle layer\na released layer refused\n");
}

// A null data pointer is an exception naming the layer, not a write through
// null; the primitive survives its failed runs. The layers are a 3 x 3 dense
// layer of block 3 (weights 0.5 and source 1: a corner output sees 4 of the 9
// taps, 256) and a decoder convolution whose bias is missing.
TEST(Layers, NullDataPointersAreExceptionsNamingTheLayer) {
  std::vector<float> param(3 * 3 * 128 * 32, 0.5f), temp = param, src(32 * 2 * 2 * 128, 1.0f), dst(32 * 2 * 2 * 32),
      big(32 * 16 * 16 * 60);
  TestContext tc;
  tc.params[674] = tc.params[1020] = tensor_of(param.data());
  qel_tensor_struct t = tensor_of(temp.data()), s = tensor_of(src.data()), d = tensor_of(dst.data()),
                    none = tensor_of(nullptr), b = tensor_of(big.data());
  QEL_DNN_NAME(846E)(tc.get(), &t);
  try {
    QEL_DNN_NAME(82F0)(tc.get(), &none, &s, &t);
    FAIL() << "a null destination was accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.layer(), "82F0 (convolution)");
    EXPECT_NE(std::string(e.what()).find("destination"), std::string::npos) << e.what();
  }
  EXPECT_THROW(QEL_DNN_NAME(82F0)(tc.get(), &d, &none, &t), Error);
  EXPECT_THROW(QEL_DNN_NAME(82F0)(tc.get(), &d, &s, &none), Error);
  QEL_DNN_NAME(82F0)(tc.get(), &d, &s, &t);
  EXPECT_FLOAT_EQ(dst[0], 256.0f);
  QEL_DNN_NAME(855B)(tc.get(), &t);
  EXPECT_THROW(QEL_DNN_NAME(8214)(tc.get(), &b, &b, &t), Error);
  tc.params[674] = tensor_of(nullptr);
  EXPECT_THROW(QEL_DNN_NAME(846E)(tc.get(), &t), Error);
}

}  // namespace
