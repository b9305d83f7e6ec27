// Matrix kernel benchmark: measures this core's peak, then gemm_f32, gemm_i8 and gemv_f32 on the
// shapes of real convolution and classifier layers, for every kernel tier the CPU supports.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "backend/cpu_features.h"

namespace trevalon::bench {
#ifndef TREVALON_PORTABLE
void fma512_loop(int64_t iterations);  // 16 x 512-bit FMA per iteration
// 32 k steps of a 6-row x 64-channel product tile fed from L1 per iteration (768 multiply-adds)
void fma512_tile_loop(int64_t iterations, const void* weights, const void* rows);
void vnni512_tile_loop(int64_t iterations, const void* weights, const void* rows);
void vnni512_loop(int64_t iterations);  // 16 x 512-bit vpdpbusd per iteration
void amx_loop(int64_t iterations);      // 6 x tdpbusd on 16 x 64-byte tiles per iteration
#endif
}  // namespace trevalon::bench

namespace {

using namespace trevalon;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU time of this thread: time spent descheduled while others use the shared cores is not counted.
double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// Fastest single call (in thread CPU time) within `budget` seconds of wall time.
template <typename F>
double best_seconds(F&& call, double budget = 0.4) {
  call();  // warm caches and per-thread buffers
  double best = 1e30;
  const auto start = Clock::now();
  int calls = 0;
  do {
    const double t0 = thread_seconds();
    call();
    best = std::min(best, thread_seconds() - t0);
    ++calls;
  } while (calls < 3 || seconds_since(start) < budget);
  return best;
}

struct Shape {
  int M, K, N;
};
const Shape kConvShapes[] = {{3136, 576, 64}, {784, 1152, 128}, {196, 2304, 256}, {49, 4608, 512}};

}  // namespace

