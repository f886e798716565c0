// The layer static (get-or-create with retry, destruction of its item) and
// the failures of real layers as exceptions naming the layer.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dnn/device_singleton.h"
#include "dnn_test_util.h"

using namespace dnntest;
using qel::dnn::DeviceItem;
using qel::dnn::DeviceSingleton;
using qel::dnn::dnnl::Error;

namespace {

// ---- The layer static, with a primitive that counts what happens to it ------

struct Log {
  int created = 0, destroyed = 0, executed = 0, creator_calls = 0;
  bool fail_create = false, fail_execute = false;
  const qel_ctx_struct* creator_ctx = nullptr;
} g_log;

class FakePrim : public qel::dnn::dnnl::Executor<2> {
 public:
  FakePrim() { ++g_log.created; }
  ~FakePrim() noexcept override { ++g_log.destroyed; }

 protected:
  void execute(void* const*) override {
    ++g_log.executed;
    if (g_log.fail_execute) throw std::runtime_error("execution failed");
  }
};
using FakeSingleton = DeviceSingleton<FakePrim>;

FakeSingleton::Item* create_fake(const qel_ctx_struct* ctx) {
  ++g_log.creator_calls;
  g_log.creator_ctx = ctx;
  if (g_log.fail_create) throw std::runtime_error("creation failed");
  return new DeviceItem<FakePrim>();
}
void initialize_fake(const qel_ctx_struct*, FakePrim&) { ADD_FAILURE() << "the initializer is never called"; }

TEST(LayerStatic, CreatesOnceOnFirstUseRetriesAfterFailuresAndDestroysItsItem) {
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

// ---- Real layers --------------------------------------------------------------

// Reorder and convolution of a 3 x 3 dense-block-3 layer, weights 0.5 and
// source 1: a corner output sees 4 of the 9 taps, 4 x 128 x 0.5.
struct Block3Layer {
  std::vector<float> param = std::vector<float>(3 * 3 * 128 * 32, 0.5f), temp = param;
  std::vector<float> src = std::vector<float>(32 * 2 * 2 * 128, 1.0f), dst = std::vector<float>(32 * 2 * 2 * 32);
  TestContext tc;
  qel_tensor_struct t = tensor_of(temp.data()), s = tensor_of(src.data()), d = tensor_of(dst.data()), none = tensor_of(nullptr);
  Block3Layer() { tc.params[674] = tensor_of(param.data()); }
  void run(qel_tensor_struct* dt, qel_tensor_struct* st, qel_tensor_struct* wt) {
    QEL_DNN_NAME(846E)(tc.get(), &t);
    QEL_DNN_NAME(82F0)(tc.get(), dt, st, wt);
  }
};

TEST(Layers, NullDataPointersAreExceptionsNamingTheLayer) {
  Block3Layer g;
  try {
    g.run(&g.none, &g.s, &g.t);
    FAIL() << "a null destination was accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.layer(), "82F0 (convolution)");
    EXPECT_NE(std::string(e.what()).find("destination"), std::string::npos) << e.what();
  }
  EXPECT_THROW(g.run(&g.d, &g.none, &g.t), Error);
  EXPECT_THROW(g.run(&g.d, &g.s, &g.none), Error);
  g.run(&g.d, &g.s, &g.t);  // the primitive survives its failed runs
  EXPECT_FLOAT_EQ(g.dst[0], 256.0f);
  g.tc.params[674] = tensor_of(nullptr);
  EXPECT_THROW(QEL_DNN_NAME(846E)(g.tc.get(), &g.t), Error);
  g.tc.params[1020] = tensor_of(g.param.data());  // a bias layer whose bias is missing
  std::vector<float> big(32 * 16 * 16 * 60);
  qel_tensor_struct tb = tensor_of(big.data());
  QEL_DNN_NAME(855B)(g.tc.get(), &g.t);
  EXPECT_THROW(QEL_DNN_NAME(8214)(g.tc.get(), &tb, &tb, &g.t), Error);
}

}  // namespace
