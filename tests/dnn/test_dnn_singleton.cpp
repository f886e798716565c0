// The layer static (get-or-create, retry, destruction at exit) and the life
// of real layers: one primitive per layer, fresh pointers on every call,
// failures as exceptions, a clean process exit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dnn/device_singleton.h"
#include "dnn/dnnl_handle.h"
#include "dnn_layers.h"
#include "dnn_test_util.h"
#include "tests/child_process.h"

#include <sys/wait.h>
#include <unistd.h>

using dnntest::TestContext;
using dnntest::tensor_of;
using qel::dnn::DeviceItem;
using qel::dnn::DeviceSingleton;

#define Q(id) qel_x86_4602A7A4_00000000_D0_dnn_dnnl_##id

namespace {

// A primitive that counts what happens to it.
struct Log {
  int created = 0, destroyed = 0, executed = 0, creator_calls = 0, initializer_calls = 0;
  bool fail_create = false, fail_execute = false;
  const qel_ctx_struct* creator_ctx = nullptr;
  std::vector<void*> last;
};
Log g_log;

class FakePrim : public qel::dnn::dnnl::Executor<2> {
 public:
  explicit FakePrim(const char* name) : name_(name) { ++g_log.created; }
  ~FakePrim() noexcept override {
    ++g_log.destroyed;
    std::printf("destroyed %s\n", name_);
  }

