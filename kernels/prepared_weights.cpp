// Storage and bookkeeping of prepared weights.
#include "kernels/prepared_weights.h"

#include <atomic>
#include <cstring>

namespace trevalon {
namespace {
std::atomic<uint64_t> g_preparations{0};
}  // namespace

void AlignedStorage::assign_zeros(size_t bytes) {
  reset();
  if (bytes == 0) return;
  block_ = allocate_huge_page_memory(bytes);
  bytes_ = bytes;
}

void PreparedWeightsF32::unpack_rows(int rows, int cols, float* w) const {
  const float* src = get();
  for (int n = 0; n < rows; ++n)
    for (int k = 0; k < cols; ++k)
      w[size_t(n) * cols + k] =
          src[size_t(n / panel) * size_t(cols) * panel + size_t(k) * panel + size_t(n % panel)];
}

uint64_t weight_preparations() { return g_preparations.load(std::memory_order_relaxed); }
void count_weight_preparation() { g_preparations.fetch_add(1, std::memory_order_relaxed); }

}  // namespace trevalon
