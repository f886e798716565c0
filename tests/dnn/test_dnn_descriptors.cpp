// The layer table and the descriptors built from it, against values worked
// out by hand; and the handle layer's refusal of layouts it cannot express.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dnn/dnnl_handle.h"
#include "dnn_layers.h"
#include "dnn_test_util.h"

using qel::dnn::dnnl::Error;
using qel::dnn::dnnl::MemoryDesc;
using qel::dnn::layers::ConvShape;
using qel::dnn::layers::kLayers;
using qel::dnn::layers::LayerRow;
using V = std::vector<int64_t>;

namespace {

const LayerRow* by_conv(uint32_t id) {
  for (const LayerRow& l : kLayers)
    if (l.conv_id == id) return &l;
  return nullptr;
}
const LayerRow* by_reorder(uint32_t id) {
  for (const LayerRow& l : kLayers)
    if (l.reorder_id == id) return &l;
  return nullptr;
}
V dims(const MemoryDesc& d) { return V(d.dims, d.dims + d.ndims); }
V padded(const MemoryDesc& d) { return V(d.padded_dims, d.padded_dims + d.ndims); }
V strides(const MemoryDesc& d) { return V(d.strides, d.strides + d.ndims); }

// ---- The table --------------------------------------------------------------

TEST(LayerTable, OrderIdsAndStaticsFollowTheCallOrder) {
  std::set<uint32_t> ids;
  for (int i = 0; i < qel::dnn::layers::kNumConvs; ++i) {
    const LayerRow& l = kLayers[i];
    ids.insert(l.conv_id);
    ids.insert(l.reorder_id);
    EXPECT_EQ(l.reorder_static, 8539 + i) << i;
    if (i > 0) {
      EXPECT_LT(l.conv_id, kLayers[i - 1].conv_id) << "convolution ids fall along the calls";
      EXPECT_GT(l.conv_static, kLayers[i - 1].conv_static);
    }
  }
  EXPECT_EQ(ids.size(), 420u);
  EXPECT_EQ(kLayers[0].conv_id, 0x8557u);
  EXPECT_EQ(kLayers[0].conv_static, 2);
  EXPECT_EQ(kLayers[209].conv_id, 0x8212u);
  EXPECT_EQ(kLayers[209].conv_static, 5044);
  EXPECT_EQ(by_conv(0x823E)->conv_static, 4676);
  EXPECT_EQ(by_reorder(0x8414)->reorder_static, 8583);
  EXPECT_EQ(by_conv(0x82EC)->conv_static, 3279);
}

TEST(LayerTable, ArgumentOrdersAndBiases) {
  std::map<char, std::set<uint32_t>> orders;
  std::map<uint32_t, int> bias;
  for (const LayerRow& l : kLayers) {
    orders[l.order].insert(l.conv_id);
    if (l.bias_param >= 0) bias[l.conv_id] = l.bias_param;
    if (l.bias_param >= 0) {
      EXPECT_EQ(l.bias_param, l.weights_param + 1);
    }
  }
  EXPECT_EQ(orders['A'].size(), 204u);
  EXPECT_EQ(orders['B'], (std::set<uint32_t>{0x8223, 0x821E, 0x8219, 0x8214}));
  EXPECT_EQ(orders['C'], (std::set<uint32_t>{0x8557}));
  EXPECT_EQ(orders['D'], (std::set<uint32_t>{0x8212}));
  const std::map<uint32_t, int> expected = {{0x8228, 1005}, {0x8225, 1007}, {0x8223, 1009}, {0x8220, 1011},
                                            {0x821E, 1013}, {0x821B, 1015}, {0x8219, 1017}, {0x8216, 1019},
                                            {0x8214, 1021}, {0x8212, 1023}};
  EXPECT_EQ(bias, expected);
}

TEST(LayerTable, BlocksPaddingAndWeightParameters) {
  std::map<int, int> blocks;
  std::set<uint32_t> padded_rows;
  for (const LayerRow& l : kLayers) {
    ++blocks[l.shape.block];
    if (l.shape.padded_cout() != l.shape.cout) padded_rows.insert(l.conv_id);
  }
  EXPECT_EQ(blocks, (std::map<int, int>{{16, 2}, {32, 195}, {48, 2}, {64, 11}}));
  EXPECT_EQ(padded_rows, (std::set<uint32_t>{0x8212, 0x8214, 0x8216, 0x8219, 0x821B, 0x821E, 0x82EC}));
  // Dense layer j of block k: 1 x 1 from P(c + 10j), 3 x 3 from P(c + 5 + 10j).
  const int first[] = {9, 74, 199, 684}, layers[] = {6, 12, 48, 32}, pos[] = {1, 14, 39, 136};
  for (int b = 0; b < 4; ++b)
    for (int j = 0; j < layers[b]; ++j) {
      EXPECT_EQ(kLayers[pos[b] + 2 * j].weights_param, first[b] + 10 * j);
      EXPECT_EQ(kLayers[pos[b] + 2 * j].shape.k, 1);
      EXPECT_EQ(kLayers[pos[b] + 2 * j + 1].weights_param, first[b] + 5 + 10 * j);
      EXPECT_EQ(kLayers[pos[b] + 2 * j + 1].shape.k, 3);
    }
  EXPECT_EQ(by_conv(0x851B)->weights_param, 69);
  EXPECT_EQ(by_conv(0x84B3)->weights_param, 194);
  EXPECT_EQ(by_conv(0x82EC)->weights_param, 679);
  EXPECT_EQ(by_conv(0x8228)->weights_param, 1004);
  EXPECT_EQ(by_conv(0x8212)->weights_param, 1022);
}

// ---- Descriptors of the table's rows ------------------------------------------

struct ConvWorked {
  uint32_t id;
  V src_dims, src_strides, dst_dims, dst_strides, wei_dims, wei_padded, wei_strides;
  int64_t block;
  V bias_dims;
  int64_t stride, pad;
};

TEST(LayerDescriptors, ConvolutionsMatchWorkedValues) {
  const ConvWorked worked[] = {
      {0x8557, {32, 3, 38, 38}, {4332, 1, 114, 3}, {32, 64, 16, 16}, {16384, 1, 1024, 64},
       {64, 3, 7, 7}, {64, 3, 7, 7}, {9408, 64, 1344, 192}, 64, {}, 2, 0},
      {0x84BF, {32, 448, 4, 4}, {7168, 1, 1792, 448}, {32, 128, 4, 4}, {2048, 1, 512, 128},
       {128, 448, 1, 1}, {128, 448, 1, 1}, {14336, 32, 14336, 14336}, 32, {}, 1, 0},
      {0x8302, {32, 128, 2, 2}, {512, 1, 256, 128}, {32, 32, 2, 2}, {128, 1, 64, 32},
       {32, 128, 3, 3}, {32, 128, 3, 3}, {36864, 32, 12288, 4096}, 32, {}, 1, 1},
      {0x8240, {32, 1792, 1, 1}, {1792, 1, 1792, 1792}, {32, 128, 1, 1}, {128, 1, 128, 128},
       {128, 1792, 1, 1}, {128, 1792, 1, 1}, {57344, 32, 57344, 57344}, 32, {}, 1, 0},
      {0x82EC, {32, 1792, 2, 2}, {7168, 1, 3584, 1792}, {32, 896, 2, 2}, {3584, 1, 1792, 896},
       {896, 1792, 1, 1}, {912, 1792, 1, 1}, {86016, 48, 86016, 86016}, 48, {}, 1, 0},
      {0x8228, {32, 1920, 1, 1}, {1920, 1, 1920, 1920}, {32, 960, 1, 1}, {960, 1, 960, 960},
       {960, 1920, 1, 1}, {960, 1920, 1, 1}, {92160, 48, 92160, 92160}, 48, {960}, 1, 0},
      {0x8214, {32, 60, 16, 16}, {15360, 1, 960, 60}, {32, 60, 16, 16}, {15360, 1, 960, 60},
       {60, 60, 3, 3}, {64, 60, 3, 3}, {34560, 64, 11520, 3840}, 64, {60}, 1, 1},
      {0x8212, {32, 60, 16, 16}, {15360, 1, 960, 60}, {32, 1, 16, 16}, {256, 1, 16, 1},
       {1, 60, 3, 3}, {16, 60, 3, 3}, {8640, 16, 2880, 960}, 16, {1}, 1, 1},
  };
  for (const ConvWorked& w : worked) {
    SCOPED_TRACE(w.id);
    const ConvShape& s = by_conv(w.id)->shape;
    const MemoryDesc src = qel::dnn::layers::conv_src_desc(s);
    const MemoryDesc dst = qel::dnn::layers::conv_dst_desc(s);
    const MemoryDesc wei = qel::dnn::layers::conv_weights_desc(s);
    const MemoryDesc bias = qel::dnn::layers::conv_bias_desc(s);
    EXPECT_EQ(dims(src), w.src_dims);
    EXPECT_EQ(padded(src), w.src_dims);
    EXPECT_EQ(strides(src), w.src_strides);
    EXPECT_EQ(dims(dst), w.dst_dims);
    EXPECT_EQ(strides(dst), w.dst_strides);
    EXPECT_EQ(dims(wei), w.wei_dims);
    EXPECT_EQ(padded(wei), w.wei_padded);
    EXPECT_EQ(strides(wei), w.wei_strides);
    EXPECT_EQ(wei.inner_nblks, 1);
    EXPECT_EQ(wei.inner_blks[0], w.block);
    EXPECT_EQ(wei.inner_idxs[0], 0);
    EXPECT_EQ(dims(bias), w.bias_dims);
    EXPECT_EQ(bias.empty(), w.bias_dims.empty());
    if (!bias.empty()) {
      EXPECT_EQ(strides(bias), V{1});
    }
    EXPECT_EQ(s.stride, w.stride);
    EXPECT_EQ(s.pad, w.pad);
    for (const MemoryDesc* d : {&src, &dst, &wei}) {
      EXPECT_EQ(d->data_type, dnnl_f32);
      EXPECT_EQ(d->format_kind, dnnl_blocked);
    }
  }
}

TEST(LayerDescriptors, ReordersMatchWorkedValues) {
  struct Worked {
    uint32_t id;
    V padded, src_strides, dst_strides;
    int64_t size;
  };
  const Worked worked[] = {
      {0x8416, {3, 3, 128, 32}, {12288, 4096, 32, 1}, {12288, 4096, 32, 36864}, 36864},
      {0x840F, {1, 1, 256, 128}, {32768, 32768, 128, 1}, {8192, 8192, 32, 8192}, 32768},
      {0x8546, {1, 1, 128, 128}, {16384, 16384, 128, 1}, {8192, 8192, 64, 8192}, 16384},
      {0x846F, {1, 1, 1792, 912}, {1605632, 1605632, 896, 1}, {86016, 86016, 48, 86016}, 1634304},
      {0x854F, {3, 3, 608, 240}, {437760, 145920, 240, 1}, {29184, 9728, 16, 87552}, 1313280},
      {0x855B, {3, 3, 60, 64}, {10800, 3600, 60, 1}, {11520, 3840, 64, 34560}, 34560},
      {0x855C, {3, 3, 60, 16}, {180, 60, 1, 1}, {2880, 960, 16, 8640}, 8640},
  };
  for (const Worked& w : worked) {
    SCOPED_TRACE(w.id);
    const ConvShape& s = by_reorder(w.id)->shape;
    const MemoryDesc src = qel::dnn::layers::reorder_src_desc(s);
    const MemoryDesc dst = qel::dnn::layers::reorder_dst_desc(s);
    EXPECT_EQ(padded(dst), w.padded);
    EXPECT_EQ(strides(src), w.src_strides);
    EXPECT_EQ(strides(dst), w.dst_strides);
    EXPECT_EQ(dims(src), dims(dst));
    EXPECT_EQ(dst.inner_nblks, 1);
    EXPECT_EQ(dst.inner_idxs[0], 3);
    EXPECT_EQ(s.padded_cout() * s.k * s.k * s.cin, w.size);
  }
}

// The reorder's destination and the convolution's weights are one memory:
// the same descriptor with the axes (K, K, Cin, Cout) taken as (Cout, Cin, K, K).
TEST(LayerDescriptors, EveryReorderWritesWhatItsConvolutionReads) {
  const int perm[4] = {3, 2, 0, 1};  // conv axis i is reorder axis perm[i]
  for (const LayerRow& l : kLayers) {
    SCOPED_TRACE(l.conv_id);
    const MemoryDesc w = qel::dnn::layers::conv_weights_desc(l.shape);
    const MemoryDesc r = qel::dnn::layers::reorder_dst_desc(l.shape);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(w.dims[i], r.dims[perm[i]]);
      EXPECT_EQ(w.padded_dims[i], r.padded_dims[perm[i]]);
      EXPECT_EQ(w.strides[i], r.strides[perm[i]]);
    }
    EXPECT_EQ(w.inner_blks[0], r.inner_blks[0]);
    EXPECT_EQ(perm[w.inner_idxs[0]], r.inner_idxs[0]);
  }
}

