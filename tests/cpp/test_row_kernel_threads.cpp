// The row and element kernels split between threads (norms over rows or channel blocks,
// activations and element-wise kernels over element ranges or rows, the row gather, the vision
// transformer's position adds): every slot on every tier gives the bytes of one thread at 2, 3 and
// 4 threads, for counts that end in partial vectors and scalar tails and for one row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel_tier_loop.h"
#include "small_layer_harness.h"
#include "test_support.h"
#include "thread_counts.h"

namespace trevalon {
namespace {

namespace test = trevalon::testing;
using test::random_floats;

// Appends `part` to `all`.
void append(std::vector<float>& all, const std::vector<float>& part) {
  all.insert(all.end(), part.begin(), part.end());
}

TEST(RowKernelThreads, NormsGiveTheSameBytesAtEveryThreadCount) {
  const struct { int rows, cols; } shapes[] = {{1, 64}, {17, 7}, {33, 100}, {70, 3}, {19, 130}};
  for (const auto& s : shapes) {
    SCOPED_TRACE(std::to_string(s.rows) + " x " + std::to_string(s.cols));
    const size_t n = size_t(s.rows) * s.cols;
    const auto x = random_floats(n, -2.0f, 3.0f, uint32_t(s.rows + s.cols));
    const auto gamma = random_floats(size_t(s.cols), 0.5f, 1.5f, 2);
    const auto beta = random_floats(size_t(s.cols), -1.0f, 1.0f, 3);
    const auto w = random_floats(size_t(s.cols), 0.5f, 1.5f, 4);
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
      test::expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<float> all, y(n);
            k.rms_norm_f32(x.data(), w.data(), y.data(), s.rows, s.cols, 1e-6f);
            append(all, y);
            k.rms_norm_f32(x.data(), nullptr, y.data(), s.rows, s.cols, 1e-6f);
            append(all, y);
            k.layer_norm_f32(x.data(), gamma.data(), beta.data(), y.data(), s.rows, s.cols, 1e-5f);
            append(all, y);
            k.layer_norm_f32(x.data(), nullptr, beta.data(), y.data(), s.rows, s.cols, 1e-5f);
            append(all, y);
            k.ada_layer_norm_f32(x.data(), y.data(), gamma.data(), beta.data(), s.rows, s.cols, 1e-5f);
            append(all, y);
            // The instance norm splits channel blocks: here cols are its channels, rows its time.
            k.ada_in1d_f32(x.data(), y.data(), gamma.data(), beta.data(), s.rows, s.cols, w.data(), 1e-5f,
                           beta.data());
            append(all, y);
            k.ada_in1d_f32(x.data(), y.data(), gamma.data(), beta.data(), s.rows, s.cols, nullptr, 1e-5f,
                           nullptr);
            append(all, y);
            y = x;  // in place
            k.layer_norm_f32(y.data(), gamma.data(), beta.data(), y.data(), s.rows, s.cols, 1e-5f);
            append(all, y);
            return all;
          },
          "norms");
    });
  }
}

// Channel counts past one 64-channel block, so that the instance norm's blocks go to different
// threads, including a last block of a few channels.
TEST(RowKernelThreads, InstanceNormOverManyChannelBlocks) {
  const int T = 9, C = 199;
  const auto x = random_floats(size_t(T) * C, -2.0f, 2.0f, 5);
  const auto gamma = random_floats(size_t(C), -0.5f, 0.5f, 6);
  const auto beta = random_floats(size_t(C), -1.0f, 1.0f, 7);
  const auto w = random_floats(size_t(C), 0.5f, 1.5f, 8);
  test::for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
    test::expect_same_bytes_at_thread_counts(
        [&] {
          std::vector<float> y(x.size());
          k.ada_in1d_f32(x.data(), y.data(), gamma.data(), beta.data(), T, C, w.data(), 1e-5f, beta.data());
          return y;
        },
        "instance norm");
  });
}

