// Forms of the batch-normalisation kernels: each row macro of the instance
// table expands, in its own part's source, into the kernel's tasks, wrapper
// and export.
//
// Row columns (ids and task numbers as bare hexadecimal tokens):
//   QEL_DFP_BN_PREFIX(part, id, block, layer, C, Xs, R, k, invstd_task, apply_task)
//     first normalisation of dense layer `layer` >= 1: the first C channels of
//     the block's concatenation buffer (rows of Xs floats) into packed rows of
//     C; wrapper (ctx, out, in).
//   QEL_DFP_BN_PLAIN(part, id, block, layer, C, R, k, invstd_task, apply_task)
//     a tensor of rows of exactly C channels: a bottleneck normalisation of
//     dense layer `layer`, or (layer -1) the whole buffer after dense block
//     `block`; wrapper (ctx, in, out).
//   QEL_DFP_AVGPOOL_POS(part, id, C, Ho, Wo, k, invstd_task, main_task)
//     2 x 2 average pooling of a (2 Ho) x (2 Wo) x C input and the next
//     normalisation, one item per output position; wrapper (ctx, x, pooled, y).
//   QEL_DFP_AVGPOOL_IMG(part, id, C, k, invstd_task, main_task)
//     the same for 2 x 2 inputs, one item per image, with a per-thread scratch.
//   QEL_DFP_STEM(part, id, k1, k2, invstd1_task, invstd2_task, main_task)
//     normalisation (k1..k1+3) of the stem convolution's output, 3 x 3 stride-2
//     max pooling and the normalisation (k2..k2+3) of the pooled tensor;
//     wrapper (ctx, x, pooled, skip, y).
// Parameters k..k+3 are gamma, beta, mean and variance.
#pragma once
#include "dfp_bn.h"
#include "dfp_frame.h"

// Type codes of the task names.
#define QEL_DFP_BN_INVSTD_CODES un_3C_Cunf_3E_un_3C_unf_3E_
#define QEL_DFP_BN_PREFIX_CODES un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_unf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_
#define QEL_DFP_BN_PLAIN_CODES un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_unf_3E_un_3C_Cunf_3E_
#define QEL_DFP_AVGPOOL_POS_CODES \
  un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_unf_3E_un_3C_unf_3E_un_3C_Cunf_3E_
#define QEL_DFP_AVGPOOL_IMG_CODES \
  un_3C_unt_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_unf_3E_un_3C_unf_3E_un_3C_Cunf_3E_
#define QEL_DFP_STEM_CODES                                                                                     \
  un_3C_unt_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_un_3C_unf_3E_un_3C_unf_3E_un_3C_unf_3E_un_3C_Cunf_3E_un_3C_Cunf_3E_

// The invstd task of one normalisation: the shared body under the kernel's own name.
#define QEL_DFP_BN_INVSTD_DEF(id, tag) \
  QEL_DFP_TASK_FN(id, tag, QEL_DFP_BN_INVSTD_CODES) { qel::dfp::bn_invstd_task(qel_args, qel_begin, qel_end); }
#define QEL_DFP_BN_INVSTD_TASK(id, tag) QEL_DFP_TASK_NAME(id, tag, QEL_DFP_BN_INVSTD_CODES)

