// The network's 1024 parameters derived from its structure (stem, dense
// blocks of 6, 12, 48 and 32 layers growing by 32, transitions halving, final
// normalisation, decoder stages joining skip tensors, head), sharing nothing
// with the library's parameter table.
#pragma once
#include <cstdint>
#include <functional>
#include <numeric>
#include <vector>

namespace rules {

enum Kind { kWeight, kGamma, kBeta, kMean, kVariance, kBias };

struct Param {
  Kind kind;
  std::vector<int64_t> extents;  // KH, KW, Cin, Cout for weights; one extent otherwise
  int64_t count() const { return std::accumulate(extents.begin(), extents.end(), int64_t{1}, std::multiplies<int64_t>()); }
};

inline const std::vector<Param>& params() {
  static const std::vector<Param> all = [] {
    std::vector<Param> p;
    auto conv = [&](int64_t k, int64_t cin, int64_t cout) { p.push_back({kWeight, {k, k, cin, cout}}); };
    auto bn = [&](int64_t c) {
      for (Kind k : {kGamma, kBeta, kMean, kVariance}) p.push_back({k, {c}});
    };
    conv(7, 3, 64);
    bn(64);
    bn(64);  // block 1's first input normalisation, after the max pooling
    int64_t width = 64;
    const int layers[4] = {6, 12, 48, 32};
    for (int b = 0; b < 4; ++b) {
      for (int j = 0; j < layers[b]; ++j) {
        if (j != 0) bn(width + 32 * j);
        conv(1, width + 32 * j, 128);
        bn(128);
        conv(3, 128, 32);
      }
      width += 32 * layers[b];
      if (b == 3) break;
      bn(width);
      conv(1, width, width / 2);
      width /= 2;
      bn(width);  // next block's first input normalisation, after the pooling
    }
    bn(width);
    conv(1, width, 960);
    p.push_back({kBias, {960}});
    int64_t channels = 960;
    for (int64_t skip : {256, 128, 64, 64}) {
      for (int64_t cin : {channels + skip, channels / 2}) {
        conv(3, cin, channels / 2);
        p.push_back({kBias, {channels / 2}});
      }
      channels /= 2;
    }
    conv(3, channels, 1);
    p.push_back({kBias, {1}});
    return p;
  }();
  return all;
}

}  // namespace rules
