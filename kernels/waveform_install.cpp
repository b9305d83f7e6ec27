// Installs the waveform frame loops for the tier. The table's waveform slots stay null on the CPU:
// the layers compute on the host and reach the tier's loops through the drivers.
#include "backend/cpu_backend.h"
#include "kernels/waveform_f32.h"

namespace trevalon {

void install_waveform_kernels(KernelTable& /*table*/, KernelDrivers& drivers, CpuTier tier) {
  drivers.stft_frames_f32 = stft_frames_f32_portable;
  drivers.istft_frames_f32 = istft_frames_f32_portable;
  drivers.waveform_sin_f32 = waveform_sin_f32_portable;
  drivers.waveform_gaussian_f32 = waveform_gaussian_f32_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512) {
    drivers.stft_frames_f32 = stft_frames_f32_avx512;
    drivers.istft_frames_f32 = istft_frames_f32_avx512;
    drivers.waveform_sin_f32 = waveform_sin_f32_avx512;
    drivers.waveform_gaussian_f32 = waveform_gaussian_f32_avx512;
  } else if (tier >= CpuTier::Avx2) {
    drivers.stft_frames_f32 = stft_frames_f32_avx2;
    drivers.istft_frames_f32 = istft_frames_f32_avx2;
    drivers.waveform_sin_f32 = waveform_sin_f32_avx2;
    drivers.waveform_gaussian_f32 = waveform_gaussian_f32_avx2;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
