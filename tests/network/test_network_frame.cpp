// The network function against recording stand-ins of its 736 operators: call
// order, the life of every intermediate, the order inside a step, the checks and
// their report lines, the output step and the failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <set>
#include <stdexcept>
#include <vector>

#include "runtime/qel_memory.h"
#include "tests/network/analysis.h"
#include "tests/network/recorder.h"

using netrec::Analysis;
using netrec::Event;
using netrec::g_events;
using netrec::TestModel;

namespace {

class NetworkFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::nvidia::reset_state();
    netrec::g_throw_at = 0;
  }
  void TearDown() override {
    netrec::g_throw_at = 0;
    qel::nvidia::reset_state();
  }
  Analysis run(TestModel& m) {
    m.run();
    return netrec::analyse(g_events, &m.handle);
  }
};

std::vector<int64_t> used_extents(const netrec::Snapshot& s) {
  return std::vector<int64_t>(s.extents, s.extents + s.rank);
}

// An intermediate as a table of the network lists it.
struct Row {
  int number;
  std::vector<int64_t> extents;
  int allocated_before;
  int released_after;
};

void expect_rows(const Analysis& a, const std::vector<Row>& rows) {
  for (const Row& r : rows) {
    SCOPED_TRACE("intermediate " + std::to_string(r.number));
    ASSERT_LT(static_cast<size_t>(r.number), a.intermediates.size());
    const netrec::Intermediate& t = a.intermediates[static_cast<size_t>(r.number)];
    EXPECT_EQ(used_extents(t.at_allocation), r.extents);
    EXPECT_EQ(t.allocated_before, r.allocated_before);
    EXPECT_EQ(t.released_after, r.released_after);
  }
}

}  // namespace

TEST_F(NetworkFrame, CallsEveryOperatorOnceInProgramOrder) {
  TestModel m;
  const Analysis a = run(m);
  const auto& expected = netrec::expected_calls();
  ASSERT_EQ(expected.size(), 736u);
  ASSERT_EQ(a.calls.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const Event& e = g_events[static_cast<size_t>(a.calls[i])];
    ASSERT_EQ(e.id, expected[i].id) << "step " << i;
    ASSERT_EQ(static_cast<int>(e.tensors.size()), expected[i].tensors) << "step " << i;
  }
  // Every argument is an intermediate of the run; the output is nobody's argument.
  for (int c : a.calls)
    for (const netrec::Snapshot& s : g_events[static_cast<size_t>(c)].tensors) {
      EXPECT_EQ(a.number.count(s.desc), 1u);
      EXPECT_NE(s.desc, &m.output);
    }
}

TEST_F(NetworkFrame, EveryIntermediateLivesFromItsFirstWriterToItsLastReader) {
  TestModel m;
  const Analysis a = run(m);
  ASSERT_EQ(a.intermediates.size(), 638u);
  EXPECT_EQ(a.unknown_releases, 0);
  std::set<const qel_tensor_struct*> descriptors;
  for (size_t n = 0; n < a.intermediates.size(); ++n) {
    SCOPED_TRACE("intermediate " + std::to_string(n));
    const netrec::Intermediate& t = a.intermediates[n];
    descriptors.insert(t.desc);
    EXPECT_EQ(t.allocations, 1);
    EXPECT_EQ(t.releases, 1);
    EXPECT_EQ(t.allocated_before, t.first_use);
    EXPECT_EQ(t.released_after, t.last_use);
    // The descriptor is filled whole before its allocation.
    const netrec::Snapshot& s = t.at_allocation;
    EXPECT_EQ(t.data_before, nullptr);
    EXPECT_NE(s.data, nullptr);
    EXPECT_EQ(s.dtype, QEL_F32);
    int64_t count = 1;
    for (int i = 0; i < s.rank; ++i) count *= s.extents[i];
    EXPECT_EQ(s.count, count);
    for (int i = s.rank; i < 8; ++i) EXPECT_EQ(s.extents[i], 0);
    EXPECT_EQ(s.mirror_handle, nullptr);
    EXPECT_EQ(s.mirror_aux, 0u);
    EXPECT_EQ(s.mirror_ptr, nullptr);
    EXPECT_EQ(s.data_handle, &m.handle);
    EXPECT_EQ(s.data_aux, 0u);
  }
  // All 638 descriptors are distinct objects, side by side in one array.
  EXPECT_EQ(descriptors.size(), 638u);
  const auto* lowest = *descriptors.begin();
  EXPECT_EQ(*descriptors.rbegin() - lowest, 637);
  // Kernels' scratch requests come and go inside their calls.
  EXPECT_EQ(a.scratch_allocations, 206);
  EXPECT_EQ(a.scratch_releases, 206);
  // A bound output takes no memory of its own.
  EXPECT_EQ(a.output_allocations, 1);
}

