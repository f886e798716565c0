// The memory manager driven by a host's own schedule, which may break the
// network's rules: releases of memory the capture no longer holds, allocations
// the capture never releases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <functional>
#include <vector>

#include "runtime/qel_memory.h"
#include "tests/child_process.h"
#include "tests/support/live_heap.h"

namespace nv = qel::nvidia;

namespace {

qel_handle_struct g_handle(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{});
std::function<void()> g_schedule;
void host_network(const qel_ctx_struct*) { g_schedule(); }

qel_tensor_struct bytes(int64_t n) {
  qel_tensor_struct t{};
  t.rank = 1;
  t.extents[0] = t.count = n;
  t.dtype = 1;  // s8
  t.data_handle = &g_handle;
  return t;
}

// A tensor released in the capture gives its address back to the heap, the
// host gets it for a tensor of its own and releases that through the manager:
// the interval planned since at the old offset stays reserved.
TEST(HostSchedule, ReleaseOfAReusedAddressKeepsTheLiveInterval) {
  nv::reset_state();
  g_schedule = [] {
    qel_tensor_struct a = bytes(100), b = bytes(1000), c = bytes(100), foreign = bytes(100);
    nv::deployment_malloc(&g_handle, &a);  // [0, 128)
    void* const released = a.data;
    nv::deployment_free(&g_handle, &a);
    nv::deployment_malloc(&g_handle, &b);  // [0, 1024)
    foreign.data = std::malloc(100);
    ASSERT_EQ(foreign.data, released) << "the heap must hand the address out again (see tests/CMakeLists.txt)";
    nv::deployment_free(&g_handle, &foreign);  // the host's own block: only its slot is cleared
    std::free(released);
    nv::deployment_malloc(&g_handle, &c);
    EXPECT_EQ(nv::state().live, (std::vector<std::pair<uint64_t, uint64_t>>{{0, 1024}, {1024, 1152}}));
    nv::deployment_free(&g_handle, &b);
    nv::deployment_free(&g_handle, &c);
  };
  nv::deployment_optimize(host_network, nullptr, 1);
  EXPECT_EQ(nv::state().replay, (std::vector<uint64_t>{0, 0, 1024}));
  EXPECT_EQ(nv::state().peak, 1152u);
  nv::reset_state();
}

// A capture that keeps an allocation to its end plans an arena too small for
// it (here 128 bytes, or none at all): replay serves it from the heap instead
// of past the arena's end, and a release in replay gives both the capture's
// block and the replayed one back to the heap.
TEST(HostSchedule, AllocationKeptPastTheCaptureIsNeverServedBeyondTheArena) {
  for (const bool release_first : {true, false}) {
    nv::reset_state();
    qel_tensor_struct kept = bytes(1000);
    g_schedule = [&] {
      qel_tensor_struct t = bytes(100);
      if (release_first) nv::deployment_malloc(&g_handle, &t);
      nv::deployment_free(&g_handle, &t);
      nv::deployment_malloc(&g_handle, &kept);
    };
    nv::deployment_optimize(host_network, nullptr, 1);
    const nv::ManagerState s = nv::state();
    EXPECT_EQ(s.peak, release_first ? 128u : 0u);
    nv::deployment_free(&g_handle, &kept);
    nv::deployment_run(host_network, nullptr);
    const auto* arena = static_cast<const char*>(s.arena);
    const auto* served = static_cast<const char*>(kept.data);
    ASSERT_NE(served, nullptr);
    EXPECT_TRUE(arena == nullptr || served + 1000 <= arena || served >= arena + s.peak) << release_first;
    std::memset(kept.data, 1, 1000);
    nv::deployment_free(&g_handle, &kept);
  }
  nv::reset_state();
}

// Allocations outside a run (a host's own, between runs) come from the heap
// and leave the replay alone: the next run's requests get their planned
// offsets, clear of the host's block.
TEST(HostSchedule, AnAllocationBetweenRunsTakesNoPlace) {
  nv::reset_state();
  std::vector<const char*> served;
  g_schedule = [&] {
    qel_tensor_struct a = bytes(100), b = bytes(1000);
    nv::deployment_malloc(&g_handle, &a);
    nv::deployment_malloc(&g_handle, &b);
    served = {static_cast<const char*>(a.data), static_cast<const char*>(b.data)};
    nv::deployment_free(&g_handle, &b);
    nv::deployment_free(&g_handle, &a);
  };
  nv::deployment_optimize(host_network, nullptr, 1);
  const auto* arena = static_cast<const char*>(nv::state().arena);
  qel_tensor_struct host = bytes(4096);
  nv::deployment_malloc(&g_handle, &host);
  const auto* block = static_cast<const char*>(host.data);
  EXPECT_TRUE(block + 4096 <= arena || block >= arena + nv::state().peak);
  EXPECT_EQ(nv::state().position, 0);
  nv::deployment_run(host_network, nullptr);
  EXPECT_EQ(served, (std::vector<const char*>{arena, arena + 128}));
  nv::deployment_free(&g_handle, &host);
  nv::reset_state();
}

// A host keeps a tensor past the capture, replays, gives the arena back and
// only then releases the tensor, whether replay served it from the heap (the
// capture kept it to its end, past the arena's 128 bytes) or from the arena
// (at offset 128): the heap block goes back once, the arena block never.
TEST(HostSchedule, ReleasesAfterTheArenaIsGivenBack) {
  for (const bool from_arena : {false, true}) {
    const ChildResult r = run_in_child([from_arena] {
      nv::reset_state();
      qel_tensor_struct kept = bytes(from_arena ? 100 : 1000);
      g_schedule = [&] {
        qel_tensor_struct a = bytes(100), b = bytes(1000);
        nv::deployment_malloc(&g_handle, &a);  // [0, 128)
        if (from_arena) {
          nv::deployment_malloc(&g_handle, &b);  // [128, 1152)
          nv::deployment_free(&g_handle, &b);
        } else {
          nv::deployment_free(&g_handle, &a);
        }
        nv::deployment_malloc(&g_handle, &kept);  // [128, 256), or [0, 1024) with a 128-byte arena
        nv::deployment_free(&g_handle, &a);
      };
      nv::deployment_optimize(host_network, nullptr, 1);
      nv::deployment_free(&g_handle, &kept);
      nv::deployment_run(host_network, nullptr);
      const bool in_arena = kept.data == static_cast<const char*>(nv::state().arena) + 128;
      nv::deployment_free_managed_memory();
      nv::deployment_free(&g_handle, &kept);
      nv::reset_state();  // the library's release at unload and exit
      std::printf("%s\n", in_arena ? "from the arena" : "from the heap");
    });
    EXPECT_TRUE(r.exited) << from_arena;
    EXPECT_EQ(r.status, 0) << from_arena;
    EXPECT_EQ(r.out, from_arena ? "from the arena\n" : "from the heap\n");
  }
}

// Every block the manager handed out goes back to the heap exactly once, in
// every mode: released after the plan was made, or still held at the
// library's release; released through two copies of its descriptor, or
// through a handle that does not own the slot and then through its owner. A
// pointer of the host's own is left to the host. A negative element count is
// reported as such.
TEST(HostSchedule, EveryBlockGoesBackOnceInEveryMode) {
  for (const bool planned : {false, true}) {
    const ChildResult r = run_in_child([planned] {
      constexpr int64_t kBig = 64 << 20;
      nv::reset_state();
      g_schedule = [] {};
      const size_t before = live_heap();
      qel_tensor_struct released = bytes(kBig), held = bytes(kBig), t = bytes(64), u = bytes(64), own = bytes(64);
      nv::deployment_malloc(&g_handle, &released);
      nv::deployment_malloc(&g_handle, &held);
      if (planned) nv::deployment_optimize(host_network, nullptr, 1);
      nv::deployment_free(&g_handle, &released);
      std::printf("released %s; ", live_heap() < before + kBig + (1 << 20) ? "freed" : "kept");
      nv::deployment_malloc(&g_handle, &t);
      const qel_tensor_struct copy = t;
      nv::deployment_free(&g_handle, &t);
      nv::deployment_free(&g_handle, const_cast<qel_tensor_struct*>(&copy));
      qel_handle_struct other(qel_device_struct("x86", 1), nullptr, qel_handle_ptrs_struct{});
      nv::deployment_malloc(&g_handle, &u);
      nv::deployment_free(&other, &u);
      nv::deployment_free(&g_handle, &u);
      own.data = std::malloc(64);
      void* const kept = own.data;
      nv::deployment_free(&g_handle, &own);
      std::memset(kept, 0, 64);
      std::free(kept);
      nv::reset_state();  // the library's release at unload and exit
      std::printf("held %s\n", live_heap() < before + (1 << 20) ? "freed" : "kept");
    });
    EXPECT_EQ(r.status, 0) << planned;
    EXPECT_EQ(r.out, "released freed; held freed\n") << planned;
  }
  const ChildResult negative = run_in_child([] {
    qel_tensor_struct t = bytes(-1);
    nv::deployment_malloc(&g_handle, &t);
  });
  EXPECT_EQ(negative.status, 1);
  EXPECT_NE(negative.out.find("Message: cannot allocate: the element count -1 is negative\n"), std::string::npos)
      << negative.out;
}

// A handle releases only what the slots it owns hold. A release through a
// handle that does not own the data slot leaves the block to its owner: the
// next tensor gets another block, and the owner's zeroing and release touch
// only its own. A block in the mirror slot goes back through the mirror's
// handle, and a handle that owns no slot allocates nothing: a thousand rounds
// of 1 MiB each way leave the heap as it was.
TEST(HostSchedule, AHandleReleasesOnlyWhatItsSlotsHold) {
  nv::reset_state();
  qel_handle_struct other(qel_device_struct("x86", 1), nullptr, qel_handle_ptrs_struct{});
  qel_tensor_struct owned = bytes(1000), next = bytes(1000), third = bytes(1000);
  nv::deployment_malloc(&g_handle, &owned);
  void* const block = owned.data;
  nv::deployment_free(&other, &owned);
  EXPECT_EQ(owned.data, block);
  nv::deployment_malloc(&g_handle, &next);
  EXPECT_NE(next.data, block);
  std::memset(next.data, 7, 1000);
  nv::deployment_memset(&g_handle, &owned, nullptr, nullptr);
  nv::deployment_free(&g_handle, &owned);
  nv::deployment_malloc(&g_handle, &third);
  std::memset(third.data, 9, 1000);
  EXPECT_EQ(std::count(static_cast<char*>(next.data), static_cast<char*>(next.data) + 1000, 7), 1000);
  nv::deployment_free(&g_handle, &next);
  nv::deployment_free(&g_handle, &third);

  const size_t before = live_heap();
  for (int round = 0; round < 1000; ++round) {
    qel_tensor_struct mirrored = bytes(1 << 20), foreign = bytes(1 << 20);
    mirrored.data_handle = foreign.data_handle = &other;
    mirrored.mirror_handle = &g_handle;
    nv::deployment_malloc(&g_handle, &mirrored);
    nv::deployment_malloc(&g_handle, &foreign);
    ASSERT_TRUE(mirrored.mirror_ptr != nullptr && mirrored.data == nullptr) << round;
    ASSERT_TRUE(foreign.mirror_ptr == nullptr && foreign.data == nullptr) << round;
    nv::deployment_free(&g_handle, &mirrored);
    nv::deployment_free(&g_handle, &foreign);
    ASSERT_EQ(mirrored.mirror_ptr, nullptr) << round;
  }
  EXPECT_LT(live_heap(), before + (1 << 20));
  nv::reset_state();
}

}  // namespace
