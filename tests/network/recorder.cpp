#include "tests/network/recorder.h"

#include <stdexcept>

#include "ispc/ispc_runtime.h"
#include "runtime/qel_memory.h"
#include "tests/network/network_steps.h"
#include "x86/src/network_function.h"
// The stand-ins must match the operators' declarations.
#include "x86/src/network_operators.h"

namespace netrec {

std::vector<Event> g_events;
int g_throw_at = 0;

namespace {

bool g_inside_call = false;

Event memory_event(Event::Kind kind, const qel_handle_struct* h, const qel_tensor_struct* t) {
  Event e;
  e.kind = kind;
  e.by_operator = g_inside_call;
  e.handle = h;
  e.tensors.push_back(snap(t));
  return e;
}

// A scratch tensor as the kernel wrappers describe it: all zero but the shape,
// the type and the data handle (the context's alloc_handle).
struct Scratch {
  const qel_ctx_struct* ctx;
  qel_tensor_struct t{};
  Scratch(const qel_ctx_struct* c, int32_t dtype, std::initializer_list<int64_t> extents) : ctx(c) {
    t.rank = static_cast<int32_t>(extents.size());
    t.dtype = dtype;
    t.count = 1;
    int i = 0;
    for (int64_t e : extents) {
      t.extents[i++] = e;
      t.count *= e;
    }
    t.data_handle = c->alloc_handle;
    c->alloc_handle->malloc(c->alloc_handle, &t);
  }
  void release() { t.data_handle->free(t.data_handle, &t); }
};

int64_t channels(const qel_tensor_struct* t) { return t->extents[t->rank - 1]; }

// Scratch requests of the kernels, in the order the kernel wrappers make them.
void normalisation_scratch(const qel_ctx_struct* c, int64_t ch) {
  Scratch s(c, QEL_F32, {4 * ch});
  s.release();
}

void stem_scratch(const qel_ctx_struct* c) {
  Scratch a(c, QEL_F32, {256});
  Scratch b(c, QEL_F32, {256});
  Scratch w(c, QEL_S8, {ISPCNumThreads(), 82944});
  w.release();
  b.release();
  a.release();
}

void pool_scratch(int id, const qel_ctx_struct* c, int64_t ch) {
  Scratch a(c, QEL_F32, {4 * ch});
  if (id == 0x82EB) {
    Scratch w(c, QEL_S8, {ISPCNumThreads(), 3584});
    w.release();
  }
  a.release();
}

void upsample_scratch(int id, const qel_ctx_struct* c) {
  const int64_t bytes = id == 0x8222 ? 30720 : id == 0x821D ? 61440 : 122880;
  Scratch w(c, QEL_S8, {ISPCNumThreads(), bytes});
  w.release();
}

struct CallScope {
  CallScope(int id, const qel_ctx_struct* c, std::initializer_list<qel_tensor_struct*> args) {
    Event e;
    e.kind = Event::kCall;
    e.id = id;
    for (qel_tensor_struct* t : args) e.tensors.push_back(snap(t));
    e.output_data = c->outputs[0].data;
    g_events.push_back(std::move(e));
    g_inside_call = true;
  }
  ~CallScope() { g_inside_call = false; }
};

void maybe_throw(int id) {
  if (id == g_throw_at) throw std::runtime_error("operator failed");
}

}  // namespace

Snapshot snap(const qel_tensor_struct* t) {
  Snapshot s;
  s.desc = t;
  s.rank = t->rank;
  s.dtype = t->dtype;
  for (int i = 0; i < 8; ++i) s.extents[i] = t->extents[i];
  s.count = t->count;
  s.mirror_handle = t->mirror_handle;
  s.data_handle = t->data_handle;
  s.mirror_aux = t->mirror_aux;
  s.mirror_ptr = t->mirror_ptr;
  s.data_aux = t->data_aux;
  s.data = t->data;
  return s;
}

void record_malloc(const qel_handle_struct* h, qel_tensor_struct* t) {
  void* before = t->data;
  Event e = memory_event(Event::kMalloc, h, t);
  e.data_before = before;
  qel::nvidia::deployment_malloc(h, t);
  e.tensors[0].data = t->data;
  g_events.push_back(std::move(e));
}

void record_free(const qel_handle_struct* h, qel_tensor_struct* t) {
  g_events.push_back(memory_event(Event::kFree, h, t));
  qel::nvidia::deployment_free(h, t);
}

void record_init(const qel_handle_struct* h, qel_tensor_struct* t) {
  g_events.push_back(memory_event(Event::kInit, h, t));
}

}  // namespace netrec

// ---------------------------------------------------------------------------
// The stand-ins, one per entry of the step list.

using netrec::CallScope;

#define DNN(id) qel_x86_4602A7A4_00000000_D0_dnn_dnnl_##id
#define DFP(id) qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id
#define T qel_tensor_struct*
#define C const qel_ctx_struct*
#define K qel_ctx_struct*

