// A host process for the model library: loads it with dlopen, drives one
// scenario of the interface's lifecycle and prints what it observes, one line
// per step, between the lines the library prints itself. The test compares the
// whole standard output and the exit status.
//   model_host LIBRARY SCENARIO
// A result counts as right when it is finite, covers the whole output buffer
// and equals, bit for bit, the first result the library gave for the same
// input (the values themselves are checked against an independent reference
// by the network's own tests).
#include <dlfcn.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kIn = 32 * 32 * 32 * 3;
constexpr size_t kOut = 32 * 16 * 16;
constexpr float kSentinel = -12345.0f;

using VoidFn = void (*)();
using BindFn = void (*)(void*, void*);
using OptimizeFn = void (*)(int32_t);
using SeedFn = void (*)(int64_t);

struct Library {
  VoidFn init, run, get_output, sync, free_all, free_host, free_device;
  BindFn set_IO, predict;
  OptimizeFn optimize;
  SeedFn set_seed;
};

void* need(void* lib, const char* name) {
  void* p = dlsym(lib, name);
  if (p == nullptr) {
    std::printf("missing entry point %s\n", name);
    std::exit(3);
  }
  return p;
}

template <typename Fn>
Fn entry(void* lib, const char* name) {
  Fn f;
  void* p = need(lib, name);
  std::memcpy(&f, &p, sizeof f);
  return f;
}

