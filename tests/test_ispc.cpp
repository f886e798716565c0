#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "ispc/ispc_runtime.h"
#include "ispc/zarno.h"

namespace {

struct Recorder {
  std::mutex mu;
  std::vector<std::tuple<int, int, int>> ranges;  // begin, end, thread
  std::vector<int> zeros_seen;
};

void record_task(void* args, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f, int32_t g,
                 int32_t begin, int32_t end, int32_t last) {
  auto* rec = static_cast<Recorder*>(args);
  std::lock_guard<std::mutex> lock(rec->mu);
  rec->ranges.emplace_back(begin, end, ISPCThreadNum());
  rec->zeros_seen.push_back(a | b | c | d | e | f | g | last);
}

std::vector<std::pair<int, int>> launch(int count, int type, int threads, Recorder& rec) {
  omp_set_num_threads(threads);
  ISPCLaunch(nullptr, reinterpret_cast<void*>(record_task), &rec, count, type, 0);
  std::vector<std::pair<int, int>> r;
  for (auto& [b, e, t] : rec.ranges) r.emplace_back(b, e);
  std::sort(r.begin(), r.end());
  return r;
}

std::vector<std::pair<int, int>> uniform(int begin, int count, int step) {
  std::vector<std::pair<int, int>> r;
  for (int i = 0; i < count; ++i) r.emplace_back(begin + i * step, begin + (i + 1) * step);
  return r;
}

class TaskRuntime : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = omp_get_max_threads(); }
  void TearDown() override { omp_set_num_threads(saved_); }
  int saved_ = 1;
};

}  // namespace

TEST_F(TaskRuntime, WorkedRangeTable) {
  struct Case {
    int type, count, threads;
    std::vector<std::pair<int, int>> ranges;
  };
  auto cat = [](std::vector<std::pair<int, int>> a, const std::vector<std::pair<int, int>>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {2, 32, 8, uniform(0, 8, 4)},
      {2, 32, 12, cat(uniform(0, 8, 3), uniform(24, 4, 2))},
      {2, 2048, 8, uniform(0, 8, 256)},
      {2, 2048, 12, cat(uniform(0, 8, 171), uniform(1368, 4, 170))},
      {2, 1, 8, {{0, 1}}},
      {2, 2, 8, {{0, 1}, {1, 2}}},
      {3, 16, 8, {{0, 16}}},
      {3, 17, 8, {{0, 16}, {16, 17}}},
      {3, 32, 8, uniform(0, 2, 16)},
      {3, 128, 8, uniform(0, 8, 16)},
      {3, 1000, 6, cat(uniform(0, 5, 176), {{880, 1000}})},
      {3, 2048, 12, cat(uniform(0, 11, 176), {{1936, 2048}})},
      {2, 100, 1, {{0, 100}}},
      {3, 100, 1, {{0, 100}}},
      {2, 5, 3, {{0, 2}, {2, 4}, {4, 5}}},
      {3, 100, 3, {{0, 48}, {48, 96}, {96, 100}}},
  };
  for (const Case& c : cases) {
    Recorder rec;
    EXPECT_EQ(launch(c.count, c.type, c.threads, rec), c.ranges)
        << "type " << c.type << " count " << c.count << " T " << c.threads;
    for (int z : rec.zeros_seen) EXPECT_EQ(z, 0);
  }
}

TEST_F(TaskRuntime, InlineRunsOnTheCallingThreadAndTeamsUseDistinctThreads) {
  Recorder rec;
  launch(16, 3, 8, rec);
  ASSERT_EQ(rec.ranges.size(), 1u);
  EXPECT_EQ(std::get<2>(rec.ranges[0]), 0);
  Recorder team;
  launch(32, 2, 8, team);
  std::vector<int> threads;
  for (auto& r : team.ranges) threads.push_back(std::get<2>(r));
  std::sort(threads.begin(), threads.end());
  EXPECT_EQ(threads, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(TaskRuntime, ExhaustiveCoverageForManyCountsAndThreadCounts) {
  for (int type : {2, 3})
    for (int threads : {1, 2, 3, 5, 8})
      for (int count = 1; count <= 300; count += 7) {
        Recorder rec;
        const auto ranges = launch(count, type, threads, rec);
        int next = 0;
        for (auto& [b, e] : ranges) {
          EXPECT_EQ(b, next);
          EXPECT_LT(b, e);
          next = e;
        }
        EXPECT_EQ(next, count) << type << " " << threads << " " << count;
      }
}

TEST_F(TaskRuntime, ReducedTeamStillCoversEveryRange) {
  omp_set_dynamic(0);
  for (int type : {2, 3}) {
    Recorder rec;
    std::vector<std::pair<int, int>> ranges;
    omp_set_num_threads(8);
    // A team of three threads calling in while the runtime plans for eight.
    omp_set_max_active_levels(2);
#pragma omp parallel num_threads(1)
    {
      omp_set_num_threads(8);
#pragma omp single
      {
        // Nested region: with one active level allowed, the inner team has one thread.
        omp_set_max_active_levels(1);
        ISPCLaunch(nullptr, reinterpret_cast<void*>(record_task), &rec, 2048, type, 0);
      }
    }
    for (auto& [b, e, t] : rec.ranges) ranges.emplace_back(b, e);
    std::sort(ranges.begin(), ranges.end());
    const auto expected = type == 2 ? uniform(0, 8, 256) : uniform(0, 8, 256);
    EXPECT_EQ(ranges, expected) << "type " << type;
  }
}

TEST_F(TaskRuntime, NonPositiveCountsCallNothingAndBadTypesThrow) {
  Recorder rec;
  for (int type : {2, 3})
    for (int count : {0, -1, -100}) launch(count, type, 8, rec);
  EXPECT_TRUE(rec.ranges.empty());
  for (int type : {0, 1, 4}) {
    for (int count : {0, 10}) {
      try {
        ISPCLaunch(nullptr, reinterpret_cast<void*>(record_task), &rec, count, type, 0);
        ADD_FAILURE() << "no exception for type " << type;
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "ispc: Unsupported launch type: " + std::to_string(type));
      }
    }
  }
  EXPECT_TRUE(rec.ranges.empty());
  ISPCSync(nullptr);
  ISPCSync(&rec);
}

TEST(ArgumentBlock, GrowsOnlyAndKeepsAlignment) {
  void* a = ISPCAlloc(nullptr, 16, 32);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 32, 0u);
  void* b = ISPCAlloc(nullptr, 48, 32);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 32, 0u);
  static_cast<char*>(b)[47] = 1;  // the whole block is usable
  EXPECT_EQ(ISPCAlloc(nullptr, 16, 32), b);
  EXPECT_EQ(ISPCAlloc(nullptr, 48, 32), b);
  EXPECT_EQ(ISPCAlloc(nullptr, 0, 32), b);
}

TEST(ThreadQueries, NumThreadsAndThreadNum) {
  EXPECT_EQ(ISPCNumThreads(), omp_get_max_threads());
  EXPECT_EQ(ISPCThreadNum(), 0);
}

TEST(Instrument, LogsOnlyAtLevelTwo) {
  testing::internal::CaptureStderr();
  ISPCInstrument("k.ispc", "note", 12, 0xABCull);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  zarno::set_level(2);
  testing::internal::CaptureStderr();
  ISPCInstrument("k.ispc", "note", 12, 0xABCull);
  const std::string line = testing::internal::GetCapturedStderr();
  zarno::set_level(0);
  EXPECT_NE(line.find("k.ispc note 12 0000000000000ABC"), std::string::npos) << line;
}
