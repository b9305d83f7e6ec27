// Installs the spectral frame loops for the tier. The table's spectral slots stay null on the CPU:
// the layers compute on the host and reach the tier's loops through the drivers.
#include "backend/cpu_backend.h"
#include "kernels/spectral_f32.h"

namespace trevalon {

void install_spectral_kernels(KernelTable& /*table*/, KernelDrivers& drivers, CpuTier tier) {
  drivers.stft_frames_f32 = stft_frames_f32_portable;
  drivers.istft_frames_f32 = istft_frames_f32_portable;
  drivers.spectral_sin_f32 = spectral_sin_f32_portable;
  drivers.spectral_gaussian_f32 = spectral_gaussian_f32_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx512) {
    drivers.stft_frames_f32 = stft_frames_f32_avx512;
    drivers.istft_frames_f32 = istft_frames_f32_avx512;
    drivers.spectral_sin_f32 = spectral_sin_f32_avx512;
    drivers.spectral_gaussian_f32 = spectral_gaussian_f32_avx512;
  } else if (tier >= CpuTier::Avx2) {
    drivers.stft_frames_f32 = stft_frames_f32_avx2;
    drivers.istft_frames_f32 = istft_frames_f32_avx2;
    drivers.spectral_sin_f32 = spectral_sin_f32_avx2;
    drivers.spectral_gaussian_f32 = spectral_gaussian_f32_avx2;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
