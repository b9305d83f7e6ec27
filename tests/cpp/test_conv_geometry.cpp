// The convolution toolkit's shared pieces: output size, the overflow-checked multiply behind the
// layers' and runtime's size messages, and the patch order every weight packing reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kernels/conv_geometry.h"
#include "runtime/shapes.h"
#include "test_support.h"

namespace trevalon {
namespace {

using testing::expect_error;

TEST(ConvGeometry, OutputSizeOfStridesPaddingAndDilation) {
  EXPECT_EQ(conv_output_size(224, 7, 2, 3), 112);  // the usual stem
  EXPECT_EQ(conv_output_size(5, 3, 2, 0), 2);      // truncating division
  EXPECT_EQ(conv_output_size(7, 3, 1, 1, 2), 5);   // span 5 with dilation 2
  EXPECT_EQ(conv_output_size(6, 3, 0, 1), 6);      // a zero stride counts as 1
  EXPECT_EQ(conv_output_size(0, 3, 1, 1), 0);      // no rows: nothing to compute
  EXPECT_LE(conv_output_size(2, 5, 1, 0), 0);      // kernel wider than the input
  EXPECT_EQ(conv_output_size(int64_t(INT32_MAX), 1, 1, 1), int64_t(INT32_MAX) + 2);  // no int wrap
}

TEST(ConvGeometry, CheckedMultiplyStopsAtItsLimitWithTheCallersMessage) {
  int built = 0;
  auto message = [&] {
    ++built;
    return std::string("sizes overflow");
  };
  const uint64_t limit = uint64_t(1) << 62;
  EXPECT_EQ(checked_mul(uint64_t(1) << 31, uint64_t(1) << 31, limit, message), limit);
  EXPECT_EQ(checked_mul(0, UINT64_MAX, limit, message), 0u);
  EXPECT_EQ(built, 0);  // built only on failure
  expect_error([&] { checked_mul(limit / 3 + 1, 3, limit, message); }, "sizes overflow");
  EXPECT_EQ(built, 1);
  // The runtime's form: all 64 bits, then the tensor's message.
  EXPECT_EQ(checked_mul(UINT64_MAX / 5, 5, "x"), UINT64_MAX / 5 * 5);
  expect_error([] { checked_mul(uint64_t(1) << 32, uint64_t(1) << 32, "x"); }, "tensor 'x' is too large");
}

TEST(ConvGeometry, PatchOrderPutsTheChannelFastest) {
  // Two outputs, three channels, a 1x2 kernel: stored (o, c, t), wanted (o, t, c).
  const std::vector<int> stored = {0, 1, 10, 11, 20, 21, 100, 101, 110, 111, 120, 121};
  EXPECT_EQ(to_patch_order(stored.data(), 2, 3, 2),
            (std::vector<int>{0, 10, 20, 1, 11, 21, 100, 110, 120, 101, 111, 121}));
}

}  // namespace
}  // namespace trevalon