// ---- The handle layer's descriptors ---------------------------------------------

TEST(MemoryDescValue, KeepsItsOwnCopyAndRejectsInconsistentLists) {
  // The lists are temporaries that die with the constructor call.
  const MemoryDesc d(2, {4, 5}, dnnl_f32, {4, 5}, {0, 0}, 0, dnnl_blocked, {5, 1}, 0, {}, {});
  EXPECT_EQ(dims(d), (V{4, 5}));
  EXPECT_EQ(strides(d), (V{5, 1}));
  const MemoryDesc copy = d;
  EXPECT_EQ(std::memcmp(&copy, &d, sizeof d), 0);

  EXPECT_THROW(MemoryDesc(2, {4}, dnnl_f32, {4, 5}, {0, 0}, 0, dnnl_blocked, {5, 1}, 0, {}, {}), Error);
  EXPECT_THROW(MemoryDesc(2, {4, 5}, dnnl_f32, {4, 5}, {0, 0}, 0, dnnl_blocked, {5, 1, 1}, 0, {}, {}), Error);
  EXPECT_THROW(MemoryDesc(2, {4, 5}, dnnl_f32, {4, 5}, {0, 0}, 0, dnnl_blocked, {5, 1}, 1, {}, {}), Error);
  EXPECT_THROW(MemoryDesc(2, {4, 5}, dnnl_f32, {4, 8}, {0, 0}, 0, dnnl_blocked, {8, 1}, 1, {8}, {2}), Error);
  EXPECT_THROW(MemoryDesc(13, {}, dnnl_f32, {}, {}, 0, dnnl_blocked, {}, 0, {}, {}), Error);

  EXPECT_TRUE(MemoryDesc(static_cast<const dnnl_memory_desc*>(nullptr)).empty());
  EXPECT_THROW(MemoryDesc(reinterpret_cast<const dnnl_memory_desc*>(&d)), Error);
}

