// The machine's single-precision FMA peak as a register-only loop reaches it:
// each thread keeps twelve independent accumulators in registers and applies
// an FMA to each in turn, so neither memory nor the latency of one FMA chain
// limits the rate. The loop runs 8-lane AVX2 FMAs, or 16-lane AVX-512 FMAs
// where the processor has them and the yardstick is to match code that uses
// them (oneDNN's own kernels pick the widest instruction set the processor
// offers). Used on its own (bench_dnn_peak) and as the yardstick of the
// convolutions' achieved rate (bench_dnn_forward).
//
// The AVX-512 loop is written in assembly: nothing here or in the library is
// compiled for AVX-512, and the loop runs only after the processor has said
// that it has AVX-512.
#pragma once
#include <immintrin.h>
#include <omp.h>

#include <chrono>
#include <cstdint>

namespace fmapeak {

constexpr int kAccumulators = 12;

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

// The same loop with 16-lane AVX-512 FMAs (zmm0 to zmm11 the accumulators,
// zmm12 and zmm13 the factors). Only for a processor with AVX-512F.
__attribute__((noinline)) inline float fma_loop_avx512(int64_t steps, float seed) {
  alignas(64) float acc[kAccumulators * 16];
  for (int i = 0; i < kAccumulators * 16; ++i) acc[i] = seed + 0.001f * static_cast<float>(i / 16);
  const float a = 0.999999f, b = 1e-7f;
  if (steps < 1) steps = 1;
#define QEL_ZMM_EACH(op) \
  op(0, "0") op(1, "64") op(2, "128") op(3, "192") op(4, "256") op(5, "320") op(6, "384") op(7, "448") op(8, "512") \
      op(9, "576") op(10, "640") op(11, "704")
#define QEL_ZMM_LOAD(r, off) "vmovups " off "(%[acc]), %%zmm" #r "\n\t"
#define QEL_ZMM_FMA(r, off) "vfmadd213ps %%zmm13, %%zmm12, %%zmm" #r "\n\t"
#define QEL_ZMM_STORE(r, off) "vmovups %%zmm" #r ", " off "(%[acc])\n\t"
  asm volatile("vbroadcastss %[a], %%zmm12\n\t"
               "vbroadcastss %[b], %%zmm13\n\t" QEL_ZMM_EACH(QEL_ZMM_LOAD) "1:\n\t" QEL_ZMM_EACH(QEL_ZMM_FMA)
               "dec %[n]\n\t"
               "jnz 1b\n\t" QEL_ZMM_EACH(QEL_ZMM_STORE) "vzeroupper\n\t"
               : [n] "+r"(steps)
               : [acc] "r"(acc), [a] "m"(a), [b] "m"(b)
               : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
                 "xmm12", "xmm13", "memory", "cc");
#undef QEL_ZMM_EACH
#undef QEL_ZMM_LOAD
#undef QEL_ZMM_FMA
#undef QEL_ZMM_STORE
  float r = 0.0f;
  for (float x : acc) r += x;
  return r;
}

inline bool has_avx512() { return __builtin_cpu_supports("avx512f"); }

// Floating-point operations of one step of the loop of `lanes` lanes.
inline int64_t flops_per_step(int lanes) { return int64_t{kAccumulators} * lanes * 2; }

// Runs the loop of `lanes` lanes (8, or 16 on a processor with AVX-512) for
// `steps` rounds on each of `threads` threads at once; returns the sum of
// the threads' results.
inline float run(int threads, int64_t steps, int lanes = 8) {
  float total = 0.0f;
#pragma omp parallel num_threads(threads) reduction(+ : total)
  {
    const float seed = 1.0f + 0.01f * static_cast<float>(omp_get_thread_num());
    total += lanes == 16 ? fma_loop_avx512(steps, seed) : fma_loop(steps, seed);
  }
  return total;
}

// Measured peak in GFLOP/s at `threads` threads with FMAs of `lanes` lanes:
// the best of a few runs of about 50 ms each (after one warm-up run).
inline double measure_gflops(int threads, int lanes = 8) {
  const int64_t steps = 4000000;
  volatile float sink = run(threads, steps / 4, lanes);
  double best = 0.0;
  for (int rep = 0; rep < 5; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    sink = sink + run(threads, steps, lanes);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double gflops = static_cast<double>(steps) * flops_per_step(lanes) * threads / s * 1e-9;
    if (gflops > best) best = gflops;
  }
  (void)sink;
  return best;
}

}  // namespace fmapeak
