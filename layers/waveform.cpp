// The vocoder's waveform layers: StftFp32 (waveform to magnitude and phase frames),
// IstftFp32 (frames back to a waveform by a direct windowed inverse DFT and overlap-add) and
// SineGenFp32 (an F0 track to a bank of harmonic sines). All three compute on the host; the
// tier's frame loops come through the kernel drivers.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/cpu_backend.h"
#include "kernels/thread_pool.h"
#include "kernels/thread_work.h"
#include "kernels/waveform_f32.h"
#include "layers/layer_checks.h"
#include "layers/layer_factory.h"
#include "layers/small_layer_checks.h"

namespace trevalon {
namespace {

// Beyond this an n_fft's basis or cosine count is no longer a speech-sized frame.
constexpr int32_t kMaxFft = 8192;
// A hop sets the iSTFT's output length per frame; beyond this one frame would be a second of audio.
constexpr int32_t kMaxHop = 65536;

std::string node_label(const JsonValue& node) {
  return node.type == JsonType::Object && node.contains("name") ? node.at("name").text : std::string();
}

int32_t read_fft(const JsonValue& node) {
  const int32_t n = node.get_int("n_fft", 20);
  if (n < 0 || n > kMaxFft)
    throw std::runtime_error("node '" + node_label(node) + "': n_fft " + std::to_string(n) + " is outside 0.." +
                             std::to_string(kMaxFft));
  return n;
}

int32_t read_hop(const JsonValue& node) {
  const int32_t hop = node.get_int("hop_size", 5);
  if (hop < 0)
    throw std::runtime_error("node '" + node_label(node) + "': hop_size must not be negative, got " +
                             std::to_string(hop));
  if (hop > kMaxHop)
    throw std::runtime_error("node '" + node_label(node) + "': hop_size " + std::to_string(hop) +
                             " is beyond " + std::to_string(kMaxHop));
  return hop;
}

std::string shape_text(const TensorShape& s) {
  return "(" + std::to_string(s.c) + ", " + std::to_string(s.h) + ", " + std::to_string(s.w) + ")";
}

// Samples of a one-channel signal (h x w), after refusing another channel count.
uint64_t signal_samples(const ILayer& layer, const TensorShape& in, const char* what) {
  const uint64_t L = element_count({1, in.h, in.w});
  if (in.c != 1 && L > 0)
    throw std::runtime_error("node '" + layer.name + "': " + what + " must have one channel (c = 1), got c = " +
                             std::to_string(in.c));
  return L;
}

const KernelDrivers* host_drivers() { return kernel_drivers_for(require_backend()); }

class StftFp32 final : public ILayer {
 public:
  explicit StftFp32(const JsonValue& node) : N_(read_fft(node)), hop_(read_hop(node)) {}

  bool output_is_int8() const override { return false; }
  uint8_t execution_device() const override { return 0; }

  // A stored basis replaces the built-in one only when both halves are present.
  void load_weights(WeightGetter& get) override {
    const uint64_t count = uint64_t(stft_bins(N_)) * uint64_t(N_);
    std::vector<float> real, imag;
    const bool has_real = load_tensor_exact(get, name + ".w_real", real, count);
    const bool has_imag = load_tensor_exact(get, name + ".w_imag", imag, count);
    if (has_real && has_imag) pack_basis(real.data(), imag.data());
  }

  TensorShape output_shape(TensorShape in) const override {
    return {N_ + 2, frames(uint64_t(in.h > 0 ? in.h : 0)), 1};
  }

  TensorShape runtime_output_shape(const void* const*, const TensorShape* shapes, int n) const override {
    if (n < 1) return {};
    return {N_ + 2, frames(element_count({1, shapes[0].h, shapes[0].w})), 1};
  }