TEST_F(NetworkFrame, AStepReleasesThenChecksThenAllocatesThenCalls) {
  TestModel m;
  m.make_checks_visible();
  const Analysis a = run(m);
  ASSERT_EQ(a.calls.size(), 736u);
  int begin = 0;
  for (size_t step = 0; step < a.calls.size(); ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const int call = a.calls[step];
    // Between the previous call (its own scratch requests excluded) and this one:
    // releases, then checks, then allocations.
    int phase = 0;
    std::vector<const qel_tensor_struct*> released;
    for (int i = begin; i < call; ++i) {
      const Event& e = g_events[static_cast<size_t>(i)];
      if (e.by_operator) continue;
      const int p = e.kind == Event::kFree ? 0 : e.kind == Event::kInit ? 1 : 2;
      EXPECT_LE(phase, p);
      phase = p;
      if (e.kind == Event::kFree) released.push_back(e.tensors[0].desc);
    }
    // Releases follow the previous call's argument order.
    if (step > 0 && released.size() > 1) {
      const Event& prev = g_events[static_cast<size_t>(a.calls[step - 1])];
      std::vector<const qel_tensor_struct*> order;
      for (const netrec::Snapshot& s : prev.tensors)
        if (std::find(released.begin(), released.end(), s.desc) != released.end()) order.push_back(s.desc);
      EXPECT_EQ(released, order);
    }
    // Allocations follow the call's argument order.
    const Event& e = g_events[static_cast<size_t>(call)];
    int last = -1;
    for (const netrec::Snapshot& s : e.tensors) {
      const int n = a.number.at(s.desc);
      if (a.intermediates[static_cast<size_t>(n)].allocated_before != static_cast<int>(step)) continue;
      EXPECT_GT(n, last);
      last = n;
    }
    begin = call + 1;
  }
  // The head's releases close the run: source, then weights.
  const Event& head = g_events[static_cast<size_t>(a.calls.back())];
  ASSERT_EQ(g_events.size(), static_cast<size_t>(a.calls.back()) + 3);
  EXPECT_EQ(g_events[g_events.size() - 2].tensors[0].desc, head.tensors[0].desc);
  EXPECT_EQ(g_events[g_events.size() - 1].tensors[0].desc, head.tensors[1].desc);
}

TEST_F(NetworkFrame, RanksAndPaddedSizesOfTheIntermediates) {
  TestModel m;
  const Analysis a = run(m);
  ASSERT_EQ(a.intermediates.size(), 638u);
  int ranks[6] = {};
  for (const auto& t : a.intermediates) ranks[std::min(t.at_allocation.rank, 5)]++;
  EXPECT_EQ(ranks[4], 362);
  EXPECT_EQ(ranks[5], 210);
  EXPECT_EQ(ranks[2], 66);
  // Reorders whose block does not divide Cout allocate the padded size.
  const std::pair<int, int64_t> padded[] = {{413, 1634304}, {622, 552960}, {625, 350208},
                                            {628, 138240},  {631, 105984}, {634, 34560},
                                            {637, 8640}};
  for (const auto& p : padded) EXPECT_EQ(a.intermediates[static_cast<size_t>(p.first)].at_allocation.count, p.second)
      << "intermediate " << p.first;
  // The largest set of live intermediates, 24,764,416 bytes, is reached at step 708.
  int64_t live = 0, peak = 0;
  int peak_step = -1;
  std::vector<int64_t> bytes_at(736, 0);
  for (size_t step = 0; step < 736; ++step) {
    for (const auto& t : a.intermediates)
      if (t.allocated_before == static_cast<int>(step)) live += 4 * t.at_allocation.count;
    if (live > peak) {
      peak = live;
      peak_step = static_cast<int>(step);
    }
    for (const auto& t : a.intermediates)
      if (t.released_after == static_cast<int>(step)) live -= 4 * t.at_allocation.count;
  }
  EXPECT_EQ(peak, 24764416);
  EXPECT_EQ(peak_step, 708);
  EXPECT_EQ(live, 0);
}

