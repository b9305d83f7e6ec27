// Arithmetic of the vocoder's waveform layers: the framed DFT of the STFT, the direct
// inverse DFT of the iSTFT frames, the harmonic sine source. Portable code plus, in x86 builds,
// AVX2 / AVX-512 frame loops reached through KernelDrivers.
//
// Every tier gives the same bits: the STFT keeps one fused chain per (frame, bin) in sample order
// and vectorises across bins; the iSTFT vectorises across frames and evaluates its cosines with
// waveform_cos_lane's steps, which every tier follows operation for operation.
#pragma once

#include <cstdint>

namespace trevalon {

// Bins of an n_fft: floor(N/2) + 1 (1 for N = 0).
inline int stft_bins(int n_fft) { return n_fft / 2 + 1; }

// Row stride of the STFT basis in its kernel form: 2F rounded up to 16 lanes.
inline int stft_basis_stride(int bins) { return (2 * bins + 15) / 16 * 16; }

// The built-in windowed DFT basis in F x N rows: periodic Hann h[n] = fma(-cos(a_n), 0.5, 0.5),
// a_n = n * 6.2831855 * (1/N); real[f][n] = cos(a_n * f) * h[n], imag[f][n] = -sin(a_n * f) * h[n].
void stft_hann_basis_f32(int n_fft, float* real, float* imag);

// The basis in the kernels' form: basis[n * stride + f] = real[f][n], basis[n * stride + F + f] =
// imag[f][n], the rest of each row zero. `out` holds N * stride floats.
void stft_pack_basis_f32(const float* real, const float* imag, int n_fft, float* out);

// Frames t < T of `padded` (frame t reads padded[t * hop + n], n < N): per bin f,
// re = sum_n x[n] * real[f][n], im likewise (fused chains in n order); row t of `out` holds the F
// magnitudes sqrt(im*im + re*re) and then the F phases atan2(im, re) (waveform_atan2_lane's).
// `work`: stride floats.
using StftFramesKernel = void (*)(const float* padded, int T, int hop, int N, const float* basis, float* out,
                                  float* work);

// Frames t < T of magnitudes and phases (rows of F = N/2 + 1 values) to windowed time samples:
// out[t * N + n] = s * window[n] * (1/N) with
//   s = m[0] cos(p[0]) + sum_{j=1}^{J} m[j] * 2 cos(fma(n * (6.2831855/N), j, p[j])) [+ Nyquist]
// where for even N, J = N/2 - 1 and the Nyquist term m[N/2] cos(n * pi + p[N/2]) follows; for odd
// N, J = (N-1)/2 and there is no Nyquist bin. Sums are plain float additions in j order.
// `work`: istft_work_floats(N) floats.
using IstftFramesKernel = void (*)(const float* mag, const float* phase, int T, int N, const float* window,
                                   float* out, float* work);
inline int64_t istft_work_floats(int n_fft) { return 2 * int64_t(stft_bins(n_fft)) * 16 + 16; }

// The iSTFT window 0.5 - 0.5 cos(6.2831855 * n / N), n < N.
void istft_window_f32(int n_fft, float* window);

// The cosine every tier computes, one lane at a time (see waveform_lanes.h): within 2 ulp of the
// C library's for |x| <= 1e5, and the C library's own value beyond (and for NaN and infinities).
void waveform_cos_f32_portable(const float* in, float* out, int count);
// atan2(y, x) likewise: within 2 ulp of the C library's for finite arguments, its own value
// otherwise. The STFT's phases.
void waveform_atan2_f32_portable(const float* y, const float* x, float* out, int count);
// sin likewise (the cosine's steps a quarter turn on), the sine source's; `out` may be `in`.
using SinMapKernel = void (*)(const float* in, float* out, int64_t count);
void waveform_sin_f32_portable(const float* in, float* out, int64_t count);
// Gaussian samples z = sqrt(-2 ln(max(u1, 1e-7))) * cos(angle) of the noise source's uniforms
// (the logarithm a polynomial within 2 ulp, the cosine the one above), angle in [0, 2 pi).
using GaussianMapKernel = void (*)(const float* u1, const float* angle, float* z, int64_t count);
void waveform_gaussian_f32_portable(const float* u1, const float* angle, float* z, int64_t count);

void stft_frames_f32_portable(const float* padded, int T, int hop, int N, const float* basis, float* out,
                              float* work);
void istft_frames_f32_portable(const float* mag, const float* phase, int T, int N, const float* window,
                               float* out, float* work);

#ifndef TREVALON_PORTABLE
void waveform_cos_f32_avx2(const float* in, float* out, int count);
void waveform_atan2_f32_avx2(const float* y, const float* x, float* out, int count);
void waveform_sin_f32_avx2(const float* in, float* out, int64_t count);
void waveform_gaussian_f32_avx2(const float* u1, const float* angle, float* z, int64_t count);
void stft_frames_f32_avx2(const float* padded, int T, int hop, int N, const float* basis, float* out,
                          float* work);
void istft_frames_f32_avx2(const float* mag, const float* phase, int T, int N, const float* window, float* out,
                           float* work);
void waveform_cos_f32_avx512(const float* in, float* out, int count);
void waveform_atan2_f32_avx512(const float* y, const float* x, float* out, int count);
void waveform_sin_f32_avx512(const float* in, float* out, int64_t count);
void waveform_gaussian_f32_avx512(const float* u1, const float* angle, float* z, int64_t count);
void stft_frames_f32_avx512(const float* padded, int T, int hop, int N, const float* basis, float* out,
                            float* work);
void istft_frames_f32_avx512(const float* mag, const float* phase, int T, int N, const float* window,
                             float* out, float* work);
#endif

// The harmonic source's parameters; H = harmonic_num + 1 channels, channel k at (k + 1) * F0.
struct SineGenParams {
  int sample_rate;
  int harmonics;  // H
  float sine_amp;
  float voiced_threshold;
  float noise_std;
  int upsample_scale;
};

// The tier's entries the sine source computes through.
struct SineGenKernels {
  SinMapKernel sin;
  GaussianMapKernel gaussian;
};

// out[i * H + k] for i < L. upsample_scale >= 1: the phase is integrated at 1/U of the rate and
// interpolated back (no noise). Otherwise double phase accumulators with xorshift64* Gaussian
// noise when noise_std > 0. Sines are taken of float32 angles, in place in `out`.
// `work`: sine_gen_work_floats(L, p) floats, 8-byte aligned.
void sine_gen_f32(const float* f0, int L, const SineGenParams& p, float* out, float* work,
                  const SineGenKernels& kernels);
// Rows of noise drawn, transformed and added per pass.
constexpr int kSineNoiseRows = 256;
inline int64_t sine_gen_work_floats(int L, const SineGenParams& p) {
  if (p.upsample_scale >= 1) return int64_t(L / p.upsample_scale) * p.harmonics;
  return 2 * int64_t(p.harmonics) + 3 * int64_t(kSineNoiseRows) * p.harmonics;
}

}  // namespace trevalon
