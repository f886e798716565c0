// Our DNN handle layer over the oneDNN 3.x C API.
#include "dnn/dnnl_handle.h"

#include <oneapi/dnnl/dnnl.h>
#include <oneapi/dnnl/dnnl_debug.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <utility>

#include "dnn/blocked_copy.h"
#include "dnn/panel_product.h"
#include "runtime/qel_lifetime.h"

namespace qel {
namespace dnn {
namespace dnnl {

namespace {

thread_local const char* t_layer_label = nullptr;

std::string current_label() { return t_layer_label != nullptr ? t_layer_label : ""; }

std::string with_layer(const std::string& what, const std::string& layer) {
  return layer.empty() ? what : what + " (layer " + layer + ")";
}

[[noreturn]] void fail(const std::string& what, const std::string& layer,
                       dnnl_status_t status = dnnl_success) {
  throw Error(with_layer(what, layer), status, layer);
}

// oneDNN sets up process-wide state on first use and registers exit handlers
// that free it. The library's exit mark must stay newer than all of them
// (runtime/qel_lifetime.h): a process that exits on another thread during a
// first run must not free that state under the run. So the mark is renewed
// right after every oneDNN call that creates something, which only the
// creation of primitives makes (the instruction-set query that may come first
// sets up its state just before one of them). Renewing only once a primitive
// is created would leave the calls between open, and exits timed into a
// first run crashed twice as often that way. Only creations inside a call into
// the library renew it, and only the first run after loading makes them.
dnnl_status_t marked(dnnl_status_t status) noexcept {
  renew_exit_mark();
  return status;
}

void check(dnnl_status_t status, const char* call, const std::string& layer) {
  if (status == dnnl_success) return;
  std::ostringstream os;
  os << call << " failed with oneDNN status " << dnnl_status2str(status) << " ("
     << static_cast<int>(status) << ")";
  fail(os.str(), layer, status);
}

// Owners of oneDNN handles.
struct MdDeleter {
  void operator()(dnnl_memory_desc* md) const noexcept { dnnl_memory_desc_destroy(md); }
};
struct PdDeleter {
  void operator()(dnnl_primitive_desc* pd) const noexcept { dnnl_primitive_desc_destroy(pd); }
};
struct PrimDeleter {
  void operator()(dnnl_primitive* p) const noexcept { dnnl_primitive_destroy(p); }
};
struct MemDeleter {
  void operator()(dnnl_memory* m) const noexcept { dnnl_memory_destroy(m); }
};
struct AttrDeleter {
  void operator()(dnnl_primitive_attr* a) const noexcept { dnnl_primitive_attr_destroy(a); }
};
using Md = std::unique_ptr<dnnl_memory_desc, MdDeleter>;
using Pd = std::unique_ptr<dnnl_primitive_desc, PdDeleter>;
using Prim = std::unique_ptr<dnnl_primitive, PrimDeleter>;
using Mem = std::unique_ptr<dnnl_memory, MemDeleter>;
using Attr = std::unique_ptr<dnnl_primitive_attr, AttrDeleter>;

// The process's CPU engine and stream, the shared scratch buffer and the
// record of created primitives. Created on first use and destroyed, with
// everything it owns, by the library's release: after every layer static, so
// the engine outlives every primitive. A use after the release creates it
// afresh.
class Runtime {
 public:
  static Runtime& get() {
    Runtime* rt = instance_.load(std::memory_order_acquire);
    return rt != nullptr ? *rt : create();
  }

  ~Runtime() {
    std::free(scratch_);
    dnnl_stream_destroy(stream_);
    dnnl_engine_destroy(engine_);
  }

  dnnl_engine_t engine() const noexcept { return engine_; }
  dnnl_stream_t stream() const noexcept { return stream_; }

  // Grows the shared scratch buffer to at least `bytes`; called while a
  // primitive is created, never while one runs.
  void reserve_scratch(size_t bytes, const std::string& layer) {
    std::lock_guard<std::mutex> lock(mu_);
    if (bytes <= scratch_bytes_) return;
    const size_t rounded = (bytes + 4095) / 4096 * 4096;
    void* p = nullptr;
    if (posix_memalign(&p, 4096, rounded) != 0 || p == nullptr)
      fail("cannot allocate " + std::to_string(rounded) + " bytes of scratch memory", layer);
    std::free(scratch_);
    scratch_ = static_cast<char*>(p);
    scratch_bytes_ = rounded;
  }
  char* scratch() const noexcept { return scratch_; }
  size_t scratch_bytes() const noexcept { return scratch_bytes_; }

  void record(PrimitiveRecord r) {
    std::lock_guard<std::mutex> lock(mu_);
    records_.push_back(std::move(r));
  }
  std::vector<PrimitiveRecord> records() {
    std::lock_guard<std::mutex> lock(mu_);
    return records_;
  }

  // Format tag and axis permutation pairs that expressed a blocked layout
  // before; tried first for the next one.
  std::vector<std::pair<int, std::vector<int>>> known_layouts() {
    std::lock_guard<std::mutex> lock(mu_);
    return known_layouts_;
  }
  void add_known_layout(int tag, const std::vector<int>& perm) {
    std::lock_guard<std::mutex> lock(mu_);
    known_layouts_.emplace_back(tag, perm);
  }

 private:
  Runtime() {
    check(marked(dnnl_engine_create(&engine_, dnnl_cpu, 0)), "creating the CPU engine", "");
    const dnnl_status_t st = marked(dnnl_stream_create(&stream_, engine_, dnnl_stream_default_flags));
    if (st != dnnl_success) {
      dnnl_engine_destroy(engine_);
      check(st, "creating the CPU stream", "");
    }
  }

  static Runtime& create() {
    // Constant-initialised and trivially destructible: registers nothing for exit.
    static std::mutex creating;
    static ReleaseHook hook{&destroy, nullptr, nullptr};
    const std::lock_guard<std::mutex> lock(creating);
    Runtime* rt = instance_.load(std::memory_order_relaxed);
    if (rt == nullptr) {
      rt = new Runtime();
      hook.object = rt;
      register_release(ReleaseStage::kHandleLayer, &hook);
      instance_.store(rt, std::memory_order_release);
    }
    return *rt;
  }
  static void destroy(void* rt) {
    instance_.store(nullptr, std::memory_order_release);
    delete static_cast<Runtime*>(rt);
  }

