#include "runtime/qel_memory.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_set>

#include "runtime/qel_check.h"
#include "runtime/qel_lifetime.h"

namespace qel {
namespace nvidia {

namespace {
using Allocations = std::map<void*, uint64_t>;
using Intervals = std::vector<std::pair<uint64_t, uint64_t>>;
using Offsets = std::vector<uint64_t>;
// Constructed in this order when the library loads. No exit handler destroys
// them: the library's release gives back all they hold (see s_release below).
Resident<Allocations> s_allocations_storage;
Resident<Intervals> s_memory_storage;
Resident<Offsets> s_operation_ptrs_storage;
}  // namespace

Allocations& s_allocations = *s_allocations_storage;    // heap pointer -> planned offset (capture run)
Intervals& s_memory = *s_memory_storage;                // live intervals, ascending begin
Offsets& s_operation_ptrs = *s_operation_ptrs_storage;  // replay list: planned offset per allocation
uint64_t s_max_memory = 0;                              // peak: the arena's size
void* s_managed_memory = nullptr;                       // the arena
bool s_memory_capturing = false;
bool s_memory_captured = false;
int32_t s_cnt = 0;                                    // replay position

namespace {

// Planned byte size per replay position: a later request larger than its plan,
// or beyond the end of the plan, is served from the heap instead of overrunning
// its neighbours in the arena.
Resident<Offsets> s_operation_sizes_storage;
Offsets& s_operation_sizes = *s_operation_sizes_storage;
// Every heap block the manager has handed out and not yet taken back, in
// every mode. A release gives a pointer to the heap only if it is here: never
// an arena block, never a block twice, never a pointer of the host's own. What
// is still here when the library is released goes back then.
Resident<std::unordered_set<void*>> s_heap_blocks_storage;
std::unordered_set<void*>& s_heap_blocks = *s_heap_blocks_storage;
// Set once the arena has been given back: later runs are served from the heap.
bool s_arena_released = false;
// A run is in progress (a run cannot start inside another). Only a run's own
// requests are served from the arena, by their position in the run.
bool s_in_run = false;

// Marks a run for its whole length, however it ends; the replay position
// counts from the start of each run.
struct RunScope {
  RunScope() {
    s_in_run = true;
    s_cnt = 0;
  }
  ~RunScope() {
    s_in_run = false;
    s_cnt = 0;
  }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;
};

// A plan was made (and its arena may since have been released).
bool planned() { return s_memory_captured || s_arena_released; }

// The tensor's size in bytes; a negative element count, or one whose size
// does not fit 64 bits, is reported (it ends the process).
uint64_t byte_size(const qel_tensor_struct* t) {
  const uint64_t size = static_cast<uint64_t>(qel_dtype_size(t->dtype));
  std::string problem;
  if (t->count < 0)
    problem = "the element count " + std::to_string(t->count) + " is negative";
  else if (size != 0 && static_cast<uint64_t>(t->count) > UINT64_MAX / size)
    problem = "the element count " + std::to_string(t->count) + " times " + std::to_string(size) +
              " bytes does not fit 64 bits";
  if (!problem.empty()) qel_exception_throw("memory", __FILE__, __LINE__, ("cannot allocate: " + problem).c_str());
  return static_cast<uint64_t>(t->count) * size;
}

// The slots of a tensor that a handle owns: those whose handle it is. A null
// handle owns none.
struct Owned {
  bool mirror, data;
  bool any() const { return mirror || data; }
};
Owned owned(const qel_handle_struct* handle, const qel_tensor_struct* t) {
  return {handle != nullptr && handle == t->mirror_handle, handle != nullptr && handle == t->data_handle};
}

// Writes p into the slots that `handle` owns.
void set_slots(Owned slots, qel_tensor_struct* t, void* p) {
  if (slots.mirror) {
    t->mirror_aux = 0;
    t->mirror_ptr = p;
  }
  if (slots.data) {
    t->data_aux = 0;
    t->data = p;
  }
}

void* heap_alloc(uint64_t bytes) {
  void* p = std::malloc(bytes);
  if (p == nullptr && bytes != 0) {
    const std::string msg = "out of memory: could not allocate " + std::to_string(bytes) + " bytes";
    qel_exception_throw("memory", __FILE__, __LINE__, msg.c_str());
  }
  return p;
}

// A heap block for a tensor, recorded until it is taken back.
void* heap_block(uint64_t bytes) {
  void* p = heap_alloc(bytes);
  if (p != nullptr) s_heap_blocks.insert(p);
  return p;
}

// Ends the live interval that begins at `offset`, if there is one; the peak
// is the largest end of any interval ended in the capture run.
void end_interval(uint64_t offset) {
  for (auto it = s_memory.begin(); it != s_memory.end(); ++it) {
    if (it->first != offset) continue;
    if (it->second > s_max_memory) s_max_memory = it->second;
    s_memory.erase(it);
    return;
  }
}

// First fit by address over the live intervals; returns the planned offset.
uint64_t plan(uint64_t bytes) {
  uint64_t cursor = 0;
  for (auto it = s_memory.begin(); it != s_memory.end(); ++it) {
    if (it->first > cursor + bytes) {
      const auto iv = reserved_memory(cursor, bytes);
      s_memory.insert(it, iv);
      return iv.first;
    }
    cursor = it->second;
  }
  s_memory.push_back(reserved_memory(cursor, bytes));
  return cursor;
}

// A block the manager handed out goes back to the heap once; anything else
// (an arena block, a block already given back, a pointer of the host's own)
// is left where it is.
void give_back(void* p) {
  if (s_heap_blocks.empty() || s_heap_blocks.erase(p) == 0) return;
  // A heap block of the capture run loses its record as it goes back to the
  // heap: the heap may hand the same address to someone else, whose release
  // must not end the interval of a tensor planned at that offset since.
  const auto found = s_allocations.find(p);
  if (found != s_allocations.end()) {
    if (s_memory_capturing) end_interval(found->second);
    s_allocations.erase(found);
  }
  std::free(p);
}

// Drops everything a capture run planned, with the containers' storage; used
// when the capture run fails and by the release.
void discard_plan() {
  s_allocations.clear();
  Intervals().swap(s_memory);
  Offsets().swap(s_operation_ptrs);
  Offsets().swap(s_operation_sizes);
  s_max_memory = 0;
}

// The manager's part of the library's release: back to its state after load,
// holding no memory.
const ReleaseAtLoad s_release(ReleaseStage::kRuntime, [](void*) { reset_state(); });

}  // namespace

std::pair<uint64_t, uint64_t> reserved_memory(uint64_t offset, uint64_t bytes) {
  return {offset, offset + (bytes & ~uint64_t{63}) + 64};
}

void deployment_malloc(const qel_handle_struct* handle, qel_tensor_struct* t) {
  const EntryLock lock;
  // A handle allocates only for the slots it owns, and not again for a slot
  // that holds memory (the data slot where it owns that, as for every tensor
  // of the network).
  const Owned slots = owned(handle, t);
  if (!slots.any() || (slots.data ? t->data : t->mirror_ptr) != nullptr) return;
  const uint64_t bytes = byte_size(t);
  // Served from the arena only within a run, within its planned size and
  // within the arena: a capture that kept an allocation to its end planned an
  // arena too small for it. Anything else gets a heap block.
  if (s_memory_captured && s_in_run) {
    const size_t pos = static_cast<size_t>(s_cnt++);
    if (pos < s_operation_ptrs.size() && bytes <= s_operation_sizes[pos] &&
        reserved_memory(s_operation_ptrs[pos], bytes).second <= s_max_memory) {
      set_slots(slots, t, static_cast<char*>(s_managed_memory) + s_operation_ptrs[pos]);
      return;
    }
  }
  void* p = heap_block(bytes);
  set_slots(slots, t, p);
  if (!s_memory_capturing) return;
  const uint64_t offset = plan(bytes);
  s_allocations[p] = offset;
  s_operation_ptrs.push_back(offset);
  s_operation_sizes.push_back(bytes);
}

void deployment_free(const qel_handle_struct* handle, qel_tensor_struct* t) {
  const EntryLock lock;
  // A handle releases only what the slots it owns hold, and clears them; a
  // slot it does not own keeps its block, which stays its owner's.
  const Owned slots = owned(handle, t);
  void* const data = slots.data ? t->data : nullptr;
  void* const mirror = slots.mirror ? t->mirror_ptr : nullptr;
  if (data == nullptr && mirror == nullptr) return;
  if (data != nullptr) give_back(data);
  if (mirror != nullptr && mirror != data) give_back(mirror);
  set_slots(slots, t, nullptr);
}

void deployment_memset(const qel_handle_struct*, const qel_tensor_struct* t, const void*, void*) {
  const EntryLock lock;
  if (t->data == nullptr) return;
  const uint64_t bytes = byte_size(t);
  if (bytes != 0) std::memset(t->data, 0, bytes);
}

void deployment_init(const qel_handle_struct* handle, qel_tensor_struct* t) {
  const EntryLock lock;
  const Owned slots = owned(handle, t);
  if (slots.mirror) {
    t->mirror_aux = 0;
    t->mirror_ptr = t->data;
  }
  if (slots.data) t->data_aux = 0;
}

void optimize_network(qel_network_fn network, const qel_ctx_struct* ctx, int32_t n) {
  if (n < 1 || planned()) return;
  s_memory_capturing = true;
  try {
    const RunScope run;
    network(ctx);
  } catch (...) {
    // A failed capture leaves no half-made plan behind: the manager stays in
    // plain mode and a later planning run starts afresh.
    s_memory_capturing = false;
    discard_plan();
    throw;
  }
  s_memory_capturing = false;
  if (s_max_memory != 0) s_managed_memory = heap_alloc(s_max_memory);
  s_memory_captured = true;
}

void run_network(qel_network_fn network, const qel_ctx_struct* ctx) {
  const RunScope run;
  network(ctx);
}

void release_arena() {
  if (s_managed_memory == nullptr) return;
  std::free(s_managed_memory);
  s_managed_memory = nullptr;
  // Without an arena, later runs take their memory from the heap again.
  s_memory_captured = false;
  s_arena_released = true;
}

void deployment_optimize(qel_network_fn network, const qel_ctx_struct* ctx, int32_t n) {
  const EntryLock lock;
  if (!lock.refused_run()) optimize_network(network, ctx, n);
}

void deployment_run(qel_network_fn network, const qel_ctx_struct* ctx) {
  const EntryLock lock;
  if (!lock.refused_run()) run_network(network, ctx);
}

void deployment_free_managed_memory() {
  const EntryLock lock;
  if (!lock.refused_call()) release_arena();
}

ManagerState state() {
  return ManagerState{s_memory_capturing, s_memory_captured, s_arena_released, s_cnt,
                      s_max_memory,       s_managed_memory,  s_operation_ptrs,  s_memory};
}

void reset_state() {
  std::free(s_managed_memory);
  s_managed_memory = nullptr;
  // Heap blocks that tensors still hold.
  for (void* p : s_heap_blocks) std::free(p);
  std::unordered_set<void*>().swap(s_heap_blocks);
  discard_plan();
  s_memory_capturing = s_memory_captured = s_arena_released = false;
  s_cnt = 0;
}

}  // namespace nvidia
}  // namespace qel
