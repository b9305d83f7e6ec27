// The speech layers at 1, 2, 3 and 4 threads on every tier: the 1-D convolutions (float and int8,
// transposed, depthwise), the LSTM, the STFT, iSTFT and sine source must give the bytes of one
// thread, with small work split as large work is, on shapes whose ranges end off the blocks
// (odd lengths, channels not multiples of 16, fewer outputs than threads).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kernel_tier_loop.h"
#include "small_layer_harness.h"
#include "test_support.h"
#include "thread_counts.h"

namespace trevalon {
namespace {

using testing::expect_same_bytes_at_thread_counts;

using ByteMap = std::map<std::string, std::vector<uint8_t>>;

std::unique_ptr<ILayer> layer_from_bytes(OpType op, const std::string& json, const ByteMap& tensors,
                                         const std::string& name) {
  auto layer = create_layer(op, testing::parse_node(json));
  layer->name = name;
  WeightGetter get = testing::getter_over(tensors);
  layer->load_weights(get);
  return layer;
}

// One forward pass of a one-input layer, with the scratch buffers it asks for (filled with a
// pattern, so a range reading memory it did not write shows) or with none.
std::vector<float> forward(ILayer& layer, std::vector<float>& x, TensorShape in, bool with_scratch) {
  uint64_t sizes[kScratchBuffers] = {};
  layer.scratch_sizes(in, sizes);
  std::vector<std::vector<uint8_t>> scratch(kScratchBuffers);
  ExecContext ctx{};
  if (with_scratch)
    for (int k = 0; k < kScratchBuffers; ++k) {
      scratch[k].assign(sizes[k], 0xA5);
      ctx.scratch[k] = BufferView{scratch[k].data(), 0, sizes[k]};
    }
  TensorRef ref{BufferView{x.data(), 0, x.size() * sizeof(float)}, in};
  std::vector<float> y(element_count(layer.output_shape(in)), -7.0f);
  const TensorShape got = layer.forward(&ref, 1, BufferView{y.data(), 0, y.size() * sizeof(float)}, &ctx);
  y.resize(element_count(got));
  return y;
}

struct ConvCase {
  int C_in, C_out, K, stride, padding, dilation, groups, L;
};

std::string conv_json(const ConvCase& c, const char* extra_key = "dilation", int extra = -1) {
  return "{\"C_in\": " + std::to_string(c.C_in) + ", \"C_out\": " + std::to_string(c.C_out) +
         ", \"kernel_size\": " + std::to_string(c.K) + ", \"stride\": " + std::to_string(c.stride) +
         ", \"padding\": " + std::to_string(c.padding) + ", \"" + extra_key +
         "\": " + std::to_string(extra < 0 ? c.dilation : extra) + ", \"groups\": " + std::to_string(c.groups) +
         "}";
}

std::string label(const ConvCase& c) {
  return "C_in=" + std::to_string(c.C_in) + " C_out=" + std::to_string(c.C_out) + " K=" + std::to_string(c.K) +
         " stride=" + std::to_string(c.stride) + " pad=" + std::to_string(c.padding) +
         " dil/out_pad=" + std::to_string(c.dilation) + " groups=" + std::to_string(c.groups) +
         " L=" + std::to_string(c.L);
}

// Every float path: Winograd F(4,3), F(2,7), F(2,11) (partial last tiles, one output), direct
// (more than one row block), pointwise with padding rows, strided, grouped and depthwise.
TEST(SpeechThreads, Conv1dFp32EveryPath) {
  unsetenv("BRASKO_FP32_CONV1D_DIRECT");
  const ConvCase cases[] = {
      {19, 21, 3, 1, 1, 1, 1, 43},  {5, 7, 3, 1, 1, 1, 1, 1},      {33, 17, 7, 1, 3, 1, 1, 101},
      {24, 40, 11, 1, 5, 1, 1, 67}, {64, 64, 3, 1, 1, 1, 1, 3000}, {6, 10, 5, 1, 4, 3, 1, 37},
      {70, 66, 7, 1, 3, 5, 1, 1100}, {9, 5, 1, 1, 2, 1, 1, 13},    {7, 6, 4, 2, 1, 1, 1, 21},
      {12, 8, 5, 2, 2, 3, 4, 31},   {6, 12, 3, 1, 1, 1, 6, 17},    {37, 37, 3, 2, 1, 3, 37, 40},
      {20, 20, 7, 1, 3, 1, 20, 3},
  };
  for (const ConvCase& c : cases) {
    SCOPED_TRACE(label(c));
    std::mt19937 rng(uint32_t(c.L * 13 + c.K));
    std::vector<float> x = testing::random_floats(size_t(c.L) * c.C_in, rng);
    const testing::WeightMap weights{
        {"conv.weight", testing::random_floats(size_t(c.C_out) * (c.C_in / c.groups) * c.K, rng, -0.5f, 0.5f)},
        {"conv.bias", testing::random_floats(size_t(c.C_out), rng)}};
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = testing::make_layer("conv1d_fp32", conv_json(c), weights, "conv");
      layer->relu = c.L % 2 == 1;
      for (bool with_scratch : {false, true})
        expect_same_bytes_at_thread_counts([&] { return forward(*layer, x, {c.C_in, c.L, 1}, with_scratch); },
                                           with_scratch ? "with scratch" : "without scratch");
    });
  }
}

