// STFT, iSTFT and the sine source: every tier bit for bit against the portable loops, the layers
// against float64 evaluations of their formulas, the round trip, the edge shapes and the errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kernel_tier_loop.h"
#include "kernels/waveform_f32.h"
#include "small_layer_harness.h"
#include "test_support.h"

using namespace trevalon;
namespace test = trevalon::testing;
using test::random_floats;

namespace {

std::string stft_node(int n_fft, int hop) {
  return "{\"n_fft\": " + std::to_string(n_fft) + ", \"hop_size\": " + std::to_string(hop) + "}";
}

test::LayerRun<float> run_stft(int n_fft, int hop, std::vector<float> x, const test::WeightMap& w = {}) {
  auto layer = test::make_layer("stft_fp32", stft_node(n_fft, hop), w, "stft");
  return test::run_layer<float>(*layer, {&x}, {{1, int(x.size()), 1}});
}

test::LayerRun<float> run_istft(int n_fft, int hop, bool normalized, std::vector<float> mag,
                                std::vector<float> phase) {
  const std::string json = "{\"n_fft\": " + std::to_string(n_fft) + ", \"hop_size\": " + std::to_string(hop) +
                           ", \"normalized\": " + (normalized ? "true" : "false") + "}";
  auto layer = test::make_layer("istft_fp32", json, {}, "istft");
  const int F = stft_bins(n_fft);
  const TensorShape s{F, int(mag.size()) / F, 1};
  return test::run_layer<float>(*layer, {&mag, &phase}, {s, s});
}

// The STFT of the formula in float64: edge-replicated signal (a zero one past its end), basis rows
// real[f][n] / imag[f][n] as given; answers magnitudes and phases per frame.
void stft_reference(const std::vector<float>& x, int N, int hop, const std::vector<float>& real,
                    const std::vector<float>& imag, std::vector<double>& mag, std::vector<double>& ph) {
  const int L = int(x.size()), A = N / 2, F = N / 2 + 1, T = L / hop + 1;
  std::vector<double> padded;
  for (int i = 0; i < A; ++i) padded.push_back(x[0]);
  for (float v : x) padded.push_back(v);
  for (int i = 0; i < A; ++i) padded.push_back(x[L - 1]);
  padded.push_back(0.0);
  mag.assign(size_t(T) * F, 0.0);
  ph.assign(size_t(T) * F, 0.0);
  for (int t = 0; t < T; ++t)
    for (int f = 0; f < F; ++f) {
      double re = 0, im = 0;
      for (int n = 0; n < N; ++n) {
        re += padded[size_t(t) * hop + n] * real[size_t(f) * N + n];
        im += padded[size_t(t) * hop + n] * imag[size_t(f) * N + n];
      }
      mag[size_t(t) * F + f] = std::sqrt(re * re + im * im);
      ph[size_t(t) * F + f] = std::atan2(im, re);
    }
}

void hann_basis(int N, std::vector<float>& real, std::vector<float>& imag) {
  const int F = N / 2 + 1;
  real.assign(size_t(F) * N, 0.0f);
  imag.assign(size_t(F) * N, 0.0f);
  stft_hann_basis_f32(N, real.data(), imag.data());
}

// Phase difference folded into (-pi, pi].
double phase_gap(double a, double b) { return std::fabs(std::remainder(a - b, 2 * M_PI)); }

void expect_stft_close(const test::LayerRun<float>& run, const std::vector<double>& mag,
                       const std::vector<double>& ph, int F, double tol) {
  const int T = int(mag.size()) / F;
  ASSERT_EQ(run.shape, (TensorShape{2 * F, T, 1}));
  for (int t = 0; t < T; ++t)
    for (int f = 0; f < F; ++f) {
      const double m = mag[size_t(t) * F + f];
      EXPECT_NEAR(run.out[size_t(t) * 2 * F + f], m, tol) << "frame " << t << " bin " << f;
      if (m > 1e-3) {  // the phase of a vanishing bin is noise
        EXPECT_LT(phase_gap(run.out[size_t(t) * 2 * F + F + f], ph[size_t(t) * F + f]), tol / m * 4)
            << "frame " << t << " bin " << f;
      }
    }
}

// Every supported tier gives the portable result bit for bit.
template <class Run>
void expect_same_on_every_tier(Run run) {
  std::vector<float> first;
  test::for_each_cpu_tier([&](CpuTier, const KernelTable&) {
    const std::vector<float> got = run();
    if (first.empty()) {
      first = got;
      return;
    }
    ASSERT_EQ(got.size(), first.size());
    EXPECT_EQ(std::memcmp(got.data(), first.data(), got.size() * sizeof(float)), 0);
  });
}

TEST(WaveformTrig, CosAndSinWithinTwoUlpAndEveryTierAgrees) {
  std::vector<float> x = random_floats(4000, -300.0f, 300.0f, 7);
  for (float v : {0.0f, -0.0f, 0.785398f, 1.5707964f, 3.1415927f, 99999.0f, -99999.9f, 1.0e5f, 1.5e5f, 3.0e7f,
                  std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()})
    x.push_back(v);
  std::vector<float> c(x.size()), s(x.size());
  waveform_cos_f32_portable(x.data(), c.data(), int(x.size()));
  waveform_sin_f32_portable(x.data(), s.data(), int64_t(x.size()));
  for (size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) {
      EXPECT_TRUE(std::isnan(c[i]) && std::isnan(s[i])) << x[i];
      continue;
    }
    // 2 ulp of 1; beyond the reduction's range it is the C library.
    EXPECT_NEAR(c[i], std::cos(double(x[i])), 2.5e-7) << "cos " << x[i];
    EXPECT_NEAR(s[i], std::sin(double(x[i])), 2.5e-7) << "sin " << x[i];
  }
#ifndef TREVALON_PORTABLE
  const CpuTier best = detect_cpu_tier();
  std::vector<float> zc(x.size()), zs(x.size());
  auto same = [&](const char* tier) {
    EXPECT_EQ(std::memcmp(c.data(), zc.data(), c.size() * sizeof(float)), 0) << tier << " cos";
    EXPECT_EQ(std::memcmp(s.data(), zs.data(), s.size() * sizeof(float)), 0) << tier << " sin";
  };
  if (best >= CpuTier::Avx2) {
    waveform_cos_f32_avx2(x.data(), zc.data(), int(x.size()));
    waveform_sin_f32_avx2(x.data(), zs.data(), int64_t(x.size()));
    same("avx2");
  }
  if (best >= CpuTier::Avx512) {
    waveform_cos_f32_avx512(x.data(), zc.data(), int(x.size()));
    waveform_sin_f32_avx512(x.data(), zs.data(), int64_t(x.size()));
    same("avx512");
  }
#endif
}

