// The model interface in-process, with a recording stand-in of the network
// function: the state after load, the parameter descriptors (against shape
// rules of the test's own and the blob files), the lifecycle's refusals,
// binding, planning and release, calls from inside a run; and the generated
// parameter set and the embedder's refusals.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "qel_pellavine.h"
#include "runtime/qel_check.h"
#include "runtime/qel_memory.h"
#include "tests/support/param_rules.h"

extern "C" const char _binary_qel_pellavine_P0_D0_Output_start[];
extern "C" const char _binary_qel_pellavine_P1023_D0_Output_end[];

using namespace qel::pellavine;
namespace nv = qel::nvidia;
namespace fs = std::filesystem;

namespace {
int g_calls = 0;
bool g_throw_next = false;
std::function<void()> g_inside;  // called from inside the next run
int g_depth = 0, g_reentries = 0;
constexpr int kOut = 32 * 16 * 16;
struct Depth {
  Depth() { ++g_depth; }
  ~Depth() { --g_depth; }
};
}  // namespace

// The stand-in: checks the input and the head bias like the real schedule,
// allocates one intermediate through the context's handle and writes
// output[i] = 2 x input[i] + P1023[0] through the output descriptor. Entered
// again from inside itself, it counts that and returns at once.
extern "C" void qel_x86_4602A7A4_00000000_D0(const qel_ctx_struct* ctx) {
  if (g_depth > 0) {
    ++g_reentries;
    return;
  }
  const Depth depth;
  EXPECT_EQ(ctx, &s_ctx);
  if (g_inside) {
    const std::function<void()> inside = std::move(g_inside);
    g_inside = nullptr;
    inside();
  }
  qel_tensor_check("net", 850, &ctx->inputs[0], "I0_D0_Output", QEL_F32, 32, 32, 32, 3);
  qel_tensor_check("net", 6569, &ctx->params[1023], "P1023_D0_Output", QEL_F32, 1);
  if (g_throw_next) {
    g_throw_next = false;
    throw std::runtime_error("requested failure");
  }
  qel_tensor_struct tmp{};
  tmp.extents[0] = tmp.count = kOut;
  tmp.rank = 1, tmp.dtype = QEL_F32, tmp.data_handle = ctx->alloc_handle;
  ctx->alloc_handle->malloc(ctx->alloc_handle, &tmp);
  qel_tensor_struct* out = &ctx->outputs[0];
  out->data_handle->malloc(out->data_handle, out);
  const float* in = static_cast<const float*>(ctx->inputs[0].data);
  float* t = static_cast<float*>(tmp.data);
  float* o = static_cast<float*>(out->data);
  for (int i = 0; i < kOut; ++i) t[i] = 2.0f * in[i];
  for (int i = 0; i < kOut; ++i) o[i] = t[i] + *static_cast<const float*>(ctx->params[1023].data);
  tmp.data_handle->free(tmp.data_handle, &tmp);
  ++g_calls;
}

