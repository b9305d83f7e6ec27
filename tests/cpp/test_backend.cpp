// Buffers, the backend registry and shared packed weights.
#include <gtest/gtest.h>

#include <cstring>

#include "backend/cpu_backend.h"
#include "backend/registry.h"
#include "layers/layer.h"
#include "weights/weight_binding.h"

namespace trevalon {
namespace {

TEST(Buffer, GrowKeepsEnoughAndMovesOwnership) {
  CpuAllocator& a = host_allocator();
  Buffer b;
  b.grow(a, 100);
  ASSERT_NE(b.data, nullptr);
  std::memset(b.data, 7, 100);
  void* before = b.data;
  b.grow(a, 50);
  EXPECT_EQ(b.data, before);
  EXPECT_EQ(static_cast<uint8_t*>(b.data)[49], 7);
  b.grow(a, 1000);
  EXPECT_GE(b.bytes, 1000u);

  int freed = 0;
  {
    Buffer owner(std::malloc(8), 0, 8, [&freed](void* p) {
      ++freed;
      std::free(p);
    });
    Buffer moved(std::move(owner));
    EXPECT_EQ(owner.data, nullptr);
    EXPECT_EQ(owner.bytes, 0u);
  }
  EXPECT_EQ(freed, 1);  // only the moved-to buffer released the memory
}

TEST(Registry, PriorityOrderAndSelection) {
  static const BackendDescriptor low{"low", 0, 0, KernelTable{}};
  static const BackendDescriptor high{"high", 5, 0, KernelTable{}};
  static const BackendDescriptor high2{"high2", 5, 0, KernelTable{}};
  clear_backend_registry_for_tests();
  EXPECT_EQ(active_backend_descriptor(), nullptr);
  try {
    active_backend_name();
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "No backend registered. Did you link cpu_backend (or another backend)?");
  }
  EXPECT_THROW(share_host_packed_weight("k", Buffer()), std::runtime_error);
  register_backend(&low);
  register_backend(&high);
  EXPECT_STREQ(active_backend_name(), "high");
  register_backend(&high2);
  EXPECT_STREQ(active_backend_name(), "high");  // ties keep the earlier registration first
  EXPECT_TRUE(set_backend("low"));
  EXPECT_STREQ(active_backend_name(), "low");
  EXPECT_FALSE(set_backend("metal"));
  EXPECT_FALSE(set_backend(std::string_view("high\0x", 6)));  // the whole name, past a NUL
  EXPECT_FALSE(set_backend(std::string_view("hig", 3)));
  EXPECT_STREQ(active_backend_name(), "low");

  clear_backend_registry_for_tests();
  register_cpu_backend();
  EXPECT_STREQ(active_backend_name(), "cpu");
  EXPECT_TRUE(set_backend("cpu"));
  EXPECT_FALSE(set_backend("cuda"));
  EXPECT_STREQ(active_backend_name(), "cpu");
}

Buffer filled_buffer(uint8_t value, int* frees) {
  Buffer b = host_allocator().make_buffer(64);
  std::memset(b.data, value, 64);
  b.deleter = [frees](void* p) {
    ++*frees;
    host_allocator().free(p);
  };
  return b;
}

TEST(SharedPackedWeights, EqualKeysShareOneCopy) {
  int frees = 0;
  SharedWeightView first = share_host_packed_weight("SeqGemmFp32:w.weight:4x4", filled_buffer(1, &frees));
  Buffer duplicate = filled_buffer(2, &frees);
  SharedWeightView second = share_host_packed_weight("SeqGemmFp32:w.weight:4x4", std::move(duplicate));
  SharedWeightView other = share_host_packed_weight("SeqGemmFp32:w.weight:8x2", filled_buffer(3, &frees));
  EXPECT_EQ(first.buffer.data, second.buffer.data);
  EXPECT_EQ(first.buffer.bytes, 64u);
  EXPECT_EQ(second.buffer.bytes, 0u);
  EXPECT_NE(other.buffer.data, first.buffer.data);
  EXPECT_NE(duplicate.data, nullptr);  // the duplicate stayed with its caller
  duplicate.release();
  EXPECT_EQ(frees, 1);

  first = SharedWeightView{};  // the first holder goes away; the weight lives on
  EXPECT_EQ(frees, 1);
  EXPECT_EQ(static_cast<uint8_t*>(second.buffer.data)[63], 1);
  second = SharedWeightView{};
  EXPECT_EQ(frees, 2);
}

}  // namespace
}  // namespace trevalon
