// Runs a computation at 1, 2, 3 and 4 threads, with small work split as large work would be, and
// expects the same bytes every time.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kernels/thread_pool.h"

namespace trevalon::testing {

// Sets a thread count (and splitting of small work) for one scope; one thread again after it.
struct ScopedThreads {
  explicit ScopedThreads(int threads) {
    set_num_threads(threads);
    set_split_small_work(true);
  }
  ~ScopedThreads() {
    set_split_small_work(false);
    set_num_threads(1);
  }
};

// `run` returns its outputs as a vector (any trivially copyable type); every thread count must
// give the bytes of one thread.
template <class Run>
void expect_same_bytes_at_thread_counts(Run run, const char* what = "") {
  auto one = run();
  for (int threads : {2, 3, 4}) {
    ScopedThreads scope(threads);
    auto many = run();
    ASSERT_EQ(many.size(), one.size()) << what << " at " << threads << " threads";
    EXPECT_EQ(std::memcmp(many.data(), one.data(), one.size() * sizeof(one[0])), 0)
        << what << ": bytes differ at " << threads << " threads";
  }
}

}  // namespace trevalon::testing
