// Throughput of the data-movement and decoder kernels over buffers of the
// network's sizes, called through their wrappers on the default OpenMP team.
// Bytes counted are those read plus those written; BM_Memcpy moves the same
// payload with memcpy as the yardstick.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel_table.h"

using namespace kt;

namespace {

std::vector<float> filled(size_t n) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(static_cast<int>(i % 97) - 48) * 0.125f;
  return v;
}

// Copies chosen for their shapes: a dense copy of block 1 (2048 x 32 into a
// 256-wide buffer), the block-input copy of block 4 (32 x 896), the skip copy
// of decoder stage 1 (128 x 256) and of stage 4 (8192 x 64).
const char* const kCopies[] = {"853D", "82E5", "84B1", "8555"};

void BM_ConcatCopy(benchmark::State& state) {
  const Row& r = find(kCopies[state.range(0)]);
  std::vector<float> src = filled(static_cast<size_t>(r.R) * r.S), dst(static_cast<size_t>(r.R) * r.Xs);
  qel_tensor_struct in = tensor(src.data()), out = tensor(dst.data());
  for (auto _ : state) {
    call(r, nullptr, {&in, &out});
    benchmark::ClobberMemory();
  }
  state.SetLabel(r.id);
  state.SetBytesProcessed(state.iterations() * int64_t{2} * r.R * r.S * 4);
}
BENCHMARK(BM_ConcatCopy)->DenseRange(0, 3)->UseRealTime();

void BM_Memcpy(benchmark::State& state) {
  const Row& r = find(kCopies[state.range(0)]);
  const size_t bytes = static_cast<size_t>(r.R) * r.S * 4;
  std::vector<float> src = filled(bytes / 4), dst(bytes / 4);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetLabel("payload of " + r.id);
  state.SetBytesProcessed(state.iterations() * int64_t{2} * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Memcpy)->DenseRange(0, 3)->UseRealTime();

void BM_InputPad(benchmark::State& state) {
  std::vector<float> src = filled(32 * 32 * 32 * 3), dst(32 * 38 * 38 * 3);
  Context c;
  c.input.data = src.data();
  qel_tensor_struct out = tensor(dst.data());
  const Row& r = find(kPad);
  for (auto _ : state) {
    call(r, &c.ctx, {&out});
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{4} * (32 * 32 * 32 * 3 + 32 * 38 * 38 * 3));
}
BENCHMARK(BM_InputPad)->UseRealTime();

void BM_LeakyRelu(benchmark::State& state) {
  const Row& r = find(kLeaky);  // 8213, 491520 elements
  std::vector<float> src = filled(static_cast<size_t>(r.count)), dst(src.size());
  qel_tensor_struct in = tensor(src.data()), out = tensor(dst.data());
  for (auto _ : state) {
    call(r, nullptr, {&in, &out});
    benchmark::ClobberMemory();
  }
  state.SetLabel(r.id);
  state.SetBytesProcessed(state.iterations() * int64_t{8} * r.count);
}
BENCHMARK(BM_LeakyRelu)->UseRealTime();

void BM_UpsampleBilinear(benchmark::State& state) {
  const Row& r = find(kUpsample);
  std::vector<float> src = filled(32 * 960), dst(128 * 1216);
  qel_tensor_struct in = tensor(src.data()), out = tensor(dst.data());
  for (auto _ : state) {
    call(r, nullptr, {&in, &out});
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{4} * (32 * 960 + 128 * 960));
}
BENCHMARK(BM_UpsampleBilinear)->UseRealTime();

const char* const kFused[] = {"8222", "821D", "8218"};

void BM_LeakyReluUpsample(benchmark::State& state) {
  const Row& r = find(kFused[state.range(0)]);
  const int64_t in_n = int64_t{32} * r.H * r.W * r.C, out_n = 4 * in_n;
  std::vector<float> src = filled(static_cast<size_t>(in_n)),
                     dst(static_cast<size_t>(int64_t{32} * 4 * r.H * r.W * r.Cdst));
  Context c;
  qel_tensor_struct in = tensor(src.data()), out = tensor(dst.data());
  for (auto _ : state) {
    call(r, &c.ctx, {&in, &out});
    c.handle.requests.clear();
    benchmark::ClobberMemory();
  }
  state.SetLabel(r.id);
  state.SetBytesProcessed(state.iterations() * 4 * (in_n + out_n));
}
BENCHMARK(BM_LeakyReluUpsample)->DenseRange(0, 2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
