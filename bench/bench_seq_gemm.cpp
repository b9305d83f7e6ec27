// Sequence-projection kernels: gemv_i8_dynamic (a decode step's int8 matrix-vector product) in GB/s
// of weights, against this core's memory read rate measured in the same run, and gemm_f32_rows on
// a BERT-base projection shape in GFLOP/s, for every kernel tier the CPU supports.
#ifndef TREVALON_PORTABLE
#include <immintrin.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "backend/cpu_backend.h"
#include "backend/cpu_features.h"
#include "kernels/gemm_f32.h"
#include "kernels/seq_gemm.h"

namespace {

using namespace trevalon;
using Clock = std::chrono::steady_clock;

double now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

// Median of `reps` timed calls of `call(i)`.
template <typename F>
double median_seconds(int reps, F&& call) {
  std::vector<double> t(static_cast<size_t>(reps));
  for (int i = 0; i < reps; ++i) {
    const double t0 = now();
    call(i);
    t[size_t(i)] = now() - t0;
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

// Reads every byte once with 32-byte loads into four independent sums, so the loads are the limit.
#ifndef TREVALON_PORTABLE
__attribute__((target("avx2"))) uint64_t read_all(const int8_t* p, size_t bytes) {
  __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0, s3 = s0;
  for (size_t i = 0; i + 128 <= bytes; i += 128) {
    s0 = _mm256_add_epi64(s0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    s1 = _mm256_add_epi64(s1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32)));
    s2 = _mm256_add_epi64(s2, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 64)));
    s3 = _mm256_add_epi64(s3, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 96)));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes),
                     _mm256_add_epi64(_mm256_add_epi64(s0, s1), _mm256_add_epi64(s2, s3)));
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}
#else
uint64_t read_all(const int8_t* p, size_t bytes) {
  uint64_t s[4] = {}, v;
  for (size_t i = 0; i + 32 <= bytes; i += 32)
    for (int j = 0; j < 4; ++j) std::memcpy(&v, p + i + 8 * j, 8), s[j] += v;
  return s[0] + s[1] + s[2] + s[3];
}
#endif

}  // namespace

int main() {
  const CpuTier best = detect_cpu_tier();
  std::mt19937 rng(1);
  // 2 GiB of weights in 128 matrices of 4096 x 4096: cycling through them defeats any cache.
  const int K = 4096, N = 4096, kMatrices = 128;
  const size_t matrix = size_t(K) * N;
  std::vector<int8_t> w(matrix * kMatrices);
  // Every byte random: pages of equal content could be merged by the host and read from cache.
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i + 8 <= w.size(); i += 8) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    std::memcpy(w.data() + i, &state, 8);
  }
  std::vector<float> x(K), scales(N, 0.01f), bias(N), y(N);
  for (auto& v : x) v = float(int(rng() % 2001) - 1000) * 1e-3f;

  volatile uint64_t sink = 0;
  const double t_read = median_seconds(5, [&](int) { sink = sink + read_all(w.data(), w.size()); });
  const double read_rate = double(w.size()) / t_read;
  std::printf("memory read, one core: %.1f GB/s\n", read_rate * 1e-9);

  std::printf("%-11s %-34s %10s\n", "tier", "kernel", "rate");
  for (int t = 0; t <= static_cast<int>(best); ++t) {
    const CpuTier tier = static_cast<CpuTier>(t);
    if (!set_cpu_kernel_tier(tier)) continue;
    const KernelTable& k = cpu_backend_descriptor().kernels;
    const KernelDrivers& d = cpu_kernel_drivers();
    const char* name = cpu_tier_name(tier);

    // Cold: the mean over two passes through every matrix (a median could pick the calls that
    // found their matrix still cached).
    const double t_cold = now();
    for (int i = 0; i < 2 * kMatrices; ++i)
      k.gemv_i8_dynamic(x.data(), w.data() + matrix * size_t(i % kMatrices), scales.data(), bias.data(),
                        y.data(), K, N, nullptr);
    const double cold = (now() - t_cold) / (2 * kMatrices);
    const double hot = median_seconds(50, [&](int) {
      k.gemv_i8_dynamic(x.data(), w.data(), scales.data(), bias.data(), y.data(), K, N, nullptr);
    });
    std::printf("%-11s %-34s %7.1f GB/s (%.0f%% of memory read); cached %.1f GB/s\n", name,
                "gemv_i8_dynamic 4096x4096 (memory)", double(matrix) / cold * 1e-9,
                100.0 * double(matrix) / cold / read_rate, double(matrix) / hot * 1e-9);

    const int T = 128, C = 768;
    std::vector<float> a(size_t(T) * C), wf(size_t(C) * C), out(size_t(T) * C), bf(C);
    for (auto& v : a) v = float(int(rng() % 2001) - 1000) * 1e-3f;
    for (auto& v : wf) v = float(int(rng() % 2001) - 1000) * 1e-3f;
    float* packed = k.pack_weights_f32(wf.data(), C, C);
    PreparedWeightsF32 form;
    if (d.prepare_f32) d.prepare_f32(packed, C, C, d.format, form);
    const double tg = median_seconds(30, [&](int) {
      d.gemm_f32_rows(a.data(), bf.data(), out.data(), T, C, C, false, packed, form.get());
    });
    std::printf("%-11s %-34s %7.1f GFLOP/s\n", name, "gemm_f32_rows 128x768x768",
                2.0 * T * C * C / tg * 1e-9);
    k.free_packed_f32(packed);

    // The dynamic-row int8 product on the encoder's projection shapes (128 tokens), with prepared
    // weights as the layers hold them.
    const struct { int K, N; } shapes[] = {{768, 768}, {768, 2304}, {768, 3072}, {3072, 768}};
    for (const auto& sh : shapes) {
      std::vector<float> xi(size_t(T) * sh.K), yi(size_t(T) * sh.N), sc(sh.N, 0.01f), f(sh.N), bi(sh.N, 0.5f);
      std::vector<int8_t> wi(size_t(sh.N) * sh.K), q(size_t(T) * sh.K);
      for (auto& v : xi) v = float(int(rng() % 2001) - 1000) * 1e-3f;
      for (auto& v : wi) v = int8_t(int(rng() % 255) - 127);
      const std::vector<int64_t> zero(sh.N, 0);
      int8_t* pi = k.pack_weights_i8(wi.data(), sh.N, sh.K);
      PreparedWeightsI8 fi;
      if (d.prepare_i8) d.prepare_i8(pi, sh.N, sh.K, nullptr, nullptr, nullptr, 0, false, d.format, fi);
      const double ti = median_seconds(30, [&](int) {
        gemm_i8_dynamic_rows(xi.data(), pi, sc.data(), zero.data(), bi.data(), q.data(), f.data(), yi.data(), T,
                             sh.K, sh.N, d, &fi);
      });
      char label[64];
      std::snprintf(label, sizeof label, "gemm_i8_dynamic_rows %dx%dx%d", T, sh.K, sh.N);
      std::printf("%-11s %-34s %7.1f G multiply-adds/s\n", name, label, double(T) * sh.K * sh.N / ti * 1e-9);
      k.free_packed_i8(pi);
    }
  }
  set_cpu_kernel_tier(best);
  return 0;
}
