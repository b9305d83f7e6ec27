// Int8 GEMMs: block layout, requantisation arithmetic, and every tier bit-identical to the scalar
// reference in all three output modes and the raw form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "backend/cpu_features.h"
#include "kernel_tier_loop.h"
#include "thread_counts.h"
#include "kernels/gemm_i8.h"
#include "kernels/requantize.h"

namespace trevalon {
namespace {

constexpr int kGuard = 64;
constexpr uint8_t kSentinel = 0xA5;

std::vector<int8_t> random_i8(size_t n, std::mt19937& rng) {
  // Extremes on purpose: -128 and 127 are where offset tricks and widening go wrong.
  std::uniform_int_distribution<int> dist(-128, 127);
  std::vector<int8_t> v(n);
  for (auto& x : v) {
    const int r = dist(rng);
    x = int8_t(r > 100 ? 127 : (r < -100 ? -128 : r));
  }
  return v;
}

struct PackedI8 {
  int8_t* p;
  explicit PackedI8(int8_t* q) : p(q) {}
  ~PackedI8() { free_packed_i8(p); }
};

TEST(GemmI8Pack, BlockLayoutPadsWithZeros) {
  const int N = 9, K = 5;
  std::vector<int8_t> w(N * K);
  for (int i = 0; i < N * K; ++i) w[i] = int8_t(i + 1);
  const int kblocks = 2;
  ASSERT_EQ(packed_weights_i8_bytes(N, K), size_t(2 * kblocks * 32));
  PackedI8 packed(pack_weights_i8(w.data(), N, K));
  for (int nb = 0; nb < 2; ++nb)
    for (int kb = 0; kb < kblocks; ++kb)
      for (int r = 0; r < 8; ++r)
        for (int j = 0; j < 4; ++j) {
          const int n = 8 * nb + r, k = 4 * kb + j;
          const int8_t expected = (n < N && k < K) ? w[n * K + k] : 0;
          EXPECT_EQ(packed.p[(nb * kblocks + kb) * 32 + 4 * r + j], expected) << "n=" << n << " k=" << k;
        }
  EXPECT_EQ(packed_weights_i8_bytes(0, 4), 0u);
  EXPECT_EQ(packed_weights_i8_bytes(4, -1), 0u);
  PackedI8 empty(pack_weights_i8(nullptr, 0, 4));
  EXPECT_NE(empty.p, nullptr);
}

TEST(Requantize, FixedPointExamples) {
  int32_t mult = 0, shift = 0;
  scale_to_multiplier(0.25f, mult, shift);
  EXPECT_EQ(mult, 1 << 30);
  EXPECT_EQ(shift, -1);
  EXPECT_EQ(requantize(100, mult, shift, 0), 25);
  EXPECT_EQ(requantize(101, mult, shift, 0), 26);
  EXPECT_EQ(requantize(103, mult, shift, 0), 26);
  EXPECT_EQ(requantize(-101, mult, shift, 0), -25);
  EXPECT_EQ(requantize(-103, mult, shift, 0), -25);

  // 0.1 as a double rounds to 1717986918; the float 0.1f is slightly larger and keeps its own bits.
  EXPECT_EQ(requantize(50, 1717986918, -3, 3), 8);
  scale_to_multiplier(0.1f, mult, shift);
  EXPECT_EQ(mult, 1717986944);
  EXPECT_EQ(shift, -3);
  EXPECT_EQ(requantize(50, mult, shift, 3), 8);

  scale_to_multiplier(1.0f, mult, shift);
  EXPECT_EQ(mult, 1 << 30);
  EXPECT_EQ(shift, 1);
  EXPECT_EQ(requantize(1000, mult, shift, 0), 127);
  EXPECT_EQ(requantize(-1000, mult, shift, 0), -128);

  scale_to_multiplier(0.0f, mult, shift);
  EXPECT_EQ(mult, 0);
  EXPECT_EQ(shift, 0);
}

// The one-division form the vector kernels use wherever it applies gives the steps' result for every
// accumulator, the overflowing sums and both saturations included.
TEST(Requantize, DivisionFormMatchesTheSteps) {
  EXPECT_TRUE(requantize_as_division(INT32_MAX, -23));
  EXPECT_TRUE(requantize_as_division(-5, 0));
  EXPECT_FALSE(requantize_as_division(INT32_MIN, -3));
  EXPECT_FALSE(requantize_as_division(1 << 30, 1));
  EXPECT_FALSE(requantize_as_division(1 << 30, -24));
  std::mt19937 rng(4);
  std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX), small(-70000, 70000);
  std::uniform_int_distribution<int32_t> mult(1 << 30, INT32_MAX);
  const int32_t edges[] = {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX};
  const int32_t mults[] = {INT32_MIN + 1, -(1 << 30), 0, 1, 1 << 30, INT32_MAX};
  for (int32_t shift = -23; shift <= 0; ++shift)
    for (const int32_t zp : {-128, -1, 0, 5, 127})
      for (int i = 0; i < 600; ++i) {
        const int32_t m = i < 6 ? mults[i] : mult(rng);
        const int32_t v = i % 50 < 7 ? edges[i % 50] : (i % 2 ? any(rng) : small(rng));
        ASSERT_EQ(requantize_by_division(v, m, shift, zp), requantize(v, m, shift, zp))
            << "v=" << v << " m=" << m << " shift=" << shift << " zp=" << zp;
      }
}

TEST(Requantize, HighMultiplyAndShiftEdges) {
  EXPECT_EQ(saturating_rounding_doubling_high_mul(INT32_MIN, INT32_MIN), INT32_MAX);
  EXPECT_EQ(saturating_rounding_doubling_high_mul(INT32_MIN, INT32_MAX), -INT32_MAX);
  EXPECT_EQ(saturating_rounding_doubling_high_mul(3, 1 << 30), 2);    // 1.5 rounds up
  EXPECT_EQ(saturating_rounding_doubling_high_mul(-3, 1 << 30), -1);  // -1.5 rounds toward +inf
  EXPECT_EQ(rounding_shift(5, -1), 3);
  EXPECT_EQ(rounding_shift(-5, -1), -2);
  EXPECT_EQ(rounding_shift(-6, -2), -1);
  EXPECT_EQ(rounding_shift(3, 4), 48);
  // Past 31 bits of right shift every value rounds to 0, negatives too.
  EXPECT_EQ(rounding_shift(INT32_MIN, -31), -1);
  EXPECT_EQ(rounding_shift(INT32_MIN, -32), 0);
  EXPECT_EQ(rounding_shift(-1, -40), 0);
  EXPECT_EQ(rounding_shift(INT32_MAX, INT32_MIN), 0);
}

// Per-channel tables with multipliers in [2^30, 2^31) and a spread of shifts, so requantised values
// land both inside and at the ends of the int8 range.
struct Tables {
  std::vector<int64_t> bias;
  std::vector<int32_t> mult, shift;
  std::vector<float> scale;
};

Tables random_tables(int N, std::mt19937& rng) {
  Tables t;
  std::uniform_int_distribution<int64_t> bias(-40000, 40000);
  std::uniform_real_distribution<float> scale(0.0005f, 0.05f);
  for (int n = 0; n < N; ++n) {
    // Every 7th bias carries high bits that only the float mode may see.
    t.bias.push_back(bias(rng) + (n % 7 == 3 ? (int64_t(5) << 33) : 0));
    const float s = scale(rng);
    int32_t m, sh;
    scale_to_multiplier(s, m, sh);
    t.mult.push_back(m);
    t.shift.push_back(sh);
    t.scale.push_back(s);
  }
  return t;
}

enum class Mode { RowMajorI8, ChannelMajorI8, Float, Raw };

std::vector<int32_t> row_sums_of(const std::vector<int8_t>& W, int N, int K) {
  std::vector<int32_t> sums(N, 0);
  for (int n = 0; n < N; ++n)
    for (int k = 0; k < K; ++k) sums[n] += W[size_t(n) * K + k];
  return sums;
}

// with_row_sums: hand the kernel row sums; the slot ignores them, so they are deliberately wrong.
void check_against_reference(const KernelTable& t, int M, int K, int N, int8_t out_zp, std::mt19937& rng,
                             bool with_row_sums = false) {
  auto A = random_i8(size_t(M) * K, rng), W = random_i8(size_t(N) * K, rng);
  const Tables tab = random_tables(N, rng);
  PackedI8 packed(pack_weights_i8(W.data(), N, K));
  std::vector<int32_t> sums = row_sums_of(W, N, K);
  for (int32_t& v : sums) v += 7;
  const int32_t* row_sums = with_row_sums ? sums.data() : nullptr;
  for (Mode mode : {Mode::RowMajorI8, Mode::ChannelMajorI8, Mode::Float, Mode::Raw}) {
    const size_t elem = (mode == Mode::Float || mode == Mode::Raw) ? 4 : 1;
    const size_t bytes = size_t(M) * N * elem;
    std::vector<uint8_t> expected(bytes), out(bytes + kGuard, kSentinel);
    if (mode == Mode::Raw) {
      gemm_i8_raw_reference(A.data(), W.data(), reinterpret_cast<int32_t*>(expected.data()), M, K, N);
      t.gemm_i8_raw(A.data(), packed.p, reinterpret_cast<int32_t*>(out.data()), M, K, N);
    } else {
      const bool float_out = mode == Mode::Float, channel_major = mode == Mode::ChannelMajorI8;
      // Mode 1 ignores the float flag: pass it set to prove it.
      const bool flag = float_out || channel_major;
      GemmI8Output ref{tab.bias.data(),
                       tab.mult.data(),
                       tab.shift.data(),
                       tab.scale.data(),
                       out_zp,
                       expected.data(),
                       flag,
                       channel_major,
                       M,
                       N};
      gemm_i8_reference(A.data(), W.data(), ref, K);
      // Mode 2 may pass null multiplier and shift tables, modes 1 and 3 a null scale.
      t.gemm_i8(A.data(), packed.p, tab.bias.data(), float_out ? nullptr : tab.mult.data(),
                float_out ? nullptr : tab.shift.data(), float_out ? tab.scale.data() : nullptr, out_zp,
                out.data(), flag, M, K, N, channel_major, row_sums, nullptr);
    }
    ASSERT_EQ(std::memcmp(out.data(), expected.data(), bytes), 0)
        << "mode=" << int(mode) << " M=" << M << " K=" << K << " N=" << N << " zp=" << int(out_zp)
        << " row sums given=" << with_row_sums;
    for (int g = 0; g < kGuard; ++g)
      ASSERT_EQ(out[bytes + g], kSentinel) << "overrun mode=" << int(mode) << " M=" << M << " N=" << N;
  }
}

TEST(GemmI8, EveryTierMatchesReferenceInAllModes) {
  const int sizes_m[] = {1, 2, 3, 5, 8, 9, 15, 16, 17, 31, 33, 49, 70};
  const int sizes_n[] = {1, 5, 8, 9, 15, 16, 17, 31, 32, 33, 48, 64, 70};
  const int sizes_k[] = {1, 3, 4, 5, 8, 15, 16, 17, 31, 32, 33, 64, 70};
  const int8_t zero_points[] = {0, -128, 127, 5};
  std::mt19937 rng(11);
  int case_index = 0;
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    for (int M : sizes_m)
      for (int N : sizes_n)
        for (int K : sizes_k) {
          if ((++case_index % 4) != 0 && M > 3 && K > 5) continue;
          check_against_reference(t, M, K, N, zero_points[case_index % 4], rng, case_index % 3 == 0);
          if (HasFatalFailure()) return;
        }
  });
}

