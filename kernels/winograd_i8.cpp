// Int8 Winograd F(2x2, 3x3): weight transform, bias of the transformed domain, portable input and
// output stages, and the driver that runs them around 16 gemm_i8_raw products per tile chunk.
#include "kernels/winograd_i8.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kernels/gemm_i8.h"
#include "kernels/requantize.h"
#include "kernels/winograd_tiles.h"

namespace trevalon {
namespace {

// Transformed input plus the products of one channel group for one chunk of tile rows: about what
// stays in L2 between the input stage, the 16 products and the output stage.
constexpr size_t kChunkBytes = size_t(512) << 10;
constexpr int kMinChunkTiles = 64;
// Output channels whose 16 products are formed and transformed back together: a channel group's
// products stay in L2 however many channels the layer has, and each weight block is read once per
// chunk.
constexpr int kGroupChannels = 64;
// Bytes of transformed values (inputs, or int32 products) worth a hand-off to another thread.
constexpr size_t kMinStageBytes = size_t(256) << 10;

// U = G g G^T, G = [[1, 0, 0], [1/2, 1/2, 1/2], [1/2, -1/2, 1/2], [0, 0, 1]], rows first, each
// half taken of a sum.
void transform_3x3(const int8_t* w, float U[16]) {
  float Gg[4][3];
  for (int j = 0; j < 3; ++j) {
    const float g0 = w[j], g1 = w[3 + j], g2 = w[6 + j];
    Gg[0][j] = g0;
    Gg[1][j] = 0.5f * ((g0 + g1) + g2);
    Gg[2][j] = 0.5f * ((g0 - g1) + g2);
    Gg[3][j] = g2;
  }
  for (int i = 0; i < 4; ++i) {
    const float a = Gg[i][0], b = Gg[i][1], c = Gg[i][2];
    U[4 * i + 0] = a;
    U[4 * i + 1] = 0.5f * ((a + b) + c);
    U[4 * i + 2] = 0.5f * ((a - b) + c);
    U[4 * i + 3] = c;
  }
}

inline int32_t add_wrap(int32_t a, int32_t b) { return int32_t(uint32_t(a) + uint32_t(b)); }
inline int32_t sub_wrap(int32_t a, int32_t b) { return int32_t(uint32_t(a) - uint32_t(b)); }

// V = B^T d B, B^T = [[1, 0, -1, 0], [0, 1, 1, 0], [0, -1, 1, 0], [0, 1, 0, -1]], in 16 bits, each
// value stored as a quarter rounded half up and saturated.
void input_tile(const int16_t d[16], int8_t v[16]) {
  int16_t t[16];
  for (int j = 0; j < 4; ++j) {
    t[0 + j] = int16_t(d[0 + j] - d[8 + j]);
    t[4 + j] = int16_t(d[4 + j] + d[8 + j]);
    t[8 + j] = int16_t(d[8 + j] - d[4 + j]);
    t[12 + j] = int16_t(d[4 + j] - d[12 + j]);
  }
  for (int i = 0; i < 4; ++i) {
    const int16_t* r = t + 4 * i;
    const int16_t x[4] = {int16_t(r[0] - r[2]), int16_t(r[1] + r[2]), int16_t(r[2] - r[1]),
                          int16_t(r[1] - r[3])};
    for (int j = 0; j < 4; ++j) v[4 * i + j] = saturate_int8((x[j] + 2) >> 2);
  }
}

}  // namespace

void winograd_i8_transform_weights(const int8_t* weights, int C_out, int C_in, WinogradI8Weights& out) {
  const size_t count = size_t(std::max(C_out, 0)) * size_t(std::max(C_in, 0));
  float largest[16] = {};
  float U[16];
  for (size_t p = 0; p < count; ++p) {
    transform_3x3(weights + p * 9, U);
    for (int k = 0; k < 16; ++k) largest[k] = std::max(largest[k], std::fabs(U[k]));
  }
  float inverse[16];
  for (int k = 0; k < 16; ++k) {
    out.scales[k] = largest[k] > 0.0f ? largest[k] * 0.007874016f : 1.0f;
    inverse[k] = 1.0f / out.scales[k];
    out.matrices[k].assign(count, 0);
    out.row_sums[k].assign(size_t(std::max(C_out, 0)), 0);
  }
  for (size_t p = 0; p < count; ++p) {
    transform_3x3(weights + p * 9, U);
    const size_t o = p / size_t(C_in);
    for (int k = 0; k < 16; ++k) {
      const float q = std::round(U[k] * inverse[k]);  // ties away from zero
      const int8_t value = int8_t(std::clamp(q, -128.0f, 127.0f));
      out.matrices[k][p] = value;
      out.row_sums[k][o] += value;
    }
  }
}

void winograd_i8_bias(const int64_t* eff_bias, const int32_t* row_sums, const int32_t* row_sums5,
                      float scale5, float input_scale, int8_t in_zp, int C_out, int64_t* bias_w) {
  int32_t m5 = 0, e5 = 0;
  scale_to_multiplier(scale5 / input_scale, m5, e5);
  // scale5 comes from int8 weights (at most 288/127), so e5 stays far inside the shifts' range;
  // the clamp only keeps the shifts defined.
  e5 = std::clamp(e5, -32, 30);
  for (int o = 0; o < C_out; ++o) {
    const int64_t product = int64_t(uint64_t(int64_t(in_zp) * row_sums5[o]) * uint64_t(int64_t(m5)));
    const int64_t corr = int64_t(uint64_t(product) + (uint64_t(1) << (30 - e5))) >> (31 - e5);
    const int32_t delta = int32_t(uint32_t(uint64_t(int64_t(in_zp) * row_sums[o] - corr)));
    bias_w[o] = int64_t(uint64_t(eff_bias[o]) + uint64_t(int64_t(delta)));
  }
}

void winograd_i8_input_portable(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                                int8_t* V, size_t plane) {
  winograd_i8_input_channels(input, C, H, W, in_zp, ty0, ty1, V, plane, 0, C);
}

void winograd_i8_input_channels(const int8_t* input, int C, int H, int W, int8_t in_zp, int ty0, int ty1,
                                int8_t* V, size_t plane, int c_begin, int c_end) {
  const int tiles_x = (W + 1) / 2;
  size_t t = 0;
  for (int ty = ty0; ty < ty1; ++ty)
    for (int tx = 0; tx < tiles_x; ++tx, ++t) {
      const int8_t* pixel[16];
      winograd_tile_pixels(input, C, H, W, ty, tx, pixel);
      for (int c = c_begin; c < c_end; ++c) {
        int16_t d[16];
        int8_t v[16];
        for (int k = 0; k < 16; ++k) d[k] = pixel[k] ? pixel[k][c] : in_zp;
        input_tile(d, v);
        for (int k = 0; k < 16; ++k) V[k * plane + t * C + c] = v[k];
      }
    }
}

void winograd_i8_output_portable(const int32_t* P, size_t plane, const WinogradI8OutputArgs& a, int ty0,
                                 int ty1, int8_t* output) {
  winograd_i8_output_channels(P, plane, a, ty0, ty1, output, a.channel_begin, a.channel_end);
}

void winograd_i8_output_channels(const int32_t* P, size_t plane, const WinogradI8OutputArgs& a, int ty0,
                                 int ty1, int8_t* output, int o_begin, int o_end) {
  const int tiles_x = (a.W + 1) / 2;
  const int C_out = a.C_out;
  const size_t width = size_t(a.channel_end - a.channel_begin);
  size_t t = 0;
  for (int ty = ty0; ty < ty1; ++ty)
    for (int tx = 0; tx < tiles_x; ++tx, ++t)
      for (int o = o_begin; o < o_end; ++o) {
        const int32_t* p = P + t * width + (o - a.channel_begin);
        int32_t R[16];
        for (int k = 0; k < 16; ++k)
          R[k] = rounding_shift(saturating_rounding_doubling_high_mul(p[k * plane], a.product_mult[k]),
                                a.product_shift[k]);
        // A^T R A with A^T = [[1, 1, 1, 0], [0, 1, -1, -1]], wrapping 32-bit sums.
        int32_t u[2][4];
        for (int j = 0; j < 4; ++j) {
          u[0][j] = add_wrap(add_wrap(R[j], R[4 + j]), R[8 + j]);
          u[1][j] = sub_wrap(sub_wrap(R[4 + j], R[8 + j]), R[12 + j]);
        }
        const int32_t bias = int32_t(uint32_t(uint64_t(a.bias_w[o])));
        for (int r = 0; r < 2; ++r) {
          const int y = 2 * ty + r;
          if (y >= a.H) continue;
          const int32_t Y[2] = {add_wrap(add_wrap(u[r][0], u[r][1]), u[r][2]),
                                sub_wrap(sub_wrap(u[r][1], u[r][2]), u[r][3])};
          for (int col = 0; col < 2; ++col) {
            const int x = 2 * tx + col;
            if (x >= a.W) continue;
            output[(size_t(y) * a.W + x) * C_out + o] =
                requantize(add_wrap(Y[col], bias), a.mult[o], a.shift[o], a.out_zp);
          }
        }
      }
}

namespace {

// A tier's stages and products. With `raw_prepared` the products read the layer's row sums and
// prefetch the next matrix, and `offset_input` (when given) stores the transformed activations in
// the form that product multiplies, so that it skips its own copy.
struct WinogradI8Tier {
  WinogradI8InputStage input_stage;
  WinogradI8OutputStage output_stage;
  void (*raw)(const int8_t* A, const int8_t* packed, int32_t* out, int M, int K, int N);
  void (*raw_prepared)(const int8_t* A, size_t offset_stride, const int8_t* packed, int32_t* out, int M,
                       int K, int N, const int32_t* row_sums, const int8_t* next_packed);
  WinogradI8InputStage offset_input;
};

void winograd_i8_run(const WinogradI8Tier& tier, const int8_t* input, const int8_t* const* packed16,
                     const int32_t* const* row_sums16, const float* scales16, const int64_t* bias_w,
                     const int32_t* mult, const int32_t* shift, int8_t in_zp, float input_scale,
                     int8_t out_zp, int8_t* output, int C_in, int H, int W, int C_out, void* scratch0,
                     void* scratch1) {
  if (C_in <= 0 || H <= 0 || W <= 0 || C_out <= 0) return;
  WinogradI8OutputArgs args{};
  args.C_out = C_out;
  args.H = H;
  args.W = W;
  args.bias_w = bias_w;
  args.mult = mult;
  args.shift = shift;
  args.out_zp = out_zp;
  const float inverse_input_scale = 1.0f / input_scale;
  for (int k = 0; k < 16; ++k)
    scale_to_multiplier(scales16[k] * inverse_input_scale, args.product_mult[k], args.product_shift[k]);

  const int tiles_y = (H + 1) / 2, tiles_x = (W + 1) / 2;
  const int group = std::min(C_out, kGroupChannels);
  const size_t row_bytes = size_t(tiles_x) * 16 * (size_t(C_in) + 4 * size_t(group));
  const int min_rows = (kMinChunkTiles + tiles_x - 1) / tiles_x;
  const int rows_per_chunk = std::clamp(int(std::min<size_t>(kChunkBytes / row_bytes, size_t(tiles_y))),
                                        std::min(min_rows, tiles_y), tiles_y);
  WinogradI8InputStage input_stage = tier.input_stage;
  size_t offset_stride = 0;
  if (tier.raw_prepared && tier.offset_input && C_in % 4 == 0) {
    input_stage = tier.offset_input;
    offset_stride = size_t(C_in);
  }
  // A channel group's rows of a packed matrix are packed matrices themselves: whole 8-row block
  // columns, `column_bytes` each.
  const size_t column_bytes = size_t((C_in + 3) / 4) * 32;
  // One chunk of tile rows [ty0, ty1), its transformed inputs at V and products at P. Called outside
  // a parallel region (one band), each stage splits over outputs itself: the input stage over tile
  // rows, then channel groups, or with one group its 16 products over the matrices and its output
  // stage over tile rows; a tile row of the chunk is tiles_x consecutive rows of every matrix.
  const size_t min_stage_rows = std::max<size_t>(1, kMinStageBytes / (size_t(tiles_x) * 16 * size_t(C_in)));
  auto run_chunk = [&](int ty0, int ty1, int8_t* V, int32_t* P) {
    const int M = (ty1 - ty0) * tiles_x;
    const size_t plane_v = size_t(M) * size_t(C_in);
    parallel_for(size_t(ty1 - ty0), 1, min_stage_rows, [&](size_t begin, size_t end) {
      input_stage(input, C_in, H, W, in_zp, ty0 + int(begin), ty0 + int(end),
                  V + begin * size_t(tiles_x) * size_t(C_in), plane_v);
    });
    // Ranges of channel groups, each reusing its own part of P (a group's products take at most
    // 16 x M x group values) for its groups in turn.
    const int groups = (C_out + group - 1) / group;
    const size_t group_macs = size_t(16) * size_t(M) * size_t(C_in) * size_t(group);
    parallel_for(size_t(groups), 1, kGemmI8MinRangeMacs / group_macs + 1, [&](size_t g_begin, size_t g_end) {
      int32_t* const P_range = P + g_begin * 16 * size_t(M) * size_t(group);
      WinogradI8OutputArgs chunk_args = args;
      for (int n0 = int(g_begin) * group; n0 < std::min(C_out, int(g_end) * group); n0 += group) {
        const int n1 = std::min(C_out, n0 + group), width = n1 - n0;
        const size_t plane_p = size_t(M) * size_t(width), first_block = size_t(n0 / 8) * column_bytes;
        const size_t product_macs = size_t(M) * size_t(C_in) * size_t(width);
        parallel_for(
            16, 1, (kGemmI8MinRangeMacs + product_macs - 1) / product_macs, [&](size_t k0, size_t k1) {
              for (size_t k = k0; k < k1; ++k) {
                const int8_t* weights = packed16[k] + first_block;
                if (tier.raw_prepared) {
                  // Next come the same channels of matrix k + 1, or after the last matrix the next group.
                  const int8_t* next = k < 15       ? packed16[k + 1] + first_block
                                       : n1 < C_out ? packed16[0] + size_t(n1 / 8) * column_bytes
                                                    : nullptr;
                  tier.raw_prepared(V + k * plane_v, offset_stride, weights, P_range + k * plane_p, M, C_in,
                                    width, row_sums16 && row_sums16[k] ? row_sums16[k] + n0 : nullptr, next);
                  continue;
                }
                tier.raw(V + k * plane_v, weights, P_range + k * plane_p, M, C_in, width);
              }
            });
        chunk_args.channel_begin = n0;
        chunk_args.channel_end = n1;
        const size_t min_rows = std::max<size_t>(1, kMinStageBytes / (size_t(tiles_x) * 64 * size_t(width)));
        parallel_for(size_t(ty1 - ty0), 1, min_rows, [&](size_t begin, size_t end) {
          tier.output_stage(P_range + begin * size_t(tiles_x) * size_t(width), plane_p, chunk_args,
                            ty0 + int(begin), ty0 + int(end), output);
        });
      }
    });
  };
  // With threads, bands of tile rows run their chunks on their own, each band in its own part of
  // both scratch buffers (16 x tiles x C_in bytes and 16 x tiles x C_out int32 hold every band's),
  // reused from chunk to chunk as one thread reuses the whole buffer. A band cut from the image
  // is cut into chunks of equal rows. Bands hold at least a chunk's minimum of tiles: a small
  // image rather splits the products of each chunk, so that each thread reads part of the weights.
  const size_t row_macs = size_t(tiles_x) * 16 * size_t(C_in) * size_t(C_out);
  const size_t min_band_rows = std::max<size_t>(kGemmI8MinRangeMacs / row_macs + 1, size_t(min_rows));
  parallel_for(size_t(tiles_y), 1, min_band_rows, [&](size_t band_begin, size_t band_end) {
    const int b0 = int(band_begin), b1 = int(band_end), rows = b1 - b0;
    const int chunks = (rows + rows_per_chunk - 1) / rows_per_chunk;
    const int chunk_rows = rows == tiles_y ? rows_per_chunk : (rows + chunks - 1) / chunks;
    int8_t* const V = static_cast<int8_t*>(scratch0) + band_begin * size_t(tiles_x) * 16 * size_t(C_in);
    int32_t* const P = static_cast<int32_t*>(scratch1) + band_begin * size_t(tiles_x) * 16 * size_t(group);
    for (int ty0 = b0; ty0 < b1; ty0 += chunk_rows) run_chunk(ty0, std::min(b1, ty0 + chunk_rows), V, P);
  });
}

}  // namespace

void conv2d_i8_winograd_portable(const int8_t* input, const int8_t* const* packed16,
                                 const int32_t* const* row_sums16, const float* scales16,
                                 const int64_t* bias_w, const int32_t* mult, const int32_t* shift,
                                 const float* req_scale, int8_t in_zp, float input_scale, int8_t out_zp,
                                 int8_t* output, int C_in, int H, int W, int C_out, void* scratch0,
                                 void* scratch1, void* stream) {
  static constexpr WinogradI8Tier kPortable{winograd_i8_input_portable, winograd_i8_output_portable,
                                            gemm_i8_raw_portable, nullptr, nullptr};
  winograd_i8_run(kPortable, input, packed16, row_sums16, scales16, bias_w, mult, shift, in_zp, input_scale,
                  out_zp, output, C_in, H, W, C_out, scratch0, scratch1);
}

#ifndef TREVALON_PORTABLE
void conv2d_i8_winograd_avx2(const int8_t* input, const int8_t* const* packed16,
                             const int32_t* const* row_sums16, const float* scales16, const int64_t* bias_w,
                             const int32_t* mult, const int32_t* shift, const float* req_scale, int8_t in_zp,
                             float input_scale, int8_t out_zp, int8_t* output, int C_in, int H, int W,
                             int C_out, void* scratch0, void* scratch1, void* stream) {
  static constexpr WinogradI8Tier kAvx2{winograd_i8_input_avx2, winograd_i8_output_avx2, gemm_i8_raw_avx2,
                                        nullptr, nullptr};
  winograd_i8_run(kAvx2, input, packed16, row_sums16, scales16, bias_w, mult, shift, in_zp, input_scale,
                  out_zp, output, C_in, H, W, C_out, scratch0, scratch1);
}

void conv2d_i8_winograd_avx512(const int8_t* input, const int8_t* const* packed16,
                               const int32_t* const* row_sums16, const float* scales16, const int64_t* bias_w,
                               const int32_t* mult, const int32_t* shift, const float* req_scale,
                               int8_t in_zp, float input_scale, int8_t out_zp, int8_t* output, int C_in,
                               int H, int W, int C_out, void* scratch0, void* scratch1, void* stream) {
  // The AVX-512 tier without VNNI multiplies with the AVX2 product, as its table does.
  static constexpr WinogradI8Tier kAvx512{winograd_i8_input_avx512, winograd_i8_output_avx512,
                                          gemm_i8_raw_avx2, nullptr, nullptr};
  winograd_i8_run(kAvx512, input, packed16, row_sums16, scales16, bias_w, mult, shift, in_zp, input_scale,
                  out_zp, output, C_in, H, W, C_out, scratch0, scratch1);
}

void conv2d_i8_winograd_avx512vnni(const int8_t* input, const int8_t* const* packed16,
                                   const int32_t* const* row_sums16, const float* scales16,
                                   const int64_t* bias_w, const int32_t* mult, const int32_t* shift,
                                   const float* req_scale, int8_t in_zp, float input_scale, int8_t out_zp,
                                   int8_t* output, int C_in, int H, int W, int C_out, void* scratch0,
                                   void* scratch1, void* stream) {
  static constexpr WinogradI8Tier kVnni{winograd_i8_input_avx512, winograd_i8_output_avx512,
                                        gemm_i8_raw_avx512vnni, gemm_i8_raw_prepared_avx512vnni,
                                        winograd_i8_input_avx512_offset};
  winograd_i8_run(kVnni, input, packed16, row_sums16, scales16, bias_w, mult, shift, in_zp, input_scale,
                  out_zp, output, C_in, H, W, C_out, scratch0, scratch1);
}

void conv2d_i8_winograd_avx512amx(const int8_t* input, const int8_t* const* packed16,
                                  const int32_t* const* row_sums16, const float* scales16,
                                  const int64_t* bias_w, const int32_t* mult, const int32_t* shift,
                                  const float* req_scale, int8_t in_zp, float input_scale, int8_t out_zp,
                                  int8_t* output, int C_in, int H, int W, int C_out, void* scratch0,
                                  void* scratch1, void* stream) {
  static constexpr WinogradI8Tier kAmx{winograd_i8_input_avx512, winograd_i8_output_avx512,
                                       gemm_i8_raw_avx512amx, gemm_i8_raw_prepared_avx512amx,
                                       winograd_i8_input_avx512_offset};
  winograd_i8_run(kAmx, input, packed16, row_sums16, scales16, bias_w, mult, shift, in_zp, input_scale,
                  out_zp, output, C_in, H, W, C_out, scratch0, scratch1);
}
#endif

}  // namespace trevalon
