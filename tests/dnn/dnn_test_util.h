// Helpers of the layer tests: a test context, seeded random data, buffers with
// a guard zone, uniform callers of every layer of the table, and a naive
// convolution written in plain loops.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

#include "dnn_layers.h"
#include "runtime/qel_records.h"

namespace dnntest {

using qel::dnn::layers::ConvShape;
using qel::dnn::layers::kLayers;
using qel::dnn::layers::LayerRow;

// A context whose 1024 parameters and one output the test fills itself.
struct TestContext {
  std::vector<qel_tensor_struct> params = std::vector<qel_tensor_struct>(1024);
  std::vector<qel_tensor_struct> outputs = std::vector<qel_tensor_struct>(1);
  qel_ctx_struct ctx{};
  TestContext() {
    ctx.params = params.data();
    ctx.outputs = outputs.data();
    ctx.num_params = 1024;
    ctx.num_outputs = 1;
  }
  const qel_ctx_struct* get() const { return &ctx; }
};

inline qel_tensor_struct tensor_of(void* data) {
  qel_tensor_struct t{};
  t.data = data;
  t.dtype = QEL_F32;
  return t;
}

inline std::vector<float> random_values(size_t n, uint32_t seed, float scale = 1.0f) {
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
  float* data() { return v.data(); }
  float& operator[](size_t i) { return v[i]; }
  bool guard_intact() const { return std::all_of(v.begin() + static_cast<long>(size), v.end(), [](float x) { return std::isnan(x); }); }
  size_t size;
  std::vector<float> v;
};

inline size_t weights_temp_size(const ConvShape& s) { return static_cast<size_t>(s.padded_cout()) * s.k * s.k * s.cin; }

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
#define QEL_TEST_CALL_A(id) [](auto c, auto s, auto d, auto w) { QEL_DNN_NAME(id)(c, d, s, w); }
#define QEL_TEST_CALL_B(id) [](auto c, auto s, auto d, auto w) { QEL_DNN_NAME(id)(c, s, d, w); }
#define QEL_TEST_CALL_C(id) [](auto c, auto s, auto d, auto w) { QEL_DNN_NAME(id)(c, d, w, s); }
#define QEL_TEST_CALL_D(id) [](auto c, auto s, auto, auto w) { QEL_DNN_NAME(id)(c, s, w); }
inline const std::vector<LayerCallers>& layer_callers() {
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
inline std::vector<double> naive_conv_image(const float* src, const ConvShape& s, const float* w, const float* bias,
                                            int n) {
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

}  // namespace dnntest
