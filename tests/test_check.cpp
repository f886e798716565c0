#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>

#include "runtime/qel_check.h"
#include "tests/child_process.h"

namespace {

qel_tensor_struct desc(int32_t dtype, std::initializer_list<int64_t> extents) {
  qel_tensor_struct t{};
  t.dtype = dtype;
  t.rank = static_cast<int32_t>(extents.size());
  int i = 0;
  for (int64_t e : extents) t.extents[i++] = e;
  t.count = 1;
  return t;
}

std::string report(const char* file, int line, const std::string& name, const std::string& expected,
                   const std::string& found) {
  return "Module: VOKT\nFile: " + std::string(file) + "\nLine: " + std::to_string(line) +
         "\nMessage: Wrong input Tensor (" + name + ") detected:\n  Expected: " + expected +
         "\n  Found:    " + found + "\n\n";
}

}  // namespace

TEST(TensorCheck, MatchingTensorsReturn) {
  const qel_tensor_struct w = desc(11, {1, 1, 64, 128});
  qel_tensor_check("net.cpp", 902, &w, "P9_D0_Output", 11, 1, 1, 64, 128);
  qel_tensor_struct v = desc(11, {64});
  v.count = -7;  // the element count plays no part
  qel_tensor_check("net.cpp", 905, &v, "P10_D0_Output", 11, 64);
  const qel_tensor_struct scalar = desc(11, {});
  qel_tensor_check("net.cpp", 908, &scalar, "P11_D0_Output", 11, 1);
  SUCCEED();
}

TEST(TensorCheck, ReportOfTheWorkedExample) {
  const qel_tensor_struct w = desc(11, {64, 128});
  const ChildResult r = run_in_child([&] { qel_tensor_check("net.cpp", 902, &w, "P9_D0_Output", 11, 1, 1, 64, 128); });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, report("net.cpp", 902, "P9_D0_Output", "f32, [1, 1, 64, 128]", "f32, [64, 128]"));
}

TEST(TensorCheck, MismatchesEachEndTheProcessWithOneFullReport) {
  struct Case {
    qel_tensor_struct t;
    bool four;
    std::string found;
  };
  qel_tensor_struct rank9 = desc(11, {1, 2, 3, 4, 5, 6, 7, 8});
  rank9.rank = 9;
  const Case cases[] = {
      {desc(11, {}), true, "f32, []"},                                     // scalar never passes four extents
      {desc(11, {}), false, "f32, []"},                                    // scalar against [64]
      {desc(1, {1, 1, 64, 128}), true, "s8, [1, 1, 64, 128]"},            // wrong type first
      {desc(11, {2, 3, 65, 129}), true, "f32, [2, 3, 65, 129]"},          // several extents differ
      {desc(11, {1, 1, 64, (int64_t{1} << 32) + 128}), true, "f32, [1, 1, 64, 4294967424]"},  // 64-bit compare
      {rank9, true, "f32, [1, 2, 3, 4, 5, 6, 7, 8]"},                      // rank above 8 renders 8
      {desc(9, {64}), false, "unknown type 9, [64]"},                      // code without a name
      {desc(11, {64, 1}), false, "f32, [64, 1]"},
  };
  for (const Case& c : cases) {
    const ChildResult r = run_in_child([&] {
      if (c.four)
        qel_tensor_check("a/b.cpp", 7, &c.t, "I0_D0_Output", 11, 1, 1, 64, 128);
      else
        qel_tensor_check("a/b.cpp", 7, &c.t, "I0_D0_Output", 11, 64);
    });
    EXPECT_EQ(r.status, 1) << c.found;
    EXPECT_EQ(r.out, report("a/b.cpp", 7, "I0_D0_Output", c.four ? "f32, [1, 1, 64, 128]" : "f32, [64]", c.found));
  }
}

TEST(ExceptionThrow, FourLinesAndStatusOne) {
  const ChildResult r = run_in_child([] { qel_exception_throw("M", "f.cpp", -3, "text"); });
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Module: M\nFile: f.cpp\nLine: -3\nMessage: text\n");
}
