// Forms of the data-movement and decoder kernels: each row macro of
// dfp_move_instances.def expands, in the source of its part, into the
// kernel's task, wrapper and export.
//
//   QEL_DFP_CONCAT_COPY(part, id, S, W, O, R, task)
//       copies an R x S tensor into channels [O, O + S) of an R x W buffer,
//       one item per row;
//   QEL_DFP_INPUT_PAD(part, id, count, task)
//       pads the network input by 3 zero pixels into a 32 x 38 x 38 x 3
//       tensor, one item per destination element;
//   QEL_DFP_LEAKY_RELU(part, id, count, task)
//       LeakyReLU (slope 0.2) over `count` elements;
//   QEL_DFP_UPSAMPLE_BILINEAR(part, id, H, W, C, Cdst, task)
//       bilinear 2 x upsampling of 32 x H x W x C into channels [0, C) of a
//       32 x 2H x 2W x Cdst buffer, one item per output pixel;
//   QEL_DFP_LEAKY_RELU_UPSAMPLE(part, id, H, W, C, Cdst, slice, task)
//       LeakyReLU, then the same upsampling, one item per image, through a
//       per-thread scratch of `slice` bytes per thread.
//
// Every wrapper takes (ctx, in, out), except the input padding, which takes
// (ctx, out) and reads its source from the context's input. No wrapper checks
// its arguments: the shapes are fixed by the row.
#pragma once
#include "dfp_frame.h"
#include "dfp_move.h"

namespace qel {
namespace dfp {
namespace move {

// The one-launch form: a block {source, destination} and one launch of type 3.
inline void run_single(ispc_task_fn task, int32_t count, const void* src, void* dst) {
  Launcher launcher;
  launcher.launch(task, count, kSIMDSchedule, src, dst);
  launcher.sync();
}

// The per-thread scratch form: a scratch of [ISPCNumThreads(), slice] bytes, a
// block {scratch, source, destination}, one launch of type 2 over the 32
// images, and the scratch released before the final wait.
inline void run_per_thread(ispc_task_fn task, const qel_ctx_struct* ctx, int64_t slice, const void* src,
                           void* dst) {
  Launcher launcher;
  qel_tensor_struct scratch;
  uint8_t* base = alloc_per_thread(scratch, ctx, slice);
  launcher.launch(task, 32, kForSchedule, base, src, dst);
  release(scratch);
  launcher.sync();
}

}  // namespace move
}  // namespace dfp
}  // namespace qel

// Type codes of the task names: {source, destination} and {scratch, source, destination}.
#define QEL_DFP_MOVE_RW un_3C_Cunf_3E_un_3C_unf_3E_
#define QEL_DFP_MOVE_BRW un_3C_unt_3E_un_3C_Cunf_3E_un_3C_unf_3E_

// ---- concatenation copy --------------------------------------------------------
#define QEL_DFP_CONCAT_COPY(part, ...) QEL_DFP_IN_PART(part, QEL_DFP_CONCAT_COPY_DEF, (__VA_ARGS__))
#define QEL_DFP_CONCAT_COPY_DEF(id, S, W, O, R, tag)                                                \
  QEL_DFP_TASK_FN(id, tag, QEL_DFP_MOVE_RW) {                                                       \
    qel::dfp::move::concat_copy<S, W, O>(qel::dfp::slot<const float>(qel_args, 0),                  \
                                         qel::dfp::slot<float>(qel_args, 1), qel_begin, qel_end);   \
  }                                                                                                 \
  QEL_DFP_WRAPPER_2(id) {                                                                           \
    (void)ctx;                                                                                      \
    qel::dfp::move::run_single(QEL_DFP_TASK_NAME(id, tag, QEL_DFP_MOVE_RW), R, t1->data, t2->data); \
  }                                                                                                 \
  QEL_DFP_EXPORT_2(id) {                                                                            \
    (void)ctx;                                                                                      \
    qel::dfp::move::run_single(QEL_DFP_TASK_NAME(id, tag, QEL_DFP_MOVE_RW), R, t1->data, t2->data); \
  }

// ---- input padding ----------------------------------------------------------------
#define QEL_DFP_INPUT_PAD(part, ...) QEL_DFP_IN_PART(part, QEL_DFP_INPUT_PAD_DEF, (__VA_ARGS__))
#define QEL_DFP_INPUT_PAD_DEF(id, count, tag)                                                               \
  QEL_DFP_TASK_FN(id, tag, QEL_DFP_MOVE_RW) {                                                               \
    qel::dfp::move::input_pad(qel::dfp::slot<const float>(qel_args, 0), qel::dfp::slot<float>(qel_args, 1), \
                              qel_begin, qel_end);                                                          \
  }                                                                                                         \
  QEL_DFP_WRAPPER_1(id) {                                                                                   \
    qel::dfp::move::run_single(QEL_DFP_TASK_NAME(id, tag, QEL_DFP_MOVE_RW), count, qel::dfp::input(ctx),    \
                               t1->data);                                                                   \
  }                                                                                                         \
  QEL_DFP_EXPORT_1(id) {                                                                                    \
    qel::dfp::move::run_single(QEL_DFP_TASK_NAME(id, tag, QEL_DFP_MOVE_RW), count, qel::dfp::input(ctx),    \
                               t1->data);                                                                   \
  }

