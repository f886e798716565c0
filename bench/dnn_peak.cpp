// The single-precision FMA peak of this machine as a register-only loop
// reaches it, at one thread and at all of OpenMP's threads, with AVX2 FMAs
// and, where the processor has them, AVX-512 FMAs: the yardsticks of the
// convolutions' rate in bench_dnn_forward.
#include <benchmark/benchmark.h>
#include <omp.h>

#include "fma_peak.h"

namespace {

// Arguments: threads (0: all of OpenMP's), lanes (8: AVX2, 16: AVX-512).
void BM_FmaPeak(benchmark::State& state) {
  const int threads = state.range(0) == 0 ? omp_get_max_threads() : static_cast<int>(state.range(0));
  const int lanes = static_cast<int>(state.range(1));
  if (lanes == 16 && !fmapeak::has_avx512()) {
    state.SkipWithError("the processor has no AVX-512");
    return;
  }
  const int64_t steps = 2000000;
  float sink = 0.0f;
  for (auto _ : state) {
    sink += fmapeak::run(threads, steps, lanes);
    benchmark::DoNotOptimize(sink);
  }
  const double flops = static_cast<double>(steps) * fmapeak::flops_per_step(lanes) * threads;
  state.counters["threads"] = threads;
  state.counters["lanes"] = lanes;
  state.counters["GFLOPs"] = benchmark::Counter(flops * static_cast<double>(state.iterations()) * 1e-9,
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FmaPeak)->Args({1, 8})->Args({0, 8})->Args({1, 16})->Args({0, 16})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
