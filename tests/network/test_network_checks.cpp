// Reports of the input and parameter checks: a wrong descriptor ends the run
// with the exact four-line report, its line and exit status 1, after every
// operator before the tensor's first reader has run.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "runtime/qel_memory.h"
#include "tests/child_process.h"
#include "tests/network/recorder.h"

namespace {

int calls_recorded() {
  int n = 0;
  for (const netrec::Event& e : netrec::g_events) n += e.kind == netrec::Event::kCall;
  return n;
}

// Printed at exit, after the report: how many operators ran.
void print_calls() { std::printf("calls: %d\n", calls_recorded()); }

std::string report(int line, const std::string& name, const std::string& expected, const std::string& found,
                   int calls) {
  return "Module: VOKT\nFile: x86/src/qel_x86_4602A7A4_00000000_D0\nLine: " + std::to_string(line) +
         "\nMessage: Wrong input Tensor (" + name + ") detected:\n  Expected: " + expected +
         "\n  Found:    " + found + "\n\ncalls: " + std::to_string(calls) + "\n";
}

void set_shape(qel_tensor_struct& t, std::initializer_list<int64_t> extents) {
  for (int64_t& e : t.extents) e = 0;
  t.rank = static_cast<int32_t>(extents.size());
  int i = 0;
  for (int64_t e : extents) t.extents[i++] = e;
}

struct Case {
  const char* what;
  std::function<void(netrec::TestModel&)> alter;
  std::string expected_output;
};

}  // namespace

TEST(NetworkChecks, AWrongDescriptorIsReportedAtItsLine) {
  const Case cases[] = {
      {"input of rank 0", [](netrec::TestModel& m) { set_shape(m.input, {}); },
       report(850, "I0_D0_Output", "f32, [32, 32, 32, 3]", "f32, []", 0)},
      {"stem weights of type f64", [](netrec::TestModel& m) { m.params[0].dtype = QEL_F64; },
       report(856, "P0_D0_Output", "f32, [7, 7, 3, 64]", "f64, [7, 7, 3, 64]", 1)},
      {"stem normalisation of rank 4", [](netrec::TestModel& m) { set_shape(m.params[1], {1, 1, 1, 64}); },
       report(867, "P1_D0_Output", "f32, [64]", "f32, [1, 1, 1, 64]", 3)},
      {"block 1 bottleneck weights of rank 2", [](netrec::TestModel& m) { set_shape(m.params[9], {64, 128}); },
       report(902, "P9_D0_Output", "f32, [1, 1, 64, 128]", "f32, [64, 128]", 5)},
      {"growth weights with Cin 129", [](netrec::TestModel& m) { m.params[14].extents[2] = 129; },
       report(929, "P14_D0_Output", "f32, [3, 3, 128, 32]", "f32, [3, 3, 129, 32]", 8)},
      {"block 2 layer 11 bottleneck weights", [](netrec::TestModel& m) { m.params[184].extents[3] = 64; },
       report(1870, "P184_D0_Output", "f32, [1, 1, 480, 128]", "f32, [1, 1, 480, 64]", 128)},
      // Beta of the last bottleneck normalisation; extents compare on 64 bits.
      {"block 4 layer 31 beta", [](netrec::TestModel& m) { m.params[996].extents[0] = 128 + (int64_t{1} << 32); },
       report(4632 + 40 + 55 * 30 + 29, "P996_D0_Output", "f32, [128]", "f32, [4294967424]", 478 + 7 * 31 + 3)},
      {"final normalisation of rank 4", [](netrec::TestModel& m) { set_shape(m.params[1000], {1, 1, 1, 1920}); },
       report(6377, "P1000_D0_Output", "f32, [1920]", "f32, [1, 1, 1, 1920]", 702)},
      {"head weights with Cin 61", [](netrec::TestModel& m) { m.params[1022].extents[2] = 61; },
       report(6563, "P1022_D0_Output", "f32, [3, 3, 60, 1]", "f32, [3, 3, 61, 1]", 734)},
      {"head bias of two values", [](netrec::TestModel& m) { m.params[1023].extents[0] = 2; },
       report(6569, "P1023_D0_Output", "f32, [1]", "f32, [2]", 735)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ChildResult r = run_in_child([&c] {
      qel::nvidia::reset_state();
      netrec::TestModel m;
      c.alter(m);
      std::atexit(print_calls);
      m.run();
      std::printf("the run returned\n");
    });
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.expected_output);
  }
}

TEST(NetworkChecks, AScalarHeadBiasPassesAndTheCountIsNotCompared) {
  qel::nvidia::reset_state();
  netrec::TestModel m;
  set_shape(m.params[1023], {});  // rank 0 passes for the expected [1]
  m.params[500].count = -1;
  m.input.count = 0;
  m.run();
  EXPECT_EQ(calls_recorded(), 736);
  qel::nvidia::reset_state();
}