TEST(GemmI8, LargeKAccumulatesExactly) {
  std::mt19937 rng(5);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    check_against_reference(t, 19, 4608, 40, 0, rng);
    check_against_reference(t, 3, 1157, 24, -3, rng, true);
  });
}

// Few rows and many column groups: the vector kernels then prefetch the next group's weights while
// computing the current one; tile rows of 64 channels store whole rows at once.
TEST(GemmI8, FewRowsManyChannelGroups) {
  std::mt19937 rng(8);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    check_against_reference(t, 13, 96, 200, 7, rng);
    check_against_reference(t, 49, 36, 256, -1, rng, true);
    check_against_reference(t, 6, 260, 136, 127, rng, true);
  });
}

// Enough rows that the VNNI tier offsets the activations in several chunks, the last one short,
// with channel-major output placing each chunk's rows; weights of several column groups.
TEST(GemmI8, ManyRowsInChunks) {
  std::mt19937 rng(12);
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    check_against_reference(t, 1003, 301, 72, -5, rng);
    check_against_reference(t, 260, 4100, 24, 3, rng, true);
  });
}

// Rows enough for blocks of 16 (the tile unit's, where the CPU has one) and k lengths whose 4-byte
// blocks divide into every chunk length from 4 to 16, some padded in their last block, or into no
// chunk of 4 or more (those stay on VNNI); whole, masked and several column groups.
TEST(GemmI8, EveryChunkOfTheKLoopMatchesReference) {
  const int sizes_k[] = {16, 20, 24, 28, 35, 44, 52, 64, 104, 120, 147, 192};
  const int sizes_n[] = {16, 40, 136};
  std::mt19937 rng(14);
  testing::for_each_cpu_tier([&](CpuTier tier, const KernelTable& t) {
    if (tier < CpuTier::Avx512Vnni) return;
    for (int K : sizes_k)
      for (int N : sizes_n)
        for (int M : {24, 41, 100}) {
          check_against_reference(t, M, K, N, int8_t(K % 7 - 3), rng);
          if (HasFatalFailure()) return;
        }
  });
}

