// The handle layer and the layer static: descriptors and their refusals, plain
// and blocked reorders, get-or-create with retry and destruction at exit, and
// the life of real layers (one primitive each, fresh pointers and context on
// every call, failures as exceptions naming the layer, a clean process exit).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dnn/device_singleton.h"
#include "dnn_test_util.h"
#include "tests/child_process.h"

using namespace dnntest;
using qel::dnn::DeviceItem;
using qel::dnn::DeviceSingleton;
using qel::dnn::dnnl::Error;
using qel::dnn::dnnl::MemoryDesc;

namespace {

MemoryDesc desc4(std::initializer_list<long> padded, std::initializer_list<long> strides, int nblks = 0,
                 long block = 0, long offset0 = 0, long last_offset = 0, dnnl_format_kind_t kind = dnnl_blocked,
                 dnnl_data_type_t type = dnnl_f32) {
  return MemoryDesc(4, {2, 3, 4, 20}, type, padded, {0, 0, 0, last_offset}, offset0, kind, strides, nblks,
                    nblks ? MemoryDesc::List{block} : MemoryDesc::List{}, nblks ? MemoryDesc::List{3} : MemoryDesc::List{});
}

TEST(MemoryDescValue, KeepsItsOwnCopyAndRejectsInconsistentLists) {
  const MemoryDesc d(2, {4, 5}, dnnl_f32, {4, 5}, {0, 0}, 0, dnnl_blocked, {5, 1}, 0, {}, {});
  EXPECT_EQ(d.dims[1], 5);
  EXPECT_EQ(d.strides[0], 5);
  EXPECT_THROW(MemoryDesc(2, {4}, dnnl_f32, {4, 5}, {0, 0}, 0, dnnl_blocked, {5, 1}, 0, {}, {}), Error);
  EXPECT_THROW(MemoryDesc(2, {4, 5}, dnnl_f32, {4, 5}, {0, 0}, 0, dnnl_blocked, {5, 1, 1}, 0, {}, {}), Error);
  EXPECT_THROW(MemoryDesc(2, {4, 5}, dnnl_f32, {4, 5}, {0, 0}, 0, dnnl_blocked, {5, 1}, 1, {}, {}), Error);
  EXPECT_THROW(MemoryDesc(13, {}, dnnl_f32, {}, {}, 0, dnnl_blocked, {}, 0, {}, {}), Error);
  EXPECT_TRUE(MemoryDesc(static_cast<const dnnl_memory_desc*>(nullptr)).empty());
  EXPECT_THROW(MemoryDesc(reinterpret_cast<const dnnl_memory_desc*>(&d)), Error);
}

// Offset of element `idx` in a layout with at most one inner block.
long offset_of(const MemoryDesc& d, const long* idx) {
  long off = 0;
  for (int i = 0; i < d.ndims; ++i) {
    const bool blocked = d.inner_nblks == 1 && d.inner_idxs[0] == i;
    off += d.strides[i] * (blocked ? idx[i] / d.inner_blks[0] : idx[i]) + (blocked ? idx[i] % d.inner_blks[0] : 0);
  }
  return off;
}

// The handle merges dimensions only where both layouts keep them contiguous;
// every element must still land at its place and the padding be cleared.
TEST(HandleReorder, EveryElementLandsWhereBothDescriptorsPutIt) {
  const MemoryDesc plain = desc4({2, 3, 4, 20}, {240, 80, 20, 1});
  const struct {
    MemoryDesc src, dst;
    size_t size;
  } cases[] = {
      {plain, desc4({2, 3, 4, 32}, {192, 64, 16, 384}, 1, 16), 768},           // dims 0 to 2 merge
      {plain, desc4({2, 3, 4, 32}, {64, 128, 16, 384}, 1, 16), 768},           // dims 0 and 1 swap
      {desc4({2, 3, 4, 20}, {4, 8, 1, 24}), desc4({2, 3, 4, 32}, {64, 128, 16, 384}, 1, 16), 768},
      {plain, desc4({2, 3, 4, 20}, {240, 80, 1, 4}), 480},                     // a plain transposition
  };
  for (const auto& c : cases) {
    qel::dnn::dnnl::Reorder r(nullptr, c.src, c.dst);
    std::vector<float> a(480), b(c.size, -1.f), want(c.size, 0.f);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i);
    r(a.data(), b.data());
    long idx[4];
    for (idx[0] = 0; idx[0] < 2; ++idx[0])
      for (idx[1] = 0; idx[1] < 3; ++idx[1])
        for (idx[2] = 0; idx[2] < 4; ++idx[2])
          for (idx[3] = 0; idx[3] < 20; ++idx[3]) want[offset_of(c.dst, idx)] = a[offset_of(c.src, idx)];
    EXPECT_EQ(b, want) << "destination strides " << c.dst.strides[0] << ", " << c.dst.strides[1];
  }
}

