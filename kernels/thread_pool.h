// Opt-in intra-op threads. With one thread (the default) no thread is ever created and every
// kernel runs on the caller's thread. With n > 1, kernels hand out ranges of their outputs to a
// persistent pool of n - 1 workers, the caller working too; since a range is always a set of whole
// outputs, each computed exactly as the one-thread code computes it, the bytes do not depend on
// the thread count or on which thread ran which range.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace trevalon {

constexpr int kMaxThreads = 256;

// Threads the kernels may use, from 1 to kMaxThreads. Changing it joins the old workers; the new
// ones start at the next parallel call. Not to be called while a forward pass runs.
void set_num_threads(int threads);
int num_threads();

// True on a pool worker, or on the caller while it runs its own share of a parallel call.
bool in_parallel_region();

// Runs body(task) for every task in [0, tasks), the caller and the workers claiming tasks in
// increasing order; returns when all have finished. With one thread, one task, from inside a
// parallel region, or while another caller holds the pool, every task runs here in order. An
// exception thrown by a task is rethrown here after the others finish.
struct TaskBody {
  void* context;
  void (*run)(void* context, size_t task);
};
void run_parallel_tasks(size_t tasks, TaskBody body);

template <class F>
void parallel_tasks(size_t tasks, F&& body) {
  if (tasks == 0) return;
  using Body = std::remove_reference_t<F>;
  run_parallel_tasks(tasks, TaskBody{const_cast<void*>(static_cast<const void*>(&body)),
                                     [](void* context, size_t task) { (*static_cast<Body*>(context))(task); }});
}

// How many contiguous ranges to cut `items` outputs into: one per thread, fewer when a range would
// hold less than `min_items` (work too small to pay for a hand-off).
size_t range_count(size_t items, size_t min_items);

// For tests: ignore every minimum, so that small shapes split as large ones would and every range
// boundary gets exercised.
void set_split_small_work(bool split);

// Calls body(begin, end) over contiguous ranges covering [0, items): range_count(items, min_items)
// ranges of nearly equal size whose boundaries are multiples of `align` (the last range takes the
// rest). Kernels whose numbers depend on how outputs are grouped (lanes, groups of four) pass that
// grouping as `align`.
template <class F>
void parallel_for(size_t items, size_t align, size_t min_items, F&& body) {
  if (items == 0) return;
  if (align == 0) align = 1;
  const size_t blocks = (items + align - 1) / align;
  size_t ranges = range_count(items, min_items);
  if (ranges > blocks) ranges = blocks;
  if (ranges <= 1) {
    body(size_t(0), items);
    return;
  }
  parallel_tasks(ranges, [&](size_t r) {
    const size_t begin = blocks * r / ranges * align;
    const size_t end = r + 1 == ranges ? items : blocks * (r + 1) / ranges * align;
    if (begin < end) body(begin, end);
  });
}

// Runs body() once on every pool worker (and on the caller), e.g. to free their working buffers.
// Does nothing on workers when the pool has not started.
void run_on_every_thread(void (*body)());

}  // namespace trevalon
