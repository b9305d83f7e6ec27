// The attention core of a decoder (slot causal_attn_core_f32): rotary position embedding of the
// new queries and keys, the key/value cache rows they append, and causal softmax attention with
// grouped key/value heads over every cached position.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trevalon {

// Floats the kernel's scratch must hold for T new positions after P cached ones: the copied
// query and key rows, one score row of P + T per query head and position, and a transposed block
// of keys (16 positions by the head's dimensions) and the head's rotary frequencies.
inline uint64_t causal_attn_scratch_floats(int T, int P, int num_q_heads, int num_kv_heads, int head_dim) {
  const uint64_t t = uint64_t(T), nq = uint64_t(num_q_heads), hd = uint64_t(head_dim);
  return t * (nq * (uint64_t(P) + t) + hd * (nq + uint64_t(num_kv_heads))) + 17 * hd + 16;
}

// Floats of a cache for `capacity` positions: the key block, then the value block, each capacity
// rows of num_kv_heads x head_dim.
inline uint64_t causal_attn_cache_floats(int capacity, int num_kv_heads, int head_dim) {
  return 2 * uint64_t(capacity) * uint64_t(num_kv_heads) * uint64_t(head_dim);
}

// q: T x (num_q_heads x head_dim), k and v: T x (num_kv_heads x head_dim), row-major.
// Positions 0..P-1 of `cache` hold earlier rotated keys and raw values; the kernel appends rows
// P..P+T-1 and writes `out` (the layout of q). Query head g reads key/value head
// g / (num_q_heads / num_kv_heads). Keys and queries are rotated at absolute position
// rope_offset + t. Every score is one fused chain over the head's dimensions in order, then times
// 1/sqrt(head_dim); softmax over the L = P + t + 1 visible positions (exp as the activation
// kernels' polynomial, the total summed in position order); the output is one fused chain over
// the positions in order. Does nothing when P + T exceeds `capacity` or a size is not positive
// (the layer refuses those first). `flag` and `stream` are not read.
void causal_attn_core_f32_portable(const float* q, const float* k, const float* v, float* cache, int P,
                                   int capacity, float* out, int T, float rope_theta, int num_q_heads,
                                   int num_kv_heads, int head_dim, int rope_offset, uint8_t flag,
                                   float* scratch, void* stream);

#ifndef TREVALON_PORTABLE
void causal_attn_core_f32_avx2(const float* q, const float* k, const float* v, float* cache, int P,
                               int capacity, float* out, int T, float rope_theta, int num_q_heads,
                               int num_kv_heads, int head_dim, int rope_offset, uint8_t flag, float* scratch,
                               void* stream);
void causal_attn_core_f32_avx512(const float* q, const float* k, const float* v, float* cache, int P,
                                 int capacity, float* out, int T, float rope_theta, int num_q_heads,
                                 int num_kv_heads, int head_dim, int rope_offset, uint8_t flag,
                                 float* scratch, void* stream);
#endif

}  // namespace trevalon
