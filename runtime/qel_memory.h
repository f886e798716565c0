// Memory manager behind the device handle's memory operations: plain heap
// allocation, a capture run that plans every allocation first-fit into one
// arena, and replay of that plan by position in later runs.
#pragma once
#include <cstdint>
#include <utility>
#include <vector>

#include "runtime/qel_export.h"
#include "runtime/qel_records.h"

using qel_network_fn = void (*)(const qel_ctx_struct*);

namespace qel {
namespace nvidia {

// Every exported operation takes the library's entry lock (qel_lifetime.h),
// which a run already holds when it calls the handle operations. A driving
// operation does nothing when called from inside a run on the same thread,
// once the process has begun to exit or after the library was released; the
// two that would run a network say so on standard output.
//
// An operation called with a handle touches only the slots of the tensor
// whose handle it is (the data slot, the mirror slot, both or neither): an
// allocation fills only those, and allocates nothing where the handle owns
// none; a release gives back only what those hold and clears them, so a
// block stays its owner's whatever another handle releases.
//
// Once a plan exists, only the requests of a run are served from the arena,
// by their position in that run; a request outside a run (a host's own) gets
// a heap block. The manager records every heap block it hands out, in every
// mode: a release gives such a block back to the heap once, and only clears
// the slot of anything else (an arena block, a block already given back, a
// pointer the host owns itself), whatever the order of the host's calls. The
// library's release gives back every block still recorded.

// Handle operations, installed in the device handle's slots.
QEL_EXPORT void deployment_malloc(const qel_handle_struct* handle, qel_tensor_struct* t);
QEL_EXPORT void deployment_free(const qel_handle_struct* handle, qel_tensor_struct* t);
QEL_EXPORT void deployment_memset(const qel_handle_struct* handle, const qel_tensor_struct* t,
                                  const void* value, void* stream);
QEL_EXPORT void deployment_init(const qel_handle_struct* handle, qel_tensor_struct* t);

// Driving operations.
QEL_EXPORT void deployment_optimize(qel_network_fn network, const qel_ctx_struct* ctx, int32_t n);
QEL_EXPORT void deployment_run(qel_network_fn network, const qel_ctx_struct* ctx);
QEL_EXPORT void deployment_free_managed_memory();

// The driving operations for callers that hold the entry lock already (the
// model interface); not exported.
void optimize_network(qel_network_fn network, const qel_ctx_struct* ctx, int32_t n);
void run_network(qel_network_fn network, const qel_ctx_struct* ctx);
void release_arena();

// The interval [offset, offset + reserved) that an allocation of `bytes` takes:
// the smallest multiple of 64 strictly greater than bytes.
QEL_EXPORT std::pair<uint64_t, uint64_t> reserved_memory(uint64_t offset, uint64_t bytes);

// Read-only view of the manager's state, for tests and benchmarks (not exported).
struct ManagerState {
  bool capturing;
  bool captured;
  bool arena_released;
  int32_t position;                          // replay position of the next allocation
  uint64_t peak;                             // arena size
  const void* arena;
  std::vector<uint64_t> replay;              // planned offsets in call order
  std::vector<std::pair<uint64_t, uint64_t>> live;  // live intervals of the capture run
};
ManagerState state();
// Returns the manager to its state after load (frees the arena); for tests.
void reset_state();

}  // namespace nvidia
}  // namespace qel
