// The intra-op pool: ranges cover every output once on their alignment, one thread never leaves
// the caller, errors come back to the caller, nested calls run inline, workers' buffers are freed
// on request, and a forked child gets a working pool of its own.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "test_support.h"
#include "thread_counts.h"

namespace trevalon {
namespace {

using testing::ScopedThreads;

TEST(ThreadPool, OneThreadRunsEveryTaskOnTheCallerInOrder) {
  ASSERT_EQ(num_threads(), 1);
  const auto caller = std::this_thread::get_id();
  std::vector<size_t> order;
  bool elsewhere = false;
  parallel_tasks(5, [&](size_t t) {
    order.push_back(t);
    elsewhere |= std::this_thread::get_id() != caller;
  });
  EXPECT_EQ(order, (std::vector<size_t>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(elsewhere);
  EXPECT_EQ(range_count(1000, 1), 1u);
}

TEST(ThreadPool, RangesCoverEveryItemOnceOnTheirAlignment) {
  for (int threads : {2, 3, 4, 7}) {
    ScopedThreads scope(threads);
    for (size_t items : {1u, 5u, 16u, 17u, 100u, 1001u}) {
      for (size_t align : {1u, 4u, 16u}) {
        std::vector<std::atomic<int>> hits(items);
        std::atomic<int> misaligned{0}, ranges{0};
        parallel_for(items, align, 1, [&](size_t begin, size_t end) {
          ranges.fetch_add(1);
          if (begin % align != 0) misaligned.fetch_add(1);
          for (size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
        });
        for (size_t i = 0; i < items; ++i) ASSERT_EQ(hits[i].load(), 1) << threads << " threads, item " << i;
        EXPECT_EQ(misaligned.load(), 0);
        EXPECT_LE(ranges.load(), threads);
      }
    }
    // Work below the minimum per range stays in one range, unless tests ask to split it.
    std::atomic<int> calls{0};
    parallel_for(100, 1, 64, [&](size_t, size_t) { ++calls; });
    EXPECT_EQ(calls.load(), threads);
    set_split_small_work(false);
    calls = 0;
    parallel_for(100, 1, 64, [&](size_t, size_t) { ++calls; });
    EXPECT_EQ(calls.load(), 1);
    set_split_small_work(true);
  }
}

TEST(ThreadPool, MoreTasksThanOneJobHoldsRunEachOnce) {
  ScopedThreads scope(2);
  const size_t tasks = 2 * ((size_t(1) << 20) - 1) + 3;  // three jobs' worth
  std::vector<std::atomic<unsigned char>> hits(tasks);
  parallel_tasks(tasks, [&](size_t t) { hits[t].fetch_add(1, std::memory_order_relaxed); });
  for (size_t t = 0; t < tasks; ++t) ASSERT_EQ(hits[t].load(), 1) << "task " << t;
}

TEST(ThreadPool, ErrorsReachTheCallerAndNestedCallsRunInline) {
  ScopedThreads scope(3);
  EXPECT_THROW(parallel_tasks(8, [](size_t t) {
                 if (t == 5) throw std::runtime_error("task 5 failed");
               }),
               std::runtime_error);
  std::atomic<int> inner{0};
  parallel_tasks(4, [&](size_t) {
    EXPECT_TRUE(in_parallel_region());
    EXPECT_EQ(range_count(1000, 1), 1u);
    const auto here = std::this_thread::get_id();
    parallel_tasks(3, [&](size_t) {
      EXPECT_EQ(std::this_thread::get_id(), here);
      inner.fetch_add(1);
    });
  });
  EXPECT_EQ(inner.load(), 12);
  EXPECT_FALSE(in_parallel_region());
}

TEST(ThreadPool, ThreadCountOutsideTheRangeIsRefused) {
  testing::expect_error([] { set_num_threads(0); }, "number of threads must be from 1 to 256, got 0");
  testing::expect_error([] { set_num_threads(257); }, "number of threads must be from 1 to 256, got 257");
  EXPECT_EQ(num_threads(), 1);
}

TEST(ThreadPool, ReleasingWorkFreesTheWorkersBuffers) {
  ScopedThreads scope(3);
  parallel_tasks(3, [](size_t) {});  // starts the workers
  run_on_every_thread([] { thread_work<float>(WorkBuffer::PackedF32, 4096); });
  static std::atomic<size_t> held;
  held = 0;
  run_on_every_thread([] { held.fetch_add(thread_work_held_bytes()); });
  EXPECT_GE(held.load(), 3 * 4096 * sizeof(float));
  release_thread_work();
  held = 0;
  run_on_every_thread([] { held.fetch_add(thread_work_held_bytes()); });
  EXPECT_EQ(held.load(), 0u);
}

TEST(ThreadPool, ForkedChildStartsItsOwnPool) {
  ScopedThreads scope(2);
  parallel_tasks(4, [](size_t) {});  // the parent's pool exists before the fork
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::atomic<int> done{0};
    parallel_tasks(16, [&](size_t) { done.fetch_add(1); });
    _exit(done.load() == 16 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace trevalon
