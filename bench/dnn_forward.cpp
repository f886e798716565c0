// Time of all 210 weight reorders and convolutions of one forward pass, on
// buffers of the network's sizes with random weights, and the oneDNN
// implementation each convolution got. The convolutions alone report their
// rate in GFLOP/s (nominal: every tap, also those in the zero padding;
// useful: only taps that read the source) and its fraction of the machine's
// FMA peak measured beside them, with FMAs of the width of the instruction
// set that oneDNN reports using; the reorders alone report their bandwidth
// (bytes read plus bytes written), next to a plain parallel copy of the same
// parameters as the yardstick.
#include <benchmark/benchmark.h>

#include <omp.h>
#include <oneapi/dnnl/dnnl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dnn_layers.h"
#include "fma_peak.h"

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

  void pass(bool convolve = true, bool reorder = true) {
    qel_tensor_struct s = tensor_of(src.data()), d = tensor_of(dst.data()), w = tensor_of(wei.data());
    for (const Callers& c : kCallers) {
      if (reorder) c.reorder(&ctx, &w);
      if (convolve) c.conv(&ctx, &s, &d, &w);
    }
  }
};

// Taps along one spatial axis that read the source rather than the padding,
// summed over the output positions.
double valid_taps(const ConvShape& s) {
  double n = 0;
  for (int o = 0; o < s.hout; ++o)
    for (int k = 0; k < s.k; ++k) {
      const int i = o * s.stride - s.pad + k;
      n += i >= 0 && i < s.hin;
    }
  return n;
}

// Floating-point operations of all convolutions of one pass (a multiply and
// an add per tap and channel pair), with and without the padding taps.
struct ConvFlops {
  double nominal = 0, useful = 0;
  ConvFlops() {
    for (const auto& l : kLayers) {
      const ConvShape& s = l.shape;
      const double per_tap = 2.0 * 32 * s.cin * s.cout;
      nominal += per_tap * s.hout * s.hout * s.k * s.k;
      const double v = valid_taps(s);
      useful += per_tap * v * v;
    }
  }
};

// Bytes the weight reorders of one pass read and write.
double reorder_bytes() {
  double b = 0;
  for (const auto& l : kLayers) {
    const ConvShape& s = l.shape;
    const double plain = 4.0 * s.k * s.k * s.cin;
    b += plain * s.cout + plain * s.padded_cout();
  }
  return b;
}

// Lanes of the FMAs of the instruction set oneDNN reports using: its
// convolutions run AVX-512 code wherever the processor has it (unless
// ONEDNN_MAX_CPU_ISA limits it), so the yardstick must run the same width.
int onednn_lanes() { return (dnnl_get_effective_cpu_isa() & dnnl_cpu_isa_avx512_core) == dnnl_cpu_isa_avx512_core ? 16 : 8; }

// The machine's FMA peak at the benchmark's thread count and oneDNN's vector
// width, measured once.
double peak_gflops() {
  static const double peak = fmapeak::measure_gflops(omp_get_max_threads(), onednn_lanes());
  return peak;
}

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
  state.counters["GBps"] = benchmark::Counter(reorder_bytes() * static_cast<double>(state.iterations()) * 1e-9,
                                              benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DnnReordersOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DnnConvsOnly(benchmark::State& state) {
  Network& n = network();
  static const ConvFlops flops;
  const double peak = peak_gflops();
  n.pass(false);  // weights of every layer written once; the last layer's stay
  const auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    n.pass(true, false);
    benchmark::DoNotOptimize(n.dst.data());
    benchmark::ClobberMemory();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double gflops = flops.nominal * static_cast<double>(state.iterations()) * 1e-9 / seconds;
  const double useful = gflops * flops.useful / flops.nominal;
  state.counters["GFLOPs"] = gflops;
  state.counters["useful_GFLOPs"] = useful;
  state.counters["peak_GFLOPs"] = peak;
  state.counters["of_peak"] = gflops / peak;
  state.counters["useful_of_peak"] = useful / peak;
  state.counters["threads"] = omp_get_max_threads();
  state.counters["peak_lanes"] = onednn_lanes();
}
BENCHMARK(BM_DnnConvsOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// The yardstick of the reorders: every weights parameter copied unchanged
// into the weights buffer, in layer order, split evenly over the threads.
void BM_PlainWeightCopy(benchmark::State& state) {
  Network& n = network();
  double bytes = 0;
  for (const auto& l : kLayers) bytes += 8.0 * n.params[l.weights_param].size();
  for (auto _ : state) {
    for (const auto& l : kLayers) {
      const std::vector<float>& p = n.params[l.weights_param];
      const long total = static_cast<long>(p.size());
#pragma omp parallel
      {
        const long t = omp_get_thread_num(), nt = omp_get_num_threads();
        const long begin = total * t / nt, end = total * (t + 1) / nt;
        std::memcpy(n.wei.data() + begin, p.data() + begin, sizeof(float) * static_cast<size_t>(end - begin));
      }
    }
    benchmark::ClobberMemory();
  }
  state.counters["GBps"] =
      benchmark::Counter(bytes * static_cast<double>(state.iterations()) * 1e-9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PlainWeightCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
