// Latency of one prediction of the whole network after memory planning, at one
// thread and at all threads (median over repetitions), and the arena that
// planning found.
//
// Each thread count runs in a process of its own, forked before the library
// has done any work: the convolution primitives and the kernels' per-thread
// scratch are set up for the thread count of the first run and kept, so a run
// at fewer threads in the same process would still use the first run's count.
#include <benchmark/benchmark.h>
#include <omp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "runtime/qel_memory.h"
#include "x86/src/qel_pellavine.h"

namespace {

std::vector<float> g_input(32 * 32 * 32 * 3);
std::vector<float> g_output(32 * 16 * 16 * 1);

void BM_Predict(benchmark::State& state) {
  for (auto _ : state) {
    qel_predict(g_input.data(), g_output.data());
    benchmark::DoNotOptimize(g_output.data());
    benchmark::ClobberMemory();
  }
  state.counters["threads"] = omp_get_max_threads();
  state.counters["arena_bytes"] = static_cast<double>(qel::nvidia::state().peak);
  state.counters["images_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 32, benchmark::Counter::kIsRate);
}

// Plans at `threads` threads and benchmarks predictions at the same count.
int run_at(int threads) {
  omp_set_num_threads(threads);
  for (size_t i = 0; i < g_input.size(); ++i) g_input[i] = static_cast<float>(i % 251) / 125.0f - 1.0f;
  qel_pellavine_set_IO(g_input.data(), g_output.data());
  qel_pellavine_optimize(1);
  benchmark::RegisterBenchmark(("BM_Predict/threads:" + std::to_string(threads)).c_str(), BM_Predict)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinTime(1.0)
      ->Repetitions(5)
      ->ReportAggregatesOnly(true);
  benchmark::RunSpecifiedBenchmarks();
  qel_pellavine_free();
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const int all = omp_get_max_threads();
  std::vector<int> counts = {1};
  if (all > 1) counts.push_back(all);
  int status = 0;
  for (int threads : counts) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) _exit(run_at(threads));
    int st = 0;
    waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) status = 1;
  }
  return status;
}