TEST(WaveformGaussian, MatchesTheFormulaAndEveryTierAgrees) {
  std::vector<float> u1 = random_floats(5000, 0.0f, 1.0f, 21), angle = random_floats(5000, 0.0f, 6.2831f, 22);
  for (float v : {0.0f, 1e-9f, 1e-7f, 1.0f, 0.70710677f, 0.5f}) {
    u1.push_back(v);
    angle.push_back(1.0f);
  }
  std::vector<float> z(u1.size());
  waveform_gaussian_f32_portable(u1.data(), angle.data(), z.data(), int64_t(z.size()));
  for (size_t i = 0; i < z.size(); ++i) {
    const double want = std::sqrt(-2.0 * std::log(std::max(double(u1[i]), double(1e-7f)))) * std::cos(double(angle[i]));
    EXPECT_NEAR(z[i], want, 4e-7 * std::max(1.0, std::fabs(want))) << "u1 " << u1[i] << " angle " << angle[i];
  }
#ifndef TREVALON_PORTABLE
  const CpuTier best = detect_cpu_tier();
  std::vector<float> w(z.size());
  if (best >= CpuTier::Avx2) {
    waveform_gaussian_f32_avx2(u1.data(), angle.data(), w.data(), int64_t(w.size()));
    EXPECT_EQ(std::memcmp(z.data(), w.data(), z.size() * sizeof(float)), 0) << "avx2";
  }
  if (best >= CpuTier::Avx512) {
    waveform_gaussian_f32_avx512(u1.data(), angle.data(), w.data(), int64_t(w.size()));
    EXPECT_EQ(std::memcmp(z.data(), w.data(), z.size() * sizeof(float)), 0) << "avx512";
  }
#endif
}

