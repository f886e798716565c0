// All 316 vectorised kernels as the tests and benchmarks see them: the instance
// table expanded once into declarations of every wrapper, export and task, and
// once into one record per kernel holding its constants and its functions.
#pragma once
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "dfp_forms.h"
#include "tests/support/recording_handle.h"

#undef QEL_DFP_BN_PREFIX
#undef QEL_DFP_BN_PLAIN
#undef QEL_DFP_AVGPOOL_POS
#undef QEL_DFP_AVGPOOL_IMG
#undef QEL_DFP_STEM
#undef QEL_DFP_CONCAT_COPY
#undef QEL_DFP_INPUT_PAD
#undef QEL_DFP_LEAKY_RELU
#undef QEL_DFP_UPSAMPLE_BILINEAR
#undef QEL_DFP_LEAKY_RELU_UPSAMPLE

// ---- declarations ------------------------------------------------------------
#define KT_DECL(n, id)     \
  QEL_DFP_WRAPPER_##n(id); \
  QEL_DFP_EXPORT_##n(id);
#define KT_DECL_TASK(id, tag, codes) QEL_DFP_TASK_FN(id, tag, codes);
#define KT_DECL_BN(n, id, t1, t2, codes) \
  KT_DECL(n, id) KT_DECL_TASK(id, t1, QEL_DFP_BN_INVSTD_CODES) KT_DECL_TASK(id, t2, codes)
#define QEL_DFP_BN_PREFIX(p, id, b, l, C, Xs, R, k, t1, t2) KT_DECL_BN(2, id, t1, t2, QEL_DFP_BN_PREFIX_CODES)
#define QEL_DFP_BN_PLAIN(p, id, b, l, C, R, k, t1, t2) KT_DECL_BN(2, id, t1, t2, QEL_DFP_BN_PLAIN_CODES)
#define QEL_DFP_AVGPOOL_POS(p, id, C, Ho, Wo, k, t1, t2) KT_DECL_BN(3, id, t1, t2, QEL_DFP_AVGPOOL_POS_CODES)
#define QEL_DFP_AVGPOOL_IMG(p, id, C, k, t1, t2) KT_DECL_BN(3, id, t1, t2, QEL_DFP_AVGPOOL_IMG_CODES)
#define QEL_DFP_STEM(p, id, k1, k2, t1, t2, t3) \
  KT_DECL_BN(4, id, t1, t3, QEL_DFP_STEM_CODES) KT_DECL_TASK(id, t2, QEL_DFP_BN_INVSTD_CODES)
#define QEL_DFP_CONCAT_COPY(p, id, S, Xs, O, R, t) KT_DECL(2, id) KT_DECL_TASK(id, t, QEL_DFP_MOVE_RW)
#define QEL_DFP_INPUT_PAD(p, id, count, t) KT_DECL(1, id) KT_DECL_TASK(id, t, QEL_DFP_MOVE_RW)
#define QEL_DFP_LEAKY_RELU(p, id, count, t) KT_DECL(2, id) KT_DECL_TASK(id, t, QEL_DFP_MOVE_RW)
#define QEL_DFP_UPSAMPLE_BILINEAR(p, id, H, W, C, Cdst, t) KT_DECL(2, id) KT_DECL_TASK(id, t, QEL_DFP_MOVE_RW)
#define QEL_DFP_LEAKY_RELU_UPSAMPLE(p, id, H, W, C, Cdst, S, t) KT_DECL(2, id) KT_DECL_TASK(id, t, QEL_DFP_MOVE_BRW)
#include "dfp_instances.def"

