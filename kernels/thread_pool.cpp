// The pool behind parallel_tasks: n - 1 workers that claim task indices from a shared counter.
// Workers spin briefly after a job (the next layer usually follows within microseconds), then
// sleep on a futex until the next one, so an idle pool costs no processor time.
#include "kernels/thread_pool.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace trevalon {
namespace {

thread_local bool t_in_region = false;

// How long a worker (or a caller waiting for its workers) polls before sleeping.
constexpr auto kSpin = std::chrono::microseconds(200);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Polls `done` for up to kSpin, yielding now and then so that more threads than cores still
// progress; answers whether it came true.
template <class Done>
bool spin_until(Done done) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned i = 1;; ++i) {
    if (done()) return true;
    if (i % 64 == 0) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::yield();
    } else {
      cpu_relax();
    }
  }
}

class Pool {
 public:
  explicit Pool(int workers) {
    // Workers never take signals: the caller's thread (Python's main thread) handles them.
    struct BlockSignals {
      sigset_t old;
      BlockSignals() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
      }
      ~BlockSignals() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
    } blocked;
    try {
      threads_.reserve(size_t(workers));
      for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
    } catch (const std::exception& e) {
      stop();
      throw std::runtime_error("could not start " + std::to_string(workers) + " worker threads: " + e.what());
    }
  }

  ~Pool() { stop(); }

  int workers() const { return int(threads_.size()); }

  // The caller holds `busy`. The caller waits for the tasks, not for the workers: a worker that
  // wakes late (descheduled on a busy machine) finds nothing left to claim and is not waited for.
  void run(size_t tasks, TaskBody body) {
    for (size_t first = 0; first < tasks; first += kMaxTasksPerJob) {
      const size_t count = std::min(tasks - first, kMaxTasksPerJob);
      run_job(uint64_t(count), first > 0 ? offset_body(body, first) : body);
    }
  }

  // Runs body() once on every worker and on the caller; waits for all of them.
  void run_on_every_worker(void (*body)()) {
    every_ = body;
    pending_.store(workers(), std::memory_order_relaxed);
    const uint32_t generation = next_generation();
    every_generation_.store(generation, std::memory_order_relaxed);
    publish(generation);
    body();
    wait_for_zero(pending_);
    every_generation_.store(0, std::memory_order_relaxed);  // a later job may reuse the number
  }

  std::mutex busy;  // one caller at a time; others run their tasks alone

 private:
  // A job's claim word: generation (24 bits) | next task (20 bits) | task count (20 bits), so a
  // worker still holding an earlier generation can never claim a task of the current job.
  static constexpr size_t kMaxTasksPerJob = (size_t(1) << 20) - 1;
  static uint64_t claim_word(uint32_t generation, uint64_t next, uint64_t tasks) {
    return (uint64_t(generation & 0xffffff) << 40) | (next << 20) | tasks;
  }

  TaskBody offset_body(TaskBody body, size_t first) {
    offset_ = OffsetBody{body, first};
    return TaskBody{&offset_, [](void* context, size_t task) {
                      auto* o = static_cast<OffsetBody*>(context);
                      o->body.run(o->body.context, task + o->first);
                    }};
  }

  // Never 0, which a worker that has seen nothing yet holds.
  void stop() {
    stop_.store(true, std::memory_order_relaxed);
    publish(next_generation());
    for (std::thread& t : threads_) t.join();
  }

  uint32_t next_generation() {
    const uint32_t next = generation_.load(std::memory_order_relaxed) + 1;
    return next != 0 ? next : 1;
  }

  void publish(uint32_t generation) {
    generation_.store(generation, std::memory_order_release);
    generation_.notify_all();
  }

  void run_job(uint64_t tasks, TaskBody body) {
    body_ = body;
    error_ = nullptr;
    done_.store(0, std::memory_order_relaxed);
    const uint32_t generation = next_generation();
    claim_.store(claim_word(generation, 0, tasks), std::memory_order_relaxed);
    publish(generation);
    t_in_region = true;
    claim_and_run(generation);
    t_in_region = false;
    if (!spin_until([&] { return done_.load(std::memory_order_acquire) == tasks; })) {
      for (uint64_t done; (done = done_.load(std::memory_order_acquire)) != tasks;)
        done_.wait(done, std::memory_order_acquire);
    }
    if (error_) std::rethrow_exception(error_);
  }

  // Claims and runs tasks of `generation` until none is left.
  void claim_and_run(uint32_t generation) {
    uint64_t word = claim_.load(std::memory_order_acquire);
    for (;;) {
      const uint64_t tasks = word & 0xfffff, next = (word >> 20) & 0xfffff;
      if ((word >> 40) != (generation & 0xffffff) || next >= tasks) return;
      if (!claim_.compare_exchange_weak(word, word + (uint64_t(1) << 20), std::memory_order_acq_rel))
        continue;
      try {
        body_.run(body_.context, size_t(next));
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex_);
        if (!error_) error_ = std::current_exception();
      }
      if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == tasks) done_.notify_all();
      word = claim_.load(std::memory_order_acquire);
    }
  }

  template <class Counter>
  static void wait_for_zero(Counter& counter) {
    if (spin_until([&] { return counter.load(std::memory_order_acquire) == 0; })) return;
    for (int left; (left = counter.load(std::memory_order_acquire)) != 0;)
      counter.wait(left, std::memory_order_acquire);
  }

  void work() {
    t_in_region = true;
    uint32_t seen = 0;
    for (;;) {
      if (!spin_until([&] { return generation_.load(std::memory_order_acquire) != seen; }))
        generation_.wait(seen, std::memory_order_acquire);
      seen = generation_.load(std::memory_order_acquire);
      if (stop_.load(std::memory_order_relaxed)) return;
      if (every_generation_.load(std::memory_order_relaxed) == seen) {
        every_();
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) pending_.notify_all();
      } else {
        claim_and_run(seen);
      }
    }
  }

  struct OffsetBody {
    TaskBody body;
    size_t first;
  };

  std::vector<std::thread> threads_;
  TaskBody body_{};
  OffsetBody offset_{};
  void (*every_)() = nullptr;
  std::atomic<uint64_t> claim_{0};
  std::atomic<uint64_t> done_{0};
  std::atomic<uint32_t> generation_{0};
  std::atomic<uint32_t> every_generation_{0};
  std::atomic<int> pending_{0};
  std::atomic<bool> stop_{false};
  std::mutex error_mutex_;
  std::exception_ptr error_;
};

