// The handle layer's matrix product (see panel_product.h).
#include "dnn/panel_product.h"

#include <immintrin.h>

#include <algorithm>

namespace qel {
namespace dnn {
namespace dnnl {
namespace detail {

namespace {

// Register block: 6 rows of A against a panel of 16 columns, twelve
// accumulators that stay in registers for the whole of K. Work is handed
// out in items of one panel and up to 48 rows.
constexpr int kRows = 6;
constexpr int64_t kChunkRows = 48;
// Products smaller than this many multiply-adds run on the calling thread.
constexpr int64_t kParallelWork = int64_t{1} << 18;

// The lanes of the two 8-value halves of a panel row that hold its `width`
// columns.
struct Lanes {
  __m256i lo, hi;
  explicit Lanes(int width) {
    const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    lo = _mm256_cmpgt_epi32(_mm256_set1_epi32(width), index);
    hi = _mm256_cmpgt_epi32(_mm256_set1_epi32(width - 8), index);
  }
};

template <bool kFull>
inline __m256 load(const float* p, __m256i lanes) {
  return kFull ? _mm256_loadu_ps(p) : _mm256_maskload_ps(p, lanes);
}
template <bool kFull>
inline void store(float* p, __m256i lanes, __m256 v) {
  if (kFull)
    _mm256_storeu_ps(p, v);
  else
    _mm256_maskstore_ps(p, lanes, v);
}

// Rows [0, R) of C's panel, plus the bias when given.
template <int R, bool kFull>
void register_block(int64_t k, const float* a, int64_t lda, const float* p, int64_t ldp, float* c, int64_t ldc,
                    const float* bias, const Lanes& lanes) {
  __m256 lo[R], hi[R];
#pragma GCC unroll 6
  for (int r = 0; r < R; ++r) lo[r] = hi[r] = _mm256_setzero_ps();
#pragma GCC unroll 4
  for (int64_t i = 0; i < k; ++i) {
    const __m256 p0 = load<kFull>(p + i * ldp, lanes.lo), p1 = load<kFull>(p + i * ldp + 8, lanes.hi);
#pragma GCC unroll 6
    for (int r = 0; r < R; ++r) {
      const __m256 x = _mm256_broadcast_ss(a + r * lda + i);
      lo[r] = _mm256_fmadd_ps(x, p0, lo[r]);
      hi[r] = _mm256_fmadd_ps(x, p1, hi[r]);
    }
  }
  if (bias) {
    const __m256 b0 = load<kFull>(bias, lanes.lo), b1 = load<kFull>(bias + 8, lanes.hi);
#pragma GCC unroll 6
    for (int r = 0; r < R; ++r) {
      lo[r] = _mm256_add_ps(lo[r], b0);
      hi[r] = _mm256_add_ps(hi[r], b1);
    }
  }
#pragma GCC unroll 6
  for (int r = 0; r < R; ++r) {
    store<kFull>(c + r * ldc, lanes.lo, lo[r]);
    store<kFull>(c + r * ldc + 8, lanes.hi, hi[r]);
  }
}

using BlockFn = void (*)(int64_t, const float*, int64_t, const float*, int64_t, float*, int64_t, const float*,
                         const Lanes&);
// The register block for 1 to kRows rows ([rows - 1]) of a full or a
// partial panel.
template <bool kFull>
constexpr BlockFn kBlocks[kRows] = {register_block<1, kFull>, register_block<2, kFull>, register_block<3, kFull>,
                                    register_block<4, kFull>, register_block<5, kFull>, register_block<6, kFull>};

}  // namespace

PanelProduct::PanelProduct(int64_t m, int64_t n, int64_t k, int64_t lda, int64_t ldc, int64_t ldp, int64_t block,
                           int64_t block_stride)
    : m_(m), k_(k), lda_(lda), ldc_(ldc), ldp_(ldp), parallel_(m * n * k >= kParallelWork) {
  for (int64_t first = 0; first < n; first += block)
    for (int64_t col = first; col < std::min(n, first + block); col += 16)
      panels_.push_back({first / block * block_stride + (col - first), col,
                         static_cast<int>(std::min<int64_t>(16, std::min(n, first + block) - col))});
}

void PanelProduct::run(const float* a, const float* p, float* c, const float* bias) const {
  run(a, p, c, bias, nullptr);
}

void PanelProduct::run(const float* a, const float* p, float* c, const float* bias,
                       const std::function<void(size_t)>& fill) const {
  // An item is one panel and a chunk of rows, all rows when the panel is
  // filled first. Items of one panel follow each other, so that a thread's
  // items mostly share their panel.
  const int64_t chunk_rows = fill ? std::max<int64_t>(m_, 1) : kChunkRows;
  const int64_t chunks = (m_ + chunk_rows - 1) / chunk_rows;
  const int64_t items = static_cast<int64_t>(panels_.size()) * chunks;
#pragma omp parallel for schedule(static) if (parallel_ && items > 1)
  for (int64_t item = 0; item < items; ++item) {
    const size_t index = static_cast<size_t>(item / chunks);
    const Panel& panel = panels_[index];
    if (fill) fill(index);
    const int64_t first_row = item % chunks * chunk_rows, end_row = std::min(m_, first_row + chunk_rows);
    const Lanes lanes(panel.width);
    const BlockFn* const blocks = panel.width == 16 ? kBlocks<true> : kBlocks<false>;
    for (int64_t r = first_row; r < end_row; r += kRows)
      blocks[std::min<int64_t>(kRows, end_row - r) - 1](k_, a + r * lda_, lda_, p + panel.offset, ldp_,
                                                        c + r * ldc_ + panel.column, ldc_,
                                                        bias ? bias + panel.column : nullptr, lanes);
  }
}

}  // namespace detail
}  // namespace dnnl
}  // namespace dnn
}  // namespace qel
