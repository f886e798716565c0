// The machine's single-precision FMA peak as a register-only loop reaches it:
// each thread keeps twelve independent 8-wide accumulators in registers and
// applies an AVX2 FMA to each in turn, so neither memory nor the latency of
// one FMA chain limits the rate. Used on its own (bench_dnn_peak) and as the
// yardstick of the convolutions' achieved rate (bench_dnn_forward).
#pragma once
#include <immintrin.h>
#include <omp.h>

#include <chrono>
#include <cstdint>

namespace fmapeak {

constexpr int kAccumulators = 12;
constexpr int64_t kFlopsPerStep = int64_t{kAccumulators} * 8 * 2;

// Runs `steps` rounds of kAccumulators FMAs on the calling thread; returns a
// value depending on every accumulator so that none can be dropped.
__attribute__((noinline)) inline float fma_loop(int64_t steps, float seed) {
  const __m256 a = _mm256_set1_ps(0.999999f);
  const __m256 b = _mm256_set1_ps(1e-7f);
  __m256 acc[kAccumulators];
  for (int i = 0; i < kAccumulators; ++i) acc[i] = _mm256_set1_ps(seed + 0.001f * static_cast<float>(i));
  for (int64_t s = 0; s < steps; ++s) {
    // Twelve independent chains: with an FMA latency of four cycles and two
    // FMA ports, eight in flight keep both ports busy.
    acc[0] = _mm256_fmadd_ps(acc[0], a, b);
    acc[1] = _mm256_fmadd_ps(acc[1], a, b);
    acc[2] = _mm256_fmadd_ps(acc[2], a, b);
    acc[3] = _mm256_fmadd_ps(acc[3], a, b);
    acc[4] = _mm256_fmadd_ps(acc[4], a, b);
    acc[5] = _mm256_fmadd_ps(acc[5], a, b);
    acc[6] = _mm256_fmadd_ps(acc[6], a, b);
    acc[7] = _mm256_fmadd_ps(acc[7], a, b);
    acc[8] = _mm256_fmadd_ps(acc[8], a, b);
    acc[9] = _mm256_fmadd_ps(acc[9], a, b);
    acc[10] = _mm256_fmadd_ps(acc[10], a, b);
    acc[11] = _mm256_fmadd_ps(acc[11], a, b);
  }
  __m256 sum = acc[0];
  for (int i = 1; i < kAccumulators; ++i) sum = _mm256_add_ps(sum, acc[i]);
  alignas(32) float out[8];
  _mm256_store_ps(out, sum);
  float r = 0.0f;
  for (float x : out) r += x;
  return r;
}

// Runs the loop for `steps` rounds on each of `threads` threads at once;
// returns the sum of the threads' results.
inline float run(int threads, int64_t steps) {
  float total = 0.0f;
#pragma omp parallel num_threads(threads) reduction(+ : total)
  total += fma_loop(steps, 1.0f + 0.01f * static_cast<float>(omp_get_thread_num()));
  return total;
}

// Measured peak in GFLOP/s at `threads` threads: the best of a few runs of
// about 50 ms each (after one warm-up run).
inline double measure_gflops(int threads) {
  const int64_t steps = 4000000;
  volatile float sink = run(threads, steps / 4);
  double best = 0.0;
  for (int rep = 0; rep < 5; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    sink = sink + run(threads, steps);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double gflops = static_cast<double>(steps) * kFlopsPerStep * threads / s * 1e-9;
    if (gflops > best) best = gflops;
  }
  (void)sink;
  return best;
}

}  // namespace fmapeak
