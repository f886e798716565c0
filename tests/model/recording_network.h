// A stand-in for the network function, for tests of the model interface: it
// checks the input and two parameters like the real schedule, allocates one
// intermediate through the context's handle, writes
//   output[i] = 2 x input[i] + P1023[0]   (i < 8192, f32)
// through the output descriptor, releases the intermediate and records the call.
#pragma once
#include "runtime/qel_records.h"

namespace recording {

extern int calls;                      // network runs so far
extern const qel_ctx_struct* last_ctx; // context of the last run
extern bool throw_next;                // the next run throws std::runtime_error before allocating anything

}  // namespace recording