  static std::atomic<Runtime*> instance_;
  dnnl_engine_t engine_ = nullptr;
  dnnl_stream_t stream_ = nullptr;
  std::mutex mu_;
  char* scratch_ = nullptr;
  size_t scratch_bytes_ = 0;
  std::vector<PrimitiveRecord> records_;
  std::vector<std::pair<int, std::vector<int>>> known_layouts_;
};

std::atomic<Runtime*> Runtime::instance_{nullptr};
static_assert(std::is_trivially_destructible<std::mutex>::value, "a static mutex must register no exit handler");

size_t align_up(size_t n) { return (n + 63) / 64 * 64; }

// Implementation names recorded for what runs on our own copy kernel and on
// our own matrix product.
const char* const kOwnCopyImpl = "avx2:blocked_copy";
const char* const kOwnProductImpl = "avx2:panel_product";

// ---- Descriptor conversion ------------------------------------------------

std::string render(const int64_t* v, int n) {
  std::string s = "{";
  for (int i = 0; i < n; ++i) s += (i ? ", " : "") + std::to_string(v[i]);
  return s + "}";
}

std::string render(const MemoryDesc& d) {
  std::ostringstream os;
  os << "dims " << render(d.dims, d.ndims) << ", padded dims " << render(d.padded_dims, d.ndims)
     << ", strides " << render(d.strides, d.ndims) << ", inner blocks "
     << render(d.inner_blks, d.inner_nblks) << " over dims " << render(d.inner_idxs, d.inner_nblks);
  return os.str();
}

// True when the oneDNN descriptor describes exactly the layout of `d`.
// With `unit_strides` false, the strides of dimensions of size one (and
// unpadded) are not compared: they never contribute to an offset.
bool same_layout(const_dnnl_memory_desc_t md, const MemoryDesc& d, bool unit_strides = true) {
  int32_t ndims = 0;
  if (dnnl_memory_desc_query(md, dnnl_query_ndims_s32, &ndims) != dnnl_success || ndims != d.ndims)
    return false;
  dnnl_data_type_t dt = dnnl_data_type_undef;
  dnnl_format_kind_t fk = dnnl_format_kind_undef;
  dnnl_dim_t off0 = -1;
  dnnl_memory_desc_query(md, dnnl_query_data_type, &dt);
  dnnl_memory_desc_query(md, dnnl_query_format_kind, &fk);
  dnnl_memory_desc_query(md, dnnl_query_submemory_offset_s64, &off0);
  if (dt != d.data_type || fk != dnnl_blocked || off0 != d.offset0) return false;
  const dnnl_dims_t* dims = nullptr;
  const dnnl_dims_t* pdims = nullptr;
  const dnnl_dims_t* poffs = nullptr;
  const dnnl_dims_t* strides = nullptr;
  dnnl_memory_desc_query(md, dnnl_query_dims, &dims);
  dnnl_memory_desc_query(md, dnnl_query_padded_dims, &pdims);
  dnnl_memory_desc_query(md, dnnl_query_padded_offsets, &poffs);
  dnnl_memory_desc_query(md, dnnl_query_strides, &strides);
  if (!dims || !pdims || !poffs || !strides) return false;
  for (int i = 0; i < ndims; ++i) {
    const bool unit = !unit_strides && d.dims[i] == 1 && d.padded_dims[i] == 1;
    if ((*dims)[i] != d.dims[i] || (*pdims)[i] != d.padded_dims[i] ||
        (*poffs)[i] != d.padded_offsets[i] || (!unit && (*strides)[i] != d.strides[i]))
      return false;
  }
  int32_t nblks = -1;
  dnnl_memory_desc_query(md, dnnl_query_inner_nblks_s32, &nblks);
  if (nblks != d.inner_nblks) return false;
  if (nblks > 0) {
    const dnnl_dims_t* blks = nullptr;
    const dnnl_dims_t* idxs = nullptr;
    dnnl_memory_desc_query(md, dnnl_query_inner_blks, &blks);
    dnnl_memory_desc_query(md, dnnl_query_inner_idxs, &idxs);
    if (!blks || !idxs) return false;
    for (int i = 0; i < nblks; ++i)
      if ((*blks)[i] != d.inner_blks[i] || (*idxs)[i] != d.inner_idxs[i]) return false;
  }
  return true;
}

// The descriptor that format `tag` gives dims permuted by `perm`, with the
// axes permuted back, so that its dims are those of `d`; null if oneDNN
// refuses either step.
Md tagged(const MemoryDesc& d, int tag, const std::vector<int>& perm) {
  dnnl_dims_t dims = {};
  for (int i = 0; i < d.ndims; ++i) dims[i] = d.dims[perm[i]];
  dnnl_memory_desc_t base = nullptr;
  if (dnnl_memory_desc_create_with_tag(&base, d.ndims, dims, static_cast<dnnl_data_type_t>(d.data_type),
                                       static_cast<dnnl_format_tag_t>(tag)) != dnnl_success)
    return nullptr;
  Md base_owner(base);
  dnnl_memory_desc_t out = nullptr;
  if (dnnl_memory_desc_permute_axes(&out, base, perm.data()) != dnnl_success) return nullptr;
  return Md(out);
}

// Whether format `tag` has the inner blocks of `d` (sizes, in order).
bool blocks_match(const MemoryDesc& d, int tag) {
  dnnl_dims_t dims = {};
  for (int i = 0; i < d.ndims; ++i) dims[i] = d.dims[i];
  dnnl_memory_desc_t md = nullptr;
  if (dnnl_memory_desc_create_with_tag(&md, d.ndims, dims, static_cast<dnnl_data_type_t>(d.data_type),
                                       static_cast<dnnl_format_tag_t>(tag)) != dnnl_success)
    return false;
  Md owner(md);
  int32_t nblks = -1;
  dnnl_memory_desc_query(md, dnnl_query_inner_nblks_s32, &nblks);
  if (nblks != d.inner_nblks) return false;
  const dnnl_dims_t* blks = nullptr;
  dnnl_memory_desc_query(md, dnnl_query_inner_blks, &blks);
  for (int i = 0; i < nblks; ++i)
    if ((*blks)[i] != d.inner_blks[i]) return false;
  return true;
}

// Expresses a blocked layout through a oneDNN format tag and an axis
// permutation, each candidate verified by querying it back.
Md blocked_md(const MemoryDesc& d, bool unit_strides) {
  Runtime& rt = Runtime::get();
  for (const auto& known : rt.known_layouts()) {
    if (static_cast<int>(known.second.size()) != d.ndims) continue;
    Md md = tagged(d, known.first, known.second);
    if (md && same_layout(md.get(), d, unit_strides)) return md;
  }
  // Permutations of more than six axes are too many to try.
  if (d.ndims > 6) return nullptr;
  std::vector<int> perm(d.ndims);
  for (int tag = dnnl_format_tag_any + 1; tag < dnnl_format_tag_last; ++tag) {
    if (!blocks_match(d, tag)) continue;
    for (int i = 0; i < d.ndims; ++i) perm[i] = i;
    do {
      Md md = tagged(d, tag, perm);
      if (md && same_layout(md.get(), d, unit_strides)) {
        rt.add_known_layout(tag, perm);
        return md;
      }
    } while (std::next_permutation(perm.begin(), perm.end()));
  }
  return nullptr;
}

// The oneDNN descriptor of exactly the layout `d` describes, or an Error.
// With `unit_strides` false, the strides `d` gives dimensions of size one
// may differ in the result (see same_layout).
Md to_onednn(const MemoryDesc& d, const char* role, const std::string& layer, bool unit_strides = true) {
  const std::string who = std::string("the ") + role + " descriptor";
  if (d.format_kind != dnnl_blocked)
    fail(who + " has format kind " + std::to_string(d.format_kind) +
             "; only the blocked kind can be described", layer);
  if (d.data_type != dnnl_f32)
    fail(who + " has data type " + std::to_string(d.data_type) + "; only f32 is supported", layer);
  if (d.offset0 != 0) fail(who + " has a nonzero offset, which cannot be described", layer);
  for (int i = 0; i < d.ndims; ++i) {
    if (d.dims[i] <= 0) fail(who + " has a dimension that is not positive: " + render(d), layer);
    if (d.padded_offsets[i] != 0)
      fail(who + " has a nonzero padded offset, which cannot be described", layer);
    if (d.padded_dims[i] < d.dims[i])
      fail(who + " has padded dims smaller than its dims: " + render(d), layer);
  }
  Md md;
  if (d.inner_nblks == 0) {
    for (int i = 0; i < d.ndims; ++i)
      if (d.padded_dims[i] != d.dims[i])
        fail(who + " pads a dimension without blocking it: " + render(d), layer);
    dnnl_dims_t dims = {};
    dnnl_dims_t strides = {};
    std::copy(d.dims, d.dims + d.ndims, dims);
    std::copy(d.strides, d.strides + d.ndims, strides);
    dnnl_memory_desc_t out = nullptr;
    const dnnl_status_t st = dnnl_memory_desc_create_with_strides(
        &out, d.ndims, dims, static_cast<dnnl_data_type_t>(d.data_type), strides);
    if (st != dnnl_success)
      fail(who + " cannot be expressed (" + render(d) + ")", layer, st);
    md.reset(out);
  } else {
    md = blocked_md(d, unit_strides);
  }
  if (!md || !same_layout(md.get(), d, unit_strides))
    fail(who + " describes a layout that oneDNN cannot express exactly: " + render(d), layer);
  return md;
}

std::string impl_name(const_dnnl_primitive_desc_t pd) {
  const char* name = nullptr;
  if (dnnl_primitive_desc_query(pd, dnnl_query_impl_info_str, 0, &name) != dnnl_success || !name)
    return "";
  return name;
}

bool is_reference(const std::string& impl) { return impl.find("ref") != std::string::npos; }

Attr user_scratchpad_attr(const std::string& layer) {
  dnnl_primitive_attr_t attr = nullptr;
  check(marked(dnnl_primitive_attr_create(&attr)), "creating primitive attributes", layer);
  Attr owner(attr);
  check(dnnl_primitive_attr_set_scratchpad_mode(attr, dnnl_scratchpad_mode_user),
        "selecting user-provided scratch memory", layer);
  return owner;
}

size_t scratchpad_bytes(const_dnnl_primitive_desc_t pd) {
  const_dnnl_memory_desc_t md = dnnl_primitive_desc_query_md(pd, dnnl_query_scratchpad_md, 0);
  return md ? dnnl_memory_desc_get_size(md) : 0;
}

// A memory object without storage of its own; its data pointer is set on
// every execution.
Mem unbound_memory(const_dnnl_memory_desc_t md, const char* what, const std::string& layer) {
  dnnl_memory_t m = nullptr;
  check(dnnl_memory_create(&m, md, Runtime::get().engine(), DNNL_MEMORY_NONE), what, layer);
  return Mem(m);
}

Mem scratch_memory(const_dnnl_primitive_desc_t pd, const std::string& layer) {
  if (scratchpad_bytes(pd) == 0) return nullptr;
  return unbound_memory(dnnl_primitive_desc_query_md(pd, dnnl_query_scratchpad_md, 0),
                        "creating the scratch memory object", layer);
}

Prim make_primitive(const_dnnl_primitive_desc_t pd, const char* what, const std::string& layer) {
  dnnl_primitive_t p = nullptr;
  check(marked(dnnl_primitive_create(&p, pd)), what, layer);
  return Prim(p);
}

void bind_data(dnnl_memory* m, void* data, const std::string& layer) {
  check(dnnl_memory_set_data_handle(m, data), "binding a data pointer", layer);
}

// Whether oneDNN's own code uses AVX-512 (the processor has it and
// ONEDNN_MAX_CPU_ISA does not forbid it).
bool onednn_runs_avx512() {
  return (dnnl_get_effective_cpu_isa() & dnnl_cpu_isa_avx512_core) == dnnl_cpu_isa_avx512_core;
}

// Whether `d` is a dense channels-last 4-D batch {N, C, H, W} without
// blocks or padding.
bool dense_channels_last(const MemoryDesc& d) {
  if (d.ndims != 4 || d.inner_nblks != 0 || d.offset0 != 0) return false;
  for (int i = 0; i < 4; ++i)
    if (d.padded_dims[i] != d.dims[i] || d.padded_offsets[i] != 0) return false;
  const int64_t c = d.dims[1], h = d.dims[2], w = d.dims[3];
  return d.strides[1] == 1 && d.strides[3] == c && d.strides[2] == w * c && d.strides[0] == h * w * c;
}

// Whether a bias is absent or lies densely, one value after the other, as the
// handle's matrix product reads it.
bool dense_or_absent(const MemoryDesc& bias) {
  return bias.empty() || (bias.inner_nblks == 0 && bias.strides[0] == 1);
}

// Whether the descriptors of a convolution agree with each other as oneDNN's
// convolution requires: source and destination of the same images, the
// weights' channels those of source and destination, one bias value per
// output channel, and every output extent the one that the input, the
// padding on both sides, the stride and the dilation give. The handle's own
// forms are taken only then, so that any other description meets oneDNN's
// refusal. Negative padding, which oneDNN accepts, is refused here: such a
// convolution stays with oneDNN.
bool consistent_convolution(const MemoryDesc& src, const MemoryDesc& dst, const MemoryDesc& weights,
                            const MemoryDesc& bias, const Dims12& strides, const Dims12& dilations,
                            const Dims12& padding_l, const Dims12& padding_r) {
  const int n = src.ndims;
  if (n < 3 || dst.ndims != n || weights.ndims != n || src.dims[0] != dst.dims[0] ||
      weights.dims[0] != dst.dims[1] || weights.dims[1] != src.dims[1])
    return false;
  if (!bias.empty() && (bias.ndims != 1 || bias.dims[0] != dst.dims[1])) return false;
  for (int i = 0; i < n - 2; ++i) {
    const int64_t in = src.dims[2 + i], out = dst.dims[2 + i];
    const int64_t reach = 1 + (weights.dims[2 + i] - 1) * (dilations[i] + 1);
    const int64_t padded = in + padding_l[i] + padding_r[i];
    if (strides[i] < 1 || dilations[i] < 0 || padding_l[i] < 0 || padding_r[i] < 0 || reach > padded ||
        (padded - reach) / strides[i] + 1 != out)
      return false;
  }
  return true;
}

// Whether a 1x1 convolution has other forms (see ConvPrimitive): dense
// channels-last source and destination of the same images, no stride,
// dilation or padding.
bool has_pixel_forms(const MemoryDesc& src, const MemoryDesc& dst, const MemoryDesc& weights, const Dims12& strides,
                     const Dims12& dilations, const Dims12& padding_l, const Dims12& padding_r) {
  if (!dense_channels_last(src) || !dense_channels_last(dst) || weights.ndims != 4) return false;
  if (weights.dims[2] != 1 || weights.dims[3] != 1) return false;
  for (int i = 0; i < 2; ++i)
    if (strides[i] != 1 || dilations[i] != 0 || padding_l[i] != 0 || padding_r[i] != 0) return false;
  return src.dims[0] == dst.dims[0] && src.dims[2] == dst.dims[2] && src.dims[3] == dst.dims[3];
}

// Images per batch of the narrow form: images of two pixels, which oneDNN's
// AVX2 1x1 code takes with the weights as given where it takes neither the
// batch as given nor the wide forms; none if the batch has that form.
std::vector<long> narrow_image_counts(const MemoryDesc& src) {
  const long pixels = src.dims[0] * src.dims[2] * src.dims[3];
  if (pixels % 2 != 0 || pixels / 2 == src.dims[0]) return {};
  return {pixels / 2};
}

// Images per batch to try, in order, before the batch as given: one image
// of all pixels, four, then the narrow form. Measured on the network's 1x1
// layers: images of one and of four pixels gain (three times and a quarter
// with AVX-512 code, a third in the narrow form with AVX2 code); from sixteen
// pixels on none of the forms gains, so those keep the batch as given.
std::vector<long> wide_image_counts(const MemoryDesc& src) {
  if (src.dims[2] * src.dims[3] > 4) return {};
  std::vector<long> counts;
  for (const long n : {1L, 4L})
    if (n < src.dims[0] && src.dims[0] % n == 0) counts.push_back(n);
  for (const long n : narrow_image_counts(src)) counts.push_back(n);
  return counts;
}

// The dense channels-last batch `d` seen as `images` images of one row each.
Md folded_md(const MemoryDesc& d, long images) {
  const int64_t pixels = d.dims[0] * d.dims[2] * d.dims[3] / images, c = d.dims[1];
  dnnl_dims_t dims = {images, c, 1, pixels};
  dnnl_dims_t strides = {pixels * c, 1, pixels * c, c};
  dnnl_memory_desc_t md = nullptr;
  if (dnnl_memory_desc_create_with_strides(&md, 4, dims, static_cast<dnnl_data_type_t>(d.data_type), strides) !=
      dnnl_success)
    return nullptr;
  return Md(md);
}

// `d` with its axes in the order `order` (new axis i is old axis order[i]).
// A reorder whose two descriptors are permuted alike maps the same bytes to
// the same bytes.
MemoryDesc permuted(const MemoryDesc& d, const int* order) {
  MemoryDesc p = d;
  int position[kMaxDims] = {};
  for (int i = 0; i < d.ndims; ++i) {
    p.dims[i] = d.dims[order[i]];
    p.padded_dims[i] = d.padded_dims[order[i]];
    p.padded_offsets[i] = d.padded_offsets[order[i]];
    p.strides[i] = d.strides[order[i]];
    position[order[i]] = i;
  }
  for (int b = 0; b < d.inner_nblks; ++b) p.inner_idxs[b] = position[d.inner_idxs[b]];
  return p;
}

// The reorder from `src` to `dst` with every run of adjacent dimensions
// that is contiguous, unblocked and unpadded in both descriptors merged
// into one dimension: the same element-to-element mapping over the same
// bytes, in the fewest dimensions. A blocked result keeps at least three
// dimensions (oneDNN's blocked formats start there), filled with dimensions
// of size one. Each side may block one dimension. The axes are first put in
// the source's memory order, so that it is memory order that decides which
// axes are adjacent. False when nothing merges.
bool merged_pair(const MemoryDesc& given_src, const MemoryDesc& given_dst, MemoryDesc& msrc, MemoryDesc& mdst) {
  const int n = given_src.ndims;
  if (n != given_dst.ndims || n < 2 || given_src.inner_nblks > 1 || given_dst.inner_nblks > 1) return false;
  if (given_src.offset0 != 0 || given_dst.offset0 != 0) return false;
  for (int i = 0; i < n; ++i)
    if (given_src.dims[i] != given_dst.dims[i] || given_src.padded_offsets[i] != 0 ||
        given_dst.padded_offsets[i] != 0)
      return false;
  // Axes in the source's memory order (outermost first), so that axes
  // adjacent in memory are adjacent here; equal strides keep their order.
  int order[kMaxDims] = {};
  for (int i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order, order + n, [&](int a, int b) { return given_src.strides[a] > given_src.strides[b]; });
  const MemoryDesc src = permuted(given_src, order), dst = permuted(given_dst, order);
  auto plain_in = [](const MemoryDesc& d, int i) {
    return d.padded_dims[i] == d.dims[i] && (d.inner_nblks == 0 || d.inner_idxs[0] != i);
  };
  auto plain_dim = [&](int i) { return plain_in(src, i) && plain_in(dst, i); };
  msrc = src;
  mdst = dst;
  MemoryDesc* const out[2] = {&msrc, &mdst};
  const MemoryDesc* const in[2] = {&src, &dst};
  int block_at[2] = {-1, -1};
  int m = 0;  // dimensions of the result so far
  for (int i = 0; i < n; ++i) {
    const bool merge = m > 0 && plain_dim(i) && plain_dim(i - 1) &&
                       src.strides[i - 1] == src.strides[i] * src.dims[i] &&
                       dst.strides[i - 1] == dst.strides[i] * dst.dims[i];
    for (int k = 0; k < 2; ++k) {
      MemoryDesc& o = *out[k];
      const MemoryDesc& d = *in[k];
      if (merge) {
        o.dims[m - 1] *= d.dims[i];
        o.padded_dims[m - 1] = o.dims[m - 1];
        o.strides[m - 1] = d.strides[i];
      } else {
        o.dims[m] = d.dims[i];
        o.padded_dims[m] = d.padded_dims[i];
        o.strides[m] = d.strides[i];
        if (d.inner_nblks == 1 && d.inner_idxs[0] == i) block_at[k] = m;
      }
    }
    if (!merge) ++m;
  }
  if (m == n) return false;
  // Dimensions of size one where oneDNN needs more: after the first one.
  const bool blocked = src.inner_nblks == 1 || dst.inner_nblks == 1;
  const int want = blocked ? std::max(m, 3) : m;
  for (int fill = m; fill < want; ++fill) {
    for (int k = 0; k < 2; ++k) {
      MemoryDesc& o = *out[k];
      for (int j = fill; j > 1; --j) {
        o.dims[j] = o.dims[j - 1];
        o.padded_dims[j] = o.padded_dims[j - 1];
        o.strides[j] = o.strides[j - 1];
      }
      o.dims[1] = o.padded_dims[1] = 1;
      o.strides[1] = o.strides[0];
      if (block_at[k] >= 1) ++block_at[k];
    }
  }
  for (int k = 0; k < 2; ++k) {
    MemoryDesc& o = *out[k];
    o.ndims = want;
    for (int i = want; i < kMaxDims; ++i) o.dims[i] = o.padded_dims[i] = o.strides[i] = o.padded_offsets[i] = 0;
    if (o.inner_nblks == 1) o.inner_idxs[0] = block_at[k];
  }
  return true;
}

// The fields of a oneDNN descriptor of the blocked kind, as a MemoryDesc;
// false for any other kind.
bool fields_of(const_dnnl_memory_desc_t md, MemoryDesc& d) {
  int32_t ndims = 0, nblks = 0;
  dnnl_data_type_t dt = dnnl_data_type_undef;
  dnnl_format_kind_t fk = dnnl_format_kind_undef;
  dnnl_dim_t off0 = 0;
  if (dnnl_memory_desc_query(md, dnnl_query_ndims_s32, &ndims) != dnnl_success || ndims < 1 || ndims > kMaxDims)
    return false;
  dnnl_memory_desc_query(md, dnnl_query_data_type, &dt);
  dnnl_memory_desc_query(md, dnnl_query_format_kind, &fk);
  dnnl_memory_desc_query(md, dnnl_query_submemory_offset_s64, &off0);
  dnnl_memory_desc_query(md, dnnl_query_inner_nblks_s32, &nblks);
  if (fk != dnnl_blocked || nblks < 0 || nblks > kMaxDims) return false;
  const dnnl_dims_t *dims = nullptr, *pdims = nullptr, *poffs = nullptr, *strides = nullptr;
  dnnl_memory_desc_query(md, dnnl_query_dims, &dims);
  dnnl_memory_desc_query(md, dnnl_query_padded_dims, &pdims);
  dnnl_memory_desc_query(md, dnnl_query_padded_offsets, &poffs);
  dnnl_memory_desc_query(md, dnnl_query_strides, &strides);
  if (!dims || !pdims || !poffs || !strides) return false;
  d.ndims = ndims;
  d.data_type = dt;
  d.format_kind = fk;
  d.offset0 = off0;
  d.inner_nblks = nblks;
  for (int i = 0; i < ndims; ++i) {
    d.dims[i] = (*dims)[i];
    d.padded_dims[i] = (*pdims)[i];
    d.padded_offsets[i] = (*poffs)[i];
    d.strides[i] = (*strides)[i];
  }
  if (nblks > 0) {
    const dnnl_dims_t *blks = nullptr, *idxs = nullptr;
    dnnl_memory_desc_query(md, dnnl_query_inner_blks, &blks);
    dnnl_memory_desc_query(md, dnnl_query_inner_idxs, &idxs);
    if (!blks || !idxs) return false;
    for (int i = 0; i < nblks; ++i) {
      d.inner_blks[i] = (*blks)[i];
      d.inner_idxs[i] = (*idxs)[i];
    }
  }
  return true;
}

// The reorder from `src` to `dst` in its merged form (see merged_pair), if
// that form can be described and oneDNN runs it with JIT code; null (and
// the descriptors untouched) otherwise. oneDNN's reorder code runs the same
// mapping faster in fewer dimensions: twice as fast for a weights tensor
// whose kernel and input-channel axes merge into one.
Pd merged_reorder(const MemoryDesc& src, const MemoryDesc& dst, const_dnnl_primitive_attr_t attr,
                  const std::string& layer, Md& src_md, Md& dst_md) {
  MemoryDesc msrc = src, mdst = dst;
  if (!merged_pair(src, dst, msrc, mdst)) return nullptr;
  try {
    Md s = to_onednn(msrc, "source", layer, false);
    Md d = to_onednn(mdst, "destination", layer, false);
    Runtime& rt = Runtime::get();
    dnnl_primitive_desc_t pd = nullptr;
    if (marked(dnnl_reorder_primitive_desc_create(&pd, s.get(), rt.engine(), d.get(), rt.engine(), attr)) !=
        dnnl_success)
      return nullptr;
    Pd owner(pd);
    if (impl_name(pd).find("jit") == std::string::npos) return nullptr;
    src_md = std::move(s);
    dst_md = std::move(d);
    return owner;
  } catch (const Error&) {
    return nullptr;  // not expressible in oneDNN's terms
  }
}

}  // namespace

// ---- Error, MemoryDesc, labels ----------------------------------------------

Error::Error(const std::string& what, dnnl_status_t status, std::string layer)
    : std::runtime_error(what), status_(status), layer_(std::move(layer)) {}

namespace {
void copy_list(int64_t* out, const MemoryDesc::List& list, size_t expected, const char* name) {
  if (list.size() != expected)
    fail(std::string("memory descriptor: ") + name + " has " + std::to_string(list.size()) +
             " entries, expected " + std::to_string(expected), current_label());
  size_t i = 0;
  for (long v : list) out[i++] = v;
}
}  // namespace

MemoryDesc::MemoryDesc(int nd, const List& d, dnnl_data_type_t dt, const List& pd,
                       const List& po, long off0, dnnl_format_kind_t fk, const List& st,
                       int nblks, const List& blks, const List& idxs) {
  if (nd < 1 || nd > kMaxDims)
    fail("memory descriptor: ndims " + std::to_string(nd) + " is outside 1 to " +
             std::to_string(kMaxDims), current_label());
  if (nblks < 0 || nblks > kMaxDims)
    fail("memory descriptor: inner_nblks " + std::to_string(nblks) + " is out of range",
         current_label());
  ndims = nd;
  data_type = dt;
  offset0 = off0;
  format_kind = fk;
  inner_nblks = nblks;
  copy_list(dims, d, nd, "dims");
  copy_list(padded_dims, pd, nd, "padded_dims");
  copy_list(padded_offsets, po, nd, "padded_offsets");
  copy_list(strides, st, nd, "strides");
  copy_list(inner_blks, blks, nblks, "inner_blks");
  copy_list(inner_idxs, idxs, nblks, "inner_idxs");
  for (int i = 0; i < nblks; ++i) {
    if (inner_idxs[i] < 0 || inner_idxs[i] >= nd || inner_blks[i] < 1)
      fail("memory descriptor: inner block " + std::to_string(i) + " is invalid", current_label());
  }
}

MemoryDesc::MemoryDesc(const dnnl_memory_desc* md) {
  if (md != nullptr)
    fail("memory descriptor: only the empty descriptor is made from a pointer, and that "
         "pointer must be null", current_label());
}

LayerLabel::LayerLabel(const char* label) noexcept : previous_(t_layer_label) {
  t_layer_label = label;
}
LayerLabel::~LayerLabel() noexcept { t_layer_label = previous_; }

std::vector<PrimitiveRecord> created_primitives() { return Runtime::get().records(); }
size_t shared_scratch_bytes() { return Runtime::get().scratch_bytes(); }

// ---- Convolution ------------------------------------------------------------

namespace detail {

namespace {

// Offset of element `idx` in the layout `d` (at most one inner block).
int64_t element_offset(const MemoryDesc& d, const int64_t* idx) {
  int64_t off = 0;
  for (int i = 0; i < d.ndims; ++i) {
    const bool blocked = d.inner_nblks == 1 && d.inner_idxs[0] == i;
    off += (blocked ? idx[i] / d.inner_blks[0] : idx[i]) * d.strides[i];
    if (blocked) off += idx[i] % d.inner_blks[0];
  }
  return off;
}

// The pixel-matrix form of a convolution of images smaller than its
// kernel's reach: when every output pixel's window covers the whole input
// image (a 3x3 kernel with padding 1 on images of 2 x 2 pixels), each
// output pixel sees every input pixel, each through its own tap, and the
// convolution is exactly one matrix product: the (images) x (pixels x Cin)
// source, as the channels-last batch lies in memory, times a
// (pixels x Cin) x (pixels x Cout) matrix gathered from the weights, gives
// the channels-last destination. The direct convolution instead spends most
// of its multiply-adds on the zero border. The matrix is gathered on every
// call, like the weights themselves, into the shared scratch buffer, in the
// blocks of 16 columns that the handle's matrix product reads
// (panel_product.h), each block by the thread that multiplies by it, just
// before; the bias is repeated for each output pixel beside the matrix.
// Gather included, this pays on all of the network's such layers (measured
// against oneDNN's convolution of the same layers, AVX2 code, at 2 and 8
// threads: the decoder's 2 x 2 layers 2.2 to 2.4 times as fast, the dense
// layers on 2 x 2 and 1 x 1 images 1.3 to 1.5 times); on larger images
// most of such a matrix would be zeros, so they never take this form.
class PixelMatrixConv {
 public:
  // The form of the convolution, or null when it has none. Only for
  // descriptors that agree with each other (consistent_convolution).
  static std::unique_ptr<PixelMatrixConv> make(const MemoryDesc& src, const MemoryDesc& dst,
                                               const MemoryDesc& weights, const MemoryDesc& bias,
                                               const Dims12& strides, const Dims12& dilations,
                                               const Dims12& padding_l, const std::string& layer) {
    if (!dense_channels_last(src) || !dense_channels_last(dst)) return nullptr;
    if (weights.inner_nblks > 1 || (weights.inner_nblks == 1 && weights.inner_idxs[0] == 1)) return nullptr;
    if (!dense_or_absent(bias)) return nullptr;
    const int64_t kh = weights.dims[2], kw = weights.dims[3];
    const int64_t hin = src.dims[2], win = src.dims[3], hout = dst.dims[2], wout = dst.dims[3];
    if (dilations[0] != 0 || dilations[1] != 0) return nullptr;
    // Only images smaller than the kernel's reach, and every output window
    // covers every input pixel.
    if (kh * kw <= hin * win) return nullptr;
    auto covers = [](int64_t in, int64_t out, int64_t k, long stride, long pad) {
      return (out - 1) * stride - pad <= 0 && in - 1 + pad < k;
    };
    if (!covers(hin, hout, kh, strides[0], padding_l[0]) || !covers(win, wout, kw, strides[1], padding_l[1]))
      return nullptr;
    return std::unique_ptr<PixelMatrixConv>(new PixelMatrixConv(src, dst, weights, bias, strides, padding_l, layer));
  }

