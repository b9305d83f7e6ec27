// Weightless layers that rearrange the sequences of the speech models: length regulation (each
// position repeated by its predicted duration, scaled by the model's speed), concatenation and
// slicing along channels, a one-position reflection pad at the start, and the channel sum.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

uint64_t positions_of(const TensorShape& s) {
  return uint64_t(s.h > 0 ? s.h : 0) * uint64_t(s.w > 0 ? s.w : 0);
}

uint64_t channels_of(const TensorShape& s) { return uint64_t(s.c > 0 ? s.c : 0); }

// A shape dimension computed in 64 bits, or "node 'NAME': WHAT N exceeds 32 bits".
int32_t dimension(const ILayer& layer, const char* what, int64_t v) {
  if (v > INT32_MAX)
    throw std::runtime_error("node '" + layer.name + "': " + what + " " + std::to_string(v) +
                             " exceeds 32 bits");
  return static_cast<int32_t>(v > 0 ? v : 0);
}

std::string number_text(float v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", double(v));
  return text;
}

class ShapingLayer : public ILayer {
 public:
  bool output_is_int8() const override { return false; }
};

// Features (C, T) and T durations -> (C, total, 1): row i repeated max(1, round(d_i x scale)) times,
// rounding halves away from zero; the scale is 1/speed, handed over by the model.
class LengthRegulateFp32 final : public ShapingLayer, public DurationScaled {
 public:
  void set_duration_scale(float scale) override { scale_ = scale; }

  TensorShape output_shape(TensorShape in) const override { return in; }
  uint8_t execution_device() const override { return 0; }  // reads the durations on the host

  TensorShape runtime_output_shape(const void* const* data, const TensorShape* shapes, int n) const override {
    if (n < 2) return n < 1 ? TensorShape{} : shapes[0];
    const uint64_t T = check_durations(shapes[0], shapes[1]);
    const uint64_t total = total_positions(static_cast<const float*>(data[1]), T);
    check_output_size(channels_of(shapes[0]), total);
    return TensorShape{shapes[0].c, static_cast<int32_t>(total), 1};
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    require_inputs(*this, n, 2);
    const uint64_t C = channels_of(inputs[0].shape);
    const uint64_t T = check_durations(inputs[0].shape, inputs[1].shape);
    require_buffer(*this, inputs[0].view, T * C * sizeof(float));
    require_buffer(*this, inputs[1].view, T * sizeof(float));
    const auto* d = static_cast<const float*>(inputs[1].view.data);
    const uint64_t total = total_positions(d, T);
    check_output_size(C, total);
    const uint64_t bytes = total * C * sizeof(float);
    if (bytes > 0 && (!output.data || output.bytes < bytes))
      throw std::runtime_error("node '" + name + "': " + std::to_string(total) + " positions of " +
                               std::to_string(C) + " channels need " + std::to_string(bytes) +
                               " bytes, the output buffer holds " + std::to_string(output.bytes));
    const auto* x = static_cast<const float*>(inputs[0].view.data);
    auto* y = static_cast<float*>(output.data);
    const size_t row_bytes = size_t(C) * sizeof(float);
    for (uint64_t i = 0; i < T && row_bytes; ++i)
      for (int32_t r = repeats(d[i], i); r > 0; --r, y += C) std::memcpy(y, x + i * C, row_bytes);
    return TensorShape{inputs[0].shape.c, static_cast<int32_t>(total), 1};
  }

 private:
  // The durations hold one value per feature position, in any layout: one position of T channels
  // or T positions of one channel.
  uint64_t check_durations(const TensorShape& features, const TensorShape& durations) const {
    const uint64_t T = positions_of(features), have = element_count(durations);
    if (have != T)
      throw std::runtime_error("node '" + name + "': durations hold " + std::to_string(have) +
                               " values, expected " + std::to_string(T) +
                               ", one per position of the features");
    return T;
  }

