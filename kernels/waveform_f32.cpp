// Portable waveform kernels: the STFT basis and frames, the iSTFT frames, the harmonic sine source.
#include "kernels/waveform_f32.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernels/thread_pool.h"
#include "kernels/waveform_lanes.h"

namespace trevalon {

void stft_hann_basis_f32(int n_fft, float* real, float* imag) {
  const int N = n_fft, F = stft_bins(n_fft);
  if (N <= 0) return;
  const float inv_n = 1.0f / float(N);
  for (int n = 0; n < N; ++n) {
    const float a = float(n) * 6.2831855f * inv_n;
    const float h = std::fma(-std::cos(a), 0.5f, 0.5f);
    for (int f = 0; f < F; ++f) {
      real[size_t(f) * N + n] = std::cos(a * float(f)) * h;
      imag[size_t(f) * N + n] = -std::sin(a * float(f)) * h;
    }
  }
}

void stft_pack_basis_f32(const float* real, const float* imag, int n_fft, float* out) {
  const int N = n_fft, F = stft_bins(n_fft), stride = stft_basis_stride(F);
  for (int n = 0; n < N; ++n) {
    float* row = out + size_t(n) * stride;
    std::fill(row, row + stride, 0.0f);
    for (int f = 0; f < F; ++f) {
      row[f] = real[size_t(f) * N + n];
      row[F + f] = imag[size_t(f) * N + n];
    }
  }
}

void istft_window_f32(int n_fft, float* window) {
  for (int n = 0; n < n_fft; ++n) window[n] = 0.5f - 0.5f * std::cos(6.2831855f * float(n) / float(n_fft));
}

void waveform_cos_f32_portable(const float* in, float* out, int count) {
  for (int i = 0; i < count; ++i) out[i] = waveform_cos_lane(in[i]);
}

void waveform_sin_f32_portable(const float* in, float* out, int64_t count) {
  for (int64_t i = 0; i < count; ++i) out[i] = waveform_sin_lane(in[i]);
}

void waveform_gaussian_f32_portable(const float* u1, const float* angle, float* z, int64_t count) {
  for (int64_t i = 0; i < count; ++i) z[i] = waveform_gaussian_lane(u1[i], angle[i]);
}

void waveform_atan2_f32_portable(const float* y, const float* x, float* out, int count) {
  for (int i = 0; i < count; ++i) out[i] = waveform_atan2_lane(y[i], x[i]);
}

void stft_frames_f32_portable(const float* padded, int T, int hop, int N, const float* basis, float* out,
                              float* work) {
  const int F = stft_bins(N), stride = stft_basis_stride(F);
  for (int t = 0; t < T; ++t) {
    const float* x = padded + size_t(t) * size_t(hop);
    for (int f = 0; f < 2 * F; ++f) {
      float acc = 0.0f;
      for (int n = 0; n < N; ++n) acc = std::fma(x[n], basis[size_t(n) * stride + f], acc);
      work[f] = acc;
    }
    float* row = out + size_t(t) * 2 * F;
    for (int f = 0; f < F; ++f) {
      const float re = work[f], im = work[F + f];
      row[f] = std::sqrt(im * im + re * re);
      row[F + f] = waveform_atan2_lane(im, re);
    }
  }
}

void istft_frames_f32_portable(const float* mag, const float* phase, int T, int N, const float* window,
                               float* out, float* /*work*/) {
  const int F = stft_bins(N), A = N / 2;
  const bool even = N % 2 == 0;
  const int J = even ? A - 1 : A;  // bins with a conjugate twin
  const float step = 6.2831855f / float(N), inv_n = 1.0f / float(N);
  for (int t = 0; t < T; ++t) {
    const float* m = mag + size_t(t) * F;
    const float* p = phase + size_t(t) * F;
    const float dc = m[0] * waveform_cos_lane(p[0]);
    for (int n = 0; n < N; ++n) {
      const float base = float(n) * step;
      float s = dc;
      for (int j = 1; j <= J; ++j) s = s + m[j] * 2.0f * waveform_cos_lane(std::fma(base, float(j), p[j]));
      if (even && A >= 1) s = s + m[A] * waveform_cos_lane(float(n) * 3.14159274f + p[A]);
      out[size_t(t) * N + n] = s * window[n] * inv_n;
    }
  }
}

namespace {

// xorshift64*: the high 32 bits of the scrambled state.
struct NoiseSource {
  uint64_t x = 0x9e3779b97f4a7c15ull;
  uint32_t draw() {
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    return static_cast<uint32_t>((x * 0x2545f4914f6cdd1dull) >> 32);
  }
};

// Phase per sample of channel k, wrapped to [0, 1).
float cycle_fraction(float f0, float factor) {
  float r = std::fmod(f0 * factor, 1.0f);
  return r < 0.0f ? r + 1.0f : r;
}

// Channels per range of the phase loops: a sample of a channel costs a few operations.
size_t min_channels(int L) { return (size_t(1) << 16) / (size_t(L) + 1) + 1; }

// Angles first (the row of a voiced sample), sines of all of them, then amplitude. Each value is
// its own: ranges of samples go to the threads.
void finish_sines(const float* f0, int L, const SineGenParams& p, float* out, SinMapKernel sin_map) {
  const int H = p.harmonics;
  parallel_for(size_t(L), 1, (size_t(1) << 14) / size_t(H) + 1, [&](size_t b, size_t e) {
    float* rows = out + b * size_t(H);
    sin_map(rows, rows, int64_t(e - b) * H);
    for (size_t i = b; i < e; ++i) {
      float* row = out + i * size_t(H);
      const bool voiced = f0[i] > p.voiced_threshold;
      for (int k = 0; k < H; ++k) row[k] = voiced ? p.sine_amp * row[k] : 0.0f;
    }
  });
}

void sine_gen_upsampled(const float* f0, int L, const SineGenParams& p, float* out, float* c,
                        const SineGenKernels& kernels) {
  const int H = p.harmonics, U = p.upsample_scale, K = L / U;
  if (K == 0) {  // too short to integrate at the low rate: silence
    std::fill(out, out + size_t(L) * H, 0.0f);
    return;
  }
  const float inv_rate = static_cast<float>(1.0 / double(p.sample_rate));
  const double two_pi = 6.283185307179586;
  // Per channel, the per-sample cycle fractions downsampled to K points, then summed: c[k][q]. The
  // sums run in sample order within a channel, so ranges of channels go to the threads.
  parallel_for(size_t(H), 1, min_channels(L), [&](size_t k_begin, size_t k_end) {
    for (int k = int(k_begin); k < int(k_end); ++k) {
      const float factor = float(k + 1) * inv_rate;
      float* ck = c + size_t(k) * K;
      float sum = 0.0f;
      for (int q = 0; q < K; ++q) {
        const float pos = float(U) * (float(q) + 0.5f) - 0.5f;
        const float lo = std::floor(pos), frac = pos - lo;
        const int64_t i0 = static_cast<int64_t>(lo);
        const float a = cycle_fraction(f0[std::clamp<int64_t>(i0, 0, L - 1)], factor);
        const float b = cycle_fraction(f0[std::clamp<int64_t>(i0 + 1, 0, L - 1)], factor);
        sum += (1.0f - frac) * a + frac * b;
        ck[q] = sum;
      }
    }
  });
  // The angles, interpolated from the sums: each its own, so ranges of samples.
  parallel_for(size_t(L), 1, (size_t(1) << 15) / size_t(H) + 1, [&](size_t begin, size_t end) {
    for (int i = int(begin); i < int(end); ++i) {
      float* row = out + size_t(i) * H;
      if (!(f0[i] > p.voiced_threshold)) {
        std::fill(row, row + H, 0.0f);
        continue;
      }
      const float pos = (float(i) + 0.5f) / float(U) - 0.5f;
      const float lo = std::floor(pos), frac = pos - lo;
      const int64_t i0 = static_cast<int64_t>(lo);
      const int64_t a = std::clamp<int64_t>(i0, 0, K - 1), b = std::clamp<int64_t>(i0 + 1, 0, K - 1);
      for (int k = 0; k < H; ++k) {
        const float* ck = c + size_t(k) * K;
        const float phase = float(U) * ((1.0f - frac) * ck[a] + frac * ck[b]);
        row[k] = static_cast<float>(two_pi * double(phase));
      }
    }
  });
  finish_sines(f0, L, p, out, kernels.sin);
}

void sine_gen_accumulated(const float* f0, int L, const SineGenParams& p, float* out, float* work,
                          const SineGenKernels& kernels) {
  double* phase = reinterpret_cast<double*>(work);
  const int H = p.harmonics;
  const double inv_rate = 1.0 / double(p.sample_rate);
  const double two_pi = 6.283185307179586;
  std::fill(phase, phase + H, 0.0);
  // Each channel's phase accumulates in sample order: ranges of channels go to the threads.
  parallel_for(size_t(H), 1, min_channels(L), [&](size_t k_begin, size_t k_end) {
    for (int i = 0; i < L; ++i) {
      const double inc = double(f0[i]) * inv_rate;
      float* row = out + size_t(i) * H;
      for (int k = int(k_begin); k < int(k_end); ++k) {
        double ph = std::fma(inc, double(k + 1), phase[k]);
        ph = ph - std::trunc(ph);
        phase[k] = ph;
        row[k] = static_cast<float>(two_pi * ph);
      }
    }
  });
  finish_sines(f0, L, p, out, kernels.sin);
  if (!(p.noise_std > 0.0f)) return;
  // Draws go sample by sample, channel by channel, u1 then the angle's; a block of rows at a time.
  const float unvoiced_amp = p.sine_amp * 0.33333334f;
  float* u1 = work + 2 * size_t(H);
  float* angle = u1 + size_t(kSineNoiseRows) * H;
  float* z = angle + size_t(kSineNoiseRows) * H;
  NoiseSource noise;
  for (int i0 = 0; i0 < L; i0 += kSineNoiseRows) {
    const int rows = std::min(kSineNoiseRows, L - i0);
    const size_t count = size_t(rows) * H;
    for (size_t v = 0; v < count; ++v) {
      u1[v] = float(noise.draw()) * 2.3283064e-10f;
      angle[v] = float(noise.draw()) * 1.4629181e-09f;
    }
    kernels.gaussian(u1, angle, z, int64_t(count));
    for (int r = 0; r < rows; ++r) {
      const int i = i0 + r;
      const float level = f0[i] > p.voiced_threshold ? p.noise_std : unvoiced_amp;
      float* row = out + size_t(i) * H;
      for (int k = 0; k < H; ++k) row[k] = std::fma(z[size_t(r) * H + k], level, row[k]);
    }
  }
}

}  // namespace

void sine_gen_f32(const float* f0, int L, const SineGenParams& p, float* out, float* work,
                  const SineGenKernels& kernels) {
  if (L <= 0 || p.harmonics <= 0) return;
  if (p.upsample_scale >= 1)
    sine_gen_upsampled(f0, L, p, out, work, kernels);
  else
    sine_gen_accumulated(f0, L, p, out, work, kernels);
}

}  // namespace trevalon