  void execute(const void* src, void* dst, const void* wei, const void* bias) {
    float* const matrix = reinterpret_cast<float*>(Runtime::get().scratch());
    float* const row_bias = matrix + matrix_values_;
    if (bias)
      for (int64_t p = 0; p < out_pixels_; ++p)
        std::memcpy(row_bias + p * cout_, bias, sizeof(float) * static_cast<size_t>(cout_));
    const float* const weights = static_cast<const float*>(wei);
    product_->run(static_cast<const float*>(src), matrix, static_cast<float*>(dst), bias ? row_bias : nullptr,
                  [&](size_t panel) { gather_.run_part(weights, matrix, panel_runs_[panel], panel_runs_[panel + 1]); });
  }

 private:
  PixelMatrixConv(const MemoryDesc& src, const MemoryDesc& dst, const MemoryDesc& weights, const MemoryDesc& bias,
                  const Dims12& strides, const Dims12& padding_l, const std::string& layer) {
    const int64_t images = src.dims[0], cin = src.dims[1], win = src.dims[3], wout = dst.dims[3];
    const int64_t in_pixels = src.dims[2] * win;
    out_pixels_ = dst.dims[2] * wout;
    cout_ = dst.dims[1];
    const int64_t k = in_pixels * cin, n = out_pixels_ * cout_, panels = (n + 15) / 16;

    // The gather, one row of the pattern per input channel: matrix row
    // (input pixel, ci), column (output pixel, co) holds the weight of the
    // tap that joins the two pixels; column j lies in block j / 16, whose
    // rows hold 16 values. Each block is gathered just before its products,
    // by its own runs of the pattern.
    std::vector<BlockedCopy::Run> runs;
    for (int64_t ip = 0; ip < in_pixels; ++ip)
      for (int64_t op = 0; op < out_pixels_; ++op) {
        const int64_t th = ip / win - op / wout * strides[0] + padding_l[0];
        const int64_t tw = ip % win - op % wout * strides[1] + padding_l[1];
        for (int64_t co = 0; co < cout_; ++co) {
          const int64_t idx[4] = {co, 0, th, tw}, column = op * cout_ + co;
          const int64_t from = element_offset(weights, idx), to = column / 16 * k * 16 + ip * cin * 16 + column % 16;
          // A run never crosses into the next block, even where both sides
          // go on in one stretch (a matrix of one row per block): each block
          // is gathered by its own thread, from its own runs only.
          if (!runs.empty() && column % 16 != 0 && runs.back().src + runs.back().len == from &&
              runs.back().dst + runs.back().len == to)
            ++runs.back().len;
          else
            runs.push_back({from, to, 1});
        }
      }
    // In destination order the runs of block i precede those of block i + 1.
    using Run = BlockedCopy::Run;
    std::stable_sort(runs.begin(), runs.end(), [](const Run& x, const Run& y) { return x.dst < y.dst; });
    for (int64_t block = 0; block <= panels; ++block) {
      const auto first = std::lower_bound(runs.begin(), runs.end(), block * 16 * k,
                                          [](const Run& r, int64_t offset) { return r.dst < offset; });
      panel_runs_.push_back(static_cast<size_t>(first - runs.begin()));
    }
    matrix_values_ = panels * 16 * k;
    gather_.plan_rows(cin, weights.strides[1], 16, std::move(runs), matrix_values_);
    product_.reset(new PanelProduct(images, n, k, k, n, 16, 16, 16 * k));
    Runtime::get().reserve_scratch(sizeof(float) * static_cast<size_t>(matrix_values_ + (bias.empty() ? 0 : n)), layer);
  }

