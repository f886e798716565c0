#include "recording_network.h"

#include <stdexcept>

#include "runtime/qel_check.h"
#include "runtime/qel_export.h"

namespace recording {
int calls = 0;
const qel_ctx_struct* last_ctx = nullptr;
bool throw_next = false;
}  // namespace recording

namespace {
constexpr char kFile[] = "x86/src/qel_x86_4602A7A4_00000000_D0";
constexpr int kOutputCount = 32 * 16 * 16;
}  // namespace

extern "C" QEL_EXPORT void qel_x86_4602A7A4_00000000_D0(const qel_ctx_struct* ctx) {
  qel_tensor_check(kFile, 850, &ctx->inputs[0], "I0_D0_Output", QEL_F32, 32, 32, 32, 3);
  qel_tensor_check(kFile, 856, &ctx->params[0], "P0_D0_Output", QEL_F32, 7, 7, 3, 64);

  if (recording::throw_next) {
    recording::throw_next = false;
    throw std::runtime_error("recording network: requested failure");
  }

  qel_tensor_struct tmp{};
  tmp.extents[0] = kOutputCount;
  tmp.count = kOutputCount;
  tmp.rank = 1;
  tmp.dtype = QEL_F32;
  tmp.data_handle = ctx->alloc_handle;
  ctx->alloc_handle->malloc(ctx->alloc_handle, &tmp);
  const float* in = static_cast<const float*>(ctx->inputs[0].data);
  float* t = static_cast<float*>(tmp.data);
  for (int i = 0; i < kOutputCount; ++i) t[i] = 2.0f * in[i];

  qel_tensor_check(kFile, 6569, &ctx->params[1023], "P1023_D0_Output", QEL_F32, 1);
  qel_tensor_struct* out = &ctx->outputs[0];
  out->rank = 4;
  out->dtype = QEL_F32;
  out->count = kOutputCount;
  out->extents[0] = 32;
  out->extents[1] = 16;
  out->extents[2] = 16;
  out->extents[3] = 1;
  out->data_handle->malloc(out->data_handle, out);
  const float bias = *static_cast<const float*>(ctx->params[1023].data);
  float* o = static_cast<float*>(out->data);
  for (int i = 0; i < kOutputCount; ++i) o[i] = t[i] + bias;

  tmp.data_handle->free(tmp.data_handle, &tmp);
  ++recording::calls;
  recording::last_ctx = ctx;
}
