// Model initialisation in-process: the state after load, what init stores in
// the handle, the context and the 1026 descriptors (checked against shapes
// worked out independently), that a second init stores nothing, and how run
// and optimize hand the context to the network function.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "param_rules.h"
#include "qel_pellavine.h"
#include "recording_network.h"
#include "runtime/qel_memory.h"

extern "C" const char _binary_qel_pellavine_P0_D0_Output_start[];
extern "C" const char _binary_qel_pellavine_P1023_D0_Output_end[];

namespace {

using namespace qel::pellavine;

bool all_zero(const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i] != 0) return false;
  return true;
}

void expect_plain_f32(const qel_tensor_struct& t, const char* what) {
  EXPECT_EQ(t.dtype, 11) << what;
  EXPECT_EQ(t.mirror_handle, nullptr) << what;
  EXPECT_EQ(t.mirror_aux, 0u) << what;
  EXPECT_EQ(t.mirror_ptr, nullptr) << what;
  EXPECT_EQ(t.data_handle, &s_handle_device) << what;
  EXPECT_EQ(t.data_aux, 0u) << what;
}

// Comes first: in a process of its own (as CTest runs it) nothing has
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

  // A refused run initialises nothing.
  testing::internal::CaptureStdout();
  qel_pellavine_run();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(kRefusal) + "\n");
  EXPECT_FALSE(s_initialized);
  EXPECT_TRUE(all_zero(&s_ctx, sizeof s_ctx));
  EXPECT_EQ(s_handle_device.malloc, nullptr);

  qel_pellavine_init();
  EXPECT_TRUE(s_initialized);
  EXPECT_FALSE(s_IO_set) << "init binds nothing";
  EXPECT_EQ(s_handle_device.malloc, &qel::nvidia::deployment_malloc);
  EXPECT_EQ(s_handle_device.free, &qel::nvidia::deployment_free);
  EXPECT_EQ(s_handle_device.memset, &qel::nvidia::deployment_memset);
  EXPECT_EQ(s_handle_device.init, &qel::nvidia::deployment_init);
  for (void* spare : s_handle_device.spare) EXPECT_EQ(spare, nullptr);
  EXPECT_STREQ(s_handle_device.device.name, "x86");
  EXPECT_EQ(s_handle_device.opaque, nullptr);

  EXPECT_EQ(s_ctx.inputs, s_inputs);
  EXPECT_EQ(s_ctx.params, s_params);
  EXPECT_EQ(s_ctx.outputs, s_outputs);
  EXPECT_TRUE(all_zero(s_ctx.reserved0, sizeof s_ctx.reserved0));
  EXPECT_EQ(s_ctx.vdims, &s_vdims);
  EXPECT_EQ(s_vdims, 0u);
  EXPECT_TRUE(all_zero(s_ctx.reserved1, sizeof s_ctx.reserved1));
  EXPECT_EQ(s_ctx.aux_handle, &s_handle_device);
  EXPECT_EQ(s_ctx.alloc_handle, &s_handle_device);
  EXPECT_EQ(s_ctx.num_inputs, 1);
  EXPECT_EQ(s_ctx.num_params, 1024);
  EXPECT_EQ(s_ctx.num_outputs, 1);

  const int64_t in[8] = {32, 32, 32, 3, 0, 0, 0, 0}, out[8] = {32, 16, 16, 1, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(s_inputs[0].extents, in, sizeof in), 0);
  EXPECT_EQ(std::memcmp(s_outputs[0].extents, out, sizeof out), 0);
  EXPECT_EQ(s_inputs[0].count, 98304);
  EXPECT_EQ(s_outputs[0].count, 8192);
  EXPECT_EQ(s_inputs[0].rank, 4);
  EXPECT_EQ(s_outputs[0].rank, 4);
  EXPECT_EQ(s_inputs[0].data, nullptr);
  EXPECT_EQ(s_outputs[0].data, nullptr);
  expect_plain_f32(s_inputs[0], "input");
  expect_plain_f32(s_outputs[0], "output");
}

