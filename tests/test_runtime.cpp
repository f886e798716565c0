// The runtime's records, data-type codes, tensor checks with their report, and
// the memory manager: plain allocation, the capture run's first-fit plan and
// its replay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
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

// ---- Tensor checks ----------------------------------------------------------

qel_tensor_struct desc(int32_t dtype, std::initializer_list<int64_t> extents) {
  qel_tensor_struct t{};
  t.dtype = dtype, t.rank = static_cast<int32_t>(extents.size());
  int i = 0;
  for (int64_t e : extents) t.extents[i++] = e;
  t.count = -7;  // the element count is never compared
  return t;
}

// The report's text; the network's own tests check it for the common
// mismatches at their report lines.
TEST(TensorCheck, MatchingTensorsReturnAndAMismatchEndsTheProcessWithOneReport) {
  const qel_tensor_struct w = desc(11, {1, 1, 64, 128}), scalar = desc(11, {});
  qel_tensor_check("net.cpp", 902, &w, "P9_D0_Output", 11, 1, 1, 64, 128);
  qel_tensor_check("net.cpp", 908, &scalar, "P11_D0_Output", 11, 1);  // a scalar passes for [1]
  qel_tensor_struct rank9 = desc(11, {1, 2, 3, 4, 5, 6, 7, 8});
  rank9.rank = 9;
  const std::pair<qel_tensor_struct, const char*> cases[] = {
      {desc(11, {}), "f32, []"}, {rank9, "f32, [1, 2, 3, 4, 5, 6, 7, 8]"}, {desc(9, {64}), "unknown type 9, [64]"}};
  for (const auto& [t, found] : cases) {
    const ChildResult r = run_in_child([&t = t] { qel_tensor_check("a/b.cpp", 7, &t, "I0_D0_Output", 11, 64); });
    EXPECT_EQ(r.status, 1) << found;
    EXPECT_EQ(r.out, std::string("Module: VOKT\nFile: a/b.cpp\nLine: 7\nMessage: Wrong input Tensor (I0_D0_Output) "
                                 "detected:\n  Expected: f32, [64]\n  Found:    ") + found + "\n\n");
  }
  const ChildResult r = run_in_child([] { qel_exception_throw("M", "f.cpp", -3, "text"); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Module: M\nFile: f.cpp\nLine: -3\nMessage: text\n");
}

// ---- Memory manager ---------------------------------------------------------

qel_handle_struct make_handle() {
  qel_handle_struct h(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{});
  h.malloc = nv::deployment_malloc, h.free = nv::deployment_free, h.memset = nv::deployment_memset;
  h.init = nv::deployment_init, h.spare[0] = h.spare[1] = h.spare[2] = nullptr;
  return h;
}
qel_handle_struct g_handle = make_handle();

qel_tensor_struct bytes_tensor(int64_t bytes) {
  qel_tensor_struct t = desc(QEL_S8, {bytes});
  t.count = bytes, t.data_handle = &g_handle;
  return t;
}
uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Plays a script of allocations ("b1000": tensor b of 1000 bytes) and releases
// ("-b") through the handle; returns where each allocation was served.
std::map<char, qel_tensor_struct> g_tensors;
std::vector<uintptr_t> play(const std::string& script) {
  std::vector<uintptr_t> served;
  std::istringstream in(script);
  for (std::string w; in >> w;) {
    qel_tensor_struct& t = g_tensors[w[0] == '-' ? w[1] : w[0]];
    if (w[0] == '-') {
      g_handle.free(&g_handle, &t);
      continue;
    }
    t = bytes_tensor(std::stol(w.substr(1)));
    g_handle.malloc(&g_handle, &t);
    served.push_back(address(t.data));
  }
  return served;
}

// The network function of these tests runs g_script.
std::function<void()> g_script;
void scripted_network(const qel_ctx_struct*) { g_script(); }
std::vector<uintptr_t> g_served;
void run_script(const std::string& script) {
  g_script = [script] { g_served = play(script); };
  nv::deployment_run(scripted_network, nullptr);
}
// 100, 1000 and 50 bytes, the first released before the third is allocated,
// which takes its place.
const char kThreeTensors[] = "a100 b1000 -a c50 -b -c";

class Manager : public ::testing::Test {
 protected:
  void SetUp() override { nv::reset_state(); }
  void TearDown() override { nv::reset_state(); }
  // Plans `script`; returns the arena's address.
  uintptr_t plan(const std::string& script) {
    g_script = [script] { play(script); };
    nv::deployment_optimize(scripted_network, nullptr, 1);
    return address(nv::state().arena);
  }
};

TEST(ReservedMemory, SmallestMultipleOf64StrictlyAbove) {
  for (uint64_t bytes = 0; bytes < 1000; ++bytes) {
    const auto [begin, end] = nv::reserved_memory(640, bytes);
    ASSERT_EQ(begin, 640u) << bytes;
    ASSERT_EQ(end % 64, 0u) << bytes;
    ASSERT_GT(end - 640, bytes);
    ASSERT_LE(end - 640, bytes + 64);
  }
}

TEST_F(Manager, ThreeTensorsArePlannedAndReplayedInCallOrder) {
  const uintptr_t arena = plan(kThreeTensors);
  const nv::ManagerState s = nv::state();
  EXPECT_TRUE(s.captured);
  EXPECT_FALSE(s.capturing);
  EXPECT_TRUE(s.live.empty());
  EXPECT_EQ(s.peak, 1152u);
  EXPECT_EQ(s.replay, (Offsets{0, 128, 0}));
  ASSERT_NE(arena, 0u);
  for (int run = 0; run < 2; ++run) {
    run_script(kThreeTensors);
    EXPECT_EQ(g_served, (std::vector<uintptr_t>{arena, arena + 128, arena}));
    EXPECT_EQ(nv::state().position, 0);
  }
  // A replayed request larger than its plan, or beyond the end of the plan,
  // is served from the heap; a replayed release keeps the arena.
  run_script("a100 b4000 -a c50 x10 -b -c -x");
  auto outside = [&](uintptr_t p) { return p < arena || p >= arena + 1152; };
  EXPECT_EQ(g_served[0], arena);
  EXPECT_TRUE(outside(g_served[1]));
  EXPECT_EQ(g_served[2], arena);
  EXPECT_TRUE(outside(g_served[3]));
}

// Live [0,128) and [256,384): 100 and 127 bytes fit the gap at 128; 128 bytes
// reserve 192 and go after the last interval.
TEST_F(Manager, FirstFitTakesTheLowestGapThatHoldsTheRoundedSize) {
  for (int bytes : {100, 127, 128}) {
    nv::reset_state();
    plan("a100 g100 b100 -g t" + std::to_string(bytes) + " -t -a -b");
    EXPECT_EQ(nv::state().replay, (Offsets{0, 128, 256, bytes == 128 ? 384u : 128u})) << bytes;
    EXPECT_EQ(nv::state().peak, bytes == 128 ? 576u : 384u) << bytes;
  }
}

TEST_F(Manager, PlainModeBoundTensorsAndReleases) {
  qel_tensor_struct& t = g_tensors['t'];
  play("t256");
  EXPECT_NE(t.data, nullptr);
  t.data_aux = 77;
  play("-t");
  EXPECT_EQ(t.data, nullptr);
  EXPECT_EQ(t.data_aux, 0u);
  EXPECT_TRUE(nv::state().replay.empty());
  t.data_aux = 5;
  play("-t");  // a release of a tensor without data changes nothing
  EXPECT_EQ(t.data_aux, 5u);
  // A tensor that has data is left alone and not planned, in every mode.
  float host[4];
  qel_tensor_struct out = bytes_tensor(16);
  out.data = host;
  g_script = [&] {
    g_handle.malloc(&g_handle, &out);
    play("u10 -u");
  };
  nv::deployment_optimize(scripted_network, nullptr, 1);
  nv::deployment_run(scripted_network, nullptr);
  EXPECT_EQ(nv::state().replay.size(), 1u);
  EXPECT_EQ(out.data, host);
}

TEST_F(Manager, OperationsWriteOnlyTheSlotsTheirHandleOwns) {
  qel_handle_struct other = make_handle();
  qel_tensor_struct t = bytes_tensor(16);
  t.mirror_handle = &g_handle, t.data_handle = &other, t.data_aux = 9;
  g_handle.malloc(&g_handle, &t);  // the mirror slot gets the memory; the data slot stays as it was
  EXPECT_NE(t.mirror_ptr, nullptr);
  EXPECT_EQ(t.data, nullptr);
  EXPECT_EQ(t.data_aux, 9u);
  t.mirror_aux = 6;
  g_handle.free(&g_handle, &t);  // the mirror's block goes back through its handle
  EXPECT_EQ(t.mirror_ptr, nullptr);
  EXPECT_EQ(t.mirror_aux, 0u);
  EXPECT_EQ(t.data_aux, 9u);
  int x;
  qel_tensor_struct u = bytes_tensor(4);
  u.mirror_handle = &g_handle, u.data = &x, u.data_aux = 3, u.mirror_aux = 4;
  nv::deployment_init(&g_handle, &u);  // the mirror gets data; the data slot only its aux cleared
  EXPECT_EQ(u.mirror_ptr, &x);
  EXPECT_EQ(u.mirror_aux, 0u);
  EXPECT_EQ(u.data_aux, 0u);
  EXPECT_EQ(u.data, &x);
  u.mirror_ptr = nullptr, u.data_aux = 8;
  nv::deployment_init(&other, &u);
  EXPECT_EQ(u.mirror_ptr, nullptr);
  EXPECT_EQ(u.data_aux, 8u);
  // memset writes zeros over count x element size, whatever the value.
  std::vector<float> buf(8193, 1.0f);
  qel_tensor_struct f = desc(QEL_F32, {8192});
  f.count = 8192, f.data = buf.data();
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

TEST_F(Manager, FailuresResetTheReplayPositionAndDiscardAHalfMadePlan) {
  g_script = [] {
    play("t5000 -t u100");  // u stays held: the manager gives it back in TearDown
    throw std::runtime_error("creation failed");
  };
  EXPECT_THROW(nv::deployment_optimize(scripted_network, nullptr, 1), std::runtime_error);
  EXPECT_FALSE(nv::state().capturing);
  EXPECT_FALSE(nv::state().captured);
  EXPECT_TRUE(nv::state().replay.empty());
  EXPECT_EQ(nv::state().peak, 0u);
  const uintptr_t arena = plan(kThreeTensors);
  EXPECT_EQ(nv::state().replay, (Offsets{0, 128, 0}));
  g_script = [] {
    play("t100");
    throw std::runtime_error("layer failed");
  };
  EXPECT_THROW(nv::deployment_run(scripted_network, nullptr), std::runtime_error);
  EXPECT_EQ(nv::state().position, 0);
  run_script(kThreeTensors);
  EXPECT_EQ(g_served, (std::vector<uintptr_t>{arena, arena + 128, arena}));
}

TEST_F(Manager, TheArenaIsReleasedOnceAndNeverPlannedAgain) {
  nv::deployment_free_managed_memory();  // without a plan: nothing to release
  EXPECT_FALSE(nv::state().arena_released);
  const uintptr_t arena = plan(kThreeTensors);
  nv::deployment_free_managed_memory();
  EXPECT_EQ(nv::state().arena, nullptr);
  EXPECT_TRUE(nv::state().arena_released);
  nv::deployment_free_managed_memory();
  run_script(kThreeTensors);
  for (uintptr_t p : g_served) EXPECT_NE(p, arena);
  int calls = 0;
  g_script = [&] { ++calls; };
  nv::deployment_optimize(scripted_network, nullptr, 1);
  EXPECT_EQ(calls, 0);
}

}  // namespace
