// All 200 batch-normalisation kernels of one forward pass, in id order, on
// buffers of their real sizes (the prefix kernels of a dense block share the
// block's concatenation buffer, as in the network), against a plain memcpy of
// the same bytes. Scratch goes through the library's own memory operations.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "runtime/qel_memory.h"
#include "runtime/qel_records.h"

extern "C" {
#define QEL_DFP_BN_PREFIX(part, id, ...) \
  void qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*);
#define QEL_DFP_BN_PLAIN(part, id, ...) \
  void qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*);
#define QEL_DFP_AVGPOOL_POS(part, id, ...)                                                                   \
  void qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*, \
                                                  qel_tensor_struct*);
#define QEL_DFP_AVGPOOL_IMG(part, id, ...)                                                                   \
  void qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*, \
                                                  qel_tensor_struct*);
#define QEL_DFP_STEM(part, id, ...)                                                                          \
  void qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*, \
                                                  qel_tensor_struct*, qel_tensor_struct*);
#include "dfp_instances.def"
}

namespace {

using Fn2 = void (*)(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*);
using Fn3 = void (*)(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*, qel_tensor_struct*);
using Fn4 = void (*)(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*, qel_tensor_struct*, qel_tensor_struct*);

// One kernel: its wrapper, its input floats, its output floats per output tensor.
struct Kernel {
  int kind;  // 0 prefix, 1 plain, 2 pooling, 3 stem
  Fn2 f2;
  Fn3 f3;
  Fn4 f4;
  int block;             // prefix kernels share their block's buffer
  long in_floats;        // floats of the input tensor
  long read_floats;      // floats actually read
  long out_floats[3];    // floats of each output
};

const Kernel kKernels[] = {
#define QEL_DFP_BN_PREFIX(part, id, block, layer, C, Xs, R, k, t1, t2) \
  {0, qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id, nullptr, nullptr, block, long{R} * Xs, long{R} * C, {long{R} * C, 0, 0}},
#define QEL_DFP_BN_PLAIN(part, id, block, layer, C, R, k, t1, t2) \
  {1, qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id, nullptr, nullptr, block, long{R} * C, long{R} * C, {long{R} * C, 0, 0}},
#define QEL_DFP_AVGPOOL_POS(part, id, C, Ho, Wo, k, t1, t2)                                       \
  {2, nullptr, qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id, nullptr, 0, 128L * Ho * Wo * C, 128L * Ho * Wo * C, \
   {32L * Ho * Wo * C, 32L * Ho * Wo * C, 0}},
#define QEL_DFP_AVGPOOL_IMG(part, id, C, k, t1, t2) \
  {2, nullptr, qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id, nullptr, 0, 128L * C, 128L * C, {32L * C, 32L * C, 0}},
#define QEL_DFP_STEM(part, id, k1, k2, t1, t2, t3)                                                   \
  {3, nullptr, nullptr, qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id, 0, 32L * 16384, 32L * 16384, \
   {32L * 4096, 32L * 16384, 32L * 4096}},
#include "dfp_instances.def"
};

struct Buffer {
  std::vector<float> v;
  qel_tensor_struct d{};
  explicit Buffer(long n) : v(static_cast<size_t>(n)) { d.data = v.data(); }
};

// Context, parameters and buffers of one forward pass.
class Pass {
 public:
  Pass() : handle_(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{}) {
    handle_.malloc = qel::nvidia::deployment_malloc;
    handle_.free = qel::nvidia::deployment_free;
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> d(0.25f, 1.75f);
    params_.resize(1024);
    store_.resize(1024);
    for (int k = 0; k < 1024; ++k) {
      store_[k].resize(2048);
      for (auto& x : store_[k]) x = d(gen);
      params_[k].data = store_[k].data();
    }
    ctx_.params = params_.data();
    ctx_.alloc_handle = &handle_;
    std::uniform_real_distribution<float> a(-3.0f, 3.0f);
    for (const Kernel& k : kKernels) {
      Buffer* in = k.kind == 0 ? block_buffer_[k.block] : nullptr;
      if (in == nullptr) {
        buffers_.emplace_back(new Buffer(k.in_floats));
        in = buffers_.back().get();
        for (auto& x : in->v) x = a(gen);
        if (k.kind == 0) block_buffer_[k.block] = in;
      }
      inputs_.push_back(in);
      for (long n : k.out_floats) {
        if (n == 0) continue;
        buffers_.emplace_back(new Buffer(n));
        outputs_.push_back(buffers_.back().get());
        copy_bytes_ += 8 * n;
      }
      bytes_ += 4 * (k.read_floats + k.out_floats[0] + k.out_floats[1] + k.out_floats[2]);
    }
  }

  void run() {
    size_t o = 0;
    for (size_t i = 0; i < std::size(kKernels); ++i) {
      const Kernel& k = kKernels[i];
      qel_tensor_struct* x = &inputs_[i]->d;
      switch (k.kind) {
        case 0: k.f2(&ctx_, &outputs_[o]->d, x), o += 1; break;
        case 1: k.f2(&ctx_, x, &outputs_[o]->d), o += 1; break;
        case 2: k.f3(&ctx_, x, &outputs_[o]->d, &outputs_[o + 1]->d), o += 2; break;
        default: k.f4(&ctx_, x, &outputs_[o]->d, &outputs_[o + 1]->d, &outputs_[o + 2]->d), o += 3; break;
      }
    }
  }

  // The same outputs written by memcpy from the kernels' inputs (every input is
  // at least as large as each of its kernel's outputs).
  void copy() {
    size_t o = 0;
    for (size_t i = 0; i < std::size(kKernels); ++i)
      for (long n : kKernels[i].out_floats)
        if (n > 0) std::memcpy(outputs_[o++]->v.data(), inputs_[i]->v.data(), static_cast<size_t>(n) * 4);
  }

  // Bytes that the kernels read and write, and that the copies read and write.
  int64_t copy_bytes() const { return copy_bytes_; }
  int64_t bytes() const { return bytes_; }

 private:
  qel_handle_struct handle_;
  qel_ctx_struct ctx_{};
  std::vector<qel_tensor_struct> params_;
  std::vector<std::vector<float>> store_;
  std::vector<std::unique_ptr<Buffer>> buffers_;
  Buffer* block_buffer_[5] = {};
  std::vector<Buffer*> inputs_;
  std::vector<Buffer*> outputs_;
  int64_t bytes_ = 0;
  int64_t copy_bytes_ = 0;
};

Pass& pass() {
  static Pass p;
  return p;
}

// Argument: OpenMP threads for the kernels' launches.
void BM_bn_forward_pass(benchmark::State& state) {
  const int before = omp_get_max_threads();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  for (auto _ : state) pass().run();
  omp_set_num_threads(before);
  state.SetBytesProcessed(state.iterations() * pass().bytes());
  state.counters["kernels"] = static_cast<double>(std::size(kKernels));
}
BENCHMARK(BM_bn_forward_pass)->Arg(1)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_bn_forward_pass_memcpy(benchmark::State& state) {
  for (auto _ : state) pass().copy();
  state.SetBytesProcessed(state.iterations() * pass().copy_bytes());
}
BENCHMARK(BM_bn_forward_pass_memcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
