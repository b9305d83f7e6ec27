// The CPU kernel table: which slots are filled on every tier, and the small table-only kernels.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kernel_tier_loop.h"

namespace trevalon {
namespace {

// Slots the CPU backend leaves null; layers that use them take their own paths.
constexpr int kNullSlots[] = {16, 17, 18, 50, 51, 52, 53, 54};
// Slots the matrix kernels fill.
constexpr int kMatrixSlots[] = {1, 2, 3, 4, 5, 6, 7, 8, 41, 46};

TEST(KernelTable, MatrixSlotsFilledAndReservedSlotsNullOnEveryTier) {
  testing::for_each_cpu_tier([](CpuTier, const KernelTable& t) {
    EXPECT_TRUE(kernel_slot_filled(t, 0));
    for (int slot : kMatrixSlots) EXPECT_TRUE(kernel_slot_filled(t, slot)) << kernel_slot_name(slot);
    for (int slot : kNullSlots) EXPECT_FALSE(kernel_slot_filled(t, slot)) << kernel_slot_name(slot);
    EXPECT_FALSE(kernel_slot_filled(t, -1));
    EXPECT_FALSE(kernel_slot_filled(t, kKernelSlotCount));
  });
}

TEST(KernelTable, ReluSlotsAreOneRoutine) {
  const KernelTable& t = cpu_backend_descriptor().kernels;
  if (!t.relu_f32) GTEST_SKIP() << "relu_f32 not installed yet";
  EXPECT_EQ(t.relu_f32, t.relu_inplace_f32);
  std::vector<float> a = {-2.0f, -0.0f, 0.5f, 3.0f, -1e-30f, 7.0f}, b = a;
  t.relu_f32(a.data(), int(a.size()));
  t.relu_inplace_f32(b.data(), int(b.size()));
  EXPECT_EQ(a, b);
}

TEST(KernelTable, EmbeddingGatherClampsIndices) {
  const int rows = 4, row_len = 3;
  std::vector<float> table(rows * row_len);
  for (int i = 0; i < rows * row_len; ++i) table[i] = float(i);
  const std::vector<float> indices = {-3.7f, 4.0f, 2.9f, 1.0f, 1e30f, NAN, 0.99f};
  const int expected_rows[] = {0, 3, 2, 1, 3, 0, 0};
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<float> out(indices.size() * row_len + 1, -1.0f);
    t.embedding_gather_f32(indices.data(), table.data(), out.data(), int(indices.size()), rows, row_len);
    for (size_t i = 0; i < indices.size(); ++i)
      for (int c = 0; c < row_len; ++c)
        EXPECT_EQ(out[i * row_len + c], table[expected_rows[i] * row_len + c]) << "index " << indices[i];
    EXPECT_EQ(out.back(), -1.0f);
  });
}

TEST(KernelTable, AddInplaceCoversGroupsAndTail) {
  testing::for_each_cpu_tier([](CpuTier, const KernelTable& t) {
    std::vector<float> a(11), b(11);
    for (int i = 0; i < 11; ++i) {
      a[i] = float(i);
      b[i] = 0.5f * float(i);
    }
    t.add_inplace_f32(a.data(), b.data(), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(a[i], 1.5f * float(i));
    EXPECT_EQ(a[10], 10.0f);  // past count: untouched
  });
}

}  // namespace
}  // namespace trevalon