#define STANDIN_PAD(id) \
  void DFP(id)(K c, T a) { CallScope s(0x##id, c, {a}); netrec::maybe_throw(0x##id); }
#define STANDIN_REORDER(id) \
  void DNN(id)(C c, T a) { CallScope s(0x##id, c, {a}); netrec::maybe_throw(0x##id); }
#define STANDIN_CONV(id) \
  void DNN(id)(C c, T a, T b, T d) { CallScope s(0x##id, c, {a, b, d}); netrec::maybe_throw(0x##id); }
#define STANDIN_HEAD(id) \
  void DNN(id)(C c, T a, T b) { CallScope s(0x##id, c, {a, b}); netrec::maybe_throw(0x##id); }
#define STANDIN_STEM(id)                     \
  void DFP(id)(K c, T a, T b, T d, T e) {    \
    CallScope s(0x##id, c, {a, b, d, e});    \
    netrec::stem_scratch(c);                 \
    netrec::maybe_throw(0x##id);             \
  }
#define STANDIN_BN(id)                               \
  void DFP(id)(K c, T in, T out) {                   \
    CallScope s(0x##id, c, {in, out});               \
    netrec::normalisation_scratch(c, netrec::channels(in)); \
    netrec::maybe_throw(0x##id);                     \
  }
#define STANDIN_BN_PREFIX(id)                         \
  void DFP(id)(K c, T out, T in) {                    \
    CallScope s(0x##id, c, {out, in});                \
    netrec::normalisation_scratch(c, netrec::channels(out)); \
    netrec::maybe_throw(0x##id);                      \
  }
#define STANDIN_POOL(id)                                   \
  void DFP(id)(K c, T in, T pool, T norm) {                \
    CallScope s(0x##id, c, {in, pool, norm});              \
    netrec::pool_scratch(0x##id, c, netrec::channels(pool)); \
    netrec::maybe_throw(0x##id);                           \
  }
#define STANDIN_LEAKY_UP(id)                  \
  void DFP(id)(K c, T in, T out) {            \
    CallScope s(0x##id, c, {in, out});        \
    netrec::upsample_scratch(0x##id, c);      \
    netrec::maybe_throw(0x##id);              \
  }
#define STANDIN_PLAIN2(id) \
  void DFP(id)(K c, T a, T b) { CallScope s(0x##id, c, {a, b}); netrec::maybe_throw(0x##id); }
#define STANDIN_COPY(id) STANDIN_PLAIN2(id)
#define STANDIN_LEAKY(id) STANDIN_PLAIN2(id)
#define STANDIN_UPSAMPLE(id) STANDIN_PLAIN2(id)

#define STANDIN(family, id) STANDIN_##family(id)
extern "C" {
STEPS_ALL(STANDIN)
}

#define TENSORS_PAD 1
#define TENSORS_REORDER 1
#define TENSORS_CONV 3
#define TENSORS_HEAD 2
#define TENSORS_STEM 4
#define TENSORS_BN 2
#define TENSORS_BN_PREFIX 2
#define TENSORS_POOL 3
#define TENSORS_COPY 2
#define TENSORS_LEAKY 2
#define TENSORS_LEAKY_UP 2
#define TENSORS_UPSAMPLE 2
#define EXPECTED(family, id) {0x##id, TENSORS_##family},

const std::vector<netrec::ExpectedCall>& netrec::expected_calls() {
  static const std::vector<ExpectedCall> calls = {STEPS_ALL(EXPECTED)};
  return calls;
}

// ---------------------------------------------------------------------------

namespace netrec {

namespace {
qel_tensor_struct descriptor(const std::vector<int64_t>& extents, const qel_handle_struct* h, void* data) {
  qel_tensor_struct t{};
  t.rank = static_cast<int32_t>(extents.size());
  t.dtype = QEL_F32;
  t.count = 1;
  for (size_t i = 0; i < extents.size(); ++i) {
    t.extents[i] = extents[i];
    t.count *= extents[i];
  }
  t.data_handle = h;
  t.data = data;
  return t;
}
}  // namespace

TestModel::TestModel()
    : handle(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{}),
      mirror(qel_device_struct("mirror", 0), nullptr, qel_handle_ptrs_struct{}),
      output_handle(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{}),
      input_buffer(32 * 32 * 32 * 3, 0.0f),
      output_buffer(32 * 16 * 16, 0.0f),
      param_data(1, 0.0f) {
  for (qel_handle_struct* h : {&handle, &output_handle}) {
    h->malloc = record_malloc;
    h->free = record_free;
    h->memset = nullptr;
    h->init = nullptr;
    for (void*& s : h->spare) s = nullptr;
  }
  mirror.malloc = nullptr;
  mirror.free = nullptr;
  mirror.memset = nullptr;
  mirror.init = record_init;
  for (void*& s : mirror.spare) s = nullptr;

  input = descriptor({32, 32, 32, 3}, &handle, input_buffer.data());
  output = descriptor({32, 16, 16, 1}, &output_handle, output_buffer.data());
  for (int k = 0; k < 1024; ++k) params.push_back(descriptor(param_shape(k), &handle, param_data.data()));
  ctx.inputs = &input;
  ctx.params = params.data();
  ctx.outputs = &output;
  ctx.aux_handle = &handle;
  ctx.alloc_handle = &handle;
  ctx.num_inputs = 1;
  ctx.num_params = 1024;
  ctx.num_outputs = 1;
}

void TestModel::make_checks_visible() {
  input.data = nullptr;
  input.mirror_handle = &mirror;
  for (qel_tensor_struct& p : params) {
    p.data = nullptr;
    p.mirror_handle = &mirror;
  }
}

void TestModel::run() {
  g_events.clear();
  qel_x86_4602A7A4_00000000_D0(&ctx);
}

}  // namespace netrec