std::atomic<int> g_threads{1};
std::atomic<bool> g_split_small{false};
std::mutex g_pool_mutex;  // guards g_pool's creation and replacement
Pool* g_pool = nullptr;

// Joins the workers when the process exits normally.
struct PoolOwner {
  ~PoolOwner() {
    std::lock_guard<std::mutex> lock(g_pool_mutex);
    delete g_pool;
    g_pool = nullptr;
  }
} g_pool_owner;

// A child of fork() has only the forking thread: the parent's workers are not there, so the
// child forgets their pool (without joining threads it does not have) and starts its own.
void lock_before_fork() { g_pool_mutex.lock(); }
void unlock_after_fork() { g_pool_mutex.unlock(); }
void forget_pool_in_child() {
  g_pool = nullptr;  // deliberately leaked: destroying it would join threads that do not exist
  g_pool_mutex.unlock();
}

// The pool for the current thread count, created on first use and returned with its `busy` lock
// held (taken under g_pool_mutex, so set_num_threads cannot delete it in between). Null with one
// thread, or when another caller holds the pool.
Pool* lock_current_pool() {
  const int threads = g_threads.load(std::memory_order_relaxed);
  if (threads <= 1) return nullptr;
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  static const bool fork_handlers = [] {
    pthread_atfork(lock_before_fork, unlock_after_fork, forget_pool_in_child);
    return true;
  }();
  (void)fork_handlers;
  if (!g_pool) g_pool = new Pool(threads - 1);
  return g_pool->busy.try_lock() ? g_pool : nullptr;
}

}  // namespace

void set_num_threads(int threads) {
  if (threads < 1 || threads > kMaxThreads)
    throw std::runtime_error("number of threads must be from 1 to " + std::to_string(kMaxThreads) + ", got " +
                             std::to_string(threads));
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  g_threads.store(threads, std::memory_order_relaxed);
  if (g_pool && g_pool->workers() != threads - 1) {
    { std::lock_guard<std::mutex> idle(g_pool->busy); }
    delete g_pool;
    g_pool = nullptr;
  }
}

int num_threads() { return g_threads.load(std::memory_order_relaxed); }

bool in_parallel_region() { return t_in_region; }

void set_split_small_work(bool split) { g_split_small.store(split, std::memory_order_relaxed); }

size_t range_count(size_t items, size_t min_items) {
  const size_t threads = size_t(num_threads());
  if (threads <= 1 || t_in_region) return 1;
  if (g_split_small.load(std::memory_order_relaxed)) min_items = 1;
  const size_t by_size = min_items > 0 ? items / min_items : items;
  return by_size < threads ? (by_size > 0 ? by_size : 1) : threads;
}

void run_parallel_tasks(size_t tasks, TaskBody body) {
  Pool* pool = tasks > 1 && !t_in_region ? lock_current_pool() : nullptr;
  if (pool) {
    std::lock_guard<std::mutex> lock(pool->busy, std::adopt_lock);
    pool->run(tasks, body);
    return;
  }
  for (size_t t = 0; t < tasks; ++t) body.run(body.context, t);
}

void run_on_every_thread(void (*body)()) {
  if (!t_in_region) {
    std::lock_guard<std::mutex> lock(g_pool_mutex);
    if (g_pool) {
      std::lock_guard<std::mutex> busy(g_pool->busy);
      g_pool->run_on_every_worker(body);
      return;
    }
  }
  body();
}

}  // namespace trevalon