  int32_t repeats(float d, uint64_t i) const {
    const float scaled = d * scale_;
    if (!std::isfinite(scaled))
      throw std::runtime_error("node '" + name + "': duration " + number_text(d) + " at position " +
                               std::to_string(i) + " times the duration scale " + number_text(scale_) +
                               " is not finite");
    const float r = std::round(scaled);               // halves away from zero
    if (r >= 2147483648.0f) throw_total_too_large();  // 2^31: beyond any total
    return r < 1.0f ? 1 : static_cast<int32_t>(r);
  }

  uint64_t total_positions(const float* d, uint64_t T) const {
    uint64_t total = 0;
    for (uint64_t i = 0; i < T; ++i) {
      total += uint64_t(repeats(d[i], i));
      if (total > uint64_t(INT32_MAX)) throw_total_too_large();
    }
    return total;
  }

  [[noreturn]] void throw_total_too_large() const {
    throw std::runtime_error("node '" + name +
                             "': the scaled durations add up to more than 2147483647 positions");
  }

  // The output must stay within the kernels' 32-bit sizes, so a huge total never reaches an allocation.
  void check_output_size(uint64_t C, uint64_t total) const {
    if (total * C > uint64_t(INT32_MAX))
      throw std::runtime_error("node '" + name + "': " + std::to_string(total) + " positions of " +
                               std::to_string(C) + " channels exceed 2147483647 values");
  }

  float scale_ = 1.0f;
};

// (C1, T) and (C2, T or 1) -> (C1 + C2, T): each row followed by the second input's row, or by its
// only row.
class Concat1dFp32 final : public ShapingLayer {
 public:
  explicit Concat1dFp32(const JsonValue& node) : C2_(node.get_int("C2", 0)) {}

  TensorShape output_shape(TensorShape in) const override {
    return TensorShape{dimension(*this, "C1 + C2", int64_t(in.c > 0 ? in.c : 0) + int64_t(C2_)), in.h, in.w};
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const auto& k = require_backend().kernels;
    require_inputs(*this, n, 2);
    const TensorShape a = inputs[0].shape, b = inputs[1].shape;
    const uint64_t T = positions_of(a), T2 = positions_of(b);
    if (C2_ < 0 || b.c != C2_ || (T2 != 1 && T2 != T))
      throw std::runtime_error("node '" + name + "': second input has " + std::to_string(b.c) +
                               " channels at " + std::to_string(T2) + " positions, expected C2 " +
                               std::to_string(C2_) + " channels at 1 or " + std::to_string(T) + " positions");
    const TensorShape out = output_shape(a);
    const uint64_t C1 = channels_of(a);
    require_buffer(*this, inputs[0].view, T * C1 * sizeof(float));
    require_buffer(*this, inputs[1].view, T2 * uint64_t(C2_) * sizeof(float));
    require_buffer(*this, output, T * uint64_t(out.c) * sizeof(float));
    const int positions = kernel_size(*this, T);
    kernel_size(*this, T * uint64_t(out.c));
    require_kernel(k.concat1d_f32, "concat1d_f32")(
        static_cast<const float*>(inputs[0].view.data), static_cast<const float*>(inputs[1].view.data),
        static_cast<float*>(output.data), positions, static_cast<int>(C1), C2_, T2 < 2, stream_of(ctx));
    return out;
  }

 private:
  int32_t C2_;
};

// (C, T) -> (ch_end - ch_start, T, 1): channels ch_start .. ch_end - 1 of every row.
class SliceChannelsFp32 final : public ShapingLayer {
 public:
  explicit SliceChannelsFp32(const JsonValue& node)
      : start_(node.get_int("ch_start", 0)), end_(node.get_int("ch_end", 0)) {}

