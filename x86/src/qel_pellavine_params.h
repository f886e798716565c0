// Shapes and kinds of the network's 1024 parameters, expanded at compile time
// from the rows of qel_pellavine_params.def. The library fills its parameter
// descriptors from this table; the build's parameter generator and embedder
// size and fill the blobs from it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace qel {
namespace params {

enum class Kind : int32_t { Weight, Gamma, Beta, Mean, Variance, Bias };

struct Shape {
  Kind kind;
  int32_t rank;         // 4 for a convolution weight, 1 for a vector
  int64_t extents[4];   // the used extents, outermost first; the rest 0
  int64_t count;        // product of the used extents
};

inline constexpr int kCount = 1024;
inline constexpr int kGrowth = 32;          // channels every dense layer adds
inline constexpr int kBottleneck = 128;     // channels of a dense layer's bottleneck

namespace detail {

// Appends the parameters of each row. A failed consistency test is a throw
// during constant evaluation, which the compiler reports as an error.
struct TableBuilder {
  std::array<Shape, kCount> shapes{};
  int next = 0;
  int last_block = 0;
  int64_t block_width = 0;  // width after the last dense block

  constexpr void at(int first) {
    if (first != next) throw "parameter rows must start where the previous row ended";
  }
  constexpr void push(Kind kind, int32_t rank, int64_t e0, int64_t e1, int64_t e2, int64_t e3) {
    if (next >= kCount) throw "more than 1024 parameters";
    Shape& s = shapes[static_cast<std::size_t>(next++)];
    s.kind = kind;
    s.rank = rank;
    s.extents[0] = e0;
    s.extents[1] = e1;
    s.extents[2] = e2;
    s.extents[3] = e3;
    s.count = rank == 4 ? e0 * e1 * e2 * e3 : e0;
  }
  constexpr void weight(int64_t kh, int64_t kw, int64_t cin, int64_t cout) {
    push(Kind::Weight, 4, kh, kw, cin, cout);
  }
  constexpr void bias(int64_t c) {
    if (next == 0 || shapes[static_cast<std::size_t>(next - 1)].kind != Kind::Weight ||
        shapes[static_cast<std::size_t>(next - 1)].extents[3] != c)
      throw "a bias follows the weight of its convolution and matches its output channels";
    push(Kind::Bias, 1, c, 0, 0, 0);
  }
  constexpr void norm(int64_t c) {
    push(Kind::Gamma, 1, c, 0, 0, 0);
    push(Kind::Beta, 1, c, 0, 0, 0);
    push(Kind::Mean, 1, c, 0, 0, 0);
    push(Kind::Variance, 1, c, 0, 0, 0);
  }
  // Layer 0's input normalisation belongs to the group before the block (the
  // fused kernel ending that group applies it); every later layer starts with
  // its own.
  constexpr void dense_block(int block, int layers, int64_t c0) {
    if (block != last_block + 1) throw "dense blocks must be numbered in order";
    last_block = block;
    for (int j = 0; j < layers; ++j) {
      const int64_t cin = c0 + kGrowth * j;
      if (j > 0) norm(cin);
      weight(1, 1, cin, kBottleneck);
      norm(kBottleneck);
      weight(3, 3, kBottleneck, kGrowth);
    }
    block_width = c0 + kGrowth * layers;
  }
  // The transition's own normalisation and 1 x 1 convolution, then the input
  // normalisation of the next block's layer 0 (applied after the pooling).
  constexpr void transition(int t, int64_t ct) {
    if (t != last_block || ct != block_width) throw "a transition takes the width of the block before it";
    norm(ct);
    weight(1, 1, ct, ct / 2);
    norm(ct / 2);
  }
};

constexpr std::array<Shape, kCount> build_shapes() {
  TableBuilder b;
#define QEL_PARAM_WEIGHT(P, KH, KW, CIN, COUT) b.at(P); b.weight(KH, KW, CIN, COUT);
#define QEL_PARAM_BIAS(P, C) b.at(P); b.bias(C);
#define QEL_PARAM_NORM(P, C) b.at(P); b.norm(C);
#define QEL_PARAM_DENSE_BLOCK(P, BLOCK, L, C0) b.at(P); b.dense_block(BLOCK, L, C0);
#define QEL_PARAM_TRANSITION(P, T, CT) b.at(P); b.transition(T, CT);
#include "qel_pellavine_params.def"
#undef QEL_PARAM_WEIGHT
#undef QEL_PARAM_BIAS
#undef QEL_PARAM_NORM
#undef QEL_PARAM_DENSE_BLOCK
#undef QEL_PARAM_TRANSITION
  if (b.next != kCount) throw "the parameter rows must cover exactly 1024 parameters";
  return b.shapes;
}

// Byte offset of every blob from the start of blob 0; the last entry is the total.
constexpr std::array<int64_t, kCount + 1> build_offsets(const std::array<Shape, kCount>& shapes) {
  std::array<int64_t, kCount + 1> offsets{};
  for (int n = 0; n < kCount; ++n)
    offsets[static_cast<std::size_t>(n + 1)] = offsets[static_cast<std::size_t>(n)] + 4 * shapes[static_cast<std::size_t>(n)].count;
  return offsets;
}

}  // namespace detail

inline constexpr std::array<Shape, kCount> kShapes = detail::build_shapes();
inline constexpr std::array<int64_t, kCount + 1> kBlobOffsets = detail::build_offsets(kShapes);
inline constexpr int64_t kTotalBytes = kBlobOffsets[kCount];
inline constexpr int64_t kTotalValues = kTotalBytes / 4;

static_assert(kTotalValues == 29916565, "the network holds 29,916,565 parameter values");
static_assert(kTotalBytes == 119666260, "the network holds 119,666,260 bytes of parameters");

}  // namespace params
}  // namespace qel
