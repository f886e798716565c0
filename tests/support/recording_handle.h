// Test support shared by the kernel suites: float bit patterns, and a device
// handle whose memory operations record every request and serve it from the
// heap.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "runtime/qel_records.h"

namespace qel_test {

inline uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

inline float from_bits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, 4);
  return f;
}

// One call of the handle's malloc or free slot, as the descriptor stood on entry.
struct Request {
  bool is_malloc;
  int32_t rank, dtype;
  int64_t extents[8];
  int64_t count;
  bool handle_matches;  // the slot was called with the descriptor's own data_handle
  bool data_was_null;
  bool mirror_clear;    // mirror slot and data_aux zero on entry
  const void* descriptor;
  const void* data;     // data on entry (free) or on return (malloc)
};

// A device handle that records its requests. Each allocation is exactly the
// size requested (so that the sanitizers catch a kernel writing past its
// scratch) and filled with a pattern, so a kernel that read scratch before
// writing it would see garbage, not zeros.
struct RecordingHandle {
  qel_handle_struct handle{qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{}};  // first member
  std::vector<Request> requests;

  RecordingHandle() {
    handle.malloc = &on_malloc;
    handle.free = &on_free;
    handle.memset = nullptr;
    handle.init = nullptr;
    handle.spare[0] = handle.spare[1] = handle.spare[2] = nullptr;
  }
  RecordingHandle(const RecordingHandle&) = delete;
  RecordingHandle& operator=(const RecordingHandle&) = delete;

 private:
  static RecordingHandle* of(const qel_handle_struct* h) {
    return reinterpret_cast<RecordingHandle*>(const_cast<qel_handle_struct*>(h));
  }
  static Request note(bool is_malloc, const qel_handle_struct* h, const qel_tensor_struct* t) {
    Request r{is_malloc, t->rank, t->dtype, {}, t->count, t->data_handle == h, t->data == nullptr,
              t->mirror_handle == nullptr && t->mirror_aux == 0 && t->mirror_ptr == nullptr && t->data_aux == 0,
              t, t->data};
    std::memcpy(r.extents, t->extents, sizeof r.extents);
    return r;
  }
  static void on_malloc(const qel_handle_struct* h, qel_tensor_struct* t) {
    Request r = note(true, h, t);
    const size_t bytes = static_cast<size_t>(t->count * qel_dtype_size(t->dtype));
    void* p = nullptr;
    if (posix_memalign(&p, 64, bytes) != 0) std::abort();
    std::memset(p, 0x7f, bytes);
    if (t->data_handle == h) {
      t->data_aux = 0;
      t->data = p;
    }
    r.data = p;
    of(h)->requests.push_back(r);
  }
  static void on_free(const qel_handle_struct* h, qel_tensor_struct* t) {
    of(h)->requests.push_back(note(false, h, t));
    std::free(t->data);
    if (t->data_handle == h) {
      t->data_aux = 0;
      t->data = nullptr;
    }
  }
};
static_assert(std::is_standard_layout<RecordingHandle>::value, "the handle is found from its first member");

}  // namespace qel_test