// Transposed: upsampling strides, groups, depthwise, a kernel shorter than the stride (output rows
// no input reaches), a long stride-1 kernel over two rows (ranges sharing every input row), and the
// row bias after it.
TEST(SpeechThreads, ConvTranspose1dFp32) {
  const ConvCase cases[] = {  // `dilation` holds the output padding
      {6, 4, 4, 2, 1, 1, 1, 10},    {8, 6, 4, 2, 1, 1, 2, 11},      {5, 5, 3, 2, 0, 0, 5, 9},
      {3, 7, 2, 3, 0, 2, 1, 6},     {3, 5, 7, 1, 3, 0, 1, 2},       {16, 8, 16, 8, 4, 0, 1, 37},
      {70, 66, 20, 10, 5, 0, 1, 300}, {64, 32, 12, 6, 3, 0, 1, 1000},
  };
  for (const ConvCase& c : cases) {
    SCOPED_TRACE(label(c));
    std::mt19937 rng(uint32_t(c.L * 5 + c.K));
    std::vector<float> x = testing::random_floats(size_t(c.L) * c.C_in, rng);
    const testing::WeightMap weights{
        {"up.weight", testing::random_floats(size_t(c.C_in) * (c.C_out / c.groups) * c.K, rng)},
        {"up.bias", testing::random_floats(size_t(c.C_out), rng)}};
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = testing::make_layer("conv_transpose1d_fp32", conv_json(c, "output_padding"), weights, "up");
      for (bool with_scratch : {false, true})
        expect_same_bytes_at_thread_counts([&] { return forward(*layer, x, {c.C_in, c.L, 1}, with_scratch); },
                                           with_scratch ? "with scratch" : "without scratch");
    });
  }
}