int main(int argc, char** argv) {
  const CpuTier best = detect_cpu_tier();
  double fp32_peak = 0.0, vnni_peak = 0.0, tile_peak = 0.0;  // operations per second (FMA = 2)
  // The same core's rate for a product tile fed from L1: the ceiling of the float and VNNI products.
  double fp32_tile = 0.0, vnni_tile = 0.0;
#ifndef TREVALON_PORTABLE
  alignas(64) static float tile_weights[32 * 64], tile_rows[6 * 128];
  const int64_t tile_iters = 10'000;
  const double tile_ops = double(tile_iters) * 32 * 24 * 2;  // per lane of a vector
  if (best >= CpuTier::Avx512) {
    const int64_t iters = 200'000;
    const double t = best_seconds([&] { bench::fma512_loop(iters); });
    fp32_peak = double(iters) * 16 * 16 * 2 / t;
    fp32_tile =
        tile_ops * 16 / best_seconds([&] { bench::fma512_tile_loop(tile_iters, tile_weights, tile_rows); });
  }
  if (best >= CpuTier::Avx512Vnni) {
    const int64_t iters = 200'000;
    const double t = best_seconds([&] { bench::vnni512_loop(iters); });
    vnni_peak = double(iters) * 16 * 64 * 2 / t;
    vnni_tile =
        tile_ops * 64 / best_seconds([&] { bench::vnni512_tile_loop(tile_iters, tile_weights, tile_rows); });
  }
  if (best >= CpuTier::Avx512Amx) {
    const int64_t iters = 20'000;
    const double t = best_seconds([&] { bench::amx_loop(iters); });
    tile_peak = double(iters) * 6 * 16 * 16 * 64 * 2 / t;
  }
#endif
  std::printf("measured single-core peak: fp32 FMA512 %.1f GFLOP/s, VNNI512 %.1f GOP/s", fp32_peak * 1e-9,
              vnni_peak * 1e-9);
  if (tile_peak > 0) std::printf(", int8 tiles %.1f GOP/s", tile_peak * 1e-9);
  if (fp32_tile > 0)
    std::printf(
        "\n6-row x 64-channel tile fed from L1 (4 weight loads, 6 broadcasts, 24 multiply-adds a step): "
        "FMA512 %.1f GFLOP/s (%.0f%% of its peak)",
        fp32_tile * 1e-9, 100.0 * fp32_tile / fp32_peak);
  if (vnni_tile > 0)
    std::printf(", VNNI512 %.1f GOP/s (%.0f%% of its peak)", vnni_tile * 1e-9, 100.0 * vnni_tile / vnni_peak);
  std::printf("\n(int8 lines: share of the VNNI512 peak; on avx512amx also of the tiles' peak)\n");

  std::mt19937 rng(1);
  std::uniform_real_distribution<float> uf(-1.0f, 1.0f);
  std::uniform_int_distribution<int> ui(-128, 127);

  std::printf("\n%-11s %-6s %-6s %-6s %-16s %10s %8s\n", "tier", "M", "K", "N", "kernel", "G(FL)OP/s",
              "of peak");
  for (int t = int(best); t >= 0; --t) {
    if (argc > 1 && std::string(argv[1]) != cpu_tier_name(CpuTier(t))) continue;
    if (!set_cpu_kernel_tier(CpuTier(t))) continue;
    const KernelTable& k = cpu_backend_descriptor().kernels;
    const char* tier = cpu_tier_name(CpuTier(t));
    const KernelDrivers* drivers = kernel_drivers_for(cpu_backend_descriptor());
    const bool tiles = CpuTier(t) >= CpuTier::Avx512Amx && tile_peak > 0;
    // An int8 line: its rate, its share of the VNNI peak and, on the tile tier, of the tiles' peak.
    const auto print_i8 = [&](const Shape& s, const char* kernel, double seconds) {
      const double rate = 2.0 * s.M * s.K * s.N / seconds;
      std::printf("%-11s %-6d %-6d %-6d %-16s %10.1f %7.0f%%", tier, s.M, s.K, s.N, kernel, rate * 1e-9,
                  vnni_peak > 0 ? 100.0 * rate / vnni_peak : 0.0);
      if (tiles) std::printf("   (%.0f%% of the tiles' peak)", 100.0 * rate / tile_peak);
      std::printf("\n");
    };
    for (const Shape& s : kConvShapes) {
      const double ops = 2.0 * s.M * s.K * s.N;
      std::vector<float> A(size_t(s.M) * s.K), W(size_t(s.N) * s.K), bias(s.N), C(size_t(s.M) * s.N);
      for (auto& v : A) v = uf(rng);
      for (auto& v : W) v = uf(rng);
      for (auto& v : bias) v = uf(rng);
      float* pw = k.pack_weights_f32(W.data(), s.N, s.K);
      const double tf =
          best_seconds([&] { k.gemm_f32(A.data(), pw, bias.data(), C.data(), true, s.M, s.K, s.N); });
      std::printf("%-11s %-6d %-6d %-6d %-16s %10.1f %7.0f%%\n", tier, s.M, s.K, s.N, "gemm_f32",
                  ops / tf * 1e-9, fp32_peak > 0 ? 100.0 * ops / tf / fp32_peak : 0.0);
      // The product as float convolution layers run it: on the weights prepared at load, as an
      // M x 1 image under a 1x1 kernel.
      if (drivers && drivers->prepare_f32 && drivers->conv2d_f32) {
        PreparedWeightsF32 prepared;
        drivers->prepare_f32(pw, s.N, s.K, drivers->format, prepared);
        const double tp = best_seconds([&] {
          drivers->conv2d_f32(A.data(), bias.data(), C.data(), s.K, s.M, 1, s.N, 1, 1, 1, 1, 0, 0, true, pw,
                              prepared.get(), nullptr, 1, 1);
        });
        std::printf("%-11s %-6d %-6d %-6d %-16s %10.1f %7.0f%%\n", tier, s.M, s.K, s.N, "gemm_f32 prepared",
                    ops / tp * 1e-9, fp32_peak > 0 ? 100.0 * ops / tp / fp32_peak : 0.0);
      }
      k.free_packed_f32(pw);

      std::vector<int8_t> Ai(size_t(s.M) * s.K), Wi(size_t(s.N) * s.K), Ci(size_t(s.M) * s.N);
      for (auto& v : Ai) v = int8_t(ui(rng));
      for (auto& v : Wi) v = int8_t(ui(rng));
      std::vector<int64_t> bias_i(s.N, 1000);
      std::vector<int32_t> mult(s.N, 1 << 30), shift(s.N, -10);
      int8_t* pi = k.pack_weights_i8(Wi.data(), s.N, s.K);
      const double ti = best_seconds([&] {
        k.gemm_i8(Ai.data(), pi, bias_i.data(), mult.data(), shift.data(), nullptr, 0, Ci.data(), false, s.M,
                  s.K, s.N, false, nullptr, nullptr);
      });
      print_i8(s, "gemm_i8", ti);
      // The product as int8 convolution layers run it: on the weights prepared at load (starting
      // sums, requantisation constants, the tier's layout), as an M x 1 image under a 1x1 kernel.
      if (drivers && drivers->prepare_i8 && drivers->conv2d_i8) {
        PreparedWeightsI8 prepared;
        drivers->prepare_i8(pi, s.N, s.K, bias_i.data(), mult.data(), shift.data(), 0, true, drivers->format,
                            prepared);
        const double tp = best_seconds([&] {
          drivers->conv2d_i8(Ai.data(), Wi.data(), pi, &prepared, bias_i.data(), mult.data(), shift.data(), 0,
                             0, Ci.data(), s.K, s.M, 1, s.N, 1, 1, 1, 1, 0, 0, 1, nullptr, true, nullptr);
        });
        print_i8(s, "gemm_i8 prepared", tp);
      }
      if (s.M == kConvShapes[0].M) {  // the other output modes, on the shortest K
        std::vector<float> scale(s.N, 0.01f), Cf(size_t(s.M) * s.N);
        const double tc = best_seconds([&] {
          k.gemm_i8(Ai.data(), pi, bias_i.data(), mult.data(), shift.data(), nullptr, 0, Ci.data(), false,
                    s.M, s.K, s.N, true, nullptr, nullptr);
        });
        const double tfo = best_seconds([&] {
          k.gemm_i8(Ai.data(), pi, bias_i.data(), nullptr, nullptr, scale.data(), 0, Cf.data(), true, s.M,
                    s.K, s.N, false, nullptr, nullptr);
        });
        print_i8(s, "gemm_i8 ch-major", tc);
        print_i8(s, "gemm_i8 float", tfo);
      }
      k.free_packed_i8(pi);
    }
    {
      const int K = 2048, N = 1000;
      std::vector<float> x(K), W(size_t(N) * K), bias(N), out(N);
      for (auto& v : x) v = uf(rng);
      for (auto& v : W) v = uf(rng);
      float* pw = k.pack_weights_f32(W.data(), N, K);
      const double tg =
          best_seconds([&] { k.gemv_f32(x.data(), W.data(), bias.data(), out.data(), K, N, pw, nullptr); });
      k.free_packed_f32(pw);
      std::printf("%-11s %-6d %-6d %-6d %-16s %10.1f %7.0f%%   (%.1f GB/s of weights)\n", tier, 1, K, N,
                  "gemv_f32", 2.0 * K * N / tg * 1e-9,
                  fp32_peak > 0 ? 100.0 * 2.0 * K * N / tg / fp32_peak : 0.0, 4.0 * K * N / tg * 1e-9);
    }
  }
  set_cpu_kernel_tier(best);
  return 0;
}