TEST(ParamDescriptors, MatchTheShapeRules) {
  qel_pellavine_init();
  const std::vector<rules::Param> want = rules::expected_params();
  ASSERT_EQ(want.size(), 1024u);
  int weights = 0;
  for (int n = 0; n < 1024; ++n) {
    const qel_tensor_struct& t = s_params[n];
    const rules::Param& w = want[static_cast<size_t>(n)];
    ASSERT_EQ(t.rank, w.rank) << "P" << n;
    for (int i = 0; i < 8; ++i) ASSERT_EQ(t.extents[i], i < w.rank ? w.e[i] : 0) << "P" << n << " extent " << i;
    ASSERT_EQ(t.count, w.count()) << "P" << n;
    ASSERT_NE(t.data, nullptr) << "P" << n;
    expect_plain_f32(t, "parameter");
    // The generator draws by kind, so the table's kinds must be right too.
    EXPECT_EQ(static_cast<int>(qel::params::kShapes[static_cast<size_t>(n)].kind), static_cast<int>(w.kind)) << "P" << n;
    weights += w.rank == 4;
  }
  EXPECT_EQ(weights, 210);

  // Landmarks named by the network's description.
  const auto shape = [](int n) {
    const qel_tensor_struct& t = s_params[n];
    return std::vector<int64_t>(t.extents, t.extents + t.rank);
  };
  EXPECT_EQ(shape(0), (std::vector<int64_t>{7, 7, 3, 64}));
  EXPECT_EQ(s_params[0].count, 9408);
  EXPECT_EQ(shape(19), (std::vector<int64_t>{1, 1, 96, 128}));
  EXPECT_EQ(shape(24), (std::vector<int64_t>{3, 3, 128, 32}));
  EXPECT_EQ(shape(990), (std::vector<int64_t>{1888}));
  EXPECT_EQ(shape(994), (std::vector<int64_t>{1, 1, 1888, 128}));
  EXPECT_EQ(shape(999), (std::vector<int64_t>{3, 3, 128, 32}));
  EXPECT_EQ(shape(1006), (std::vector<int64_t>{3, 3, 1216, 480}));
  EXPECT_EQ(s_params[1006].count, 5253120);
  EXPECT_EQ(shape(1023), (std::vector<int64_t>{1}));
  EXPECT_EQ(s_params[1023].count, 1);
}

TEST(ParamDescriptors, GroupTotals) {
  qel_pellavine_init();
  struct Group {
    int first, last;
    int64_t values;
  };
  const Group groups[] = {{0, 8, 9920},        {9, 64, 338048},      {65, 73, 34304},
                          {74, 189, 929536},   {190, 198, 134144},   {199, 674, 8179712},
                          {675, 683, 1616384}, {684, 999, 7072256},  {1000, 1003, 7680},
                          {1004, 1023, 11594581}};
  int64_t all = 0;
  for (const Group& g : groups) {
    int64_t sum = 0;
    for (int n = g.first; n <= g.last; ++n) sum += s_params[n].count;
    EXPECT_EQ(sum, g.values) << "parameters " << g.first << "-" << g.last;
    all += sum;
  }
  EXPECT_EQ(all, 29916565);
}

// The descriptors point at the embedded blobs, which follow one another in
// index order without gaps.
TEST(ParamDescriptors, PointIntoContiguousBlobs) {
  qel_pellavine_init();
  const std::vector<rules::Param> want = rules::expected_params();
  const char* base = static_cast<const char*>(s_params[0].data);
  EXPECT_EQ(base, _binary_qel_pellavine_P0_D0_Output_start);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 32, 0u);
  int64_t offset = 0;
  for (int n = 0; n < 1024; ++n) {
    const char* p = static_cast<const char*>(s_params[n].data);
    ASSERT_EQ(p - base, offset) << "P" << n;
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    EXPECT_EQ(a % 16, 0u) << "P" << n;
    EXPECT_EQ(a % 32 == 0, n != 1020 && n != 1021 && n != 1023) << "P" << n;
    offset += 4 * want[static_cast<size_t>(n)].count();
  }
  EXPECT_EQ(offset, 119666260);
  EXPECT_EQ(base + offset, _binary_qel_pellavine_P1023_D0_Output_end);
}

TEST(ParamDescriptors, EmbeddedBytesEqualTheBlobFiles) {
  qel_pellavine_init();
  std::vector<char> file;
  for (int n = 0; n < 1024; ++n) {
    std::ifstream f(std::string(QEL_PARAMS_BLOB_DIR) + "/qel_pellavine_P" + std::to_string(n) + "_D0_Output",
                    std::ios::binary | std::ios::ate);
    ASSERT_TRUE(f) << "P" << n;
    file.resize(static_cast<size_t>(f.tellg()));
    f.seekg(0);
    f.read(file.data(), static_cast<std::streamsize>(file.size()));
    ASSERT_EQ(static_cast<int64_t>(file.size()), 4 * s_params[n].count) << "P" << n;
    ASSERT_EQ(std::memcmp(file.data(), s_params[n].data, file.size()), 0) << "P" << n;
  }
}

