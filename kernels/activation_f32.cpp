// Portable float activation kernels: the vector formulas lane by lane for every complete group of
// four elements, the C library for the rest.
#include "kernels/activation_f32.h"

#include <math.h>

#include "kernels/activation_lanes.h"

namespace trevalon {
namespace {

template <class Lane, class Tail>
void map_groups_of_four(const float* in, float* out, int count, Lane lane, Tail tail) {
  if (count <= 0) return;
  const int grouped = count & ~3;
  for (int i = 0; i < grouped; ++i) out[i] = lane(in[i]);
  for (int i = grouped; i < count; ++i) out[i] = tail(in[i]);
}

}  // namespace

void relu_f32_portable(float* data, int count) {
  for (int i = 0; i < count; ++i) data[i] = relu_lane(data[i]);
}

void leaky_relu_f32_portable(const float* in, float* out, int count, float alpha) {
  for (int i = 0; i < count; ++i) out[i] = leaky_relu_lane(in[i], alpha);
}

void gelu_f32_portable(float* data, int count) {
  map_groups_of_four(data, data, count, gelu_lane, gelu_tail);
}

void sigmoid_f32_portable(const float* in, float* out, int count) {
  map_groups_of_four(in, out, count, sigmoid_lane, sigmoid_tail);
}

void tanh_f32_portable(const float* in, float* out, int count) {
  map_groups_of_four(in, out, count, tanh_lane, [](float x) { return tanhf(x); });
}

void silu_f32_portable(const float* in, float* out, int count) {
  map_groups_of_four(in, out, count, silu_lane, silu_tail);
}

void exp_f32_portable(const float* in, float* out, int count) {
  map_groups_of_four(in, out, count, exp_lane, [](float x) { return expf(x); });
}

void sin_f32_portable(const float* in, float* out, int count) {
  map_groups_of_four(in, out, count, sin_lane, [](float x) { return sinf(x); });
}

}  // namespace trevalon
