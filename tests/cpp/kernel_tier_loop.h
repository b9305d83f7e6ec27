// Runs a test body once per CPU kernel tier this machine supports, then restores the best tier.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "backend/cpu_backend.h"
#include "backend/cpu_features.h"

namespace trevalon::testing {

inline void for_each_cpu_tier(const std::function<void(CpuTier, const KernelTable&)>& body) {
  const CpuTier best = detect_cpu_tier();
  for (int t = 0; t <= static_cast<int>(best); ++t) {
    const CpuTier tier = static_cast<CpuTier>(t);
    if (!set_cpu_kernel_tier(tier)) continue;
    SCOPED_TRACE(cpu_tier_name(tier));
    body(tier, cpu_backend_descriptor().kernels);
  }
  set_cpu_kernel_tier(best);
}

}  // namespace trevalon::testing