  int64_t out_pixels_ = 0, cout_ = 0;
  int64_t matrix_values_ = 0;       // the matrix in the scratch buffer; the repeated bias follows it
  std::vector<size_t> panel_runs_;  // block i's runs of the gather: [panel_runs_[i], panel_runs_[i + 1])
  BlockedCopy gather_;
  std::unique_ptr<PanelProduct> product_;
};

// The block form of a 1x1 convolution: with the weights blocked over the
// output channels, [Cout / B][Cin][B], block j is a Cin x B matrix as it
// lies in memory, and the (pixels) x (Cin) source times the weights so
// read, block after block, is the destination: one run of the handle's
// matrix product (panel_product.h), bias included. The weights are read as
// given: nothing is converted. Only for images of at most 16 pixels: there
// it runs the network's 1x1 layers 1.1 to 4 times as fast as oneDNN's 1x1
// convolution, most of them 1.3 to 1.7 times (measured with AVX2 code at 2
// and 8 threads), while on the 64-pixel images of the first dense block
// the convolution stays ahead even with its weights conversion. Where
// oneDNN runs AVX-512 code this form is taken only instead of converting
// the weights on every call (unmeasured there otherwise; see
// ConvPrimitive).
class BlockMatmulConv {
 public:
  // The form of the convolution, or null when it has none. Only for
  // descriptors that agree with each other (consistent_convolution).
  static std::unique_ptr<BlockMatmulConv> make(const MemoryDesc& src, const MemoryDesc& dst,
                                               const MemoryDesc& weights, const MemoryDesc& bias,
                                               const Dims12& strides, const Dims12& dilations,
                                               const Dims12& padding_l, const Dims12& padding_r) {
    if (!has_pixel_forms(src, dst, weights, strides, dilations, padding_l, padding_r)) return nullptr;
    if (src.dims[2] * src.dims[3] > 16) return nullptr;
    if (!dense_or_absent(bias)) return nullptr;
    const int64_t cout = dst.dims[1], cin = src.dims[1];
    if (weights.inner_nblks != 1 || weights.inner_idxs[0] != 0) return nullptr;
    const int64_t b = weights.inner_blks[0];
    if (weights.strides[1] != b || (weights.padded_dims[0] > b && weights.strides[0] != cin * b)) return nullptr;
    const int64_t rows = src.dims[0] * src.dims[2] * src.dims[3];
    return std::unique_ptr<BlockMatmulConv>(new BlockMatmulConv(rows, cout, cin, b));
  }