TEST_F(NetworkFrame, StemTransitionsAndDecoderIntermediates) {
  TestModel m;
  const Analysis a = run(m);
  expect_rows(a, {
      {0, {32, 38, 38, 3}, 0, 2},        {1, {1, 7, 7, 3, 64}, 1, 2},
      {2, {32, 16, 16, 64}, 2, 3},       {3, {32, 8, 8, 64}, 3, 720},
      {4, {32, 16, 16, 64}, 3, 727},     {5, {32, 8, 8, 64}, 3, 6},
      {6, {32, 8, 8, 256}, 4, 46},       {42, {32, 8, 8, 256}, 46, 48},
      {43, {2, 1, 1, 256, 64}, 47, 48},  {44, {32, 8, 8, 128}, 48, 49},
      {45, {32, 4, 4, 128}, 49, 713},    {46, {32, 4, 4, 128}, 49, 52},
      {47, {32, 4, 4, 512}, 50, 134},    {119, {32, 4, 4, 512}, 134, 136},
      {120, {8, 1, 1, 512, 32}, 135, 136}, {121, {32, 4, 4, 256}, 136, 137},
      {122, {32, 2, 2, 256}, 137, 706},  {123, {32, 2, 2, 256}, 137, 140},
      {124, {32, 2, 2, 1792}, 138, 474}, {412, {32, 2, 2, 1792}, 474, 476},
      {413, {19, 1, 1, 1792, 48}, 475, 476}, {414, {32, 2, 2, 896}, 476, 477},
      {415, {32, 896}, 477, 478},        {416, {32, 896}, 477, 480},
      {417, {32, 1, 1, 1920}, 478, 702}, {609, {32, 1920}, 702, 704},
      {610, {20, 1, 1, 1920, 48}, 703, 704}, {611, {32, 1, 1, 960}, 704, 705},
      {612, {32, 2, 2, 1216}, 705, 708}, {613, {15, 3, 3, 1216, 32}, 707, 708},
      {614, {32, 2, 2, 480}, 708, 709},  {615, {32, 2, 2, 480}, 709, 711},
      {616, {15, 3, 3, 480, 32}, 710, 711}, {617, {32, 2, 2, 480}, 711, 712},
      {618, {32, 4, 4, 608}, 712, 715},  {619, {15, 3, 3, 608, 16}, 714, 715},
      {620, {32, 4, 4, 240}, 715, 716},  {621, {32, 4, 4, 240}, 716, 718},
      {622, {8, 3, 3, 240, 32}, 717, 718}, {623, {32, 4, 4, 240}, 718, 719},
      {624, {32, 8, 8, 304}, 719, 722},  {625, {4, 3, 3, 304, 32}, 721, 722},
      {626, {32, 8, 8, 120}, 722, 723},  {627, {32, 8, 8, 120}, 723, 725},
      {628, {2, 3, 3, 120, 64}, 724, 725}, {629, {32, 8, 8, 120}, 725, 726},
      {630, {32, 16, 16, 184}, 726, 729}, {631, {1, 3, 3, 184, 64}, 728, 729},
      {632, {32, 16, 16, 60}, 729, 730}, {633, {32, 16, 16, 60}, 730, 732},
      {634, {1, 3, 3, 60, 64}, 731, 732}, {635, {32, 16, 16, 60}, 732, 733},
      {636, {32, 16, 16, 60}, 733, 735}, {637, {1, 3, 3, 60, 16}, 734, 735},
  });
}

TEST_F(NetworkFrame, DenseBlocksKeepOneBufferAndShortLivedLayerTensors) {
  TestModel m;
  const Analysis a = run(m);
  struct Block {
    int first_step, buffer, c0, layers, size, b;
  };
  const Block blocks[4] = {{4, 6, 64, 6, 8, 64}, {50, 47, 128, 12, 4, 32},
                           {138, 124, 256, 48, 2, 32}, {478, 417, 896, 32, 1, 32}};
  for (const Block& k : blocks) {
    const int64_t h = k.size;
    // Normalisation outputs at the 1 x 1 size are rank 2.
    auto normalised = [&](int64_t c) {
      return h == 1 ? std::vector<int64_t>{32, c} : std::vector<int64_t>{32, h, h, c};
    };
    std::vector<Row> rows;
    rows.push_back({k.buffer, {32, h, h, k.c0 + 32 * k.layers}, k.first_step, -2});
    for (int j = 0; j < k.layers; ++j) {
      const int64_t cin = k.c0 + 32 * j;
      const int s = k.first_step + 7 * j;  // the layer's steps are s + position
      const int t = j == 0 ? k.buffer : k.buffer + 6 * j;
      if (j > 0) rows.push_back({t, normalised(cin), s, s + 2});
      rows.push_back({t + 1, {128 / k.b, 1, 1, cin, k.b}, s + 1, s + 2});
      rows.push_back({t + 2, {32, h, h, 128}, s + 2, s + 3});
      rows.push_back({t + 3, normalised(128), s + 3, s + 5});
      rows.push_back({t + 4, {1, 3, 3, 128, 32}, s + 4, s + 5});
      rows.push_back({t + 5, {32, h, h, 32}, s + 5, s + 6});
    }
    // The buffer is released by the whole-buffer normalisation right after the block.
    rows.front().released_after = k.first_step + 7 * k.layers;
    expect_rows(a, rows);
  }
}

