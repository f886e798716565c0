// Frame of the vectorised kernels: naming of their exported functions, the
// wrapper's launch convention and the expansion of the instance table into the
// eight kernel sources.
//
// HOW THE KERNEL SOURCES ARE MADE
//   The 316 kernels are rows of one instance table, dfp_instances.def (which
//   includes dfp_move_instances.def). Each row names the kernel's source part
//   (0..7: the i-th kernel in ascending id order goes to part i mod 8), its id,
//   its constants and its task numbers, e.g.
//       QEL_DFP_BN_PLAIN(3, 822D, 4, 31, 128, 32, 995, 885B, 889D)
//   Each source qel_x86_4602A7A4_00000000_D0_dfp_ispc_part_N.cpp defines
//   QEL_DFP_PART to N, includes dfp_forms.h (every form header) and then the
//   table; a row expands into functions only in the source of its own part.
//
// HOW TO ADD A FORM AND ITS ROWS
//   1. In a form header (dfp_bn_forms.h, dfp_move_forms.h, ...) define the row
//      macro and the definition macro of the form (each macro on one logical
//      line, continued with backslashes in the real header):
//          #define QEL_DFP_MY_FORM(part, ...)
//            QEL_DFP_IN_PART(part, QEL_DFP_MY_FORM_DEF, (__VA_ARGS__))
//          #define QEL_DFP_MY_FORM_DEF(id, n, tag)
//            QEL_DFP_TASK_FN(id, tag, un_3C_Cunf_3E_un_3C_unf_3E_) {
//              my_task<n>(qel_args, qel_begin, qel_end); }
//            QEL_DFP_WRAPPER_2(id) { my_run<n>(ctx, t1, t2,
//              QEL_DFP_TASK_NAME(id, tag, un_3C_Cunf_3E_un_3C_unf_3E_)); }
//            QEL_DFP_EXPORT_2(id) { my_run<n>(ctx, t1, t2,
//              QEL_DFP_TASK_NAME(id, tag, un_3C_Cunf_3E_un_3C_unf_3E_)); }
//      and a row  QEL_DFP_MY_FORM(5, 8213, 491520, 8566)  defines, in part 5
//      only, the task ..._8213_8566___UM_..., the wrapper ..._8213 and the export.
//      Define tasks before the wrapper and export that launch them. The export
//      repeats the wrapper's body; it must not call the wrapper.
//   2. In the form's .def file, start with a default empty definition of each
//      of its row macros (#ifndef ... #define QEL_DFP_MY_FORM(...) #endif) and
//      #undef them at the end, so that a test or benchmark can include the
//      whole table defining only the rows it wants (X-macro use).
//   3. Add the rows, one per kernel instance, in ascending id order.
//
// HOW A TASK READS ITS BLOCK
//   A task is defined with QEL_DFP_TASK_FN(id, tag, codes); its parameters are
//   `void* qel_args` (the argument block) and `int32_t qel_begin, qel_end`
//   (the item range). Slot i of the block is qel::dfp::slot<T>(qel_args, i),
//   in the order of the type codes of the task's name. A task handles exactly
//   the items [qel_begin, qel_end) and does nothing when qel_begin >= qel_end.
//
// HOW A WRAPPER LAUNCHES AND OBTAINS SCRATCH (namespace qel::dfp below)
//       qel::dfp::Launcher L;                          // task handle, null
//       qel_tensor_struct s;
//       qel::dfp::alloc_floats(s, ctx, n);             // rank 1 f32 [n]
//       qel::dfp::alloc_per_thread(w, ctx, bytes);     // rank 2 s8 [T, bytes]
//       L.launch(task, count, type, ptr0, ptr1, ...);  // ISPCAlloc(8 x slots, 32),
//                                                      // slot stores, ISPCLaunch
//       qel::dfp::release(w); qel::dfp::release(s);    // reverse order
//       L.sync();                                      // ISPCSync if handle set
//   A scratch the handle could not supply is reported (qel_exception_throw),
//   never handed to a task as null. A per-thread scratch task uses only the
//   slice qel::dfp::thread_slice(base, bytes), taken once at the task's entry.
//   Parameter k's data: qel::dfp::param(ctx, k); the network input's data:
//   qel::dfp::input(ctx).
#pragma once
#include <immintrin.h>