TEST(HandleReorder, RefusesLayoutsItCannotExpress) {
  const MemoryDesc src = desc4({2, 3, 4, 20}, {240, 80, 20, 1});
  const MemoryDesc refused[] = {
      desc4({2, 3, 4, 32}, {192, 64, 16, 100}, 1, 16),  // blocks overlap
      desc4({2, 3, 4, 48}, {192, 64, 16, 384}, 1, 16),  // padded beyond the block
      desc4({2, 3, 4, 20}, {240, 80, 20, 1}, 0, 0, 5),  // offset0
      desc4({2, 3, 4, 20}, {240, 80, 20, 1}, 0, 0, 0, 1),  // padded offsets
      desc4({2, 3, 4, 24}, {288, 96, 24, 1}),  // padding without a block
      desc4({2, 3, 4, 20}, {240, 80, 20, 1}, 0, 0, 0, 0, dnnl_format_kind_any),
      desc4({2, 3, 4, 20}, {240, 80, 20, 1}, 0, 0, 0, 0, dnnl_blocked, dnnl_s8),
  };
  for (const MemoryDesc& dst : refused) {
    try {
      qel::dnn::dnnl::Reorder r(nullptr, src, dst);
      ADD_FAILURE() << "accepted destination " << &dst - refused;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()), "");
    }
  }
}

// ---- The layer static, with a primitive that counts what happens to it ------

struct Log {
  int created = 0, destroyed = 0, executed = 0, creator_calls = 0;
  bool fail_create = false, fail_execute = false;
  const qel_ctx_struct* creator_ctx = nullptr;
} g_log;

class FakePrim : public qel::dnn::dnnl::Executor<2> {
 public:
  explicit FakePrim(const char* name) : name_(name) { ++g_log.created; }
  ~FakePrim() noexcept override {
    ++g_log.destroyed;
    std::printf("destroyed %s\n", name_);
  }

 protected:
  void execute(void* const*) override {
    ++g_log.executed;
    if (g_log.fail_execute) throw std::runtime_error("execution failed");
  }

 private:
  const char* name_;
};
using FakeSingleton = DeviceSingleton<FakePrim>;

FakeSingleton::Item* create_fake(const qel_ctx_struct* ctx) {
  ++g_log.creator_calls;
  g_log.creator_ctx = ctx;
  if (g_log.fail_create) throw std::runtime_error("creation failed");
  return new DeviceItem<FakePrim>("fake");
}
void initialize_fake(const qel_ctx_struct*, FakePrim&) { ADD_FAILURE() << "the initializer is never called"; }

TEST(LayerStatic, CreatesOnceOnFirstUseRetriesAfterFailuresAndDestroysItsItem) {
  g_log = Log();
  qel_ctx_struct first{}, later{};
  {
    FakeSingleton s(create_fake, initialize_fake);
    EXPECT_EQ(g_log.creator_calls, 0) << "construction must not create";
    g_log.fail_create = true;
    EXPECT_THROW(s.get(&later), std::runtime_error);
    EXPECT_EQ(s.item, nullptr);
    g_log.fail_create = false;
    for (int i = 0; i < 4; ++i) s.get(i == 0 ? &first : &later)(nullptr, nullptr);
    EXPECT_EQ(g_log.creator_calls, 2);
    EXPECT_EQ(g_log.creator_ctx, &first);
    EXPECT_EQ(g_log.created, 1);
    EXPECT_EQ(g_log.executed, 4);
    g_log.fail_execute = true;  // a failed execution keeps the item
    auto* item = s.item;
    EXPECT_THROW(s.get(&later)(nullptr, nullptr), std::runtime_error);
    EXPECT_EQ(s.item, item);
    EXPECT_EQ(g_log.destroyed, 0);
  }
  EXPECT_EQ(g_log.destroyed, 1);
  { FakeSingleton unused(create_fake, initialize_fake); }
  EXPECT_EQ(g_log.destroyed, 1);
  FakeSingleton empty(nullptr, initialize_fake);
  EXPECT_THROW(empty.get(&first), std::bad_function_call);
}

