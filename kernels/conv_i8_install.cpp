// Fills the int8 convolution slots of the CPU table (conv2d_i8, conv2d_i8_winograd) and their
// drivers: the slot with prepared weights, the grouped path and the depthwise 3x3 kernel, which
// have no slot of their own, all for the same tier.
#include "backend/cpu_backend.h"
#include "kernels/conv2d_i8.h"
#include "kernels/conv2d_i8_direct.h"
#include "kernels/depthwise_i8.h"
#include "kernels/winograd_i8.h"

namespace trevalon {
namespace {

void use(KernelTable& table, KernelDrivers& drivers, const ConvI8Entries& entries) {
  table.conv2d_i8 = entries.slot;
  drivers.conv2d_i8 = entries.prepared;
  drivers.conv2d_i8_grouped = entries.grouped;
}

}  // namespace

void install_conv_i8_kernels(KernelTable& table, KernelDrivers& drivers, CpuTier tier) {
  use(table, drivers, conv_i8_entries_portable());
  table.conv2d_i8_winograd = conv2d_i8_winograd_portable;
  drivers.depthwise_i8_3x3 = depthwise_i8_3x3_portable;
#ifndef TREVALON_PORTABLE
  if (tier >= CpuTier::Avx2) {
    use(table, drivers, conv_i8_entries_avx2());
    table.conv2d_i8_winograd = conv2d_i8_winograd_avx2;
    drivers.depthwise_i8_3x3 = depthwise_i8_3x3_avx2;
  }
  if (tier >= CpuTier::Avx512) {
    table.conv2d_i8_winograd = conv2d_i8_winograd_avx512;
    drivers.depthwise_i8_3x3 = depthwise_i8_3x3_avx512;
  }
  if (tier >= CpuTier::Avx512Vnni) {
    use(table, drivers, conv_i8_entries_avx512vnni());
    table.conv2d_i8_winograd = conv2d_i8_winograd_avx512vnni;
    drivers.depthwise_i8_3x3 = depthwise_i8_3x3_avx512vnni;
    drivers.prepare_conv2d_i8_direct = prepare_conv2d_i8_direct_avx512vnni;
    drivers.conv2d_i8_direct = conv2d_i8_direct_avx512vnni;
  }
  if (tier >= CpuTier::Avx512Amx) {
    use(table, drivers, conv_i8_entries_avx512amx());
    table.conv2d_i8_winograd = conv2d_i8_winograd_avx512amx;
  }
#else
  (void)tier;
#endif
}

}  // namespace trevalon