  TensorShape output_shape(TensorShape in) const override {
    return TensorShape{dimension(*this, "channel count", int64_t(end_) - int64_t(start_)),
                       dimension(*this, "positions", int64_t(positions_of(in))), 1};
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const auto& k = require_backend().kernels;
    require_inputs(*this, n, 1);
    const TensorShape in = inputs[0].shape;
    const uint64_t C = channels_of(in);
    if (start_ < 0 || end_ < start_ || uint64_t(end_) > C)
      throw std::runtime_error("node '" + name + "': channel slice ch_start " + std::to_string(start_) +
                               " to ch_end " + std::to_string(end_) + " is not within the input's 0 to " +
                               std::to_string(C) + " channels");
    const uint64_t T = positions_of(in);
    const int count = end_ - start_;
    require_buffer(*this, inputs[0].view, T * C * sizeof(float));
    require_buffer(*this, output, T * uint64_t(count) * sizeof(float));
    const int positions = kernel_size(*this, T);
    kernel_size(*this, T * C);
    require_kernel(k.slice_channels_f32, "slice_channels_f32")(
        static_cast<const float*>(inputs[0].view.data), static_cast<float*>(output.data), positions,
        static_cast<int>(C), start_, count, stream_of(ctx));
    return output_shape(in);
  }

 private:
  int32_t start_, end_;
};

// (C, L) -> (C, L + 1, 1): input row 1, then rows 0 .. L - 1. The CPU table has no kernel for it.
class ReflectionPad1dFp32 final : public ShapingLayer {
 public:
  TensorShape output_shape(TensorShape in) const override {
    return TensorShape{in.c, dimension(*this, "padded length", int64_t(positions_of(in)) + 1), 1};
  }

  uint8_t execution_device() const override {
    const int32_t kind = require_backend().device;
    return kind == 1 || kind == 2 ? 0 : static_cast<uint8_t>(kind);
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    require_inputs(*this, n, 1);
    const TensorShape in = inputs[0].shape;
    const uint64_t L = positions_of(in), C = channels_of(in);
    if (L < 2)
      throw std::runtime_error("node '" + name + "': reflection padding needs at least 2 positions, got " +
                               std::to_string(L));
    const TensorShape out = output_shape(in);
    require_buffer(*this, inputs[0].view, L * C * sizeof(float));
    require_buffer(*this, output, (L + 1) * C * sizeof(float));
    const auto* x = static_cast<const float*>(inputs[0].view.data);
    auto* y = static_cast<float*>(output.data);
    if (C) {
      std::memcpy(y, x + C, C * sizeof(float));
      std::memcpy(y + C, x, L * C * sizeof(float));
    }
    return out;
  }
};

// (C, T) -> (1, T, 1): the sum of each row's channels.
class SumChannelsFp32 final : public ShapingLayer {
 public:
  TensorShape output_shape(TensorShape in) const override {
    return TensorShape{1, dimension(*this, "positions", int64_t(positions_of(in))), 1};
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext* ctx) override {
    const auto& k = require_backend().kernels;
    require_inputs(*this, n, 1);
    const TensorShape in = inputs[0].shape;
    const uint64_t T = positions_of(in), C = channels_of(in);
    require_buffer(*this, inputs[0].view, T * C * sizeof(float));
    require_buffer(*this, output, T * sizeof(float));
    const int positions = kernel_size(*this, T);
    kernel_size(*this, T * C);
    require_kernel(k.sum_channels_f32, "sum_channels_f32")(static_cast<const float*>(inputs[0].view.data),
                                                           static_cast<float*>(output.data), positions,
                                                           static_cast<int>(C), stream_of(ctx));
    return output_shape(in);
  }
};

}  // namespace

std::unique_ptr<ILayer> make_sequence_shaping_layer(OpType op, const JsonValue& node) {
  switch (op) {
    case OpType::LengthRegulateFp32: return std::make_unique<LengthRegulateFp32>();
    case OpType::Concat1dFp32: return std::make_unique<Concat1dFp32>(node);
    case OpType::SliceChannelsFp32: return std::make_unique<SliceChannelsFp32>(node);
    case OpType::ReflectionPad1dFp32: return std::make_unique<ReflectionPad1dFp32>();
    case OpType::SumChannelsFp32: return std::make_unique<SumChannelsFp32>();
    default: return nullptr;
  }
}

}  // namespace trevalon