#ifndef TREVALON_PORTABLE
// The products convolutions call directly on the VNNI tier, and their twins that take the sums of
// 16-row blocks from the tile unit where the CPU has one: both must give the reference's bits.
struct DirectProducts {
  const char* name;
  decltype(&gemm_i8_raw_prepared_avx512vnni) raw_prepared;
  decltype(&gemm_i8_prepared_avx512vnni) prepared;
  decltype(&gemm_i8_add_avx512vnni) add;
  decltype(&gemm_i8_rows_f32_avx512vnni) rows_f32;
};

std::vector<DirectProducts> direct_products() {
  std::vector<DirectProducts> products{{"vnni", &gemm_i8_raw_prepared_avx512vnni,
                                        &gemm_i8_prepared_avx512vnni, &gemm_i8_add_avx512vnni,
                                        &gemm_i8_rows_f32_avx512vnni}};
  if (detect_cpu_tier() >= CpuTier::Avx512Amx)
    products.push_back({"amx", &gemm_i8_raw_prepared_avx512amx, &gemm_i8_prepared_avx512amx,
                        &gemm_i8_add_avx512amx, &gemm_i8_rows_f32_avx512amx});
  return products;
}

// Activations as the VNNI products take them already offset: a + 128 as an unsigned byte.
std::vector<int8_t> offset_activations(const std::vector<int8_t>& A) {
  std::vector<int8_t> offset(A.size());
  for (size_t i = 0; i < A.size(); ++i) offset[i] = int8_t(uint8_t(A[i]) ^ 0x80);
  return offset;
}

