// The "cpu" backend: host allocator, kernel table filled once from the CPU's features.
#include "backend/cpu_backend.h"

#include "backend/registry.h"

namespace trevalon {
namespace {

Allocator* get_cpu_allocator() { return &cpu_allocator(); }

BackendDescriptor& mutable_descriptor() {
  static BackendDescriptor descriptor{"cpu", 0, static_cast<int32_t>(DeviceKind::Host), KernelTable{}};
  return descriptor;
}

KernelDrivers& mutable_drivers() {
  static KernelDrivers drivers;
  return drivers;
}

CpuTier& current_tier() {
  static CpuTier tier = CpuTier::Portable;
  return tier;
}

void fill_table(KernelTable& table, KernelDrivers& drivers, CpuTier tier) {
  table = KernelTable{};
  drivers = KernelDrivers{};
  drivers.format = static_cast<int>(tier);  // weights prepared for one tier are read by no other
  table.get_allocator = &get_cpu_allocator;
  install_matrix_kernels(table, drivers, tier);
  install_elementwise_kernels(table, tier);
  install_pooling_kernels(table, tier);
  install_activation_kernels(table, tier);
  install_conv_f32_kernels(table, drivers, tier);
  install_conv_i8_kernels(table, drivers, tier);
  install_seq_gemm_kernels(table, drivers, tier);
  install_normalization_kernels(table, tier);
  install_attention_kernels(table, drivers, tier);
  install_lstm_kernels(table, drivers, tier);
  install_conv1d_i8_kernels(table, drivers, tier);
  install_waveform_kernels(table, drivers, tier);
  install_sequence_shaping_kernels(table, tier);
  install_conv1d_kernels(table, drivers, tier);
  install_causal_attention_kernels(table, tier);
}

struct CpuBackendRegistration {
  CpuBackendRegistration() { register_cpu_backend(); }
};
const CpuBackendRegistration registration;

}  // namespace

CpuAllocator& cpu_allocator() {
  static CpuAllocator instance;
  return instance;
}

const BackendDescriptor& cpu_backend_descriptor() {
  static const bool filled = [] {
    current_tier() = detect_cpu_tier();
    fill_table(mutable_descriptor().kernels, mutable_drivers(), current_tier());
    return true;
  }();
  (void)filled;
  return mutable_descriptor();
}

const KernelDrivers& cpu_kernel_drivers() {
  cpu_backend_descriptor();
  return mutable_drivers();
}

const KernelDrivers* kernel_drivers_for(const BackendDescriptor& backend) {
  return &backend == &cpu_backend_descriptor() ? &mutable_drivers() : nullptr;
}

void register_cpu_backend() { register_backend(&cpu_backend_descriptor()); }

CpuTier cpu_kernel_tier() {
  cpu_backend_descriptor();
  return current_tier();
}

bool set_cpu_kernel_tier(CpuTier tier) {
  cpu_backend_descriptor();
  if (static_cast<int>(tier) > static_cast<int>(detect_cpu_tier())) return false;
  current_tier() = tier;
  fill_table(mutable_descriptor().kernels, mutable_drivers(), tier);
  return true;
}

}  // namespace trevalon
