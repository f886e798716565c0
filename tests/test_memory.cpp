#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

#include "runtime/qel_memory.h"

using qel::nvidia::ManagerState;
namespace nv = qel::nvidia;

namespace {

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
  qel_tensor_struct t{};
  t.rank = 1;
  t.extents[0] = bytes;
  t.count = bytes;
  t.dtype = 1;  // s8: one byte per element
  t.data_handle = &g_handle;
  return t;
}

// The scripted network of the worked capture example.
std::vector<uintptr_t> g_served;
std::function<void()> g_script;
void scripted_network(const qel_ctx_struct*) { g_script(); }

void worked_example() {
  qel_tensor_struct t1 = bytes_tensor(100), t2 = bytes_tensor(1000), t3 = bytes_tensor(50);
  g_handle.malloc(&g_handle, &t1);
  g_served = {reinterpret_cast<uintptr_t>(t1.data)};
  g_handle.malloc(&g_handle, &t2);
  g_handle.free(&g_handle, &t1);
  g_handle.malloc(&g_handle, &t3);
  g_served.push_back(reinterpret_cast<uintptr_t>(t2.data));
  g_served.push_back(reinterpret_cast<uintptr_t>(t3.data));
  g_handle.free(&g_handle, &t2);
  g_handle.free(&g_handle, &t3);
}

class Manager : public ::testing::Test {
 protected:
  void SetUp() override { nv::reset_state(); }
  void TearDown() override { nv::reset_state(); }
};

}  // namespace

TEST(ReservedMemory, SmallestMultipleOf64StrictlyAbove) {
  const std::pair<uint64_t, uint64_t> cases[] = {{0, 64},    {1, 64},    {63, 64},    {64, 128},   {100, 128},
                                                 {127, 128}, {128, 192}, {1000, 1024}, {32768, 32832}};
  for (auto [bytes, reserved] : cases) {
    EXPECT_EQ(nv::reserved_memory(0, bytes), std::make_pair(uint64_t{0}, reserved)) << bytes;
    EXPECT_EQ(nv::reserved_memory(640, bytes), std::make_pair(uint64_t{640}, 640 + reserved)) << bytes;
  }
}

TEST_F(Manager, WorkedCaptureExamplePlansAndReplays) {
  g_script = worked_example;
  nv::deployment_optimize(scripted_network, nullptr, 1);
  ManagerState s = nv::state();
  EXPECT_TRUE(s.captured);
  EXPECT_FALSE(s.capturing);
  EXPECT_EQ(s.peak, 1152u);
  EXPECT_EQ(s.replay, (std::vector<uint64_t>{0, 128, 0}));
  EXPECT_TRUE(s.live.empty());
  ASSERT_NE(s.arena, nullptr);
  const auto arena = reinterpret_cast<uintptr_t>(s.arena);
  for (int run = 0; run < 2; ++run) {
    nv::deployment_run(scripted_network, nullptr);
    EXPECT_EQ(g_served, (std::vector<uintptr_t>{arena, arena + 128, arena}));
    EXPECT_EQ(nv::state().position, 0);
  }
}

TEST_F(Manager, FirstFitUsesLowestGapThatHoldsTheRoundedSize) {
  // Live intervals [0,128) and [256,384): 100 and 127 bytes fit the gap at 128,
  // 128 bytes (reserving 192) go after the last interval.
  for (int64_t bytes : {100, 127, 128}) {
    nv::reset_state();
    std::vector<uint64_t> offsets;
    g_script = [&] {
      qel_tensor_struct a = bytes_tensor(100), gap = bytes_tensor(100), b = bytes_tensor(100),
                        t = bytes_tensor(bytes);
      g_handle.malloc(&g_handle, &a);    // [0,128)
      g_handle.malloc(&g_handle, &gap);  // [128,256)
      g_handle.malloc(&g_handle, &b);    // [256,384)
      g_handle.free(&g_handle, &gap);
      EXPECT_EQ(nv::state().live, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 128}, {256, 384}}));
      g_handle.malloc(&g_handle, &t);
      g_handle.free(&g_handle, &t);
      g_handle.free(&g_handle, &a);
      g_handle.free(&g_handle, &b);
    };
    nv::deployment_optimize(scripted_network, nullptr, 1);
    const ManagerState s = nv::state();
    ASSERT_EQ(s.replay.size(), 4u);
    EXPECT_EQ(s.replay[3], bytes == 128 ? 384u : 128u) << bytes;
    EXPECT_EQ(s.peak, bytes == 128 ? 576u : 384u) << bytes;
  }
}

TEST_F(Manager, PlainModeUsesTheHeapAndReleasesClearTheSlot) {
  qel_tensor_struct t = bytes_tensor(256);
  t.data_aux = 77;
  g_handle.malloc(&g_handle, &t);
  ASSERT_NE(t.data, nullptr);
  EXPECT_EQ(t.data_aux, 0u);
  std::memset(t.data, 1, 256);
  g_handle.free(&g_handle, &t);
  EXPECT_EQ(t.data, nullptr);
  EXPECT_TRUE(nv::state().replay.empty());
}

