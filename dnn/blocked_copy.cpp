// The handle layer's channel-block copy kernel (see blocked_copy.h).
#include "dnn/blocked_copy.h"

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <cstring>

namespace qel {
namespace dnn {
namespace dnnl {
namespace detail {

namespace {

// How one side cuts the channel axis into blocks, and the rows around them.
struct ChannelBlocks {
  int64_t block = 0;   // channels per block (all of them on a plain side)
  int64_t padded = 0;  // channels including the padding of the last block
  int64_t rows = 0;
  std::vector<int> row_axes;  // axes of extent above one, outermost first
};

// Whether `d` lays out axis `k` as [padded / block][rows][block] with the
// other axes densely packed as the rows (see blocked_copy.h).
bool channel_blocks(const MemoryDesc& d, int k, ChannelBlocks& out) {
  if (d.data_type != dnnl_f32 || d.format_kind != dnnl_blocked || d.offset0 != 0) return false;
  for (int i = 0; i < d.ndims; ++i)
    if (d.padded_offsets[i] != 0 || (i != k && d.padded_dims[i] != d.dims[i]) || d.dims[i] < 1) return false;
  const int64_t c = d.dims[k];
  if (d.inner_nblks == 0) {
    if (d.padded_dims[k] != c || (c > 1 && d.strides[k] != 1)) return false;
    out.block = c;
  } else if (d.inner_nblks == 1 && d.inner_idxs[0] == k) {
    out.block = d.inner_blks[0];
    if (d.padded_dims[k] != (c + out.block - 1) / out.block * out.block) return false;
  } else {
    return false;
  }
  out.padded = d.padded_dims[k];
  out.row_axes.clear();
  for (int i = 0; i < d.ndims; ++i)
    if (i != k && d.dims[i] > 1) out.row_axes.push_back(i);
  std::stable_sort(out.row_axes.begin(), out.row_axes.end(),
                   [&](int a, int b) { return d.strides[a] > d.strides[b]; });
  int64_t expected = out.block;  // stride of the innermost row axis
  for (auto it = out.row_axes.rbegin(); it != out.row_axes.rend(); ++it) {
    if (d.strides[*it] != expected) return false;
    expected *= d.dims[*it];
  }
  out.rows = expected / out.block;
  // Several blocks: the block index is the outermost axis.
  return out.padded == out.block || d.strides[k] == expected;
}

// Copies n values; bit for bit, since nothing here does arithmetic.
inline void copy_values(const float* s, float* d, int64_t n) {
  int64_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256 a = _mm256_loadu_ps(s + i), b = _mm256_loadu_ps(s + i + 8);
    const __m256 c = _mm256_loadu_ps(s + i + 16), e = _mm256_loadu_ps(s + i + 24);
    _mm256_storeu_ps(d + i, a);
    _mm256_storeu_ps(d + i + 8, b);
    _mm256_storeu_ps(d + i + 16, c);
    _mm256_storeu_ps(d + i + 24, e);
  }
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(d + i, _mm256_loadu_ps(s + i));
  if (i < n) std::memcpy(d + i, s + i, sizeof(float) * static_cast<size_t>(n - i));
}

inline void zero_values(float* d, int64_t n) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(d + i, _mm256_setzero_ps());
  for (; i < n; ++i) d[i] = 0.0f;
}

// One run of a row whose values start at `s` and `d`.
inline void copy_run(const BlockedCopy::Run& run, const float* s, float* d) {
  if (run.src >= 0)
    copy_values(s + run.src, d + run.dst, run.len);
  else
    zero_values(d + run.dst, run.len);
}

// Below this many destination bytes one thread copies alone: waking the
// others costs more than they save.
constexpr int64_t kParallelBytes = int64_t{64} << 10;

}  // namespace

bool BlockedCopy::plan(const MemoryDesc& src, const MemoryDesc& dst) {
  if (src.ndims != dst.ndims || src.ndims < 1) return false;
  for (int i = 0; i < src.ndims; ++i)
    if (src.dims[i] != dst.dims[i]) return false;
  int k = -1;
  if (src.inner_nblks == 1) k = static_cast<int>(src.inner_idxs[0]);
  else if (dst.inner_nblks == 1) k = static_cast<int>(dst.inner_idxs[0]);
  if (k < 0) return false;
  ChannelBlocks s, d;
  if (!channel_blocks(src, k, s) || !channel_blocks(dst, k, d) || s.row_axes != d.row_axes || s.rows != d.rows)
    return false;

  // The pattern of row 0, in destination order; neighbours that continue
  // each other on both sides form one run.
  const int64_t channels = src.dims[k];
  std::vector<Run> runs;
  for (int64_t c = 0; c < d.padded; ++c) {
    const int64_t to = (c / d.block) * d.rows * d.block + c % d.block;
    const int64_t from = c < channels ? (c / s.block) * s.rows * s.block + c % s.block : -1;
    if (!runs.empty()) {
      Run& last = runs.back();
      const bool zero = from < 0;
      if (zero == (last.src < 0) && last.dst + last.len == to && (zero || last.src + last.len == from)) {
        ++last.len;
        continue;
      }
    }
    runs.push_back({from, to, 1});
  }
  plan_rows(s.rows, s.block, d.block, std::move(runs), s.rows * d.padded);
  return true;
}

void BlockedCopy::plan_rows(int64_t rows, int64_t src_stride, int64_t dst_stride, std::vector<Run> runs,
                            int64_t dst_size) {
  rows_ = rows;
  src_stride_ = src_stride;
  dst_stride_ = dst_stride;
  dst_size_ = dst_size;
  runs_ = std::move(runs);
}

void BlockedCopy::run(const float* src, float* dst) const {
  const Run* const runs = runs_.data();
  const size_t nruns = runs_.size();
  const int64_t rows = rows_, sb = src_stride_, db = dst_stride_;
  const bool parallel = dst_size() * int64_t{sizeof(float)} >= kParallelBytes && omp_get_max_threads() > 1;
  // Each thread takes a contiguous stretch of rows: it reads its part of the
  // source front to back and writes one stretch of every destination block,
  // in whole cache lines where the blocks are 16 values or wider.
#pragma omp parallel for schedule(static) if (parallel)
  for (int64_t r = 0; r < rows; ++r) {
    const float* const s = src + r * sb;
    float* const d = dst + r * db;
    for (size_t i = 0; i < nruns; ++i) copy_run(runs[i], s, d);
  }
}

void BlockedCopy::run_part(const float* src, float* dst, size_t first, size_t last) const {
  for (size_t i = first; i < last; ++i)
    for (int64_t r = 0; r < rows_; ++r) copy_run(runs_[i], src + r * src_stride_, dst + r * dst_stride_);
}

}  // namespace detail
}  // namespace dnnl
}  // namespace dnn
}  // namespace qel
