// Where one prediction's time goes: the whole run after memory planning,
// split into its convolutions, weight reorders, batch-normalisation kernels
// and data-movement kernels, and what remains outside the operators. Every
// operator call of the network function goes through a timing wrapper (the
// linker's --wrap, options from operator_wraps.cpp); the counters are medians
// over the runs, at OpenMP's thread count (set OMP_NUM_THREADS).
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "network_operators.h"
#include "x86/src/qel_pellavine.h"

namespace {

enum Kind { kConv, kReorder, kNorm, kMove, kKinds };
double g_ms[kKinds];

// Ids of the data-movement and decoder kernels; every other kernel is a
// batch normalisation.
constexpr unsigned kMoveIds[] = {
#define QEL_MOVE_ID(part, id, ...) 0x##id,
#define QEL_DFP_CONCAT_COPY QEL_MOVE_ID
#define QEL_DFP_INPUT_PAD QEL_MOVE_ID
#define QEL_DFP_LEAKY_RELU QEL_MOVE_ID
#define QEL_DFP_UPSAMPLE_BILINEAR QEL_MOVE_ID
#define QEL_DFP_LEAKY_RELU_UPSAMPLE QEL_MOVE_ID
#include "dfp_move_instances.def"
};

constexpr Kind kind_of(bool layer, int tensors, unsigned id) {
  if (layer) return tensors == 1 ? kReorder : kConv;
  for (unsigned m : kMoveIds)
    if (m == id) return kMove;
  return kNorm;
}

class Timed {
 public:
  explicit Timed(Kind k) : kind_(k), t0_(std::chrono::steady_clock::now()) {}
  ~Timed() { g_ms[kind_] += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0_).count(); }

 private:
  Kind kind_;
  std::chrono::steady_clock::time_point t0_;
};

}  // namespace

#define QEL_NAMED_dnn_dnnl_1 const qel_ctx_struct* c, qel_tensor_struct* a
#define QEL_NAMED_dnn_dnnl_2 QEL_NAMED_dnn_dnnl_1, qel_tensor_struct* b
#define QEL_NAMED_dnn_dnnl_3 QEL_NAMED_dnn_dnnl_2, qel_tensor_struct* d
#define QEL_NAMED_dfp_ispc_1 qel_ctx_struct* c, qel_tensor_struct* a
#define QEL_NAMED_dfp_ispc_2 QEL_NAMED_dfp_ispc_1, qel_tensor_struct* b
#define QEL_NAMED_dfp_ispc_3 QEL_NAMED_dfp_ispc_2, qel_tensor_struct* d
#define QEL_NAMED_dfp_ispc_4 QEL_NAMED_dfp_ispc_3, qel_tensor_struct* e
#define QEL_ARGS_1 c, a
#define QEL_ARGS_2 c, a, b
#define QEL_ARGS_3 c, a, b, d
#define QEL_ARGS_4 c, a, b, d, e
#define QEL_CAT3(a, b, c) a##b##c
#define QEL_REAL(family, id) QEL_CAT3(__real_, qel_x86_4602A7A4_00000000_D0_##family##_, id)
#define QEL_WRAPPER(family, id) QEL_CAT3(__wrap_, qel_x86_4602A7A4_00000000_D0_##family##_, id)
#define QEL_TIMED_OPERATOR(family, tensors, id)                                      \
  void QEL_REAL(family, id)(QEL_NET_PARAMS_##family##_##tensors);                    \
  void QEL_WRAPPER(family, id)(QEL_NAMED_##family##_##tensors) {                     \
    const Timed t(kind_of(#family[1] == 'n', tensors, 0x##id));                      \
    QEL_REAL(family, id)(QEL_ARGS_##tensors);                                        \
  }
extern "C" {
QEL_NET_OPERATORS(QEL_TIMED_OPERATOR)
}

namespace {

std::vector<float> g_input(32 * 32 * 32 * 3);
std::vector<float> g_output(32 * 16 * 16 * 1);

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

void BM_RunByOperatorKind(benchmark::State& state) {
  for (size_t i = 0; i < g_input.size(); ++i) g_input[i] = static_cast<float>(i % 251) / 125.0f - 1.0f;
  qel_pellavine_set_IO(g_input.data(), g_output.data());
  qel_pellavine_optimize(1);
  std::vector<double> per[kKinds], outside, total;
  for (auto _ : state) {
    std::fill(g_ms, g_ms + kKinds, 0.0);
    const auto t0 = std::chrono::steady_clock::now();
    qel_pellavine_run();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    double inside = 0;
    for (int k = 0; k < kKinds; ++k) {
      per[k].push_back(g_ms[k]);
      inside += g_ms[k];
    }
    outside.push_back(ms - inside);
    total.push_back(ms);
  }
  benchmark::DoNotOptimize(g_output.data());
  state.counters["threads"] = omp_get_max_threads();
  state.counters["run_ms"] = median(total);
  state.counters["conv_ms"] = median(per[kConv]);
  state.counters["reorder_ms"] = median(per[kReorder]);
  state.counters["norm_ms"] = median(per[kNorm]);
  state.counters["move_ms"] = median(per[kMove]);
  state.counters["outside_ms"] = median(outside);
}
BENCHMARK(BM_RunByOperatorKind)->Iterations(101)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
