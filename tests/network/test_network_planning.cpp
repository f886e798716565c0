// The network's memory sequence under the memory manager: a planning run
// records it, the arena it plans is what first fit over that sequence gives,
// and later runs replay it identically from the arena.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "runtime/qel_memory.h"
#include "tests/network/analysis.h"
#include "tests/network/recorder.h"
#include "x86/src/network_function.h"

using netrec::Event;
using netrec::g_events;

namespace {

struct Request {
  bool allocate;
  const qel_tensor_struct* desc;
  uint64_t bytes;
};

// The requests that reach the manager with a tensor still to be served (the
// bound output's allocation is not one of them).
std::vector<Request> requests(const std::vector<Event>& events) {
  std::vector<Request> out;
  for (const Event& e : events) {
    if (e.kind == Event::kMalloc && e.data_before != nullptr) continue;
    if (e.kind != Event::kMalloc && e.kind != Event::kFree) continue;
    const netrec::Snapshot& s = e.tensors[0];
    const uint64_t element = s.dtype == QEL_S8 ? 1 : 4;
    out.push_back({e.kind == Event::kMalloc, s.desc, static_cast<uint64_t>(s.count) * element});
  }
  return out;
}

// First fit by address over 64-byte units: each request reserves the smallest
// multiple of 64 above its size; the arena is the highest end ever released.
struct Plan {
  std::vector<uint64_t> offsets;
  uint64_t arena = 0;
};
Plan first_fit(const std::vector<Request>& reqs) {
  struct Interval {
    uint64_t begin, end;
    const qel_tensor_struct* desc;
  };
  std::vector<Interval> live;
  Plan plan;
  for (const Request& r : reqs) {
    if (r.allocate) {
      const uint64_t reserve = (r.bytes / 64) * 64 + 64;
      uint64_t cursor = 0;
      size_t at = live.size();
      for (size_t i = 0; i < live.size(); ++i) {
        if (live[i].begin >= cursor + reserve) {
          at = i;
          break;
        }
        cursor = live[i].end;
      }
      live.insert(live.begin() + static_cast<std::ptrdiff_t>(at), {cursor, cursor + reserve, r.desc});
      plan.offsets.push_back(cursor);
    } else {
      for (size_t i = 0; i < live.size(); ++i)
        if (live[i].desc == r.desc) {
          if (live[i].end > plan.arena) plan.arena = live[i].end;
          live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
          break;
        }
    }
  }
  return plan;
}

class NetworkPlanning : public ::testing::Test {
 protected:
  void SetUp() override { qel::nvidia::reset_state(); }
  void TearDown() override { qel::nvidia::reset_state(); }
};

}  // namespace

TEST_F(NetworkPlanning, TheArenaIsTheFirstFitPlanOfOneRun) {
  netrec::TestModel m;
  // A plain run and the planning run make the same requests.
  m.run();
  const std::vector<Request> plain = requests(g_events);
  g_events.clear();
  qel::nvidia::deployment_optimize(qel_x86_4602A7A4_00000000_D0, &m.ctx, 1);
  const std::vector<Request> captured = requests(g_events);
  ASSERT_EQ(plain.size(), captured.size());
  for (size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(plain[i].allocate, captured[i].allocate);
    EXPECT_EQ(plain[i].bytes, captured[i].bytes);
  }
  // 638 intermediates and 206 scratch tensors.
  const auto st = qel::nvidia::state();
  ASSERT_TRUE(st.captured);
  EXPECT_EQ(st.replay.size(), 844u);
  const Plan plan = first_fit(captured);
  EXPECT_EQ(st.replay, plan.offsets);
  EXPECT_EQ(st.peak, plan.arena);
  // At least the 24,764,416 bytes live at step 708, rounded per tensor.
  EXPECT_GE(st.peak, 24764416u);
  RecordProperty("arena_bytes", std::to_string(st.peak));
}

TEST_F(NetworkPlanning, ReplayedRunsServeTheSamePlaceToEveryRequest) {
  netrec::TestModel m;
  qel::nvidia::deployment_optimize(qel_x86_4602A7A4_00000000_D0, &m.ctx, 1);
  const auto st = qel::nvidia::state();
  ASSERT_NE(st.arena, nullptr);
  const char* arena = static_cast<const char*>(st.arena);

  std::vector<std::vector<Event>> runs;
  for (int r = 0; r < 2; ++r) {
    g_events.clear();
    qel::nvidia::deployment_run(qel_x86_4602A7A4_00000000_D0, &m.ctx);
    runs.push_back(g_events);
    EXPECT_EQ(qel::nvidia::state().position, 0);
  }
  ASSERT_EQ(runs[0].size(), runs[1].size());
  size_t served = 0;
  for (size_t i = 0; i < runs[0].size(); ++i) {
    const Event& a = runs[0][i];
    const Event& b = runs[1][i];
    ASSERT_EQ(a.kind, b.kind) << "event " << i;
    ASSERT_EQ(a.id, b.id) << "event " << i;
    ASSERT_EQ(a.tensors.size(), b.tensors.size());
    for (size_t k = 0; k < a.tensors.size(); ++k) {
      EXPECT_EQ(a.tensors[k].desc, b.tensors[k].desc);
      EXPECT_EQ(a.tensors[k].data, b.tensors[k].data) << "event " << i;
    }
    if (a.kind == Event::kMalloc && a.data_before == nullptr) {
      // Served at its planned offset, in call order, inside the arena.
      ASSERT_LT(served, st.replay.size());
      const char* p = static_cast<const char*>(a.tensors[0].data);
      EXPECT_EQ(p, arena + st.replay[served]);
      const uint64_t bytes = static_cast<uint64_t>(a.tensors[0].count) * (a.tensors[0].dtype == QEL_S8 ? 1 : 4);
      EXPECT_LE(st.replay[served] + bytes, st.peak);
      ++served;
    }
  }
  EXPECT_EQ(served, st.replay.size());
}
