// InferenceModel: an executable graph built from an architecture file and a weights file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "arch/arch_loader.h"
#include "backend/allocator.h"
#include "layers/layer.h"

namespace trevalon {

// A tensor crossing the model boundary: borrowed data for inputs, owned storage for outputs.
struct ModelTensor {
  const void* data = nullptr;
  std::vector<int32_t> shape;
  std::string dtype = "float32";  // anything but exactly "int8" means float32
  std::vector<uint8_t> storage;
};

using TensorMap = std::unordered_map<std::string, ModelTensor>;

// Receives each declared output in turn and answers where (host memory, `bytes` long) the model
// copies its elements; lets a caller fill its own arrays without an intermediate copy.
using OutputSink = std::function<void*(const std::string& name, const std::vector<int32_t>& shape,
                                       bool is_int8, uint64_t bytes)>;

// What the model keeps between nodes and calls; the constructor takes the number.
enum class MemoryMode : int32_t {
  Keep = 0,                     // every buffer kept for the model's life, slot buffers sized ahead
  Release = 1,                  // scratch released after every node, every buffer after every call
  ReleaseWithLayerScratch = 2,  // as Release, and each layer's own scratch after it runs
};
// The mode a constructor argument selects; numbers other than 1 and 2 mean Keep.
MemoryMode memory_mode_from(int32_t value);

class InferenceModel {
 public:
  // memory_mode: a MemoryMode number (other values behave as Keep).
  InferenceModel(const std::string& arch_path, const std::string& weights_path, int32_t memory_mode = 0);
  ~InferenceModel();
  InferenceModel(const InferenceModel&) = delete;
  InferenceModel& operator=(const InferenceModel&) = delete;

  TensorMap forward(const TensorMap& inputs);
  void forward(const TensorMap& inputs, const OutputSink& sink);

  const std::string& model_name() const { return model_name_; }
  const std::vector<InputSpec>& inputs() const { return inputs_; }
  const std::vector<std::string>& output_names() const { return output_names_; }
  const std::vector<GraphNode>& nodes() const { return nodes_; }
  int32_t slot_count() const { return slot_count_; }
  // Slot of a tensor name, or -1.
  int32_t slot_of(const std::string& name) const;
  bool slot_is_int8(int32_t slot) const { return slot_is_int8_.at(slot) != 0; }
  uint64_t slot_buffer_bytes(int32_t slot) const { return slot_buffers_.at(slot).bytes; }
  uint64_t peak_tensor_bytes() const { return peak_tensor_bytes_; }

  // The key/value cache of the causal attention cores: one position count for all of them, one
  // capacity. A pass of T positions appends them after the kv_positions() already held.
  int32_t kv_positions() const { return kv_positions_; }
  int32_t kv_capacity() const { return kv_capacity_; }
  // Forgets every held position (the caches are overwritten from position 0 on).
  void reset_kv_cache() { kv_positions_ = 0; }
  // Reallocates every cache for `capacity` positions and forgets the held ones; a negative
  // capacity throws and changes nothing.
  void set_kv_capacity(int64_t capacity);

  // Profiling and speed.
  void set_profile_enabled(bool enabled) { profile_enabled_ = enabled; }
  bool profile_enabled() const { return profile_enabled_; }
  // Accumulated milliseconds by op name and by node name, over every node timed since the last reset.
  std::unordered_map<std::string, double> op_profile() const;
  std::unordered_map<std::string, double> layer_profile() const;
  void reset_profile();
  // Throws "speed must be a positive finite value" for 0, negatives, infinities and NaN.
  void set_speed(float speed);
  float speed() const { return speed_; }

 private:
  struct NodePlan {
    std::vector<int32_t> input_ids;    // tensor ids of the node's inputs, in order
    int32_t output_id = -1;            // tensor id of the first output, -1 without outputs
    std::vector<int32_t> input_slots;  // -1 where the name has no slot
    int32_t output_slot = -1;
    ILayer* layer = nullptr;
    bool fused_into_producer = false;  // an addition the convolution before it already computed
    bool uses_kv_cache = false;        // the layer reads the position offset and keeps a cache
    bool profiled = false;             // timed at least once since the last reset
    double profile_ms = 0;             // kept per node so timing a node touches no map on the forward path
  };

