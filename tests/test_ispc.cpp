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

// threads 0: as many as the caller has set.
Ranges launch(int count, int type, int threads, Recorder&& rec = Recorder()) {
  if (threads > 0) omp_set_num_threads(threads);
  ISPCLaunch(nullptr, reinterpret_cast<void*>(record_task), &rec, count, type, 0);
  std::sort(rec.ranges.begin(), rec.ranges.end());
  std::sort(rec.threads.begin(), rec.threads.end());
  EXPECT_TRUE(rec.zeros);
  // A full team's ranges go to distinct threads; an inline launch runs as thread 0.
  if (threads > 0) {
    EXPECT_EQ(std::unique(rec.threads.begin(), rec.threads.end()), rec.threads.end()) << "a thread ran two ranges";
  }
  if (rec.ranges.size() == 1) {
    EXPECT_EQ(rec.threads[0], 0);
  }
  return rec.ranges;
}

// `count` ranges of `step` items from `begin`, then `tail`.
Ranges uniform(int begin, int count, int step, Ranges tail = {}) {
  Ranges r;
  for (int i = 0; i < count; ++i) r.emplace_back(begin + i * step, begin + (i + 1) * step);
  r.insert(r.end(), tail.begin(), tail.end());
  return r;
}

TEST(TaskRuntime, RangeSplitsOfSomeCountsAndTeams) {
  // Type 2: one range per thread, the first count mod T one longer; type 3:
  // ranges of a multiple of 16, inline up to 16 items.
  EXPECT_EQ(launch(32, 2, 12), uniform(0, 8, 3, uniform(24, 4, 2)));
  EXPECT_EQ(launch(2048, 2, 12), uniform(0, 8, 171, uniform(1368, 4, 170)));
  EXPECT_EQ(launch(2, 2, 8), uniform(0, 2, 1));
  EXPECT_EQ(launch(100, 2, 1), uniform(0, 1, 100));
  EXPECT_EQ(launch(16, 3, 8), uniform(0, 1, 16));
  EXPECT_EQ(launch(17, 3, 8), uniform(0, 1, 16, {{16, 17}}));
  EXPECT_EQ(launch(1000, 3, 6), uniform(0, 5, 176, {{880, 1000}}));
  EXPECT_EQ(launch(100, 3, 3), uniform(0, 2, 48, {{96, 100}}));
  EXPECT_EQ(launch(100, 3, 1), uniform(0, 1, 100));
}

// Whatever the count and the thread count, the ranges tile 0 .. count.
TEST(TaskRuntime, RangesTileEveryCount) {
  for (int type : {2, 3})
    for (int threads : {1, 2, 3, 5, 8})
      for (int count = 1; count <= 300; count += 7) {
        const Ranges ranges = launch(count, type, threads);
        int next = 0;
        for (auto [b, e] : ranges) {
          ASSERT_EQ(b, next) << type << " " << threads << " " << count;
          ASSERT_LT(b, e) << type << " " << threads << " " << count;
          next = e;
        }
        ASSERT_EQ(next, count) << type << " " << threads << " " << count;
      }
}

// A host calling from its own parallel region gets a one-thread inner team
// while the runtime plans for eight: that thread still runs every range.
TEST(TaskRuntime, AReducedTeamStillCoversEveryRange) {
  omp_set_dynamic(0);
  omp_set_max_active_levels(1);
  for (int type : {2, 3}) {
    Ranges ranges;
#pragma omp parallel num_threads(2)
    {
      omp_set_num_threads(8);
#pragma omp single
      ranges = launch(2048, type, 0);
    }
    EXPECT_EQ(ranges, uniform(0, 8, 256)) << "type " << type;
  }
}

TEST(TaskRuntime, NonPositiveCountsCallNothingAndUnknownTypesThrow) {
  for (int type : {2, 3})
    for (int count : {0, -1, -100}) EXPECT_TRUE(launch(count, type, 8).empty());
  for (int type : {0, 1, 4})
    for (int count : {0, 10}) {
      try {
        launch(count, type, 8);
        ADD_FAILURE() << "no exception for type " << type;
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "ispc: Unsupported launch type: " + std::to_string(type));
      }
    }
  ISPCSync(nullptr);
}

TEST(TaskRuntime, ArgumentBlockThreadQueriesAndInstrumentation) {
  void* a = ISPCAlloc(nullptr, 16, 32);
  void* b = ISPCAlloc(nullptr, 48, 32);  // grows only, keeps the alignment
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(reinterpret_cast<uintptr_t>(b) % 32, 0u);
  static_cast<char*>(b)[47] = 1;
  EXPECT_EQ(ISPCAlloc(nullptr, 16, 32), b);
  EXPECT_EQ(ISPCAlloc(nullptr, 48, 32), b);
  EXPECT_EQ(ISPCNumThreads(), omp_get_max_threads());
  EXPECT_EQ(ISPCThreadNum(), 0);
  testing::internal::CaptureStderr();
  ISPCInstrument("k.ispc", "note", 12, 0xABCull);  // silent below level 2
  zarno::set_level(2);
  ISPCInstrument("k.ispc", "note", 12, 0xABCull);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.find("k.ispc"), log.rfind("k.ispc")) << "logged twice: " << log;
  EXPECT_NE(log.find("k.ispc note 12 0000000000000ABC"), std::string::npos) << log;
}

}  // namespace
