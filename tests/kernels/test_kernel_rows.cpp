// Every row of the instance table through its wrapper and its export, against
// the scalar oracle of its form: outputs bit for bit, inputs untouched, every
// scratch released through the context's handle in reverse order of its
// request, at 1, 3 and 8 threads. Then the rows against the rules of the
// network's geometry, and two unusual ways into a kernel: from a thread of the
// host's own team, and with a handle that cannot supply the scratch.
#include <unistd.h>

#include <map>
#include <set>

#include "kernel_oracles.h"

using namespace kt;

namespace {

// One test per group: the normalisations by form and dense block, the rest by form.
std::string group(const Row& r) {
  return std::string(form_name(r.form)) + (r.form == kPrefix || r.form == kPlain ? std::to_string(r.block) : "");
}
std::vector<std::string> groups() {
  std::vector<std::string> g;
  for (const Row& r : rows())
    if (std::find(g.begin(), g.end(), group(r)) == g.end()) g.push_back(group(r));
  return g;
}

class KernelRows : public ::testing::TestWithParam<std::string> {};

TEST_P(KernelRows, MatchTheOracleAndReleaseTheirScratchInOrder) {
  Fixture& F = fixture();
  int i = 0;
  for (const Row& r : rows()) {
    if (group(r) != GetParam()) continue;
    const Case c = make_case(r, 100 + i);
    // The wrapper at each team size; the export, whatever the mask, for the first row.
    std::vector<std::pair<int, int>> runs = {{1, -1}, {3, -1}, {8, -1}};
    const int masks[] = {0xFF, 0x00, 0x81};
    if (i == 0) runs.push_back({8, masks[r.form % 3]});
    for (const auto& [T, mask] : runs) {
      SCOPED_TRACE(r.id + " with " + std::to_string(T) + " threads, mask " + std::to_string(mask));
      std::vector<std::vector<float>> t = c.t;
      std::vector<float> input = c.input;
      std::vector<qel_tensor_struct> d;
      std::vector<qel_tensor_struct*> args;
      for (auto& v : t) d.push_back(tensor(v.data()));
      for (auto& x : d) args.push_back(&x);
      F.c.input.data = input.data();
      F.c.handle.requests.clear();
      {
        Threads team(T);
        call(r, &F.c.ctx, args, mask);
      }
      for (size_t k = 0; k < t.size(); ++k)
        ASSERT_EQ(mismatch(t[k].data(), c.want[k]), -1) << "tensor " << k;
      ASSERT_EQ(mismatch(input.data(), c.input), -1) << "the network input was written";
      expect_requests_paired(F.c.handle.requests);
    }
    ++i;
  }
  EXPECT_GT(i, 0);
}
INSTANTIATE_TEST_SUITE_P(All, KernelRows, ::testing::ValuesIn(groups()),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

// ---- the rows against the network's geometry -----------------------------------------

// Dense blocks of 6, 12, 48 and 32 layers, each adding 32 channels, from the
// stem's 64 channels at 8 x 8; a transition halves channels and side. A layer
// takes ten parameters (normalisation, 1 x 1 convolution, normalisation, 3 x 3
// convolution), a transition five; block 1's first layer starts at 9.
struct Block {
  int C0, width, R, first, L, side;
};
std::vector<Block> blocks() {
  std::vector<Block> b;
  int C0 = 64, side = 8, first = 9;
  for (int L : {6, 12, 48, 32}) {
    b.push_back({C0, C0 + 32 * L, 32 * side * side, first, L, side});
    C0 = (C0 + 32 * L) / 2, side /= 2, first += 10 * L + 5;
  }
  return b;
}

TEST(KernelTable, NormalisationRowsFollowTheBlockGeometry) {
  const auto B = blocks();
  std::set<std::pair<int, int>> seen[2];
  for (const Row& r : rows()) {
    SCOPED_TRACE(r.id);
    if (r.form == kAvgpoolPos || r.form == kAvgpoolImg) {  // a transition: block b into block b + 1
      int b = 0;
      while (b < 3 && B[b].width / 2 != r.C) ++b;
      ASSERT_LT(b, 3);
      EXPECT_EQ(r.k, B[b + 1].first - 4);
      EXPECT_EQ(r.H, B[b + 1].side);
      EXPECT_EQ(r.W, B[b + 1].side);
    }
    if (r.form != kPrefix && r.form != kPlain) continue;
    ASSERT_GE(r.block, 1);
    ASSERT_LE(r.block, 4);
    const Block& b = B[r.block - 1];
    EXPECT_TRUE(seen[r.form == kPrefix].insert({r.block, r.layer}).second) << "one row per layer";
    EXPECT_EQ(r.R, b.R);
    if (r.form == kPrefix) {  // the channels filled before layer j, read from the buffer
      EXPECT_GE(r.layer, 1);
      EXPECT_LT(r.layer, b.L);
      EXPECT_EQ(r.C, b.C0 + 32 * r.layer);
      EXPECT_EQ(r.Xs, b.width);
      EXPECT_EQ(r.k, b.first + 10 * r.layer - 4);
    } else if (r.layer >= 0) {  // the bottleneck of layer j
      EXPECT_LT(r.layer, b.L);
      EXPECT_EQ(r.C, 128);
      EXPECT_EQ(r.k, b.first + 10 * r.layer + 1);
    } else {  // the whole buffer after the block
      EXPECT_EQ(r.layer, -1);
      EXPECT_EQ(r.C, b.width);
      EXPECT_EQ(r.k, b.first + 10 * b.L - 4);
    }
  }
  EXPECT_EQ(seen[1].size(), 94u);   // sum of L - 1
  EXPECT_EQ(seen[0].size(), 102u);  // sum of L, plus a whole buffer per block
}

TEST(KernelTable, EveryConcatenationBufferIsWrittenOnceInEveryChannel) {
  // Slices [begin, end) written into each buffer, keyed by (width, rows).
  std::map<std::pair<int, int>, std::vector<std::pair<int, int>>> slices;
  for (const Row& r : rows()) {
    if (r.form == kCopy) slices[{r.Xs, r.R}].push_back({r.O, r.O + r.S});
    if (r.form == kUpsample || r.form == kLeakyUpsample) slices[{r.Cdst, 32 * 4 * r.H * r.W}].push_back({0, r.C});
  }
  for (auto& [buffer, s] : slices) {
    SCOPED_TRACE("buffer of " + std::to_string(buffer.first) + " channels x " + std::to_string(buffer.second));
    std::sort(s.begin(), s.end());
    int end = 0;
    for (const auto& slice : s) {
      EXPECT_EQ(slice.first, end) << "a gap or an overlap at channel " << end;
      end = slice.second;
    }
    EXPECT_EQ(end, buffer.first);
  }
  for (const Block& b : blocks())
    EXPECT_EQ(slices[std::make_pair(b.width, b.R)].size(), b.L + 1u) << "a block input copy and one per layer";
  EXPECT_EQ(slices.size(), 8u) << "four dense blocks and four decoder stages";
}

// ---- ways in --------------------------------------------------------------------

// A handle that serves a scratch from memory ending at an inaccessible page.
struct GuardedHandle {
  qel_handle_struct handle{qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{}};  // first member
  std::unique_ptr<Guarded> block;
  GuardedHandle() {
    handle.malloc = [](const qel_handle_struct* h, qel_tensor_struct* t) {
      auto* self = reinterpret_cast<GuardedHandle*>(const_cast<qel_handle_struct*>(h));
      self->block.reset(new Guarded(static_cast<size_t>(t->count) / 4));
      t->data = self->block->data();
    };
    handle.free = [](const qel_handle_struct* h, qel_tensor_struct* t) {
      reinterpret_cast<GuardedHandle*>(const_cast<qel_handle_struct*>(h))->block.reset();
      t->data = nullptr;
    };
  }
};

TEST(KernelEntry, FromAThreadOfTheHostsOwnTeamTheTaskUsesSliceZero) {
  // With a team of one the launch runs on the calling thread, here thread 2 of
  // an enclosing team: the task must still take slice 0 of the one-slice scratch.
  const Row& r = find("8222");
  const Case c = make_case(r, 5);
  std::vector<float> src = c.t[0], dst = c.t[1];
  qel_tensor_struct in = tensor(src.data()), out = tensor(dst.data());
  GuardedHandle g;
  qel_ctx_struct ctx{};
  ctx.alloc_handle = &g.handle;
  Threads one(1);
#pragma omp parallel num_threads(3)
  if (omp_get_thread_num() == 2) call(r, &ctx, {&in, &out});
  EXPECT_EQ(mismatch(dst.data(), c.want[1]), -1);
}

TEST(KernelEntry, AScratchTheHandleCannotSupplyIsReportedNotWrittenThrough) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Context c;
  qel_handle_struct empty(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{});
  empty.malloc = [](const qel_handle_struct*, qel_tensor_struct*) {};  // leaves data null
  empty.free = [](const qel_handle_struct*, qel_tensor_struct*) {};
  c.ctx.alloc_handle = &empty;
  std::vector<float> x(32 * 1920, 1.0f), y(32 * 1920);
  qel_tensor_struct in = tensor(x.data()), out = tensor(y.data());
  EXPECT_EXIT((dup2(2, 1), call(find("8229"), &c.ctx, {&in, &out})), ::testing::ExitedWithCode(1),
              "Message: could not obtain a kernel scratch tensor of 30720 bytes");
}

}  // namespace