TEST(WaveformAtan2, WithinTwoUlpOfAtan2AndEveryTierAgrees) {
  std::vector<float> y = random_floats(3000, -2.0f, 2.0f, 8), x = random_floats(3000, -2.0f, 2.0f, 9);
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const float specials[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e-30f, 1e30f, inf, -inf, nan};
  for (float a : specials)
    for (float b : specials) {
      y.push_back(a);
      x.push_back(b);
    }
  std::vector<float> r(x.size());
  waveform_atan2_f32_portable(y.data(), x.data(), r.data(), int(x.size()));
  for (size_t i = 0; i < x.size(); ++i) {
    const double want = std::atan2(double(y[i]), double(x[i]));
    if (std::isnan(want)) {
      EXPECT_TRUE(std::isnan(r[i]));
      continue;
    }
    EXPECT_NEAR(r[i], want, 2.5e-7 * std::max(1.0, std::fabs(want))) << "atan2(" << y[i] << ", " << x[i] << ")";
    EXPECT_EQ(std::signbit(r[i]), std::signbit(want)) << "atan2(" << y[i] << ", " << x[i] << ")";
  }
#ifndef TREVALON_PORTABLE
  const CpuTier best = detect_cpu_tier();
  std::vector<float> z(x.size());
  if (best >= CpuTier::Avx2) {
    waveform_atan2_f32_avx2(y.data(), x.data(), z.data(), int(x.size()));
    EXPECT_EQ(std::memcmp(r.data(), z.data(), r.size() * sizeof(float)), 0) << "avx2";
  }
  if (best >= CpuTier::Avx512) {
    waveform_atan2_f32_avx512(y.data(), x.data(), z.data(), int(x.size()));
    EXPECT_EQ(std::memcmp(r.data(), z.data(), r.size() * sizeof(float)), 0) << "avx512";
  }
#endif
}

TEST(Stft, MatchesTheFormulaOnEveryTierWithBuiltInAndStoredBases) {
  struct Case {
    int N, hop, L;
  };
  // Bins around one and two vector widths, odd N (the zero past the end), hop not dividing L,
  // hop 0 (one frame), a window longer than the signal.
  for (Case c : {Case{20, 5, 100}, Case{16, 4, 61}, Case{9, 3, 50}, Case{7, 2, 31}, Case{64, 16, 300},
                 Case{1, 3, 9}, Case{20, 0, 12}, Case{40, 10, 13}}) {
    SCOPED_TRACE("N " + std::to_string(c.N) + " hop " + std::to_string(c.hop) + " L " + std::to_string(c.L));
    const std::vector<float> x = random_floats(size_t(c.L), -1.0f, 1.0f, uint32_t(c.N * 100 + c.L));
    const int F = c.N / 2 + 1;
    std::vector<float> real, imag;
    hann_basis(c.N, real, imag);
    std::vector<double> mag, ph;
    stft_reference(x, c.N, c.hop == 0 ? 1 << 30 : c.hop, real, imag, mag, ph);
    expect_same_on_every_tier([&] {
      auto run = run_stft(c.N, c.hop, x);
      expect_stft_close(run, mag, ph, F, 2e-5 * c.N);
      return run.out;
    });

    // A stored basis (any values) is used as given.
    const std::vector<float> wr = random_floats(real.size(), -1.0f, 1.0f, 11);
    const std::vector<float> wi = random_floats(imag.size(), -1.0f, 1.0f, 12);
    stft_reference(x, c.N, c.hop == 0 ? 1 << 30 : c.hop, wr, wi, mag, ph);
    expect_same_on_every_tier([&] {
      auto run = run_stft(c.N, c.hop, x, {{"stft.w_real", wr}, {"stft.w_imag", wi}});
      expect_stft_close(run, mag, ph, F, 4e-5 * c.N);
      return run.out;
    });
  }
}