  void execute(const void* src, void* dst, const void* wei, const void* bias) {
    product_.run(static_cast<const float*>(src), static_cast<const float*>(wei), static_cast<float*>(dst),
                 static_cast<const float*>(bias));
  }

 private:
  BlockMatmulConv(int64_t rows, int64_t cout, int64_t cin, int64_t b)
      : product_(rows, cout, cin, cin, cout, b, b, cin * b) {}

  PanelProduct product_;
};
}  // namespace

class ConvPrimitive {
 public:
  ConvPrimitive(const MemoryDesc& src, const MemoryDesc& dst, const MemoryDesc& weights,
                const MemoryDesc& bias, const Dims12& strides, const Dims12& dilations,
                const Dims12& padding_l, const Dims12& padding_r)
      : layer_(current_label()) {
    Runtime& rt = Runtime::get();
    if (src.ndims < 3 || src.ndims > 5 || dst.ndims != src.ndims || weights.ndims != src.ndims)
      fail("a convolution needs source, destination and weights of 3 to 5 equal dimensions",
           layer_);
    Md src_md = to_onednn(src, "source", layer_);
    Md dst_md = to_onednn(dst, "destination", layer_);
    Md wei_md = to_onednn(weights, "weights", layer_);
    Md bias_md;
    if (!bias.empty()) bias_md = to_onednn(bias, "bias", layer_);
    has_bias_ = !bias.empty();
    const bool own_forms = consistent_convolution(src, dst, weights, bias, strides, dilations, padding_l, padding_r);
    if (own_forms) matrix_ = PixelMatrixConv::make(src, dst, weights, bias, strides, dilations, padding_l, layer_);
    if (matrix_) {
      impl_ = std::string("pixel matrix, ") + kOwnProductImpl;
      rt.record({layer_, true, impl_, true, std::string(kOwnCopyImpl) + " (matrix gather)"});
      return;
    }
    auto block_form = [&] {
      blocks_ = BlockMatmulConv::make(src, dst, weights, bias, strides, dilations, padding_l, padding_r);
      if (!blocks_) return false;
      impl_ = std::string("block matrix products, ") + kOwnProductImpl;
      rt.record({layer_, true, impl_, false, std::string()});
      return true;
    };
    if (own_forms && !onednn_runs_avx512() && block_form()) return;

    const int spatial = src.ndims - 2;
    dnnl_dims_t st = {}, dil = {}, pl = {}, pr = {};
    for (int i = 0; i < spatial; ++i) {
      st[i] = strides[i];
      dil[i] = dilations[i];
      pl[i] = padding_l[i];
      pr[i] = padding_r[i];
    }
    Attr attr = user_scratchpad_attr(layer_);

    auto create = [&](const_dnnl_memory_desc_t wmd, Pd& out) {
      dnnl_primitive_desc_t pd = nullptr;
      const dnnl_status_t status = marked(dnnl_convolution_forward_primitive_desc_create(
          &pd, rt.engine(), dnnl_forward_inference, dnnl_convolution_direct, src_md.get(), wmd,
          bias_md.get(), dst_md.get(), st, dil, pl, pr, attr.get()));
      out.reset(status == dnnl_success ? pd : nullptr);
      return status;
    };

    // A 1x1 convolution of small images reads as the same convolution of
    // images of one row with a different number of pixels: the bytes of a
    // dense channels-last batch are those of one-row images holding the
    // pixels of several, and a 1x1 kernel without padding or stride never
    // mixes pixels. oneDNN's 1x1 kernels block over the pixels of one row,
    // so a row of one or four pixels leaves them mostly idle; a wide form
    // runs them at full width. A form is taken only when oneDNN has fast
    // code for it with the weights as given.
    Pd pd;
    const bool pixel_forms =
        own_forms && has_pixel_forms(src, dst, weights, strides, dilations, padding_l, padding_r);
    auto try_forms = [&](const std::vector<long>& counts) {
      for (const long images : counts) {
        Md fsrc = folded_md(src, images), fdst = folded_md(dst, images);
        if (!fsrc || !fdst) continue;
        dnnl_primitive_desc_t fpd = nullptr;
        if (marked(dnnl_convolution_forward_primitive_desc_create(
                &fpd, rt.engine(), dnnl_forward_inference, dnnl_convolution_direct, fsrc.get(), wei_md.get(),
                bias_md.get(), fdst.get(), st, dil, pl, pr, attr.get())) != dnnl_success)
          continue;
        Pd candidate(fpd);
        if (is_reference(impl_name(candidate.get()))) continue;
        pd = std::move(candidate);
        src_md = std::move(fsrc);
        dst_md = std::move(fdst);
        return;
      }
    };
    if (pixel_forms) try_forms(wide_image_counts(src));

    // Otherwise first with the weights as given; oneDNN's reference code is
    // not good enough, so if that is all it offers for this layout (also in
    // the narrow form of a 1x1 convolution), let it choose the weights
    // layout and convert into it on each call.
    const dnnl_status_t given_status = pd ? dnnl_success : create(wei_md.get(), pd);
    if (given_status != dnnl_success && given_status != dnnl_unimplemented)
      check(given_status, "creating the convolution", layer_);
    if (pd && is_reference(impl_name(pd.get()))) pd.reset();
    // Rather than converting the weights on every call, the narrow form of
    // a 1x1 convolution of larger images, when oneDNN has fast code for it.
    if (!pd && pixel_forms) try_forms(narrow_image_counts(src));
    // Or the block form, which reads the weights as given.
    if (!pd && own_forms && block_form()) return;

    std::vector<Pd> chain;  // the weights conversion, one reorder per step
    Md preferred, plain;
    if (!pd) {
      dnnl_dims_t wdims = {};
      std::copy(weights.dims, weights.dims + weights.ndims, wdims);
      dnnl_memory_desc_t any = nullptr;
      check(dnnl_memory_desc_create_with_tag(&any, weights.ndims, wdims, dnnl_f32,
                                             dnnl_format_tag_any),
            "describing weights of any layout", layer_);
      Md any_owner(any);
      check(create(any, pd), "creating the convolution with oneDNN's weights layout", layer_);
      const std::string impl = impl_name(pd.get());
      if (is_reference(impl))
        fail("oneDNN offers only its reference implementation (" + impl +
                 ") for this convolution", layer_);
      dnnl_memory_desc_t pref = nullptr;
      check(dnnl_memory_desc_clone(&pref, dnnl_primitive_desc_query_md(pd.get(), dnnl_query_weights_md, 0)),
            "copying the preferred weights descriptor", layer_);
      preferred.reset(pref);
      // Our copy kernel converts between block widths in one pass; oneDNN's
      // reorders only where it does not apply.
      MemoryDesc pref_fields(static_cast<const dnnl_memory_desc*>(nullptr));
      own_copy_ = fields_of(preferred.get(), pref_fields) && copy_.plan(weights, pref_fields);
      if (own_copy_)
        m_converted_ = unbound_memory(preferred.get(), "creating the converted weights memory object", layer_);
      else
        chain = conversion(wei_md.get(), preferred.get(), weights, attr.get(), plain);
    }
    impl_ = impl_name(pd.get());

    // Shared scratch: [converted weights][plain intermediate, if the
    // conversion takes two steps][scratch of the conversion steps, then of
    // the convolution]; each step finishes before the next one starts.
    size_t work = scratchpad_bytes(pd.get());
    if (preferred) converted_bytes_ = align_up(dnnl_memory_desc_get_size(preferred.get()));
    if (!chain.empty()) {
      if (plain) intermediate_bytes_ = align_up(dnnl_memory_desc_get_size(plain.get()));
      for (const Pd& step : chain) work = std::max(work, scratchpad_bytes(step.get()));
    }

    conv_ = make_primitive(pd.get(), "creating the convolution primitive", layer_);
    m_src_ = unbound_memory(src_md.get(), "creating the source memory object", layer_);
    m_dst_ = unbound_memory(dst_md.get(), "creating the destination memory object", layer_);
    m_wei_ = unbound_memory(wei_md.get(), "creating the weights memory object", layer_);
    if (has_bias_) m_bias_ = unbound_memory(bias_md.get(), "creating the bias memory object", layer_);
    m_conv_scratch_ = scratch_memory(pd.get(), layer_);
    std::string converter;
    for (size_t i = 0; i < chain.size(); ++i) {
      const bool last = i + 1 == chain.size();
      Step step;
      const_dnnl_memory_desc_t from = i == 0 ? wei_md.get() : plain.get();
      const_dnnl_memory_desc_t to = last ? preferred.get() : plain.get();
      Md merged_from, merged_to;
      if (Pd merged = merged_step(chain[i], attr.get(), merged_from, merged_to)) {
        chain[i] = std::move(merged);
        from = merged_from.get();
        to = merged_to.get();
      }
      step.prim = make_primitive(chain[i].get(), "creating the weights conversion primitive", layer_);
      step.src = unbound_memory(from, "creating the weights memory object of a conversion step", layer_);
      step.dst = unbound_memory(to, "creating the converted weights memory object", layer_);
      step.scratch = scratch_memory(chain[i].get(), layer_);
      work = std::max(work, scratchpad_bytes(chain[i].get()));
      steps_.push_back(std::move(step));
      converter += (i ? " + " : "") + impl_name(chain[i].get());
    }
    rt.reserve_scratch(converted_bytes_ + intermediate_bytes_ + align_up(work) + 64, layer_);
    if (own_copy_) converter = kOwnCopyImpl;
    rt.record({layer_, true, impl_, static_cast<bool>(preferred), converter});
  }

