// The whole network end to end: the library's output for a random batch
// against an independent reference written here in plain loops (its own
// padding, convolution, normalisation, pooling, upsampling and LeakyReLU, in
// double precision) over the raw parameter blobs the library embeds. Runs
// without and with planning, and runs at 1, 2, 3 and 8 threads, must agree
// bit for bit.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/child_process.h"
#include "tests/support/param_rules.h"
#include "x86/src/qel_pellavine.h"

namespace {

// The parameter blobs, handed out in index order, which is their order of use.
class Params {
 public:
  Params() {
    for (int k = 0; k < 1024; ++k) {
      const int64_t count = rules::params()[static_cast<size_t>(k)].count();
      std::ifstream in(std::string(QEL_TEST_PARAMS_DIR) + "/qel_pellavine_P" + std::to_string(k) + "_D0_Output",
                       std::ios::binary | std::ios::ate);
      if (!in || in.tellg() != count * 4) throw std::runtime_error("blob " + std::to_string(k) + " missing or wrongly sized");
      in.seekg(0);
      blobs_.emplace_back(static_cast<size_t>(count));
      in.read(reinterpret_cast<char*>(blobs_.back().data()), count * 4);
    }
  }
  const std::vector<float>& next() { return blobs_.at(static_cast<size_t>(used++)); }
  int used = 0;

