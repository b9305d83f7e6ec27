// What it costs to hand a kernel's outputs to other threads, with the engine's pool
// (parallel_tasks) and with OpenMP (#pragma omp parallel for), on the same work cut the same way:
// an empty dispatch, a 1x1 convolution of 7x7x512 (the table's gemm_f32 on 49x512x512, split over
// 64-channel panels) and a decode step's int8 matrix-vector products (the table's gemv_i8_dynamic,
// split over 16-row blocks of outputs). Every range runs the single-thread kernel on its own
// outputs, so the pool and OpenMP compute the same bytes; both are compared with the table's
// whole call at one thread. The table's own call at N threads is timed too (the kernel's own split,
// once it has one). Without OMP_WAIT_POLICY set, it runs again with OMP_WAIT_POLICY=passive.
//
//     dispatch_latency [--threads N] [--rounds R] [--quick]
#include <omp.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernels/thread_pool.h"

namespace {

using namespace trevalon;
using Clock = std::chrono::steady_clock;

double now_us() { return std::chrono::duration<double, std::micro>(Clock::now().time_since_epoch()).count(); }

double process_cpu_ms() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return 1e3 * double(ts.tv_sec) + 1e-6 * double(ts.tv_nsec);
}

// Start of range r when `blocks` blocks are cut into `ranges` nearly equal ranges (parallel_for's cut).
inline size_t range_begin(size_t blocks, size_t ranges, size_t r) { return blocks * r / ranges; }

// A call is `steps` dispatches one after another (a decode step is many products); each dispatch
// runs ranges [0, ranges) of its step, range(step, r) touching only that range's outputs.
struct Case {
  std::string name;
  size_t steps;
  size_t ranges;
  std::function<void(size_t step, size_t r)> range;
  std::function<void()> table_call;                  // the table's entry on every output of every step
  std::function<void()> clear;                       // fills both output buffers with a pattern
  std::function<std::vector<uint8_t>()> split_out;   // the ranges' outputs, in the table's layout
  std::function<std::vector<uint8_t>()> table_out;   // the table call's outputs
};

enum class Method { Table1, Serial, Pool, OpenMP, TableN };
constexpr Method kMethods[] = {Method::Table1, Method::Serial, Method::Pool, Method::OpenMP, Method::TableN};
constexpr int kMethodCount = 5;

const char* method_name(Method m) {
  switch (m) {
    case Method::Table1: return "table, 1 thread";
    case Method::Serial: return "ranges in turn";
    case Method::Pool: return "pool";
    case Method::OpenMP: return "OpenMP";
    case Method::TableN: return "table, N threads";
  }
  return "";
}

// The engine runs with N threads only in the blocks that use its pool, so that its workers never
// compete with OpenMP's and a kernel never splits again inside an OpenMP range.
void use_method(Method m, int threads) {
  set_num_threads(m == Method::Pool || m == Method::TableN ? threads : 1);
}

void call(const Case& c, Method m, int threads) {
  if (m == Method::Table1 || m == Method::TableN) {
    c.table_call();
    return;
  }
  for (size_t s = 0; s < c.steps; ++s) {
    if (m == Method::Serial) {
      for (size_t r = 0; r < c.ranges; ++r) c.range(s, r);
    } else if (m == Method::Pool) {
      parallel_tasks(c.ranges, [&](size_t r) { c.range(s, r); });
    } else {
      // Ranges claimed in turn by whichever thread is free, as the pool's tasks are.
      const long ranges = long(c.ranges);
#pragma omp parallel for num_threads(threads) schedule(dynamic, 1)
      for (long r = 0; r < ranges; ++r) c.range(s, size_t(r));
    }
  }
}

struct Timing {
  std::vector<double> hot;   // back-to-back calls
  std::vector<double> cold;  // a call after kIdle without work
  double idle_cpu_ms = 0.0;  // processor time the process used while its caller slept kIdle
  int gaps = 0;
};

