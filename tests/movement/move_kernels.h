// The data-movement kernels as the tests see them: the instance table
// expanded into declarations of every wrapper, export and task, and into one
// list per form holding the row's constants and the three functions.
#pragma once
#include <immintrin.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "dfp_frame.h"
#include "runtime/qel_records.h"
#include "tests/support/recording_handle.h"

#define MOVE_RW un_3C_Cunf_3E_un_3C_unf_3E_
#define MOVE_BRW un_3C_unt_3E_un_3C_Cunf_3E_un_3C_unf_3E_
#define MOVE_STR_(x) #x
#define MOVE_STR(x) MOVE_STR_(x)

// ---- declarations ---------------------------------------------------------------
#define QEL_DFP_CONCAT_COPY(part, id, S, W, O, R, tag) \
  QEL_DFP_WRAPPER_2(id);                               \
  QEL_DFP_EXPORT_2(id);                                \
  QEL_DFP_TASK_FN(id, tag, MOVE_RW);
#define QEL_DFP_INPUT_PAD(part, id, count, tag) \
  QEL_DFP_WRAPPER_1(id);                        \
  QEL_DFP_EXPORT_1(id);                         \
  QEL_DFP_TASK_FN(id, tag, MOVE_RW);
#define QEL_DFP_LEAKY_RELU(part, id, count, tag) \
  QEL_DFP_WRAPPER_2(id);                         \
  QEL_DFP_EXPORT_2(id);                          \
  QEL_DFP_TASK_FN(id, tag, MOVE_RW);
#define QEL_DFP_UPSAMPLE_BILINEAR(part, id, H, W, C, Cdst, tag) \
  QEL_DFP_WRAPPER_2(id);                                        \
  QEL_DFP_EXPORT_2(id);                                         \
  QEL_DFP_TASK_FN(id, tag, MOVE_RW);
#define QEL_DFP_LEAKY_RELU_UPSAMPLE(part, id, H, W, C, Cdst, slice, tag) \
  QEL_DFP_WRAPPER_2(id);                                                 \
  QEL_DFP_EXPORT_2(id);                                                  \
  QEL_DFP_TASK_FN(id, tag, MOVE_BRW);
#include "dfp_move_instances.def"