// The raw product the Winograd convolution calls directly on the VNNI tier: with and without the
// caller's row sums, with a next matrix to prefetch, and on activations given already offset.
TEST(GemmI8, PreparedRawProductMatchesReference) {
  if (detect_cpu_tier() < CpuTier::Avx512Vnni) GTEST_SKIP() << "no AVX-512 VNNI here";
  std::mt19937 rng(12);
  const int shapes[][3] = {{16, 512, 40},  {84, 64, 64}, {7, 13, 9},
                           {49, 256, 136}, {5, 20, 70},  {130, 36, 72}};
  for (const auto& s : shapes) {
    const int M = s[0], K = s[1], N = s[2];
    auto A = random_i8(size_t(M) * K, rng), W = random_i8(size_t(N) * K, rng);
    auto W2 = random_i8(size_t(N) * K, rng);
    const std::vector<int8_t> offset = offset_activations(A);
    PackedI8 packed(pack_weights_i8(W.data(), N, K)), next(pack_weights_i8(W2.data(), N, K));
    const std::vector<int32_t> sums = row_sums_of(W, N, K);
    std::vector<int32_t> want(size_t(M) * N);
    gemm_i8_raw_reference(A.data(), W.data(), want.data(), M, K, N);
    for (const DirectProducts& product : direct_products())
      for (int variant = 0; variant < 3; ++variant) {
        const bool given = variant > 0, offset_rows = variant == 2 && K % 4 == 0;
        std::vector<int32_t> got(size_t(M) * N + kGuard, -7);
        product.raw_prepared(offset_rows ? offset.data() : A.data(), offset_rows ? size_t(K) : 0, packed.p,
                             got.data(), M, K, N, given ? sums.data() : nullptr, given ? next.p : nullptr);
        for (int g = 0; g < kGuard; ++g) ASSERT_EQ(got[size_t(M) * N + g], -7);
        got.resize(size_t(M) * N);
        ASSERT_EQ(got, want) << product.name << " M=" << M << " K=" << K << " N=" << N
                             << " sums given=" << given << " offset rows=" << offset_rows;
      }
  }
}
#endif

