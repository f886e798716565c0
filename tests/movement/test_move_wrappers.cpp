// The wrappers' side of the data-movement kernels: identical bits whatever
// the team size, the per-thread scratch of the fused kernels requested and
// released in order and size, exports behaving like wrappers whatever the
// mask, and every name present in the built library.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "move_kernels.h"
#include "move_reference.h"

using namespace movetest;
using namespace moveref;

namespace {

// One kernel called through its wrapper or its export, on a source of
// `src_n` floats (the context's input for the padding) and a poisoned
// destination of `dst_n` floats.
struct Kernel {
  std::string id;
  size_t src_n, dst_n;
  bool reads_input;
  Wrapper2 wrapper;
  Export2 exported;
};

// A copy of each buffer width, the padding, the LeakyReLUs and the upsamplings.
std::vector<Kernel> kernels() {
  std::vector<Kernel> k;
  for (const CopyRow& r : copies()) {
    const std::string id = r.k.id;
    if (id == "853C" || id == "84B6" || id == "83F7" || id == "822B" || id == "8555")
      k.push_back({id, size_t(r.R) * r.S, size_t(r.R) * r.W, false, r.wrapper, r.exported});
  }
  const PadRow& p = pads().front();
  k.push_back({p.k.id, 32 * 32 * 32 * 3, size_t(p.count), true,
               [](qel_ctx_struct* c, qel_tensor_struct*, qel_tensor_struct* o) { pads().front().wrapper(c, o); },
               [](qel_ctx_struct* c, qel_tensor_struct*, qel_tensor_struct* o, __m256i m) {
                 pads().front().exported(c, o, m);
               }});
  for (const LeakyRow& r : leakies())
    k.push_back({r.k.id, size_t(r.count), size_t(r.count), false, r.wrapper, r.exported});
  for (const UpsampleRow& r : upsamples())
    k.push_back({r.k.id, size_t(32) * r.H * r.W * r.C, size_t(128) * r.H * r.W * r.Cdst, false, r.wrapper,
                 r.exported});
  for (const FusedRow& r : fused())
    k.push_back({r.k.id, size_t(32) * r.H * r.W * r.C, size_t(128) * r.H * r.W * r.Cdst, false, r.wrapper,
                 r.exported});
  return k;
}

// Output of one call with `threads` OpenMP threads (0: leave the team size),
// through the export when `m` >= 0; the handle records the memory requests.
std::vector<float> run(const Kernel& k, const std::vector<float>& src, RecordingHandle& h, int threads, int m = -1) {
  if (threads > 0) omp_set_num_threads(threads);
  std::vector<float> in_data = src, dst = poisoned(k.dst_n);
  Context c(h, k.reads_input ? in_data.data() : nullptr);
  qel_tensor_struct in = tensor(in_data.data()), out = tensor(dst.data());
  if (m < 0)
    k.wrapper(&c.ctx, &in, &out);
  else
    k.exported(&c.ctx, &in, &out, mask(m));
  return dst;
}

bool same_requests(const std::vector<Request>& a, const std::vector<Request>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].is_malloc != b[i].is_malloc || a[i].rank != b[i].rank || a[i].dtype != b[i].dtype ||
        a[i].count != b[i].count || std::memcmp(a[i].extents, b[i].extents, sizeof a[i].extents) != 0)
      return false;
  return true;
}

class MoveThreads : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = omp_get_max_threads(); }
  void TearDown() override { omp_set_num_threads(saved_); }
  int saved_ = 1;
};

}  // namespace

TEST_F(MoveThreads, SameBitsWithOneThreeAndEightThreads) {
  for (const Kernel& k : kernels()) {
    const std::vector<float> src = special_mix(k.src_n, 71);
    RecordingHandle h1, h3, h8;
    const std::vector<float> one = run(k, src, h1, 1);
    EXPECT_EQ(first_mismatch(one.data(), run(k, src, h3, 3).data(), k.dst_n), -1) << k.id << ": 1 vs 3 threads";
    EXPECT_EQ(first_mismatch(one.data(), run(k, src, h8, 8).data(), k.dst_n), -1) << k.id << ": 1 vs 8 threads";
  }
}