MemoryDesc plain2(long d0, long d1, long s0, long s1) {
  return MemoryDesc(2, {d0, d1}, dnnl_f32, {d0, d1}, {0, 0}, 0, dnnl_blocked, {s0, s1}, 0, {}, {});
}

// A plain reorder through arbitrary strides: a transposition.
TEST(HandleReorder, PlainStridesAreTakenAsGiven) {
  qel::dnn::dnnl::Reorder r(nullptr, plain2(3, 4, 4, 1), plain2(3, 4, 1, 3));
  std::vector<float> a(12), b(12, -1.f);
  for (int i = 0; i < 12; ++i) a[i] = static_cast<float>(i);
  r(a.data(), b.data());
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(b[j * 3 + i], a[i * 4 + j]);
}

// Offset of element `idx` in a layout with at most one inner block.
long offset_of(const MemoryDesc& d, const long* idx) {
  long off = 0;
  for (int i = 0; i < d.ndims; ++i) {
    const bool blocked = d.inner_nblks == 1 && d.inner_idxs[0] == i;
    off += d.strides[i] * (blocked ? idx[i] / d.inner_blks[0] : idx[i]);
    if (blocked) off += idx[i] % d.inner_blks[0];
  }
  return off;
}

// Runs a reorder of index-valued data over {2, 3, 4, 20} and checks every
// element against the offsets of both descriptors, and the padding.
void check_reorder(const MemoryDesc& src, const MemoryDesc& dst, size_t dst_size) {
  qel::dnn::dnnl::Reorder r(nullptr, src, dst);
  std::vector<float> a(2 * 3 * 4 * 20), b(dst_size, -1.f);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i);
  r(a.data(), b.data());
  std::vector<char> hit(dst_size, 0);
  long idx[4];
  for (idx[0] = 0; idx[0] < 2; ++idx[0]) {
    for (idx[1] = 0; idx[1] < 3; ++idx[1]) {
      for (idx[2] = 0; idx[2] < 4; ++idx[2]) {
        for (idx[3] = 0; idx[3] < 20; ++idx[3]) {
          const long to = offset_of(dst, idx);
          hit[static_cast<size_t>(to)] = 1;
          ASSERT_EQ(b[static_cast<size_t>(to)], a[static_cast<size_t>(offset_of(src, idx))])
              << idx[0] << " " << idx[1] << " " << idx[2] << " " << idx[3];
        }
      }
    }
  }
  for (size_t i = 0; i < dst_size; ++i) {
    if (hit[i]) continue;
    EXPECT_EQ(b[i], 0.0f) << "padding at " << i;
  }
}