#include <cstdint>
#include <cstdio>

#include "ispc/ispc_runtime.h"
#include "runtime/qel_check.h"
#include "runtime/qel_export.h"
#include "runtime/qel_records.h"

// ---- part selection ---------------------------------------------------------

#ifndef QEL_DFP_PART
#define QEL_DFP_PART -1  // not a kernel source: no row expands into code
#endif

#define QEL_DFP_CAT_(a, b) a##b
#define QEL_DFP_CAT(a, b) QEL_DFP_CAT_(a, b)

// Expands `def args` when `part` is the part of the including source, else nothing.
#define QEL_DFP_IN_PART(part, def, args) QEL_DFP_CAT(QEL_DFP_SELECT_, part)(def, args)
#define QEL_DFP_TAKE_(def, args) def args
#define QEL_DFP_DROP_(def, args)

#if QEL_DFP_PART == 0
#define QEL_DFP_SELECT_0 QEL_DFP_TAKE_
#else
#define QEL_DFP_SELECT_0 QEL_DFP_DROP_
#endif
#if QEL_DFP_PART == 1
#define QEL_DFP_SELECT_1 QEL_DFP_TAKE_
#else
#define QEL_DFP_SELECT_1 QEL_DFP_DROP_
#endif
#if QEL_DFP_PART == 2
#define QEL_DFP_SELECT_2 QEL_DFP_TAKE_
#else
#define QEL_DFP_SELECT_2 QEL_DFP_DROP_
#endif
#if QEL_DFP_PART == 3
#define QEL_DFP_SELECT_3 QEL_DFP_TAKE_
#else
#define QEL_DFP_SELECT_3 QEL_DFP_DROP_
#endif
#if QEL_DFP_PART == 4
#define QEL_DFP_SELECT_4 QEL_DFP_TAKE_
#else
#define QEL_DFP_SELECT_4 QEL_DFP_DROP_
#endif
#if QEL_DFP_PART == 5
#define QEL_DFP_SELECT_5 QEL_DFP_TAKE_
#else
#define QEL_DFP_SELECT_5 QEL_DFP_DROP_
#endif
#if QEL_DFP_PART == 6
#define QEL_DFP_SELECT_6 QEL_DFP_TAKE_
#else
#define QEL_DFP_SELECT_6 QEL_DFP_DROP_
#endif
#if QEL_DFP_PART == 7
#define QEL_DFP_SELECT_7 QEL_DFP_TAKE_
#else
#define QEL_DFP_SELECT_7 QEL_DFP_DROP_
#endif

// ---- symbol names -----------------------------------------------------------
// Type codes of task slots: un_3C_Cunf_3E_ (f32 array only read),
// un_3C_unf_3E_ (f32 array written), un_3C_unt_3E_ (per-thread scratch bytes).
// Ids and task numbers are written as bare tokens (8534, DE8B).

#define QEL_DFP_WRAPPER_NAME(id) QEL_DFP_CAT(qel_x86_4602A7A4_00000000_D0_dfp_ispc_, id)
#define QEL_DFP_TASK_NAME_(id, tag, codes) qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id##_##tag##___UM_##codes
#define QEL_DFP_TASK_NAME(id, tag, codes) QEL_DFP_TASK_NAME_(id, tag, codes)
#define QEL_DFP_EXPORT_NAME_(id, codes) qel_x86_4602A7A4_00000000_D0_dfp_ispc_##id##___##codes
#define QEL_DFP_EXPORT_NAME(id, codes) QEL_DFP_EXPORT_NAME_(id, codes)

