// The model's lifecycle as a host meets it: each scenario loads the library
// with dlopen in a fresh process (model_host), drives the entry points and
// reports what it sees; standard output and exit status are compared whole.
#include <gtest/gtest.h>

#include <string>

#include "tests/child_process.h"

namespace {

const std::string kRefusal = "ERROR: Before running the input and output need to be set. Run _set_IO(...) first!\n";

ChildResult run_host(const std::string& scenario) {
  return run_program(QEL_MODEL_HOST, {QEL_LIBRARY_PATH, scenario});
}

class Lifecycle : public ::testing::Test {
 protected:
  void expect(const std::string& scenario, const std::string& transcript) {
    const ChildResult r = run_host(scenario);
    EXPECT_TRUE(r.exited) << r.out;
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, transcript);
  }
};

// Refused before binding, also after init and for null buffers, and nothing
// else is printed or written; planning is refused the same way. Binding both
// buffers afterwards works as on a fresh library.
TEST_F(Lifecycle, RefusesUntilBothBuffersAreBound) {
  expect("refusal",
         "run on a fresh library\n" + kRefusal +
             "output: untouched\n"
             "optimize 0 before binding\n"
             "init, then run\n" + kRefusal +
             "optimize 1 before binding\n" + kRefusal +
             "bind a null input, then run\n" + kRefusal +
             "output: untouched\n"
             "bind a null output, then run and optimize 1\n" + kRefusal + kRefusal +
             "output: untouched\n"
             "bind both, then run\n"
             "output: right\n"
             "done\n");
}

TEST_F(Lifecycle, PredictOnAFreshLibrary) {
  expect("predict",
         "predict on a fresh library\n"
         "output: right\n"
         "predict again\n"
         "output: right\n"
         "done\n");
}

// A second binding moves both reading and writing to the new buffers.
TEST_F(Lifecycle, RebindingMovesBothBuffers) {
  expect("rebind",
         "bind A, run\n"
         "output A: right\n"
         "bind B, run\n"
         "output B: right\n"
         "output A: untouched\n"
         "change input A, run\n"
         "output A: untouched\n"
         "output B: right\n"
         "done\n");
}

// The planning run is a complete run; later runs replay the plan, also on new
// buffers; after the release runs still work and a second release does nothing.
TEST_F(Lifecycle, PlanningReplayAndRelease) {
  expect("plan",
         "bind A, optimize 0 and -5\n"
         "output A: untouched\n"
         "optimize 1\n"
         "output A: right\n"
         "optimize 1 again\n"
         "output A: untouched\n"
         "run twice\n"
         "output A: right\n"
         "output A: right\n"
         "bind B, run\n"
         "output B: right\n"
         "free, run, free again\n"
         "output B: right\n"
         "done\n");
}

TEST_F(Lifecycle, NoOpEntryPointsAndSeedChangeNothing) {
  expect("no-ops",
         "get_output, sync, free_host, free, free_device on a fresh library, twice\n"
         "set_seed 0, -1 and 123456789, then predict\n"
         "output: right\n"
         "free without a plan, then run\n"
         "output: right\n"
         "done\n");
}

}  // namespace
