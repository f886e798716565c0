// The runtime's records, data-type codes, tensor checks with their report, and
// the memory manager: plain allocation, the capture run's first-fit plan and
// its replay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/qel_check.h"
#include "runtime/qel_memory.h"
#include "tests/child_process.h"

namespace nv = qel::nvidia;
using Offsets = std::vector<uint64_t>;

namespace {

TEST(DtypeCodes, NamesAndSizesOfSingleAndPairCodes) {
  EXPECT_STREQ(qel_dtype_str(11), "f32");
  EXPECT_STREQ(qel_dtype_str(13), "boolean");
  EXPECT_STREQ(qel_dtype_str(258), "s16_s8");  // the low byte names the first member
  EXPECT_STREQ(qel_dtype_str(1036), "f64_s64");
  EXPECT_STREQ(qel_dtype_str(3084), "f64_f64");
  const std::pair<int, int64_t> sizes[] = {{11, 4}, {13, 1}, {257, 2}, {258, 4}, {769, 8}, {267, 8}, {1025, 16}};
  for (auto [code, size] : sizes) EXPECT_EQ(qel_dtype_size(code), size) << code;
  int named = 0;
  for (int code = -16; code < 0x10100; ++code) {
    const bool has_name = qel_dtype_str(code) != nullptr;
    named += has_name;
    EXPECT_EQ(qel_dtype_size(code) > 0, has_name) << code;
  }
  EXPECT_EQ(named, 37);
}

// Built by a dynamic initialiser over zero-filled static storage, as the
// library's own handle is: the constructor leaves the operation slots alone.
qel_handle_struct g_static_handle(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{});

TEST(Records, HandleConstructorStoresDeviceAndLeavesSlots) {
  EXPECT_STREQ(g_static_handle.device.name, "x86");
  EXPECT_EQ(g_static_handle.opaque, nullptr);
  EXPECT_EQ(g_static_handle.malloc, nullptr);
  EXPECT_EQ(g_static_handle.spare[2], nullptr);
}

// ---- Tensor checks ----------------------------------------------------------

qel_tensor_struct desc(int32_t dtype, std::initializer_list<int64_t> extents) {
  qel_tensor_struct t{};
  t.dtype = dtype;
  t.rank = static_cast<int32_t>(extents.size());
  int i = 0;
  for (int64_t e : extents) t.extents[i++] = e;
  t.count = -7;  // the element count plays no part
  return t;
}

TEST(TensorCheck, MatchingTensorsReturn) {
  const qel_tensor_struct w = desc(11, {1, 1, 64, 128}), v = desc(11, {64}), scalar = desc(11, {});
  qel_tensor_check("net.cpp", 902, &w, "P9_D0_Output", 11, 1, 1, 64, 128);
  qel_tensor_check("net.cpp", 905, &v, "P10_D0_Output", 11, 64);
  qel_tensor_check("net.cpp", 908, &scalar, "P11_D0_Output", 11, 1);  // a scalar passes for [1]
  SUCCEED();
}

TEST(TensorCheck, AMismatchEndsTheProcessWithOneFullReport) {
  qel_tensor_struct rank9 = desc(11, {1, 2, 3, 4, 5, 6, 7, 8});
  rank9.rank = 9;
  const struct {
    qel_tensor_struct t;
    bool four;
    const char* found;
  } cases[] = {
      {desc(11, {64, 128}), true, "f32, [64, 128]"},
      {desc(11, {}), true, "f32, []"},
      {desc(11, {}), false, "f32, []"},
      {desc(1, {1, 1, 64, 128}), true, "s8, [1, 1, 64, 128]"},
      {desc(11, {2, 3, 65, 129}), true, "f32, [2, 3, 65, 129]"},
      {desc(11, {1, 1, 64, (int64_t{1} << 32) + 128}), true, "f32, [1, 1, 64, 4294967424]"},
      {rank9, true, "f32, [1, 2, 3, 4, 5, 6, 7, 8]"},
      {desc(9, {64}), false, "unknown type 9, [64]"},
      {desc(11, {64, 1}), false, "f32, [64, 1]"},
  };
  for (const auto& c : cases) {
    const ChildResult r = run_in_child([&] {
      if (c.four)
        qel_tensor_check("a/b.cpp", 902, &c.t, "P9_D0_Output", 11, 1, 1, 64, 128);
      else
        qel_tensor_check("a/b.cpp", 902, &c.t, "P9_D0_Output", 11, 64);
    });
    EXPECT_EQ(r.status, 1) << c.found;
    EXPECT_EQ(r.out, std::string("Module: VOKT\nFile: a/b.cpp\nLine: 902\nMessage: Wrong input Tensor (P9_D0_Output) "
                                 "detected:\n  Expected: f32, [") +
                         (c.four ? "1, 1, 64, 128" : "64") + "]\n  Found:    " + c.found + "\n\n");
  }
  const ChildResult r = run_in_child([] { qel_exception_throw("M", "f.cpp", -3, "text"); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Module: M\nFile: f.cpp\nLine: -3\nMessage: text\n");
}

// ---- Memory manager ---------------------------------------------------------

qel_handle_struct make_handle() {
  qel_handle_struct h(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{});
  h.malloc = nv::deployment_malloc;
  h.free = nv::deployment_free;
  h.memset = nv::deployment_memset;
  h.init = nv::deployment_init;
  h.spare[0] = h.spare[1] = h.spare[2] = nullptr;
  return h;
}
qel_handle_struct g_handle = make_handle();

qel_tensor_struct bytes_tensor(int64_t bytes) {
  qel_tensor_struct t = desc(QEL_S8, {bytes});
  t.count = bytes;
  t.data_handle = &g_handle;
  return t;
}
void alloc(qel_tensor_struct& t) { g_handle.malloc(&g_handle, &t); }
void release(qel_tensor_struct& t) { g_handle.free(&g_handle, &t); }
uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

std::function<void()> g_script;
void scripted_network(const qel_ctx_struct*) { g_script(); }

// The worked capture example: 100, 1000 and 50 bytes, the first released
// before the third is allocated. Records where each was served.
std::vector<uintptr_t> g_served;
void worked_example() {
  qel_tensor_struct t1 = bytes_tensor(100), t2 = bytes_tensor(1000), t3 = bytes_tensor(50);
  alloc(t1);
  alloc(t2);
  g_served = {address(t1.data), address(t2.data)};
  release(t1);
  alloc(t3);
  g_served.push_back(address(t3.data));
  release(t2);
  release(t3);
}

class Manager : public ::testing::Test {
 protected:
  void SetUp() override { nv::reset_state(); }
  void TearDown() override { nv::reset_state(); }
  // Plans the worked example; returns the arena's address.
  uintptr_t plan_worked_example() {
    g_script = worked_example;
    nv::deployment_optimize(scripted_network, nullptr, 1);
    return address(nv::state().arena);
  }
};

TEST(ReservedMemory, SmallestMultipleOf64StrictlyAbove) {
  for (uint64_t bytes = 0; bytes < 1000; ++bytes) {
    const auto [begin, end] = nv::reserved_memory(640, bytes);
    ASSERT_EQ(begin, 640u);
    ASSERT_EQ(end % 64, 0u) << bytes;
    ASSERT_GT(end - 640, bytes);
    ASSERT_LE(end - 640, bytes + 64) << bytes;
  }
}

TEST_F(Manager, WorkedCaptureExamplePlansAndReplaysInCallOrder) {
  const uintptr_t arena = plan_worked_example();
  nv::ManagerState s = nv::state();
  EXPECT_TRUE(s.captured);
  EXPECT_FALSE(s.capturing);
  EXPECT_EQ(s.peak, 1152u);
  EXPECT_EQ(s.replay, (Offsets{0, 128, 0}));
  EXPECT_TRUE(s.live.empty());
  ASSERT_NE(arena, 0u);
  for (int run = 0; run < 2; ++run) {
    nv::deployment_run(scripted_network, nullptr);
    EXPECT_EQ(g_served, (std::vector<uintptr_t>{arena, arena + 128, arena}));
    EXPECT_EQ(nv::state().position, 0);
  }
}

TEST_F(Manager, FirstFitTakesTheLowestGapThatHoldsTheRoundedSize) {
  // Live [0,128) and [256,384): 100 and 127 bytes fit the gap at 128; 128
  // bytes reserve 192 and go after the last interval.
  for (int64_t bytes : {100, 127, 128}) {
    nv::reset_state();
    g_script = [&] {
      qel_tensor_struct a = bytes_tensor(100), gap = bytes_tensor(100), b = bytes_tensor(100), t = bytes_tensor(bytes);
      alloc(a);
      alloc(gap);
      alloc(b);
      release(gap);
      EXPECT_EQ(nv::state().live, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 128}, {256, 384}}));
      alloc(t);
      release(t);
      release(a);
      release(b);
    };
    nv::deployment_optimize(scripted_network, nullptr, 1);
    EXPECT_EQ(nv::state().replay, (Offsets{0, 128, 256, bytes == 128 ? 384u : 128u})) << bytes;
    EXPECT_EQ(nv::state().peak, bytes == 128 ? 576u : 384u) << bytes;
  }
}