// Codes of a kernel export: the context, then one per tensor argument.
#define QEL_DFP_EXPORT_CODES_1 un_3C_s_5B_unqel_ctx_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_
#define QEL_DFP_EXPORT_CODES_2 \
  un_3C_s_5B_unqel_ctx_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_
#define QEL_DFP_EXPORT_CODES_3                                                                         \
  un_3C_s_5B_unqel_ctx_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_
#define QEL_DFP_EXPORT_CODES_4                                                                         \
  un_3C_s_5B_unqel_ctx_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_un_3C_s_5B_unqel_tensor_struct_5D__3E_

// ---- function heads -----------------------------------------------------------

// A kernel task: argument block, seven ignored integers, begin, end, one ignored integer.
#define QEL_DFP_TASK_FN(id, tag, codes)                                                             \
  extern "C" QEL_EXPORT void QEL_DFP_TASK_NAME(id, tag, codes)(                                     \
      void* qel_args, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t qel_begin, \
      int32_t qel_end, int32_t)

// Kernel wrappers (context, then the tensor arguments t1 .. tN) and their
// exports, which take an 8-lane execution mask after the same arguments and
// do exactly what the wrapper does, whatever the mask.
#define QEL_DFP_WRAPPER_1(id) extern "C" QEL_EXPORT void QEL_DFP_WRAPPER_NAME(id)(qel_ctx_struct * ctx, qel_tensor_struct * t1)
#define QEL_DFP_EXPORT_1(id)                                                   \
  extern "C" QEL_EXPORT void QEL_DFP_EXPORT_NAME(id, QEL_DFP_EXPORT_CODES_1)( \
      qel_ctx_struct * ctx, qel_tensor_struct * t1, __m256i)
#define QEL_DFP_WRAPPER_2(id)                          \
  extern "C" QEL_EXPORT void QEL_DFP_WRAPPER_NAME(id)( \
      qel_ctx_struct * ctx, qel_tensor_struct * t1, qel_tensor_struct * t2)
#define QEL_DFP_EXPORT_2(id)                                                   \
  extern "C" QEL_EXPORT void QEL_DFP_EXPORT_NAME(id, QEL_DFP_EXPORT_CODES_2)( \
      qel_ctx_struct * ctx, qel_tensor_struct * t1, qel_tensor_struct * t2, __m256i)
#define QEL_DFP_WRAPPER_3(id)                          \
  extern "C" QEL_EXPORT void QEL_DFP_WRAPPER_NAME(id)( \
      qel_ctx_struct * ctx, qel_tensor_struct * t1, qel_tensor_struct * t2, qel_tensor_struct * t3)
#define QEL_DFP_EXPORT_3(id)                                                   \
  extern "C" QEL_EXPORT void QEL_DFP_EXPORT_NAME(id, QEL_DFP_EXPORT_CODES_3)( \
      qel_ctx_struct * ctx, qel_tensor_struct * t1, qel_tensor_struct * t2, qel_tensor_struct * t3, __m256i)
#define QEL_DFP_WRAPPER_4(id)                                                                         \
  extern "C" QEL_EXPORT void QEL_DFP_WRAPPER_NAME(id)(qel_ctx_struct * ctx, qel_tensor_struct * t1, \
                                                      qel_tensor_struct * t2, qel_tensor_struct * t3, \
                                                      qel_tensor_struct * t4)
#define QEL_DFP_EXPORT_4(id)                                                                          \
  extern "C" QEL_EXPORT void QEL_DFP_EXPORT_NAME(id, QEL_DFP_EXPORT_CODES_4)(                        \
      qel_ctx_struct * ctx, qel_tensor_struct * t1, qel_tensor_struct * t2, qel_tensor_struct * t3, \
      qel_tensor_struct * t4, __m256i)

// ---- wrapper services -----------------------------------------------------------