void say(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

std::vector<float> make_input(uint32_t seed) {
  std::vector<float> v(kIn);
  uint32_t x = seed;
  for (float& f : v) {
    x = x * 1664525u + 1013904223u;
    f = static_cast<float>(static_cast<int32_t>(x >> 8) - (1 << 23)) / static_cast<float>(1 << 23);
  }
  return v;
}

struct Buffers {
  std::vector<float> in, out;
  explicit Buffers(uint32_t seed) : in(make_input(seed)), out(kOut, kSentinel) {}
  void clear() { out.assign(kOut, kSentinel); }
};

class Oracle {
 public:
  // Whether out is the network's result for in.
  bool right(const std::vector<float>& in, const std::vector<float>& out) {
    for (float v : out)
      if (!std::isfinite(v) || v == kSentinel) return false;
    auto known = seen_.find(in);
    if (known == seen_.end()) {
      seen_.emplace(in, out);
      return true;
    }
    return std::memcmp(known->second.data(), out.data(), kOut * sizeof(float)) == 0;
  }

 private:
  std::map<std::vector<float>, std::vector<float>> seen_;
};

bool untouched(const std::vector<float>& out) {
  for (float v : out)
    if (v != kSentinel) return false;
  return true;
}

void report_result(Oracle& oracle, const Buffers& b, const char* label) {
  std::printf("%s: %s\n", label, oracle.right(b.in, b.out) ? "right" : "WRONG");
  std::fflush(stdout);
}

void report_untouched(const Buffers& b, const char* label) {
  std::printf("%s: %s\n", label, untouched(b.out) ? "untouched" : "WRITTEN");
  std::fflush(stdout);
}

void refusal(Library& L, Oracle& oracle) {
  Buffers a(1);
  say("run on a fresh library");
  L.run();
  report_untouched(a, "output");
  say("optimize 0 before binding");
  L.optimize(0);
  say("init, then run");
  L.init();
  L.run();
  say("optimize 1 before binding");
  L.optimize(1);
  say("bind a null input, then run");
  L.set_IO(nullptr, a.out.data());
  L.run();
  report_untouched(a, "output");
  say("bind a null output, then run and optimize 1");
  L.set_IO(a.in.data(), nullptr);
  L.run();
  L.optimize(1);
  report_untouched(a, "output");
  say("bind both, then run");
  L.set_IO(a.in.data(), a.out.data());
  L.run();
  report_result(oracle, a, "output");
}

void predict(Library& L, Oracle& oracle) {
  Buffers a(2);
  say("predict on a fresh library");
  L.predict(a.in.data(), a.out.data());
  report_result(oracle, a, "output");
  say("predict again");
  a.clear();
  L.predict(a.in.data(), a.out.data());
  report_result(oracle, a, "output");
}

void rebind(Library& L, Oracle& oracle) {
  Buffers a(3), b(4);
  say("bind A, run");
  L.set_IO(a.in.data(), a.out.data());
  L.run();
  report_result(oracle, a, "output A");
  say("bind B, run");
  a.clear();
  L.set_IO(b.in.data(), b.out.data());
  L.run();
  report_result(oracle, b, "output B");
  report_untouched(a, "output A");
  say("change input A, run");
  a.in = make_input(5);
  b.clear();
  L.run();
  report_untouched(a, "output A");
  report_result(oracle, b, "output B");
}

void plan(Library& L, Oracle& oracle) {
  Buffers a(6), b(7);
  say("bind A, optimize 0 and -5");
  L.set_IO(a.in.data(), a.out.data());
  L.optimize(0);
  L.optimize(-5);
  report_untouched(a, "output A");
  say("optimize 1");
  L.optimize(1);
  report_result(oracle, a, "output A");
  say("optimize 1 again");
  a.clear();
  L.optimize(1);
  report_untouched(a, "output A");
  say("run twice");
  L.run();
  report_result(oracle, a, "output A");
  a.clear();
  L.run();
  report_result(oracle, a, "output A");
  say("bind B, run");
  L.set_IO(b.in.data(), b.out.data());
  L.run();
  report_result(oracle, b, "output B");
  say("free, run, free again");
  b.clear();
  L.free_all();
  L.run();
  report_result(oracle, b, "output B");
  L.free_all();
  L.free_device();
}

void no_ops(Library& L, Oracle& oracle) {
  Buffers a(8);
  say("get_output, sync, free_host, free, free_device on a fresh library, twice");
  for (int i = 0; i < 2; ++i) {
    L.get_output();
    L.sync();
    L.free_host();
    L.free_all();
    L.free_device();
  }
  say("set_seed 0, -1 and 123456789, then predict");
  L.set_seed(0);
  L.set_seed(-1);
  L.set_seed(123456789);
  L.predict(a.in.data(), a.out.data());
  report_result(oracle, a, "output");
  say("free without a plan, then run");
  a.clear();
  L.free_all();
  L.run();
  L.get_output();
  L.sync();
  report_result(oracle, a, "output");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s LIBRARY SCENARIO\n", argv[0]);
    return 2;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::printf("cannot load %s: %s\n", argv[1], dlerror());
    return 3;
  }
  Library L{entry<VoidFn>(lib, "qel_pellavine_init"),       entry<VoidFn>(lib, "qel_pellavine_run"),
            entry<VoidFn>(lib, "qel_pellavine_get_output"), entry<VoidFn>(lib, "qel_pellavine_sync"),
            entry<VoidFn>(lib, "qel_pellavine_free"),       entry<VoidFn>(lib, "qel_pellavine_free_host"),
            entry<VoidFn>(lib, "qel_pellavine_free_device"), entry<BindFn>(lib, "qel_pellavine_set_IO"),
            entry<BindFn>(lib, "qel_predict"),              entry<OptimizeFn>(lib, "qel_pellavine_optimize"),
            entry<SeedFn>(lib, "qel_pellavine_set_seed")};
  Oracle oracle;
  const std::string scenario = argv[2];
  if (scenario == "refusal") refusal(L, oracle);
  else if (scenario == "predict") predict(L, oracle);
  else if (scenario == "rebind") rebind(L, oracle);
  else if (scenario == "plan") plan(L, oracle);
  else if (scenario == "no-ops") no_ops(L, oracle);
  else {
    std::printf("unknown scenario %s\n", scenario.c_str());
    return 2;
  }
  say("done");
  return 0;
}
