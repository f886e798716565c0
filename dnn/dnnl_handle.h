// Our DNN handle layer over oneDNN 3.x: memory descriptors given field by
// field, convolution and reorder primitives, and their executors.
//
// A layer describes each tensor exactly (dims, padded dims, strides in
// elements, inner blocks); the layer turns that description into a oneDNN
// memory descriptor and refuses, with an exception, any layout it cannot
// express exactly. Primitives are created once and then executed with fresh
// data pointers on every call. Every failure is a qel::dnn::dnnl::Error.
//
// All primitives run on the process's one CPU engine and stream and share
// one scratch buffer, so they must run one at a time (the network calls every
// layer from one thread); oneDNN parallelises inside each primitive.
#pragma once
#include <oneapi/dnnl/dnnl_types.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "runtime/qel_records.h"

namespace qel {
namespace dnn {
namespace dnnl {

// Most dimensions a descriptor can have (that of oneDNN).
constexpr int kMaxDims = 12;

// A failure of the handle layer: a oneDNN call that did not succeed, a layout
// that cannot be expressed, a null data pointer. `status` is the oneDNN
// status (dnnl_success when the failure is our own check), `layer` the label
// of the layer whose primitive failed (empty outside a layer).
class Error : public std::runtime_error {
 public:
  Error(const std::string& what, dnnl_status_t status, std::string layer);
  dnnl_status_t status() const noexcept { return status_; }
  const std::string& layer() const noexcept { return layer_; }

 private:
  dnnl_status_t status_;
  std::string layer_;
};

// A memory descriptor given field by field, in the order of oneDNN's blocking
// description. The value keeps its own copy of every field; the lists passed
// to the constructor may die right after it.
struct MemoryDesc {
  using List = std::initializer_list<long>;

  int32_t ndims = 0;                   // 0: the empty descriptor
  int64_t dims[kMaxDims] = {};
  int32_t data_type = 0;               // dnnl_data_type_t
  int64_t padded_dims[kMaxDims] = {};
  int64_t padded_offsets[kMaxDims] = {};
  int64_t offset0 = 0;
  int32_t format_kind = 0;             // dnnl_format_kind_t
  int64_t strides[kMaxDims] = {};
  int32_t inner_nblks = 0;
  int64_t inner_blks[kMaxDims] = {};
  int64_t inner_idxs[kMaxDims] = {};

  // The eleven fields in order. Throws Error when a list's length does not
  // fit ndims (dims, padded dims, padded offsets, strides) or inner_nblks
  // (inner blocks and their indices), or when a count is out of range.
  MemoryDesc(int ndims, const List& dims, dnnl_data_type_t data_type, const List& padded_dims,
             const List& padded_offsets, long offset0, dnnl_format_kind_t format_kind,
             const List& strides, int inner_nblks, const List& inner_blks,
             const List& inner_idxs);
  // From a null pointer: the empty descriptor, which stands for an absent
  // tensor (a convolution without bias). Any other pointer is refused.
  explicit MemoryDesc(const dnnl_memory_desc* md);

  bool empty() const noexcept { return ndims == 0; }
};
static_assert(std::is_trivially_copyable<MemoryDesc>::value, "descriptors are copied bytewise");
static_assert(std::is_trivially_destructible<MemoryDesc>::value, "descriptors need no cleanup");

// Spatial parameters of a convolution: height first, then width; the other
// entries are unused and 0. A dilation of 0 means adjacent taps.
using Dims12 = long[kMaxDims];

// Base of every created primitive: runs it on N data pointers.
template <int N>
class Executor {
 public:
  virtual ~Executor() noexcept = default;
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  // Runs the primitive once; returns when the destination is written.
  template <typename... Ptrs>
  void operator()(Ptrs... ptrs) {
    static_assert(sizeof...(Ptrs) == N, "wrong number of data pointers");
    void* const p[N] = {const_cast<void*>(static_cast<const void*>(ptrs))...};
    execute(p);
  }

