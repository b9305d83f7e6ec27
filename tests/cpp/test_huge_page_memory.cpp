// Memory for streamed weights: every size class hands out zero-filled, aligned, private blocks,
// a freed block's pages come back zeroed to the next owner, and the bare-pointer form round-trips.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kernels/huge_page_memory.h"

namespace trevalon {
namespace {

bool all_zero(const void* p, size_t bytes) {
  const auto* b = static_cast<const uint8_t*>(p);
  for (size_t i = 0; i < bytes; ++i)
    if (b[i] != 0) return false;
  return true;
}

// Sizes below, at and between the class limits (heap, shared chunks from 128 KiB, own mappings
// from 2 MiB), odd ones included.
const size_t kSizes[] = {1,         4096,          (128 << 10) - 1, 128 << 10,    (300 << 10) + 7,
                         (1 << 20), (2 << 20) - 1, 2 << 20,         (5 << 20) + 3};

TEST(HugePageMemory, BlocksAreZeroedAlignedAndDisjoint) {
  std::vector<HugePageAllocation> blocks;
  for (size_t bytes : kSizes) {
    HugePageAllocation b = allocate_huge_page_memory(bytes);
    ASSERT_NE(b.data, nullptr) << bytes;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b.data) % 64, 0u) << bytes;
    EXPECT_GE(b.length, bytes);
    EXPECT_TRUE(all_zero(b.data, bytes)) << bytes;
    blocks.push_back(b);
  }
  // Each block filled with its own byte: none overlaps another.
  for (size_t i = 0; i < blocks.size(); ++i) std::memset(blocks[i].data, int(i + 1), kSizes[i]);
  for (size_t i = 0; i < blocks.size(); ++i) {
    const auto* p = static_cast<const uint8_t*>(blocks[i].data);
    EXPECT_EQ(p[0], uint8_t(i + 1)) << kSizes[i];
    EXPECT_EQ(p[kSizes[i] - 1], uint8_t(i + 1)) << kSizes[i];
  }
  for (const HugePageAllocation& b : blocks) free_huge_page_memory(b);
}

TEST(HugePageMemory, FreedSharedPagesComeBackZeroed) {
  // Fill a chunk with medium blocks, free every other one, and take blocks again: the holes are
  // reused and must read as zeros.
  std::vector<HugePageAllocation> blocks;
  for (int i = 0; i < 12; ++i) {
    blocks.push_back(allocate_huge_page_memory(256 << 10));
    std::memset(blocks.back().data, 0xA5, 256 << 10);
  }
  for (size_t i = 0; i < blocks.size(); i += 2) free_huge_page_memory(blocks[i]);
  for (size_t i = 0; i < blocks.size(); i += 2) {
    blocks[i] = allocate_huge_page_memory(200 << 10);
    EXPECT_TRUE(all_zero(blocks[i].data, 200 << 10)) << i;
  }
  // The survivors kept their bytes.
  for (size_t i = 1; i < blocks.size(); i += 2) {
    const auto* p = static_cast<const uint8_t*>(blocks[i].data);
    EXPECT_EQ(p[0], 0xA5);
    EXPECT_EQ(p[(256 << 10) - 1], 0xA5);
  }
  for (const HugePageAllocation& b : blocks) free_huge_page_memory(b);
}

TEST(HugePageMemory, BarePointerArraysRoundTrip) {
  for (size_t bytes : kSizes) {
    auto* p = static_cast<uint8_t*>(allocate_huge_page_array(bytes));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u) << bytes;
    EXPECT_TRUE(all_zero(p, bytes)) << bytes;
    std::memset(p, 0x5A, bytes);
    free_huge_page_array(p);
  }
  free_huge_page_array(nullptr);  // like delete[] on null
  EXPECT_THROW(allocate_huge_page_array(SIZE_MAX - 8), std::bad_alloc);
}

}  // namespace
}  // namespace trevalon
