// Recording stand-ins for the network's 736 operators and a recording device
// handle: every operator call and memory operation lands, in order, in one
// event list; the handle passes its requests on to the library's memory
// manager, so capture and replay work as in a real run.
#pragma once
#include <map>
#include <vector>

#include "runtime/qel_records.h"

namespace netrec {

struct Event {
  enum Kind { kMalloc, kFree, kInit, kCall } kind = kCall;
  const qel_handle_struct* handle = nullptr;     // memory events
  int id = 0;                                    // calls: the operator's id
  std::vector<qel_tensor_struct*> tensors;       // calls: the arguments; memory events: the tensor
  qel_tensor_struct before{};                    // memory events: the descriptor on entry
  void* data = nullptr;                          // malloc: data on return; calls: data of output 0
};

extern std::vector<Event> g_events;
extern int g_throw_at;  // the operator with this id throws after recording its call (0: none)

// A context like the model's: one input, 1024 parameters and one output, all
// f32 with their shapes; the recording handle in every data slot but the
// output's, which has a recording handle of its own.
struct TestModel {
  qel_handle_struct handle, output_handle, mirror;  // the mirror only records inits
  qel_tensor_struct input{}, output{};
  std::vector<qel_tensor_struct> params;
  qel_ctx_struct ctx{};
  std::vector<float> input_buffer, output_buffer, param_data;

  TestModel();
  // Takes the data of the input and the parameters and gives them a mirror
  // handle that records an init: every check then shows as an init event.
  void make_checks_visible();
  void run();  // the network function, once, with an empty event list
};

// A recorded run read back: the event index of every call, and the
// intermediates in allocation order.
struct Intermediate {
  int malloc_event = -1;
  int allocations = 0, releases = 0;
  int allocated_before = -1, released_after = -1;  // steps
  int first_use = -1, last_use = -1;
};
struct Analysis {
  std::vector<int> calls;
  std::vector<int> calls_before;  // per event: calls recorded before it
  std::vector<Intermediate> intermediates;
  std::map<const qel_tensor_struct*, int> number;
  int other_releases = 0;  // releases of descriptors never allocated by the network's handle
};
Analysis analyse(const TestModel& m);

}  // namespace netrec