TEST_F(NetworkFrame, ChecksRunJustBeforeTheirFirstReaderAndReportTheirLines) {
  TestModel m;
  m.make_checks_visible();
  const Analysis a = run(m);
  ASSERT_EQ(a.checks.size(), 1025u);
  // The input first, then P0 to P1023 in ascending order.
  EXPECT_EQ(g_events[static_cast<size_t>(a.checks[0])].tensors[0].desc, &m.input);
  for (int k = 0; k < 1024; ++k)
    ASSERT_EQ(g_events[static_cast<size_t>(a.checks[static_cast<size_t>(k) + 1])].tensors[0].desc, &m.params[static_cast<size_t>(k)]);

  auto step_of = [&](int k) { return a.calls_before[static_cast<size_t>(a.checks[static_cast<size_t>(k) + 1])]; };
  auto line_of = [&](int k) { return netrec::report_line(g_events, &m.handle, a.checks[static_cast<size_t>(k) + 1]); };
  EXPECT_EQ(a.calls_before[static_cast<size_t>(a.checks[0])], 0);
  EXPECT_EQ(netrec::report_line(g_events, &m.handle, a.checks[0]), 850);

  struct Anchor {
    int param, step, line;
  };
  const Anchor anchors[] = {
      {0, 1, 856},      {1, 3, 867},      {2, 3, 870},      {8, 3, 888},      {9, 5, 902},
      {65, 46, -1},     {69, 47, -1},     {70, 49, -1},     {184, 128, 1870}, {190, 134, -1},
      {194, 135, -1},   {195, 137, -1},   {675, 474, -1},   {679, 475, -1},   {680, 477, -1},
      {1000, 702, 6377}, {1003, 702, -1}, {1004, 703, 6393}, {1005, 704, 6399}, {1006, 707, 6413},
      {1007, 708, 6419}, {1008, 710, 6431}, {1009, 711, 6437}, {1010, 714, 6451}, {1011, 715, 6457},
      {1012, 717, 6469}, {1013, 718, 6475}, {1014, 721, 6489}, {1015, 722, 6495}, {1016, 724, 6507},
      {1017, 725, 6513}, {1018, 728, 6527}, {1019, 729, 6533}, {1020, 731, 6545}, {1021, 732, 6551},
      {1022, 734, 6563}, {1023, 735, 6569},
  };
  for (const Anchor& x : anchors) {
    EXPECT_EQ(step_of(x.param), x.step) << "P" << x.param;
    if (x.line > 0) {
      EXPECT_EQ(line_of(x.param), x.line) << "P" << x.param;
    }
  }

  // Dense layers: checks at positions 1, 2, 4 and 5 of the layer, lines laid out
  // per layer from the block's base line.
  struct Block {
    int first_step, first_param, layers, base_line;
  };
  const Block blocks[4] = {{4, 9, 6, 902}, {50, 74, 12, 1265}, {138, 199, 48, 1958}, {478, 684, 32, 4632}};
  for (const Block& k : blocks) {
    for (int j = 0; j < k.layers; ++j) {
      SCOPED_TRACE("block at step " + std::to_string(k.first_step) + ", layer " + std::to_string(j));
      const int s = k.first_step + 7 * j;
      if (j == 0) {
        const int p = k.first_param, lb = k.base_line;
        EXPECT_EQ(step_of(p), s + 1);
        EXPECT_EQ(line_of(p), lb);
        for (int i = 0; i < 4; ++i) {
          EXPECT_EQ(step_of(p + 1 + i), s + 3);
          EXPECT_EQ(line_of(p + 1 + i), lb + 11 + 3 * i);
        }
        EXPECT_EQ(step_of(p + 5), s + 4);
        EXPECT_EQ(line_of(p + 5), lb + 27);
      } else {
        const int q = k.first_param + 10 * j - 4, lj = k.base_line + 40 + 55 * (j - 1);
        for (int i = 0; i < 4; ++i) {
          EXPECT_EQ(step_of(q + i), s);
          EXPECT_EQ(line_of(q + i), lj + 3 * i);
          EXPECT_EQ(step_of(q + 5 + i), s + 3);
          EXPECT_EQ(line_of(q + 5 + i), lj + 26 + 3 * i);
        }
        EXPECT_EQ(step_of(q + 4), s + 1);
        EXPECT_EQ(line_of(q + 4), lj + 15);
        EXPECT_EQ(step_of(q + 9), s + 4);
        EXPECT_EQ(line_of(q + 9), lj + 42);
      }
    }
  }
}

