// Float Winograd F(2x2, 3x3) with AVX-512: tile transforms on 16 channels per vector and the
// driver, which picks the product kernel by the number of tiles.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/gemm_f32.h"
#include "kernels/gemm_split.h"
#include "kernels/thread_pool.h"
#include "kernels/winograd_f32.h"
#include "kernels/x86/gemm_f32_avx512.h"
#include "kernels/x86/simd_f32x16.h"
#include "kernels/x86/winograd_f32_simd.h"

namespace trevalon {

void winograd_input_transform_f32_avx512(const float* input, int C, int H, int W, int tiles_w, int tile_begin,
                                         int tile_count, float* V, size_t matrix_stride) {
  winograd_input_transform_simd<F32x16>(input, C, H, W, tiles_w, tile_begin, tile_count, V, matrix_stride);
}

void winograd_output_transform_f32_avx512(const float* P, int C_out, int H, int W, int tiles_w,
                                          int tile_begin, int tile_count, const float* bias, bool relu,
                                          float* output, size_t matrix_stride) {
  winograd_output_transform_simd<F32x16>(P, C_out, H, W, tiles_w, tile_begin, tile_count, bias, relu, output,
                                         matrix_stride);
}

void conv2d_f32_winograd_avx512(const float* input, const float* const* packed16, const float* bias,
                                float* output, int C, int H, int W, int C_out, bool relu, float* scratch,
                                void* stream, const float* raw_weights) {
  conv2d_f32_winograd_prepared_avx512(input, packed16, nullptr, bias, output, C, H, W, C_out, relu);
}

namespace {

// What every block of a call shares: the shape, the product kernel and the weights it reads.
struct WinogradCall {
  const float* input;
  const float* const* packed16;
  const float* u[16];  // regrouped matrices (null: not available)
  bool ready;          // u holds all 16 before the first block (else the first block regroups them)
  bool tall;           // products on the regrouped matrices
  const float* bias;
  float* output;
  int C, H, W, C_out, tiles_w, block;
  bool relu;
};

// Tiles [t_begin, t_end) in blocks of call.block on this thread's working set.
void run_blocks(const WinogradCall& call, int t_begin, int t_end) {
  const int C = call.C, C_out = call.C_out;
  // The first weight block of a product (128 k steps of a 64-channel panel).
  constexpr size_t kStartBytes = size_t(32) << 10;
  const size_t u_floats = x86::regrouped16_floats(C, C_out);
  const size_t packed_bytes = packed_weights_f32_floats(C_out, C) * sizeof(float);
  const float* const* u = call.u;
  const size_t v_stride = winograd_matrix_stride_f32(call.block, C);
  const size_t p_stride = winograd_matrix_stride_f32(call.block, C_out);
  float* V = winograd_work_f32(16 * (v_stride + p_stride));
  float* P = V + 16 * v_stride;
  for (int t0 = t_begin; t0 < t_end; t0 += call.block) {
    const int count = t_end - t0 < call.block ? t_end - t0 : call.block;
    winograd_input_transform_f32_avx512(call.input, C, call.H, call.W, call.tiles_w, t0, count, V, v_stride);
    for (int m = 0; m < 16; ++m) {
      if (call.tall || call.ready) {
        // The first block brings the next matrix into L2 while this one computes (and, without
        // regrouped weights, regroups it next). Few tiles: each product fetches the start of the
        // next regrouped matrix; the product fetches the rest of a matrix ahead of itself.
        const bool first = call.tall && t0 == t_begin && m + 1 < 16;
        const bool start = !call.tall && m + 1 < 16;
        const float* fetch = first   ? (call.ready ? u[m + 1] : call.packed16[m + 1])
                             : start ? u[m + 1]
                                     : nullptr;
        const size_t start_bytes =
            u_floats * sizeof(float) < kStartBytes ? u_floats * sizeof(float) : kStartBytes;
        x86::gemm_f32_w16_avx512(V + m * v_stride, u[m], nullptr, P + m * p_stride, false, count, C, C_out,
                                 fetch,
                                 first   ? (call.ready ? u_floats * sizeof(float) : packed_bytes)
                                 : start ? start_bytes
                                         : 0);
        if (first && !call.ready)
          x86::regroup16_avx512(call.packed16[m + 1], C, C_out, const_cast<float*>(u[m + 1]));
      } else {
        x86::gemm_f32_panels_avx512(V + m * v_stride, call.packed16[m], nullptr, P + m * p_stride, false,
                                    count, C, C_out);
      }
    }
    winograd_output_transform_f32_avx512(P, C_out, call.H, call.W, call.tiles_w, t0, count, call.bias,
                                         call.relu, call.output, p_stride);
  }
}

}  // namespace

void conv2d_f32_winograd_prepared_avx512(const float* input, const float* const* packed16,
                                         const float* const* w16, const float* bias, float* output, int C,
                                         int H, int W, int C_out, bool relu) {
  if (C <= 0 || H <= 0 || W <= 0 || C_out <= 0 || (!packed16 && !w16)) return;
  const int tiles_h = H / 2 + H % 2, tiles_w = W / 2 + W % 2;
  const int64_t tiles64 = int64_t(tiles_h) * tiles_w;
  if (tiles64 > INT32_MAX) return;
  const int tiles = int(tiles64);

  // Many tiles: the 16 matrices are regrouped once for the tall product, and blocks of tiles
  // (whole 6-row tiles of it) keep the transformed data in L2. Few tiles: the products run on the
  // panels, over all tiles at once when that fits, so each matrix streams through the core once.
  // Prepared matrices are read in their panel form either way.
  WinogradCall call{input,
                    packed16,
                    {},
                    w16 != nullptr,
                    x86::gemm_f32_prefers_w16(tiles, C, C_out),
                    bias,
                    output,
                    C,
                    H,
                    W,
                    C_out,
                    tiles_w,
                    0,
                    relu};
  const size_t u_floats = x86::regrouped16_floats(C, C_out);
  if (w16)
    for (int m = 0; m < 16; ++m) call.u[m] = w16[m];
  const size_t macs = size_t(16) * size_t(tiles) * size_t(C) * size_t(C_out);
  const bool shared = range_count(macs, kSplitMacsF32) > 1;
  if (call.tall) {
    if (!w16) {
      // One thread regroups during the first block, each matrix just before its product, while
      // the next matrix's panels come into L2; threads regroup all 16 first, a share each.
      float* u16 = x86::regroup16_buffer(16 * u_floats);
      for (int m = 0; m < 16; ++m) call.u[m] = u16 + m * u_floats;
      if (shared) {
        parallel_tasks(16,
                       [&](size_t m) { x86::regroup16_avx512(packed16[m], C, C_out, u16 + m * u_floats); });
        call.ready = true;
      } else {
        x86::regroup16_avx512(packed16[0], C, C_out, u16);
      }
    }
    call.block = winograd_tile_block_f32(tiles, C, C_out);
    if (call.block < tiles && call.block > 6) call.block -= call.block % 6;
  } else {
    constexpr size_t kWholeBytes = size_t(2) << 20;
    const size_t all = size_t(16) * size_t(tiles) * (size_t(C) + size_t(C_out)) * sizeof(float);
    call.block = all <= kWholeBytes ? tiles : winograd_tile_block_f32(tiles, C, C_out);
  }
  if (!shared) {
    run_blocks(call, 0, tiles);
    return;
  }
  if (call.block < tiles) {
    // Several blocks: threads take ranges of tiles (whole 6-row tiles of the product), each on its
    // own working set.
    parallel_for(size_t(tiles), 6, kSplitMacsF32 / (size_t(16) * C * C_out) + 1,
                 [&](size_t begin, size_t end) { run_blocks(call, int(begin), int(end)); });
    return;
  }
  // One block: the threads share each phase, the products by matrix (each thread reading only its
  // matrices' weights).
  static constexpr WinogradTransformsF32 kTransforms{&winograd_input_transform_f32_avx512,
                                                     &winograd_output_transform_f32_avx512, nullptr};
  winograd_block_phases_f32(kTransforms, input, C, H, W, C_out, tiles, tiles_w, bias, relu, output,
                            [&](int m, const float* Vm, float* Pm) {
                              if (call.ready)
                                x86::gemm_f32_w16_avx512(Vm, call.u[m], nullptr, Pm, false, tiles, C, C_out);
                              else
                                x86::gemm_f32_panels_avx512(Vm, packed16[m], nullptr, Pm, false, tiles, C,
                                                            C_out);
                            });
}

}  // namespace trevalon