TEST_F(Manager, PlainModeBoundTensorsAndNullReleases) {
  qel_tensor_struct t = bytes_tensor(256);
  t.data_aux = 77;
  alloc(t);
  ASSERT_NE(t.data, nullptr);
  EXPECT_EQ(t.data_aux, 0u);
  std::memset(t.data, 1, 256);
  release(t);
  EXPECT_EQ(t.data, nullptr);
  EXPECT_TRUE(nv::state().replay.empty());
  // A release of a tensor without data changes nothing.
  t.data_aux = 5;
  release(t);
  EXPECT_EQ(t.data_aux, 5u);
  // A tensor that has data is left alone and not planned, in every mode.
  float host[4];
  qel_tensor_struct out = bytes_tensor(16);
  out.data = host;
  g_script = [&] {
    qel_tensor_struct u = bytes_tensor(10);
    alloc(out);
    alloc(u);
    release(u);
  };
  nv::deployment_optimize(scripted_network, nullptr, 1);
  EXPECT_EQ(nv::state().replay.size(), 1u);
  nv::deployment_run(scripted_network, nullptr);
  EXPECT_EQ(out.data, host);
}

TEST_F(Manager, OperationsWriteOnlyTheSlotsTheirHandleOwns) {
  qel_handle_struct other = make_handle();
  qel_tensor_struct t = bytes_tensor(16);
  t.mirror_handle = &g_handle;
  t.data_handle = &other;
  t.data_aux = 9;
  alloc(t);  // the mirror slot gets the memory; the data slot stays as it was
  EXPECT_NE(t.mirror_ptr, nullptr);
  EXPECT_EQ(t.data, nullptr);
  EXPECT_EQ(t.data_aux, 9u);
  std::free(t.mirror_ptr);
  int x;
  qel_tensor_struct u = bytes_tensor(4);
  u.mirror_handle = &g_handle;
  u.data = &x;
  u.data_aux = 3;
  u.mirror_aux = 4;
  nv::deployment_init(&g_handle, &u);  // the mirror gets data; the data slot only its aux cleared
  EXPECT_EQ(u.mirror_ptr, &x);
  EXPECT_EQ(u.mirror_aux, 0u);
  EXPECT_EQ(u.data_aux, 0u);
  EXPECT_EQ(u.data, &x);
  u.mirror_ptr = nullptr;
  u.data_aux = 8;
  nv::deployment_init(&other, &u);
  EXPECT_EQ(u.mirror_ptr, nullptr);
  EXPECT_EQ(u.data_aux, 8u);
  // memset writes zeros over count x element size, whatever the value.
  std::vector<float> buf(8193, 1.0f);
  qel_tensor_struct f = desc(QEL_F32, {8192});
  f.count = 8192;
  f.data = buf.data();
  const float value = 3.0f;
  nv::deployment_memset(&g_handle, &f, &value, nullptr);
  EXPECT_EQ(std::count(buf.begin(), buf.end(), 0.0f), 8192);
  EXPECT_EQ(buf[8192], 1.0f);
}