TEST_F(NetworkFrame, OutputStepResetsTheOutputAndKeepsTheHostBuffer) {
  TestModel m;
  m.output.rank = 2;
  m.output.dtype = QEL_F64;
  m.output.count = 5;
  for (int i = 0; i < 8; ++i) m.output.extents[i] = 7;
  m.output.mirror_aux = 3;
  const Analysis a = run(m);
  EXPECT_EQ(m.output.rank, 4);
  EXPECT_EQ(m.output.dtype, QEL_F32);
  EXPECT_EQ(m.output.count, 8192);
  const int64_t expected[8] = {32, 16, 16, 1, 7, 7, 7, 7};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(m.output.extents[i], expected[i]);
  EXPECT_EQ(m.output.mirror_aux, 3u);
  EXPECT_EQ(m.output.data, m.output_buffer.data());

  // The output is allocated through its own handle, after the last check and
  // right before the head, which finds the host's buffer through the context.
  ASSERT_EQ(a.output_allocations, 1);
  const int head = a.calls.back();
  const Event& alloc = g_events[static_cast<size_t>(head) - 1];
  EXPECT_EQ(alloc.kind, Event::kMalloc);
  EXPECT_EQ(alloc.handle, &m.output_handle);
  EXPECT_EQ(alloc.tensors[0].desc, &m.output);
  EXPECT_EQ(g_events[static_cast<size_t>(head)].output_data, m.output_buffer.data());
  for (const Event& e : g_events) EXPECT_FALSE(e.kind == Event::kFree && e.tensors[0].desc == &m.output);
}

TEST_F(NetworkFrame, AnUnboundOutputGetsMemoryThatTheRunKeeps) {
  TestModel m;
  m.output.data = nullptr;
  const Analysis a = run(m);
  ASSERT_EQ(a.output_allocations, 1);
  ASSERT_NE(m.output.data, nullptr);
  EXPECT_EQ(g_events[static_cast<size_t>(a.calls.back())].output_data, m.output.data);
  qel::nvidia::deployment_free(&m.output_handle, &m.output);
}

TEST_F(NetworkFrame, MaterialiseCallsInitOnlyForATensorWithoutData) {
  TestModel m;
  // With data: no init even with a mirror handle. Without data and without a
  // mirror handle: no call, and the check passes as usual.
  m.params[3].mirror_handle = &m.mirror;
  m.params[4].data = nullptr;
  m.params[5].data = nullptr;
  m.params[5].mirror_handle = &m.mirror;
  run(m);
  std::vector<const qel_tensor_struct*> inits;
  for (const Event& e : g_events)
    if (e.kind == Event::kInit) inits.push_back(e.tensors[0].desc);
  ASSERT_EQ(inits.size(), 1u);
  EXPECT_EQ(inits[0], &m.params[5]);
  EXPECT_EQ(std::count_if(g_events.begin(), g_events.end(), [](const Event& e) { return e.kind == Event::kCall; }), 736);
}

TEST_F(NetworkFrame, AFailingOperatorEndsTheRunAndReleasesWhatIsLive) {
  for (const int failing : {0x8558, 0x8557, 0x8556, 0x8409, 0x82EB, 0x8219, 0x8212}) {
    SCOPED_TRACE(failing);
    TestModel m;
    netrec::g_throw_at = failing;
    EXPECT_THROW(m.run(), std::runtime_error);
    netrec::g_throw_at = 0;
    const Analysis a = netrec::analyse(g_events, &m.handle);
    ASSERT_FALSE(a.calls.empty());
    // Nothing runs after the failing operator ...
    EXPECT_EQ(g_events[static_cast<size_t>(a.calls.back())].id, failing);
    // ... and every intermediate allocated so far is released exactly once.
    for (const auto& t : a.intermediates) {
      EXPECT_EQ(t.allocations, 1);
      EXPECT_EQ(t.releases, 1);
    }
    EXPECT_EQ(a.unknown_releases, 0);
  }
}