// Int8: the per-tap path (stride 1, one group; one tap; two outputs), the im2col path (strided,
// grouped) and the depthwise kernels (lanes and tails, a channel multiplier of 2).
TEST(SpeechThreads, Conv1dInt8EveryPath) {
  const ConvCase cases[] = {
      {19, 21, 3, 1, 1, 2, 1, 45}, {5, 33, 1, 1, 0, 1, 1, 7},   {16, 16, 5, 1, 2, 1, 1, 2},
      {40, 24, 5, 1, 2, 1, 1, 700}, {7, 6, 4, 2, 1, 1, 1, 101}, {12, 8, 5, 2, 2, 3, 4, 131},
      {37, 37, 3, 2, 1, 3, 37, 40}, {20, 40, 5, 1, 2, 1, 20, 23}, {48, 48, 7, 1, 3, 1, 48, 5},
  };
  for (const ConvCase& c : cases) {
    SCOPED_TRACE(label(c));
    std::mt19937 rng(uint32_t(c.L * 3 + c.K));
    std::vector<float> x = testing::random_floats(size_t(c.L) * c.C_in, rng);
    std::vector<int8_t> w(size_t(c.C_out) * (c.C_in / c.groups) * c.K);
    std::uniform_int_distribution<int> byte(-127, 127);
    for (int8_t& v : w) v = int8_t(byte(rng));
    const ByteMap tensors{{"conv.weight_i8", testing::bytes_of(w)},
                          {"conv.w_scales", testing::bytes_of(testing::random_floats(size_t(c.C_out), rng, 1e-3f, 1e-2f))},
                          {"conv.bias", testing::bytes_of(testing::random_floats(size_t(c.C_out), rng))}};
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
      auto layer = layer_from_bytes(OpType::Conv1dInt8, conv_json(c), tensors, "conv");
      for (bool with_scratch : {false, true})
        expect_same_bytes_at_thread_counts([&] { return forward(*layer, x, {c.C_in, c.L, 1}, with_scratch); },
                                           with_scratch ? "with scratch" : "without scratch");
    });
  }
}

// Hidden sizes below a group of four, between groups, one unit past a group of 16 and four groups
// of 16 (one to four ranges of units per step), both directions, nine steps and one.
TEST(SpeechThreads, LstmBothDirections) {
  const int K = 7;
  for (int H : {1, 5, 17, 64, 100})
    for (bool bidirectional : {false, true})
      for (int T : {9, 1}) {
        SCOPED_TRACE("H=" + std::to_string(H) + " bidirectional=" + std::to_string(bidirectional) +
                     " T=" + std::to_string(T));
        const uint32_t seed = uint32_t(H * 17 + T);
        testing::WeightMap weights;
        for (const char* suffix : {"", "_reverse"}) {
          const std::string s = suffix;
          weights["lstm.weight_ih_l0" + s] = testing::random_floats(size_t(4) * H * K, -0.5f, 0.5f, seed);
          weights["lstm.weight_hh_l0" + s] = testing::random_floats(size_t(4) * H * H, -0.5f, 0.5f, seed + 1);
          weights["lstm.bias_ih_l0" + s] = testing::random_floats(size_t(4) * H, -0.5f, 0.5f, seed + 2);
          weights["lstm.bias_hh_l0" + s] = testing::random_floats(size_t(4) * H, -0.5f, 0.5f, seed + 3);
        }
        std::vector<float> x = testing::random_floats(size_t(T) * K, -2.0f, 2.0f, seed + 4);
        const std::string json = "{\"hidden_size\": " + std::to_string(H) +
                                 ", \"bidirectional\": " + (bidirectional ? "true" : "false") + "}";
        testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
          auto layer = testing::make_layer("lstm_fp32", json, weights, "lstm");
          expect_same_bytes_at_thread_counts([&] { return forward(*layer, x, {K, T, 1}, false); });
        });
      }
}

// Frames of the STFT: even and odd n_fft, one frame and many.
TEST(SpeechThreads, StftFrames) {
  for (int n_fft : {20, 9})
    for (int L : {1, 37, 2001}) {
      SCOPED_TRACE("n_fft=" + std::to_string(n_fft) + " L=" + std::to_string(L));
      std::vector<float> x = testing::random_floats(size_t(L), -1.0f, 1.0f, uint32_t(L + n_fft));
      const std::string json = "{\"n_fft\": " + std::to_string(n_fft) + ", \"hop_size\": 4}";
      testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
        auto layer = testing::make_layer("stft_fp32", json, {}, "stft");
        expect_same_bytes_at_thread_counts([&] { return forward(*layer, x, {1, L, 1}, false); });
      });
    }
}

