#include "qel_pellavine.h"

#include <iostream>

#include "network_function.h"
#include "runtime/qel_lifetime.h"
#include "runtime/qel_memory.h"

// Start address of every embedded parameter blob, in index order (written with
// the blobs by the build's embedding step).
extern "C" __attribute__((visibility("hidden"))) void* const qel_params_blob_starts[qel::params::kCount];

namespace qel {
namespace pellavine {

bool s_initialized = false;
bool s_IO_set = false;
// Built when the library loads; its operation slots stay null until init.
qel_handle_struct s_handle_device(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{});
qel_ctx_struct s_ctx{};
qel_tensor_struct s_inputs[1]{};
qel_tensor_struct s_outputs[1]{};
qel_tensor_struct s_params[params::kCount]{};
uint64_t s_vdims = 0;

namespace {

// A whole descriptor of f32 data owned by the device handle's data slot.
qel_tensor_struct descriptor(int32_t rank, const int64_t* extents, void* data) {
  qel_tensor_struct t{};
  t.count = 1;
  for (int32_t i = 0; i < rank; ++i) {
    t.extents[i] = extents[i];
    t.count *= extents[i];
  }
  t.rank = rank;
  t.dtype = QEL_F32;
  t.mirror_handle = nullptr;
  t.mirror_aux = 0;
  t.mirror_ptr = nullptr;
  t.data_handle = &s_handle_device;
  t.data_aux = 0;
  t.data = data;
  return t;
}

// Both buffers bound. A null pointer passed to set_IO does not count as bound:
// running on it would write through null.
bool bound() { return s_initialized && s_IO_set && s_inputs[0].data != nullptr && s_outputs[0].data != nullptr; }

void refuse() { std::cout << kRefusal << std::endl; }

// The entry points' bodies; their callers hold the entry lock.
void init() {
  if (s_initialized) return;

  s_handle_device.malloc = &qel::nvidia::deployment_malloc;
  s_handle_device.free = &qel::nvidia::deployment_free;
  s_handle_device.memset = &qel::nvidia::deployment_memset;
  s_handle_device.init = &qel::nvidia::deployment_init;
  for (void*& slot : s_handle_device.spare) slot = nullptr;

  // The five words after `outputs` and the block behind `vdims` stay zero.
  s_ctx.inputs = s_inputs;
  s_ctx.params = s_params;
  s_ctx.outputs = s_outputs;
  s_ctx.vdims = &s_vdims;
  s_ctx.reserved1[0] = 0;
  s_ctx.reserved1[1] = 0;
  s_ctx.aux_handle = &s_handle_device;
  s_ctx.alloc_handle = &s_handle_device;
  s_ctx.num_inputs = 1;
  s_ctx.num_params = qel::params::kCount;
  s_ctx.num_outputs = 1;

  s_inputs[0] = descriptor(4, kInputExtents, nullptr);
  s_outputs[0] = descriptor(4, kOutputExtents, nullptr);
  // Every parameter points straight at its embedded blob.
  for (int n = 0; n < qel::params::kCount; ++n) {
    const qel::params::Shape& shape = qel::params::kShapes[static_cast<std::size_t>(n)];
    s_params[n] = descriptor(shape.rank, shape.extents, qel_params_blob_starts[n]);
  }

  s_initialized = true;
}

void set_IO(void* input, void* output) {
  init();
  s_IO_set = true;
  s_inputs[0].data = input;
  s_outputs[0].data = output;
}

void run() {
  if (!bound()) {
    refuse();
    return;
  }
  qel::nvidia::run_network(&qel_x86_4602A7A4_00000000_D0, &s_ctx);
}

}  // namespace
}  // namespace pellavine
}  // namespace qel

using namespace qel::pellavine;

// Every entry point holds the library's one entry lock for its whole call, so
// calls from several threads are serialised. A call from inside a run on the
// same thread (an exit handler running while a failed check ends the process)
// or after the library's release does nothing, and says so if it would have
// done something: run the network, or bind, initialise or release.
#define QEL_ENTRY                \
  const qel::EntryLock lock;     \
  if (lock.refused_call()) return
#define QEL_RUN_ENTRY            \
  const qel::EntryLock lock;     \
  if (lock.refused_run()) return
// The calls that never do anything return in silence.
#define QEL_IDLE_ENTRY           \
  const qel::EntryLock lock;     \
  if (lock.refused()) return

extern "C" {

void qel_pellavine_init() {
  QEL_ENTRY;
  init();
}

void qel_pellavine_set_IO(void* input, void* output) {
  QEL_ENTRY;
  set_IO(input, output);
}

void qel_pellavine_optimize(int32_t n) {
  QEL_RUN_ENTRY;
  if (n < 1) return;
  // A planning run is a complete run on the bound buffers.
  if (!bound()) {
    refuse();
    return;
  }
  qel::nvidia::optimize_network(&qel_x86_4602A7A4_00000000_D0, &s_ctx, n);
}

void qel_pellavine_run() {
  QEL_RUN_ENTRY;
  run();
}

// The result stands in the host's output buffer when a run returns.
void qel_pellavine_get_output() { QEL_IDLE_ENTRY; }

// A run returns only after all of its work has finished.
void qel_pellavine_sync() { QEL_IDLE_ENTRY; }

void qel_pellavine_free() {
  QEL_ENTRY;
  qel::nvidia::release_arena();
}

void qel_pellavine_free_device() {
  QEL_ENTRY;
  qel::nvidia::release_arena();
}

// The library holds no host memory of its own: the host owns both buffers.
void qel_pellavine_free_host() { QEL_IDLE_ENTRY; }

void qel_pellavine_set_seed(int64_t seed) {
  QEL_IDLE_ENTRY;
  qel_x86_4602A7A4_00000000_D0_seed(&s_handle_device, seed);
}

// Nothing in this network is random.
void qel_x86_4602A7A4_00000000_D0_seed(const qel_handle_struct*, int64_t) {}

void qel_predict(void* input, void* output) {
  QEL_RUN_ENTRY;
  set_IO(input, output);
  run();
}

}  // extern "C"
