// Latency of one prediction of the whole network after memory planning, at one
// thread and at all threads (median over repetitions), and the arena that
// planning found.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/qel_memory.h"
#include "x86/src/qel_pellavine.h"

namespace {

std::vector<float> g_input(32 * 32 * 32 * 3);
std::vector<float> g_output(32 * 16 * 16 * 1);
int g_all_threads = 1;

void plan_once() {
  for (size_t i = 0; i < g_input.size(); ++i) g_input[i] = static_cast<float>(i % 251) / 125.0f - 1.0f;
  qel_pellavine_set_IO(g_input.data(), g_output.data());
  // Planning sizes the kernels' per-thread scratch for the thread count of this
  // run, so it runs with all threads; runs with fewer threads fit in its plan.
  g_all_threads = omp_get_max_threads();
  qel_pellavine_optimize(1);
}

void BM_Predict(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  omp_set_num_threads(threads);
  for (auto _ : state) {
    qel_predict(g_input.data(), g_output.data());
    benchmark::DoNotOptimize(g_output.data());
    benchmark::ClobberMemory();
  }
  omp_set_num_threads(g_all_threads);
  state.counters["threads"] = threads;
  state.counters["arena_MiB"] = static_cast<double>(qel::nvidia::state().peak) / (1024.0 * 1024.0);
  state.counters["images_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 32, benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  plan_once();
  for (int threads : {1, g_all_threads}) {
    benchmark::RegisterBenchmark("BM_Predict", BM_Predict)
        ->Arg(threads)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(1.0)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
    if (g_all_threads == 1) break;
  }
  benchmark::RunSpecifiedBenchmarks();
  qel_pellavine_free();
  return 0;
}