TEST(Stft, ShapesConstantSignalAndErrors) {
  auto layer = test::make_layer("stft_fp32", stft_node(20, 5), {}, "stft");
  EXPECT_EQ(layer->output_shape({1, 100, 1}), (TensorShape{22, 21, 1}));
  const TensorShape split{1, 25, 4};  // 100 samples in h x w
  EXPECT_EQ(layer->runtime_output_shape(nullptr, &split, 1), (TensorShape{22, 21, 1}));
  EXPECT_EQ(test::make_layer("stft_fp32", stft_node(9, 4))->output_shape({1, 100, 1}),
            (TensorShape{11, 26, 1}));  // odd N reserves N + 2 per frame

  // A constant c: bin 0 holds |c| times the window's sum and bin 1 the Hann window's own leakage,
  // |c| N / 4; the others next to nothing.
  const float c = -0.75f;
  std::vector<float> real, imag;
  hann_basis(20, real, imag);
  double window_sum = 0;
  for (int n = 0; n < 20; ++n) window_sum += real[n];
  const auto run = run_stft(20, 5, std::vector<float>(100, c));
  ASSERT_EQ(run.shape, (TensorShape{22, 21, 1}));
  for (int t = 0; t < 21; ++t) {
    EXPECT_NEAR(run.out[size_t(t) * 22], std::fabs(c) * window_sum, 1e-5);
    EXPECT_NEAR(run.out[size_t(t) * 22 + 1], std::fabs(c) * 20 / 4, 1e-5);
    for (int f = 2; f < 11; ++f) EXPECT_NEAR(run.out[size_t(t) * 22 + f], 0.0, 1e-5);
  }

  // N = 0: one bin of magnitude 0 and phase atan2(0, 0).
  const auto empty = run_stft(0, 5, std::vector<float>(12, 1.0f));
  EXPECT_EQ(empty.shape, (TensorShape{2, 3, 1}));
  for (float v : empty.out) EXPECT_EQ(v, 0.0f);

  std::vector<float> none;
  EXPECT_EQ(test::error_of([&] { test::run_layer<float>(*layer, {&none}, {{1, 0, 1}}); }),
            "node 'stft': waveform has no samples, expected at least 1");
  std::vector<float> two(20);
  EXPECT_EQ(test::error_of([&] { test::run_layer<float>(*layer, {&two}, {{2, 10, 1}}); }),
            "node 'stft': waveform must have one channel (c = 1), got c = 2");
  EXPECT_EQ(test::error_of([&] { run_stft(20, 5, two, {{"stft.w_real", std::vector<float>(210)},
                                                      {"stft.w_imag", std::vector<float>(220)}}); }),
            "weight stft.w_real holds 210 elements, expected 220");
  EXPECT_EQ(test::error_of([] { test::make_layer("stft_fp32", "{\"name\": \"s\", \"hop_size\": -1}"); }),
            "node 's': hop_size must not be negative, got -1");
  EXPECT_EQ(test::error_of([] { test::make_layer("istft_fp32", "{\"name\": \"i\", \"n_fft\": 100000}"); }),
            "node 'i': n_fft 100000 is outside 0..8192");
}

// The inverse DFT of the formula in float64, with the odd-N form that has no Nyquist term.
std::vector<double> istft_reference(const std::vector<float>& mag, const std::vector<float>& ph, int N, int hop,
                                    bool normalized) {
  const int F = N / 2 + 1, A = N / 2, T = int(mag.size()) / F, Lb = N + hop * (T - 1);
  std::vector<double> buf(size_t(Lb), 0.0), env(size_t(Lb), 0.0);
  for (int t = 0; t < T; ++t)
    for (int n = 0; n < N; ++n) {
      const float* m = mag.data() + size_t(t) * F;
      const float* p = ph.data() + size_t(t) * F;
      double s = m[0] * std::cos(double(p[0]));
      const int J = N % 2 == 0 ? A - 1 : A;
      for (int j = 1; j <= J; ++j) s += 2.0 * m[j] * std::cos(2 * M_PI * j * n / N + p[j]);
      if (N % 2 == 0) s += m[A] * std::cos(M_PI * n + p[A]);
      const double w = 0.5 - 0.5 * std::cos(2 * M_PI * n / N);
      buf[size_t(t) * hop + n] += s * w / N;
      env[size_t(t) * hop + n] += w * w;
    }
  std::vector<double> out(size_t(Lb - 2 * A));
  for (size_t k = 0; k < out.size(); ++k)
    out[k] = !normalized ? buf[A + k] : env[A + k] > 1e-8 ? buf[A + k] / env[A + k] : 0.0;
  return out;
}

