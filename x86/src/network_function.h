// The network function, as the model interface calls it.
#pragma once
#include <cstdint>

#include "runtime/qel_export.h"
#include "runtime/qel_records.h"

extern "C" {
// One complete forward pass on the context: 736 operator calls with the checks of
// the input and of every parameter, and the allocation and release of every
// intermediate tensor through the context's device handle.
QEL_EXPORT void qel_x86_4602A7A4_00000000_D0(const qel_ctx_struct* ctx);
}