  void release_scratch() override {
    std::vector<float>().swap(padded_);
    release_thread_work();
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    const KernelDrivers* drivers = host_drivers();
    require_inputs(*this, n, 1);
    const uint64_t samples = signal_samples(*this, inputs[0].shape, "waveform");
    if (samples == 0) throw std::runtime_error("node '" + name + "': waveform has no samples, expected at least 1");
    const int L = kernel_size(*this, samples);
    require_buffer(*this, inputs[0].view, samples * sizeof(float));
    const int T = frames(samples), F = stft_bins(N_), A = N_ / 2;
    const uint64_t values = uint64_t(T) * uint64_t(2 * F);
    kernel_size(*this, values);
    require_buffer(*this, output, values * sizeof(float));
    if (basis_.empty() && N_ > 0) build_basis();

    // Edge replication by half a window on each side, and one zero past the end: for odd N the
    // last frame reaches one sample beyond the padded signal.
    const float* x = static_cast<const float*>(inputs[0].view.data);
    const size_t padded_len = size_t(L) + 2 * size_t(A) + 1;
    if (padded_.size() < padded_len) padded_.resize(padded_len);
    std::fill(padded_.begin(), padded_.begin() + A, x[0]);
    std::copy(x, x + L, padded_.begin() + A);
    std::fill(padded_.begin() + A + L, padded_.begin() + 2 * A + L, x[L - 1]);
    padded_[padded_len - 1] = 0.0f;

    const size_t stride = size_t(stft_basis_stride(F));
    if (work_.size() < stride) work_.resize(stride);
    const StftFramesKernel kernel =
        drivers && drivers->stft_frames_f32 ? drivers->stft_frames_f32 : stft_frames_f32_portable;
    // Ranges of frames on the threads; the first keeps the layer's bins, the others take their own.
    float* out = static_cast<float*>(output.data);
    const size_t per_frame = size_t(N_) * stride + 1;
    parallel_for(size_t(T), 1, (size_t(1) << 18) / per_frame + 1, [&](size_t b, size_t e) {
      float* bins = b == 0 ? work_.data() : thread_work<float>(WorkBuffer::StftBins, stride);
      kernel(padded_.data() + b * size_t(hop_), int(e - b), hop_, N_, basis_.data(), out + b * 2 * size_t(F), bins);
    });
    return {2 * F, T, 1};
  }

 private:
  // L / hop + 1 frames (1 for a hop of 0).
  int32_t frames(uint64_t samples) const {
    return kernel_size(*this, (hop_ > 0 ? samples / uint64_t(hop_) : 0) + 1);
  }

  void build_basis() {
    const size_t count = size_t(stft_bins(N_)) * size_t(N_);
    std::vector<float> real(count), imag(count);
    stft_hann_basis_f32(N_, real.data(), imag.data());
    pack_basis(real.data(), imag.data());
  }

  void pack_basis(const float* real, const float* imag) {
    basis_.assign(size_t(N_) * size_t(stft_basis_stride(stft_bins(N_))), 0.0f);
    stft_pack_basis_f32(real, imag, N_, basis_.data());
  }

  int32_t N_, hop_;
  std::vector<float> basis_;  // N rows of stft_basis_stride(F): real bins, then imaginary bins
  std::vector<float> padded_, work_;
};

class IstftFp32 final : public ILayer {
 public:
  explicit IstftFp32(const JsonValue& node)
      : N_(read_fft(node)), hop_(read_hop(node)), normalized_(node.get_bool("normalized")) {
    window_.resize(size_t(N_));
    istft_window_f32(N_, window_.data());
    window_sq_.resize(size_t(N_));
    for (int n = 0; n < N_; ++n) window_sq_[n] = window_[n] * window_[n];
  }

  bool output_is_int8() const override { return false; }
  uint8_t execution_device() const override {
    const BackendDescriptor* b = active_backend_descriptor();
    const int32_t device = b ? b->device : 0;
    return device == 1 || device == 2 ? 0 : static_cast<uint8_t>(device);
  }

  // The overlap-add buffer, N + hop (T - 1) samples; the trimmed signal is written at its start.
  TensorShape output_shape(TensorShape in) const override {
    const int64_t T = int64_t(element_count({1, in.h, in.w}));
    return {1, kernel_size(*this, uint64_t(std::max<int64_t>(0, N_ + int64_t(hop_) * (T - 1)))), 1};
  }