TEST(Istft, MatchesTheFormulaOnEveryTier) {
  struct Case {
    int N, hop, T;
    bool normalized;
  };
  // Frame counts around the 8 and 16 lanes, odd N, N = 2 (a Nyquist bin and nothing between).
  for (Case c : {Case{20, 5, 37, false}, Case{20, 5, 16, true}, Case{9, 3, 17, true}, Case{16, 4, 7, false},
                 Case{2, 1, 9, false}, Case{31, 7, 33, true}}) {
    SCOPED_TRACE("N " + std::to_string(c.N) + " hop " + std::to_string(c.hop) + " T " + std::to_string(c.T));
    const int F = c.N / 2 + 1;
    const std::vector<float> mag = random_floats(size_t(c.T) * F, 0.0f, 2.0f, uint32_t(c.N + c.T));
    const std::vector<float> ph = random_floats(size_t(c.T) * F, -3.2f, 3.2f, uint32_t(c.N * c.T));
    const std::vector<double> want = istft_reference(mag, ph, c.N, c.hop, c.normalized);
    expect_same_on_every_tier([&] {
      auto run = run_istft(c.N, c.hop, c.normalized, mag, ph);
      EXPECT_EQ(run.shape, (TensorShape{1, int(want.size()), 1}));
      EXPECT_EQ(int(want.size()), c.hop * (c.T - 1) + c.N % 2);
      for (size_t k = 0; k < want.size() && k < run.out.size(); ++k)
        EXPECT_NEAR(run.out[k], want[k], 2e-5 * (c.normalized ? 4 : 1)) << "sample " << k;
      return run.out;
    });
  }
}

TEST(Istft, InvertsTheStftForEvenAndOddWindows) {
  for (int N : {20, 16, 9, 15}) {
    const int hop = N / 4;
    const std::vector<float> x = random_floats(400, -1.0f, 1.0f, uint32_t(N));
    const auto stft_out = run_stft(N, hop, x);
    const int F = N / 2 + 1, T = stft_out.shape.h;
    std::vector<float> mag, ph;
    for (int t = 0; t < T; ++t)
      for (int f = 0; f < 2 * F; ++f) (f < F ? mag : ph).push_back(stft_out.out[size_t(t) * 2 * F + f]);
    const auto back = run_istft(N, hop, true, mag, ph);
    ASSERT_EQ(back.shape.h, hop * (T - 1) + N % 2);
    for (int k = N; k + N < int(x.size()); ++k) EXPECT_NEAR(back.out[k], x[k], 2e-5) << "N " << N << " k " << k;
  }
}

TEST(Istft, EdgesAndErrors) {
  // A hop longer than the window leaves gaps no frame covers: the envelope is zero there.
  const int N = 4, hop = 10, T = 3, F = 3;
  std::vector<float> dc(T * F, 0.0f);  // a constant 1 per frame: windowed, w[n] / N
  for (int t = 0; t < T; ++t) dc[size_t(t) * F] = 1.0f;
  const auto run = run_istft(N, hop, true, dc, std::vector<float>(T * F, 0.0f));
  ASSERT_EQ(run.shape, (TensorShape{1, hop * (T - 1), 1}));
  EXPECT_FLOAT_EQ(run.out[0], 0.25f);  // (1 * w[2] / 4) / w[2]^2 with w[2] = 1
  for (int k = 2; k < hop - 2; ++k) EXPECT_EQ(run.out[k], 0.0f) << k;

  EXPECT_EQ(run_istft(20, 5, false, {}, {}).shape, (TensorShape{1, 0, 1}));

  auto layer = test::make_layer("istft_fp32", "{\"n_fft\": 20}", {}, "head");
  std::vector<float> a(11 * 4), b(11 * 3), c(10 * 4);
  EXPECT_EQ(test::error_of([&] { test::run_layer<float>(*layer, {&a}, {{11, 4, 1}}); }),
            "node 'head' needs 2 inputs, got 1");
  EXPECT_EQ(test::error_of([&] { test::run_layer<float>(*layer, {&a, &b}, {{11, 4, 1}, {11, 3, 1}}); }),
            "node 'head': magnitudes (11, 4, 1) and phases (11, 3, 1) must have the same shape");
  EXPECT_EQ(test::error_of([&] { test::run_layer<float>(*layer, {&c, &c}, {{10, 4, 1}, {10, 4, 1}}); }),
            "node 'head': magnitudes have 10 channels, expected 11 (n_fft 20)");
}

