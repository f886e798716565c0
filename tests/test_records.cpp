#include <gtest/gtest.h>

#include <cstring>

#include "runtime/qel_records.h"

TEST(DtypeCodes, NamesOfSingleAndPairCodes) {
  EXPECT_STREQ(qel_dtype_str(11), "f32");
  EXPECT_STREQ(qel_dtype_str(1), "s8");
  EXPECT_STREQ(qel_dtype_str(13), "boolean");
  EXPECT_STREQ(qel_dtype_str(258), "s16_s8");  // low byte names the first member
  EXPECT_STREQ(qel_dtype_str(513), "s8_s16");
  EXPECT_STREQ(qel_dtype_str(1036), "f64_s64");
  EXPECT_STREQ(qel_dtype_str(2827), "f32_f32");
  EXPECT_STREQ(qel_dtype_str(3084), "f64_f64");
  for (int code : {0, 9, 10, 14, 256, 261, 1029, 2828, 3083, -1, 0x10000 | 1})
    EXPECT_EQ(qel_dtype_str(code), nullptr) << code;
}

TEST(DtypeCodes, TableHasExactly37NamedCodes) {
  int named = 0;
  for (int code = -16; code < 0x1000; ++code)
    if (qel_dtype_str(code) != nullptr) {
      ++named;
      EXPECT_GT(qel_dtype_size(code), 0) << code;
    } else {
      EXPECT_EQ(qel_dtype_size(code), 0) << code;
    }
  EXPECT_EQ(named, 37);
}

TEST(DtypeCodes, ElementSizes) {
  EXPECT_EQ(qel_dtype_size(11), 4);
  EXPECT_EQ(qel_dtype_size(13), 1);
  EXPECT_EQ(qel_dtype_size(9), 0);
  EXPECT_EQ(qel_dtype_size(10), 0);
  EXPECT_EQ(qel_dtype_size(257), 2);
  EXPECT_EQ(qel_dtype_size(258), 4);
  EXPECT_EQ(qel_dtype_size(513), 4);
  EXPECT_EQ(qel_dtype_size(769), 8);
  EXPECT_EQ(qel_dtype_size(267), 8);
  EXPECT_EQ(qel_dtype_size(1025), 16);
  EXPECT_EQ(qel_dtype_size(3084), 16);
}

// Constructed by a dynamic initialiser over zero-filled static storage, as the
// library's own handle is: the constructor takes device and opaque and leaves
// the operation slots as they were.
static qel_handle_struct g_handle(qel_device_struct("x86", 0), nullptr, qel_handle_ptrs_struct{});

TEST(Records, HandleConstructorStoresDeviceAndLeavesSlots) {
  EXPECT_STREQ(g_handle.device.name, "x86");
  EXPECT_EQ(g_handle.device.index, 0);
  EXPECT_EQ(g_handle.opaque, nullptr);
  EXPECT_EQ(g_handle.malloc, nullptr);
  EXPECT_EQ(g_handle.init, nullptr);
  EXPECT_EQ(g_handle.spare[2], nullptr);
}

TEST(Records, DescriptorOfRankTwo) {
  qel_tensor_struct t{};
  t.rank = 2;
  t.extents[0] = 6;
  t.extents[1] = 122880;
  t.count = t.extents[0] * t.extents[1];
  EXPECT_EQ(t.count, 737280);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(t.extents[i], 0);
}
