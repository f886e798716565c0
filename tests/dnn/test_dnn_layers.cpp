// The exported convolution and weight reorder layers of the table, run on real
// buffers: one layer of every form against a naive convolution, every reorder
// against the blocked layout, and all 420 layers creating their primitives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "dnn_test_util.h"

using namespace dnntest;

namespace {

// The first layer of every distinct form (kernel, stride, padding, size,
// block, bias, argument order) of the table.
std::vector<LayerCallers> one_layer_per_form() {
  std::map<std::tuple<int, int, int, int, int, bool, char>, LayerCallers> forms;
  for (const LayerCallers& c : layer_callers()) {
    const ConvShape& s = c.row->shape;
    forms.emplace(std::make_tuple(s.k, s.stride, s.pad, s.hin, s.block, s.bias, c.row->order), c);
  }
  std::vector<LayerCallers> v;
  for (const auto& f : forms) v.push_back(f.second);
  return v;
}

class LayerForms : public ::testing::TestWithParam<LayerCallers> {};

// Reorder then convolution of one layer on random data, against the naive
// convolution of the stored weights. Weights temporary and destination start
// as NaN, so misplaced or unwritten values show; their guard zones catch
// writes past the end.
TEST_P(LayerForms, MatchNaiveConvolution) {
  const LayerRow& row = *GetParam().row;
  const ConvShape& s = row.shape;
  TestContext tc;
  std::vector<float> weights =
      random_values(static_cast<size_t>(s.k) * s.k * s.cin * s.cout, 11 + row.conv_id, 1.0f / std::sqrt(s.k * s.k * s.cin));
  std::vector<float> bias = random_values(s.cout, 7 + row.conv_id);
  std::vector<float> src = random_values(static_cast<size_t>(32) * s.hin * s.hin * s.cin, 3 + row.conv_id);
  tc.params[row.weights_param] = tensor_of(weights.data());
  if (s.bias) tc.params[row.bias_param] = tensor_of(bias.data());
  GuardedBuffer temp(weights_temp_size(s)), dst(static_cast<size_t>(32) * s.hout * s.hout * s.cout);
  tc.outputs[0] = tensor_of(dst.data());
  qel_tensor_struct t_src = tensor_of(src.data()), t_dst = tensor_of(dst.data()), t_wei = tensor_of(temp.data());
  GetParam().reorder(tc.get(), &t_wei);
  GetParam().conv(tc.get(), &t_src, &t_dst, &t_wei);
  EXPECT_TRUE(temp.guard_intact());
  EXPECT_TRUE(dst.guard_intact()) << "the convolution wrote past its destination";

  const size_t image = static_cast<size_t>(s.hout) * s.hout * s.cout;
  for (int n : {0, 31}) {
    const std::vector<double> ref = naive_conv_image(src.data(), s, weights.data(), s.bias ? bias.data() : nullptr, n);
    double peak = 1e-30;
    for (double v : ref) peak = std::max(peak, std::fabs(v));
    size_t bad = 0;
    for (size_t i = 0; i < image; ++i)
      if (!(std::fabs(dst[n * image + i] - ref[i]) <= 1e-4 * peak) && bad++ < 5)
        ADD_FAILURE() << "image " << n << " element " << i << ": " << dst[n * image + i] << " instead of " << ref[i];
    EXPECT_EQ(bad, 0u) << "image " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LayerForms, ::testing::ValuesIn(one_layer_per_form()),
                         [](const ::testing::TestParamInfo<LayerCallers>& i) {
                           char name[16];
                           std::snprintf(name, sizeof name, "conv_%04X", i.param.row->conv_id);
                           return std::string(name);
                         });

// Every weight reorder places index-valued data where the blocked layout
// [ceil(Cout / B)][K][K][Cin][B] puts it, and clears the padded lanes.
TEST(ReorderPlacement, EveryLayerOfTheTable) {
  for (const LayerCallers& c : layer_callers()) {
    const ConvShape& s = c.row->shape;
    SCOPED_TRACE(testing::Message() << std::hex << c.row->reorder_id);
    TestContext tc;
    std::vector<float> param(static_cast<size_t>(s.k) * s.k * s.cin * s.cout);
    for (size_t i = 0; i < param.size(); ++i) param[i] = static_cast<float>(i);
    tc.params[c.row->weights_param] = tensor_of(param.data());
    GuardedBuffer temp(weights_temp_size(s));
    qel_tensor_struct t = tensor_of(temp.data());
    c.reorder(tc.get(), &t);
    std::vector<float> want(temp.size, 0.0f);
    size_t from = 0;
    for (int kh = 0; kh < s.k; ++kh)
      for (int kw = 0; kw < s.k; ++kw)
        for (int ci = 0; ci < s.cin; ++ci)
          for (int co = 0; co < s.cout; ++co, ++from)
            want[((((static_cast<size_t>(co) / s.block) * s.k + kh) * s.k + kw) * s.cin + ci) * s.block +
                 co % s.block] = static_cast<float>(from);
    ASSERT_TRUE(std::equal(want.begin(), want.end(), temp.v.begin()));
    ASSERT_TRUE(temp.guard_intact());
  }
}

// One forward pass of all 420 layers over shared buffers of zeros: each
// creates exactly one primitive, labelled with its id and kind, none runs on
// oneDNN's reference code, and a second pass creates nothing.
TEST(AllLayers, EachCreatesOnePrimitiveAndNoneRunsOnReferenceCode) {
  size_t most = 0;
  for (const LayerRow& l : kLayers) {
    const ConvShape& s = l.shape;
    most = std::max({most, static_cast<size_t>(32) * s.hin * s.hin * s.cin, static_cast<size_t>(32) * s.hout * s.hout * s.cout,
                     weights_temp_size(s)});
  }
  std::vector<float> src(most, 0.f), dst(most, 0.f), wei(most, 0.f), param(most, 0.f);
  TestContext tc;
  for (auto& p : tc.params) p = tensor_of(param.data());
  tc.outputs[0] = tensor_of(dst.data());
  qel_tensor_struct t_src = tensor_of(src.data()), t_dst = tensor_of(dst.data()), t_wei = tensor_of(wei.data());
  for (int pass = 0; pass < 2; ++pass)
    for (const LayerCallers& l : layer_callers()) {
      ASSERT_NO_THROW(l.reorder(tc.get(), &t_wei)) << std::hex << l.row->reorder_id;
      ASSERT_NO_THROW(l.conv(tc.get(), &t_src, &t_dst, &t_wei)) << std::hex << l.row->conv_id;
    }

  std::map<std::string, qel::dnn::dnnl::PrimitiveRecord> by_layer;
  for (const auto& r : qel::dnn::dnnl::created_primitives()) EXPECT_TRUE(by_layer.emplace(r.layer, r).second) << r.layer;
  EXPECT_EQ(by_layer.size(), 420u);
  for (const LayerRow& l : kLayers) {
    char rid[32], cid[32];
    std::snprintf(rid, sizeof rid, "%04X (weight reorder)", l.reorder_id);
    std::snprintf(cid, sizeof cid, "%04X (convolution)", l.conv_id);
    const auto &r = by_layer[rid], &c = by_layer[cid];
    EXPECT_TRUE(c.convolution && !r.convolution && !r.impl.empty()) << cid;
    for (const std::string& impl : {c.impl, c.converter_impl, r.impl})
      EXPECT_EQ(impl.find("ref"), std::string::npos) << cid << " runs on " << impl;
  }
}

}  // namespace
