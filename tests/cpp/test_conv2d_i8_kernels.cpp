// Int8 convolution kernels below the layer: the Winograd output stage of every tier against the
// portable one over the rescale and requantisation forms the vector code chooses between, the whole
// Winograd convolution of every tier against the portable one, and the patch gatherers (the
// dedicated 7x7 stride-2 one included) against a direct convolution.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernel_tier_loop.h"
#include "kernels/requantize.h"
#include "kernels/winograd_i8.h"

namespace trevalon {
namespace {

constexpr int kGuard = 64;
constexpr int8_t kSentinel = 0x3C;

using OutputStage = void (*)(const int32_t*, size_t, const WinogradI8OutputArgs&, int, int, int8_t*);

std::vector<std::pair<std::string, OutputStage>> vector_output_stages() {
  std::vector<std::pair<std::string, OutputStage>> stages;
#ifndef TREVALON_PORTABLE
  if (detect_cpu_tier() >= CpuTier::Avx2) stages.push_back({"avx2", winograd_i8_output_avx2});
  if (detect_cpu_tier() >= CpuTier::Avx512) stages.push_back({"avx512", winograd_i8_output_avx512});
#endif
  return stages;
}

struct OutputCase {
  std::string name;
  int32_t product_shift[16];  // rescale exponents of the 16 products
  int special_channel_shift;  // requantisation shift given to channel 3 (0: none special)
};

// Products over the whole int32 range (wrapping sums and both saturations happen), multipliers in
// [2^30, 2^31) as positive scales give.
TEST(WinogradI8Kernels, OutputStagesMatchThePortableStage) {
  const OutputCase cases[] = {
      {"left shifts, folded", {1, 1, 2, 1, 3, 2, 0, 1, 1, 5, 1, 1, 2, 1, 1, 4}, 0},
      {"equal left shifts", {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}, 0},
      {"shifts past 31", {1, 33, 2, 1, 40, 2, 0, 1, 1, 31, 1, 1, 2, 1, 1, 32}, 0},
      {"right and left", {1, -1, 2, 0, -3, 2, 0, 1, -31, 5, 1, 1, -40, 1, 1, 0}, 0},
      {"channel outside the division form", {1, 1, 2, 1, 3, 2, 0, 1, 1, 5, 1, 1, 2, 1, 1, 4}, 2},
      {"channel with a long right shift", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, -30},
  };
  const int shapes[][3] = {{37, 5, 7}, {16, 4, 4}, {64, 3, 6}};  // C_out, H, W
  std::mt19937 rng(31);
  std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
  std::uniform_int_distribution<int32_t> moderate(-3000000, 3000000);
  std::uniform_int_distribution<int32_t> mult(1 << 30, INT32_MAX);
  std::uniform_int_distribution<int> shift(-12, -4), zp(-128, 127);
  for (const OutputCase& c : cases)
    for (const auto& shape : shapes) {
      const int C_out = shape[0], H = shape[1], W = shape[2];
      SCOPED_TRACE(c.name + " C_out=" + std::to_string(C_out) + " H=" + std::to_string(H) +
                   " W=" + std::to_string(W));
      const int tiles = ((H + 1) / 2) * ((W + 1) / 2);
      const size_t plane = size_t(tiles) * C_out;
      std::vector<int32_t> P(16 * plane);
      for (size_t i = 0; i < P.size(); ++i) P[i] = i % 5 == 0 ? any(rng) : moderate(rng);
      std::vector<int64_t> bias(C_out);
      std::vector<int32_t> mults(C_out), shifts(C_out);
      for (int o = 0; o < C_out; ++o) {
        bias[o] = int64_t(moderate(rng)) * 100 + (o % 4 == 1 ? int64_t(3) << 32 : 0);
        mults[o] = mult(rng);
        shifts[o] = shift(rng);
      }
      if (c.special_channel_shift != 0) shifts[3] = c.special_channel_shift;
      WinogradI8OutputArgs args{};
      args.C_out = C_out;
      args.H = H;
      args.W = W;
      args.bias_w = bias.data();
      args.mult = mults.data();
      args.shift = shifts.data();
      args.out_zp = int8_t(zp(rng));
      args.channel_begin = 0;
      args.channel_end = C_out;
      for (int k = 0; k < 16; ++k) {
        args.product_mult[k] = mult(rng);
        args.product_shift[k] = c.product_shift[k];
      }
      const size_t bytes = size_t(H) * W * C_out;
      std::vector<int8_t> want(bytes + kGuard, kSentinel);
      winograd_i8_output_portable(P.data(), plane, args, 0, (H + 1) / 2, want.data());
      for (const auto& [name, stage] : vector_output_stages()) {
        SCOPED_TRACE(name);
        std::vector<int8_t> got(bytes + kGuard, kSentinel);
        stage(P.data(), plane, args, 0, (H + 1) / 2, got.data());
        ASSERT_EQ(got, want);
        // A chunk of tile rows reads its products from row 0 of P and writes only its own rows.
        if (H > 2) {
          std::vector<int8_t> chunk_want(bytes + kGuard, kSentinel), chunk_got(bytes + kGuard, kSentinel);
          winograd_i8_output_portable(P.data(), plane, args, 1, 2, chunk_want.data());
          stage(P.data(), plane, args, 1, 2, chunk_got.data());
          ASSERT_EQ(chunk_got, chunk_want);
        }
        // A group of channels reads products holding only its channels and writes only those.
        WinogradI8OutputArgs part = args;
        part.channel_begin = 8;
        part.channel_end = C_out - 3;
        const size_t width = size_t(part.channel_end - part.channel_begin),
                     part_plane = size_t(tiles) * width;
        std::vector<int32_t> part_P(16 * part_plane);
        for (int k = 0; k < 16; ++k)
          for (int t = 0; t < tiles; ++t)
            for (size_t c = 0; c < width; ++c)
              part_P[k * part_plane + t * width + c] = P[k * plane + size_t(t) * C_out + 8 + c];
        std::vector<int8_t> part_want(bytes + kGuard, kSentinel);
        for (size_t pixel = 0; pixel < size_t(H) * W; ++pixel)
          for (int o = part.channel_begin; o < part.channel_end; ++o)
            part_want[pixel * C_out + o] = want[pixel * C_out + o];
        for (const OutputStage s : {stage, OutputStage(winograd_i8_output_portable)}) {
          std::vector<int8_t> part_got(bytes + kGuard, kSentinel);
          s(part_P.data(), part_plane, part, 0, (H + 1) / 2, part_got.data());
          ASSERT_EQ(part_got, part_want);
        }
      }
    }
}

// The whole Winograd convolution of every tier against the portable one, with more output channels
// than one channel group and input channel counts with and without whole dwords.
TEST(WinogradI8Kernels, EveryTierMatchesThePortableConvolution) {
  const int shapes[][4] = {{20, 100, 9, 7}, {21, 70, 6, 11}, {64, 130, 5, 5}};  // C_in, C_out, H, W
  std::mt19937 rng(41);
  std::uniform_int_distribution<int> byte(-128, 127), zp(-128, 127);
  std::uniform_real_distribution<float> scale(0.0002f, 0.001f);
  for (const auto& shape : shapes) {
    const int C_in = shape[0], C_out = shape[1], H = shape[2], W = shape[3];
    SCOPED_TRACE("C_in=" + std::to_string(C_in) + " C_out=" + std::to_string(C_out));
    std::vector<int8_t> input(size_t(H) * W * C_in), weights(size_t(C_out) * C_in * 9);
    for (auto& v : input) v = int8_t(byte(rng));
    for (auto& v : weights) v = int8_t(byte(rng));
    WinogradI8Weights transformed;
    winograd_i8_transform_weights(weights.data(), C_out, C_in, transformed);
    std::vector<int64_t> bias(C_out);
    std::vector<int32_t> mult(C_out), shift(C_out), sums(C_out, 0);
    std::vector<float> req_scale(C_out);
    for (int o = 0; o < C_out; ++o) {
      bias[o] = int64_t(byte(rng)) * 1000;
      req_scale[o] = scale(rng);
      scale_to_multiplier(req_scale[o], mult[o], shift[o]);
      for (int i = 0; i < C_in * 9; ++i) sums[o] += weights[size_t(o) * C_in * 9 + i];
    }
    const int8_t in_zp = int8_t(zp(rng)), out_zp = int8_t(zp(rng));
    std::vector<int64_t> bias_w(C_out);
    winograd_i8_bias(bias.data(), sums.data(), transformed.row_sums[5].data(), transformed.scales[5],
                     kWinogradI8InputScale, in_zp, C_out, bias_w.data());
    const size_t tiles16 = size_t(H / 2 + 1) * (W / 2 + 1) * 16;
    std::vector<int8_t> want;
    testing::for_each_cpu_tier([&](CpuTier tier, const KernelTable& t) {
      const int8_t* packed[16];
      const int32_t* row_sums[16];
      for (int k = 0; k < 16; ++k) {
        packed[k] = t.pack_weights_i8(transformed.matrices[k].data(), C_out, C_in);
        row_sums[k] = transformed.row_sums[k].data();
      }
      std::vector<int8_t> scratch0(tiles16 * C_in), out(size_t(H) * W * C_out + kGuard, kSentinel);
      std::vector<int32_t> scratch1(tiles16 * C_out);
      t.conv2d_i8_winograd(input.data(), packed, row_sums, transformed.scales, bias_w.data(), mult.data(),
                           shift.data(), req_scale.data(), in_zp, kWinogradI8InputScale, out_zp, out.data(),
                           C_in, H, W, C_out, scratch0.data(), scratch1.data(), nullptr);
      for (int k = 0; k < 16; ++k) t.free_packed_i8(const_cast<int8_t*>(packed[k]));
      for (int i = 0; i < kGuard; ++i) ASSERT_EQ(out[out.size() - kGuard + i], kSentinel);
      out.resize(out.size() - kGuard);
      if (tier == CpuTier::Portable) {
        want = out;
      } else {
        EXPECT_EQ(out, want);
      }
    });
  }
}

// ---- patch gatherers ----------------------------------------------------------------------------

struct GatherCase {
  int C_in, C_out, H, W, k, stride, pad, in_zp, out_zp;
};

// out[oy][ox][o] = requantise(sum over taps of x * w + bias), taps outside reading in_zp; weights
// stored as C_out x C_in x k x k.
std::vector<int8_t> direct_conv(const GatherCase& s, const std::vector<int8_t>& x,
                                const std::vector<int8_t>& w, const std::vector<int64_t>& bias,
                                const std::vector<int32_t>& mult, const std::vector<int32_t>& shift) {
  const int out_h = (s.H + 2 * s.pad - s.k) / s.stride + 1, out_w = (s.W + 2 * s.pad - s.k) / s.stride + 1;
  std::vector<int8_t> out(size_t(out_h) * out_w * s.C_out);
  for (int oy = 0; oy < out_h; ++oy)
    for (int ox = 0; ox < out_w; ++ox)
      for (int o = 0; o < s.C_out; ++o) {
        int64_t acc = 0;
        for (int c = 0; c < s.C_in; ++c)
          for (int ky = 0; ky < s.k; ++ky)
            for (int kx = 0; kx < s.k; ++kx) {
              const int y = oy * s.stride - s.pad + ky, xx = ox * s.stride - s.pad + kx;
              const bool inside = y >= 0 && y < s.H && xx >= 0 && xx < s.W;
              const int v = inside ? x[(size_t(y) * s.W + xx) * s.C_in + c] : s.in_zp;
              acc += int64_t(v) * w[((size_t(o) * s.C_in + c) * s.k + ky) * s.k + kx];
            }
        const int32_t with_bias = int32_t(uint32_t(uint64_t(acc) + uint64_t(bias[o])));
        out[(size_t(oy) * out_w + ox) * s.C_out + o] = requantize(with_bias, mult[o], shift[o], s.out_zp);
      }
  return out;
}

TEST(Conv2dI8Kernels, GatherersMatchDirectConvolution) {
  // The 7x7 stride-2 stem on three channels has a gatherer of its own; the others take the general
  // one. Inputs narrower than the kernel reach, so every border case occurs. On the VNNI tier the
  // patches are gathered in the product's own form, rows padded to whole dwords, in chunks the
  // scratch buffer (K bytes per pixel) holds; a single output row with K not a multiple of 4 does not
  // fit that way and takes the plain gather.
  const GatherCase cases[] = {
      {3, 16, 13, 11, 7, 2, 3, -5, 7}, {3, 9, 5, 6, 7, 2, 3, 127, -128}, {4, 16, 13, 11, 7, 2, 3, -5, 7},
      {3, 20, 16, 16, 7, 2, 3, 0, 0},  {2, 8, 9, 10, 5, 3, 2, 12, -3},   {3, 8, 1, 9, 7, 2, 3, 4, -4},
      {5, 24, 9, 8, 3, 2, 1, -2, 1},
  };
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(-128, 127);
  std::uniform_real_distribution<float> scale(0.0004f, 0.002f);
  for (const GatherCase& s : cases) {
    SCOPED_TRACE("C_in=" + std::to_string(s.C_in) + " k=" + std::to_string(s.k) +
                 " H=" + std::to_string(s.H) + " W=" + std::to_string(s.W));
    const int K = s.C_in * s.k * s.k;
    std::vector<int8_t> x(size_t(s.H) * s.W * s.C_in), w(size_t(s.C_out) * K);
    for (auto& v : x) v = int8_t(byte(rng));
    for (auto& v : w) v = int8_t(byte(rng));
    std::vector<int64_t> bias(s.C_out);
    std::vector<int32_t> mult(s.C_out), shift(s.C_out);
    for (int o = 0; o < s.C_out; ++o) {
      bias[o] = int64_t(byte(rng)) * 300;
      scale_to_multiplier(scale(rng), mult[o], shift[o]);
    }
    const std::vector<int8_t> want = direct_conv(s, x, w, bias, mult, shift);
    const int out_h = (s.H + 2 * s.pad - s.k) / s.stride + 1, out_w = (s.W + 2 * s.pad - s.k) / s.stride + 1;
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      std::vector<int8_t> scratch(size_t(K) * out_h * out_w);
      std::vector<int8_t> got(want.size() + kGuard, kSentinel);
      // No packed weights: the kernel reorders and packs the stored ones for the call.
      t.conv2d_i8(x.data(), w.data(), nullptr, bias.data(), mult.data(), shift.data(), int8_t(s.in_zp),
                  int8_t(s.out_zp), got.data(), s.C_in, s.H, s.W, s.C_out, s.k, s.k, s.stride, s.stride,
                  s.pad, s.pad, 1, scratch.data(), true, nullptr, nullptr);
      for (int i = 0; i < kGuard; ++i) ASSERT_EQ(got[want.size() + i], kSentinel);
      got.resize(want.size());
      EXPECT_EQ(got, want);
    });
  }
}

}  // namespace
}  // namespace trevalon