TEST_F(Manager, BoundTensorIsLeftAloneInEveryMode) {
  float host[4];
  qel_tensor_struct out = bytes_tensor(16);
  out.data = host;
  g_script = [&] {
    qel_tensor_struct t = bytes_tensor(10);
    g_handle.malloc(&g_handle, &out);
    g_handle.malloc(&g_handle, &t);
    g_handle.free(&g_handle, &t);
  };
  nv::deployment_optimize(scripted_network, nullptr, 1);
  EXPECT_EQ(nv::state().replay.size(), 1u);
  EXPECT_EQ(out.data, host);
  nv::deployment_run(scripted_network, nullptr);
  EXPECT_EQ(out.data, host);
}

TEST_F(Manager, NullReleaseChangesNothing) {
  qel_tensor_struct t = bytes_tensor(16);
  t.data_aux = 5;
  t.mirror_aux = 6;
  g_handle.free(&g_handle, &t);
  EXPECT_EQ(t.data_aux, 5u);
  EXPECT_EQ(t.mirror_aux, 6u);
}

TEST_F(Manager, SlotRuleWritesOnlyTheSlotsTheHandleOwns) {
  qel_handle_struct other = make_handle();
  qel_tensor_struct t = bytes_tensor(16);
  t.mirror_handle = &g_handle;
  t.data_handle = &other;
  t.data_aux = 9;
  // Called with the mirror's handle: the mirror slot gets the memory, data stays null.
  g_handle.malloc(&g_handle, &t);
  EXPECT_NE(t.mirror_ptr, nullptr);
  EXPECT_EQ(t.data, nullptr);
  EXPECT_EQ(t.data_aux, 9u);
  std::free(t.mirror_ptr);
  // init: the mirror gets a copy of data; the data slot only has its aux cleared.
  int x;
  qel_tensor_struct u = bytes_tensor(4);
  u.mirror_handle = &g_handle;
  u.data = &x;
  u.data_aux = 3;
  u.mirror_aux = 4;
  nv::deployment_init(&g_handle, &u);
  EXPECT_EQ(u.mirror_ptr, &x);
  EXPECT_EQ(u.mirror_aux, 0u);
  EXPECT_EQ(u.data_aux, 0u);
  EXPECT_EQ(u.data, &x);
  qel_handle_struct stranger = make_handle();
  u.mirror_ptr = nullptr;
  u.data_aux = 8;
  nv::deployment_init(&stranger, &u);
  EXPECT_EQ(u.mirror_ptr, nullptr);
  EXPECT_EQ(u.data_aux, 8u);
}

TEST_F(Manager, MemsetZeroesCountTimesElementSize) {
  std::vector<float> buf(8193, 1.0f);
  qel_tensor_struct t{};
  t.rank = 1;
  t.extents[0] = t.count = 8192;
  t.dtype = 11;
  t.data = buf.data();
  const float value = 3.0f;
  nv::deployment_memset(&g_handle, &t, &value, nullptr);
  for (int i = 0; i < 8192; ++i) ASSERT_EQ(buf[i], 0.0f);
  EXPECT_EQ(buf[8192], 1.0f);
  t.dtype = 9;  // no element size: nothing written
  buf[0] = 2.0f;
  nv::deployment_memset(&g_handle, &t, &value, nullptr);
  EXPECT_EQ(buf[0], 2.0f);
}

TEST_F(Manager, OptimizeRunsOnlyOnceAndOnlyForPositiveN) {
  int calls = 0;
  g_script = [&] { ++calls; };
  nv::deployment_optimize(scripted_network, nullptr, 0);
  nv::deployment_optimize(scripted_network, nullptr, -5);
  EXPECT_EQ(calls, 0);
  EXPECT_FALSE(nv::state().captured);
  nv::deployment_optimize(scripted_network, nullptr, 3);
  nv::deployment_optimize(scripted_network, nullptr, 1);
  EXPECT_EQ(calls, 1);
  // An empty capture: replay mode without an arena, later runs still work.
  const ManagerState s = nv::state();
  EXPECT_TRUE(s.captured);
  EXPECT_EQ(s.arena, nullptr);
  nv::deployment_run(scripted_network, nullptr);
  EXPECT_EQ(calls, 2);
}

TEST_F(Manager, ReplayedReleaseKeepsArenaAndClearsSlot) {
  g_script = worked_example;
  nv::deployment_optimize(scripted_network, nullptr, 1);
  qel_tensor_struct t = bytes_tensor(100);
  g_handle.malloc(&g_handle, &t);  // position 0 of the plan
  EXPECT_EQ(t.data, nv::state().arena);
  t.data_aux = 1;
  g_handle.free(&g_handle, &t);
  EXPECT_EQ(t.data, nullptr);
  EXPECT_EQ(t.data_aux, 0u);
}

