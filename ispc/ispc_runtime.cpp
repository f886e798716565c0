#include "ispc/ispc_runtime.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <omp.h>

#include <cstdlib>
#include <string>

#include "ispc/zarno.h"
#include "runtime/qel_check.h"
#include "runtime/qel_lifetime.h"

namespace {

// Set while a launch runs on the calling thread without a parallel region of
// its own: its task then counts as thread 0, as the sizing of per-thread
// scratch by ISPCNumThreads() assumes, even when the caller is itself a
// thread of an enclosing OpenMP team.
thread_local bool t_inline_launch = false;

struct InlineLaunch {
  InlineLaunch() { t_inline_launch = true; }
  ~InlineLaunch() { t_inline_launch = false; }
};

// The process-wide argument block. No exit handler frees it (a host's exit
// handler may still run the network); the library's release does, and a
// later launch allocates it afresh.
struct Buffer {
  int64_t capacity;
  void* ptr;
  bool registered;  // for the release
};
Buffer s_buffer{0, nullptr, false};

void free_buffer() {
  std::free(s_buffer.ptr);
  s_buffer.ptr = nullptr;
  s_buffer.capacity = 0;
}

void release_buffer(void*) {
  free_buffer();
  s_buffer.registered = false;
}
qel::ReleaseHook s_release_hook{&release_buffer, nullptr, nullptr};

// The OpenMP runtime stays mapped once the library has loaded it: every host
// thread that ran the network keeps a team of OpenMP threads, parked or (under
// the active wait policy) spinning in the runtime's code, and only the team of
// the thread that unloads the library can be let go. Marking the runtime as
// never to be unloaded keeps the other teams' code in place, so they keep
// working for their host threads and end with them.
[[maybe_unused]] const bool s_openmp_pinned = [] {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&omp_get_max_threads), &info) == 0 || info.dli_fname == nullptr) return false;
  return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}();

// The team of the releasing thread goes with the library, so that unloading
// leaves no thread of the library's behind. None can be let go from inside a
// parallel region.
const qel::ReleaseAtLoad s_release_threads(qel::ReleaseStage::kRuntime,
                                           [](void*) { omp_pause_resource_all(omp_pause_soft); });

// A thread that ends loads the C library's unwinder on first use, which takes
// the dynamic linker's lock; an unload holds that lock while the release waits
// for the threads above to end. Loading the unwinder now, as the C library
// advises through backtrace(), keeps that wait from deadlocking.
[[maybe_unused]] const int s_unwinder_loaded = [] {
  void* frame[1];
  return backtrace(frame, 1);
}();

}  // namespace

extern "C" void* ISPCAlloc(void**, int64_t size, int32_t alignment) {
  if (size <= s_buffer.capacity) return s_buffer.ptr;
  free_buffer();
  if (!s_buffer.registered) {
    qel::register_release(qel::ReleaseStage::kRuntime, &s_release_hook);
    s_buffer.registered = true;
  }
  // Callers store into the block at once, so a failure ends the run with a report.
  if (posix_memalign(&s_buffer.ptr, static_cast<size_t>(static_cast<int64_t>(alignment)),
                     static_cast<size_t>(size)) != 0) {
    s_buffer.ptr = nullptr;
    const std::string msg = "could not allocate a task argument block of " + std::to_string(size) + " bytes";
    qel_exception_throw("ispc", __FILE__, __LINE__, msg.c_str());
  }
  s_buffer.capacity = size;
  return s_buffer.ptr;
}

qel::parallel::ForSchedule<int> qel::parallel::for_schedule(int count, int threads) {
  if (count <= threads) return {count, count, 1, 0};
  return {count, threads, count / threads, count % threads};
}

qel::parallel::SIMDSchedule<int> qel::parallel::simd_schedule(int count, int threads) {
  const int per = (count + threads - 1) / threads;
  const int chunk = (per + 15) / 16 * 16;
  return {count, (count + chunk - 1) / chunk, chunk};
}

extern "C" void ISPCLaunch(void**, void* task, void* args, int32_t count, int32_t type, int32_t) {
  if (type != 2 && type != 3) zarno_throw("ispc", __FILE__, 80, "Unsupported launch type: %i", type);
  if (count < 1) return;
  const auto fn = reinterpret_cast<ispc_task_fn>(task);
  const auto call = [fn, args](int begin, int end) { fn(args, 0, 0, 0, 0, 0, 0, 0, begin, end, 0); };
  const auto call_inline = [&call](int begin, int end) {
    const InlineLaunch on_caller;
    call(begin, end);
  };
  const int threads = omp_get_max_threads();
  if (type == 2) {
    const auto schedule = qel::parallel::for_schedule(count, threads);
    if (schedule.threads <= 1) return call_inline(0, count);
    qel::parallel::run(schedule, call);
  } else {
    if (count <= 16 || threads == 1) return call_inline(0, count);
    qel::parallel::run(qel::parallel::simd_schedule(count, threads), call);
  }
}

extern "C" void ISPCSync(void*) {}

extern "C" int32_t ISPCNumThreads() { return omp_get_max_threads(); }

extern "C" int32_t ISPCThreadNum() { return t_inline_launch ? 0 : omp_get_thread_num(); }

extern "C" void ISPCInstrument(const char* file, const char* note, int32_t line, uint64_t mask) {
  if (zarno_is_active(2))
    zarno_log(2, "ispc", __FILE__, 26, "%s %s %i %016llX", file, note, line,
              static_cast<unsigned long long>(mask));
}
