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

inline uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}
inline float from_bits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// Values spread over many binades, with a sign, so that a change in the order
// or the rounding of the operations shows in the last bits.
inline std::vector<float> random_values(size_t n, uint32_t seed, float lo, float hi) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = d(gen);
  return v;
}

// One recorded call of the handle's malloc or free slot.
struct Event {
  bool is_malloc;
  int32_t rank;
  int32_t dtype;
  int64_t extents[8];
  int64_t count;
  bool handle_matches;  // the slot was called with the descriptor's own data_handle
  bool data_null;       // data on entry
  bool mirror_clear;    // mirror slot and data_aux zero on entry (malloc)
  const void* descriptor;
  const void* data;     // data on entry (free) or on return (malloc)
};

class Recorder {
 public:
  static std::vector<Event>& events() {
    static std::vector<Event> e;
    return e;
  }
  static void on_malloc(const qel_handle_struct* h, qel_tensor_struct* t) {
    Event e = describe(true, h, t);
    const int64_t bytes = t->count * (t->dtype == QEL_S8 ? 1 : 4);
    // Each allocation is rounded up and filled with a pattern, so a kernel that
    // read scratch before writing it would see garbage, not zeros.
    void* p = std::aligned_alloc(64, static_cast<size_t>((bytes + 63) / 64 * 64 + 64));
    std::memset(p, 0x7f, static_cast<size_t>((bytes + 63) / 64 * 64 + 64));
    if (t->data_handle == h) {
      t->data_aux = 0;
      t->data = p;
    }
    e.data = p;
    events().push_back(e);
  }
  static void on_free(const qel_handle_struct* h, qel_tensor_struct* t) {
    Event e = describe(false, h, t);
    e.data = t->data;
    events().push_back(e);
    std::free(t->data);
    if (t->data_handle == h) {
      t->data_aux = 0;
      t->data = nullptr;
    }
  }

 private:
  static Event describe(bool is_malloc, const qel_handle_struct* h, const qel_tensor_struct* t) {
    Event e{};
    e.is_malloc = is_malloc;
    e.rank = t->rank;
    e.dtype = t->dtype;
    std::memcpy(e.extents, t->extents, sizeof e.extents);
    e.count = t->count;
    e.handle_matches = t->data_handle == h;
    e.data_null = t->data == nullptr;
    e.mirror_clear = t->mirror_handle == nullptr && t->mirror_aux == 0 && t->mirror_ptr == nullptr && t->data_aux == 0;
    e.descriptor = t;
    return e;
  }
};

// A context with all 1024 parameters (2048 floats each, in [0.25, 1.75), so
// every variance is valid) and the recording handle.
class Context {
 public:
  static constexpr int kParamFloats = 2048;

  Context() : handle_(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{}) {
    handle_.malloc = &Recorder::on_malloc;
    handle_.free = &Recorder::on_free;
    handle_.memset = nullptr;
    handle_.init = nullptr;
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
    ctx_.alloc_handle = &handle_;
    ctx_.aux_handle = &handle_;
    ctx_.num_inputs = 1;
    ctx_.num_params = 1024;
    ctx_.num_outputs = 1;
  }

  qel_ctx_struct* ctx() { return &ctx_; }
  const qel_handle_struct* handle() const { return &handle_; }
  std::vector<float>& param(int k) { return store_[k]; }

 private:
  qel_handle_struct handle_;
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
