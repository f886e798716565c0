// Bytes of the heap in use by this process.
#pragma once
#include <malloc.h>

#include <cstddef>

#ifdef __SANITIZE_ADDRESS__
// The sanitizer's allocator keeps its own count (mallinfo2 knows nothing of it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

inline size_t live_heap() {
#ifdef __SANITIZE_ADDRESS__
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#endif
}
