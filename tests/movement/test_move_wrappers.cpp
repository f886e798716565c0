// The wrappers' side of the data-movement kernels: identical bits whatever
// the team size, the per-thread scratch of the fused kernels requested and
// released in order and size, exports behaving like wrappers whatever the
// mask, and every name present in the built library.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "move_kernels.h"
#include "move_reference.h"

using namespace movetest;
using namespace moveref;

namespace {

class Threads : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = omp_get_max_threads(); }
  void TearDown() override { omp_set_num_threads(saved_); }
  int saved_ = 1;
};

// Output of one call, made with `threads` OpenMP threads; `call` gets the
// context (with a recording handle) and the destination.
std::vector<float> run_with(int threads, size_t dst_n, RecordingHandle& h, const void* input,
                            const std::function<void(qel_ctx_struct*, float*)>& call) {
  omp_set_num_threads(threads);
  Context c(h, const_cast<void*>(input));
  std::vector<float> dst = poisoned(dst_n);
  call(&c.ctx, dst.data());
  return dst;
}

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(first_mismatch(a.data(), b.data(), a.size()), -1) << what;
}

}  // namespace

TEST_F(Threads, SameBitsWithOneThreeAndEightThreads) {
  // Copies of each buffer size, the padding, the LeakyReLUs and upsamplings.
  for (const CopyRow& r : copies()) {
    const std::string id = r.k.id;
    if (id != "853C" && id != "84B6" && id != "83F7" && id != "822B" && id != "8555") continue;
    const std::vector<float> src = special_mix(static_cast<size_t>(r.R) * r.S, 71);
    std::vector<std::vector<float>> outs;
    for (int t : {1, 3, 8}) {
      RecordingHandle h;
      outs.push_back(run_with(t, static_cast<size_t>(r.R) * r.W, h, nullptr, [&](qel_ctx_struct* ctx, float* d) {
        qel_tensor_struct in = tensor(const_cast<float*>(src.data())), out = tensor(d);
        r.wrapper(ctx, &in, &out);
      }));
      EXPECT_TRUE(h.requests.empty()) << id;
    }
    expect_same_bits(outs[0], outs[1], id + " 1 vs 3 threads");
    expect_same_bits(outs[0], outs[2], id + " 1 vs 8 threads");
  }
  {
    const std::vector<float> src = special_mix(32 * 32 * 32 * 3, 72);
    std::vector<std::vector<float>> outs;
    for (int t : {1, 3, 8}) {
      RecordingHandle h;
      outs.push_back(run_with(t, 32 * 38 * 38 * 3, h, src.data(), [&](qel_ctx_struct* ctx, float* d) {
        qel_tensor_struct out = tensor(d);
        pads().at(0).wrapper(ctx, &out);
      }));
    }
    expect_same_bits(outs[0], outs[1], "8558 1 vs 3 threads");
    expect_same_bits(outs[0], outs[2], "8558 1 vs 8 threads");
  }
  for (const LeakyRow& r : leakies()) {
    const std::vector<float> src = special_mix(static_cast<size_t>(r.count), 73);
    std::vector<std::vector<float>> outs;
    for (int t : {1, 3, 8}) {
      RecordingHandle h;
      outs.push_back(run_with(t, static_cast<size_t>(r.count), h, nullptr, [&](qel_ctx_struct* ctx, float* d) {
        qel_tensor_struct in = tensor(const_cast<float*>(src.data())), out = tensor(d);
        r.wrapper(ctx, &in, &out);
      }));
      EXPECT_TRUE(h.requests.empty()) << r.k.id;
    }
    expect_same_bits(outs[0], outs[1], std::string(r.k.id) + " 1 vs 3 threads");
    expect_same_bits(outs[0], outs[2], std::string(r.k.id) + " 1 vs 8 threads");
  }
  {
    const std::vector<float> src = special_mix(32 * 960, 74);
    std::vector<std::vector<float>> outs;
    for (int t : {1, 3, 8}) {
      RecordingHandle h;
      outs.push_back(run_with(t, 128 * 1216, h, nullptr, [&](qel_ctx_struct* ctx, float* d) {
        qel_tensor_struct in = tensor(const_cast<float*>(src.data())), out = tensor(d);
        upsamples().at(0).wrapper(ctx, &in, &out);
      }));
      EXPECT_TRUE(h.requests.empty());
    }
    expect_same_bits(outs[0], outs[1], "8227 1 vs 3 threads");
    expect_same_bits(outs[0], outs[2], "8227 1 vs 8 threads");
  }
}