namespace movetest {

using Wrapper1 = void (*)(qel_ctx_struct*, qel_tensor_struct*);
using Export1 = void (*)(qel_ctx_struct*, qel_tensor_struct*, __m256i);
using Wrapper2 = void (*)(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*);
using Export2 = void (*)(qel_ctx_struct*, qel_tensor_struct*, qel_tensor_struct*, __m256i);
using Task = void (*)(void*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                      int32_t);

// Names of the three functions of a kernel, as exported.
struct Names {
  const char* wrapper;
  const char* exported;
  const char* task;
};

struct Common {
  int part;
  const char* id;
  const char* task_id;
  Names names;
};

struct CopyRow {
  Common k;
  int S, W, O, R;
  Wrapper2 wrapper;
  Export2 exported;
  Task task;
};
struct PadRow {
  Common k;
  int count;
  Wrapper1 wrapper;
  Export1 exported;
  Task task;
};
struct LeakyRow {
  Common k;
  int count;
  Wrapper2 wrapper;
  Export2 exported;
  Task task;
};
struct UpsampleRow {
  Common k;
  int H, W, C, Cdst;
  Wrapper2 wrapper;
  Export2 exported;
  Task task;
};
struct FusedRow {
  Common k;
  int H, W, C, Cdst;
  int64_t slice;
  Wrapper2 wrapper;
  Export2 exported;
  Task task;
};

#define MOVE_COMMON(part, id, tag, n, codes)                                                            \
  {part, #id, #tag,                                                                                     \
   {MOVE_STR(QEL_DFP_WRAPPER_NAME(id)), MOVE_STR(QEL_DFP_EXPORT_NAME(id, QEL_DFP_EXPORT_CODES_##n)), \
    MOVE_STR(QEL_DFP_TASK_NAME(id, tag, codes))}}
#define MOVE_FNS(id, tag, codes, n) \
  &QEL_DFP_WRAPPER_NAME(id), &QEL_DFP_EXPORT_NAME(id, QEL_DFP_EXPORT_CODES_##n), &QEL_DFP_TASK_NAME(id, tag, codes)

inline const std::vector<CopyRow>& copies() {
  static const std::vector<CopyRow> rows = {
#define QEL_DFP_CONCAT_COPY(part, id, S, W, O, R, tag) \
  {MOVE_COMMON(part, id, tag, 2, MOVE_RW), S, W, O, R, MOVE_FNS(id, tag, MOVE_RW, 2)},
#include "dfp_move_instances.def"
  };
  return rows;
}

inline const std::vector<PadRow>& pads() {
  static const std::vector<PadRow> rows = {
#define QEL_DFP_INPUT_PAD(part, id, count, tag) {MOVE_COMMON(part, id, tag, 1, MOVE_RW), count, MOVE_FNS(id, tag, MOVE_RW, 1)},
#include "dfp_move_instances.def"
  };
  return rows;
}

inline const std::vector<LeakyRow>& leakies() {
  static const std::vector<LeakyRow> rows = {
#define QEL_DFP_LEAKY_RELU(part, id, count, tag) {MOVE_COMMON(part, id, tag, 2, MOVE_RW), count, MOVE_FNS(id, tag, MOVE_RW, 2)},
#include "dfp_move_instances.def"
  };
  return rows;
}

inline const std::vector<UpsampleRow>& upsamples() {
  static const std::vector<UpsampleRow> rows = {
#define QEL_DFP_UPSAMPLE_BILINEAR(part, id, H, W, C, Cdst, tag) \
  {MOVE_COMMON(part, id, tag, 2, MOVE_RW), H, W, C, Cdst, MOVE_FNS(id, tag, MOVE_RW, 2)},
#include "dfp_move_instances.def"
  };
  return rows;
}

inline const std::vector<FusedRow>& fused() {
  static const std::vector<FusedRow> rows = {
#define QEL_DFP_LEAKY_RELU_UPSAMPLE(part, id, H, W, C, Cdst, slice, tag) \
  {MOVE_COMMON(part, id, tag, 2, MOVE_BRW), H, W, C, Cdst, slice, MOVE_FNS(id, tag, MOVE_BRW, 2)},
#include "dfp_move_instances.def"
  };
  return rows;
}

// Calls a task directly over [begin, end) with the given block slots.
inline void call_task(Task task, std::vector<void*> slots, int32_t begin, int32_t end) {
  task(slots.data(), 0, 0, 0, 0, 0, 0, 0, begin, end, 0);
}

// A tensor descriptor around caller-owned memory.
inline qel_tensor_struct tensor(void* data) {
  qel_tensor_struct t{};
  t.data = data;
  return t;
}

// An execution mask with the given lanes on.
inline __m256i mask(int bits) {
  return _mm256_setr_epi32(bits & 1 ? -1 : 0, bits & 2 ? -1 : 0, bits & 4 ? -1 : 0, bits & 8 ? -1 : 0,
                           bits & 16 ? -1 : 0, bits & 32 ? -1 : 0, bits & 64 ? -1 : 0, bits & 128 ? -1 : 0);
}

using qel_test::RecordingHandle;
using qel_test::Request;

// A context with one input descriptor and the recording handle.
struct Context {
  qel_tensor_struct input{};
  qel_ctx_struct ctx{};
  explicit Context(RecordingHandle& h, void* input_data = nullptr) {
    input.data = input_data;
    ctx.inputs = &input;
    ctx.alloc_handle = &h.handle;
    ctx.aux_handle = &h.handle;
    ctx.num_inputs = 1;
  }
};

}  // namespace movetest
