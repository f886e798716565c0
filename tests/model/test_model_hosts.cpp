// The library under the hosts it may meet (threads calling at once, unloading,
// exit handlers) and the main job's input and output. Every host is a child
// process that loads the library itself; this program never does.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/qel_records.h"
#include "tests/child_process.h"
#include "tests/support/exit_registrations.h"
#include "tests/support/live_heap.h"

#ifdef __SANITIZE_ADDRESS__
// The leak check at exit cannot stop a thread that is still running; the
// child of the exit test turns it off.
static bool g_no_leak_check = false;
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() { return g_no_leak_check; }
#endif

namespace {

using Buffer = std::vector<float>;

struct Model {
  void* lib = dlopen(QEL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  void (*predict)(void*, void*) = reinterpret_cast<void (*)(void*, void*)>(dlsym(lib, "qel_predict"));
  void (*release)() = reinterpret_cast<void (*)()>(dlsym(lib, "qel_pellavine_free"));
  // The exported memory operation that runs a network of the host's.
  using Network = void (*)(const qel_ctx_struct*);
  void (*run)(Network, const qel_ctx_struct*) = reinterpret_cast<void (*)(Network, const qel_ctx_struct*)>(
      dlsym(lib, "_ZN3qel6nvidia14deployment_runEPFvPK14qel_ctx_structES3_"));
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

// Calls from two threads are serialised: each thread gets, bit for bit, what
// a single-threaded run gives for its input.
TEST(Hosts, TwoThreadsPredictingAtOnce) {
  const ChildResult r = run_in_child([] {
    const Model m;
    const Buffer in[2] = {input(1), input(2)};
    const Buffer want[2] = {predicted(m, in[0]), predicted(m, in[1])};
    std::string seen[2];
    auto host = [&](int t) {
      for (int i = 0; i < 2; ++i) seen[t] += predicted(m, in[t]) == want[t] ? "right " : "WRONG ";
    };
    std::thread a(host, 0), b(host, 1);
    a.join();
    b.join();
    std::printf("%s| %s\n", seen[0].c_str(), seen[1].c_str());
  });
  EXPECT_EQ(r.out, "right right | right right \n");
}

size_t threads() {
  size_t n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// Load, run, free, unload, four times, in a host that keeps oneDNN loaded for
// itself (its own load costs a few KiB, more under the sanitizer; the OpenMP
// runtime stays loaded anyway): after the first cycle the live heap stays
// flat, since unloading gives back every primitive, buffer and arena, and the
// OpenMP threads of the unloading thread go each time.
TEST(Hosts, UnloadingReleasesTheHeapAndThreads) {
  const ChildResult r = run_in_child([] {
    for (int cycle = 0; cycle < 4; ++cycle) {
      const Model m;
      predicted(m, input(3));
      if (cycle == 0) dlopen("libdnnl.so.3", RTLD_NOW | RTLD_NOLOAD);
      m.release();
      dlclose(m.lib);
      std::printf("%zu %zu %d\n", live_heap(), threads(), exit_registrations::total());
    }
  });
  std::istringstream lines(r.out);
  size_t heap[4] = {}, threads_after[4] = {};
  int registered[4] = {};
  for (int c = 0; c < 4; ++c) lines >> heap[c] >> threads_after[c] >> registered[c];
  ASSERT_TRUE(lines) << r.out;
#ifdef __SANITIZE_ADDRESS__
  // The sanitizer registers an exit handler of its own, never given back,
  // with each one registered, so the C library's list of exit handlers, which
  // reuses the entries of an unloaded library only at its end, grows by two
  // entries (a kind and three words each) per registration. A load registers
  // some, and the library's exit mark again after each oneDNN call that
  // creates something in its first run: how many depends on the processor,
  // so the count is this process's own.
  const size_t exit_handlers = static_cast<size_t>(registered[3] - registered[1]) * 2 * 4 * sizeof(void*);
#else
  const size_t exit_handlers = 0;
#endif
  EXPECT_LT(heap[3], heap[1] + 16384 + exit_handlers) << r.out;
  for (size_t n : threads_after) EXPECT_EQ(n, 1u) << r.out;  // the child's one thread
}

// A host that ran the network on a worker thread, which stays alive, unloads
// the library from its main thread. The worker's OpenMP threads outlive the
// library, parked or (under the active wait policy) spinning in the OpenMP
// runtime: a signal delivered to each of them must find that code still
// there, and the worker keeps working and ends normally.
void on_signal(int) {}
TEST(Hosts, UnloadingWhileAWorkerThreadLives) {
  for (const char* policy : {"PASSIVE", "ACTIVE"}) {
    const ChildResult r = run_in_child([policy] {
      setenv("OMP_WAIT_POLICY", policy, 1);
      setenv("OMP_NUM_THREADS", "4", 1);
      const Model m;
      std::mutex lock;
      std::condition_variable changed;
      int stage = 0;  // 1: the worker ran; 2: the library is unloaded
      std::thread worker([&] {
        predicted(m, input(6));
        std::unique_lock<std::mutex> l(lock);
        stage = 1;
        changed.notify_all();
        changed.wait(l, [&] { return stage == 2; });
      });
      {
        std::unique_lock<std::mutex> l(lock);
        changed.wait(l, [&] { return stage == 1; });
      }
      m.release();
      dlclose(m.lib);
      signal(SIGUSR1, on_signal);
      size_t signalled = 0;
      DIR* d = opendir("/proc/self/task");
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') signalled += syscall(SYS_tgkill, getpid(), atoi(e->d_name), SIGUSR1) == 0;
      closedir(d);
      usleep(100000);
      {
        std::lock_guard<std::mutex> l(lock);
        stage = 2;
      }
      changed.notify_all();
      worker.join();
      std::printf("signalled %s\n", signalled > 2 ? "the OpenMP threads" : "too few threads");
    });
    EXPECT_TRUE(r.exited) << policy;
    EXPECT_EQ(r.status, 0) << policy;
    EXPECT_EQ(r.out, "signalled the OpenMP threads\n") << policy;
  }
}

// Exit handlers run newest first. One registered after a run runs normally;
// one registered before the library was loaded runs after oneDNN's own exit
// handlers have freed the code of its primitives, so every call that would
// run a network says it was refused and does nothing: the output stays as it
// was, and a host's network handed to the exported memory operations is not
// called.
Model* g_model;
Buffer g_want;
int g_host_runs = 0;
void host_network(const qel_ctx_struct*) { ++g_host_runs; }
void predict_at_exit(const char* label) {
  const Buffer out = predicted(*g_model, input(4));
  std::printf("%s: %s\n", label, out == g_want ? "right" : out == Buffer(out.size()) ? "untouched" : "WRONG");
  using Plan = void (*)(Model::Network, const qel_ctx_struct*, int32_t);
  const auto plan =
      reinterpret_cast<Plan>(dlsym(g_model->lib, "_ZN3qel6nvidia19deployment_optimizeEPFvPK14qel_ctx_structES3_i"));
  g_host_runs = 0;
  g_model->run(host_network, nullptr);
  plan(host_network, nullptr, 1);
  std::printf("%s: the host's network ran %d times\n", label, g_host_runs);
}
TEST(Hosts, ExitHandlersBeforeLoadingAndAfterARun) {
  const ChildResult r = run_in_child([] {
    std::atexit([] { predict_at_exit("registered before loading"); });
    g_model = new Model;
    g_want = predicted(*g_model, input(4));
    std::atexit([] { predict_at_exit("registered after a run"); });
    std::exit(0);
  });
  const std::string refused =
      "ERROR: The library is shutting down or was called from inside its own run; nothing was run.\n";
  EXPECT_EQ(r.out,
            "registered after a run: right\n"
            "registered after a run: the host's network ran 2 times\n" +
                refused + "registered before loading: untouched\n" + refused + refused +
                "registered before loading: the host's network ran 0 times\n");
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 0);
}

// A host exits while another thread is in its first run, where the layers
// create their primitives and oneDNN registers exit handlers that free state
// the run uses: the exit waits for that run, whatever the wait policy, and the
// process ends normally. The thread then calls the library in a tight loop
// (a network of the host's, through the exported memory operations), taking
// its lock again and again: no call that begins once the exit has is run.
//
// The exits are timed by what the process registers, never by the clock, so
// that a slow machine only delays them: once oneDNN has registered as many
// handlers as a first run measured beside it registered, the library
// registers its exit mark after the last of them (as soon as that oneDNN
// call returns), and then again after each of its further creation calls,
// as the run sets up its layers. The exit comes at the first of those, and
// halfway through the rest, both well inside the run. Were the mark not
// renewed inside the run, the exit would come halfway through the time the
// rest of the first run took, after oneDNN's handlers, which would then free
// its state under the run. A child still there after 30 s is stopped.
struct FirstRun {
  int others;      // exit handlers registered by others than the library
  int marks;       // the library's registrations after the last of those
  double rest_ms;  // from the last of those to the end of the run
};
constexpr const char* kLibraryName = "libqel_pellavine";
double ms_since(long long ticks) {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double, std::milli>(Clock::now() - Clock::time_point(Clock::duration(ticks))).count();
}
FirstRun first_run_on_a_thread() {
  const ChildResult r = run_in_child([] {
    setenv("OMP_NUM_THREADS", "4", 1);
    const Model m;
    static Buffer in = input(7), out(32 * 16 * 16);
    namespace er = exit_registrations;
    er::restart(kLibraryName);
    std::thread([&m] { m.predict(in.data(), out.data()); }).join();
    std::printf("%d %d %.3f", er::g_others.load(), er::g_library_since_other.load(), ms_since(er::g_last_other));
  });
  FirstRun f{};
  std::istringstream(r.out) >> f.others >> f.marks >> f.rest_ms;
  return f;
}
std::atomic<bool> g_exit_began{false};
int g_runs_after_exit = 0;  // under the library's lock
void counting_network(const qel_ctx_struct*) { g_runs_after_exit += g_exit_began; }
int g_report_fd = -1;
void report_runs_after_exit() { dprintf(g_report_fd, "runs begun after the exit: %d\n", g_runs_after_exit); }
TEST(Hosts, ExitDuringAnotherThreadsFirstRun) {
  const FirstRun first = first_run_on_a_thread();
  ASSERT_GT(first.others, 0) << "a first run registered no exit handler of oneDNN's";
  for (const char* policy : {"PASSIVE", "ACTIVE"})
    for (const int marks : {1, std::max(1, first.marks / 2)}) {
      const ChildResult r = run_in_child([policy, marks, first] {
#ifdef __SANITIZE_ADDRESS__
        g_no_leak_check = true;
#endif
        alarm(30);
        setenv("OMP_WAIT_POLICY", policy, 1);
        setenv("OMP_NUM_THREADS", "4", 1);
        // Registered before loading, so it runs after the library's exit
        // mark; standard output takes the refusals of the looping calls.
        g_report_fd = dup(STDOUT_FILENO);
        std::atexit(report_runs_after_exit);
        freopen("/dev/null", "w", stdout);
        const Model m;
        static Buffer in = input(7), out(32 * 16 * 16);
        namespace er = exit_registrations;
        er::restart(kLibraryName);
        static std::atomic<bool> first_run_done{false};
        std::thread([&m] {
          m.predict(in.data(), out.data());
          first_run_done = true;
          for (;;) m.run(counting_network, nullptr);
        }).detach();
        while (er::g_others < first.others && !first_run_done) usleep(100);
        while (er::g_library_since_other < marks && !first_run_done && ms_since(er::g_last_other) < first.rest_ms / 2)
          usleep(100);
        if (first_run_done) dprintf(g_report_fd, "the first run ended before the exit\n");
        g_exit_began = true;
        std::exit(0);
      });
      const std::string at = std::string(policy) + ", after " + std::to_string(marks) + " marks";
      EXPECT_TRUE(r.exited) << at;
      EXPECT_EQ(r.status, 0) << at;
      EXPECT_EQ(r.out, "runs begun after the exit: 0\n") << at;
    }
}

// ---- The main job ----------------------------------------------------------

// A folder of this test process's own, in which the main job runs.
const std::string& job_dir() {
  static const std::string dir = [] {
    std::string t = testing::TempDir() + "main_job_XXXXXX";
    return std::string(mkdtemp(&t[0])) + "/";
  }();
  return dir;
}

// Runs the main job in its folder after the shell commands `before`, with
// standard error joined to standard output.
ChildResult main_job(const std::string& args, const std::string& before = "") {
  const std::string command = "cd '" + job_dir() + "' && { " + before + " '" QEL_MAIN_JOB "' " + args + "; } 2>&1";
  return run_in_child([&] {
    setsid();  // no controlling terminal, wherever the tests run
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  });
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The names in the job's folder, sorted.
std::string files() {
  std::vector<std::string> names;
  DIR* d = opendir(job_dir().c_str());
  while (dirent* e = readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  std::string all;
  for (const std::string& n : names) all += n + " ";
  return all;
}

constexpr size_t kBatch = 32 * 32 * 32 * 3;
const std::string kGood = "'descr': '<f4', 'fortran_order': False, ";
const std::string kShape = "'shape': (32, 32, 32, 3), }";

// in.npy in the job's folder: header dictionary `dict`, padded as numpy pads
// it, then the first `values` values of `data`. Returns its full path.
std::string npy(const std::string& dict, size_t values = kBatch, const Buffer& data = input(5)) {
  const std::string header = dict + std::string(63 - (10 + dict.size()) % 64, ' ') + "\n";
  const std::string path = job_dir() + "in.npy";
  std::ofstream f(path, std::ios::binary);
  f << "\x93NUMPY\x01" << '\0' << static_cast<char>(header.size() & 0xFF) << static_cast<char>(header.size() >> 8)
    << header;
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(values * sizeof(float)));
  return path;
}

TEST(MainJob, ChecksItsArgumentsAndInputBeforeAnyWork) {
  ChildResult j = main_job("--help 2>/dev/null");
  EXPECT_EQ(j.status, 0);
  EXPECT_EQ(j.out.rfind("usage: ", 0), 0u) << j.out;
  for (const std::string option : {"--input", "--output"}) {
    j = main_job(option + " ''");
    EXPECT_EQ(j.status, 2);
    EXPECT_NE(j.out.find(option + " needs a file name"), std::string::npos) << j.out;
  }
  // An unknown option is named as such, also where a value would follow.
  for (const std::string option : {"--bogus", "--output=out.npy"}) {
    j = main_job("--runs 1 " + option);
    EXPECT_EQ(j.status, 2);
    EXPECT_NE(j.out.find(": unknown option " + option + "\n"), std::string::npos) << j.out;
  }
  // The library is a path: a name without a slash is a file of the current
  // folder, never one found on the system's library path.
  j = main_job("--runs 1 --output out.npy --library libm.so.6");
  EXPECT_EQ(j.status, 2);
  EXPECT_NE(j.out.find(": cannot load the library: ./libm.so.6: "), std::string::npos) << j.out;
  // The output is checked first: its error is the first line, before any
  // other work is done or reported. What the write would refuse is found
  // then: a socket file, /dev/tty without a terminal.
  const std::string socket_file = job_dir() + "socket";
  ASSERT_EQ(mknod(socket_file.c_str(), S_IFSOCK | 0666, 0), 0);
  std::vector<std::pair<std::string, std::string>> refused_outputs = {
      {"/nonexistent/out.npy --input /nonexistent/in.npy", "cannot create /nonexistent/out.npy: "},
      {"socket", "cannot write socket: it is a socket\n"}};
  if (access("/dev/tty", F_OK) == 0) refused_outputs.push_back({"/dev/tty", "cannot write /dev/tty: "});
  for (const auto& [output, message] : refused_outputs) {
    j = main_job("--runs 1 --output " + output);
    EXPECT_EQ(j.status, 2);
    EXPECT_EQ(j.out.find(message), j.out.find(": ") + 2) << j.out;
    EXPECT_EQ(std::count(j.out.begin(), j.out.end(), '\n'), 1) << "more than the refusal: " << j.out;
  }
  std::remove(socket_file.c_str());

  // Each refused input names the file and its fault, and leaves no file.
  const struct {
    std::string dict;
    size_t values;
    std::string message;
  } refused[] = {
      {"{" + kGood + "'shape': (3 2, 3 2, 32, 3), }", kBatch, "malformed .npy header (expected ',' or ')'"},
      {"{'descr': '<f4', 'x': \"'shape': (32, 32, 32, 3)\", 'fortran_order': False, 'shape': (98304,), }", kBatch,
       "malformed .npy header (unexpected or repeated key 'x'"},
      {"{" + kGood + "'shape': (32, 12345678901234567890123, 32, 3), }", kBatch,
       "malformed .npy header (the extent 12345678901234567890123 of the shape is too large"},
      {"{'descr': '>f4', 'fortran_order': False, " + kShape, kBatch, "expected float32 data ('<f4'), found '>f4'"},
      {"{'descr': '<f4', 'fortran_order': True, " + kShape, kBatch, "Fortran-ordered arrays are not supported"},
      {"{" + kGood + "'shape': (32, 32, 3, 32), }", kBatch, "expected shape (32, 32, 32, 3)"},
      {"{" + kGood + kShape, kBatch - 1, "holds fewer values than its shape"},
  };
  for (const auto& [dict, values, message] : refused) {
    const std::string path = npy(dict, values);
    const std::string before = files();
    j = main_job("--runs 1 --input " + path + " --output out.npy");
    EXPECT_NE(j.out.find(path + ": " + message), std::string::npos) << j.out;
    EXPECT_EQ(j.status, 2) << j.out;
    EXPECT_EQ(files(), before) << "a refused input left a file";
  }
  // numpy's own form, keys in any order.
  j = main_job("--runs 1 --output out.npy --input " + npy("{'shape': (32, 32, 32, 3), " + kGood + "}"));
  EXPECT_EQ(j.status, 0) << j.out;
}

// The .npy written holds, bit for bit, what the library itself gives for the
// same batch, in numpy's format 1.0: magic, version, the header's length
// (little-endian), a header dictionary padded with spaces and a newline so
// that the values start at a multiple of 64 bytes, then the values.
TEST(MainJob, WritesExactlyTheLibrarysOutput) {
  const ChildResult library = run_in_child([] {
    const Buffer out = predicted(Model(), input(5));
    std::fwrite(out.data(), sizeof(float), out.size(), stdout);
  });
  ASSERT_EQ(library.out.size(), 32 * 16 * 16 * sizeof(float));
  const ChildResult j = main_job("--runs 1 --output out.npy --input " + npy("{" + kGood + kShape));
  ASSERT_EQ(j.status, 0) << j.out;

  const std::string file = read_file(job_dir() + "out.npy");
  ASSERT_GT(file.size(), 10u);
  EXPECT_EQ(file.compare(0, 8, "\x93NUMPY\x01\x00", 8), 0);
  const size_t start = 10 + (static_cast<unsigned char>(file[8]) | static_cast<unsigned char>(file[9]) << 8);
  EXPECT_EQ(start % 64, 0u);
  ASSERT_LE(start, file.size());
  const std::string header = file.substr(10, start - 10);
  EXPECT_EQ(header.back(), '\n');
  for (const char* item : {"'descr': '<f4'", "'fortran_order': False", "'shape': (32, 16, 16, 1)"})
    EXPECT_NE(header.find(item), std::string::npos) << header;
  EXPECT_TRUE(file.substr(start) == library.out) << "the written values are not the library's";
}

// The summary gives the min and max of the finite values wherever the others
// are: an input of 3e38 throughout the first image makes output value 0 NaN.
// The library is named as a file of the job's folder.
TEST(MainJob, SummarisesTheFiniteValues) {
  Buffer batch = input(5);
  std::fill(batch.begin(), batch.begin() + kBatch / 32, 3e38f);
  npy("{" + kGood + kShape, kBatch, batch);
  const std::string library = job_dir() + "libqel_pellavine.so";
  std::remove(library.c_str());
  ASSERT_EQ(symlink(QEL_LIBRARY_PATH, library.c_str()), 0);
  const ChildResult j = main_job("--runs 1 --library libqel_pellavine.so --input in.npy --output out.npy");
  ASSERT_EQ(j.status, 0) << j.out;
  EXPECT_NE(j.out.find("library: ./libqel_pellavine.so\n"), std::string::npos) << j.out;

  const std::string file = read_file(job_dir() + "out.npy");
  Buffer out(32 * 16 * 16);
  ASSERT_GT(file.size(), out.size() * sizeof(float));
  std::memcpy(out.data(), file.data() + file.size() - out.size() * sizeof(float), out.size() * sizeof(float));
  ASSERT_TRUE(std::isnan(out[0])) << "output value 0 is " << out[0];
  float lo = INFINITY, hi = -INFINITY;
  size_t non_finite = 0;
  for (const float v : out) {
    if (std::isfinite(v)) {
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    } else {
      ++non_finite;
    }
  }
  ASSERT_LT(non_finite, out.size());
  char want[128];
  std::snprintf(want, sizeof want, "summary: min %.6g  max %.6g  mean ", lo, hi);
  EXPECT_NE(j.out.find(want), std::string::npos) << want << "\n" << j.out;
  EXPECT_NE(j.out.find("non-finite " + std::to_string(non_finite) + "\n"), std::string::npos) << j.out;
}

// No run destroys a file: a write that fails part-way keeps the earlier
// output as it was and leaves no temporary file; an output that is the input
// (by name, another spelling, a symbolic or a hard link) is refused before
// any work and the input stays as it was.
TEST(MainJob, NeverLosesAFile) {
  const std::string in = npy("{" + kGood + kShape);
  const std::string batch = read_file(in);
  std::ofstream(job_dir() + "out.npy") << "an earlier result";
  const std::string before = files();
  ChildResult j = main_job("--runs 1 --input in.npy --output out.npy", "ulimit -f 16;");
  EXPECT_EQ(j.status, 2) << j.out;
  EXPECT_NE(j.out.find("cannot write out.npy: File too large"), std::string::npos) << j.out;
  EXPECT_TRUE(read_file(job_dir() + "out.npy") == "an earlier result") << "the earlier output was changed";
  EXPECT_EQ(files(), before);

  for (const char* name : {"link.npy", "hard.npy"}) std::remove((job_dir() + name).c_str());
  ASSERT_EQ(symlink("in.npy", (job_dir() + "link.npy").c_str()), 0);
  ASSERT_EQ(link(in.c_str(), (job_dir() + "hard.npy").c_str()), 0);
  for (const std::string out : {"in.npy", "./in.npy", "link.npy", "hard.npy"}) {
    j = main_job("--runs 1 --input " + in + " --output " + out);
    EXPECT_EQ(j.status, 2) << j.out;
    EXPECT_NE(j.out.find(": --input " + in + " and --output " + out + " name the same file\n"), std::string::npos)
        << j.out;
    EXPECT_EQ(std::count(j.out.begin(), j.out.end(), '\n'), 1) << "more than the refusal: " << j.out;
    EXPECT_TRUE(read_file(in) == batch) << "the input was changed through " << out;
  }
}

// What a normal run writes to a file, for the runs that write elsewhere.
std::string reference_output() {
  static const std::string bytes = [] {
    const ChildResult j = main_job("--runs 1 --output reference.npy");
    EXPECT_EQ(j.status, 0) << j.out;
    return read_file(job_dir() + "reference.npy");
  }();
  return bytes;
}

// An output named /dev/stdout, /dev/fd/N or /proc/self/fd/N is the descriptor
// the job was given, written as it is: appended to after what a file held, or
// into a pipe; so is any other name of the file or pipe that standard output
// or standard error writes to. The summary goes to the other one of the two.
// A descriptor that is closed, open only for reading or open on the input is
// refused before any work, the input kept.
TEST(MainJob, WritesToAnOpenDescriptorAsItIs) {
  const std::string want = reference_output();
  ASSERT_GT(want.size(), 32768u);
  const std::string earlier = "an earlier line\nand another\n";
  const struct {
    std::string before, args;
  } appending[] = {
      {"", "--output /dev/stdout >> job.log"},
      {"exec", "--output /proc/$$/fd/1 >> job.log"},  // the shell's process becomes the job's
      {"", "--output job.log >> job.log"},
      {"", "--output /proc/thread-self/fd/2 2>> job.log"},
  };
  ChildResult j;
  for (const auto& [before, args] : appending) {
    std::ofstream(job_dir() + "job.log") << earlier;
    j = main_job("--runs 1 " + args, before);
    EXPECT_EQ(j.status, 0) << args << ": " << j.out;
    EXPECT_NE(j.out.find(" (32, 16, 16, 1)\nsummary: "), std::string::npos) << args << ": " << j.out;
    EXPECT_TRUE(read_file(job_dir() + "job.log") == earlier + want)
        << args << ": the log did not gain exactly the output";
  }

  for (const std::string name : {"/dev/stdout", "/dev//stdout"}) {
    std::remove((job_dir() + "piped.npy").c_str());
    j = main_job("--runs 1 --output " + name + " | cat > piped.npy");
    EXPECT_NE(j.out.find("summary: "), std::string::npos) << j.out;
    EXPECT_TRUE(read_file(job_dir() + "piped.npy") == want) << name << ": the pipe did not carry the output";
  }

  const std::string in = npy("{" + kGood + kShape);
  const std::string batch = read_file(in);
  const struct {
    std::string args, message;
  } refused[] = {
      {"--output /proc/self/fd/7 7>&-", "cannot write /proc/self/fd/7: descriptor 7 is not open"},
      {"--output /dev/fd/8 8< in.npy", "cannot write /dev/fd/8: descriptor 8 is open for reading only"},
      {"--input in.npy --output /dev/stdout >> in.npy", "--input in.npy and --output /dev/stdout name the same file"},
  };
  for (const auto& [args, message] : refused) {
    j = main_job("--runs 1 " + args);
    EXPECT_EQ(j.status, 2) << args;
    EXPECT_EQ(j.out.find(message), j.out.find(": ") + 2) << j.out;
    EXPECT_EQ(std::count(j.out.begin(), j.out.end(), '\n'), 1) << "more than the refusal: " << j.out;
    EXPECT_TRUE(read_file(in) == batch) << "the input was changed by " << args;
  }
}

// Starts the main job in its folder, in a session of its own, with standard
// input and output on the descriptors given (-1: as they are) and standard
// error into err.log; returns its process ID.
pid_t start_job(const std::string& args, int in, int out) {
  const std::string dir = job_dir(), command = "exec '" QEL_MAIN_JOB "' " + args + " 2> err.log";
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    if (chdir(dir.c_str()) != 0 || (in >= 0 && dup2(in, 0) < 0) || (out >= 0 && dup2(out, 1) < 0)) _exit(127);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// The state letter of a process ('R' running, 'S' asleep, 'Z' ended...).
char process_state(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');
  return end == std::string::npos || end + 2 >= stat.size() ? '?' : stat[end + 2];
}

// Streams as other programs take them. A non-blocking pipe as standard
// output, smaller than the output and read only once it is full and the job
// has ended or sleeps, is waited for until it takes more. One socket as
// standard input and output (as inetd starts a program) brings the input,
// read to its last byte while the peer keeps its side open, and takes the
// output back.
TEST(MainJob, TakesStreamsAsOtherProgramsDo) {
  const std::string in = npy("{" + kGood + kShape), batch = read_file(in);
  const ChildResult j = main_job("--runs 1 --input in.npy --output want.npy");
  ASSERT_EQ(j.status, 0) << j.out;
  const std::string want = read_file(job_dir() + "want.npy");

  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  const int room = fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096);
  ASSERT_TRUE(room > 0 && static_cast<size_t>(room) < want.size()) << room;
  ASSERT_EQ(fcntl(pipe_ends[1], F_SETFL, O_NONBLOCK), 0);
  pid_t pid = start_job("--runs 1 --input in.npy --output /dev/stdout", -1, pipe_ends[1]);
  close(pipe_ends[1]);
  int status = -1;
  bool ended = false;
  for (int queued = 0; !(ended = waitpid(pid, &status, WNOHANG) == pid); usleep(1000))
    if (ioctl(pipe_ends[0], FIONREAD, &queued) == 0 && queued > 0 && process_state(pid) == 'S') break;
  const std::string piped = read_all(pipe_ends[0]);
  close(pipe_ends[0]);
  if (!ended) waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(job_dir() + "err.log");
  EXPECT_TRUE(piped == want) << piped.size() << " of " << want.size() << " bytes";

  int socket_ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, socket_ends), 0);
  pid = start_job("--runs 1 --input /dev/stdin --output /dev/stdout", socket_ends[1], socket_ends[1]);
  close(socket_ends[1]);
  for (ssize_t sent = 0, n; static_cast<size_t>(sent) < batch.size(); sent += n)
    if ((n = send(socket_ends[0], batch.data() + sent, batch.size() - sent, MSG_NOSIGNAL)) <= 0) break;
  const std::string answer = read_all(socket_ends[0]);
  close(socket_ends[0]);
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_file(job_dir() + "err.log");
  EXPECT_TRUE(answer == want) << answer.size() << " of " << want.size() << " bytes";
}

// In a folder with the sticky bit, only the file's owner, the folder's owner
// or root may replace a file: another user's is refused before any work and
// kept. The job, copied into a folder of root's that everyone may write, runs
// there as uid 65534 on a file of root's that everyone may write.
TEST(MainJob, RefusesAnotherUsersFileInAStickyFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can run the job as another user";
  std::string dir = testing::TempDir() + "main_job_sticky_XXXXXX";
  ASSERT_NE(mkdtemp(&dir[0]), nullptr);
  ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
  const std::string job = dir + "/pellavine_run", out = dir + "/out.npy";
  std::ofstream(job, std::ios::binary) << std::ifstream(QEL_MAIN_JOB, std::ios::binary).rdbuf();
  std::ofstream(out) << "root's result";
  ASSERT_EQ(chmod(job.c_str(), 0755) | chmod(out.c_str(), 0666), 0);
  const ChildResult j = run_in_child([&] {
    setsid();
    if (chdir(dir.c_str()) != 0 || setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
      std::printf("cannot run as uid 65534 in %s: %s\n", dir.c_str(), std::strerror(errno));
      _exit(125);
    }
    execl("/bin/sh", "sh", "-c", "exec ./pellavine_run --runs 1 --library '" QEL_LIBRARY_PATH "' --output out.npy 2>&1",
          static_cast<char*>(nullptr));
    _exit(125);
  });
  const std::string kept = read_file(out);
  for (const std::string& file : {job, out}) std::remove(file.c_str());
  rmdir(dir.c_str());
  if (j.status == 125 || j.status == 126) GTEST_SKIP() << j.out;
  EXPECT_EQ(j.status, 2);
  EXPECT_EQ(j.out, "./pellavine_run: cannot replace out.npy: another user's file in a folder with the sticky bit\n");
  EXPECT_EQ(kept, "root's result");
}

// The temporary file's name is the output's, cut short where it would be
// longer than a name in the folder may be.
TEST(MainJob, TakesTheLongestNameTheFolderTakes) {
  const std::string want = reference_output();
  for (const size_t length : {248, 255}) {
    const std::string name(length, 'n');
    const std::string before = files();
    const ChildResult j = main_job("--runs 1 --output " + name);
    EXPECT_EQ(j.status, 0) << j.out;
    EXPECT_TRUE(read_file(job_dir() + name) == want) << length << " bytes";
    std::remove((job_dir() + name).c_str());
    EXPECT_EQ(files(), before);
  }
}

// The summary is the job's report: if it cannot be written (a full device, a
// closed standard output) the job fails, though the output was written.
TEST(MainJob, AnUnwritableSummaryIsAFailure) {
  const struct {
    std::string redirect, cause;
  } unwritable[] = {{"> /dev/full", "No space left on device"}, {">&-", "Bad file descriptor"}};
  for (const auto& [redirect, cause] : unwritable) {
    std::remove((job_dir() + "out.npy").c_str());
    const ChildResult j = main_job("--runs 1 --output out.npy " + redirect);
    EXPECT_EQ(j.status, 2) << redirect;
    EXPECT_NE(j.out.find(": cannot write the summary to standard output: " + cause + " (the output was written)\n"),
              std::string::npos)
        << j.out;
    EXPECT_TRUE(read_file(job_dir() + "out.npy") == reference_output()) << redirect;
  }
}

// An existing output is replaced by a new file that takes its permissions
// but not its set-user-ID, set-group-ID or sticky bit.
TEST(MainJob, ReplacingAnOutputDropsItsSetIdBits) {
  const std::string out = job_dir() + "out.npy";
  std::ofstream(out) << "an earlier result";
  ASSERT_EQ(chmod(out.c_str(), 07750), 0);
  const ChildResult j = main_job("--runs 1 --output out.npy");
  EXPECT_EQ(j.status, 0) << j.out;
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
}

// An interrupt while the output is written (here as it is made durable) ends
// the job as the signal does, and leaves neither a temporary file nor a
// changed earlier output; one that comes as the temporary file replaces the
// output ends the job once it is replaced; one that the job was started with
// ignored stays ignored. The system call tracer delivers each signal to the
// job's main thread as that thread enters the call (the sanitizer's leak
// check, which cannot work under a tracer, is off; SIGQUIT dumps no core).
TEST(MainJob, AnInterruptedWriteLeavesNoTemporaryFile) {
  const std::string want = reference_output(), out = job_dir() + "out.npy";
  const auto interrupted = [](const char* call, const char* sig, const std::string& before = "") {
    return main_job("--runs 1 --output out.npy >/dev/null 2>&1",
                    "ulimit -c 0; " + before + " ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -o /dev/null -e trace=" + call + " -e inject=" + call + ":signal=" + sig);
  };
  std::ofstream(out) << "an earlier result";
  const std::string before = files();
  for (const auto& [sig, status] :
       {std::pair<const char*, int>{"INT", 128 + SIGINT}, {"HUP", 128 + SIGHUP}, {"QUIT", 128 + SIGQUIT}}) {
    EXPECT_EQ(interrupted("fsync", sig).status, status) << sig;
    EXPECT_EQ(files(), before) << sig;
    EXPECT_TRUE(read_file(out) == "an earlier result") << sig;
  }
  EXPECT_EQ(interrupted("rename", "TERM").status, 128 + SIGTERM);
  EXPECT_EQ(files(), before);
  EXPECT_TRUE(read_file(out) == want) << "the rename did not finish";

  std::ofstream(out) << "an earlier result";
  EXPECT_EQ(interrupted("fsync", "HUP", "trap '' HUP;").status, 0);
  EXPECT_TRUE(read_file(out) == want);
}

// VmPeak or VmSize of this process, in kB.
long address_space(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    long kb = 0;
    if (key == std::string(field) + ":" && status >> kb) return kb;
  }
  return -1;
}

// When the library fails (it reports a failure and ends the process, or a
// call throws), the status is 1 and nothing is left at the output path. Out
// of memory: the job runs at one thread, its address space limited to 20 MB
// short of what a host's planning at one thread takes (measured here), so the
// library loads but runs out of memory in its planning run or in the arena
// (about 25 MB) that follows it.
TEST(MainJob, ALibraryFailureLeavesNothingAtTheOutput) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer reserves more address space than any such limit";
#endif
  // What a host's planning at one thread takes: the library's load, its
  // planning run and its arena.
  const ChildResult need = run_in_child([] {
    setenv("OMP_NUM_THREADS", "1", 1);
    const long before = address_space("VmSize");
    void* lib = dlopen(QEL_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    Buffer in = input(5), out(32 * 16 * 16);
    reinterpret_cast<void (*)(void*, void*)>(dlsym(lib, "qel_pellavine_set_IO"))(in.data(), out.data());
    reinterpret_cast<void (*)(int32_t)>(dlsym(lib, "qel_pellavine_optimize"))(1);
    std::printf("%ld", address_space("VmPeak") - before);
  });
  const long limit_kb = std::stol(need.out) - 20 * 1024;
  std::remove((job_dir() + "out.npy").c_str());
  const std::string before = files();
  const ChildResult j =
      main_job("--runs 1 --output out.npy", "ulimit -v " + std::to_string(limit_kb) + "; OMP_NUM_THREADS=1");
  EXPECT_EQ(j.status, 1) << "limit " << limit_kb << " kB: " << j.out;
  // Which allocation fails first depends on the machine's code paths: the
  // arena or an intermediate (the library's report), the shared scratch or
  // oneDNN's own memory (an exception out of the run).
  const bool reported = j.out.find("Message: out of memory") != std::string::npos;
  const bool thrown = j.out.find("the library failed: ") != std::string::npos &&
                      (j.out.find("cannot allocate") != std::string::npos || j.out.find("out_of_memory") != std::string::npos);
  EXPECT_TRUE(reported || thrown) << "limit " << limit_kb << " kB: " << j.out;
  EXPECT_EQ(files(), before) << j.out;
}

}  // namespace