// Multiplier/shift/bias combinations the random tables never reach, pushed through the vector
// requantisation of every tier: left shifts, shifts of 32 and more both ways, the one saturating
// high multiply (v = multiplier = INT32_MIN), zero and negative multipliers, wrapping bias.
TEST(GemmI8, RequantisationEdgesMatchScalar) {
  const int32_t mults[] = {INT32_MIN, 1 << 30, INT32_MAX, 0, -(1 << 30), 1717986918, 1 << 30, INT32_MIN};
  const int32_t shifts[] = {0, 1, 5, 31, 32, 40, -1, -31, -32, -40, INT32_MIN, INT32_MAX, -3, 2};
  const int64_t biases[] = {INT32_MIN, 0, 100, -101, INT32_MAX, (int64_t(1) << 32) + 7, -3000000000LL};
  const int N = 48, K = 3, M = 7;
  std::vector<int64_t> bias(N);
  std::vector<int32_t> mult(N), shift(N);
  for (int n = 0; n < N; ++n) {
    mult[n] = mults[n % 8];
    shift[n] = shifts[n % 14];
    bias[n] = biases[n % 7];
  }
  // Row 0 is all zeros, so acc + bias is exactly the bias (INT32_MIN meets INT32_MIN multipliers).
  std::mt19937 rng(9);
  auto A = random_i8(size_t(M) * K, rng), W = random_i8(size_t(N) * K, rng);
  for (int k = 0; k < K; ++k) A[k] = 0;
  PackedI8 packed(pack_weights_i8(W.data(), N, K));
  for (const int8_t zp : {int8_t(0), int8_t(-128), int8_t(127)})
    for (const bool channel_major : {false, true}) {
      std::vector<int8_t> expected(M * N);
      GemmI8Output ref{bias.data(),     mult.data(), shift.data(),  nullptr, zp,
                       expected.data(), false,       channel_major, M,       N};
      gemm_i8_reference(A.data(), W.data(), ref, K);
      testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
        std::vector<int8_t> out(M * N);
        t.gemm_i8(A.data(), packed.p, bias.data(), mult.data(), shift.data(), nullptr, zp, out.data(), false,
                  M, K, N, channel_major, nullptr, nullptr);
        for (int i = 0; i < M * N; ++i) {
          const int m = channel_major ? i % M : i / N, n = channel_major ? i / M : i % N;
          ASSERT_EQ(out[i], expected[i])
              << "m=" << m << " n=" << n << " mult=" << mult[n] << " shift=" << shift[n]
              << " bias=" << bias[n] << " zp=" << int(zp) << " channel_major=" << channel_major;
        }
      });
    }
}