namespace kt {

enum Form { kPrefix, kPlain, kAvgpoolPos, kAvgpoolImg, kStem, kCopy, kPad, kLeaky, kUpsample, kLeakyUpsample };
inline const char* form_name(Form f) {
  static const char* const names[] = {"prefix", "plain", "avgpool_pos", "avgpool_img", "stem",
                                      "copy",   "pad",   "leaky",       "upsample",    "leaky_upsample"};
  return names[f];
}

using Task = void (*)(void*, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t);

// One kernel. Normalisations: block, layer, C, Xs (row width of the read
// tensor), R (rows), k (first parameter), k2; pooling: C, H x W (output side),
// k. Copies: S channels into [O, O + S) of rows of Xs, R rows. Padding and
// LeakyReLU: count. Upsampling: H x W x C into rows of Cdst, slice bytes.
// The table is a plain array of these (it compiles fast); Row adds lists.
struct RawRow {
  Form form;
  const char* name;
  int tensors;
  void* wrapper;
  void* exported;
  Task task_fns[3];         // in launch order, null after the last
  const char* task_tags[3];  // their numbers
  int block, layer, C, Xs, R, k, k2, H, W, Cdst, S, O, count;
  int64_t slice;
};
struct Row : RawRow {
  explicit Row(const RawRow& r) : RawRow(r), id(r.name) {
    for (int i = 0; i < 3 && r.task_fns[i] != nullptr; ++i) tasks.push_back(r.task_fns[i]), tags.push_back(r.task_tags[i]);
  }
  std::string id;
  std::vector<Task> tasks;        // in launch order
  std::vector<std::string> tags;  // their numbers
};

// ---- records -------------------------------------------------------------------
#define KT_FNS(n, id)                                    \
  n, reinterpret_cast<void*>(&QEL_DFP_WRAPPER_NAME(id)), \
      reinterpret_cast<void*>(&QEL_DFP_EXPORT_NAME(id, QEL_DFP_EXPORT_CODES_##n))
#define KT_T(id, tag, codes) &QEL_DFP_TASK_NAME(id, tag, codes)
#define KT_BN(f, n, id, t1, t2, codes) \
  f, #id, KT_FNS(n, id), {KT_T(id, t1, QEL_DFP_BN_INVSTD_CODES), KT_T(id, t2, codes)}, { #t1, #t2 }
#define KT_MOVE(f, n, id, t, codes) \
  f, #id, KT_FNS(n, id), {KT_T(id, t, codes)}, { #t }

inline const std::vector<Row>& rows() {
  static const RawRow raw[] = {
#define QEL_DFP_BN_PREFIX(p, id, b, l, C, Xs, R, k, t1, t2) \
  {KT_BN(kPrefix, 2, id, t1, t2, QEL_DFP_BN_PREFIX_CODES), b, l, C, Xs, R, k, 0, 0, 0, 0, 0, 0, 0, 0},
#define QEL_DFP_BN_PLAIN(p, id, b, l, C, R, k, t1, t2) \
  {KT_BN(kPlain, 2, id, t1, t2, QEL_DFP_BN_PLAIN_CODES), b, l, C, C, R, k, 0, 0, 0, 0, 0, 0, 0, 0},
#define QEL_DFP_AVGPOOL_POS(p, id, C, Ho, Wo, k, t1, t2) \
  {KT_BN(kAvgpoolPos, 3, id, t1, t2, QEL_DFP_AVGPOOL_POS_CODES), 0, 0, C, C, 0, k, 0, Ho, Wo, 0, 0, 0, 0, 0},
#define QEL_DFP_AVGPOOL_IMG(p, id, C, k, t1, t2) \
  {KT_BN(kAvgpoolImg, 3, id, t1, t2, QEL_DFP_AVGPOOL_IMG_CODES), 0, 0, C, C, 0, k, 0, 1, 1, 0, 0, 0, 0, 0},
#define QEL_DFP_STEM(p, id, k1, k2, t1, t2, t3)                                                                    \
  {kStem, #id, KT_FNS(4, id),                                                                                      \
   {KT_T(id, t1, QEL_DFP_BN_INVSTD_CODES), KT_T(id, t2, QEL_DFP_BN_INVSTD_CODES), KT_T(id, t3, QEL_DFP_STEM_CODES)}, \
   {#t1, #t2, #t3}, 0, 0, 64, 64, 0, k1, k2, 16, 16, 0, 0, 0, 0, 0},
#define QEL_DFP_CONCAT_COPY(p, id, S, Xs, O, R, t) \
  {KT_MOVE(kCopy, 2, id, t, QEL_DFP_MOVE_RW), 0, 0, 0, Xs, R, 0, 0, 0, 0, 0, S, O, 0, 0},
#define QEL_DFP_INPUT_PAD(p, id, count, t) \
  {KT_MOVE(kPad, 1, id, t, QEL_DFP_MOVE_RW), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, count, 0},
#define QEL_DFP_LEAKY_RELU(p, id, count, t) \
  {KT_MOVE(kLeaky, 2, id, t, QEL_DFP_MOVE_RW), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, count, 0},
#define QEL_DFP_UPSAMPLE_BILINEAR(p, id, H, W, C, Cdst, t) \
  {KT_MOVE(kUpsample, 2, id, t, QEL_DFP_MOVE_RW), 0, 0, C, 0, 0, 0, 0, H, W, Cdst, 0, 0, 0, 0},
#define QEL_DFP_LEAKY_RELU_UPSAMPLE(p, id, H, W, C, Cdst, S, t) \
  {KT_MOVE(kLeakyUpsample, 2, id, t, QEL_DFP_MOVE_BRW), 0, 0, C, 0, 0, 0, 0, H, W, Cdst, 0, 0, 0, S},
#include "dfp_instances.def"
  };
  static const std::vector<Row> all(std::begin(raw), std::end(raw));
  return all;
}

// The first row of a form, or the row of an id.
inline const Row& find(Form f) {
  for (const Row& r : rows())
    if (r.form == f) return r;
  return rows().front();
}
inline const Row& find(const std::string& id) {
  for (const Row& r : rows())
    if (r.id == id) return r;
  return rows().front();
}

// Calls the kernel's wrapper, or its export with the 8-lane mask `m` (bit i:
// lane i on) when m >= 0, with the tensors in argument order.
inline void call(const Row& r, qel_ctx_struct* ctx, const std::vector<qel_tensor_struct*>& args, int m = -1) {
  using T = qel_tensor_struct*;
  T t[4] = {};
  std::copy(args.begin(), args.end(), t);
  const __m256i mask = _mm256_cmpgt_epi32(
      _mm256_and_si256(_mm256_set1_epi32(m), _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128)), _mm256_setzero_si256());
  void* f = m < 0 ? r.wrapper : r.exported;
  switch (r.tensors) {
    case 1:
      return m < 0 ? reinterpret_cast<void (*)(qel_ctx_struct*, T)>(f)(ctx, t[0])
                   : reinterpret_cast<void (*)(qel_ctx_struct*, T, __m256i)>(f)(ctx, t[0], mask);
    case 2:
      return m < 0 ? reinterpret_cast<void (*)(qel_ctx_struct*, T, T)>(f)(ctx, t[0], t[1])
                   : reinterpret_cast<void (*)(qel_ctx_struct*, T, T, __m256i)>(f)(ctx, t[0], t[1], mask);
    case 3:
      return m < 0 ? reinterpret_cast<void (*)(qel_ctx_struct*, T, T, T)>(f)(ctx, t[0], t[1], t[2])
                   : reinterpret_cast<void (*)(qel_ctx_struct*, T, T, T, __m256i)>(f)(ctx, t[0], t[1], t[2], mask);
    default:
      return m < 0 ? reinterpret_cast<void (*)(qel_ctx_struct*, T, T, T, T)>(f)(ctx, t[0], t[1], t[2], t[3])
                   : reinterpret_cast<void (*)(qel_ctx_struct*, T, T, T, T, __m256i)>(f)(ctx, t[0], t[1], t[2], t[3],
                                                                                         mask);
  }
}

// A context whose parameters and input are given by the caller and whose
// handle records every request.
struct Context {
  qel_test::RecordingHandle handle;
  qel_tensor_struct input{};
  std::vector<qel_tensor_struct> params;
  qel_ctx_struct ctx{};
  Context() : params(1024) {
    ctx.inputs = &input;
    ctx.params = params.data();
    ctx.alloc_handle = &handle.handle;
    ctx.aux_handle = &handle.handle;
    ctx.num_inputs = 1;
    ctx.num_params = 1024;
    ctx.num_outputs = 1;
  }
};

// A tensor descriptor around caller-owned memory.
inline qel_tensor_struct tensor(void* data) {
  qel_tensor_struct t{};
  t.data = data;
  return t;
}

}  // namespace kt