// Function-local statics of three layers, first used in the order 2, 1, 3,
// are destroyed at exit in reverse order of first use.
#define QEL_TEST_LAYER(n)                                                                             \
  if (which == n) {                                                                                   \
    static FakeSingleton s([](const qel_ctx_struct*) -> FakeSingleton::Item* {                        \
      return new DeviceItem<FakePrim>("layer " #n);                                                   \
    }, initialize_fake);                                                                              \
    s.get(nullptr)(nullptr, nullptr);                                                                 \
  }
void layer(int which) {
  QEL_TEST_LAYER(1)
  QEL_TEST_LAYER(2)
  QEL_TEST_LAYER(3)
}

TEST(LayerStatic, ItemsAreDestroyedAtExitInReverseOrderOfFirstUse) {
  const ChildResult r = run_in_child([] {
    layer(2);
    layer(1);
    layer(2);
    layer(3);
    std::exit(0);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "destroyed layer 3\ndestroyed layer 1\ndestroyed layer 2\n");
}

// ---- Real layers --------------------------------------------------------------

size_t created() { return qel::dnn::dnnl::created_primitives().size(); }

// Reorder and convolution of two 3 x 3 dense-block-3 layers with identical
// descriptors, weights 0.5 and source 1: corner outputs see 4 of the 9 taps.
struct Block3Layers {
  std::vector<float> param = std::vector<float>(3 * 3 * 128 * 32, 0.5f), temp = param;
  std::vector<float> src = std::vector<float>(32 * 2 * 2 * 128, 1.0f), dst = std::vector<float>(32 * 2 * 2 * 32);
  TestContext tc;
  qel_tensor_struct t = tensor_of(temp.data()), s = tensor_of(src.data()), d = tensor_of(dst.data());
  Block3Layers() {
    for (int p : {204, 214}) tc.params[p] = tensor_of(param.data());
  }
  void run() {
    QEL_DNN_NAME(8410)(tc.get(), &t);
    QEL_DNN_NAME(840B)(tc.get(), &d, &s, &t);
    QEL_DNN_NAME(8412)(tc.get(), &t);
    QEL_DNN_NAME(8404)(tc.get(), &d, &s, &t);
  }
};

TEST(Layers, EachLayerCreatesItsOwnPrimitiveOnce) {
  Block3Layers g;
  const size_t before = created();
  g.run();
  EXPECT_EQ(created(), before + 4);
  g.run();
  EXPECT_EQ(created(), before + 4);
  EXPECT_FLOAT_EQ(g.dst[0], 256.0f);
}

// A later call takes its pointers, bias and output from that call's context.
TEST(Layers, LaterCallsReadTheirOwnContext) {
  std::vector<float> w = random_values(3 * 3 * 60, 5), src = random_values(32 * 16 * 16 * 60, 6), temp(16 * 3 * 3 * 60);
  float bias[2] = {0.25f, -2.0f};
  std::vector<float> out[2] = {std::vector<float>(32 * 16 * 16), std::vector<float>(32 * 16 * 16)};
  TestContext c[2];
  qel_tensor_struct t = tensor_of(temp.data()), s = tensor_of(src.data());
  for (int i = 0; i < 2; ++i) {
    c[i].params[1022] = tensor_of(w.data());
    c[i].params[1023] = tensor_of(&bias[i]);
    c[i].outputs[0] = tensor_of(out[i].data());
    QEL_DNN_NAME(855C)(c[i].get(), &t);
    QEL_DNN_NAME(8212)(c[i].get(), &s, &t);
  }
  for (size_t i = 0; i < out[0].size(); ++i) ASSERT_NEAR(out[1][i] - out[0][i], bias[1] - bias[0], 1e-4) << i;
}

TEST(Layers, NullDataPointersAreExceptionsNamingTheLayer) {
  Block3Layers g;
  g.tc.params[674] = tensor_of(g.param.data());
  qel_tensor_struct none = tensor_of(nullptr);
  QEL_DNN_NAME(846E)(g.tc.get(), &g.t);
  try {
    QEL_DNN_NAME(82F0)(g.tc.get(), &none, &g.s, &g.t);
    FAIL() << "a null destination was accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.layer(), "82F0 (convolution)");
    EXPECT_NE(std::string(e.what()).find("destination"), std::string::npos) << e.what();
  }
  EXPECT_THROW(QEL_DNN_NAME(82F0)(g.tc.get(), &g.d, &none, &g.t), Error);
  EXPECT_THROW(QEL_DNN_NAME(82F0)(g.tc.get(), &g.d, &g.s, &none), Error);
  const size_t n = created();
  QEL_DNN_NAME(82F0)(g.tc.get(), &g.d, &g.s, &g.t);  // the primitive survives its failed runs
  EXPECT_EQ(created(), n);
  EXPECT_FLOAT_EQ(g.dst[0], 256.0f);
  g.tc.params[674] = tensor_of(nullptr);
  EXPECT_THROW(QEL_DNN_NAME(846E)(g.tc.get(), &g.t), Error);
  TestContext tb;  // a bias layer whose bias is missing
  std::vector<float> w(3 * 3 * 60 * 60), big(32 * 16 * 16 * 60);
  tb.params[1020] = tensor_of(w.data());
  qel_tensor_struct tw = tensor_of(big.data()), ts = tensor_of(big.data()), td = tensor_of(big.data());
  QEL_DNN_NAME(855B)(tb.get(), &tw);
  EXPECT_THROW(QEL_DNN_NAME(8214)(tb.get(), &ts, &td, &tw), Error);
}

// A construction that oneDNN refuses (a destination that does not follow from
// the source) leaves the static empty, reports the status and the layer, and
// the next call creates afresh.
int g_attempt = 0;
DeviceItem<qel::dnn::dnnl::Conv>* create_flaky(const qel_ctx_struct* ctx) {
  const ConvShape shape{3, 1, 1, 128, 2, 32, g_attempt++ == 0 ? 3 : 2, 32, false};
  const qel::dnn::dnnl::LayerLabel label("test layer");
  return qel::dnn::layers::create_conv(ctx, shape);
}
void initialize_conv(const qel_ctx_struct*, qel::dnn::dnnl::Conv&) {}

TEST(Layers, AFailedConstructionReportsTheStatusAndIsRetried) {
  DeviceSingleton<qel::dnn::dnnl::Conv> s(create_flaky, initialize_conv);
  try {
    s.get(nullptr);
    FAIL() << "an inconsistent convolution was created";
  } catch (const Error& e) {
    EXPECT_EQ(e.status(), dnnl_invalid_arguments) << e.what();
    EXPECT_EQ(e.layer(), "test layer");
  }
  EXPECT_EQ(s.item, nullptr);
  Block3Layers g;
  s.get(nullptr)(g.src.data(), g.dst.data(), g.param.data(), nullptr);
  EXPECT_EQ(g_attempt, 2);
  EXPECT_FLOAT_EQ(g.dst[0], 256.0f);
}

// After layers ran the process exits normally: the statics release their
// primitives while the engine still exists. The child is this program started
// afresh (a fork would inherit the OpenMP thread pool): it runs the layers from
// a static initialiser and exits before any test runs.
const bool g_exit_child = [] {
  if (std::getenv("QEL_DNN_EXIT_CHILD") == nullptr) return false;
  Block3Layers g;
  g.run();
  std::printf("ran %g\n", g.dst[0]);
  std::exit(0);
}();

TEST(Layers, TheProcessExitsCleanlyAfterLayersRan) {
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  FILE* child = popen((std::string("QEL_DNN_EXIT_CHILD=1 '") + self + "'").c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string out;
  char buf[256];
  while (fgets(buf, sizeof buf, child)) out += buf;
  const int status = pclose(child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(out, "ran 256\n");
  EXPECT_FALSE(g_exit_child);
}

}  // namespace