namespace {

std::string blob_path(const std::string& dir, int n) {
  return dir + "/qel_pellavine_P" + std::to_string(n) + "_D0_Output";
}

bool all_zero(const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return std::all_of(b, b + n, [](unsigned char c) { return c == 0; });
}

void expect_plain_f32(const qel_tensor_struct& t, std::vector<int64_t> extents, const std::string& what) {
  int64_t count = 1;
  for (int64_t e : extents) count *= e;
  EXPECT_EQ(t.rank, static_cast<int32_t>(extents.size())) << what;
  extents.resize(8);
  EXPECT_EQ(std::vector<int64_t>(t.extents, t.extents + 8), extents) << what;
  EXPECT_EQ(t.count, count) << what;
  EXPECT_EQ(t.dtype, QEL_F32) << what;
  EXPECT_EQ(t.mirror_handle, nullptr) << what;
  EXPECT_EQ(t.mirror_aux, 0u) << what;
  EXPECT_EQ(t.mirror_ptr, nullptr) << what;
  EXPECT_EQ(t.data_handle, &s_handle_device) << what;
  EXPECT_EQ(t.data_aux, 0u) << what;
}

std::string captured_run(void (*entry)()) {
  testing::internal::CaptureStdout();
  entry();
  return testing::internal::GetCapturedStdout();
}
const std::string kRefused = std::string(kRefusal) + "\n";
const std::string kClosed =
    "ERROR: The library is shutting down or was called from inside its own run; nothing was run.\n";
const std::string kNotDone =
    "ERROR: The library is shutting down or was called from inside its own run; nothing was done.\n";

// Runs first in a process of its own (as CTest runs it): nothing has
// initialised the model yet.
TEST(ModelState, LoadedThenInitialised) {
  if (s_initialized) GTEST_SKIP() << "an earlier test of this process initialised the model";
  EXPECT_FALSE(s_IO_set);
  EXPECT_STREQ(s_handle_device.device.name, "x86");
  EXPECT_EQ(s_handle_device.device.index, 0);
  EXPECT_EQ(s_handle_device.opaque, nullptr);
  EXPECT_TRUE(all_zero(&s_handle_device.malloc, sizeof(void*) * 7)) << "operation slots are null until init";
  EXPECT_TRUE(all_zero(&s_ctx, sizeof s_ctx));
  EXPECT_TRUE(all_zero(s_inputs, sizeof s_inputs));
  EXPECT_TRUE(all_zero(s_outputs, sizeof s_outputs));
  EXPECT_TRUE(all_zero(s_params, sizeof s_params));
  // Run and optimize before anything is bound are refused and initialise nothing.
  EXPECT_EQ(captured_run(qel_pellavine_run), kRefused);
  EXPECT_EQ(captured_run([] { qel_pellavine_optimize(1); }), kRefused);
  EXPECT_FALSE(s_initialized);
  EXPECT_TRUE(all_zero(&s_ctx, sizeof s_ctx));

  qel_pellavine_init();
  EXPECT_TRUE(s_initialized);
  EXPECT_FALSE(s_IO_set) << "init binds nothing";
  // Still refused after init alone.
  EXPECT_EQ(captured_run(qel_pellavine_run), kRefused);
  EXPECT_EQ(g_calls, 0);
}

// Every parameter descriptor has the shape that the shape rules give and
// points at its embedded blob; the blobs follow one another in index order
// without gaps and hold the bytes of the blob files.
TEST(ParamDescriptors, MatchTheShapeRulesAndTheEmbeddedBlobs) {
  qel_pellavine_init();
  const std::vector<rules::Param>& want = rules::params();
  ASSERT_EQ(want.size(), 1024u);
  const char* base = static_cast<const char*>(s_params[0].data);
  EXPECT_EQ(base, _binary_qel_pellavine_P0_D0_Output_start);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 32, 0u);
  int64_t offset = 0;
  std::vector<char> file;
  for (int n = 0; n < 1024; ++n) {
    const std::string name = "P" + std::to_string(n);
    const rules::Param& w = want[static_cast<size_t>(n)];
    expect_plain_f32(s_params[n], w.extents, name);
    // The generator draws by kind, so the table's kinds must be right too.
    EXPECT_EQ(static_cast<int>(qel::params::kShapes[static_cast<size_t>(n)].kind), static_cast<int>(w.kind)) << name;
    ASSERT_EQ(static_cast<const char*>(s_params[n].data) - base, offset) << name;
    std::ifstream f(blob_path(QEL_PARAMS_BLOB_DIR, n), std::ios::binary | std::ios::ate);
    file.resize(f ? static_cast<size_t>(f.tellg()) : 0);
    f.seekg(0).read(file.data(), static_cast<std::streamsize>(file.size()));
    ASSERT_EQ(static_cast<int64_t>(file.size()), 4 * w.count()) << name;
    ASSERT_EQ(std::memcmp(file.data(), s_params[n].data, file.size()), 0) << name;
    offset += 4 * w.count();
  }
  EXPECT_EQ(offset, 119666260);
  EXPECT_EQ(base + offset, _binary_qel_pellavine_P1023_D0_Output_end);
}