// The handle merges dimensions only where both layouts keep them contiguous:
// dims 0 to 2 merge in the first case; in the second the destination puts
// dim 1 outside dim 0, so nothing merges (the source keeps dim 0 outside);
// then a source in another memory order, and a plain pair.
TEST(HandleReorder, MergedDimensionsKeepEveryElementInPlace) {
  const MemoryDesc src(4, {2, 3, 4, 20}, dnnl_f32, {2, 3, 4, 20}, {0, 0, 0, 0}, 0, dnnl_blocked,
                       {240, 80, 20, 1}, 0, {}, {});
  // [dim 3 / 16][0][1][2][16], padded to 32.
  check_reorder(src,
                MemoryDesc(4, {2, 3, 4, 20}, dnnl_f32, {2, 3, 4, 32}, {0, 0, 0, 0}, 0, dnnl_blocked,
                           {192, 64, 16, 384}, 1, {16}, {3}),
                768);
  // [dim 3 / 16][1][0][2][16]: dims 0 and 1 swap, only dim 2 stays inside.
  check_reorder(src,
                MemoryDesc(4, {2, 3, 4, 20}, dnnl_f32, {2, 3, 4, 32}, {0, 0, 0, 0}, 0, dnnl_blocked,
                           {64, 128, 16, 384}, 1, {16}, {3}),
                768);
  // A source whose memory order is not its axis order (dims 3, 1, 0, 2):
  // merged in memory order, dims 1, 0 and 2 become one after the blocked one.
  check_reorder(MemoryDesc(4, {2, 3, 4, 20}, dnnl_f32, {2, 3, 4, 20}, {0, 0, 0, 0}, 0, dnnl_blocked,
                           {4, 8, 1, 24}, 0, {}, {}),
                MemoryDesc(4, {2, 3, 4, 20}, dnnl_f32, {2, 3, 4, 32}, {0, 0, 0, 0}, 0, dnnl_blocked,
                           {64, 128, 16, 384}, 1, {16}, {3}),
                768);
  // Plain to plain with dims 2 and 3 transposed: dims 0 and 1 merge.
  check_reorder(src,
                MemoryDesc(4, {2, 3, 4, 20}, dnnl_f32, {2, 3, 4, 20}, {0, 0, 0, 0}, 0, dnnl_blocked,
                           {240, 80, 1, 4}, 0, {}, {}),
                480);
}

