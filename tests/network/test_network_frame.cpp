// The network function against recording stand-ins of its 736 operators: every
// operator once, the life of every intermediate (the reordered weights only
// around their convolution), the order inside a step, the checks with their
// reports, the output step and the failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/qel_memory.h"
#include "tests/child_process.h"
#include "tests/support/param_rules.h"
#include "x86/src/network_function.h"
// The stand-ins must match the operators' declarations.
#include "x86/src/network_operators.h"

namespace {

// Every operator call and memory operation of a run, in order.
struct Event {
  enum Kind { kMalloc, kFree, kInit, kCall } kind = kCall;
  const qel_handle_struct* handle = nullptr;  // memory events
  int id = 0;                                 // calls: the operator's id
  bool layer = false;                         // calls: a convolution or weight reorder
  std::vector<qel_tensor_struct*> tensors;    // calls: the arguments; memory events: the tensor
  qel_tensor_struct before{};                 // memory events: the descriptor on entry
  void* data = nullptr;                       // malloc: data on return; calls: data of output 0
};
std::vector<Event> g_events;
int g_throw_at = 0;  // the operator with this id throws after recording its call

void called(int id, const char* family, const qel_ctx_struct* c, std::initializer_list<qel_tensor_struct*> args) {
  Event e;
  e.id = id;
  e.layer = std::string(family) == "dnn_dnnl";
  e.tensors = args;
  e.data = c->outputs[0].data;
  g_events.push_back(e);
  if (id == g_throw_at) throw std::runtime_error("operator failed");
}

// Handle operations that record, and for malloc and free then call the
// library's memory manager, so capture and replay work as in a real run.
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

qel_handle_struct recording_handle(const char* name, qel_malloc_fn m, qel_free_fn f, qel_init_fn i) {
  qel_handle_struct h(qel_device_struct(name, 0), nullptr, qel_handle_ptrs_struct{});
  h.malloc = m;
  h.free = f;
  h.memset = nullptr;
  h.init = i;
  h.spare[0] = h.spare[1] = h.spare[2] = nullptr;
  return h;
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

// A context like the model's: one input, 1024 parameters and one output, all
// f32 with their shapes; the recording handle in every data slot but the
// output's, which has a recording handle of its own.
struct TestModel {
  qel_handle_struct handle = recording_handle("x86", record<Event::kMalloc>, record<Event::kFree>, nullptr);
  qel_handle_struct output_handle = handle;
  qel_handle_struct mirror = recording_handle("mirror", nullptr, nullptr, record<Event::kInit>);  // records inits
  std::vector<float> input_buffer = std::vector<float>(32 * 32 * 32 * 3), output_buffer = std::vector<float>(32 * 16 * 16);
  qel_tensor_struct input = descriptor({32, 32, 32, 3}, &handle, input_buffer.data());
  qel_tensor_struct output = descriptor({32, 16, 16, 1}, &output_handle, output_buffer.data());
  std::vector<qel_tensor_struct> params;
  qel_ctx_struct ctx{};

  TestModel() {
    for (const rules::Param& p : rules::params()) params.push_back(descriptor(p.extents, &handle, &input_buffer[0]));
    ctx.inputs = &input;
    ctx.params = params.data();
    ctx.outputs = &output;
    ctx.aux_handle = ctx.alloc_handle = &handle;
    ctx.num_inputs = ctx.num_outputs = 1;
    ctx.num_params = 1024;
  }
  // Takes the data of the input and the parameters and gives them the mirror
  // handle: every check then shows as an init event.
  void make_checks_visible() {
    for (qel_tensor_struct* t = &input; t != params.data() + 1024; t = t == &input ? params.data() : t + 1) {
      t->data = nullptr;
      t->mirror_handle = &mirror;
    }
  }
  void run() {
    g_events.clear();
    qel_x86_4602A7A4_00000000_D0(&ctx);
  }
};

// A recorded run read back: the event index of every call, and the
// intermediates in allocation order.
struct Intermediate {
  int malloc_event = -1, allocations = 0, releases = 0;
  int allocated_before = -1, released_after = -1, first_use = -1, last_use = -1;  // steps
};
struct Analysis {
  std::vector<int> calls, calls_before;  // per event: calls recorded before it
  std::vector<Intermediate> intermediates;
  std::map<const qel_tensor_struct*, int> number;
  int other_releases = 0;  // releases of descriptors the network's handle never allocated
};

Analysis analyse(const TestModel& m) {
  Analysis a;
  int calls = 0;
  for (size_t i = 0; i < g_events.size(); ++i) {
    const Event& e = g_events[i];
    a.calls_before.push_back(calls);
    if (e.kind == Event::kCall) {
      a.calls.push_back(static_cast<int>(i));
      for (const qel_tensor_struct* t : e.tensors) {
        if (!a.number.count(t)) continue;
        Intermediate& x = a.intermediates[static_cast<size_t>(a.number[t])];
        if (x.first_use < 0) x.first_use = calls;
        x.last_use = calls;
      }
      ++calls;
    } else if (e.kind == Event::kMalloc && e.handle == &m.handle) {
      if (!a.number.count(e.tensors[0])) {
        a.number[e.tensors[0]] = static_cast<int>(a.intermediates.size());
        a.intermediates.push_back({static_cast<int>(i), 0, 0, calls});
      }
      a.intermediates[static_cast<size_t>(a.number[e.tensors[0]])].allocations++;
    } else if (e.kind == Event::kFree && !a.number.count(e.tensors[0])) {
      ++a.other_releases;
    } else if (e.kind == Event::kFree) {
      Intermediate& x = a.intermediates[static_cast<size_t>(a.number[e.tensors[0]])];
      x.releases++;
      x.released_after = calls - 1;
    }
  }
  return a;
}

}  // namespace

// The stand-ins, one per operator of the network's operator list.
#define QEL_TEST_CTX_dnn_dnnl const qel_ctx_struct*
#define QEL_TEST_CTX_dfp_ispc qel_ctx_struct*
#define T qel_tensor_struct*
#define QEL_TEST_STANDIN_1(name, F, C, id) void name(C c, T a) { called(0x##id, F, c, {a}); }
#define QEL_TEST_STANDIN_2(name, F, C, id) void name(C c, T a, T b) { called(0x##id, F, c, {a, b}); }
#define QEL_TEST_STANDIN_3(name, F, C, id) void name(C c, T a, T b, T d) { called(0x##id, F, c, {a, b, d}); }
#define QEL_TEST_STANDIN_4(name, F, C, id) void name(C c, T a, T b, T d, T e) { called(0x##id, F, c, {a, b, d, e}); }
#define QEL_TEST_STANDIN(family, tensors, id) \
  QEL_TEST_STANDIN_##tensors(QEL_NET_OPERATOR_NAME(family, id), #family, QEL_TEST_CTX_##family, id)
extern "C" {
QEL_NET_OPERATORS(QEL_TEST_STANDIN)
}
#undef T

namespace {

class NetworkFrame : public ::testing::Test {
 protected:
  void SetUp() override { qel::nvidia::reset_state(); }
  void TearDown() override {
    g_throw_at = 0;
    qel::nvidia::reset_state();
  }
  // A complete run in which every check shows as an init event.
  void run_visible() {
    m.make_checks_visible();
    m.run();
    a = analyse(m);
    ASSERT_EQ(a.calls.size(), 736u);
  }
  const Event& call(int step) const { return g_events[static_cast<size_t>(a.calls[static_cast<size_t>(step)])]; }
  const Intermediate& intermediate(const qel_tensor_struct* t) const {
    return a.intermediates[static_cast<size_t>(a.number.at(t))];
  }
  TestModel m;
  Analysis a;
};

TEST_F(NetworkFrame, EveryOperatorOnceAndEveryIntermediateFromItsFirstWriterToItsLastReader) {
  run_visible();
  std::set<int> ids;
  for (int step = 0; step < 736; ++step) {
    EXPECT_TRUE(ids.insert(call(step).id).second) << "step " << step;
    for (const qel_tensor_struct* t : call(step).tensors) EXPECT_EQ(a.number.count(t), 1u) << "step " << step;
  }
  ASSERT_EQ(a.intermediates.size(), 638u);
  EXPECT_EQ(a.other_releases, 0);
  for (size_t n = 0; n < a.intermediates.size(); ++n) {
    SCOPED_TRACE("intermediate " + std::to_string(n));
    const Intermediate& x = a.intermediates[n];
    EXPECT_EQ(x.allocations, 1);
    EXPECT_EQ(x.releases, 1);
    EXPECT_EQ(x.allocated_before, x.first_use);
    EXPECT_EQ(x.released_after, x.last_use);
    // The descriptor is filled whole before its allocation.
    const Event& e = g_events[static_cast<size_t>(x.malloc_event)];
    const qel_tensor_struct& t = e.before;
    int64_t count = 1;
    for (int i = 0; i < t.rank; ++i) count *= t.extents[i];
    for (int i = t.rank; i < 8; ++i) EXPECT_EQ(t.extents[i], 0) << "extent " << i;
    EXPECT_EQ(t.count, count);
    EXPECT_EQ(t.dtype, QEL_F32);
    EXPECT_EQ(t.mirror_handle, nullptr);
    EXPECT_EQ(t.mirror_aux, 0u);
    EXPECT_EQ(t.mirror_ptr, nullptr);
    EXPECT_EQ(t.data_handle, &m.handle);
    EXPECT_EQ(t.data_aux, 0u);
    EXPECT_EQ(t.data, nullptr);
    EXPECT_NE(e.data, nullptr);
  }
  // A weight reorder (the one layer call with a single tensor) writes a
  // temporary that only the next call, its convolution, reads.
  int reorders = 0;
  for (int step = 0; step < 735; ++step) {
    if (!call(step).layer || call(step).tensors.size() != 1) continue;
    ++reorders;
    const Intermediate& w = intermediate(call(step).tensors[0]);
    EXPECT_EQ(w.first_use, step);
    EXPECT_EQ(w.last_use, step + 1);
    EXPECT_TRUE(call(step + 1).layer) << "step " << step + 1;
  }
  EXPECT_EQ(reorders, 210);
}

// Between two calls: the releases after the first (in its argument order), the
// checks, the allocations of the second (in its argument order).
TEST_F(NetworkFrame, AStepReleasesThenChecksThenAllocatesThenCalls) {
  run_visible();
  std::vector<const qel_tensor_struct*> checked;
  for (int step = 0, begin = 0; step < 737; ++step) {
    const int end = step < 736 ? a.calls[static_cast<size_t>(step)] : static_cast<int>(g_events.size());
    int phase = 0;
    std::vector<const qel_tensor_struct*> released, allocated;
    for (int i = begin; i < end; ++i) {
      const Event& e = g_events[static_cast<size_t>(i)];
      const int p = e.kind == Event::kFree ? 0 : e.kind == Event::kInit ? 1 : 2;
      EXPECT_LE(phase, p) << "step " << step;
      phase = p;
      (p == 0 ? released : p == 1 ? checked : allocated).push_back(e.tensors[0]);
    }
    auto in_order_of = [](const std::vector<qel_tensor_struct*>& args, const std::vector<const qel_tensor_struct*>& got) {
      std::vector<const qel_tensor_struct*> want;
      for (const qel_tensor_struct* t : args)
        if (std::count(got.begin(), got.end(), t)) want.push_back(t);
      return want;
    };
    const std::vector<qel_tensor_struct*> none, output = {&m.output};
    EXPECT_EQ(released, in_order_of(step > 0 ? call(step - 1).tensors : none, released)) << "step " << step;
    EXPECT_EQ(allocated, in_order_of(step < 735 ? call(step).tensors : step == 735 ? output : none, allocated)) << step;
    begin = end + 1;
  }
  // The input first, then P0 to P1023, each once.
  ASSERT_EQ(checked.size(), 1025u);
  EXPECT_EQ(checked[0], &m.input);
  for (int k = 0; k < 1024; ++k) EXPECT_EQ(checked[static_cast<size_t>(k) + 1], &m.params[static_cast<size_t>(k)]);
}

std::string shape_text(const qel_tensor_struct& t) {
  std::string s = std::string(t.dtype == QEL_F32 ? "f32" : "f64") + ", [";
  for (int i = 0; i < t.rank; ++i) s += (i ? ", " : "") + std::to_string(t.extents[i]);
  return s + "]";
}

int g_calls_at_exit = 0;
void print_calls() {
  for (const Event& e : g_events) g_calls_at_exit += e.kind == Event::kCall;
  std::printf("calls: %d\n", g_calls_at_exit);
}

// A wrong descriptor ends the run with its four-line report, after the
// operators before its first reader. The report gives the check's line in the
// schedule written out step by step: fixed here for the input (850), P0 (856,
// after the input check, the padded input's allocation and the padding call),
// P9, P184 and the last parameter; the other lines lie in between, ascending.
TEST_F(NetworkFrame, AWrongDescriptorIsReportedAtItsLine) {
  run_visible();
  std::vector<int> calls_before;  // per check: input, P0 .. P1023
  for (size_t i = 0; i < g_events.size(); ++i)
    if (g_events[i].kind == Event::kInit) calls_before.push_back(a.calls_before[i]);
  ASSERT_EQ(calls_before.size(), 1025u);
  const struct {
    int param;  // -1: the input
    int line;   // 0: not known here
    std::function<void(qel_tensor_struct&)> alter;
  } cases[] = {
      {-1, 850, [](qel_tensor_struct& t) { t.rank = 0; }},
      {0, 856, [](qel_tensor_struct& t) { t.dtype = QEL_F64; }},
      {1, 0, [](qel_tensor_struct& t) { t.rank = 4, t.extents[3] = t.extents[0], t.extents[0] = t.extents[1] = t.extents[2] = 1; }},
      {9, 902, [](qel_tensor_struct& t) { t.rank = 2, t.extents[0] = 64, t.extents[1] = 128; }},
      {14, 0, [](qel_tensor_struct& t) { t.extents[2] = 129; }},
      {184, 1870, [](qel_tensor_struct& t) { t.extents[3] = 64; }},
      {996, 0, [](qel_tensor_struct& t) { t.extents[0] += int64_t{1} << 32; }},  // extents compare on 64 bits
      {1000, 0, [](qel_tensor_struct& t) { t.rank = 4, t.extents[0] = t.extents[1] = t.extents[2] = 1, t.extents[3] = 1920; }},
      {1006, 0, [](qel_tensor_struct& t) { t.extents[1] = 1; }},
      {1022, 0, [](qel_tensor_struct& t) { t.extents[2] = 61; }},
      {1023, 6569, [](qel_tensor_struct& t) { t.extents[0] = 2; }},
  };
  int previous_line = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE("parameter " + std::to_string(c.param));
    TestModel m;
    qel_tensor_struct& t = c.param < 0 ? m.input : m.params[static_cast<size_t>(c.param)];
    const std::string name = c.param < 0 ? "I0_D0_Output" : "P" + std::to_string(c.param) + "_D0_Output";
    const std::string expected = shape_text(t);
    c.alter(t);
    const ChildResult r = run_in_child([&m] {
      std::atexit(print_calls);
      m.run();
      std::printf("the run returned\n");
    });
    EXPECT_EQ(r.status, 1);
    const std::string head = "Module: VOKT\nFile: x86/src/qel_x86_4602A7A4_00000000_D0\nLine: ";
    ASSERT_EQ(r.out.compare(0, head.size(), head), 0) << r.out;
    const int line = std::atoi(r.out.c_str() + head.size());
    if (c.line != 0) {
      EXPECT_EQ(line, c.line);
    }
    EXPECT_GT(line, previous_line);
    previous_line = line;
    EXPECT_EQ(r.out, head + std::to_string(line) + "\nMessage: Wrong input Tensor (" + name + ") detected:\n  Expected: " +
                         expected + "\n  Found:    " + shape_text(t) + "\n\ncalls: " +
                         std::to_string(calls_before[static_cast<size_t>(c.param + 1)]) + "\n");
  }
}

// Materialise calls the mirror's init only for a tensor without data.
TEST_F(NetworkFrame, MaterialiseCallsInitOnlyForATensorWithoutData) {
  m.params[3].mirror_handle = m.params[5].mirror_handle = &m.mirror;
  m.params[4].data = m.params[5].data = nullptr;
  m.run();
  std::vector<const qel_tensor_struct*> inits;
  for (const Event& e : g_events)
    if (e.kind == Event::kInit) inits.push_back(e.tensors[0]);
  EXPECT_EQ(inits, std::vector<const qel_tensor_struct*>{&m.params[5]});
  EXPECT_EQ(analyse(m).calls.size(), 736u);
}

// The output step re-sets the output's shape and allocates it through its own
// handle right before the head, which finds the host's buffer through the
// context; nothing releases the output. An unbound output gets memory the run
// keeps.
TEST_F(NetworkFrame, OutputStepResetsTheOutputAndKeepsTheHostBuffer) {
  for (const bool bound : {true, false}) {
    TestModel m;
    qel_tensor_struct& out = m.output;
    std::fill(out.extents, out.extents + 8, 7);
    out.rank = 2, out.dtype = QEL_F64, out.count = 5, out.mirror_aux = 3;
    if (!bound) out.data = nullptr;
    m.run();
    const Analysis a = analyse(m);
    EXPECT_EQ(std::vector<int64_t>(out.extents, out.extents + 8), (std::vector<int64_t>{32, 16, 16, 1, 7, 7, 7, 7}));
    EXPECT_EQ(out.rank, 4);
    EXPECT_EQ(out.dtype, QEL_F32);
    EXPECT_EQ(out.count, 8192);
    EXPECT_EQ(out.mirror_aux, 3u);
    const Event& alloc = g_events[static_cast<size_t>(a.calls.back()) - 1];
    EXPECT_EQ(alloc.kind, Event::kMalloc);
    EXPECT_EQ(alloc.handle, &m.output_handle);
    EXPECT_EQ(alloc.tensors[0], &m.output);
    ASSERT_NE(out.data, nullptr);
    if (bound) {
      EXPECT_EQ(out.data, m.output_buffer.data());
    }
    EXPECT_EQ(g_events[static_cast<size_t>(a.calls.back())].data, m.output.data);
    EXPECT_EQ(a.other_releases, 0);
    if (!bound) qel::nvidia::deployment_free(&m.output_handle, &m.output);
  }
}

TEST_F(NetworkFrame, AFailingOperatorEndsTheRunAndReleasesWhatIsLive) {
  for (const int failing : {0x8558, 0x8557, 0x8556, 0x8409, 0x82EB, 0x8219, 0x8212}) {
    SCOPED_TRACE(failing);
    TestModel m;
    g_throw_at = failing;
    EXPECT_THROW(m.run(), std::runtime_error);
    const Analysis a = analyse(m);
    ASSERT_FALSE(a.calls.empty());
    EXPECT_EQ(g_events[static_cast<size_t>(a.calls.back())].id, failing) << "nothing runs after the failure";
    for (const auto& x : a.intermediates) {
      EXPECT_EQ(x.allocations, 1);
      EXPECT_EQ(x.releases, 1);
    }
    EXPECT_EQ(a.other_releases, 0);
  }
}

}  // namespace
