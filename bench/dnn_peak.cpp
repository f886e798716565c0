// The single-precision FMA peak of this machine as a register-only AVX2 loop
// reaches it, at one thread and at all of OpenMP's threads: the yardstick of
// the convolutions' rate in bench_dnn_forward.
#include <benchmark/benchmark.h>
#include <omp.h>

#include "fma_peak.h"

namespace {

void BM_FmaPeak(benchmark::State& state) {
  const int threads = state.range(0) == 0 ? omp_get_max_threads() : static_cast<int>(state.range(0));
  const int64_t steps = 2000000;
  float sink = 0.0f;
  for (auto _ : state) {
    sink += fmapeak::run(threads, steps);
    benchmark::DoNotOptimize(sink);
  }
  const double flops = static_cast<double>(steps) * fmapeak::kFlopsPerStep * threads;
  state.counters["threads"] = threads;
  state.counters["GFLOPs"] = benchmark::Counter(flops * static_cast<double>(state.iterations()) * 1e-9,
                                                benchmark::Counter::kIsRate);
}
// 0 stands for all of OpenMP's threads.
BENCHMARK(BM_FmaPeak)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
