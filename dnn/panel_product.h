// The handle layer's own matrix product, C = A x P (+ bias), for the
// matrix-product forms of small-image convolutions. A is M x K, row after
// row (`lda` values apart); C is M x N, rows `ldc` apart; P is K x N, stored
// as column blocks: block j holds columns [j * block, (j + 1) * block) as
// K rows `ldp` values apart, blocks `block_stride` values apart. This is the
// layout of convolution weights blocked over the output channels, read as
// given, and of the gathered pixel matrix (blocks of 16 columns).
//
// Every output value is one chain of fused multiply-adds over k = 0 .. K-1
// in that order, started from zero, with the bias added at the end. How the
// work is split between threads does not enter into it, so the product is
// bit for bit the same at every thread count.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace qel {
namespace dnn {
namespace dnnl {
namespace detail {

class PanelProduct {
 public:
  PanelProduct(int64_t m, int64_t n, int64_t k, int64_t lda, int64_t ldc, int64_t ldp, int64_t block,
               int64_t block_stride);

  // C = A x P, plus bias[j] in every row of column j when `bias` is given.
  void run(const float* a, const float* p, float* c, const float* bias) const;
  // The same with P written as it is used: `fill(i)` writes panel i (the
  // up to 16 columns of one block, counted in column order; with blocks of
  // 16 columns, block i) on the thread that then multiplies every row of A
  // by it, while the panel is in that thread's caches.
  void run(const float* a, const float* p, float* c, const float* bias,
           const std::function<void(size_t)>& fill) const;

 private:
  // Up to 16 columns of P that lie side by side in one block.
  struct Panel {
    int64_t offset;  // of its first value in P
    int64_t column;  // its first column
    int width;       // 1 to 16
  };

  int64_t m_, k_, lda_, ldc_, ldp_;
  bool parallel_;
  std::vector<Panel> panels_;
};

}  // namespace detail
}  // namespace dnnl
}  // namespace dnn
}  // namespace qel