std::string sine_node(int upsample, float noise_std, int harmonics = 8) {
  return "{\"sample_rate\": 24000, \"harmonic_num\": " + std::to_string(harmonics) +
         ", \"sine_amp\": 0.1, \"voiced_threshold\": 10, \"noise_std\": " + std::to_string(noise_std) +
         ", \"upsample_scale\": " + std::to_string(upsample) + "}";
}

TEST(SineGen, DeterministicNoiseAmplitudesAndShortInputs) {
  // F0 with voiced and unvoiced stretches.
  std::vector<float> f0(3000);
  for (size_t i = 0; i < f0.size(); ++i) f0[i] = (i / 500) % 2 ? 0.0f : 100.0f + float(i % 500);
  auto noisy = test::make_layer("sine_gen_fp32", sine_node(0, 0.003f), {}, "src");
  const auto first = test::run_layer<float>(*noisy, {&f0}, {{1, 3000, 1}});
  const auto second = test::run_layer<float>(*noisy, {&f0}, {{1, 3000, 1}});
  ASSERT_EQ(first.shape, (TensorShape{9, 3000, 1}));
  EXPECT_EQ(std::memcmp(first.out.data(), second.out.data(), first.out.size() * sizeof(float)), 0);

  for (int U : {0, 7}) {
    auto layer = test::make_layer("sine_gen_fp32", sine_node(U, 0.003f), {}, "src");
    expect_same_on_every_tier([&] { return test::run_layer<float>(*layer, {&f0}, {{1, 3000, 1}}).out; });
  }

  // All unvoiced: Gaussian noise of standard deviation sine_amp / 3, mean near 0.
  std::vector<float> silent(20000, 5.0f);
  const auto noise = test::run_layer<float>(*noisy, {&silent}, {{1, 20000, 1}});
  double sum = 0, sq = 0;
  for (float v : noise.out) {
    sum += v;
    sq += double(v) * v;
  }
  const double n = double(noise.out.size()), mean = sum / n;
  EXPECT_NEAR(mean, 0.0, 0.002);
  EXPECT_NEAR(std::sqrt(sq / n - mean * mean), 0.1 / 3, 0.001);
  // Without noise the same track is silent, on both paths.
  for (int U : {0, 300}) {
    auto quiet = test::make_layer("sine_gen_fp32", sine_node(U, 0.0f), {}, "src");
    for (float v : test::run_layer<float>(*quiet, {&silent}, {{1, 20000, 1}}).out) ASSERT_EQ(v, 0.0f);
  }

  // Fewer samples than the upsampling factor: silence, not a read before the track.
  auto upsampled = test::make_layer("sine_gen_fp32", sine_node(300, 0.0f), {}, "src");
  std::vector<float> short_track(299, 200.0f);
  const auto out = test::run_layer<float>(*upsampled, {&short_track}, {{1, 299, 1}});
  ASSERT_EQ(out.out.size(), 299u * 9);
  for (float v : out.out) ASSERT_EQ(v, 0.0f);

  std::vector<float> two(10);
  EXPECT_EQ(test::error_of([&] { test::run_layer<float>(*upsampled, {&two}, {{2, 5, 1}}); }),
            "node 'src': F0 track must have one channel (c = 1), got c = 2");
  EXPECT_EQ(test::error_of([] { test::make_layer("sine_gen_fp32", "{\"name\": \"g\", \"sample_rate\": 0}"); }),
            "node 'g': sample_rate must be positive, got 0");
}

}  // namespace