 protected:
  Executor() = default;
  virtual void execute(void* const* ptrs) = 0;
};

namespace detail {
class ConvPrimitive;
class ReorderPrimitive;

// The non-template core of a convolution; ConvBase forwards to it.
class ConvCore {
 public:
  ConvCore(const MemoryDesc& src, const MemoryDesc& dst, const MemoryDesc& weights,
           const MemoryDesc& bias, const Dims12& strides, const Dims12& dilations,
           const Dims12& padding_l, const Dims12& padding_r);
  ~ConvCore() noexcept;
  ConvCore(const ConvCore&) = delete;
  ConvCore& operator=(const ConvCore&) = delete;
  void execute(void* const* ptrs);

 private:
  std::unique_ptr<ConvPrimitive> prim_;
};
}  // namespace detail

// A forward convolution: executed with (source, destination, weights, bias),
// bias null for a convolution described without one. Source, destination and
// bias are always used in the layout given. How it runs is the handle's
// choice: a convolution of images within its kernel's reach as one matrix
// product over a weights matrix gathered on every call, a 1x1 convolution of
// small images as matrix products over the weight blocks as given, any other
// as oneDNN's convolution, with the weights as given unless oneDNN offers
// only its reference code for that layout: then they are converted on every
// call, inside the executor, into the layout oneDNN prefers. Gathered and
// converted weights live in one scratch buffer shared by every primitive.
// The matrix products are the handle's own (panel_product.h), which sum
// every output in one fixed order whatever the number of threads. A
// description that oneDNN's convolution refuses is refused with its error,
// whichever form it would otherwise take.
template <typename Derived>
class ConvBase : public Executor<4> {
 public:
  // `ctx` is the context of the creating call; it is not read. `reserved` is
  // 0 in every layer and not read either.
  ConvBase(const qel_ctx_struct* ctx, const MemoryDesc& src, const MemoryDesc& dst,
           const MemoryDesc& weights, const MemoryDesc& bias, const Dims12& strides,
           const Dims12& dilations, const Dims12& padding_l, const Dims12& padding_r,
           int reserved)
      : core_(src, dst, weights, bias, strides, dilations, padding_l, padding_r) {
    (void)ctx;
    (void)reserved;
  }

 protected:
  void execute(void* const* ptrs) override { core_.execute(ptrs); }

 private:
  detail::ConvCore core_;
};

class Conv : public ConvBase<Conv> {
 public:
  using ConvBase<Conv>::ConvBase;
};

// A reorder: executed with (source, destination), it writes every source
// element to the place the destination descriptor gives it and clears the
// destination's padding (+0). Layouts that differ only in how one axis is
// cut into blocks run on the handle's own copy kernel (dnn/blocked_copy.h),
// which places every element as oneDNN's reorder does; others on oneDNN's.
class Reorder : public Executor<2> {
 public:
  Reorder(const qel_ctx_struct* ctx, MemoryDesc src, MemoryDesc dst);
  ~Reorder() noexcept override;

 protected:
  void execute(void* const* ptrs) override;

 private:
  std::unique_ptr<detail::ReorderPrimitive> prim_;
};

// Names the layer whose primitive is being created on this thread while the
// object lives; a created primitive keeps the name for its error messages.
class LayerLabel {
 public:
  explicit LayerLabel(const char* label) noexcept;
  ~LayerLabel() noexcept;
  LayerLabel(const LayerLabel&) = delete;
  LayerLabel& operator=(const LayerLabel&) = delete;

 private:
  const char* previous_;
};

// What became of each primitive created in this process, in creation order;
// for tests and benchmarks.
struct PrimitiveRecord {
  std::string layer;           // label of the creating layer
  bool convolution;            // false: a reorder
  std::string impl;            // oneDNN's implementation name
  bool weights_converted;      // convolution: weights converted on each call
  std::string converter_impl;  // implementation of that conversion, if any
};
std::vector<PrimitiveRecord> created_primitives();
// Runs the reorder from `src` to `dst` once with oneDNN's own reorder code,
// never our copy kernel: the yardstick that kernel is checked against. Its
// primitive is recorded like any other.
void onednn_reorder(const MemoryDesc& src, const MemoryDesc& dst, const void* from, void* to);
// Bytes of the scratch buffer shared by all primitives.
size_t shared_scratch_bytes();

}  // namespace dnnl
}  // namespace dnn
}  // namespace qel