 protected:
  void execute(void* const* p) override {
    ++g_log.executed;
    g_log.last = {p[0], p[1]};
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
void initialize_fake(const qel_ctx_struct*, FakePrim&) { ++g_log.initializer_calls; }

class LayerStatic : public ::testing::Test {
 protected:
  void SetUp() override { g_log = Log(); }
};

TEST_F(LayerStatic, CreatesOnceWithTheFirstContextAndRunsOnEveryCall) {
  qel_ctx_struct first{}, later{};
  int a = 0, b = 0;
  {
    FakeSingleton s(create_fake, initialize_fake);
    EXPECT_EQ(s.item, nullptr);
    EXPECT_EQ(g_log.creator_calls, 0) << "construction must not create";
    for (int i = 0; i < 5; ++i) s.get(i == 0 ? &first : &later)(&a, i % 2 ? &b : &a);
    EXPECT_EQ(g_log.creator_calls, 1);
    EXPECT_EQ(g_log.creator_ctx, &first);
    EXPECT_EQ(g_log.created, 1);
    EXPECT_EQ(g_log.executed, 5);
    EXPECT_EQ(g_log.last, (std::vector<void*>{&a, &a}));
    EXPECT_EQ(g_log.initializer_calls, 0);
    EXPECT_EQ(g_log.destroyed, 0);
  }
  EXPECT_EQ(g_log.destroyed, 1);
}

TEST_F(LayerStatic, RetriesAfterAThrowingCreator) {
  FakeSingleton s(create_fake, initialize_fake);
  qel_ctx_struct ctx{};
  g_log.fail_create = true;
  EXPECT_THROW(s.get(&ctx), std::runtime_error);
  EXPECT_EQ(s.item, nullptr);
  g_log.fail_create = false;
  s.get(&ctx)(nullptr, nullptr);
  s.get(&ctx)(nullptr, nullptr);
  EXPECT_EQ(g_log.creator_calls, 2);
  EXPECT_EQ(g_log.created, 1);
  EXPECT_EQ(g_log.executed, 2);
}

TEST_F(LayerStatic, AFailedExecutionKeepsTheItem) {
  FakeSingleton s(create_fake, initialize_fake);
  qel_ctx_struct ctx{};
  g_log.fail_execute = true;
  EXPECT_THROW(s.get(&ctx)(nullptr, nullptr), std::runtime_error);
  auto* item = s.item;
  ASSERT_NE(item, nullptr);
  g_log.fail_execute = false;
  s.get(&ctx)(nullptr, nullptr);
  EXPECT_EQ(s.item, item);
  EXPECT_EQ(g_log.creator_calls, 1);
}

TEST_F(LayerStatic, AnEmptyCreatorRaisesBadFunctionCall) {
  FakeSingleton s(nullptr, initialize_fake);
  qel_ctx_struct ctx{};
  EXPECT_THROW(s.get(&ctx), std::bad_function_call);
  EXPECT_EQ(s.item, nullptr);
}

TEST_F(LayerStatic, WithoutItemOnlyTheCallablesAreDestroyed) {
  { FakeSingleton s(create_fake, initialize_fake); }
  EXPECT_EQ(g_log.destroyed, 0);
}

// Function-local statics of three layers, first used in the order 2, 1, 3.
void layer(int n) {
  static auto make = [](const char* name) {
    return [name](const qel_ctx_struct*) -> FakeSingleton::Item* { return new DeviceItem<FakePrim>(name); };
  };
  qel_ctx_struct ctx{};
  if (n == 1) {
    static FakeSingleton s(make("layer 1"), initialize_fake);
    s.get(&ctx)(nullptr, nullptr);
  } else if (n == 2) {
    static FakeSingleton s(make("layer 2"), initialize_fake);
    s.get(&ctx)(nullptr, nullptr);
  } else if (n == 3) {
    static FakeSingleton s(make("layer 3"), initialize_fake);
    s.get(&ctx)(nullptr, nullptr);
  }
}

TEST(LayerStaticExit, ItemsAreDestroyedOnceInReverseOrderOfFirstUse) {
  const ChildResult r = run_in_child([] {
    layer(2);
    layer(1);
    layer(2);
    layer(3);
    std::exit(0);
  });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "destroyed layer 3\ndestroyed layer 1\ndestroyed layer 2\n");
}

// ---- Real layers -------------------------------------------------------------

size_t created() { return qel::dnn::dnnl::created_primitives().size(); }

// Runs the reorder and the convolution of a 3 x 3 dense-block-3 layer.
struct Block3Growth {
  std::vector<float> param = std::vector<float>(3 * 3 * 128 * 32, 0.5f);
  std::vector<float> temp = std::vector<float>(3 * 3 * 128 * 32);
  std::vector<float> src = std::vector<float>(32 * 2 * 2 * 128, 1.0f);
  std::vector<float> dst = std::vector<float>(32 * 2 * 2 * 32);
};

TEST(Layers, EachLayerHasItsOwnPrimitiveCreatedOnce) {
  TestContext tc;
  Block3Growth g;
  for (int p : {204, 214}) tc.params[p] = tensor_of(g.param.data());
  qel_tensor_struct t = tensor_of(g.temp.data()), s = tensor_of(g.src.data()), d = tensor_of(g.dst.data());
  const size_t before = created();
  // 840B and 8404 have identical descriptors; each still gets its own.
  Q(8410)(tc.get(), &t);
  Q(840B)(tc.get(), &d, &s, &t);
  EXPECT_EQ(created(), before + 2);
  Q(8412)(tc.get(), &t);
  Q(8404)(tc.get(), &d, &s, &t);
  EXPECT_EQ(created(), before + 4);
  for (int i = 0; i < 3; ++i) {
    Q(8410)(tc.get(), &t);
    Q(840B)(tc.get(), &d, &s, &t);
    Q(8412)(tc.get(), &t);
    Q(8404)(tc.get(), &d, &s, &t);
  }
  EXPECT_EQ(created(), before + 4);
  // Corner outputs see 4 of the 9 taps: 4 x 128 x 0.5.
  EXPECT_FLOAT_EQ(g.dst[0], 256.0f);
}

// A later call takes its pointers, bias and output from that call's context,
// without creating anything anew.
TEST(Layers, LaterCallsReadTheirOwnContext) {
  const int cin = 60, hw = 16;
  std::vector<float> w(3 * 3 * cin * 1), src(32 * hw * hw * cin), temp(16 * 3 * 3 * cin);
  dnntest::fill_random(w, 5);
  dnntest::fill_random(src, 6);
  float bias1 = 0.25f, bias2 = -2.0f;
  std::vector<float> out1(32 * hw * hw), out2(32 * hw * hw);
  TestContext c1, c2;
  c1.params[1022] = c2.params[1022] = tensor_of(w.data());
  c1.params[1023] = tensor_of(&bias1);
  c2.params[1023] = tensor_of(&bias2);
  c1.outputs[0] = tensor_of(out1.data());
  c2.outputs[0] = tensor_of(out2.data());
  qel_tensor_struct t = tensor_of(temp.data()), s = tensor_of(src.data());

  Q(855C)(c1.get(), &t);
  Q(8212)(c1.get(), &s, &t);
  const size_t after_first = created();
  Q(855C)(c2.get(), &t);
  Q(8212)(c2.get(), &s, &t);
  EXPECT_EQ(created(), after_first);
  for (size_t i = 0; i < out1.size(); ++i)
    ASSERT_NEAR(out2[i] - out1[i], bias2 - bias1, 1e-4) << i;
}

TEST(Layers, NullDataPointersAreExceptionsNamingTheLayer) {
  TestContext tc;
  Block3Growth g;
  tc.params[674] = tensor_of(g.param.data());
  qel_tensor_struct t = tensor_of(g.temp.data()), s = tensor_of(g.src.data()),
                    d = tensor_of(g.dst.data()), none = tensor_of(nullptr);
  Q(846E)(tc.get(), &t);
  try {
    Q(82F0)(tc.get(), &none, &s, &t);
    FAIL() << "a null destination was accepted";
  } catch (const qel::dnn::dnnl::Error& e) {
    EXPECT_EQ(e.layer(), "82F0 (convolution)");
    EXPECT_NE(std::string(e.what()).find("destination"), std::string::npos) << e.what();
  }
  EXPECT_THROW(Q(82F0)(tc.get(), &d, &none, &t), qel::dnn::dnnl::Error);
  EXPECT_THROW(Q(82F0)(tc.get(), &d, &s, &none), qel::dnn::dnnl::Error);
  // The primitive survives its failed runs.
  const size_t n = created();
  Q(82F0)(tc.get(), &d, &s, &t);
  EXPECT_EQ(created(), n);
  EXPECT_FLOAT_EQ(g.dst[0], 256.0f);

  tc.params[674] = tensor_of(nullptr);
  EXPECT_THROW(Q(846E)(tc.get(), &t), qel::dnn::dnnl::Error);
  // A bias layer whose bias is missing.
  TestContext tb;
  std::vector<float> w(3 * 3 * 60 * 60), src(32 * 16 * 16 * 60), temp(64 * 3 * 3 * 60), dst(32 * 16 * 16 * 60);
  tb.params[1020] = tensor_of(w.data());
  qel_tensor_struct tw = tensor_of(temp.data()), ts = tensor_of(src.data()), td = tensor_of(dst.data());
  Q(855B)(tb.get(), &tw);
  EXPECT_THROW(Q(8214)(tb.get(), &ts, &td, &tw), qel::dnn::dnnl::Error);
}

// A primitive whose construction fails (here oneDNN refuses a destination
// that does not follow from the source) leaves the static empty, reports
// oneDNN's status and the layer, and the next call creates afresh.
int g_attempt = 0;
DeviceItem<qel::dnn::dnnl::Conv>* create_flaky(const qel_ctx_struct* ctx) {
  qel::dnn::layers::ConvShape shape{3, 1, 1, 128, 2, 32, 2, 32, false};
  if (g_attempt++ == 0) shape.hout = 3;
  const qel::dnn::dnnl::LayerLabel label("test layer");
  return qel::dnn::layers::create_conv(ctx, shape);
}
void initialize_conv(const qel_ctx_struct*, qel::dnn::dnnl::Conv&) {}

TEST(Layers, AFailedConstructionReportsTheStatusAndIsRetried) {
  g_attempt = 0;
  DeviceSingleton<qel::dnn::dnnl::Conv> s(create_flaky, initialize_conv);
  try {
    s.get(nullptr);
    FAIL() << "an inconsistent convolution was created";
  } catch (const qel::dnn::dnnl::Error& e) {
    EXPECT_EQ(e.status(), dnnl_invalid_arguments) << e.what();
    EXPECT_EQ(e.layer(), "test layer");
  }
  EXPECT_EQ(s.item, nullptr);
  Block3Growth g;
  std::vector<float> blocked(g.param.size(), 0.5f);  // all values equal: any layout
  s.get(nullptr)(g.src.data(), g.dst.data(), blocked.data(), nullptr);
  EXPECT_EQ(g_attempt, 2);
  EXPECT_FLOAT_EQ(g.dst[0], 256.0f);
}

// After layers ran, the process exits normally: the layer statics release
// their primitives while the engine still exists. The child is this test
// program started afresh (a fork would inherit the OpenMP thread pool, which
// does not survive a fork): it runs the layers from a static initialiser and
// exits before any test runs.
void run_layers_and_exit() {
  TestContext tc;
  Block3Growth g;
  for (int p : {204, 214}) tc.params[p] = tensor_of(g.param.data());
  qel_tensor_struct t = tensor_of(g.temp.data()), s = tensor_of(g.src.data()), d = tensor_of(g.dst.data());
  Q(8410)(tc.get(), &t);
  Q(840B)(tc.get(), &d, &s, &t);
  Q(8412)(tc.get(), &t);
  Q(8404)(tc.get(), &d, &s, &t);
  std::printf("ran %g\n", g.dst[0]);
  std::exit(0);
}
const bool g_exit_child = [] {
  if (std::getenv("QEL_DNN_EXIT_CHILD") != nullptr) run_layers_and_exit();
  return false;
}();

TEST(Layers, TheProcessExitsCleanlyAfterLayersRan) {
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  const std::string cmd = std::string("QEL_DNN_EXIT_CHILD=1 '") + self + "'";
  FILE* child = popen(cmd.c_str(), "r");
  ASSERT_NE(child, nullptr);
  std::string out;
  char buf[256];
  while (fgets(buf, sizeof buf, child)) out += buf;
  const int status = pclose(child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(out, "ran 256\n");
  EXPECT_FALSE(g_exit_child);
}

}  // namespace