namespace qel {
namespace dfp {

// Data of parameter k, read through the context.
inline const float* param(const qel_ctx_struct* ctx, int k) {
  return static_cast<const float*>(ctx->params[k].data);
}

// Data of the network input (the only kernel reading it is the input padding).
inline const float* input(const qel_ctx_struct* ctx) { return static_cast<const float*>(ctx->inputs[0].data); }

// A wrapper's task handle and its launches. The handle stays null with our
// runtime; its address goes to every ISPCAlloc and ISPCLaunch of the call.
class Launcher {
 public:
  Launcher() = default;
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;

  // One launch: an argument block of 8 bytes per slot (alignment 32) from the
  // runtime's shared buffer, filled in slot order, then the launch itself.
  // The block is valid only until the next launch's ISPCAlloc.
  template <typename... Ptr>
  void launch(ispc_task_fn task, int32_t count, int32_t type, Ptr... slots) {
    constexpr int n = sizeof...(Ptr);
    static_assert(n > 0, "a task takes at least one slot");
    void** block = static_cast<void**>(ISPCAlloc(&handle_, int64_t{8} * n, 32));
    int i = 0;
    ((block[i++] = const_cast<void*>(static_cast<const void*>(slots))), ...);
    ISPCLaunch(&handle_, reinterpret_cast<void*>(task), block, count, type, 0);
  }

  // The final wait, made only when a launch has set the handle.
  void sync() {
    if (handle_ != nullptr) ISPCSync(handle_);
  }

 private:
  void* handle_ = nullptr;
};

// Launch types of the task runtime.
constexpr int32_t kForSchedule = 2;   // one contiguous run of items per thread
constexpr int32_t kSIMDSchedule = 3;  // chunks of a multiple of 16 items

// A handle that hands back no memory would have the tasks write through a null
// pointer: report it and end the run instead.
inline void check_scratch(const qel_tensor_struct& s, int64_t bytes) {
  if (s.data == nullptr && bytes > 0) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "could not obtain a kernel scratch tensor of %lld bytes",
                  static_cast<long long>(bytes));
    qel_exception_throw("dfp", __FILE__, __LINE__, msg);
  }
}

// Fills `s` as a rank-1 f32 scratch of n values and allocates it through the
// context's alloc_handle; returns its data.
inline float* alloc_floats(qel_tensor_struct& s, const qel_ctx_struct* ctx, int64_t n) {
  s = qel_tensor_struct{};
  s.extents[0] = n;
  s.count = n;
  s.rank = 1;
  s.dtype = QEL_F32;
  s.data_handle = ctx->alloc_handle;
  ctx->alloc_handle->malloc(ctx->alloc_handle, &s);
  check_scratch(s, 4 * n);
  return static_cast<float*>(s.data);
}

// Fills `s` as the per-thread scratch [ISPCNumThreads(), bytes] of dtype "s8"
// and allocates it; the thread count is asked once per extent and once for the count.
inline uint8_t* alloc_per_thread(qel_tensor_struct& s, const qel_ctx_struct* ctx, int64_t bytes) {
  s = qel_tensor_struct{};
  s.extents[0] = static_cast<int64_t>(ISPCNumThreads());
  s.extents[1] = bytes;
  s.count = static_cast<int64_t>(ISPCNumThreads()) * bytes;
  s.rank = 2;
  s.dtype = QEL_S8;
  s.data_handle = ctx->alloc_handle;
  ctx->alloc_handle->malloc(ctx->alloc_handle, &s);
  check_scratch(s, s.count);
  return static_cast<uint8_t*>(s.data);
}

// Releases a scratch through the handle recorded in its own data slot.
inline void release(qel_tensor_struct& s) { s.data_handle->free(s.data_handle, &s); }

// Slice of the per-thread scratch that belongs to the calling task's thread.
inline void* thread_slice(void* base, int64_t bytes) {
  return static_cast<uint8_t*>(base) + bytes * static_cast<int64_t>(ISPCThreadNum());
}

// Slot i of a task's argument block.
template <typename T>
inline T* slot(void* args, int i) {
  return static_cast<T*>(static_cast<void**>(args)[i]);
}

}  // namespace dfp
}  // namespace qel
