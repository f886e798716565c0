#include "tests/network/recorder.h"

#include <stdexcept>

#include "runtime/qel_memory.h"
#include "tests/support/param_rules.h"
#include "x86/src/network_function.h"
// The stand-ins must match the operators' declarations.
#include "x86/src/network_operators.h"

namespace netrec {

std::vector<Event> g_events;
int g_throw_at = 0;

namespace {

// Handle operations that record, and for malloc and free then call the manager.
template <Event::Kind kind>
void record(const qel_handle_struct* h, qel_tensor_struct* t) {
  Event e;
  e.kind = kind;
  e.handle = h;
  e.tensors.push_back(t);
  e.before = *t;
  if (kind == Event::kMalloc) qel::nvidia::deployment_malloc(h, t);
  e.data = t->data;
  g_events.push_back(e);
  if (kind == Event::kFree) qel::nvidia::deployment_free(h, t);
}

qel_tensor_struct descriptor(const std::vector<int64_t>& extents, const qel_handle_struct* h, void* data) {
  qel_tensor_struct t{};
  t.rank = static_cast<int32_t>(extents.size());
  t.dtype = QEL_F32;
  t.count = 1;
  for (size_t i = 0; i < extents.size(); ++i) t.count *= t.extents[i] = extents[i];
  t.data_handle = h;
  t.data = data;
  return t;
}

void handle_ops(qel_handle_struct& h, qel_malloc_fn m, qel_free_fn f, qel_init_fn i) {
  h.malloc = m;
  h.free = f;
  h.memset = nullptr;
  h.init = i;
  for (void*& s : h.spare) s = nullptr;
}

}  // namespace

void called(int id, const qel_ctx_struct* c, std::initializer_list<qel_tensor_struct*> args) {
  Event e;
  e.id = id;
  e.tensors = args;
  e.data = c->outputs[0].data;
  g_events.push_back(e);
  if (id == g_throw_at) throw std::runtime_error("operator failed");
}

TestModel::TestModel()
    : handle(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{}),
      output_handle(handle),
      mirror(qel_device_struct("mirror", 0), nullptr, qel_handle_ptrs_struct{}),
      input_buffer(32 * 32 * 32 * 3),
      output_buffer(32 * 16 * 16),
      param_data(1) {
  for (qel_handle_struct* h : {&handle, &output_handle}) handle_ops(*h, record<Event::kMalloc>, record<Event::kFree>, nullptr);
  handle_ops(mirror, nullptr, nullptr, record<Event::kInit>);
  input = descriptor({32, 32, 32, 3}, &handle, input_buffer.data());
  output = descriptor({32, 16, 16, 1}, &output_handle, output_buffer.data());
  for (const rules::Param& p : rules::params()) params.push_back(descriptor(p.extents, &handle, param_data.data()));
  ctx.inputs = &input;
  ctx.params = params.data();
  ctx.outputs = &output;
  ctx.aux_handle = ctx.alloc_handle = &handle;
  ctx.num_inputs = ctx.num_outputs = 1;
  ctx.num_params = 1024;
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

Analysis analyse(const TestModel& m) {
  Analysis a;
  int calls = 0;
  for (size_t i = 0; i < g_events.size(); ++i) {
    const Event& e = g_events[i];
    a.calls_before.push_back(calls);
    if (e.kind == Event::kCall) {
      a.calls.push_back(static_cast<int>(i));
      for (const qel_tensor_struct* t : e.tensors) {
        const auto it = a.number.find(t);
        if (it == a.number.end()) continue;
        Intermediate& x = a.intermediates[static_cast<size_t>(it->second)];
        if (x.first_use < 0) x.first_use = calls;
        x.last_use = calls;
      }
      ++calls;
    } else if (e.kind == Event::kMalloc && e.handle == &m.handle) {
      auto it = a.number.find(e.tensors[0]);
      if (it == a.number.end()) {
        it = a.number.emplace(e.tensors[0], static_cast<int>(a.intermediates.size())).first;
        a.intermediates.emplace_back();
        a.intermediates.back().malloc_event = static_cast<int>(i);
        a.intermediates.back().allocated_before = calls;
      }
      a.intermediates[static_cast<size_t>(it->second)].allocations++;
    } else if (e.kind == Event::kFree) {
      const auto it = a.number.find(e.tensors[0]);
      if (it == a.number.end()) {
        ++a.other_releases;
        continue;
      }
      a.intermediates[static_cast<size_t>(it->second)].releases++;
      a.intermediates[static_cast<size_t>(it->second)].released_after = calls - 1;
    }
  }
  return a;
}

}  // namespace netrec

// The stand-ins, one per operator of the network's operator list.
#define QEL_TEST_CTX_dnn_dnnl const qel_ctx_struct*
#define QEL_TEST_CTX_dfp_ispc qel_ctx_struct*
#define T qel_tensor_struct*
#define QEL_TEST_STANDIN_1(name, C, id) void name(C c, T a) { netrec::called(0x##id, c, {a}); }
#define QEL_TEST_STANDIN_2(name, C, id) void name(C c, T a, T b) { netrec::called(0x##id, c, {a, b}); }
#define QEL_TEST_STANDIN_3(name, C, id) void name(C c, T a, T b, T d) { netrec::called(0x##id, c, {a, b, d}); }
#define QEL_TEST_STANDIN_4(name, C, id) \
  void name(C c, T a, T b, T d, T e) { netrec::called(0x##id, c, {a, b, d, e}); }
#define QEL_TEST_STANDIN(family, tensors, id) \
  QEL_TEST_STANDIN_##tensors(QEL_NET_OPERATOR_NAME(family, id), QEL_TEST_CTX_##family, id)
extern "C" {
QEL_NET_OPERATORS(QEL_TEST_STANDIN)
}