// ---- bn_relu, prefix form --------------------------------------------------
#define QEL_DFP_BN_PREFIX(part, ...) QEL_DFP_IN_PART(part, QEL_DFP_BN_PREFIX_DEF, (__VA_ARGS__))
#define QEL_DFP_BN_PREFIX_DEF(id, block, layer, C, Xs, R, k, t_invstd, t_apply)                               \
  QEL_DFP_BN_INVSTD_DEF(id, t_invstd)                                                                        \
  QEL_DFP_TASK_FN(id, t_apply, QEL_DFP_BN_PREFIX_CODES) {                                                    \
    using namespace qel::dfp;                                                                                \
    bn_apply_rows<C, Xs, C>(slot<const float>(qel_args, 0), slot<const float>(qel_args, 1),                  \
                            slot<const float>(qel_args, 2), slot<const float>(qel_args, 4),                  \
                            slot<float>(qel_args, 3), slot<const float>(qel_args, 5), qel_begin, qel_end);   \
  }                                                                                                          \
  QEL_DFP_WRAPPER_2(id) {                                                                                    \
    qel::dfp::bn_relu_run<C, R, k>(ctx, t1, t2, QEL_DFP_BN_INVSTD_TASK(id, t_invstd),                        \
                                   QEL_DFP_TASK_NAME(id, t_apply, QEL_DFP_BN_PREFIX_CODES));                 \
  }                                                                                                          \
  QEL_DFP_EXPORT_2(id) {                                                                                     \
    qel::dfp::bn_relu_run<C, R, k>(ctx, t1, t2, QEL_DFP_BN_INVSTD_TASK(id, t_invstd),                        \
                                   QEL_DFP_TASK_NAME(id, t_apply, QEL_DFP_BN_PREFIX_CODES));                 \
  }

// ---- bn_relu, plain form ---------------------------------------------------
#define QEL_DFP_BN_PLAIN(part, ...) QEL_DFP_IN_PART(part, QEL_DFP_BN_PLAIN_DEF, (__VA_ARGS__))
#define QEL_DFP_BN_PLAIN_DEF(id, block, layer, C, R, k, t_invstd, t_apply)                                    \
  QEL_DFP_BN_INVSTD_DEF(id, t_invstd)                                                                        \
  QEL_DFP_TASK_FN(id, t_apply, QEL_DFP_BN_PLAIN_CODES) {                                                     \
    using namespace qel::dfp;                                                                                \
    bn_apply_rows<C, C, C>(slot<const float>(qel_args, 0), slot<const float>(qel_args, 1),                   \
                           slot<const float>(qel_args, 2), slot<const float>(qel_args, 3),                   \
                           slot<float>(qel_args, 4), slot<const float>(qel_args, 5), qel_begin, qel_end);    \
  }                                                                                                          \
  QEL_DFP_WRAPPER_2(id) {                                                                                    \
    qel::dfp::bn_relu_run<C, R, k>(ctx, t1, t2, QEL_DFP_BN_INVSTD_TASK(id, t_invstd),                        \
                                   QEL_DFP_TASK_NAME(id, t_apply, QEL_DFP_BN_PLAIN_CODES));                  \
  }                                                                                                          \
  QEL_DFP_EXPORT_2(id) {                                                                                     \
    qel::dfp::bn_relu_run<C, R, k>(ctx, t1, t2, QEL_DFP_BN_INVSTD_TASK(id, t_invstd),                        \
                                   QEL_DFP_TASK_NAME(id, t_apply, QEL_DFP_BN_PLAIN_CODES));                  \
  }

// ---- avgpool_bn_relu, one item per output position ---------------------------
#define QEL_DFP_AVGPOOL_POS(part, ...) QEL_DFP_IN_PART(part, QEL_DFP_AVGPOOL_POS_DEF, (__VA_ARGS__))
#define QEL_DFP_AVGPOOL_POS_DEF(id, C, Ho, Wo, k, t_invstd, t_main)                                           \
  QEL_DFP_BN_INVSTD_DEF(id, t_invstd)                                                                        \
  QEL_DFP_TASK_FN(id, t_main, QEL_DFP_AVGPOOL_POS_CODES) {                                                   \
    using namespace qel::dfp;                                                                                \
    avgpool_bn_rows<C, Ho, Wo>(slot<const float>(qel_args, 0), slot<const float>(qel_args, 1),               \
                               slot<const float>(qel_args, 2), slot<const float>(qel_args, 3),               \
                               slot<float>(qel_args, 4), slot<float>(qel_args, 5),                           \
                               slot<const float>(qel_args, 6), qel_begin, qel_end);                          \
  }                                                                                                          \
  QEL_DFP_WRAPPER_3(id) {                                                                                    \
    qel::dfp::avgpool_pos_run<C, 32 * Ho * Wo, k>(ctx, t1, t2, t3, QEL_DFP_BN_INVSTD_TASK(id, t_invstd),     \
                                                  QEL_DFP_TASK_NAME(id, t_main, QEL_DFP_AVGPOOL_POS_CODES)); \
  }                                                                                                          \
  QEL_DFP_EXPORT_3(id) {                                                                                     \
    qel::dfp::avgpool_pos_run<C, 32 * Ho * Wo, k>(ctx, t1, t2, t3, QEL_DFP_BN_INVSTD_TASK(id, t_invstd),     \
                                                  QEL_DFP_TASK_NAME(id, t_main, QEL_DFP_AVGPOOL_POS_CODES)); \
  }