TEST_F(Manager, ExceptionInRunResetsPositionForTheNextRun) {
  g_script = worked_example;
  nv::deployment_optimize(scripted_network, nullptr, 1);
  const auto arena = reinterpret_cast<uintptr_t>(nv::state().arena);
  g_script = [] {
    qel_tensor_struct t = bytes_tensor(100);
    g_handle.malloc(&g_handle, &t);
    throw std::runtime_error("layer failed");
  };
  EXPECT_THROW(nv::deployment_run(scripted_network, nullptr), std::runtime_error);
  EXPECT_EQ(nv::state().position, 0);
  g_script = worked_example;
  nv::deployment_run(scripted_network, nullptr);
  EXPECT_EQ(g_served, (std::vector<uintptr_t>{arena, arena + 128, arena}));
}

TEST_F(Manager, ExceptionInCaptureLeavesPlainModeAndAFreshPlanLater) {
  g_script = [] {
    qel_tensor_struct t = bytes_tensor(5000);
    g_handle.malloc(&g_handle, &t);
    g_handle.free(&g_handle, &t);
    qel_tensor_struct u = bytes_tensor(100);
    g_handle.malloc(&g_handle, &u);
    std::free(u.data);
    throw std::runtime_error("creation failed");
  };
  EXPECT_THROW(nv::deployment_optimize(scripted_network, nullptr, 1), std::runtime_error);
  ManagerState s = nv::state();
  EXPECT_FALSE(s.capturing);
  EXPECT_FALSE(s.captured);
  EXPECT_TRUE(s.replay.empty());
  EXPECT_EQ(s.peak, 0u);
  g_script = worked_example;
  nv::deployment_optimize(scripted_network, nullptr, 1);
  s = nv::state();
  EXPECT_EQ(s.peak, 1152u);
  EXPECT_EQ(s.replay, (std::vector<uint64_t>{0, 128, 0}));
}

TEST_F(Manager, ArenaIsReleasedOnceAndLaterRunsUseTheHeap) {
  g_script = worked_example;
  nv::deployment_optimize(scripted_network, nullptr, 1);
  const void* arena = nv::state().arena;
  nv::deployment_free_managed_memory();
  ManagerState s = nv::state();
  EXPECT_EQ(s.arena, nullptr);
  EXPECT_TRUE(s.arena_released);
  nv::deployment_free_managed_memory();  // a second release gives nothing back twice
  nv::deployment_run(scripted_network, nullptr);
  for (uintptr_t p : g_served) EXPECT_NE(p, reinterpret_cast<uintptr_t>(arena));
  // No second plan after the release.
  int calls = 0;
  g_script = [&] { ++calls; };
  nv::deployment_optimize(scripted_network, nullptr, 1);
  EXPECT_EQ(calls, 0);
}

TEST_F(Manager, ReleaseWithoutCaptureReleasesNothing) {
  nv::deployment_free_managed_memory();
  EXPECT_FALSE(nv::state().arena_released);
  g_script = worked_example;
  nv::deployment_optimize(scripted_network, nullptr, 1);
  EXPECT_EQ(nv::state().peak, 1152u);
}

TEST_F(Manager, LargerReplayedRequestComesFromTheHeap) {
  g_script = worked_example;
  nv::deployment_optimize(scripted_network, nullptr, 1);
  const auto arena = reinterpret_cast<uintptr_t>(nv::state().arena);
  std::vector<uintptr_t> got;
  g_script = [&] {
    qel_tensor_struct a = bytes_tensor(100), big = bytes_tensor(4000), c = bytes_tensor(50),
                      extra = bytes_tensor(10);
    g_handle.malloc(&g_handle, &a);
    const auto a_data = reinterpret_cast<uintptr_t>(a.data);
    g_handle.malloc(&g_handle, &big);  // planned for 1000 bytes
    std::memset(big.data, 0x5A, 4000);
    g_handle.free(&g_handle, &a);
    g_handle.malloc(&g_handle, &c);
    g_handle.malloc(&g_handle, &extra);  // beyond the end of the plan
    got = {a_data, reinterpret_cast<uintptr_t>(big.data),
           reinterpret_cast<uintptr_t>(c.data), reinterpret_cast<uintptr_t>(extra.data)};
    g_handle.free(&g_handle, &big);
    g_handle.free(&g_handle, &c);
    g_handle.free(&g_handle, &extra);
  };
  nv::deployment_run(scripted_network, nullptr);
  EXPECT_EQ(got[0], arena);
  EXPECT_TRUE(got[1] < arena || got[1] >= arena + 1152);
  EXPECT_EQ(got[2], arena);
  EXPECT_TRUE(got[3] < arena || got[3] >= arena + 1152);
}