  void execute(void* const* p) {
    void* const src = p[0];
    void* const dst = p[1];
    void* const wei = p[2];
    void* const bias = p[3];
    if (!src) fail("null source data pointer", layer_);
    if (!dst) fail("null destination data pointer", layer_);
    if (!wei) fail("null weights data pointer", layer_);
    if (has_bias_ && !bias) fail("null bias data pointer", layer_);
    if (!has_bias_ && bias) fail("bias data given to a convolution described without bias", layer_);
    if (matrix_) {
      matrix_->execute(src, dst, wei, bias);
      return;
    }
    if (blocks_) {
      blocks_->execute(src, dst, wei, bias);
      return;
    }

    Runtime& rt = Runtime::get();
    char* const converted = rt.scratch();
    char* const intermediate = converted + converted_bytes_;
    char* const work = intermediate + intermediate_bytes_;
    dnnl_stream_t stream = rt.stream();

    bind_data(m_wei_.get(), wei, layer_);
    dnnl_memory* weights = m_wei_.get();
    if (own_copy_) {
      copy_.run(static_cast<const float*>(wei), reinterpret_cast<float*>(converted));
      bind_data(m_converted_.get(), converted, layer_);
      weights = m_converted_.get();
    }
    for (size_t i = 0; i < steps_.size(); ++i) {
      Step& step = steps_[i];
      const bool last = i + 1 == steps_.size();
      dnnl_memory* from = step.src.get();
      bind_data(from, i == 0 ? wei : intermediate, layer_);
      bind_data(step.dst.get(), last ? converted : intermediate, layer_);
      dnnl_exec_arg_t args[3] = {{DNNL_ARG_SRC, from}, {DNNL_ARG_DST, step.dst.get()}, {0, nullptr}};
      int n = 2;
      if (step.scratch) {
        bind_data(step.scratch.get(), work, layer_);
        args[n++] = {DNNL_ARG_SCRATCHPAD, step.scratch.get()};
      }
      check(dnnl_primitive_execute(step.prim.get(), stream, n, args), "converting the weights", layer_);
      weights = step.dst.get();
    }
    bind_data(m_src_.get(), src, layer_);
    bind_data(m_dst_.get(), dst, layer_);
    dnnl_exec_arg_t args[5];
    int n = 0;
    args[n++] = {DNNL_ARG_SRC, m_src_.get()};
    args[n++] = {DNNL_ARG_WEIGHTS, weights};
    args[n++] = {DNNL_ARG_DST, m_dst_.get()};
    if (has_bias_) {
      bind_data(m_bias_.get(), bias, layer_);
      args[n++] = {DNNL_ARG_BIAS, m_bias_.get()};
    }
    if (m_conv_scratch_) {
      bind_data(m_conv_scratch_.get(), work, layer_);
      args[n++] = {DNNL_ARG_SCRATCHPAD, m_conv_scratch_.get()};
    }
    check(dnnl_primitive_execute(conv_.get(), stream, n, args), "running the convolution", layer_);
    check(dnnl_stream_wait(stream), "waiting for the convolution", layer_);
  }

