#include "tests/network/param_rules.h"

#include <stdexcept>

namespace netrec {

namespace {

std::vector<std::vector<int64_t>> all_shapes() {
  std::vector<std::vector<int64_t>> all;
  auto quad = [&](int64_t c) {
    for (int i = 0; i < 4; ++i) all.push_back({c});
  };
  all.push_back({7, 7, 3, 64});
  quad(64);
  quad(64);
  const int64_t block_layers[4] = {6, 12, 48, 32};
  const int64_t block_c0[4] = {64, 128, 256, 896};
  for (int blk = 0; blk < 4; ++blk) {
    for (int64_t j = 0; j < block_layers[blk]; ++j) {
      const int64_t cin = block_c0[blk] + 32 * j;
      if (j > 0) quad(cin);
      all.push_back({1, 1, cin, 128});
      quad(128);
      all.push_back({3, 3, 128, 32});
    }
    if (blk < 3) {
      const int64_t ct = block_c0[blk] + 32 * block_layers[blk];
      quad(ct);
      all.push_back({1, 1, ct, ct / 2});
      quad(ct / 2);
    }
  }
  quad(1920);
  all.push_back({1, 1, 1920, 960});
  all.push_back({960});
  const int64_t stage_in[4] = {1216, 608, 304, 184}, stage_out[4] = {480, 240, 120, 60};
  for (int s = 0; s < 4; ++s) {
    all.push_back({3, 3, stage_in[s], stage_out[s]});
    all.push_back({stage_out[s]});
    all.push_back({3, 3, stage_out[s], stage_out[s]});
    all.push_back({stage_out[s]});
  }
  all.push_back({3, 3, 60, 1});
  all.push_back({1});
  if (all.size() != 1024) throw std::logic_error("parameter rules give the wrong count");
  return all;
}

}  // namespace

std::vector<int64_t> param_shape(int k) {
  static const std::vector<std::vector<int64_t>> all = all_shapes();
  return all.at(static_cast<size_t>(k));
}

}  // namespace netrec