TEST(RowKernelThreads, ActivationsAndElementWiseGiveTheSameBytesAtEveryThreadCount) {
  for (int count : {1, 7, 67, 130, 1001}) {
    SCOPED_TRACE(count);
    const size_t n = size_t(count);
    const auto x = random_floats(n, -6.0f, 6.0f, uint32_t(count));
    const auto b = random_floats(n, -3.0f, 3.0f, uint32_t(count + 1));
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
      test::expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<float> all, y(n);
            for (auto unary : {k.sigmoid_f32, k.tanh_f32, k.exp_f32, k.sin_f32, k.silu_f32}) {
              unary(x.data(), y.data(), count);
              append(all, y);
            }
            for (auto in_place : {k.gelu_f32, k.relu_f32, k.relu_inplace_f32}) {
              y = x;
              in_place(y.data(), count);
              append(all, y);
            }
            k.leaky_relu_f32(x.data(), y.data(), count, 0.125f);
            append(all, y);
            k.add_f32(x.data(), b.data(), y.data(), count, true, nullptr);
            append(all, y);
            k.add_f32(x.data(), nullptr, y.data(), count, false, nullptr);
            append(all, y);
            k.scale_f32(x.data(), y.data(), count, 0.3f);
            append(all, y);
            k.elemwise_mul_f32(x.data(), b.data(), y.data(), count);
            append(all, y);
            y = x;
            k.add_inplace_f32(y.data(), b.data(), count);
            append(all, y);
            return all;
          },
          "element-wise");
    });
  }
}

// Rows of positions: snake's polynomial channels and sinf tail per row, the nearest upsampling's
// repeated rows, and the row gather with ids outside the table clamped.
TEST(RowKernelThreads, RowKernelsGiveTheSameBytesAtEveryThreadCount) {
  for (int C : {5, 8, 37}) {
    SCOPED_TRACE(C);
    const int positions = 23, rows = 6;
    const size_t n = size_t(positions) * C;
    const auto x = random_floats(n, -4.0f, 4.0f, uint32_t(C));
    const auto alpha = random_floats(size_t(C), 0.2f, 2.0f, uint32_t(C + 1));
    const auto inv = random_floats(size_t(C), 0.5f, 5.0f, uint32_t(C + 2));
    const auto table = random_floats(size_t(rows) * C, -1.0f, 1.0f, uint32_t(C + 3));
    std::vector<float> ids(positions);
    for (int i = 0; i < positions; ++i) ids[i] = float(i % 9) - 1.5f;  // below 0 and past the last row
    test::for_each_cpu_tier([&](CpuTier, const KernelTable& k) {
      test::expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<float> all, y(n), up(n * 3);
            k.snake_f32(x.data(), y.data(), alpha.data(), inv.data(), positions, C, nullptr);
            append(all, y);
            k.snake_f32(x.data(), y.data(), alpha.data(), nullptr, positions, C, nullptr);
            append(all, y);
            k.upsample_nearest1d_f32(x.data(), up.data(), positions, C, 3, nullptr);
            append(all, up);
            k.embedding_gather_f32(ids.data(), table.data(), y.data(), positions, rows, C);
            append(all, y);
            return all;
          },
          "row kernels");
    });
  }
}

TEST(RowKernelThreads, PositionLayersGiveTheSameBytesAtEveryThreadCount) {
  const int C = 24, side = 7, T = side * side;
  std::vector<float> in = random_floats(size_t(T) * C, -1.0f, 1.0f, 9);
  const auto cls = random_floats(size_t(C), -1.0f, 1.0f, 10);
  const auto pos = random_floats(size_t(T + 1) * C, -1.0f, 1.0f, 11);
  auto prep =
      test::make_layer("patch_prep_fp32", "{}", {{"vit.cls_token", cls}, {"vit.pos_embed", pos}}, "vit");
  auto add = test::make_layer("pos_emb_add_fp32", "{}", {{"pe.weight", pos}}, "pe");
  test::expect_same_bytes_at_thread_counts(
      [&] {
        std::vector<float> all = test::run_layer<float>(*prep, {&in}, {{C, side, side}}).out;
        append(all, test::run_layer<float>(*add, {&in}, {{C, side, side}}).out);
        return all;
      },
      "position layers");
}

}  // namespace
}  // namespace trevalon