 private:
  struct Step {
    Prim prim;
    Mem src;  // the given weights for the first step, then the intermediate
    Mem dst;
    Mem scratch;
  };

  // The reorders that convert the given weights into oneDNN's layout. oneDNN
  // converts directly between two blocked layouts only with slow generic
  // code; when it has fast (JIT) code for the two hops through the plain
  // layout of the same outer order, that route is taken instead, through an
  // intermediate in the shared scratch buffer (`plain` describes it).
  std::vector<Pd> conversion(const_dnnl_memory_desc_t given, const_dnnl_memory_desc_t preferred,
                             const MemoryDesc& weights, const_dnnl_primitive_attr_t attr, Md& plain) {
    Runtime& rt = Runtime::get();
    auto reorder = [&](const_dnnl_memory_desc_t from, const_dnnl_memory_desc_t to, Pd& out) {
      dnnl_primitive_desc_t pd = nullptr;
      const dnnl_status_t st = marked(dnnl_reorder_primitive_desc_create(&pd, from, rt.engine(), to, rt.engine(), attr));
      out.reset(st == dnnl_success ? pd : nullptr);
      return st;
    };
    auto fast = [](const Pd& pd) { return pd && impl_name(pd.get()).find("jit") != std::string::npos; };
    std::vector<Pd> chain(1);
    check(reorder(given, preferred, chain[0]), "creating the weights conversion", layer_);
    if (fast(chain[0])) return chain;

    // Outer order of the weights {O, I, spatial...}: O, spatial..., I.
    static const dnnl_format_tag_t kPlain[] = {dnnl_acb, dnnl_acdb, dnnl_acdeb};
    dnnl_dims_t wdims = {};
    std::copy(weights.dims, weights.dims + weights.ndims, wdims);
    dnnl_memory_desc_t md = nullptr;
    if (dnnl_memory_desc_create_with_tag(&md, weights.ndims, wdims, dnnl_f32, kPlain[weights.ndims - 3]) !=
        dnnl_success)
      return chain;
    Md mid(md);
    std::vector<Pd> two(2);
    if (reorder(given, mid.get(), two[0]) != dnnl_success || reorder(mid.get(), preferred, two[1]) != dnnl_success ||
        !fast(two[0]) || !fast(two[1]))
      return chain;
    plain = std::move(mid);
    return two;
  }

