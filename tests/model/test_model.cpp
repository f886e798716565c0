// The model interface in-process, with a recording stand-in of the network
// function: the state after load, what init stores (the handle, the context and
// the 1026 descriptors, checked against shapes worked out independently and the
// blob files), the lifecycle's refusals, binding, planning and release; and the
// generated parameter set and the embedder's refusals.
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
constexpr int kOut = 32 * 16 * 16;
}  // namespace

// The stand-in: checks the input and the head bias like the real schedule,
// allocates one intermediate through the context's handle and writes
// output[i] = 2 x input[i] + P1023[0] through the output descriptor.
extern "C" void qel_x86_4602A7A4_00000000_D0(const qel_ctx_struct* ctx) {
  EXPECT_EQ(ctx, &s_ctx);
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
  EXPECT_TRUE(t.count == count && t.dtype == QEL_F32 && t.mirror_handle == nullptr && t.mirror_aux == 0 &&
              t.mirror_ptr == nullptr && t.data_handle == &s_handle_device && t.data_aux == 0) << what;
}

std::string captured_run(void (*entry)()) {
  testing::internal::CaptureStdout();
  entry();
  return testing::internal::GetCapturedStdout();
}
const std::string kRefused = std::string(kRefusal) + "\n";

// Runs first in a process of its own (as CTest runs it): nothing has
// initialised the model yet.
TEST(ModelState, LoadedThenInitialised) {
  if (s_initialized) GTEST_SKIP() << "an earlier test of this process initialised the model";
  EXPECT_FALSE(s_IO_set);
  EXPECT_STREQ(s_handle_device.device.name, "x86");
  EXPECT_TRUE(s_handle_device.device.index == 0 && s_handle_device.opaque == nullptr);
  EXPECT_TRUE(all_zero(&s_handle_device.malloc, sizeof(void*) * 7)) << "operation slots are null until init";
  EXPECT_TRUE(all_zero(&s_ctx, sizeof s_ctx) && all_zero(s_inputs, sizeof s_inputs) &&
              all_zero(s_outputs, sizeof s_outputs) && all_zero(s_params, sizeof s_params));
  // Run and optimize before anything is bound are refused and initialise nothing.
  EXPECT_EQ(captured_run(qel_pellavine_run), kRefused);
  EXPECT_EQ(captured_run([] { qel_pellavine_optimize(1); }), kRefused);
  EXPECT_FALSE(s_initialized);
  EXPECT_TRUE(all_zero(&s_ctx, sizeof s_ctx));

  qel_pellavine_init();
  EXPECT_TRUE(s_initialized);
  EXPECT_FALSE(s_IO_set) << "init binds nothing";
  const qel_handle_struct& h = s_handle_device;
  EXPECT_TRUE(h.malloc == &nv::deployment_malloc && h.free == &nv::deployment_free &&
              h.memset == &nv::deployment_memset && h.init == &nv::deployment_init && all_zero(h.spare, sizeof h.spare));
  const qel_ctx_struct& c = s_ctx;
  EXPECT_TRUE(c.inputs == s_inputs && c.params == s_params && c.outputs == s_outputs && c.vdims == &s_vdims &&
              s_vdims == 0 && c.aux_handle == &h && c.alloc_handle == &h);
  EXPECT_TRUE(all_zero(c.reserved0, sizeof c.reserved0) && all_zero(c.reserved1, sizeof c.reserved1));
  EXPECT_TRUE(c.num_inputs == 1 && c.num_params == 1024 && c.num_outputs == 1);
  expect_plain_f32(s_inputs[0], {32, 32, 32, 3}, "input");
  expect_plain_f32(s_outputs[0], {32, 16, 16, 1}, "output");
  EXPECT_TRUE(s_inputs[0].data == nullptr && s_outputs[0].data == nullptr);
  // Still refused after init alone.
  EXPECT_EQ(captured_run(qel_pellavine_run), kRefused);
  EXPECT_EQ(g_calls, 0);
}

// Every parameter descriptor has the shape the network's description gives and
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
  EXPECT_TRUE(g_calls == before && !nv::state().captured && untouched(0));
  qel_pellavine_set_IO(g_in[0], g_out[0]);
  EXPECT_EQ(captured_run(qel_pellavine_run), "");
  EXPECT_TRUE(g_calls == before + 1 && output_right(0) && nv::state().position == 0);
}

// Every binding moves both reading and writing; predict binds and runs.
TEST_F(Lifecycle, RebindingAndPredict) {
  qel_pellavine_set_IO(g_in[0], g_out[0]);
  qel_pellavine_run();
  EXPECT_TRUE(output_right(0));
  std::memset(g_out[0], 0, sizeof g_out[0]);
  qel_predict(g_in[1], g_out[1]);
  EXPECT_TRUE(output_right(1) && untouched(0) && s_inputs[0].data == g_in[1] && s_outputs[0].data == g_out[1]);
  fill(g_in[1], 3.0f);
  qel_pellavine_run();
  EXPECT_TRUE(output_right(1));
  // A second init stores nothing: marked fields and the binding survive it.
  s_params[7].extents[7] = 99;
  s_ctx.num_params = 5;
  qel_pellavine_init();
  EXPECT_TRUE(s_params[7].extents[7] == 99 && s_ctx.num_params == 5 && s_inputs[0].data == g_in[1]);
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
  EXPECT_TRUE(s_initialized && s_IO_set && s_inputs[0].data == g_in[0] && nv::state().position == 0);
  qel_pellavine_run();
  EXPECT_TRUE(output_right(0));
}

// ---- The embedded blobs and the build's parameter tools ---------------------



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

// The generated set (read where it is embedded, which holds the blob files'
// bytes) is the one every build of the generator makes: its digest is fixed in
// the build. Each kind of parameter is drawn from its own distribution, every
// blob from a stream of its own.
TEST(Generator, FixedSetDrawnFromEachKindsDistribution) {
  if (std::string(QEL_PARAMS_GENERATED) != "TRUE") GTEST_SKIP() << "the build embeds blobs from QEL_PARAMS_DIR";
  qel_pellavine_init();
  uint64_t digest = 0xcbf29ce484222325ULL;  // FNV-1a over the 32-bit words, in index order
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
      uint32_t w;
      std::memcpy(&w, &v[i], 4);
      digest = (digest ^ w) * 0x100000001b3ULL;
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
  EXPECT_EQ(digest, QEL_EXPECTED_DIGEST);
  EXPECT_TRUE(lowest[rules::kGamma] >= 0.9f && highest[rules::kGamma] <= 1.1f && highest[rules::kGamma] - lowest[rules::kGamma] > 0.19f);
  EXPECT_TRUE(lowest[rules::kVariance] >= 0.75f && highest[rules::kVariance] <= 1.25f &&
              highest[rules::kVariance] - lowest[rules::kVariance] > 0.49f);
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