  void release_scratch() override {
    std::vector<float>().swap(frames_);
    std::vector<float>().swap(work_);
    release_thread_work();
  }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    const KernelDrivers* drivers = host_drivers();
    require_inputs(*this, n, 2);
    const TensorShape ms = inputs[0].shape, ps = inputs[1].shape;
    if (!(ms == ps))
      throw std::runtime_error("node '" + name + "': magnitudes " + shape_text(ms) + " and phases " +
                               shape_text(ps) + " must have the same shape");
    const int F = stft_bins(N_), A = N_ / 2;
    const uint64_t frames = element_count({1, ms.h, ms.w});
    if (frames > 0 && ms.c != F)
      throw std::runtime_error("node '" + name + "': magnitudes have " + std::to_string(ms.c) +
                               " channels, expected " + std::to_string(F) + " (n_fft " + std::to_string(N_) +
                               ")");
    const uint64_t values = frames * uint64_t(F);
    kernel_size(*this, values);
    require_buffer(*this, inputs[0].view, values * sizeof(float));
    require_buffer(*this, inputs[1].view, values * sizeof(float));
    if (frames == 0) return {1, 0, 1};
    const int T = static_cast<int>(frames);
    const int Lb = kernel_size(*this, uint64_t(N_) + uint64_t(hop_) * uint64_t(T - 1));
    require_buffer(*this, output, uint64_t(Lb) * sizeof(float));

    const float* mag = static_cast<const float*>(inputs[0].view.data);
    const float* phase = static_cast<const float*>(inputs[1].view.data);
    float* buf = static_cast<float*>(output.data);
    const IstftFramesKernel kernel =
        drivers && drivers->istft_frames_f32 ? drivers->istft_frames_f32 : istft_frames_f32_portable;
    const int block = std::min(T, kFrameBlock);
    const size_t frame_floats = (size_t(block) * size_t(N_) + 15) / 16 * 16;
    const size_t work_floats = size_t(istft_work_floats(N_));
    if (frames_.size() < frame_floats) frames_.resize(frame_floats);
    if (work_.size() < work_floats) work_.resize(work_floats);
    // Ranges of output samples on the threads: each synthesises the frames that reach its samples
    // (a frame reaching two ranges is synthesised by both, the same way) and adds them in frame
    // order into its samples alone. The first range keeps the layer's buffers.
    const size_t per_sample = size_t(N_) * size_t(F) / size_t(std::max(hop_, 1)) + 1;
    parallel_for(size_t(Lb), 1, (size_t(1) << 15) / per_sample + 1, [&](size_t b, size_t e) {
      std::fill(buf + b, buf + e, 0.0f);
      float* own = b == 0 ? nullptr : thread_work<float>(WorkBuffer::IstftFrames, frame_floats + work_floats);
      float* frames = own ? own : frames_.data();
      float* work = own ? own + frame_floats : work_.data();
      const FrameRange reach = frames_reaching(int64_t(b), int64_t(e), T);
      for (int t0 = reach.first; t0 < reach.end; t0 += block) {
        const int count = std::min(block, reach.end - t0);
        kernel(mag + size_t(t0) * F, phase + size_t(t0) * F, count, N_, window_.data(), frames, work);
        for (int t = 0; t < count; ++t) {
          const int64_t start = int64_t(t0 + t) * hop_;  // the frame's first sample
          const int64_t lo = std::max<int64_t>(int64_t(b), start), hi = std::min<int64_t>(int64_t(e), start + N_);
          const float* src = frames + size_t(t) * N_;
          for (int64_t k = lo; k < hi; ++k) buf[k] += src[k - start];
        }
      }
    });

    const int out_len = Lb - 2 * A;
    for (int k = 0; k < out_len; ++k) {
      const float v = buf[A + k];
      if (normalized_) {
        const float e = envelope(A + k, T);
        buf[k] = e > 1e-8f ? v / e : 0.0f;
      } else {
        buf[k] = v;
      }
    }
    return {1, out_len, 1};
  }

 private:
  static constexpr int kFrameBlock = 256;

