// Task runtime of the vectorised kernels: one process-wide argument block,
// launches that split a count of items into ranges run inline or over one
// OpenMP parallel region, and two thread queries for per-thread scratch.
#pragma once
#include <cstdint>

// A kernel task: (argument block, seven zeros, begin, end, zero); processes
// the items begin .. end - 1.
using ispc_task_fn = void (*)(void* args, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                              int32_t, int32_t begin, int32_t end, int32_t);

extern "C" {
void* ISPCAlloc(void** handle, int64_t size, int32_t alignment);
void ISPCLaunch(void** handle, void* task, void* args, int32_t count, int32_t type, int32_t unused);
void ISPCSync(void* handle);
int32_t ISPCNumThreads();
int32_t ISPCThreadNum();
void ISPCInstrument(const char* file, const char* note, int32_t line, uint64_t mask);
}

namespace qel {
namespace parallel {

// Launch type 2: `threads` slots of `chunk` items, the first `remainder` one more.
template <typename Int>
struct ForSchedule {
  Int total;
  Int threads;
  Int chunk;
  Int remainder;
  // Slots that receive items.
  Int slots() const { return threads; }
  // Range of slot t; empty when begin >= end.
  void range(Int t, Int& begin, Int& end) const {
    begin = t * chunk + (t < remainder ? t : remainder);
    end = begin + chunk + (t < remainder ? 1 : 0);
    if (begin >= total) end = begin;
  }
};

// Launch type 3: ranges of `chunk` items (a multiple of 16), the last shorter.
template <typename Int>
struct SIMDSchedule {
  Int total;
  Int tasks;
  Int chunk;
  Int slots() const { return tasks; }
  void range(Int t, Int& begin, Int& end) const {
    begin = t * chunk;
    end = begin + chunk < total ? begin + chunk : total;
    if (begin >= total) end = begin;
  }
};

// Makes the schedules of a launch of `count` items with T threads.
ForSchedule<int> for_schedule(int count, int threads);
SIMDSchedule<int> simd_schedule(int count, int threads);

// Runs fn(begin, end) for every non-empty range of the schedule in one OpenMP
// parallel region. Slot t of the schedule belongs to thread t of a full team;
// thread t of a team of n takes slots t, t + n, ..., so a smaller team (a host
// calling from its own parallel region, dynamic team sizes) still covers them all.
template <typename Schedule, typename Fn>
void run(const Schedule& schedule, Fn fn);

}  // namespace parallel
}  // namespace qel

#include "ispc/ispc_parallel.inl"
