// The model interface: the entry points a host calls to bind its buffers, plan
// memory, run the network and release memory, and the process-wide state behind
// them (one device handle, one execution context, the descriptors of the input,
// the output and the 1024 parameters). Every entry point holds the library's
// one entry lock (runtime/qel_lifetime.h), so calls from several threads are
// serialised.
#pragma once
#include <cstdint>

#include "qel_pellavine_params.h"
#include "runtime/qel_export.h"
#include "runtime/qel_records.h"

extern "C" {
// Fills the handle's operation table, the context and every descriptor, once.
QEL_EXPORT void qel_pellavine_init();
// Initialises, then binds the host's input (32 x 32 x 32 x 3 f32) and output
// (32 x 16 x 16 x 1 f32) buffers; every call re-binds both. A null pointer
// leaves the model unbound, so a run is refused.
QEL_EXPORT void qel_pellavine_set_IO(void* input, void* output);
// With n >= 1, runs the network once to plan every intermediate into one arena
// (only the first time). Refused, like a run, while the buffers are not bound.
QEL_EXPORT void qel_pellavine_optimize(int32_t n);
// One forward pass writing the bound output buffer; refused until bound.
QEL_EXPORT void qel_pellavine_run();
QEL_EXPORT void qel_pellavine_get_output();
QEL_EXPORT void qel_pellavine_sync();
QEL_EXPORT void qel_pellavine_free();
QEL_EXPORT void qel_pellavine_free_host();
QEL_EXPORT void qel_pellavine_free_device();
QEL_EXPORT void qel_pellavine_set_seed(int64_t seed);
// set_IO, run and get_output in one call.
QEL_EXPORT void qel_predict(void* input, void* output);

// The network's seed hook; nothing in this network is random, so it does nothing.
QEL_EXPORT void qel_x86_4602A7A4_00000000_D0_seed(const qel_handle_struct* handle, int64_t seed);
}

namespace qel {
namespace pellavine {

inline constexpr int64_t kInputExtents[4] = {32, 32, 32, 3};    // batch, height, width, channels
inline constexpr int64_t kOutputExtents[4] = {32, 16, 16, 1};
inline constexpr char kRefusal[] = "ERROR: Before running the input and output need to be set. Run _set_IO(...) first!";

// Process-wide state, local to the library; declared here for the library's
// own tests.
extern bool s_initialized;
extern bool s_IO_set;
extern qel_handle_struct s_handle_device;
extern qel_ctx_struct s_ctx;
extern qel_tensor_struct s_inputs[1];
extern qel_tensor_struct s_outputs[1];
extern qel_tensor_struct s_params[params::kCount];
extern uint64_t s_vdims;

}  // namespace pellavine
}  // namespace qel
