// The CPU backend: its descriptor, registered at load, and the tier its kernel table was filled for.
#pragma once

#include "backend/allocator.h"
#include "backend/cpu_features.h"
#include "backend/kernel_table.h"
#include "kernels/kernel_drivers.h"

namespace trevalon {

const BackendDescriptor& cpu_backend_descriptor();
// The static allocator the CPU backend's get_allocator returns.
CpuAllocator& cpu_allocator();
// Registers the CPU backend (the static initialiser calls this once).
void register_cpu_backend();

// The per-tier drivers installed with the CPU table (the current tier's).
const KernelDrivers& cpu_kernel_drivers();
// The drivers that go with `backend`'s table: the CPU drivers for the CPU backend, null for any
// other backend (whose layers then use the table alone).
const KernelDrivers* kernel_drivers_for(const BackendDescriptor& backend);

// Tier whose kernels fill the table now.
CpuTier cpu_kernel_tier();
// Refill the table for a lower tier (tests run every tier on one machine); false when this CPU
// cannot run `tier`.
bool set_cpu_kernel_tier(CpuTier tier);

// Every kernel family fills its slots (and its drivers): portable code first, then the best code
// for `tier`.
void install_matrix_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier);
void install_elementwise_kernels(KernelTable& table, CpuTier tier);
void install_pooling_kernels(KernelTable& table, CpuTier tier);
void install_activation_kernels(KernelTable& table, CpuTier tier);
void install_conv_f32_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier);
void install_conv_i8_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier);
void install_seq_gemm_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier);
void install_normalization_kernels(KernelTable& table, CpuTier tier);
void install_attention_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier);
void install_lstm_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier);
void install_conv1d_i8_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier);
void install_waveform_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier);
void install_sequence_shaping_kernels(KernelTable& table, CpuTier tier);
void install_conv1d_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier);
void install_causal_attention_kernels(KernelTable& table, CpuTier tier);

}  // namespace trevalon