 private:
  std::vector<std::vector<float>> blobs_;
};

// One image, channels last.
struct Image {
  int h = 0, w = 0, c = 0;
  std::vector<double> v;
  Image() = default;
  Image(int h_, int w_, int c_) : h(h_), w(w_), c(c_), v(static_cast<size_t>(h_) * w_ * c_, 0.0) {}
  double& at(int y, int x, int ch) { return v[(static_cast<size_t>(y) * w + x) * c + ch]; }
  double at(int y, int x, int ch) const { return v[(static_cast<size_t>(y) * w + x) * c + ch]; }
};

// Convolution with weights KH x KW x Cin x Cout, zero padding, optional bias.
Image conv(const Image& in, const std::vector<float>& wt, int k, int cout, int stride, int pad,
           const std::vector<float>* bias = nullptr) {
  Image out((in.h + 2 * pad - k) / stride + 1, (in.w + 2 * pad - k) / stride + 1, cout);
  for (int y = 0; y < out.h; ++y)
    for (int x = 0; x < out.w; ++x)
      for (int o = 0; o < cout; ++o) {
        double s = bias ? (*bias)[static_cast<size_t>(o)] : 0.0;
        for (int ky = 0; ky < k; ++ky)
          for (int kx = 0; kx < k; ++kx) {
            const int iy = y * stride + ky - pad, ix = x * stride + kx - pad;
            if (iy < 0 || iy >= in.h || ix < 0 || ix >= in.w) continue;
            for (int i = 0; i < in.c; ++i)
              s += in.at(iy, ix, i) * wt[((static_cast<size_t>(ky) * k + kx) * in.c + i) * cout + o];
          }
        out.at(y, x, o) = s;
      }
  return out;
}

// Batch normalisation (gamma, beta, mean, variance; epsilon 1.001e-5) with ReLU.
Image bn_relu(const Image& in, Params& p) {
  const auto &gamma = p.next(), &beta = p.next(), &mean = p.next(), &var = p.next();
  Image out = in;
  for (size_t i = 0; i < out.v.size(); ++i) {
    const size_t ch = i % static_cast<size_t>(in.c);
    const double v = gamma[ch] / std::sqrt(static_cast<double>(var[ch]) + 1.001e-5) * (in.v[i] - mean[ch]) + beta[ch];
    out.v[i] = v > 0.0 ? v : 0.0;
  }
  return out;
}

Image leaky(Image in) {
  for (double& v : in.v) v = v >= 0.0 ? v : 0.2 * v;
  return in;
}

// 2 x 2 average pooling, or 3 x 3 max pooling of stride 2 over rows and
// columns 2o-1 .. 2o+1 (outside counts as 0).
Image pool(const Image& in, bool max) {
  Image out(in.h / 2, in.w / 2, in.c);
  for (int y = 0; y < out.h; ++y)
    for (int x = 0; x < out.w; ++x)
      for (int ch = 0; ch < in.c; ++ch) {
        double m = max ? -INFINITY : 0.0;
        for (int dy = max ? -1 : 0; dy <= 1; ++dy)
          for (int dx = max ? -1 : 0; dx <= 1; ++dx) {
            const int iy = 2 * y + dy, ix = 2 * x + dx;
            const double v = iy >= 0 && iy < in.h && ix >= 0 && ix < in.w ? in.at(iy, ix, ch) : 0.0;
            m = max ? std::max(m, v) : m + 0.25 * v;
          }
        out.at(y, x, ch) = m;
      }
  return out;
}

// Bilinear 2 x upsampling, half-pixel centres, clamped at the low and high edge.
Image upsample(const Image& in) {
  Image out(2 * in.h, 2 * in.w, in.c);
  auto source = [](int o, int n, int& i0, int& i1, double& f) {
    const double s = std::max((o + 0.5) * 0.5 - 0.5, 0.0);
    i0 = static_cast<int>(std::floor(s));
    i1 = std::min(i0 + 1, n - 1);
    f = s - i0;
  };
  for (int y = 0; y < out.h; ++y)
    for (int x = 0; x < out.w; ++x) {
      int y0, y1, x0, x1;
      double fy, fx;
      source(y, in.h, y0, y1, fy);
      source(x, in.w, x0, x1, fx);
      for (int ch = 0; ch < in.c; ++ch)
        out.at(y, x, ch) = (1 - fy) * ((1 - fx) * in.at(y0, x0, ch) + fx * in.at(y0, x1, ch)) +
                           fy * ((1 - fx) * in.at(y1, x0, ch) + fx * in.at(y1, x1, ch));
    }
  return out;
}

Image concat(const Image& a, const Image& b) {
  Image out(a.h, a.w, a.c + b.c);
  for (int y = 0; y < a.h; ++y)
    for (int x = 0; x < a.w; ++x)
      for (int ch = 0; ch < out.c; ++ch) out.at(y, x, ch) = ch < a.c ? a.at(y, x, ch) : b.at(y, x, ch - a.c);
  return out;
}

// The network on one 32 x 32 x 3 image; returns the 16 x 16 x 1 map.
Image reference(const Image& image, Params& p) {
  Image padded(38, 38, 3);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x)
      for (int ch = 0; ch < 3; ++ch) padded.at(y + 3, x + 3, ch) = image.at(y, x, ch);
  const Image stem_act = bn_relu(conv(padded, p.next(), 7, 64, 2, 0), p);
  Image block_input = pool(stem_act, true);
  std::vector<Image> skips = {stem_act, block_input};
  Image normalised = bn_relu(block_input, p), buffer;
  const int layers[4] = {6, 12, 48, 32};
  for (int b = 0; b < 4; ++b) {
    buffer = block_input;
    for (int j = 0; j < layers[b]; ++j) {
      const Image x = j == 0 ? normalised : bn_relu(buffer, p);
      const Image bottleneck = bn_relu(conv(x, p.next(), 1, 128, 1, 0), p);
      buffer = concat(buffer, conv(bottleneck, p.next(), 3, 32, 1, 1));
    }
    if (b == 3) break;
    const Image transition_in = bn_relu(buffer, p);
    block_input = pool(conv(transition_in, p.next(), 1, buffer.c / 2, 1, 0), false);
    normalised = bn_relu(block_input, p);
    if (b < 2) skips.push_back(block_input);  // transition 1 and 2 pools
  }
  const Image features = bn_relu(buffer, p);
  const auto& reduce_w = p.next();
  Image stage = conv(features, reduce_w, 1, 960, 1, 0, &p.next());
  const int channels[4] = {480, 240, 120, 60};
  for (int s = 0; s < 4; ++s) {
    const Image joined = concat(upsample(s == 0 ? stage : leaky(stage)), skips[static_cast<size_t>(3 - s)]);
    const auto& w1 = p.next();
    const Image a = leaky(conv(joined, w1, 3, channels[s], 1, 1, &p.next()));
    const auto& w2 = p.next();
    stage = conv(a, w2, 3, channels[s], 1, 1, &p.next());
  }
  const auto& head_w = p.next();
  return conv(leaky(stage), head_w, 3, 1, 1, 1, &p.next());
}

