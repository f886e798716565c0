// The network's 1024 parameter shapes worked out afresh from the network's
// description (stem, dense blocks of 6, 12, 48 and 32 layers growing by 32,
// transitions halving, final normalisation, decoder stages with skip channels,
// head), sharing nothing with the library's table. Tests compare the library's
// descriptors and blobs with this.
#pragma once
#include <cstdint>
#include <vector>

namespace rules {

enum Kind { kWeight, kGamma, kBeta, kMean, kVariance, kBias };

struct Param {
  Kind kind;
  int rank;
  int64_t e[4];
  int64_t count() const { return rank == 4 ? e[0] * e[1] * e[2] * e[3] : e[0]; }
};

inline std::vector<Param> expected_params() {
  std::vector<Param> p;
  auto conv = [&](int64_t kh, int64_t kw, int64_t cin, int64_t cout) { p.push_back({kWeight, 4, {kh, kw, cin, cout}}); };
  auto bias = [&](int64_t c) { p.push_back({kBias, 1, {c, 0, 0, 0}}); };
  auto bn = [&](int64_t c) {
    for (Kind k : {kGamma, kBeta, kMean, kVariance}) p.push_back({k, 1, {c, 0, 0, 0}});
  };

  conv(7, 7, 3, 64);  // stem
  bn(64);
  bn(64);  // first dense layer's input, normalised after the max pooling
  const int layers[4] = {6, 12, 48, 32};
  int64_t width = 64;
  for (int b = 0; b < 4; ++b) {
    const int64_t entry = width;
    for (int j = 0; j < layers[b]; ++j) {
      if (j != 0) bn(entry + 32 * j);
      conv(1, 1, entry + 32 * j, 128);
      bn(128);
      conv(3, 3, 128, 32);
    }
    width = entry + 32 * layers[b];
    if (b == 3) break;
    bn(width);  // transition
    conv(1, 1, width, width / 2);
    width /= 2;
    bn(width);  // next block's first input normalisation, after the pooling
  }
  bn(width);  // final normalisation over 1920 channels

  conv(1, 1, width, 960);
  bias(960);
  int64_t channels = 960;
  const int64_t skips[4] = {256, 128, 64, 64};
  for (int64_t skip : skips) {
    const int64_t out = channels / 2;
    conv(3, 3, channels + skip, out);
    bias(out);
    conv(3, 3, out, out);
    bias(out);
    channels = out;
  }
  conv(3, 3, channels, 1);  // head
  bias(1);
  return p;
}

}  // namespace rules
