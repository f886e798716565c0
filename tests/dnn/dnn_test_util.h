// Helpers of the layer tests: a test context, seeded random data, buffers
// with a guard zone, and a naive convolution written in plain loops.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "runtime/qel_records.h"

namespace dnntest {

// A context whose 1024 parameters and one output the test fills itself.
struct TestContext {
  std::vector<qel_tensor_struct> params = std::vector<qel_tensor_struct>(1024);
  std::vector<qel_tensor_struct> outputs = std::vector<qel_tensor_struct>(1);
  qel_ctx_struct ctx{};
  TestContext() {
    ctx.params = params.data();
    ctx.outputs = outputs.data();
    ctx.num_params = 1024;
    ctx.num_outputs = 1;
  }
  const qel_ctx_struct* get() const { return &ctx; }
};

inline qel_tensor_struct tensor_of(void* data) {
  qel_tensor_struct t{};
  t.data = data;
  t.dtype = QEL_F32;
  return t;
}

inline void fill_random(std::vector<float>& v, uint32_t seed, float lo = -1.f, float hi = 1.f) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(lo, hi);
  for (float& x : v) x = dist(gen);
}

// A float buffer of n values followed by a guard zone, all preset to NaN
// (a fixed bit pattern), so that unwritten values and overruns both show.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t n) : n_(n), v_(n + kGuard, std::numeric_limits<float>::quiet_NaN()) {}
  float* data() { return v_.data(); }
  float& operator[](size_t i) { return v_[i]; }
  size_t size() const { return n_; }
  bool guard_intact() const {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    return std::memcmp(v_.data() + n_, std::vector<float>(kGuard, nan).data(), kGuard * sizeof(float)) == 0;
  }
  size_t count_nan() const {
    size_t c = 0;
    for (size_t i = 0; i < n_; ++i) c += std::isnan(v_[i]);
    return c;
  }

 private:
  static constexpr size_t kGuard = 64;
  size_t n_;
  std::vector<float> v_;
};

// Direct cross-correlation of image `n`: source N x H x W x Cin (channels
// last), weights K x K x Cin x Cout as stored, optional bias, zero padding
// `pad`, stride `stride`; output Hout x Wout x Cout of that image.
inline std::vector<double> naive_conv_image(const float* src, int hin, int cin, const float* w,
                                            int k, int cout, const float* bias, int stride,
                                            int pad, int hout, int n) {
  std::vector<double> out(static_cast<size_t>(hout) * hout * cout, 0.0);
  const float* img = src + static_cast<size_t>(n) * hin * hin * cin;
  for (int oh = 0; oh < hout; ++oh)
    for (int ow = 0; ow < hout; ++ow)
      for (int co = 0; co < cout; ++co) {
        double acc = bias ? bias[co] : 0.0;
        for (int kh = 0; kh < k; ++kh) {
          const int ih = oh * stride - pad + kh;
          if (ih < 0 || ih >= hin) continue;
          for (int kw = 0; kw < k; ++kw) {
            const int iw = ow * stride - pad + kw;
            if (iw < 0 || iw >= hin) continue;
            const float* px = img + (static_cast<size_t>(ih) * hin + iw) * cin;
            const float* wr = w + (static_cast<size_t>(kh) * k + kw) * cin * cout + co;
            for (int ci = 0; ci < cin; ++ci) acc += static_cast<double>(px[ci]) * wr[static_cast<size_t>(ci) * cout];
          }
        }
        out[(static_cast<size_t>(oh) * hout + ow) * cout + co] = acc;
      }
  return out;
}

}  // namespace dnntest
