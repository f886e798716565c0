// Tensor checks of the network function and the failure report.
#pragma once
#include <cstdint>
#include <sstream>

#include "runtime/qel_export.h"
#include "runtime/qel_records.h"

extern "C" {
// Prints "Module: ", "File: ", "Line: " and "Message: " lines to standard output
// and ends the process with exit status 1.
[[noreturn]] QEL_EXPORT void qel_exception_throw(const char* module, const char* file, int line,
                                                 const char* message);
}

// Throws int 0 at the first of the n extents that differs from `expected`.
void qel_tensor_check_shape(const int64_t* extents, const int64_t* expected, int n);
// Appends the descriptor's first min(rank, 8) extents, separated by ", ".
void qel_tensor_check_render_shape(std::ostringstream& os, const qel_tensor_struct* t);

namespace qel {
namespace detail {
// Composes the three-line mismatch message and reports it; never returns.
[[noreturn]] void report_mismatch(const char* file, int line, const qel_tensor_struct* t,
                                  const char* name, int32_t dtype, const int64_t* expected, int n);
}  // namespace detail
}  // namespace qel

// The check of a tensor against an expected data type and four extents
// (rank 4) or one extent (rank 1; a rank-0 scalar passes for [1]).
// Returns only when the tensor matches.
template <typename... Dims>
void qel_tensor_check(const char* file, int line, const qel_tensor_struct* t, const char* name,
                      int32_t dtype, Dims... dims) {
  static_assert(sizeof...(Dims) == 4 || sizeof...(Dims) == 1, "checks take one or four extents");
  constexpr int n = sizeof...(Dims);
  const int64_t expected[n] = {static_cast<int64_t>(dims)...};
  try {
    if (t->dtype != dtype) throw 0;
    if (n == 1 && t->rank == 0) {
      if (expected[0] == 1) return;
      throw 0;
    }
    if (t->rank != n) throw 0;
    qel_tensor_check_shape(t->extents, expected, n);
  } catch (int) {
    qel::detail::report_mismatch(file, line, t, name, dtype, expected, n);
  }
}
