// The library under the hosts it may meet: two threads calling at once, a host
// that loads and unloads it again and again, a host whose exit handler still
// calls it, and the main job's handling of its input and output. Every host is
// a forked child that loads the library itself; this program never does.
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

// ---- The main job --------------------------------------------------------

struct Job {
  int status;
  std::string out;  // standard output and error
};

// A folder of this test's own for the files of the main job.
const std::string& folder() {
  static const std::string dir = [] {
    std::string t = testing::TempDir() + "main_job_XXXXXX";
    return std::string(mkdtemp(&t[0])) + "/";
  }();
  return dir;
}

Job main_job(const std::string& args) {
  FILE* p = popen(("cd '" + folder() + "' && '" QEL_MAIN_JOB "' " + args + " 2>&1").c_str(), "r");
  Job j{-1, {}};
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) j.out += buf;
  const int st = pclose(p);
  j.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return j;
}

// A .npy file whose header dictionary is `dict`, padded as numpy pads it,
// followed by one batch of data.
std::string npy(const std::string& name, const std::string& dict) {
  std::string header = dict;
  header.append(63 - (10 + header.size()) % 64, ' ');
  header += '\n';
  const std::string path = folder() + name;
  std::ofstream f(path, std::ios::binary);
  f << "\x93NUMPY\x01" << '\0' << static_cast<char>(header.size() & 0xFF) << static_cast<char>(header.size() >> 8)
    << header;
  const Buffer data = input(5);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size() * sizeof(float)));
  return path;
}

TEST(MainJob, ChecksItsArgumentsAndInputBeforeAnyWork) {
  Job j = main_job("--help 2>/dev/null");
  EXPECT_EQ(j.status, 0);
  EXPECT_EQ(j.out.rfind("usage: ", 0), 0u) << j.out;
  for (const std::string option : {"--input", "--output"}) {
    j = main_job(option + " ''");
    EXPECT_EQ(j.status, 2) << option;
    EXPECT_NE(j.out.find(option + " needs a file name"), std::string::npos) << j.out;
  }
  // The output is checked first: nothing is loaded, read or run.
  j = main_job("--input /nonexistent/in.npy --output /nonexistent/out.npy");
  EXPECT_EQ(j.status, 2);
  EXPECT_NE(j.out.find("cannot create /nonexistent/out.npy"), std::string::npos) << j.out;
  EXPECT_EQ(j.out.find("library:"), std::string::npos) << j.out;

  const std::string good = "'descr': '<f4', 'fortran_order': False, ";
  const std::pair<std::string, std::string> bad[] = {
      {"{" + good + "'shape': (3 2, 3 2, 32, 3), }", "expected ',' or ')'"},
      {"{'descr': '<f4', 'note': \"'shape': (32, 32, 32, 3)\", 'fortran_order': False, 'shape': (98304,), }",
       "unexpected or repeated key 'note'"},
      {"{" + good + "'shape': (32, 32, 32, 3), 'shape': (98304,), }", "unexpected or repeated key 'shape'"},
      {"{" + good + "'shape': (32, 12345678901234567890123, 32, 3), }", "12345678901234567890123 of the shape is too large"},
  };
  for (const auto& [dict, message] : bad) {
    const std::string path = npy("bad.npy", dict);
    j = main_job("--input " + path + " --output out.npy");
    EXPECT_EQ(j.status, 2) << dict;
    EXPECT_NE(j.out.find(path + ": malformed .npy header"), std::string::npos) << j.out;
    EXPECT_NE(j.out.find(message), std::string::npos) << j.out;
    EXPECT_NE(access((folder() + "out.npy").c_str(), F_OK), 0) << "a failed run left its output";
  }
  // numpy's own form, keys in any order.
  j = main_job("--runs 1 --output out.npy --input " + npy("good.npy", "{'shape': (32, 32, 32, 3), " + good + "}"));
  EXPECT_EQ(j.status, 0) << j.out;
}

}  // namespace
