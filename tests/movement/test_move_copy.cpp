// Concatenation copies: the 106 rows against the network's block geometry,
// every wrapper against the reference over a poisoned buffer, whole buffers
// filled exactly once, and the task on short, empty and unaligned ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "move_kernels.h"
#include "move_reference.h"
#include "network_operators.h"  // the network's operator order; its declarations must agree with ours

using namespace movetest;
using namespace moveref;

namespace {

// The network's concatenation buffers as the schedule fills them: per dense
// block the rows, the input channels C0, the width, and the copies in call
// order (the block-input copy first, then one dense copy per layer); per
// decoder stage the skip copy with its slice.
struct BlockGeometry {
  int rows, c0, width;
  const char* copies;
};
const BlockGeometry kBlocks[] = {
    {2048, 64, 256, "853C 853D 8536 8530 852A 8524 851E"},
    {512, 128, 512, "84F8 84F9 84F2 84EC 84E6 84E0 84DA 84D4 84CE 84C8 84C2 84BC 84B6"},
    {128, 256, 1792,
     "8409 840A 8403 83FD 83F7 83F1 83EB 83E5 83DF 83D9 83D3 83CD 83C7 83C1 83BB 83B5 83AF 83A9 83A3 839D "
     "8397 8391 838B 8385 837F 8379 8373 836D 8367 8361 835B 8355 834F 8349 8343 833D 8337 8331 832B 8325 "
     "831F 8319 8313 830D 8307 8301 82FB 82F5 82EF"},
    {32, 896, 1920,
     "82E5 82E6 82DF 82D9 82D3 82CD 82C7 82C1 82BB 82B5 82AF 82A9 82A3 829D 8297 8291 828B 8285 827F 8279 "
     "8273 826D 8267 8261 825B 8255 824F 8249 8243 823D 8237 8231 822B"},
};
struct SkipGeometry {
  const char* id;
  int S, W, O, R;
};
const SkipGeometry kSkips[] = {
    {"84B1", 256, 1216, 960, 128}, {"8519", 128, 608, 480, 512}, {"8551", 64, 304, 240, 2048}, {"8555", 64, 184, 120, 8192}};

std::vector<std::string> split(const char* s) {
  std::istringstream is(s);
  std::vector<std::string> out;
  for (std::string w; is >> w;) out.push_back(w);
  return out;
}

const CopyRow& row(const std::string& id) {
  for (const CopyRow& r : copies())
    if (id == r.k.id) return r;
  ADD_FAILURE() << "no copy kernel " << id;
  return copies().front();
}

// Runs one copy through its wrapper and checks the whole buffer: the slice
// holds the source bits, every other element still holds what it held.
void check_wrapper(const CopyRow& r, float* buffer, std::vector<float>& expect, uint32_t seed) {
  const std::vector<float> src = special_mix(static_cast<size_t>(r.R) * r.S, seed);
  std::vector<float> src_copy = src;
  concat_copy(src.data(), expect.data(), r.S, r.W, r.O, 0, r.R);
  qel_tensor_struct in = tensor(src_copy.data()), out = tensor(buffer);
  r.wrapper(nullptr, &in, &out);
  EXPECT_EQ(first_mismatch(buffer, expect.data(), expect.size()), -1) << "kernel " << r.k.id;
  EXPECT_EQ(first_mismatch(src_copy.data(), src.data(), src.size()), -1) << "source written by " << r.k.id;
}

}  // namespace

TEST(ConcatCopyTable, RowsFollowTheBlockGeometry) {
  std::map<std::string, SkipGeometry> expected;
  for (const BlockGeometry& b : kBlocks) {
    const auto ids = split(b.copies);
    expected[ids[0]] = {"", b.c0, b.width, 0, b.rows};
    for (size_t j = 1; j < ids.size(); ++j)
      expected[ids[j]] = {"", 32, b.width, b.c0 + 32 * static_cast<int>(j - 1), b.rows};
    EXPECT_EQ(b.c0 + 32 * static_cast<int>(ids.size() - 1), b.width) << "the last dense copy reaches the width";
  }
  for (const SkipGeometry& s : kSkips) expected[s.id] = s;
  ASSERT_EQ(expected.size(), 106u);
  ASSERT_EQ(copies().size(), 106u);
  for (const CopyRow& r : copies()) {
    const auto it = expected.find(r.k.id);
    ASSERT_NE(it, expected.end()) << r.k.id;
    EXPECT_EQ(r.S, it->second.S) << r.k.id;
    EXPECT_EQ(r.W, it->second.W) << r.k.id;
    EXPECT_EQ(r.O, it->second.O) << r.k.id;
    EXPECT_EQ(r.R, it->second.R) << r.k.id;
  }
}

