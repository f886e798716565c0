// The library under the hosts it may meet: two threads calling at once, a host
// that loads and unloads it again and again, a host whose exit handler still
// calls it. Every host is a forked child that loads the library itself; this
// program never does.
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/child_process.h"

#ifdef __SANITIZE_ADDRESS__
// The sanitizer's allocator keeps its own count (mallinfo2 knows nothing of it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using Buffer = std::vector<float>;

struct Model {
  void* lib = dlopen(QEL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  void (*predict)(void*, void*) = reinterpret_cast<void (*)(void*, void*)>(dlsym(lib, "qel_predict"));
  void (*release)() = reinterpret_cast<void (*)()>(dlsym(lib, "qel_pellavine_free"));
};

Buffer input(uint32_t seed) {
  Buffer v(32 * 32 * 32 * 3);
  for (float& f : v) f = static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 9) / 4194304.0f - 1.0f;
  return v;
}

Buffer predicted(const Model& m, Buffer in) {
  Buffer out(32 * 16 * 16);
  m.predict(in.data(), out.data());
  return out;
}

const char* verdict(const Buffer& a, const Buffer& b) {
  return std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0 ? "right" : "WRONG";
}

// Calls from two threads are serialised: each thread gets, bit for bit, what
// a single-threaded run gives for its input.
TEST(Hosts, TwoThreadsPredictingAtOnce) {
  const ChildResult r = run_in_child([] {
    const Model m;
    const Buffer in[2] = {input(1), input(2)};
    const Buffer want[2] = {predicted(m, in[0]), predicted(m, in[1])};
    std::string seen[2];
    auto host = [&](int t) {
      for (int i = 0; i < 2; ++i) seen[t] += verdict(predicted(m, in[t]), want[t]) + std::string(" ");
    };
    std::thread a(host, 0), b(host, 1);
    a.join();
    b.join();
    std::printf("%s| %s\n", seen[0].c_str(), seen[1].c_str());
  });
  EXPECT_EQ(r.out, "right right | right right \n");
  EXPECT_TRUE(r.exited && r.status == 0);
}

size_t live_heap() {
#ifdef __SANITIZE_ADDRESS__
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}

size_t threads() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// Load, run, free, unload, four times, in a host that keeps oneDNN and the
// OpenMP runtime loaded for itself (their own loads cost a few KiB each, more
// under the sanitizer): after the first cycle the live heap stays flat, and
// after every cycle the OpenMP threads are gone. Before, each cycle kept the
// library's engine and scratch, megabytes.
TEST(Hosts, UnloadingReleasesTheHeapAndThreads) {
  const ChildResult r = run_in_child([] {
    std::printf("%zu\n", threads());
    for (int cycle = 0; cycle < 4; ++cycle) {
      const Model m;
      predicted(m, input(3));
      for (const char* dependency : {"libdnnl.so.3", "libgomp.so.1"})
        if (cycle == 0) dlopen(dependency, RTLD_NOW | RTLD_NOLOAD);
      m.release();
      dlclose(m.lib);
      std::printf("%zu %zu\n", live_heap(), threads());
    }
  });
  std::istringstream lines(r.out);
  size_t threads_before = 0, heap[4] = {}, threads_after[4] = {};
  lines >> threads_before;
  for (int c = 0; c < 4; ++c) lines >> heap[c] >> threads_after[c];
  ASSERT_TRUE(lines) << r.out;
  EXPECT_LT(heap[3], heap[1] + 16384) << r.out;
  for (size_t n : threads_after) EXPECT_EQ(n, threads_before) << r.out;
}

// Exit handlers run newest first. One that a host registered after the
// library had run runs normally; one registered before the library was loaded
// runs after oneDNN's own exit handlers have freed the code of its primitives,
// so the library then does nothing, and the output is left as it was.
Model* g_model;
Buffer g_want;
void predict_at_exit(const char* label) {
  Buffer out = predicted(*g_model, input(4));
  std::printf("%s: %s\n", label, out == Buffer(out.size()) ? "untouched" : verdict(out, g_want));
}
TEST(Hosts, ExitHandlersBeforeLoadingAndAfterARun) {
  const ChildResult r = run_in_child([] {
    std::atexit([] { predict_at_exit("registered before loading"); });
    g_model = new Model;
    g_want = predicted(*g_model, input(4));
    std::atexit([] { predict_at_exit("registered after a run"); });
    std::exit(0);
  });
  EXPECT_EQ(r.out, "registered after a run: right\nregistered before loading: untouched\n");
  EXPECT_TRUE(r.exited && r.status == 0);
}

}  // namespace