// A pause between calls, as between two forward passes or two tokens.
constexpr auto kIdle = std::chrono::milliseconds(5);
// Longer than any idle spin (OpenMP's default spins for some milliseconds, the pool for 200 us).
constexpr auto kSettle = std::chrono::milliseconds(50);

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void time_block(const Case& c, Method m, int threads, int calls, Timing& t) {
  use_method(m, threads);
  call(c, m, threads);  // starts the workers, warms the caches
  for (int i = 0; i < calls; ++i) {
    const double t0 = now_us();
    call(c, m, threads);
    t.hot.push_back(now_us() - t0);
  }
  // What idle workers burn while the caller does something else, and the next call's latency.
  for (int i = 0; i < 3; ++i) {
    const double cpu0 = process_cpu_ms();
    std::this_thread::sleep_for(kIdle);
    t.idle_cpu_ms += process_cpu_ms() - cpu0;
    ++t.gaps;
    const double t0 = now_us();
    call(c, m, threads);
    t.cold.push_back(now_us() - t0);
  }
  // Let spinning workers fall asleep before the next method's block starts.
  std::this_thread::sleep_for(kSettle);
}

// Times every method in interleaved rounds (a busy machine then slows them alike), prints
// microseconds per call, and checks every method's bytes against the table's call at one thread.
bool run_case(const Case& c, int threads, int rounds, int calls) {
  Timing timing[kMethodCount];
  for (int r = 0; r < rounds; ++r)
    for (int k = 0; k < kMethodCount; ++k) time_block(c, kMethods[k], threads, calls, timing[k]);

  use_method(Method::Table1, threads);
  c.clear();
  c.table_call();
  const std::vector<uint8_t> reference = c.table_out();
  bool same[kMethodCount];
  for (int k = 0; k < kMethodCount; ++k) {
    const Method m = kMethods[k];
    use_method(m, threads);
    c.clear();
    call(c, m, threads);
    same[k] = (m == Method::Table1 || m == Method::TableN ? c.table_out() : c.split_out()) == reference;
  }
  set_num_threads(1);

  const double base = median(timing[0].hot);
  for (int k = 0; k < kMethodCount; ++k) {
    const double hot = median(timing[k].hot);
    std::printf("  %-36s %-17s %10.1f %11.1f %8.2fx %9.2f   %s\n", k == 0 ? c.name.c_str() : "",
                method_name(kMethods[k]), hot, median(timing[k].cold), base / hot, timing[k].idle_cpu_ms / timing[k].gaps,
                same[k] ? "same bytes" : "BYTES DIFFER");
  }
  const double pool = median(timing[2].hot), omp = median(timing[3].hot);
  std::printf("  %-36s OpenMP - pool: %+.1f us per call back to back, %+.1f us after %d ms idle\n\n", "", omp - pool,
              median(timing[3].cold) - median(timing[2].cold), int(kIdle.count()));
  bool ok = true;
  for (int k = 0; k < kMethodCount; ++k) ok = ok && same[k];
  return ok;
}

template <class T>
std::vector<uint8_t> bytes_of(const std::vector<T>& v) {
  std::vector<uint8_t> b(v.size() * sizeof(T));
  std::memcpy(b.data(), v.data(), b.size());
  return b;
}

// Random bytes for int8 weights: xorshift, fast enough for a few hundred megabytes.
void fill_random(std::vector<int8_t>& w, uint64_t seed) {
  uint64_t s = seed | 1;
  for (size_t i = 0; i < w.size(); ++i) {
    s ^= s << 13, s ^= s >> 7, s ^= s << 17;
    w[i] = int8_t(s >> 32);
  }
}

// A layer of int8 products for gemv_i8_dynamic: rows x cols weights, row scales and bias.
struct Gemv {
  int N, K;
  std::vector<int8_t> w;
  std::vector<float> scales, bias, x, split, whole;
};

}  // namespace