// ---- LeakyReLU ----------------------------------------------------------------------
#define QEL_DFP_LEAKY_RELU(part, ...) QEL_DFP_IN_PART(part, QEL_DFP_LEAKY_RELU_DEF, (__VA_ARGS__))
#define QEL_DFP_LEAKY_RELU_DEF(id, count, tag)                                                               \
  QEL_DFP_TASK_FN(id, tag, QEL_DFP_MOVE_RW) {                                                                \
    qel::dfp::move::leaky_relu(qel::dfp::slot<const float>(qel_args, 0), qel::dfp::slot<float>(qel_args, 1), \
                               qel_begin, qel_end);                                                          \
  }                                                                                                          \
  QEL_DFP_WRAPPER_2(id) {                                                                                    \
    (void)ctx;                                                                                               \
    qel::dfp::move::run_single(QEL_DFP_TASK_NAME(id, tag, QEL_DFP_MOVE_RW), count, t1->data, t2->data);      \
  }                                                                                                          \
  QEL_DFP_EXPORT_2(id) {                                                                                     \
    (void)ctx;                                                                                               \
    qel::dfp::move::run_single(QEL_DFP_TASK_NAME(id, tag, QEL_DFP_MOVE_RW), count, t1->data, t2->data);      \
  }

// ---- bilinear 2 x upsampling -----------------------------------------------------------
#define QEL_DFP_UPSAMPLE_BILINEAR(part, ...) QEL_DFP_IN_PART(part, QEL_DFP_UPSAMPLE_BILINEAR_DEF, (__VA_ARGS__))
#define QEL_DFP_UPSAMPLE_BILINEAR_DEF(id, H, W, C, Cdst, tag)                                                 \
  QEL_DFP_TASK_FN(id, tag, QEL_DFP_MOVE_RW) {                                                                 \
    qel::dfp::move::upsample_bilinear<H, W, C, Cdst>(qel::dfp::slot<const float>(qel_args, 0),                \
                                                     qel::dfp::slot<float>(qel_args, 1), qel_begin, qel_end); \
  }                                                                                                           \
  QEL_DFP_WRAPPER_2(id) {                                                                                     \
    (void)ctx;                                                                                                \
    qel::dfp::move::run_single(QEL_DFP_TASK_NAME(id, tag, QEL_DFP_MOVE_RW), 32 * 4 * (H) * (W), t1->data,     \
                               t2->data);                                                                     \
  }                                                                                                           \
  QEL_DFP_EXPORT_2(id) {                                                                                      \
    (void)ctx;                                                                                                \
    qel::dfp::move::run_single(QEL_DFP_TASK_NAME(id, tag, QEL_DFP_MOVE_RW), 32 * 4 * (H) * (W), t1->data,     \
                               t2->data);                                                                     \
  }

// ---- LeakyReLU with bilinear 2 x upsampling -----------------------------------------------
#define QEL_DFP_LEAKY_RELU_UPSAMPLE(part, ...) \
  QEL_DFP_IN_PART(part, QEL_DFP_LEAKY_RELU_UPSAMPLE_DEF, (__VA_ARGS__))
#define QEL_DFP_LEAKY_RELU_UPSAMPLE_DEF(id, H, W, C, Cdst, slice, tag)                                             \
  QEL_DFP_TASK_FN(id, tag, QEL_DFP_MOVE_BRW) {                                                                     \
    qel::dfp::move::leaky_relu_upsample<H, W, C, Cdst, slice>(                                                     \
        static_cast<uint8_t*>(qel::dfp::thread_slice(qel::dfp::slot<void>(qel_args, 0), slice)),                   \
        qel::dfp::slot<const float>(qel_args, 1), qel::dfp::slot<float>(qel_args, 2), qel_begin, qel_end);         \
  }                                                                                                                \
  QEL_DFP_WRAPPER_2(id) {                                                                                          \
    qel::dfp::move::run_per_thread(QEL_DFP_TASK_NAME(id, tag, QEL_DFP_MOVE_BRW), ctx, slice, t1->data, t2->data);  \
  }                                                                                                                \
  QEL_DFP_EXPORT_2(id) {                                                                                           \
    qel::dfp::move::run_per_thread(QEL_DFP_TASK_NAME(id, tag, QEL_DFP_MOVE_BRW), ctx, slice, t1->data, t2->data);  \
  }
