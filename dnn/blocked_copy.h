// The handle layer's own reorder kernel for one family of layouts: two
// layouts of one single-precision tensor that differ only in how one axis,
// the channels, is cut into blocks. Every other axis together forms the
// rows, in the same order and densely packed on both sides:
//
//   [ceil(C / Bs)][rows][Bs]  ->  [ceil(C / Bd)][rows][Bd]
//
// where a side without blocks is the plain [rows][C] (one block of C). This
// is every weight reorder of the network (plain K x K x Cin x Cout into
// Cout blocks) and every conversion of those weights into the block width a
// convolution prefers. The copy places each element exactly where oneDNN's
// reorder does and writes +0 into the padded channels of the destination's
// last block, so it can stand in for oneDNN's reorder bit for bit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dnn/dnnl_handle.h"

namespace qel {
namespace dnn {
namespace dnnl {
namespace detail {

class BlockedCopy {
 public:
  // A stretch of one row: `len` values from src offset `src` to dst offset
  // `dst` (offsets of row 0; row r adds r times the row stride on each
  // side), or +0 when `src` is negative.
  struct Run {
    int64_t src, dst, len;
  };

  // Plans the copy from `src` to `dst`; false (and the plan unchanged) when
  // the two descriptors are not of the family above.
  bool plan(const MemoryDesc& src, const MemoryDesc& dst);
  // Plans any copy made of `rows` rows of one pattern: row r reads at
  // r * src_stride and writes at r * dst_stride, `dst_size` values in all.
  void plan_rows(int64_t rows, int64_t src_stride, int64_t dst_stride, std::vector<Run> runs, int64_t dst_size);

  // Runs the planned copy; parallel over the rows (OpenMP) when the tensor
  // is large enough to pay for waking the threads.
  void run(const float* src, float* dst) const;
  // Runs part of it on the calling thread: runs [first, last) of the
  // pattern, each down every row, so that a run whose rows lie side by side
  // in the destination writes one stretch of memory.
  void run_part(const float* src, float* dst, size_t first, size_t last) const;

  // Values the destination holds (padding included).
  int64_t dst_size() const noexcept { return dst_size_; }

 private:
  int64_t rows_ = 0;
  int64_t src_stride_ = 0, dst_stride_ = 0;
  int64_t dst_size_ = 0;
  std::vector<Run> runs_;  // the pattern of a row, in destination order
};

}  // namespace detail
}  // namespace dnnl
}  // namespace dnn
}  // namespace qel