// acc = 7, bias = -3, scale 0.5 gives 2.0; the float mode ignores multiplier and shift.
TEST(GemmI8, FloatOutputExample) {
  const int8_t A[1] = {7}, W[1] = {1};
  const int64_t bias[1] = {-3};
  const float scale[1] = {0.5f};
  PackedI8 packed(pack_weights_i8(W, 1, 1));
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    float out[2] = {0.0f, -1.0f};
    t.gemm_i8(A, packed.p, bias, nullptr, nullptr, scale, 0, out, true, 1, 1, 1, false, nullptr, nullptr);
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[1], -1.0f);
  });
}

// Split over threads, every output still equals the scalar reference in every mode on every tier:
// one row (channel groups split), few rows (channel groups), many rows (row tiles, several offset
// chunks per range), fewer blocks than threads, and ranges that are not whole tiles.
TEST(GemmI8, ThreadsSplitRowsOrChannelsExactly) {
  const int shapes[][3] = {{1, 70, 300},  {5, 33, 130}, {61, 19, 67},
                           {13, 96, 200}, {2, 17, 9},   {1003, 301, 72}};
  std::mt19937 rng(21);
  for (int threads : {2, 3, 4}) {
    testing::ScopedThreads scope(threads);
    SCOPED_TRACE(threads);
    testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
      for (const auto& s : shapes) {
        check_against_reference(t, s[0], s[1], s[2], int8_t(threads - 3), rng, threads == 3);
        if (HasFatalFailure()) return;
      }
    });
  }
}

#ifndef TREVALON_PORTABLE
// A convolution's prepared form keeps the weights in the product's own layout and its layer drops
// the packed blocks: the product then reads the prepared copy alone (null packed weights). Shapes
// with an odd last block (its upper lanes read twice, never stored), few rows over several column
// groups (the next group prefetched from the prepared copy), rows enough for chunks, plain and
// offset activations, at every thread count.
TEST(GemmI8, PreparedCopyStandsInForThePackedWeights) {
  if (detect_cpu_tier() < CpuTier::Avx512Vnni) GTEST_SKIP() << "no AVX-512 VNNI here";
  std::mt19937 rng(31);
  const int shapes[][3] = {{1, 75, 33}, {16, 512, 200}, {49, 36, 136}, {300, 256, 72}, {6, 9, 8}};
  for (const auto& s : shapes) {
    const int M = s[0], K = s[1], N = s[2];
    const auto A = random_i8(size_t(M) * K, rng), W = random_i8(size_t(N) * K, rng);
    const std::vector<int8_t> offset = offset_activations(A);
    const Tables tab = random_tables(N, rng);
    PreparedWeightsI8 prepared;
    {
      PackedI8 packed(pack_weights_i8(W.data(), N, K));  // gone before the products run
      prepare_weights_i8_avx512vnni(packed.p, N, K, tab.bias.data(), tab.mult.data(), tab.shift.data(), -5,
                                    true, 1, prepared);
    }
    ASSERT_NE(prepared.weights.data(), nullptr);
    for (const bool channel_major : {false, true}) {
      std::vector<int8_t> want(size_t(M) * N);
      const GemmI8Output ref{tab.bias.data(), tab.mult.data(), tab.shift.data(), nullptr, -5,
                             want.data(),     false,           channel_major,    M,       N};
      gemm_i8_reference(A.data(), W.data(), ref, K);
      const bool offset_rows = K % 4 == 0;
      for (const DirectProducts& product : direct_products()) {
        const auto run = [&] {
          std::vector<int8_t> out(size_t(M) * N + kGuard, 77);
          product.prepared(offset_rows ? offset.data() : A.data(), offset_rows ? size_t(K) : 0, nullptr,
                           tab.bias.data(), tab.mult.data(), tab.shift.data(), nullptr, -5, out.data(), false,
                           M, K, N, channel_major, nullptr, &prepared);
          return out;
        };
        const std::vector<int8_t> got = run();
        testing::expect_same_bytes_at_thread_counts(run, "product on the prepared copy");
        for (int g = 0; g < kGuard; ++g)
          ASSERT_EQ(got[size_t(M) * N + g], 77) << product.name << " overrun M=" << M << " N=" << N;
        EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()))
            << product.name << " M=" << M << " K=" << K << " N=" << N << " channel-major=" << channel_major;
      }
    }
  }
}