  // Frames [first, end) whose samples t hop .. t hop + N - 1 meet samples [b, e).
  struct FrameRange {
    int first, end;
  };
  FrameRange frames_reaching(int64_t b, int64_t e, int T) const {
    if (hop_ == 0) return b < N_ ? FrameRange{0, T} : FrameRange{0, 0};
    const int64_t first = b < N_ ? 0 : (b - N_) / hop_ + 1;
    const int64_t end = std::min<int64_t>(T, (e - 1) / hop_ + 1);
    return FrameRange{int(first), int(std::max(first, end))};
  }

  // Sum over frames t (in order) of window[k - t hop]^2 where the window covers sample k.
  float envelope(int k, int T) const {
    float e = 0.0f;
    if (hop_ == 0) {
      if (k < N_)
        for (int t = 0; t < T; ++t) e += window_sq_[k];
      return e;
    }
    const int first = k < N_ ? 0 : (k - N_ + hop_) / hop_;
    const int last = std::min(T - 1, k / hop_);
    for (int t = first; t <= last; ++t) e += window_sq_[k - t * hop_];
    return e;
  }

  int32_t N_, hop_;
  bool normalized_;
  std::vector<float> window_, window_sq_;
  std::vector<float> frames_, work_;
};

class SineGenFp32 final : public ILayer {
 public:
  explicit SineGenFp32(const JsonValue& node) {
    p_.sample_rate = node.get_int("sample_rate", 24000);
    const int32_t harmonic_num = node.get_int("harmonic_num", 8);
    p_.sine_amp = node.get_float("sine_amp", 0.1f);
    p_.voiced_threshold = node.get_float("voiced_threshold", 10.0f);
    p_.noise_std = node.get_float("noise_std", 0.0f);
    p_.upsample_scale = node.get_int("upsample_scale", 0);
    if (p_.sample_rate <= 0)
      throw std::runtime_error("node '" + node_label(node) + "': sample_rate must be positive, got " +
                               std::to_string(p_.sample_rate));
    if (harmonic_num < 0 || harmonic_num > 1023)
      throw std::runtime_error("node '" + node_label(node) + "': harmonic_num " + std::to_string(harmonic_num) +
                               " is outside 0..1023");
    p_.harmonics = harmonic_num + 1;
  }

  bool output_is_int8() const override { return false; }
  uint8_t execution_device() const override { return 0; }
  TensorShape output_shape(TensorShape in) const override { return {p_.harmonics, in.h, in.w}; }

  void release_scratch() override { std::vector<double>().swap(work_); }

  TensorShape forward(const TensorRef* inputs, int n, BufferView output, ExecContext*) override {
    const KernelDrivers* drivers = host_drivers();
    require_inputs(*this, n, 1);
    const uint64_t samples = signal_samples(*this, inputs[0].shape, "F0 track");
    const int L = kernel_size(*this, samples);
    kernel_size(*this, samples * uint64_t(p_.harmonics));
    require_buffer(*this, inputs[0].view, samples * sizeof(float));
    require_buffer(*this, output, samples * uint64_t(p_.harmonics) * sizeof(float));
    const size_t doubles = size_t(sine_gen_work_floats(L, p_) + 1) / 2;
    if (work_.size() < doubles) work_.resize(doubles);
    sine_gen_f32(static_cast<const float*>(inputs[0].view.data), L, p_, static_cast<float*>(output.data),
                 reinterpret_cast<float*>(work_.data()), kernels(drivers));
    return output_shape(inputs[0].shape);
  }

 private:
  static SineGenKernels kernels(const KernelDrivers* d) {
    if (d && d->waveform_sin_f32 && d->waveform_gaussian_f32) return {d->waveform_sin_f32, d->waveform_gaussian_f32};
    return {waveform_sin_f32_portable, waveform_gaussian_f32_portable};
  }

  SineGenParams p_{};
  std::vector<double> work_;  // the low-rate phase sums, or the phase accumulators
};

}  // namespace

std::unique_ptr<ILayer> make_waveform_layer(OpType op, const JsonValue& node) {
  switch (op) {
    case OpType::StftFp32: return std::make_unique<StftFp32>(node);
    case OpType::IstftFp32: return std::make_unique<IstftFp32>(node);
    case OpType::SineGenFp32: return std::make_unique<SineGenFp32>(node);
    default: return nullptr;
  }
}

}  // namespace trevalon