TEST_F(Manager, OptimizePlansOnceAndOnlyForPositiveN) {
  int calls = 0;
  g_script = [&] { ++calls; };
  nv::deployment_optimize(scripted_network, nullptr, 0);
  nv::deployment_optimize(scripted_network, nullptr, -5);
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(nv::state().captured);
  nv::deployment_optimize(scripted_network, nullptr, 3);
  nv::deployment_optimize(scripted_network, nullptr, 1);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(nv::state().captured);
  EXPECT_EQ(nv::state().arena, nullptr);  // nothing to plan: no arena, runs still work
  nv::deployment_run(scripted_network, nullptr);
  EXPECT_EQ(calls, 2);
}

TEST_F(Manager, ReplayedReleaseKeepsTheArenaAndLargerOrExtraRequestsUseTheHeap) {
  const uintptr_t arena = plan_worked_example();
  std::vector<uintptr_t> got;
  g_script = [&] {
    qel_tensor_struct a = bytes_tensor(100), big = bytes_tensor(4000), c = bytes_tensor(50), extra = bytes_tensor(10);
    alloc(a);
    alloc(big);  // planned for 1000 bytes
    std::memset(big.data, 0x5A, 4000);
    got = {address(a.data), address(big.data)};
    a.data_aux = 1;
    release(a);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.data_aux, 0u);
    alloc(c);
    alloc(extra);  // beyond the end of the plan
    got.push_back(address(c.data));
    got.push_back(address(extra.data));
    release(big);
    release(c);
    release(extra);
  };
  nv::deployment_run(scripted_network, nullptr);
  auto outside = [&](uintptr_t p) { return p < arena || p >= arena + 1152; };
  EXPECT_EQ(got[0], arena);
  EXPECT_TRUE(outside(got[1]));
  EXPECT_EQ(got[2], arena);
  EXPECT_TRUE(outside(got[3]));
}