int main(int argc, char** argv) {
  int threads = 2, rounds = 5, calls = 100;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--threads" && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (a == "--quick") {
      rounds = 1, calls = 10;
    } else {
      std::fprintf(stderr, "usage: %s [--threads N] [--rounds R] [--quick]\n", argv[0]);
      return 2;
    }
  }
  if (threads < 2 || threads > kMaxThreads || rounds < 1) {
    std::fprintf(stderr, "--threads must be from 2 to %d and --rounds at least 1\n", kMaxThreads);
    return 2;
  }
  omp_set_dynamic(0);
  const KernelTable& k = cpu_backend_descriptor().kernels;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uf(-1.0f, 1.0f);
  const size_t ranges = size_t(threads);
  const float nan = std::numeric_limits<float>::quiet_NaN();

  std::printf("tier %s, %d threads, %d round(s) of %d calls per method (x10 for the empty dispatch); "
              "OMP_WAIT_POLICY=%s\n",
              cpu_tier_name(cpu_kernel_tier()), threads, rounds, calls,
              std::getenv("OMP_WAIT_POLICY") ? std::getenv("OMP_WAIT_POLICY") : "(unset)");
  std::printf("  times are medians in microseconds; 'after idle' is a call %d ms after the last one; 'idle cpu' is\n"
              "  the processor time (ms) the process used during each such pause, i.e. what waiting workers burn\n",
              int(kIdle.count()));
  std::printf("  %-36s %-17s %10s %11s %9s %9s\n", "work", "method", "us/call", "after idle", "speed-up", "idle cpu");
  bool ok = true;

  {  // An empty dispatch: each range stores its index.
    std::vector<uint32_t> split(ranges), whole(ranges);
    Case c{"empty dispatch", 1, ranges, [&](size_t, size_t r) { split[r] = uint32_t(r + 1); },
           [&] { for (size_t r = 0; r < ranges; ++r) whole[r] = uint32_t(r + 1); },
           [&] { std::fill(split.begin(), split.end(), 0u), std::fill(whole.begin(), whole.end(), 0u); },
           [&] { return bytes_of(split); }, [&] { return bytes_of(whole); }};
    ok &= run_case(c, threads, rounds, calls * 10);
  }

  {  // 1x1 convolution of 7x7x512 to 512 channels: 49 x 512 x 512 on the 4-row panels the table
     // packs. A range of 64-channel panels is a contiguous run of the packed weights; the
     // single-thread kernel writes rows of exactly the N it is given, so each range fills its own
     // 49-row block, which split_out() puts back in row-major order to compare.
    const int M = 49, K = 512, N = 512, panel = 64;
    std::vector<float> A(size_t(M) * K), W(size_t(N) * K), bias(N), whole(size_t(M) * N), split(size_t(M) * N);
    for (auto& v : A) v = uf(rng);
    for (auto& v : W) v = uf(rng);
    for (auto& v : bias) v = uf(rng);
    float* packed = k.pack_weights_f32(W.data(), N, K);
    auto channel = [&](size_t r) { return int(range_begin(size_t(N / panel), ranges, r)) * panel; };
    Case c{"1x1 conv 7x7x512->512 (gemm_f32)", 1, ranges,
           [&](size_t, size_t r) {
             const int n0 = channel(r), n1 = channel(r + 1);
             k.gemm_f32(A.data(), packed + size_t(n0) * K, bias.data() + n0, split.data() + size_t(M) * n0, true, M,
                        K, n1 - n0);
           },
           [&] { k.gemm_f32(A.data(), packed, bias.data(), whole.data(), true, M, K, N); },
           [&] { std::fill(split.begin(), split.end(), nan), std::fill(whole.begin(), whole.end(), nan); },
           [&] {
             std::vector<float> out(size_t(M) * N);
             for (size_t r = 0; r < ranges; ++r) {
               const int n0 = channel(r), n1 = channel(r + 1);
               for (int m = 0; m < M; ++m)
                 std::memcpy(&out[size_t(m) * N + size_t(n0)], &split[size_t(M) * n0 + size_t(m) * (n1 - n0)],
                             sizeof(float) * size_t(n1 - n0));
             }
             return bytes_of(out);
           },
           [&] { return bytes_of(whole); }};
    ok &= run_case(c, threads, rounds, calls);
    k.free_packed_f32(packed);
  }

  // Decode-step products of a 30-layer decoder 576 wide (576-row query and output projections,
  // 192-row key and value projections, 1536-row gate and up, 576-row down over 1536) and its
  // 49152-row head: alone, then a whole step of them, one dispatch per product.
  const int layers = 30;
  const std::pair<int, int> layer_shapes[] = {{576, 576}, {192, 576}, {192, 576}, {576, 576},
                                              {1536, 576}, {1536, 576}, {576, 1536}};
  std::vector<Gemv> step;
  for (int l = 0; l < layers; ++l)
    for (auto [n, kk] : layer_shapes) step.push_back(Gemv{n, kk, {}, {}, {}, {}, {}, {}});
  step.push_back(Gemv{49152, 576, {}, {}, {}, {}, {}, {}});
  uint64_t seed = 11;
  for (Gemv& g : step) {
    g.w.resize(size_t(g.N) * g.K);
    fill_random(g.w, seed++);
    g.scales.resize(g.N), g.bias.resize(g.N), g.x.resize(g.K), g.split.resize(g.N), g.whole.resize(g.N);
    for (auto& v : g.scales) v = 0.001f * (1.0f + uf(rng) * 0.5f);
    for (auto& v : g.bias) v = uf(rng);
    for (auto& v : g.x) v = uf(rng);
  }
  // Ranges of 16-row blocks: the kernel's row groups stay whole.
  auto gemv_range = [&](Gemv& g, size_t r) {
    const size_t blocks = size_t(g.N + 15) / 16;
    const int n0 = int(range_begin(blocks, ranges, r) * 16), n1 = std::min(g.N, int(range_begin(blocks, ranges, r + 1) * 16));
    if (n0 < n1)
      k.gemv_i8_dynamic(g.x.data(), g.w.data() + size_t(n0) * g.K, g.scales.data() + n0, g.bias.data() + n0,
                        g.split.data() + n0, g.K, n1 - n0, nullptr);
  };
  auto gemv_case = [&](std::string name, std::vector<Gemv*> products) {
    return Case{std::move(name), products.size(), ranges,
                [&, products](size_t s, size_t r) { gemv_range(*products[s], r); },
                [&, products] {
                  for (Gemv* g : products)
                    k.gemv_i8_dynamic(g->x.data(), g->w.data(), g->scales.data(), g->bias.data(), g->whole.data(), g->K,
                                      g->N, nullptr);
                },
                [&, products] {
                  for (Gemv* g : products)
                    std::fill(g->split.begin(), g->split.end(), nan), std::fill(g->whole.begin(), g->whole.end(), nan);
                },
                [&, products] {
                  std::vector<uint8_t> b;
                  for (Gemv* g : products) {
                    const auto part = bytes_of(g->split);
                    b.insert(b.end(), part.begin(), part.end());
                  }
                  return b;
                },
                [&, products] {
                  std::vector<uint8_t> b;
                  for (Gemv* g : products) {
                    const auto part = bytes_of(g->whole);
                    b.insert(b.end(), part.begin(), part.end());
                  }
                  return b;
                }};
  };
  ok &= run_case(gemv_case("gemv_i8_dynamic 1536x576", {&step[4]}), threads, rounds, calls);
  ok &= run_case(gemv_case("gemv_i8_dynamic 576x1536", {&step[6]}), threads, rounds, calls);
  ok &= run_case(gemv_case("gemv_i8_dynamic 49152x576 (head)", {&step.back()}), threads, rounds, calls);
  std::vector<Gemv*> all;
  for (Gemv& g : step) all.push_back(&g);
  const int step_calls = std::max(3, calls / 20);
  ok &= run_case(gemv_case("decode step: " + std::to_string(all.size()) + " gemv_i8_dynamic", all), threads, rounds,
                 step_calls);
  if (!ok) {
    std::printf("some outputs differ from the table's call at one thread\n");
    return 1;
  }
  // OpenMP reads its wait policy at start-up: by default its idle threads spin before sleeping,
  // which on a machine with more runnable threads than cores costs whole scheduler time slices.
  // Run once more with threads that sleep at once, so both policies are on record.
  if (!std::getenv("OMP_WAIT_POLICY")) {
    std::printf("\nagain with OMP_WAIT_POLICY=passive:\n\n");
    std::fflush(stdout);
    setenv("OMP_WAIT_POLICY", "passive", 1);
    execv("/proc/self/exe", argv);
    std::perror("execv /proc/self/exe");
    return 1;
  }
  return 0;
}
