// The kernel task runtime: how a launch splits its items into ranges over the
// threads, the argument block, the thread queries and the instrumentation.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ispc/ispc_runtime.h"
#include "ispc/zarno.h"

namespace {

using Ranges = std::vector<std::pair<int, int>>;

struct Recorder {
  std::mutex mu;
  Ranges ranges;
  std::vector<int> threads;
  bool zeros = true;  // the seven leading and the last integer arguments are 0
};

void record_task(void* args, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f, int32_t g,
                 int32_t begin, int32_t end, int32_t last) {
  auto* rec = static_cast<Recorder*>(args);
  std::lock_guard<std::mutex> lock(rec->mu);
  rec->ranges.emplace_back(begin, end);
  rec->threads.push_back(ISPCThreadNum());
  rec->zeros = rec->zeros && (a | b | c | d | e | f | g | last) == 0;
}

void launch(Recorder& rec, int count, int type) {
  ISPCLaunch(nullptr, reinterpret_cast<void*>(record_task), &rec, count, type, 0);
  std::sort(rec.ranges.begin(), rec.ranges.end());
}

Ranges uniform(int begin, int count, int step, Ranges tail = {}) {
  Ranges r;
  for (int i = 0; i < count; ++i) r.emplace_back(begin + i * step, begin + (i + 1) * step);
  r.insert(r.end(), tail.begin(), tail.end());
  return r;
}

class TaskRuntime : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = omp_get_max_threads(); }
  void TearDown() override { omp_set_num_threads(saved_); }
  int saved_ = 1;
};

TEST_F(TaskRuntime, WorkedRangeSplits) {
  const struct {
    int type, count, threads;
    Ranges ranges;
  } cases[] = {
      {2, 32, 8, uniform(0, 8, 4)},
      {2, 32, 12, uniform(0, 8, 3, uniform(24, 4, 2))},
      {2, 2048, 12, uniform(0, 8, 171, uniform(1368, 4, 170))},
      {2, 2, 8, {{0, 1}, {1, 2}}},
      {2, 5, 3, {{0, 2}, {2, 4}, {4, 5}}},
      {2, 100, 1, {{0, 100}}},
      {3, 16, 8, {{0, 16}}},
      {3, 17, 8, {{0, 16}, {16, 17}}},
      {3, 128, 8, uniform(0, 8, 16)},
      {3, 1000, 6, uniform(0, 5, 176, {{880, 1000}})},
      {3, 2048, 12, uniform(0, 11, 176, {{1936, 2048}})},
      {3, 100, 3, {{0, 48}, {48, 96}, {96, 100}}},
      {3, 100, 1, {{0, 100}}},
  };
  for (const auto& c : cases) {
    Recorder rec;
    omp_set_num_threads(c.threads);
    launch(rec, c.count, c.type);
    EXPECT_EQ(rec.ranges, c.ranges) << "type " << c.type << " count " << c.count << " threads " << c.threads;
    EXPECT_TRUE(rec.zeros);
  }
}

// Whatever the count and thread count, the ranges tile 0 .. count exactly; an
// inline launch runs as thread 0, a team's ranges go to distinct threads.
TEST_F(TaskRuntime, RangesTileEveryCountAndTeamsUseDistinctThreads) {
  for (int type : {2, 3})
    for (int threads : {1, 2, 3, 5, 8})
      for (int count = 1; count <= 300; count += 7) {
        Recorder rec;
        omp_set_num_threads(threads);
        launch(rec, count, type);
        int next = 0;
        for (auto [b, e] : rec.ranges) {
          ASSERT_EQ(b, next) << type << " " << threads << " " << count;
          ASSERT_LT(b, e);
          next = e;
        }
        ASSERT_EQ(next, count) << type << " " << threads << " " << count;
        std::sort(rec.threads.begin(), rec.threads.end());
        EXPECT_EQ(std::unique(rec.threads.begin(), rec.threads.end()), rec.threads.end());
        if (rec.ranges.size() == 1) {
          EXPECT_EQ(rec.threads[0], 0);
        }
      }
}

// A host calling from its own parallel region gets a one-thread inner team
// while the runtime plans for eight: that thread still runs every range.
TEST_F(TaskRuntime, AReducedTeamStillCoversEveryRange) {
  omp_set_dynamic(0);
  for (int type : {2, 3}) {
    Recorder rec;
    omp_set_max_active_levels(1);
#pragma omp parallel num_threads(2)
    {
      omp_set_num_threads(8);
#pragma omp single
      launch(rec, 2048, type);
    }
    EXPECT_EQ(rec.ranges, uniform(0, 8, 256)) << "type " << type;
  }
}

TEST_F(TaskRuntime, NonPositiveCountsCallNothingAndUnknownTypesThrow) {
  Recorder rec;
  omp_set_num_threads(8);
  for (int type : {2, 3})
    for (int count : {0, -1, -100}) launch(rec, count, type);
  for (int type : {0, 1, 4})
    for (int count : {0, 10}) {
      try {
        launch(rec, count, type);
        ADD_FAILURE() << "no exception for type " << type;
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "ispc: Unsupported launch type: " + std::to_string(type));
      }
    }
  EXPECT_TRUE(rec.ranges.empty());
  ISPCSync(&rec);
}

TEST(ArgumentBlock, GrowsOnlyAndKeepsItsAlignment) {
  void* a = ISPCAlloc(nullptr, 16, 32);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 32, 0u);
  void* b = ISPCAlloc(nullptr, 48, 32);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 32, 0u);
  static_cast<char*>(b)[47] = 1;  // the whole block is usable
  EXPECT_EQ(ISPCAlloc(nullptr, 16, 32), b);
  EXPECT_EQ(ISPCAlloc(nullptr, 48, 32), b);
}

TEST(ThreadQueriesAndInstrument, ReportTheTeamAndLogOnlyAtLevelTwo) {
  EXPECT_EQ(ISPCNumThreads(), omp_get_max_threads());
  EXPECT_EQ(ISPCThreadNum(), 0);
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

}  // namespace