float g_in[98304], g_out[8192], g_in2[98304], g_out2[8192];

void fill(float* p, size_t n, float scale) {
  for (size_t i = 0; i < n; ++i) p[i] = scale * static_cast<float>(static_cast<int>(i % 97) - 48);
}

TEST(Init, SecondCallStoresNothing) {
  fill(g_in, 98304, 0.5f);
  qel_pellavine_set_IO(g_in, g_out);
  // Mark fields that a repeated fill would overwrite.
  s_params[7].extents[7] = 99;
  s_ctx.num_params = 5;
  s_handle_device.spare[2] = &s_vdims;
  std::vector<unsigned char> before(sizeof s_params);
  std::memcpy(before.data(), s_params, sizeof s_params);
  qel_pellavine_init();
  EXPECT_EQ(s_params[7].extents[7], 99);
  EXPECT_EQ(s_ctx.num_params, 5);
  EXPECT_EQ(s_handle_device.spare[2], &s_vdims);
  EXPECT_EQ(std::memcmp(before.data(), s_params, sizeof s_params), 0);
  EXPECT_EQ(s_inputs[0].data, g_in) << "the binding survives init";
  EXPECT_EQ(s_outputs[0].data, g_out);
  s_params[7].extents[7] = 0;
  s_ctx.num_params = 1024;
  s_handle_device.spare[2] = nullptr;
}

bool output_right(const float* in, const float* out) {
  const float bias = *static_cast<const float*>(s_params[1023].data);
  for (int i = 0; i < 8192; ++i) {
    const float want = 2.0f * in[i] + bias;
    if (std::memcmp(&want, &out[i], 4) != 0) return false;
  }
  return true;
}

TEST(Run, HandsTheContextToTheNetwork) {
  fill(g_in, 98304, 0.25f);
  qel_pellavine_set_IO(g_in, g_out);
  const int before = recording::calls;
  qel_pellavine_run();
  EXPECT_EQ(recording::calls, before + 1);
  EXPECT_EQ(recording::last_ctx, &s_ctx);
  EXPECT_TRUE(output_right(g_in, g_out));
  EXPECT_EQ(qel::nvidia::state().position, 0);

  fill(g_in2, 98304, -1.5f);
  qel_predict(g_in2, g_out2);
  EXPECT_EQ(recording::calls, before + 2);
  EXPECT_EQ(s_inputs[0].data, g_in2);
  EXPECT_EQ(s_outputs[0].data, g_out2);
  EXPECT_TRUE(output_right(g_in2, g_out2));
}

// An exception from the network passes out of run unchanged and leaves the
// flags and bindings as they were.
TEST(Run, ExceptionPassesOutAndKeepsTheBinding) {
  qel_pellavine_set_IO(g_in, g_out);
  recording::throw_next = true;
  EXPECT_THROW(qel_pellavine_run(), std::runtime_error);
  EXPECT_TRUE(s_initialized);
  EXPECT_TRUE(s_IO_set);
  EXPECT_EQ(s_inputs[0].data, g_in);
  EXPECT_EQ(s_outputs[0].data, g_out);
  EXPECT_EQ(qel::nvidia::state().position, 0);
  std::memset(g_out, 0, sizeof g_out);
  qel_pellavine_run();
  EXPECT_TRUE(output_right(g_in, g_out));
}

// Planning goes through the handle's slots: the one intermediate of the
// network becomes the plan, and runs are served from the arena.
TEST(Optimize, PlansTheNetworksAllocations) {
  qel::nvidia::reset_state();
  fill(g_in, 98304, 2.0f);
  qel_pellavine_set_IO(g_in, g_out);
  qel_pellavine_optimize(0);
  EXPECT_FALSE(qel::nvidia::state().captured);
  const int before = recording::calls;
  qel_pellavine_optimize(1);
  const qel::nvidia::ManagerState st = qel::nvidia::state();
  EXPECT_EQ(recording::calls, before + 1);
  EXPECT_TRUE(st.captured);
  EXPECT_EQ(st.replay, std::vector<uint64_t>{0});
  EXPECT_EQ(st.peak, 32832u);  // 8192 f32 values reserve 32,768 + 64 bytes
  EXPECT_TRUE(output_right(g_in, g_out));
  std::memset(g_out, 0, sizeof g_out);
  qel_pellavine_run();
  EXPECT_TRUE(output_right(g_in, g_out));
  qel_pellavine_free();
  EXPECT_EQ(qel::nvidia::state().arena, nullptr);
  qel::nvidia::reset_state();
}

}  // namespace
