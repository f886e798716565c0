// The convolution and weight reorder layers: their exported functions, the
// layer table as data, and how a row's constants become descriptors.
#pragma once
#include <cstdint>

#include "dnn/device_singleton.h"
#include "dnn/dnnl_handle.h"
#include "runtime/qel_export.h"
#include "runtime/qel_records.h"

#define QEL_DNN_NAME(id) qel_x86_4602A7A4_00000000_D0_dnn_dnnl_##id

// Declarations of the 420 exported layer functions.
#define QEL_DNN_DECLARE_CONV_A(id) \
  QEL_EXPORT void QEL_DNN_NAME(id)(const qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*, qel_tensor_struct*);
#define QEL_DNN_DECLARE_CONV_B(id) QEL_DNN_DECLARE_CONV_A(id)
#define QEL_DNN_DECLARE_CONV_C(id) QEL_DNN_DECLARE_CONV_A(id)
#define QEL_DNN_DECLARE_CONV_D(id) \
  QEL_EXPORT void QEL_DNN_NAME(id)(const qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*);
extern "C" {
#define QEL_DNN_LAYER(cid, cT, cpart, ord, rid, rT, rpart, wp, bp, K, S, P, Cin, Hin, Cout, Hout, B) \
  QEL_DNN_DECLARE_CONV_##ord(cid) QEL_EXPORT void QEL_DNN_NAME(rid)(const qel_ctx_struct*, qel_tensor_struct*);
#include "dnn_layers.def"
#undef QEL_DNN_LAYER
}