// Layouts that cannot be expressed exactly are refused with a clear message.
TEST(HandleReorder, RefusesLayoutsItCannotExpress) {
  const MemoryDesc src(4, {2, 2, 8, 20}, dnnl_f32, {2, 2, 8, 20}, {0, 0, 0, 0}, 0, dnnl_blocked,
                       {320, 160, 20, 1}, 0, {}, {});
  auto refused = [&](const MemoryDesc& dst, const char* why) {
    try {
      qel::dnn::dnnl::Reorder r(nullptr, src, dst);
      ADD_FAILURE() << "accepted: " << why;
    } catch (const Error& e) {
      EXPECT_FALSE(std::string(e.what()).empty());
    }
  };
  // Block of 16 over dim 3 but the block stride is not a whole block.
  refused(MemoryDesc(4, {2, 2, 8, 20}, dnnl_f32, {2, 2, 8, 32}, {0, 0, 0, 0}, 0, dnnl_blocked,
                     {256, 128, 16, 100}, 1, {16}, {3}),
          "overlapping blocks");
  // Padded further than the block requires.
  refused(MemoryDesc(4, {2, 2, 8, 20}, dnnl_f32, {2, 2, 8, 48}, {0, 0, 0, 0}, 0, dnnl_blocked,
                     {256, 128, 16, 512}, 1, {16}, {3}),
          "over-padded");
  refused(MemoryDesc(4, {2, 2, 8, 20}, dnnl_f32, {2, 2, 8, 20}, {0, 0, 0, 0}, 5, dnnl_blocked,
                     {320, 160, 20, 1}, 0, {}, {}),
          "offset0");
  refused(MemoryDesc(4, {2, 2, 8, 20}, dnnl_f32, {2, 2, 8, 20}, {0, 0, 0, 1}, 0, dnnl_blocked,
                     {320, 160, 20, 1}, 0, {}, {}),
          "padded offsets");
  refused(MemoryDesc(4, {2, 2, 8, 20}, dnnl_f32, {2, 2, 8, 24}, {0, 0, 0, 0}, 0, dnnl_blocked,
                     {384, 192, 24, 1}, 0, {}, {}),
          "padding without a block");
  refused(MemoryDesc(4, {2, 2, 8, 20}, dnnl_f32, {2, 2, 8, 20}, {0, 0, 0, 0}, 0, dnnl_format_kind_any,
                     {320, 160, 20, 1}, 0, {}, {}),
          "format kind");
  refused(MemoryDesc(4, {2, 2, 8, 20}, dnnl_s8, {2, 2, 8, 20}, {0, 0, 0, 0}, 0, dnnl_blocked,
                     {320, 160, 20, 1}, 0, {}, {}),
          "data type");
}

}  // namespace
