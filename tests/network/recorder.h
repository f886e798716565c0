// Recording stand-ins for the network's operators and a recording device handle.
// Every operator call and every memory operation lands, in order, in one event
// list; the handle passes its requests on to the library's memory manager, so
// capture and replay work as in a real run.
#pragma once
#include <cstdint>
#include <vector>

#include "runtime/qel_records.h"
#include "tests/network/param_rules.h"

namespace netrec {

// A descriptor as it stood at the event.
struct Snapshot {
  const qel_tensor_struct* desc = nullptr;
  int32_t rank = 0;
  int32_t dtype = 0;
  int64_t extents[8] = {};
  int64_t count = 0;
  const qel_handle_struct* mirror_handle = nullptr;
  const qel_handle_struct* data_handle = nullptr;
  uint64_t mirror_aux = 0;
  void* mirror_ptr = nullptr;
  uint64_t data_aux = 0;
  void* data = nullptr;
};
Snapshot snap(const qel_tensor_struct* t);

struct Event {
  enum Kind { kMalloc, kFree, kInit, kCall } kind = kCall;
  bool by_operator = false;                // memory request made inside an operator call
  const qel_handle_struct* handle = nullptr;
  int id = 0;                              // calls: the operator's id
  std::vector<Snapshot> tensors;           // calls: the arguments; memory events: the tensor
  void* data_before = nullptr;             // malloc: the tensor's data before the call
  void* output_data = nullptr;             // calls: data of the context's output 0
};

extern std::vector<Event> g_events;
// The operator with this id throws std::runtime_error after recording its call
// (0: none).
extern int g_throw_at;

// Handle operations that record and then call the memory manager.
void record_malloc(const qel_handle_struct* h, qel_tensor_struct* t);
void record_free(const qel_handle_struct* h, qel_tensor_struct* t);
// Records only; gives no memory.
void record_init(const qel_handle_struct* h, qel_tensor_struct* t);

// The ids of the 736 calls in program order and the number of tensors each takes.
struct ExpectedCall {
  int id;
  int tensors;
};
const std::vector<ExpectedCall>& expected_calls();

// A context like the model's: one input, 1024 parameters, one output, all f32
// with their shapes, the recording handle in every data slot.
struct TestModel {
  qel_handle_struct handle;
  qel_handle_struct mirror;    // only its init slot is set
  qel_handle_struct output_handle;
  qel_tensor_struct input{};
  qel_tensor_struct output{};
  std::vector<qel_tensor_struct> params;
  qel_ctx_struct ctx{};
  std::vector<float> input_buffer, output_buffer, param_data;

  TestModel();
  // Parameters without data whose mirror handle records an init: every check
  // then shows in the event list as the init of its materialise step.
  void make_checks_visible();
  void run();  // the network function, once, with an empty event list
};

}  // namespace netrec