// ---- avgpool_bn_relu, one item per image -------------------------------------
#define QEL_DFP_AVGPOOL_IMG(part, ...) QEL_DFP_IN_PART(part, QEL_DFP_AVGPOOL_IMG_DEF, (__VA_ARGS__))
#define QEL_DFP_AVGPOOL_IMG_DEF(id, C, k, t_invstd, t_main)                                                   \
  QEL_DFP_BN_INVSTD_DEF(id, t_invstd)                                                                        \
  QEL_DFP_TASK_FN(id, t_main, QEL_DFP_AVGPOOL_IMG_CODES) {                                                   \
    using namespace qel::dfp;                                                                                \
    avgpool_bn_images<C>(slot<void>(qel_args, 0), slot<const float>(qel_args, 1),                            \
                         slot<const float>(qel_args, 2), slot<const float>(qel_args, 3),                     \
                         slot<const float>(qel_args, 4), slot<float>(qel_args, 5), slot<float>(qel_args, 6), \
                         slot<const float>(qel_args, 7), qel_begin, qel_end);                                \
  }                                                                                                          \
  QEL_DFP_WRAPPER_3(id) {                                                                                    \
    qel::dfp::avgpool_img_run<C, 32, k>(ctx, t1, t2, t3, QEL_DFP_BN_INVSTD_TASK(id, t_invstd),               \
                                        QEL_DFP_TASK_NAME(id, t_main, QEL_DFP_AVGPOOL_IMG_CODES));           \
  }                                                                                                          \
  QEL_DFP_EXPORT_3(id) {                                                                                     \
    qel::dfp::avgpool_img_run<C, 32, k>(ctx, t1, t2, t3, QEL_DFP_BN_INVSTD_TASK(id, t_invstd),               \
                                        QEL_DFP_TASK_NAME(id, t_main, QEL_DFP_AVGPOOL_IMG_CODES));           \
  }

// ---- stem_bn_relu_maxpool ------------------------------------------------------
#define QEL_DFP_STEM(part, ...) QEL_DFP_IN_PART(part, QEL_DFP_STEM_DEF, (__VA_ARGS__))
#define QEL_DFP_STEM_DEF(id, k1, k2, t_invstd1, t_invstd2, t_main)                                          \
  QEL_DFP_BN_INVSTD_DEF(id, t_invstd1)                                                                     \
  QEL_DFP_BN_INVSTD_DEF(id, t_invstd2)                                                                     \
  QEL_DFP_TASK_FN(id, t_main, QEL_DFP_STEM_CODES) { qel::dfp::stem_task(qel_args, qel_begin, qel_end); }   \
  QEL_DFP_WRAPPER_4(id) {                                                                                  \
    qel::dfp::stem_run<k1, k2>(ctx, t1, t2, t3, t4, QEL_DFP_BN_INVSTD_TASK(id, t_invstd1),                 \
                               QEL_DFP_BN_INVSTD_TASK(id, t_invstd2),                                      \
                               QEL_DFP_TASK_NAME(id, t_main, QEL_DFP_STEM_CODES));                         \
  }                                                                                                        \
  QEL_DFP_EXPORT_4(id) {                                                                                   \
    qel::dfp::stem_run<k1, k2>(ctx, t1, t2, t3, t4, QEL_DFP_BN_INVSTD_TASK(id, t_invstd1),                 \
                               QEL_DFP_BN_INVSTD_TASK(id, t_invstd2),                                      \
                               QEL_DFP_TASK_NAME(id, t_main, QEL_DFP_STEM_CODES));                         \
  }