TEST_F(MoveThreads, OnlyTheFusedKernelsRequestMemoryAndInOrderAndSize) {
  for (const Kernel& k : kernels()) {
    const FusedRow* f = nullptr;
    for (const FusedRow& r : fused())
      if (k.id == r.k.id) f = &r;
    for (int t : {1, 3, 8}) {
      RecordingHandle h;
      run(k, special_mix(k.src_n, 75), h, t);
      if (!f) {
        EXPECT_TRUE(h.requests.empty()) << k.id;
        continue;
      }
      ASSERT_EQ(h.requests.size(), 2u) << k.id;
      for (int i = 0; i < 2; ++i) {
        const Request& q = h.requests[i];
        EXPECT_EQ(q.is_malloc, i == 0) << k.id << ": malloc first, then free";
        EXPECT_EQ(q.rank, 2) << k.id;
        EXPECT_EQ(q.dtype, 1) << k.id;
        const int64_t extents[8] = {t, f->slice, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(std::memcmp(q.extents, extents, sizeof extents), 0) << k.id << " with " << t << " threads";
        EXPECT_EQ(q.count, t * f->slice) << k.id;
        EXPECT_TRUE(q.handle_matches) << k.id;
        EXPECT_EQ(q.data_was_null, i == 0) << k.id;
      }
    }
  }
}

// A handle that serves the scratch from memory ending on an inaccessible page.
struct GuardedHandle {
  qel_handle_struct handle{qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{}};  // first member
  std::unique_ptr<GuardedFloats> block;
  GuardedHandle() {
    handle.malloc = [](const qel_handle_struct* h, qel_tensor_struct* t) {
      auto* self = reinterpret_cast<GuardedHandle*>(const_cast<qel_handle_struct*>(h));
      self->block = std::make_unique<GuardedFloats>(static_cast<size_t>(t->count / 4), GuardedFloats::kGuardAfter);
      t->data = self->block->data();
    };
    handle.free = [](const qel_handle_struct* h, qel_tensor_struct* t) {
      reinterpret_cast<GuardedHandle*>(const_cast<qel_handle_struct*>(h))->block.reset();
      t->data = nullptr;
    };
  }
};

TEST_F(MoveThreads, FusedKernelEnteredFromAThreadOfAnEnclosingTeam) {
  // With a team size of 1 the launch runs on the calling thread, which here
  // is thread 2 of the host's own team: the task must still take slice 0 of
  // the one-slice scratch.
  for (const FusedRow& r : fused()) {
    const std::vector<float> src = special_mix(static_cast<size_t>(32) * r.H * r.W * r.C, 91);
    const size_t dst_n = static_cast<size_t>(128) * r.H * r.W * r.Cdst;
    std::vector<float> expect = poisoned(dst_n), got = poisoned(dst_n);
    {
      RecordingHandle h;
      Context c(h);
      omp_set_num_threads(1);
      qel_tensor_struct in = tensor(const_cast<float*>(src.data())), out = tensor(expect.data());
      r.wrapper(&c.ctx, &in, &out);
    }
    GuardedHandle g;
    qel_ctx_struct ctx{};
    ctx.alloc_handle = &g.handle;
#pragma omp parallel num_threads(3)
    {
      if (omp_get_thread_num() == 2) {
        qel_tensor_struct in = tensor(const_cast<float*>(src.data())), out = tensor(got.data());
        r.wrapper(&ctx, &in, &out);
      }
    }
    EXPECT_EQ(first_mismatch(got.data(), expect.data(), dst_n), -1) << r.k.id;
  }
}

TEST(MoveExports, BehaveLikeTheirWrappersWhateverTheMask) {
  for (const Kernel& k : kernels()) {
    const std::vector<float> src = special_mix(k.src_n, 81);
    RecordingHandle hw;
    const std::vector<float> by_wrapper = run(k, src, hw, 0);
    for (int m : {0xFF, 0x00, 0x81}) {
      RecordingHandle he;
      const std::vector<float> by_export = run(k, src, he, 0, m);
      EXPECT_EQ(first_mismatch(by_wrapper.data(), by_export.data(), k.dst_n), -1) << k.id << " mask " << m;
      EXPECT_TRUE(same_requests(hw.requests, he.requests)) << k.id << " mask " << m;
    }
  }
}

// ---------------------------------------------------------------------------

namespace {

// Defined dynamic symbols of the built library: name -> nm type letter.
std::map<std::string, char> library_symbols() {
  std::map<std::string, char> names;
  FILE* p = popen("nm -D --defined-only " QEL_LIBRARY_PATH, "r");
  if (!p) return names;
  char line[4096];
  while (fgets(line, sizeof line, p)) {
    char addr[64], type = 0, name[4000];
    if (std::sscanf(line, "%63s %c %3999s", addr, &type, name) == 3) names[name] = type;
  }
  pclose(p);
  return names;
}

std::vector<Common> all_kernels() {
  std::vector<Common> all;
  for (const auto& r : copies()) all.push_back(r.k);
  for (const auto& r : pads()) all.push_back(r.k);
  for (const auto& r : leakies()) all.push_back(r.k);
  for (const auto& r : upsamples()) all.push_back(r.k);
  for (const auto& r : fused()) all.push_back(r.k);
  return all;
}

}  // namespace

TEST(MoveSymbols, EveryKernelExportsExactlyItsWrapperExportAndTask) {
  const auto syms = library_symbols();
  ASSERT_FALSE(syms.empty());
  const auto all = all_kernels();
  ASSERT_EQ(all.size(), 116u);
  const std::string prefix = "qel_x86_4602A7A4_00000000_D0_dfp_ispc_";
  for (const Common& k : all) {
    std::set<std::string> expected = {k.names.wrapper, k.names.exported, k.names.task};
    EXPECT_EQ(std::string(k.names.wrapper), prefix + k.id);
    std::set<std::string> found;
    for (const auto& [name, type] : syms)
      if (name.compare(0, prefix.size() + 4, prefix + k.id) == 0 &&
          (name.size() == prefix.size() + 4 || name[prefix.size() + 4] == '_')) {
        found.insert(name);
        EXPECT_EQ(type, 'T') << name;
      }
    EXPECT_EQ(found, expected) << "kernel " << k.id;
  }
}

TEST(MoveSymbols, TaskNumbersAreUniqueAndRiseWithTheKernelId) {
  auto all = all_kernels();
  std::sort(all.begin(), all.end(), [](const Common& a, const Common& b) {
    return std::stoi(a.id, nullptr, 16) < std::stoi(b.id, nullptr, 16);
  });
  std::set<std::string> ids, tasks;
  int last = 0;
  for (const Common& k : all) {
    ids.insert(k.id);
    tasks.insert(k.task_id);
    const int t = std::stoi(k.task_id, nullptr, 16);
    EXPECT_GT(t, 0x855C) << k.id << ": a task number lies above every operator id";
    EXPECT_GT(t, last) << k.id;
    last = t;
  }
  EXPECT_EQ(ids.size(), 116u);
  EXPECT_EQ(tasks.size(), 116u);
}