namespace qel {
namespace dnn {
namespace layers {

// The constants of one convolution; its weight reorder uses K, Cin, Cout, B.
struct ConvShape {
  int k, stride, pad, cin, hin, cout, hout, block;
  bool bias;
  constexpr long padded_cout() const { return (cout + block - 1) / block * block; }
};

// One row of the layer table.
struct LayerRow {
  uint32_t conv_id;
  int conv_static;
  int conv_unit;
  char order;  // 'A' to 'D'
  uint32_t reorder_id;
  int reorder_static;
  int reorder_unit;
  int weights_param;
  int bias_param;  // -1: none
  ConvShape shape;
};

constexpr LayerRow kLayers[] = {
#define QEL_DNN_LAYER(cid, cT, cpart, ord, rid, rT, rpart, wp, bp, K, S, P, Cin, Hin, Cout, Hout, B) \
  {0x##cid, cT, cpart, #ord[0], 0x##rid, rT, rpart, wp, bp, {K, S, P, Cin, Hin, Cout, Hout, B, (bp) >= 0}},
#include "dnn_layers.def"
#undef QEL_DNN_LAYER
};
constexpr int kNumConvs = sizeof(kLayers) / sizeof(kLayers[0]);
static_assert(kNumConvs == 210, "the network has 210 convolutions");

// Position of a layer id among all 420 layer ids in ascending order.
constexpr int layer_rank(uint32_t id) {
  int r = 0;
  for (const LayerRow& l : kLayers) r += (l.conv_id < id) + (l.reorder_id < id);
  return r;
}
constexpr bool units_dealt_in_turn() {
  for (const LayerRow& l : kLayers) {
    if (layer_rank(l.conv_id) % 8 != l.conv_unit || layer_rank(l.reorder_id) % 8 != l.reorder_unit)
      return false;
  }
  return true;
}
static_assert(units_dealt_in_turn(), "a layer sits in the wrong source unit");
constexpr bool shapes_consistent() {
  for (const LayerRow& l : kLayers) {
    const ConvShape& s = l.shape;
    if ((s.hin + 2 * s.pad - s.k) / s.stride + 1 != s.hout) return false;
    if (s.bias != (l.bias_param >= 0)) return false;
  }
  return true;
}
static_assert(shapes_consistent(), "a row's output size does not follow from its input");

using dnnl::MemoryDesc;

// Descriptors of a convolution: dense channels-last source and destination,
// weights as [padded Cout / B][K][K][Cin][B] seen in {Cout, Cin, K, K} order
// with the block over Cout, bias of Cout values.
inline MemoryDesc conv_src_desc(const ConvShape& s) {
  const long h = s.hin, c = s.cin;
  return MemoryDesc(4, {32, c, h, h}, dnnl_f32, {32, c, h, h}, {0, 0, 0, 0}, 0, dnnl_blocked,
                    {h * h * c, 1, h * c, c}, 0, {}, {});
}
inline MemoryDesc conv_dst_desc(const ConvShape& s) {
  const long h = s.hout, c = s.cout;
  return MemoryDesc(4, {32, c, h, h}, dnnl_f32, {32, c, h, h}, {0, 0, 0, 0}, 0, dnnl_blocked,
                    {h * h * c, 1, h * c, c}, 0, {}, {});
}
inline MemoryDesc conv_weights_desc(const ConvShape& s) {
  const long k = s.k, ci = s.cin, co = s.cout, b = s.block;
  return MemoryDesc(4, {co, ci, k, k}, dnnl_f32, {s.padded_cout(), ci, k, k}, {0, 0, 0, 0}, 0,
                    dnnl_blocked, {k * k * ci * b, b, k * ci * b, ci * b}, 1, {b}, {0});
}
inline MemoryDesc conv_bias_desc(const ConvShape& s) {
  if (!s.bias) return MemoryDesc(static_cast<const dnnl_memory_desc*>(nullptr));
  const long co = s.cout;
  return MemoryDesc(1, {co}, dnnl_f32, {co}, {0}, 0, dnnl_blocked, {1}, 0, {}, {});
}

// Descriptors of a weight reorder: the parameter as stored (plain
// K x K x Cin x Cout), and the convolution's weights memory seen in that
// same dimension order, the block now over dimension 3.
inline MemoryDesc reorder_src_desc(const ConvShape& s) {
  const long k = s.k, ci = s.cin, co = s.cout;
  return MemoryDesc(4, {k, k, ci, co}, dnnl_f32, {k, k, ci, co}, {0, 0, 0, 0}, 0, dnnl_blocked,
                    {k * ci * co, ci * co, co, 1}, 0, {}, {});
}
inline MemoryDesc reorder_dst_desc(const ConvShape& s) {
  const long k = s.k, ci = s.cin, co = s.cout, b = s.block;
  return MemoryDesc(4, {k, k, ci, co}, dnnl_f32, {k, k, ci, s.padded_cout()}, {0, 0, 0, 0}, 0,
                    dnnl_blocked, {k * ci * b, ci * b, b, k * k * ci * b}, 1, {b}, {3});
}

// Creators' shared work: build the descriptors of a row and construct its
// primitive in new storage (released again if the construction throws).
inline DeviceItem<dnnl::Conv>* create_conv(const qel_ctx_struct* ctx, const ConvShape& s) {
  const MemoryDesc src = conv_src_desc(s);
  const MemoryDesc dst = conv_dst_desc(s);
  const MemoryDesc wei = conv_weights_desc(s);
  const MemoryDesc bias = conv_bias_desc(s);
  const dnnl::Dims12 strides = {s.stride, s.stride};
  const dnnl::Dims12 dilations = {0, 0};
  const dnnl::Dims12 pad_l = {s.pad, s.pad};
  const dnnl::Dims12 pad_r = {s.pad, s.pad};
  return new DeviceItem<dnnl::Conv>(ctx, src, dst, wei, bias, strides, dilations, pad_l, pad_r, 0);
}
inline DeviceItem<dnnl::Reorder>* create_reorder(const qel_ctx_struct* ctx, const ConvShape& s) {
  const MemoryDesc src = reorder_src_desc(s);
  const MemoryDesc dst = reorder_dst_desc(s);
  return new DeviceItem<dnnl::Reorder>(ctx, src, dst);
}

// The bias of a convolution: the data of parameter `index`, or null.
inline void* bias_data(const qel_ctx_struct* ctx, int index) {
  return index >= 0 ? ctx->params[index].data : nullptr;
}

}  // namespace layers
}  // namespace dnn
}  // namespace qel
