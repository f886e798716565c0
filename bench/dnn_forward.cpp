// Time of all 210 weight reorders and convolutions of one forward pass, on
// buffers of the network's sizes with random weights, and the oneDNN
// implementation each convolution got.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dnn_layers.h"

#define Q(id) qel_x86_4602A7A4_00000000_D0_dnn_dnnl_##id

namespace {

using qel::dnn::layers::ConvShape;
using qel::dnn::layers::kLayers;
using ReorderFn = void (*)(const qel_ctx_struct*, qel_tensor_struct*);
using ConvCall = void (*)(const qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*, qel_tensor_struct*);

struct Callers {
  ReorderFn reorder;
  ConvCall conv;  // (source, destination, weights)
};
#define CALL_A(id) [](auto c, auto s, auto d, auto w) { Q(id)(c, d, s, w); }
#define CALL_B(id) [](auto c, auto s, auto d, auto w) { Q(id)(c, s, d, w); }
#define CALL_C(id) [](auto c, auto s, auto d, auto w) { Q(id)(c, d, w, s); }
#define CALL_D(id) [](auto c, auto s, auto, auto w) { Q(id)(c, s, w); }
const Callers kCallers[] = {
#define QEL_DNN_LAYER(cid, cT, cpart, ord, rid, rT, rpart, wp, bp, K, S, P, Cin, Hin, Cout, Hout, B) \
  {Q(rid), CALL_##ord(cid)},
#include "dnn_layers.def"
#undef QEL_DNN_LAYER
};

qel_tensor_struct tensor_of(void* data) {
  qel_tensor_struct t{};
  t.dtype = QEL_F32;
  t.data = data;
  return t;
}

// The network's weights and biases, activations of the largest size, and a
// context pointing at them. The first pass creates every primitive.
struct Network {
  std::vector<std::vector<float>> params = std::vector<std::vector<float>>(1024);
  std::vector<qel_tensor_struct> param_desc = std::vector<qel_tensor_struct>(1024);
  std::vector<qel_tensor_struct> output_desc = std::vector<qel_tensor_struct>(1);
  std::vector<float> src, dst, wei;
  qel_ctx_struct ctx{};
  std::string summary;

  Network() {
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> dist(-0.05f, 0.05f);
    size_t src_max = 0, dst_max = 0, wei_max = 0;
    for (const auto& l : kLayers) {
      const ConvShape& s = l.shape;
      params[l.weights_param].resize(static_cast<size_t>(s.k) * s.k * s.cin * s.cout);
      if (l.bias_param >= 0) params[l.bias_param].resize(s.cout);
      src_max = std::max(src_max, static_cast<size_t>(32) * s.hin * s.hin * s.cin);
      dst_max = std::max(dst_max, static_cast<size_t>(32) * s.hout * s.hout * s.cout);
      wei_max = std::max(wei_max, static_cast<size_t>(s.padded_cout()) * s.k * s.k * s.cin);
    }
    for (size_t i = 0; i < params.size(); ++i) {
      for (float& x : params[i]) x = dist(gen);
      param_desc[i] = tensor_of(params[i].empty() ? nullptr : params[i].data());
    }
    src.resize(src_max);
    for (float& x : src) x = dist(gen) + 0.05f;
    dst.resize(dst_max);
    wei.resize(wei_max);
    output_desc[0] = tensor_of(dst.data());
    ctx.params = param_desc.data();
    ctx.outputs = output_desc.data();
    ctx.num_params = 1024;
    ctx.num_outputs = 1;
    pass();

    std::map<std::string, int> count;
    std::fprintf(stderr, "layer: implementation\n");
    for (const auto& r : qel::dnn::dnnl::created_primitives()) {
      if (!r.convolution) continue;
      const std::string impl = r.impl + (r.weights_converted ? " + weights via " + r.converter_impl : "");
      ++count[impl];
      std::fprintf(stderr, "%s: %s\n", r.layer.c_str(), impl.c_str());
    }
    for (const auto& kv : count) summary += std::to_string(kv.second) + " x " + kv.first + "; ";
    summary += "shared scratch " + std::to_string(qel::dnn::dnnl::shared_scratch_bytes() >> 20) + " MiB";
    std::fprintf(stderr, "%s\n", summary.c_str());
  }

  void pass(bool convolve = true) {
    qel_tensor_struct s = tensor_of(src.data()), d = tensor_of(dst.data()), w = tensor_of(wei.data());
    for (const Callers& c : kCallers) {
      c.reorder(&ctx, &w);
      if (convolve) c.conv(&ctx, &s, &d, &w);
    }
  }
};

Network& network() {
  static Network n;
  return n;
}

void BM_DnnForwardPass(benchmark::State& state) {
  Network& n = network();
  for (auto _ : state) {
    n.pass();
    benchmark::DoNotOptimize(n.dst.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(n.summary);
}
BENCHMARK(BM_DnnForwardPass)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DnnReordersOnly(benchmark::State& state) {
  Network& n = network();
  for (auto _ : state) {
    n.pass(false);
    benchmark::DoNotOptimize(n.wei.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DnnReordersOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