// The output of one run at `threads` threads, in a child process whose every
// primitive is created at that count. Forked before this process starts any
// OpenMP thread: those of the GNU runtime do not survive a fork.
std::vector<float> predict_in_child(int threads, std::vector<float> input) {
  const ChildResult r = run_in_child([&] {
    omp_set_num_threads(threads);
    std::vector<float> out(32 * 16 * 16, NAN);
    qel_predict(input.data(), out.data());
    std::fwrite(out.data(), sizeof(float), out.size(), stdout);
  });
  std::vector<float> out(32 * 16 * 16, NAN);
  EXPECT_TRUE(r.exited) << threads << " threads: " << r.out.substr(0, 400);
  EXPECT_EQ(r.status, 0) << threads << " threads: " << r.out.substr(0, 400);
  EXPECT_EQ(r.out.size(), out.size() * sizeof(float)) << threads << " threads: " << r.out.substr(0, 400);
  if (r.out.size() == out.size() * sizeof(float)) std::memcpy(out.data(), r.out.data(), r.out.size());
  return out;
}

TEST(NetworkReference, OutputMatchesAnIndependentReferenceAtEveryThreadCount) {
  std::mt19937 rng(20261206);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> input(32 * 32 * 32 * 3);
  for (float& v : input) v = dist(rng);

  std::vector<std::pair<int, std::vector<float>>> at;
  for (const int threads : {1, 3, 8}) at.emplace_back(threads, predict_in_child(threads, input));

  // Here at 2 threads: a plain run, the planning run and two replayed runs.
  omp_set_num_threads(2);
  std::vector<std::vector<float>> outputs(4, std::vector<float>(32 * 16 * 16, NAN));
  qel_predict(input.data(), outputs[0].data());
  qel_pellavine_set_IO(input.data(), outputs[1].data());
  qel_pellavine_optimize(1);
  qel_predict(input.data(), outputs[2].data());
  qel_predict(input.data(), outputs[3].data());
  for (int r = 1; r < 4; ++r)
    EXPECT_EQ(std::memcmp(outputs[0].data(), outputs[static_cast<size_t>(r)].data(), outputs[0].size() * 4), 0)
        << "run " << r << " differs from the plain run";
  qel_pellavine_free();
  for (const auto& [threads, out] : at) {
    size_t differ = 0;
    for (size_t i = 0; i < out.size(); ++i) differ += std::memcmp(&out[i], &outputs[0][i], sizeof(float)) != 0;
    EXPECT_EQ(differ, 0u) << "outputs that differ between the runs at " << threads << " and at 2 threads";
  }

  // Images are independent; the reference computes three of them.
  Params params;
  for (const int n : {0, 17, 31}) {
    SCOPED_TRACE("image " + std::to_string(n));
    Image image(32, 32, 3);
    std::copy(input.begin() + n * 3072, input.begin() + (n + 1) * 3072, image.v.begin());
    params.used = 0;
    const Image want = reference(image, params);
    ASSERT_EQ(params.used, 1024);
    double scale = 0.0, worst = 0.0;
    for (double v : want.v) scale = std::max(scale, std::fabs(v));
    ASSERT_GT(scale, 0.0);
    for (int i = 0; i < 256; ++i) {
      const double got = outputs[0][static_cast<size_t>(n * 256 + i)];
      ASSERT_TRUE(std::isfinite(got)) << "output " << i;
      worst = std::max(worst, std::fabs(got - want.v[static_cast<size_t>(i)]));
    }
    EXPECT_LE(worst, 1e-4 * scale) << "largest difference " << worst << " at output scale " << scale;
  }
}

}  // namespace