  // Marks each addition whose operand a convolution can finish in its epilogue (fused_conv_of_,
  // fused_add_of_) and tells that convolution.
  void plan_fusions(const std::unordered_map<std::string, ILayer*>& layer_by_name);
  void assign_slots();
  // Plans from the inputs found by this call (`supplied_` entries; all null at construction).
  void plan_buffers();
  // An omitted input keeps its slot's contents only when they are still its own.
  void check_omitted_input(size_t k) const;
  // Element type and shape against the declaration; throws before anything is bound.
  void check_supplied_input(const InputSpec& input_spec, const ModelTensor& tensor) const;
  void bind_input(const InputSpec& input_spec, const ModelTensor& tensor);
  TensorShape run_node(size_t index);
  // Positions this pass would append to the caches (from the planned shapes); throws "KV cache
  // full" when they do not fit.
  int32_t kv_positions_requested() const;
  // A fused addition: no work, its slot and its place in the profile.
  TensorShape finish_fused(NodePlan& plan);
  // `staged`: the layer runs on another device than the backend's; run_node has already put its
  // inputs in host memory, and its output goes through host staging here.
  TensorShape run_layer(ILayer& layer, TensorRef* refs, int n, BufferView output, ExecContext& ctx,
                        bool staged);
  bool releases_buffers() const { return memory_mode_ != MemoryMode::Keep; }
  void release_transient_buffers();
  uint64_t slot_bytes_for(int32_t slot, const TensorShape& shape, const char* what) const;
  int32_t tensor_id(const std::string& name);

  std::string model_name_;
  std::vector<InputSpec> inputs_;
  std::vector<std::string> output_names_;
  std::vector<GraphNode> nodes_;
  std::vector<std::unique_ptr<ILayer>> layers_;

  int32_t slot_count_ = 0;
  std::unordered_map<std::string, int32_t> slot_of_;
  std::vector<int32_t> slot_is_int8_;
  std::vector<uint8_t> slot_alloc_elem_size_;  // 4 when any producer of the slot writes float32
  std::vector<Buffer> slot_buffers_;
  std::vector<TensorShape> slot_shapes_;
  Buffer scratch_buffers_[kScratchBuffers];
  void* stream_ = nullptr;
  Allocator* allocator_ = nullptr;

  bool profile_enabled_ = false;
  MemoryMode memory_mode_ = MemoryMode::Keep;
  float speed_ = 1.0f;

  int32_t kv_positions_ = 0;
  int32_t kv_capacity_ = 0;
  bool has_kv_cache_ = false;      // some layer keeps a cache
  uint64_t kv_run_positions_ = 0;  // positions the cores of the current pass append

  Buffer host_input_mirrors_[kMaxLayerInputs];
  Buffer host_output_staging_;
  Buffer host_scratch_buffers_[kScratchBuffers];

  // Planning state, sized once so a forward pass allocates nothing.
  std::unordered_map<std::string, int32_t> tensor_ids_;
  std::vector<NodePlan> node_plans_;
  std::vector<int32_t> input_tensor_ids_;
  std::vector<const ModelTensor*> supplied_;  // per declared input, this call's tensor or null
  std::vector<uint8_t> input_bound_;          // its slot holds data a call supplied
  std::vector<uint8_t> input_slot_shared_;    // a node output reuses its slot
  std::vector<TensorShape> planned_shapes_;   // per tensor id
  std::vector<uint64_t> slot_max_elements_;
  uint64_t peak_tensor_bytes_ = 0;
  std::vector<int32_t> fused_add_of_;   // per node: the addition a convolution finishes, or -1
  std::vector<int32_t> fused_conv_of_;  // per node: the convolution that computed an addition, or -1
};

}  // namespace trevalon
