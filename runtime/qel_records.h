// Records shared by every part of the library: the tensor descriptor, the
// execution context, the device handle and the data-type codes. Their layouts
// are fixed (the imported handle layer receives the whole context), so every
// size and offset is pinned by static_asserts below.
#pragma once
#include <cstddef>
#include <cstdint>

struct qel_handle_struct;

struct qel_tensor_struct {
  int64_t extents[8];                        // outermost first, 0 from `rank` on
  int64_t count;                             // product of the first `rank` extents
  int32_t rank;
  int32_t dtype;                             // data-type code
  const qel_handle_struct* mirror_handle;    // owner of the mirror slot
  uint64_t mirror_aux;
  void* mirror_ptr;
  const qel_handle_struct* data_handle;      // owner of the data slot
  uint64_t data_aux;
  void* data;                                // the tensor's memory
};

struct qel_ctx_struct {
  qel_tensor_struct* inputs;
  qel_tensor_struct* params;
  qel_tensor_struct* outputs;
  uint64_t reserved0[5];                     // never written
  void* vdims;                               // 8-byte block of zeros
  uint64_t reserved1[2];                     // 0
  const qel_handle_struct* aux_handle;
  const qel_handle_struct* alloc_handle;     // intermediates and scratch come from here
  int32_t num_inputs;
  int32_t num_params;
  int32_t num_outputs;
};

struct qel_device_struct {
  const char* name;
  int32_t index;
  qel_device_struct(const char* n, int32_t i) : name(n), index(i) {}
};

// The operation table the handle constructor takes; it is not read.
struct qel_handle_ptrs_struct {};

using qel_malloc_fn = void (*)(const qel_handle_struct*, qel_tensor_struct*);
using qel_free_fn = void (*)(const qel_handle_struct*, qel_tensor_struct*);
using qel_memset_fn = void (*)(const qel_handle_struct*, const qel_tensor_struct*, const void*, void*);
using qel_init_fn = void (*)(const qel_handle_struct*, qel_tensor_struct*);

struct qel_handle_struct {
  qel_device_struct device;
  void* opaque;
  qel_malloc_fn malloc;
  qel_free_fn free;
  qel_memset_fn memset;
  qel_init_fn init;
  void* spare[3];

  // Stores device and opaque only; the operation slots keep what they held.
  qel_handle_struct(const qel_device_struct& dev, void* op, const qel_handle_ptrs_struct&)
      : device(dev), opaque(op) {}
};

// Data-type codes. A pair code is (second << 8) | first.
enum qel_dtype : int32_t {
  QEL_S8 = 1, QEL_S16 = 2, QEL_S32 = 3, QEL_S64 = 4,
  QEL_U8 = 5, QEL_U16 = 6, QEL_U32 = 7, QEL_U64 = 8,
  QEL_F32 = 11, QEL_F64 = 12, QEL_BOOLEAN = 13,
};

// Name of a code, or null for a code outside the table.
const char* qel_dtype_str(int32_t code);
// Element size in bytes of a code, 0 for a code outside the table.
int64_t qel_dtype_size(int32_t code);

static_assert(sizeof(qel_tensor_struct) == 128, "tensor descriptor layout");
static_assert(offsetof(qel_tensor_struct, count) == 64, "tensor descriptor layout");
static_assert(offsetof(qel_tensor_struct, rank) == 72, "tensor descriptor layout");
static_assert(offsetof(qel_tensor_struct, dtype) == 76, "tensor descriptor layout");
static_assert(offsetof(qel_tensor_struct, mirror_handle) == 80, "tensor descriptor layout");
static_assert(offsetof(qel_tensor_struct, mirror_aux) == 88, "tensor descriptor layout");
static_assert(offsetof(qel_tensor_struct, mirror_ptr) == 96, "tensor descriptor layout");
static_assert(offsetof(qel_tensor_struct, data_handle) == 104, "tensor descriptor layout");
static_assert(offsetof(qel_tensor_struct, data_aux) == 112, "tensor descriptor layout");
static_assert(offsetof(qel_tensor_struct, data) == 120, "tensor descriptor layout");

static_assert(offsetof(qel_ctx_struct, params) == 8, "context layout");
static_assert(offsetof(qel_ctx_struct, outputs) == 16, "context layout");
static_assert(offsetof(qel_ctx_struct, vdims) == 64, "context layout");
static_assert(offsetof(qel_ctx_struct, aux_handle) == 88, "context layout");
static_assert(offsetof(qel_ctx_struct, alloc_handle) == 96, "context layout");
static_assert(offsetof(qel_ctx_struct, num_inputs) == 104, "context layout");
static_assert(offsetof(qel_ctx_struct, num_params) == 108, "context layout");
static_assert(offsetof(qel_ctx_struct, num_outputs) == 112, "context layout");
static_assert(sizeof(qel_ctx_struct) == 120, "context layout");

static_assert(sizeof(qel_device_struct) == 16, "device record layout");
static_assert(offsetof(qel_device_struct, index) == 8, "device record layout");
static_assert(offsetof(qel_handle_struct, opaque) == 16, "handle layout");
static_assert(offsetof(qel_handle_struct, malloc) == 24, "handle layout");
static_assert(offsetof(qel_handle_struct, free) == 32, "handle layout");
static_assert(offsetof(qel_handle_struct, memset) == 40, "handle layout");
static_assert(offsetof(qel_handle_struct, init) == 48, "handle layout");
static_assert(offsetof(qel_handle_struct, spare) == 56, "handle layout");
static_assert(sizeof(qel_handle_struct) == 80, "handle layout");