float g_in[2][98304], g_out[2][kOut];

void fill(float* in, float scale) {
  for (int i = 0; i < 98304; ++i) in[i] = scale * static_cast<float>(i % 97 - 48);
}
bool output_right(int k) {
  const float bias = *static_cast<const float*>(s_params[1023].data);
  for (int i = 0; i < kOut; ++i) {
    const float want = 2.0f * g_in[k][i] + bias;
    if (std::memcmp(&want, &g_out[k][i], 4) != 0) return false;
  }
  return true;
}
bool untouched(int k) { return all_zero(g_out[k], sizeof g_out[k]); }

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    nv::reset_state();
    fill(g_in[0], 0.5f);
    fill(g_in[1], -1.5f);
    std::memset(g_out, 0, sizeof g_out);
  }
  void TearDown() override { nv::reset_state(); }
};

TEST_F(Lifecycle, RunAndOptimizeAreRefusedUntilBothBuffersAreBound) {
  const int before = g_calls;
  qel_pellavine_set_IO(nullptr, g_out[0]);
  EXPECT_EQ(captured_run(qel_pellavine_run), kRefused);
  qel_pellavine_set_IO(g_in[0], nullptr);
  EXPECT_EQ(captured_run(qel_pellavine_run), kRefused);
  EXPECT_EQ(captured_run([] { qel_pellavine_optimize(1); }), kRefused);
  EXPECT_EQ(captured_run([] { qel_pellavine_optimize(0); }), "");
  EXPECT_EQ(g_calls, before);
  EXPECT_FALSE(nv::state().captured);
  EXPECT_TRUE(untouched(0));
  qel_pellavine_set_IO(g_in[0], g_out[0]);
  EXPECT_EQ(captured_run(qel_pellavine_run), "");
  EXPECT_EQ(g_calls, before + 1);
  EXPECT_TRUE(output_right(0));
  EXPECT_EQ(nv::state().position, 0);
}

// Every binding moves both reading and writing; predict binds and runs.
TEST_F(Lifecycle, RebindingAndPredict) {
  qel_pellavine_set_IO(g_in[0], g_out[0]);
  qel_pellavine_run();
  EXPECT_TRUE(output_right(0));
  std::memset(g_out[0], 0, sizeof g_out[0]);
  qel_predict(g_in[1], g_out[1]);
  EXPECT_TRUE(output_right(1));
  EXPECT_TRUE(untouched(0));
  EXPECT_EQ(s_inputs[0].data, g_in[1]);
  EXPECT_EQ(s_outputs[0].data, g_out[1]);
  fill(g_in[1], 3.0f);
  qel_pellavine_run();
  EXPECT_TRUE(output_right(1));
  // A second init stores nothing: marked fields and the binding survive it.
  s_params[7].extents[7] = 99;
  s_ctx.num_params = 5;
  qel_pellavine_init();
  EXPECT_EQ(s_params[7].extents[7], 99);
  EXPECT_EQ(s_ctx.num_params, 5);
  EXPECT_EQ(s_inputs[0].data, g_in[1]);
  s_params[7].extents[7] = 0;
  s_ctx.num_params = 1024;
}