TEST(ConcatCopyTable, CopiesComeInTheNetworkSchedulesOrder) {
  // The block-input copies and, per block, the dense copies in the order of
  // the network function's calls, from the network's own operator table.
  std::vector<std::string> inputs, blocks[4], decoder;
#define MOVE_ID(family, tensors, id) inputs.push_back(#id);
  QEL_NET_BLOCK_INPUT_OPERATORS(MOVE_ID)
#undef MOVE_ID
#define MOVE_FIRST(X, r1, bconv, bnorm, r3, gconv, copy) ids.push_back(#copy);
#define MOVE_LAYER(X, norm, r1, bconv, bnorm, r3, gconv, copy) ids.push_back(#copy);
  {
    auto& ids = blocks[0];
    QEL_NET_DENSE_BLOCK_1(MOVE_FIRST, MOVE_LAYER, _)
  }
  {
    auto& ids = blocks[1];
    QEL_NET_DENSE_BLOCK_2(MOVE_FIRST, MOVE_LAYER, _)
  }
  {
    auto& ids = blocks[2];
    QEL_NET_DENSE_BLOCK_3(MOVE_FIRST, MOVE_LAYER, _)
  }
  {
    auto& ids = blocks[3];
    QEL_NET_DENSE_BLOCK_4(MOVE_FIRST, MOVE_LAYER, _)
  }
#undef MOVE_FIRST
#undef MOVE_LAYER
  for (int b = 0; b < 4; ++b) {
    std::vector<std::string> scheduled = {inputs.at(b)};
    scheduled.insert(scheduled.end(), blocks[b].begin(), blocks[b].end());
    EXPECT_EQ(scheduled, split(kBlocks[b].copies)) << "dense block " << b + 1;
  }
  // Each decoder stage's skip copy comes right after the stage's upsampling.
#define MOVE_KERNEL(family, tensors, id) \
  if (std::string(#family) == "dfp_ispc") decoder.push_back(#id);
  QEL_NET_DECODER_OPERATORS(MOVE_KERNEL)
#undef MOVE_KERNEL
  const char* const upsampling[] = {"8227", "8222", "821D", "8218"};
  for (int st = 0; st < 4; ++st) {
    const auto at = std::find(decoder.begin(), decoder.end(), upsampling[st]);
    ASSERT_NE(at, decoder.end()) << upsampling[st];
    ASSERT_NE(at + 1, decoder.end());
    EXPECT_EQ(*(at + 1), kSkips[st].id) << "decoder stage " << st + 1;
  }
}

TEST(ConcatCopyWrapper, EveryKernelWritesExactlyItsSlice) {
  int n = 0;
  for (const CopyRow& r : copies()) {
    std::vector<float> buffer = poisoned(static_cast<size_t>(r.R) * r.W);
    std::vector<float> expect = buffer;
    check_wrapper(r, buffer.data(), expect, 1000u + static_cast<uint32_t>(n++));
  }
}

TEST(ConcatCopyWrapper, ABlockFillsItsBufferExactlyOnce) {
  // Every channel of the buffer is covered once: no poison survives, and each
  // copy's slice still holds its own source after all later copies ran.
  uint32_t seed = 1;
  for (const BlockGeometry& b : kBlocks) {
    std::vector<float> buffer = poisoned(static_cast<size_t>(b.rows) * b.width);
    std::vector<float> expect = buffer;
    for (const std::string& id : split(b.copies)) check_wrapper(row(id), buffer.data(), expect, seed++);
    for (float v : buffer) ASSERT_NE(bits(v), kPoison) << "a channel of a block buffer was never written";
  }
}

TEST(ConcatCopyTask, ShortEmptyAndUnalignedRanges) {
  const CopyRow& r = row("853D");  // S 32, W 256, O 64
  const std::vector<float> src = special_mix(16 * 32, 7);
  struct Range {
    int begin, end;
  };
  for (const Range g : {Range{0, 11}, Range{5, 8}, Range{3, 16}, Range{0, 16}, Range{4, 4}, Range{9, 2}, Range{7, 8}}) {
    std::vector<float> buffer = poisoned(16 * 256), expect = buffer;
    if (g.begin < g.end) concat_copy(src.data(), expect.data(), 32, 256, 64, g.begin, g.end);
    call_task(r.task, {const_cast<float*>(src.data()), buffer.data()}, g.begin, g.end);
    EXPECT_EQ(first_mismatch(buffer.data(), expect.data(), expect.size()), -1)
        << "range [" << g.begin << ", " << g.end << ")";
  }
}

TEST(ConcatCopyTask, ReadsAndWritesNothingOutsideItsRows) {
  // Source rows and buffer rows beyond `end` (or before `begin`) lie on an
  // inaccessible page: a stray read or write would fault.
  const CopyRow& r = row("84B1");  // S 256, W 1216, O 960
  const std::vector<float> data = special_mix(11 * 256, 11);
  {
    GuardedFloats src(11 * 256, GuardedFloats::kGuardAfter), dst(11 * 1216, GuardedFloats::kGuardAfter);
    std::memcpy(src.data(), data.data(), data.size() * 4);
    for (int i = 0; i < 11 * 1216; ++i) dst.data()[i] = from_bits(kPoison);
    call_task(r.task, {src.data(), dst.data()}, 0, 11);
    std::vector<float> expect = poisoned(11 * 1216);
    concat_copy(data.data(), expect.data(), 256, 1216, 960, 0, 11);
    EXPECT_EQ(first_mismatch(dst.data(), expect.data(), expect.size()), -1);
  }
  {
    // Rows [5, 8): the guard page ends exactly where row 5 starts.
    GuardedFloats src(3 * 256, GuardedFloats::kGuardBefore), dst(3 * 1216, GuardedFloats::kGuardBefore);
    std::memcpy(src.data(), data.data() + 5 * 256, 3 * 256 * 4);
    for (int i = 0; i < 3 * 1216; ++i) dst.data()[i] = from_bits(kPoison);
    call_task(r.task, {src.data() - 5 * 256, dst.data() - 5 * 1216}, 5, 8);
    std::vector<float> expect = poisoned(8 * 1216);
    concat_copy(data.data(), expect.data(), 256, 1216, 960, 5, 8);
    EXPECT_EQ(first_mismatch(dst.data(), expect.data() + 5 * 1216, 3 * 1216), -1);
  }
}