  // Each conversion step's reorder in its merged form where oneDNN runs that
  // with JIT code (see merged_reorder); `from` and `to` are the descriptors
  // of the memory objects of the step, merged or as they were.
  Pd merged_step(const Pd& step, const_dnnl_primitive_attr_t attr, Md& from, Md& to) {
    MemoryDesc src(static_cast<const dnnl_memory_desc*>(nullptr)), dst = src;
    if (!fields_of(dnnl_primitive_desc_query_md(step.get(), dnnl_query_src_md, 0), src) ||
        !fields_of(dnnl_primitive_desc_query_md(step.get(), dnnl_query_dst_md, 0), dst))
      return nullptr;
    return merged_reorder(src, dst, attr, layer_, from, to);
  }

  std::string layer_;
  std::string impl_;
  bool has_bias_ = false;
  size_t converted_bytes_ = 0;
  size_t intermediate_bytes_ = 0;
  Prim conv_;
  Mem m_src_, m_dst_, m_wei_, m_bias_, m_conv_scratch_;
  std::vector<Step> steps_;
  std::unique_ptr<PixelMatrixConv> matrix_;  // the convolution's pixel-matrix form, if it runs as that
  std::unique_ptr<BlockMatmulConv> blocks_;  // its block form, if it runs as that
  bool own_copy_ = false;  // weights converted by our copy kernel, into m_converted_
  BlockedCopy copy_;
  Mem m_converted_;
};

ConvCore::ConvCore(const MemoryDesc& src, const MemoryDesc& dst, const MemoryDesc& weights,
                   const MemoryDesc& bias, const Dims12& strides, const Dims12& dilations,
                   const Dims12& padding_l, const Dims12& padding_r)
    : prim_(new ConvPrimitive(src, dst, weights, bias, strides, dilations, padding_l, padding_r)) {}
ConvCore::~ConvCore() noexcept = default;
void ConvCore::execute(void* const* ptrs) { prim_->execute(ptrs); }

// ---- Reorder ----------------------------------------------------------------

class ReorderPrimitive {
 public:
  // With `own_copy_allowed` false it always runs oneDNN's reorder.
  ReorderPrimitive(const MemoryDesc& src, const MemoryDesc& dst, bool own_copy_allowed = true)
      : layer_(current_label()) {
    Runtime& rt = Runtime::get();
    Md src_md = to_onednn(src, "source", layer_);
    Md dst_md = to_onednn(dst, "destination", layer_);
    // Our own copy kernel where the two layouts differ only in channel
    // blocks: it places every element as oneDNN's reorder does, at the speed
    // of a plain copy, where oneDNN's code for these layouts reaches less
    // than half of that.
    if (own_copy_allowed && copy_.plan(src, dst)) {
      own_copy_ = true;
      rt.record({layer_, false, kOwnCopyImpl, false, std::string()});
      return;
    }
    Attr attr = user_scratchpad_attr(layer_);
    dnnl_primitive_desc_t pd = nullptr;
    check(marked(dnnl_reorder_primitive_desc_create(&pd, src_md.get(), rt.engine(), dst_md.get(),
                                                    rt.engine(), attr.get())),
          "creating the reorder", layer_);
    Pd pd_owner(pd);
    // The same reorder in fewer dimensions, when oneDNN runs that faster.
    if (Pd merged = merged_reorder(src, dst, attr.get(), layer_, src_md, dst_md)) {
      pd_owner = std::move(merged);
      pd = pd_owner.get();
    }
    rt.reserve_scratch(scratchpad_bytes(pd) + 64, layer_);
    prim_ = make_primitive(pd, "creating the reorder primitive", layer_);
    m_src_ = unbound_memory(src_md.get(), "creating the source memory object", layer_);
    m_dst_ = unbound_memory(dst_md.get(), "creating the destination memory object", layer_);
    m_scratch_ = scratch_memory(pd, layer_);
    rt.record({layer_, false, impl_name(pd), false, std::string()});
  }

  void execute(void* const* p) {
    if (!p[0]) fail("null source data pointer", layer_);
    if (!p[1]) fail("null destination data pointer", layer_);
    if (own_copy_) {
      copy_.run(static_cast<const float*>(p[0]), static_cast<float*>(p[1]));
      return;
    }
    Runtime& rt = Runtime::get();
    bind_data(m_src_.get(), p[0], layer_);
    bind_data(m_dst_.get(), p[1], layer_);
    dnnl_exec_arg_t args[3] = {{DNNL_ARG_SRC, m_src_.get()}, {DNNL_ARG_DST, m_dst_.get()}, {0, nullptr}};
    int n = 2;
    if (m_scratch_) {
      bind_data(m_scratch_.get(), rt.scratch(), layer_);
      args[n++] = {DNNL_ARG_SCRATCHPAD, m_scratch_.get()};
    }
    check(dnnl_primitive_execute(prim_.get(), rt.stream(), n, args), "running the reorder", layer_);
    check(dnnl_stream_wait(rt.stream()), "waiting for the reorder", layer_);
  }

 private:
  std::string layer_;
  bool own_copy_ = false;
  BlockedCopy copy_;
  Prim prim_;
  Mem m_src_, m_dst_, m_scratch_;
};

}  // namespace detail

Reorder::Reorder(const qel_ctx_struct* ctx, MemoryDesc src, MemoryDesc dst)
    : prim_(new detail::ReorderPrimitive(src, dst)) {
  (void)ctx;
}
Reorder::~Reorder() noexcept = default;

void onednn_reorder(const MemoryDesc& src, const MemoryDesc& dst, const void* from, void* to) {
  detail::ReorderPrimitive reorder(src, dst, false);
  void* const ptrs[2] = {const_cast<void*>(from), to};
  reorder.execute(ptrs);
}
void Reorder::execute(void* const* ptrs) { prim_->execute(ptrs); }

}  // namespace dnnl
}  // namespace dnn
}  // namespace qel