// The planning run is a complete run that plans the one intermediate; later
// runs replay it; after the release runs still work; the no-op entry points
// and the seed change nothing.
TEST_F(Lifecycle, PlanningReplayReleaseAndNoOps) {
  qel_pellavine_set_IO(g_in[0], g_out[0]);
  qel_pellavine_optimize(0);
  qel_pellavine_optimize(-5);
  EXPECT_TRUE(untouched(0));
  const int before = g_calls;
  qel_pellavine_optimize(1);
  EXPECT_EQ(g_calls, before + 1);
  EXPECT_TRUE(output_right(0));
  EXPECT_EQ(nv::state().replay, std::vector<uint64_t>{0});
  EXPECT_EQ(nv::state().peak, 32832u);  // 8192 f32 values reserve 32,768 + 64 bytes
  std::memset(g_out[0], 0, sizeof g_out[0]);
  qel_pellavine_optimize(1);
  EXPECT_TRUE(untouched(0)) << "a second planning run";
  qel_pellavine_run();
  EXPECT_TRUE(output_right(0));
  qel_pellavine_set_IO(g_in[1], g_out[1]);
  qel_pellavine_run();
  EXPECT_TRUE(output_right(1));
  qel_pellavine_free();
  EXPECT_EQ(nv::state().arena, nullptr);
  std::memset(g_out[1], 0, sizeof g_out[1]);
  for (auto no_op : {qel_pellavine_get_output, qel_pellavine_sync, qel_pellavine_free_host}) no_op();
  qel_pellavine_set_seed(-1);
  qel_pellavine_run();
  qel_pellavine_free();
  qel_pellavine_free_device();
  EXPECT_TRUE(output_right(1));
  EXPECT_EQ(g_calls, before + 4);
}

// An exception from the network passes out of run unchanged and leaves the
// flags and bindings as they were.
TEST_F(Lifecycle, AnExceptionPassesOutAndKeepsTheBinding) {
  qel_pellavine_set_IO(g_in[0], g_out[0]);
  g_throw_next = true;
  EXPECT_THROW(qel_pellavine_run(), std::runtime_error);
  EXPECT_TRUE(s_initialized);
  EXPECT_TRUE(s_IO_set);
  EXPECT_EQ(s_inputs[0].data, g_in[0]);
  EXPECT_EQ(nv::state().position, 0);
  qel_pellavine_run();
  EXPECT_TRUE(output_right(0));
}

// A call from inside a run on the same thread does nothing and says so: the
// calls that would run the network (run, predict, optimize) and those that
// would bind or release (set_IO, free, the exported arena release); the
// network is not entered again, the binding stays, nothing is planned or
// released. The calls that never do anything return in silence.
TEST_F(Lifecycle, CallsFromInsideARunAreRefused) {
  const auto every_entry = [] {
    qel_pellavine_run();
    qel_predict(g_in[1], g_out[1]);
    qel_pellavine_optimize(1);
    qel_pellavine_set_IO(g_in[1], g_out[1]);
    qel_pellavine_free();
    nv::deployment_free_managed_memory();
    qel_pellavine_sync();
  };
  const std::string said = kClosed + kClosed + kClosed + kNotDone + kNotDone + kNotDone;
  qel_pellavine_set_IO(g_in[0], g_out[0]);
  const int before = g_calls;
  g_inside = every_entry;
  EXPECT_EQ(captured_run(qel_pellavine_run), said);
  EXPECT_FALSE(nv::state().captured);
  g_inside = every_entry;
  EXPECT_EQ(captured_run([] { qel_pellavine_optimize(1); }), said);
  EXPECT_EQ(nv::state().replay, std::vector<uint64_t>{0}) << "the planning run's one allocation";
  EXPECT_NE(nv::state().arena, nullptr);
  g_inside = every_entry;
  EXPECT_EQ(captured_run([] { qel_predict(g_in[0], g_out[0]); }), said);
  EXPECT_EQ(g_reentries, 0);
  EXPECT_EQ(g_calls, before + 3);
  EXPECT_TRUE(output_right(0));
  EXPECT_TRUE(untouched(1));
  EXPECT_EQ(s_inputs[0].data, g_in[0]);
  EXPECT_EQ(s_outputs[0].data, g_out[0]);
  EXPECT_NE(nv::state().arena, nullptr);
}

// ---- The generated parameters and the embedder ------------------------------

// Runs a command; returns its exit status and its combined output.
int run(const std::string& cmd, std::string* out) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  const int st = pclose(p);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

struct Moments {
  double n = 0, sum = 0, sq = 0;
  void add(double v) {
    n += 1;
    sum += v;
    sq += v * v;
  }
  double mean() const { return sum / n; }
  double stddev() const { return std::sqrt(sq / n - mean() * mean()); }
};

