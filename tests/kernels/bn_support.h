// Test support for the batch-normalisation kernels: a context whose 1024
// parameters point at test-owned arrays, a device handle that records every
// scratch allocation and release, and the scalar oracle of the arithmetic.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "runtime/qel_records.h"
#include "tests/support/recording_handle.h"

namespace bn_test {

// Scalar oracle, written from the formula, sharing nothing with the kernels.
inline float epsilon() {
  const uint32_t bits = 0x3727F09Fu;
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}
inline float ref_invstd(float var) { return 1.0f / sqrtf(var + epsilon()); }
inline float ref_bn(float x, float gamma, float beta, float mean, float invstd) {
  const float g = invstd * gamma;
  const float u = x - mean;
  const float v = fmaf(g, u, beta);
  return v > 0.0f ? v : 0.0f;
}

using qel_test::bits;
using qel_test::from_bits;

// Values spread over many binades, with a sign, so that a change in the order
// or the rounding of the operations shows in the last bits.
inline std::vector<float> random_values(size_t n, uint32_t seed, float lo, float hi) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = d(gen);
  return v;
}

using Event = qel_test::Request;
using qel_test::RecordingHandle;

// A context with all 1024 parameters (2048 floats each, in [0.25, 1.75), so
// every variance is valid) and the recording handle.
class Context {
 public:
  static constexpr int kParamFloats = 2048;

  Context() {
    params_.resize(1024);
    store_.resize(1024);
    for (int k = 0; k < 1024; ++k) {
      store_[k] = random_values(kParamFloats, 1000u + k, 0.25f, 1.75f);
      params_[k] = qel_tensor_struct{};
      params_[k].rank = 1;
      params_[k].dtype = QEL_F32;
      params_[k].extents[0] = kParamFloats;
      params_[k].count = kParamFloats;
      params_[k].data = store_[k].data();
    }
    ctx_ = qel_ctx_struct{};
    ctx_.params = params_.data();
    ctx_.alloc_handle = &recorder_.handle;
    ctx_.aux_handle = &recorder_.handle;
    ctx_.num_inputs = 1;
    ctx_.num_params = 1024;
    ctx_.num_outputs = 1;
  }

  qel_ctx_struct* ctx() { return &ctx_; }
  const qel_handle_struct* handle() const { return &recorder_.handle; }
  // The memory requests made through the context's handle.
  std::vector<Event>& events() { return recorder_.requests; }
  std::vector<float>& param(int k) { return store_[k]; }

 private:
  RecordingHandle recorder_;
  std::vector<qel_tensor_struct> params_;
  std::vector<std::vector<float>> store_;
  qel_ctx_struct ctx_;
};

// A tensor argument: a descriptor whose data is a test-owned array.
struct Tensor {
  std::vector<float> v;
  qel_tensor_struct d{};
  explicit Tensor(std::vector<float> values) : v(std::move(values)) { d.data = v.data(); }
  explicit Tensor(size_t n, float fill = NAN) : v(n, fill) { d.data = v.data(); }
};

}  // namespace bn_test
