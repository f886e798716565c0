// Throughput of the data-movement and decoder kernels over buffers of the
// network's sizes, called through their wrappers on the default OpenMP team.
// Bytes counted are those read plus those written; BM_Memcpy moves the same
// payload with memcpy as the yardstick.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "move_kernels.h"

using namespace movetest;

namespace {

std::vector<float> filled(size_t n) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>(static_cast<int>(i % 97) - 48) * 0.125f;
  return v;
}

const CopyRow& copy_row(const char* id) {
  for (const CopyRow& r : copies())
    if (std::string(id) == r.k.id) return r;
  return copies().front();
}

const FusedRow& fused_row(const char* id) {
  for (const FusedRow& r : fused())
    if (std::string(id) == r.k.id) return r;
  return fused().front();
}

// Copies chosen for their shapes: a dense copy of block 1 (2048 x 32 into a
// 256-wide buffer), the block-input copy of block 4 (32 x 896), the skip copy
// of decoder stage 1 (128 x 256) and of stage 4 (8192 x 64).
const char* const kCopies[] = {"853D", "82E5", "84B1", "8555"};

void BM_ConcatCopy(benchmark::State& state) {
  const CopyRow& r = copy_row(kCopies[state.range(0)]);
  std::vector<float> src = filled(static_cast<size_t>(r.R) * r.S), dst(static_cast<size_t>(r.R) * r.W);
  qel_tensor_struct in = tensor(src.data()), out = tensor(dst.data());
  for (auto _ : state) {
    r.wrapper(nullptr, &in, &out);
    benchmark::ClobberMemory();
  }
  state.SetLabel(r.k.id);
  state.SetBytesProcessed(state.iterations() * int64_t{2} * r.R * r.S * 4);
}
BENCHMARK(BM_ConcatCopy)->DenseRange(0, 3)->UseRealTime();

void BM_Memcpy(benchmark::State& state) {
  const CopyRow& r = copy_row(kCopies[state.range(0)]);
  const size_t bytes = static_cast<size_t>(r.R) * r.S * 4;
  std::vector<float> src = filled(bytes / 4), dst(bytes / 4);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::string("payload of ") + r.k.id);
  state.SetBytesProcessed(state.iterations() * int64_t{2} * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Memcpy)->DenseRange(0, 3)->UseRealTime();

void BM_InputPad(benchmark::State& state) {
  std::vector<float> src = filled(32 * 32 * 32 * 3), dst(32 * 38 * 38 * 3);
  RecordingHandle h;
  Context c(h, src.data());
  qel_tensor_struct out = tensor(dst.data());
  for (auto _ : state) {
    pads().front().wrapper(&c.ctx, &out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{4} * (32 * 32 * 32 * 3 + 32 * 38 * 38 * 3));
}
BENCHMARK(BM_InputPad)->UseRealTime();

void BM_LeakyRelu(benchmark::State& state) {
  const LeakyRow& r = leakies().front();  // 8213, 491520 elements
  std::vector<float> src = filled(static_cast<size_t>(r.count)), dst(src.size());
  qel_tensor_struct in = tensor(src.data()), out = tensor(dst.data());
  for (auto _ : state) {
    r.wrapper(nullptr, &in, &out);
    benchmark::ClobberMemory();
  }
  state.SetLabel(r.k.id);
  state.SetBytesProcessed(state.iterations() * int64_t{8} * r.count);
}
BENCHMARK(BM_LeakyRelu)->UseRealTime();

void BM_UpsampleBilinear(benchmark::State& state) {
  const UpsampleRow& r = upsamples().front();
  std::vector<float> src = filled(32 * 960), dst(128 * 1216);
  qel_tensor_struct in = tensor(src.data()), out = tensor(dst.data());
  for (auto _ : state) {
    r.wrapper(nullptr, &in, &out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{4} * (32 * 960 + 128 * 960));
}
BENCHMARK(BM_UpsampleBilinear)->UseRealTime();

const char* const kFused[] = {"8222", "821D", "8218"};

void BM_LeakyReluUpsample(benchmark::State& state) {
  const FusedRow& r = fused_row(kFused[state.range(0)]);
  const int64_t in_n = int64_t{32} * r.H * r.W * r.C, out_n = 4 * in_n;
  std::vector<float> src = filled(static_cast<size_t>(in_n)),
                     dst(static_cast<size_t>(int64_t{32} * 4 * r.H * r.W * r.Cdst));
  RecordingHandle h;
  Context c(h);
  qel_tensor_struct in = tensor(src.data()), out = tensor(dst.data());
  for (auto _ : state) {
    r.wrapper(&c.ctx, &in, &out);
    h.requests.clear();
    benchmark::ClobberMemory();
  }
  state.SetLabel(r.k.id);
  state.SetBytesProcessed(state.iterations() * 4 * (in_n + out_n));
}
BENCHMARK(BM_LeakyReluUpsample)->DenseRange(0, 2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