// The generated set, read where it is embedded (which holds the blob files'
// bytes): each kind of parameter is drawn from its own distribution, every
// blob from a stream of its own.
TEST(Generator, EachKindDrawnFromItsOwnDistribution) {
  if (std::string(QEL_PARAMS_GENERATED) != "TRUE") GTEST_SKIP() << "the build embeds blobs from QEL_PARAMS_DIR";
  qel_pellavine_init();
  Moments kinds[6];  // weights scaled by their standard deviation sqrt(2 / fan-in)
  float lowest[6], highest[6];
  std::fill(lowest, lowest + 6, INFINITY);
  std::fill(highest, highest + 6, -INFINITY);
  for (int n = 0; n < 1024; ++n) {
    const rules::Param& p = rules::params()[static_cast<size_t>(n)];
    const float* v = static_cast<const float*>(s_params[n].data);
    const double sigma = p.kind == rules::kWeight ? std::sqrt(2.0 / static_cast<double>(p.count() / p.extents[3])) : 1;
    Moments own;
    for (int64_t i = 0; i < p.count(); ++i) {
      lowest[p.kind] = std::min(lowest[p.kind], v[i]);
      highest[p.kind] = std::max(highest[p.kind], v[i]);
      own.add(v[i] / sigma);
      kinds[p.kind].add(v[i] / sigma);
    }
    // Large weight tensors on their own: 5 % is over four standard errors at 4096 values.
    if (p.kind == rules::kWeight && p.count() >= 4096) {
      EXPECT_NEAR(own.stddev(), 1.0, 0.05) << "P" << n;
      EXPECT_NEAR(own.mean(), 0.0, 0.08) << "P" << n;
    }
  }
  EXPECT_GE(lowest[rules::kGamma], 0.9f);
  EXPECT_LE(highest[rules::kGamma], 1.1f);
  EXPECT_GT(highest[rules::kGamma] - lowest[rules::kGamma], 0.19f);
  EXPECT_GE(lowest[rules::kVariance], 0.75f);
  EXPECT_LE(highest[rules::kVariance], 1.25f);
  EXPECT_GT(highest[rules::kVariance] - lowest[rules::kVariance], 0.49f);
  for (rules::Kind k : {rules::kWeight, rules::kBeta, rules::kMean, rules::kBias}) {
    EXPECT_NEAR(kinds[k].mean(), 0.0, k == rules::kBias ? 0.002 : 0.01) << k;
    EXPECT_NEAR(kinds[k].stddev(), k == rules::kWeight ? 1.0 : k == rules::kBias ? 0.01 : 0.1,
                k == rules::kWeight ? 0.01 : k == rules::kBias ? 0.0007 : 0.004) << k;
  }
  // Equally shaped blobs differ.
  for (auto [x, y] : {std::make_pair(1, 5), std::make_pair(24, 34)})
    EXPECT_NE(*static_cast<const float*>(s_params[x].data), *static_cast<const float*>(s_params[y].data));
}

// A folder with a missing and a wrongly sized blob is refused, naming both.
TEST(Embedder, RefusesMissingAndWronglySizedBlobs) {
  const fs::path dir = fs::temp_directory_path() / ("qel_model_embed_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (int n = 0; n < 1024; ++n) {
    if (n == 1006)
      std::ofstream(blob_path(dir.string(), n), std::ios::binary) << std::string(12, '\0');
    else if (n != 17)
      fs::create_symlink(blob_path(QEL_PARAMS_BLOB_DIR, n), blob_path(dir.string(), n));
  }
  const std::string asm_file = (dir / "out.s").string();
  std::string out;
  EXPECT_EQ(run(std::string(QEL_EMBED_PARAMS) + " " + dir.string() + " " + asm_file, &out), 1);
  EXPECT_NE(out.find("qel_pellavine_P17_D0_Output is missing"), std::string::npos) << out;
  EXPECT_NE(out.find("qel_pellavine_P1006_D0_Output holds 12 bytes; parameter 1006 needs 21012480"), std::string::npos)
      << out;
  EXPECT_FALSE(fs::exists(asm_file));
  fs::remove_all(dir);
}

}  // namespace