TEST_F(Manager, FailuresResetTheReplayPositionAndDiscardAHalfMadePlan) {
  g_script = [] {
    qel_tensor_struct t = bytes_tensor(5000), u = bytes_tensor(100);
    alloc(t);
    release(t);
    alloc(u);
    std::free(u.data);
    throw std::runtime_error("creation failed");
  };
  EXPECT_THROW(nv::deployment_optimize(scripted_network, nullptr, 1), std::runtime_error);
  nv::ManagerState s = nv::state();
  EXPECT_FALSE(s.capturing || s.captured);
  EXPECT_TRUE(s.replay.empty());
  EXPECT_EQ(s.peak, 0u);
  const uintptr_t arena = plan_worked_example();
  EXPECT_EQ(nv::state().replay, (Offsets{0, 128, 0}));
  g_script = [] {
    qel_tensor_struct t = bytes_tensor(100);
    alloc(t);
    throw std::runtime_error("layer failed");
  };
  EXPECT_THROW(nv::deployment_run(scripted_network, nullptr), std::runtime_error);
  EXPECT_EQ(nv::state().position, 0);
  g_script = worked_example;
  nv::deployment_run(scripted_network, nullptr);
  EXPECT_EQ(g_served, (std::vector<uintptr_t>{arena, arena + 128, arena}));
}

TEST_F(Manager, TheArenaIsReleasedOnceAndNeverPlannedAgain) {
  nv::deployment_free_managed_memory();  // without a plan: nothing to release
  EXPECT_FALSE(nv::state().arena_released);
  const uintptr_t arena = plan_worked_example();
  nv::deployment_free_managed_memory();
  EXPECT_EQ(nv::state().arena, nullptr);
  EXPECT_TRUE(nv::state().arena_released);
  nv::deployment_free_managed_memory();
  nv::deployment_run(scripted_network, nullptr);
  for (uintptr_t p : g_served) EXPECT_NE(p, arena);
  int calls = 0;
  g_script = [&] { ++calls; };
  nv::deployment_optimize(scripted_network, nullptr, 1);
  EXPECT_EQ(calls, 0);
}

}  // namespace