TEST_F(Threads, FusedKernelsRequestTheirPerThreadScratchInOrderAndSize) {
  for (const FusedRow& r : fused()) {
    const size_t src_n = static_cast<size_t>(32) * r.H * r.W * r.C;
    const size_t dst_n = static_cast<size_t>(32) * 4 * r.H * r.W * r.Cdst;
    const std::vector<float> src = special_mix(src_n, 75);
    std::vector<float> first;
    for (int t : {1, 3, 8}) {
      RecordingHandle h;
      const std::vector<float> out = run_with(t, dst_n, h, nullptr, [&](qel_ctx_struct* ctx, float* d) {
        qel_tensor_struct in = tensor(const_cast<float*>(src.data())), o = tensor(d);
        r.wrapper(ctx, &in, &o);
      });
      if (first.empty())
        first = out;
      else
        expect_same_bits(first, out, std::string(r.k.id) + " with " + std::to_string(t) + " threads");
      ASSERT_EQ(h.requests.size(), 2u) << r.k.id;
      for (int i = 0; i < 2; ++i) {
        const Request& q = h.requests[i];
        EXPECT_EQ(q.is_malloc, i == 0) << r.k.id << ": malloc first, then free";
        EXPECT_EQ(q.rank, 2) << r.k.id;
        EXPECT_EQ(q.dtype, 1) << r.k.id;
        EXPECT_EQ(q.extents[0], t) << r.k.id;
        EXPECT_EQ(q.extents[1], r.slice) << r.k.id;
        for (int e = 2; e < 8; ++e) EXPECT_EQ(q.extents[e], 0) << r.k.id;
        EXPECT_EQ(q.count, t * r.slice) << r.k.id;
        EXPECT_TRUE(q.handle_matches) << r.k.id;
      }
      EXPECT_TRUE(h.requests[0].data_was_null) << r.k.id;
      EXPECT_FALSE(h.requests[1].data_was_null) << r.k.id;
    }
  }
}

TEST(Exports, BehaveLikeTheirWrappersWhateverTheMask) {
  RecordingHandle h;
  Context c(h);
  for (int m : {0xFF, 0x00, 0x81}) {
    // A copy, a LeakyReLU, the upsampling and a fused kernel.
    const CopyRow& cp = copies().front();
    const std::vector<float> src = special_mix(static_cast<size_t>(cp.R) * cp.S, 81);
    std::vector<float> a = poisoned(static_cast<size_t>(cp.R) * cp.W), b = a;
    qel_tensor_struct in = tensor(const_cast<float*>(src.data())), oa = tensor(a.data()), ob = tensor(b.data());
    cp.wrapper(&c.ctx, &in, &oa);
    cp.exported(&c.ctx, &in, &ob, mask(m));
    expect_same_bits(a, b, std::string(cp.k.id) + " export");

    const LeakyRow& lr = leakies().front();
    const std::vector<float> lsrc = special_mix(static_cast<size_t>(lr.count), 82);
    std::vector<float> la = poisoned(static_cast<size_t>(lr.count)), lb = la;
    qel_tensor_struct lin = tensor(const_cast<float*>(lsrc.data())), loa = tensor(la.data()), lob = tensor(lb.data());
    lr.wrapper(&c.ctx, &lin, &loa);
    lr.exported(&c.ctx, &lin, &lob, mask(m));
    expect_same_bits(la, lb, std::string(lr.k.id) + " export");

    const UpsampleRow& ur = upsamples().front();
    const std::vector<float> usrc = special_mix(32 * 960, 83);
    std::vector<float> ua = poisoned(128 * 1216), ub = ua;
    qel_tensor_struct uin = tensor(const_cast<float*>(usrc.data())), uoa = tensor(ua.data()), uob = tensor(ub.data());
    ur.wrapper(&c.ctx, &uin, &uoa);
    ur.exported(&c.ctx, &uin, &uob, mask(m));
    expect_same_bits(ua, ub, std::string(ur.k.id) + " export");

    for (const FusedRow& fr : fused()) {
      const std::vector<float> fsrc = special_mix(static_cast<size_t>(32) * fr.H * fr.W * fr.C, 84);
      std::vector<float> fa = poisoned(static_cast<size_t>(32) * 4 * fr.H * fr.W * fr.Cdst), fb = fa;
      qel_tensor_struct fin = tensor(const_cast<float*>(fsrc.data())), foa = tensor(fa.data()), fob = tensor(fb.data());
      h.requests.clear();
      fr.wrapper(&c.ctx, &fin, &foa);
      const std::vector<Request> by_wrapper = h.requests;
      h.requests.clear();
      fr.exported(&c.ctx, &fin, &fob, mask(m));
      expect_same_bits(fa, fb, std::string(fr.k.id) + " export");
      ASSERT_EQ(h.requests.size(), by_wrapper.size()) << fr.k.id;
      for (size_t i = 0; i < by_wrapper.size(); ++i) {
        EXPECT_EQ(h.requests[i].is_malloc, by_wrapper[i].is_malloc);
        EXPECT_EQ(h.requests[i].count, by_wrapper[i].count);
        EXPECT_EQ(h.requests[i].extents[0], by_wrapper[i].extents[0]);
        EXPECT_EQ(h.requests[i].extents[1], by_wrapper[i].extents[1]);
      }
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

TEST(Symbols, EveryKernelExportsExactlyItsWrapperExportAndTask) {
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

TEST(Symbols, TaskNumbersAreUniqueAndRiseWithTheKernelId) {
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