// The product with a quantised addition in its epilogue gives the bytes of requantising first and
// adding after: every tile shape, masked channels, both requantisation forms (a channel scale above
// 1 leaves the division form), prepared or packed weights, and Q12 weights at their limits.
TEST(GemmI8, AdditionInTheEpilogueMatchesRequantiseThenAdd) {
  if (detect_cpu_tier() < CpuTier::Avx512Vnni) GTEST_SKIP() << "no AVX-512 VNNI here";
  std::mt19937 rng(41);
  const int shapes[][3] = {{1, 64, 64}, {7, 36, 136}, {49, 256, 12}, {97, 128, 70}, {300, 64, 256}};
  const ResidualAddI8 weights[] = {{nullptr, 2540, 3850, 123456},
                                   {nullptr, 32727, -32727, -2048},
                                   {nullptr, -32768, 32767, int32_t(0x7FFFF000)}};
  for (const auto& s : shapes)
    for (const bool general : {false, true}) {
      const int M = s[0], K = s[1], N = s[2];
      const auto A = random_i8(size_t(M) * K, rng), W = random_i8(size_t(N) * K, rng);
      const auto other = random_i8(size_t(M) * N, rng);
      Tables tab = random_tables(N, rng);
      if (general)
        for (int n = 2; n < N; n += 5) scale_to_multiplier(1.7f, tab.mult[size_t(n)], tab.shift[size_t(n)]);
      std::vector<int8_t> y(size_t(M) * N);
      const GemmI8Output ref{
          tab.bias.data(), tab.mult.data(), tab.shift.data(), nullptr, 4, y.data(), false, false, M, N};
      gemm_i8_reference(A.data(), W.data(), ref, K);
      PackedI8 packed(pack_weights_i8(W.data(), N, K));
      PreparedWeightsI8 prepared;
      prepare_weights_i8_avx512vnni(packed.p, N, K, tab.bias.data(), tab.mult.data(), tab.shift.data(), 4,
                                    true, 1, prepared);
      for (ResidualAddI8 add : weights) {
        add.other = other.data();
        std::vector<int8_t> want(y.size());
        for (size_t i = 0; i < y.size(); ++i) {
          const uint32_t sum = uint32_t(add.bias) + uint32_t(add.own_weight) * uint32_t(int32_t(y[i])) +
                               uint32_t(add.other_weight) * uint32_t(int32_t(other[i]));
          want[i] = saturate_int8(int32_t(sum) >> 12);
        }
        for (const DirectProducts& product : direct_products())
          for (const bool use_prepared : {true, false}) {
            const auto run = [&] {
              std::vector<int8_t> out(size_t(M) * N + kGuard, 77);
              product.add(A.data(), use_prepared ? nullptr : packed.p, use_prepared ? &prepared : nullptr,
                          tab.bias.data(), tab.mult.data(), tab.shift.data(), 4, out.data(), M, K, N, add);
              return out;
            };
            const std::vector<int8_t> got = run();
            for (int g = 0; g < kGuard; ++g)
              ASSERT_EQ(got[size_t(M) * N + g], 77) << "overrun M=" << M << " N=" << N;
            EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin()))
                << product.name << " M=" << M << " K=" << K << " N=" << N << " general=" << general
                << " weights " << add.own_weight << " " << add.other_weight << " prepared=" << use_prepared;
            if (add.own_weight == 2540)
              testing::expect_same_bytes_at_thread_counts(run, "product with addition");
          }
      }
    }
}