// Output samples of the iSTFT: hops below, at and above a third of the frame, a hop of 0 (every
// frame on the same samples), more frames than a block, with and without normalisation.
TEST(SpeechThreads, IstftSamples) {
  struct Case {
    int n_fft, hop, T;
  };
  for (const Case& c : {Case{20, 5, 7}, Case{20, 5, 300}, Case{9, 3, 41}, Case{9, 7, 2}, Case{8, 0, 5}, Case{20, 5, 1}})
    for (bool normalized : {false, true}) {
      SCOPED_TRACE("n_fft=" + std::to_string(c.n_fft) + " hop=" + std::to_string(c.hop) + " T=" +
                   std::to_string(c.T) + " normalized=" + std::to_string(normalized));
      const int F = c.n_fft / 2 + 1;
      std::vector<float> mag = testing::random_floats(size_t(c.T) * F, 0.0f, 2.0f, uint32_t(c.T));
      std::vector<float> phase = testing::random_floats(size_t(c.T) * F, -3.0f, 3.0f, uint32_t(c.T + 1));
      const std::string json = "{\"n_fft\": " + std::to_string(c.n_fft) + ", \"hop_size\": " +
                               std::to_string(c.hop) + ", \"normalized\": " + (normalized ? "true" : "false") + "}";
      testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
        auto layer = testing::make_layer("istft_fp32", json, {}, "istft");
        const TensorShape s{F, c.T, 1};
        expect_same_bytes_at_thread_counts([&] { return testing::run_layer<float>(*layer, {&mag, &phase}, {s, s}).out; });
      });
    }
}

// The sine source on both paths (accumulated phases with noise, low-rate sums), one channel and
// nine, voiced and unvoiced stretches.
TEST(SpeechThreads, SineSourceChannels) {
  std::vector<float> f0(3001);
  for (size_t i = 0; i < f0.size(); ++i) f0[i] = (i / 500) % 2 ? 0.0f : 100.0f + float(i % 500);
  for (int upsample : {0, 7, 300})
    for (int harmonic_num : {0, 8}) {
      SCOPED_TRACE("upsample=" + std::to_string(upsample) + " harmonic_num=" + std::to_string(harmonic_num));
      const std::string json = "{\"sample_rate\": 24000, \"harmonic_num\": " + std::to_string(harmonic_num) +
                               ", \"noise_std\": 0.003, \"upsample_scale\": " + std::to_string(upsample) + "}";
      testing::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
        auto layer = testing::make_layer("sine_gen_fp32", json, {}, "src");
        expect_same_bytes_at_thread_counts(
            [&] { return forward(*layer, f0, {1, int(f0.size()), 1}, false); });
      });
    }
}

// The sequence shaping slots: channel sums (partial vector blocks at range ends), joins with and
// without a broadcast row, and slices.
TEST(SpeechThreads, SequenceShapingRows) {
  for (int positions : {1, 37, 1001})
    for (int C : {5, 67}) {
      SCOPED_TRACE("positions=" + std::to_string(positions) + " C=" + std::to_string(C));
      const std::vector<float> a = testing::random_floats(size_t(positions) * C, -1.0f, 1.0f, uint32_t(C));
      const std::vector<float> b = testing::random_floats(size_t(positions) * 3, -1.0f, 1.0f, uint32_t(C + 1));
      testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
        expect_same_bytes_at_thread_counts([&] {
          std::vector<float> out(size_t(positions) * (1 + (C + 3) + (C + 3) + 2));
          float* sum = out.data();
          float* joined = sum + positions;
          float* broadcast = joined + size_t(positions) * (C + 3);
          float* sliced = broadcast + size_t(positions) * (C + 3);
          t.sum_channels_f32(a.data(), sum, positions, C, nullptr);
          t.concat1d_f32(a.data(), b.data(), joined, positions, C, 3, false, nullptr);
          t.concat1d_f32(a.data(), b.data(), broadcast, positions, C, 3, true, nullptr);
          t.slice_channels_f32(a.data(), sliced, positions, C, 2, 2, nullptr);
          return out;
        });
      });
    }
}

}  // namespace
}  // namespace trevalon