// The VNNI products the convolutions call with prepared weights, offset activations and dynamic
// row scales give the bytes of one thread at any thread count.
TEST(GemmI8, PreparedProductsSameBytesAtThreadCounts) {
  if (detect_cpu_tier() < CpuTier::Avx512Vnni) GTEST_SKIP() << "no AVX-512 VNNI here";
  std::mt19937 rng(22);
  const int shapes[][3] = {{1, 64, 200}, {7, 36, 136}, {97, 128, 70}};
  for (const auto& s : shapes) {
    const int M = s[0], K = s[1], N = s[2];
    const auto A = random_i8(size_t(M) * K, rng), W = random_i8(size_t(N) * K, rng);
    const std::vector<int8_t> offset = offset_activations(A);
    const Tables tab = random_tables(N, rng);
    PackedI8 packed(pack_weights_i8(W.data(), N, K));
    const std::vector<int32_t> sums = row_sums_of(W, N, K);
    PreparedWeightsI8 prepared, prepared_float;
    prepare_weights_i8_avx512vnni(packed.p, N, K, tab.bias.data(), tab.mult.data(), tab.shift.data(), 3, true,
                                  1, prepared);
    prepare_weights_i8_avx512vnni(packed.p, N, K, nullptr, nullptr, nullptr, 0, false, 1, prepared_float);
    std::vector<float> row_scale(static_cast<size_t>(M)), float_bias(static_cast<size_t>(N));
    for (int m = 0; m < M; ++m) row_scale[size_t(m)] = 0.01f * float(m + 1);
    for (int n = 0; n < N; ++n) float_bias[size_t(n)] = 0.5f - 0.03f * float(n);
    const bool offset_rows = K % 4 == 0;
    for (const DirectProducts& product : direct_products()) {
      SCOPED_TRACE(product.name);
      testing::expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<int8_t> out(size_t(M) * N);
            product.prepared(offset_rows ? offset.data() : A.data(), offset_rows ? size_t(K) : 0, packed.p,
                             tab.bias.data(), tab.mult.data(), tab.shift.data(), nullptr, 3, out.data(),
                             false, M, K, N, false, nullptr, &prepared);
            return out;
          },
          "prepared requantised product");
      testing::expect_same_bytes_at_thread_counts(
          [&] {
            std::vector<int32_t> out(size_t(M) * N);
            product.raw_prepared(offset_rows ? offset.data() : A.data(), offset_rows ? size_t(K) : 0,
                                 packed.p, out.data(), M, K, N, sums.data(), nullptr);
            return out;
          },
          "raw product with row sums");
      for (const bool gelu : {false, true})
        testing::expect_same_bytes_at_thread_counts(
            [&] {
              std::vector<float> out(size_t(M) * N);
              product.rows_f32(A.data(), packed.p, &prepared_float, tab.scale.data(), row_scale.data(),
                               float_bias.data(), out.data(), M, K, N, gelu);
              return out;
            },
            gelu ? "float rows with GELU" : "float rows");
    }
  }
}
#endif

TEST(GemmI8, ZeroRowsWriteNothing) {
  std::vector<int8_t> A(8, 1), W(8, 1);
  const int64_t bias[2] = {0, 0};
  const int32_t mult[2] = {1 << 30, 1 << 30}, shift[2] = {0, 0};
  PackedI8 packed(pack_weights_i8(W.data(), 2, 4));
  testing::for_each_cpu_tier([&](CpuTier, const KernelTable& t) {
    std::vector<int8_t> out(8, 9);
    t.gemm_i8(A.data(), packed.p, bias, mult, shift, nullptr, 0, out.data(), false, 0, 4, 2, false, nullptr,
              nullptr);
    t.gemm_i8_raw(A.data(), packed.p, reinterpret_cast<int32_t*>(out.data()), 0, 4, 2);
    for (int8_t v : out) EXPECT_EQ(v, 9);
  });
}

}  // namespace
}  // namespace trevalon
