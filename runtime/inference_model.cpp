// Construction of the executable graph, slot assignment, buffer planning and the forward pass.
#include "runtime/inference_model.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

#include "backend/registry.h"
#include "runtime/shapes.h"
#include "weights/weight_binding.h"

namespace trevalon {
namespace {

// The text std::unordered_map::at throws with: callers match this message for a name that has no slot.
constexpr const char* kKeyNotFound = "unordered_map::at: key not found";

// The layer runs where the backend's buffers live (every layer, on the host backend).
bool runs_on_backend_device(const ILayer& layer) {
  return layer.execution_device() == static_cast<uint8_t>(require_backend().device);
}

// Largest tensor the planner sizes, in elements; scratch may hold as many 4-byte values.
constexpr uint64_t kMaxPlannedElements = uint64_t(1) << 31;

}  // namespace

MemoryMode memory_mode_from(int32_t value) {
  switch (value) {
    case static_cast<int32_t>(MemoryMode::Release): return MemoryMode::Release;
    case static_cast<int32_t>(MemoryMode::ReleaseWithLayerScratch):
      return MemoryMode::ReleaseWithLayerScratch;
    default: return MemoryMode::Keep;
  }
}

InferenceModel::InferenceModel(const std::string& arch_path, const std::string& weights_path,
                               int32_t memory_mode)
    : memory_mode_(memory_mode_from(memory_mode)) {
  const BackendDescriptor& backend = require_backend();
  allocator_ = backend.kernels.get_allocator();

  ArchSpec input_spec = load_arch(arch_path);
  model_name_ = std::move(input_spec.model_name);
  inputs_ = std::move(input_spec.inputs);
  output_names_ = std::move(input_spec.output_names);
  nodes_ = std::move(input_spec.nodes);
  layers_ = std::move(input_spec.layers);
  kv_capacity_ = input_spec.max_positions;

  WeightLoadMemoryStats stats;
  load_weights(weights_path, layers_, &stats);
  peak_tensor_bytes_ = stats.peak_tensor_bytes;

  assign_slots();
  plan_buffers();
  for (auto& layer : layers_) layer->upload_weights(allocator_);
  for (auto& layer : layers_) has_kv_cache_ |= layer->uses_kv_cache();
  if (has_kv_cache_) set_kv_capacity(kv_capacity_);
}

void InferenceModel::set_kv_capacity(int64_t capacity) {
  if (capacity < 0 || capacity > INT32_MAX)
    throw std::runtime_error("KV cache capacity must be from 0 to 2147483647 positions, got " +
                             std::to_string(capacity));
  kv_positions_ = 0;
  kv_capacity_ = static_cast<int32_t>(capacity);
  for (auto& layer : layers_)
    if (layer->uses_kv_cache()) layer->allocate_kv_cache(kv_capacity_, allocator_);
}

int32_t InferenceModel::kv_positions_requested() const {
  if (!has_kv_cache_) return 0;
  uint64_t T = 0;
  for (const NodePlan& plan : node_plans_) {
    if (!plan.uses_kv_cache || plan.input_ids.empty()) continue;
    const TensorShape s = planned_shapes_[plan.input_ids[0]];
    T = std::max(T, uint64_t(s.h > 0 ? s.h : 0) * uint64_t(s.w > 0 ? s.w : 0));
  }
  if (uint64_t(kv_positions_) + T > uint64_t(kv_capacity_))
    throw std::runtime_error("KV cache full: " + std::to_string(kv_positions_) + " positions held, " +
                             std::to_string(T) + " more requested, capacity " + std::to_string(kv_capacity_));
  return static_cast<int32_t>(T);
}

InferenceModel::~InferenceModel() = default;

int32_t InferenceModel::tensor_id(const std::string& name) {
  auto [it, inserted] = tensor_ids_.emplace(name, static_cast<int32_t>(tensor_ids_.size()));
  return it->second;
}

int32_t InferenceModel::slot_of(const std::string& name) const {
  auto it = slot_of_.find(name);
  return it == slot_of_.end() ? -1 : it->second;
}

void InferenceModel::plan_fusions(const std::unordered_map<std::string, ILayer*>& layer_by_name) {
  fused_add_of_.assign(nodes_.size(), -1);
  fused_conv_of_.assign(nodes_.size(), -1);
  if (allocator_->is_device()) return;  // the epilogue runs the host's element-wise kernels
  const std::unordered_set<std::string> declared_outputs(output_names_.begin(), output_names_.end());
  std::unordered_map<std::string, int> reads;
  for (const GraphNode& node : nodes_)
    for (const std::string& in : node.inputs) ++reads[in];
  auto layer_of = [&](size_t i) -> ILayer* {
    auto it = layer_by_name.find(nodes_[i].name);
    return it == layer_by_name.end() ? nullptr : it->second;
  };
  // Where each name was last written before node j: a node index, -1 for a model input, -2 never.
  std::unordered_map<std::string, int> writer;
  for (const InputSpec& in : inputs_) writer[in.name] = -1;
  auto written_by = [&](const std::string& name) {
    auto it = writer.find(name);
    return it == writer.end() ? -2 : it->second;
  };
  for (size_t j = 0; j < nodes_.size(); ++j) {
    const GraphNode& add = nodes_[j];
    ILayer* add_layer = layer_of(j);
    auto* epilogue = dynamic_cast<const ElementwiseEpilogue*>(add_layer);
    const bool pair = epilogue && add.inputs.size() == 2 && !add.outputs.empty() &&
                      add.inputs[0] != add.inputs[1] && !add.inputs[0].empty() && !add.inputs[1].empty();
    // The sum's name must be new: its slot is taken while the convolution runs.
    if (pair && written_by(add.outputs.front()) == -2 && add.outputs.front() != add.inputs[0] &&
        add.outputs.front() != add.inputs[1]) {
      for (int own = 0; own < 2; ++own) {
        const std::string& mine = add.inputs[own];
        const std::string& other = add.inputs[1 - own];
        const int conv = written_by(mine), other_at = written_by(other);
        // The convolution's output feeds this addition alone and is no declared output; the other
        // operand exists before the convolution runs.
        if (conv < 0 || other_at == -2 || other_at >= conv || reads[mine] != 1 ||
            declared_outputs.count(mine))
          continue;
        ILayer* conv_layer = layer_of(conv);
        const GraphNode& producer = nodes_[conv];
        if (!conv_layer || fused_add_of_[conv] >= 0 || producer.inputs.size() != 1 ||
            producer.outputs.size() != 1 || conv_layer->output_is_int8() != add_layer->output_is_int8() ||
            producer.inputs[0] == other)
          continue;
        if (!conv_layer->fuse_epilogue(epilogue, own)) continue;
        fused_add_of_[conv] = int32_t(j);
        fused_conv_of_[j] = conv;
        break;
      }
    }
    for (const std::string& out : add.outputs) writer[out] = int(j);
  }
}

void InferenceModel::assign_slots() {
  // Layers pair with nodes by name; a later layer of the same name replaces an earlier one.
  std::unordered_map<std::string, ILayer*> layer_by_name;
  for (auto& layer : layers_) layer_by_name[layer->name] = layer.get();
  plan_fusions(layer_by_name);

  std::unordered_map<std::string, size_t> last_use;
  for (size_t i = 0; i < nodes_.size(); ++i)
    for (const std::string& in : nodes_[i].inputs) last_use[in] = i;

  // A declared output must still hold its data when the pass ends, whoever reads it before.
  const std::unordered_set<std::string> declared_outputs(output_names_.begin(), output_names_.end());

  for (size_t k = 0; k < inputs_.size(); ++k) slot_of_[inputs_[k].name] = static_cast<int32_t>(k);
  int32_t next_slot = static_cast<int32_t>(inputs_.size());
  std::vector<int32_t> free_list;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const GraphNode& node = nodes_[i];
    const int32_t conv = fused_conv_of_[i];
    if (conv < 0) {
      int32_t s;
      if (free_list.empty()) {
        s = next_slot++;
      } else {
        s = free_list.back();
        free_list.pop_back();
      }
      if (!node.outputs.empty()) slot_of_[node.outputs.front()] = s;
      // A convolution that finishes a later addition writes the sum: the sum's slot is taken now,
      // while everything the convolution reads (the other operand too) still holds its own.
      if (fused_add_of_[i] >= 0) slot_of_[nodes_[fused_add_of_[i]].outputs.front()] = s;
    }
    // A node's output slot is chosen before its dying inputs give theirs back.
    for (size_t j = 0; j < node.inputs.size(); ++j) {
      const std::string& in = node.inputs[j];
      if (in.empty() ||
          std::find(node.inputs.begin(), node.inputs.begin() + j, in) != node.inputs.begin() + j)
        continue;
      // A fused addition's own operand shares the sum's slot, which lives on as the sum.
      if (conv >= 0 && in == nodes_[conv].outputs.front()) continue;
      auto slot = slot_of_.find(in);
      if (last_use[in] == i && slot != slot_of_.end() && !declared_outputs.count(in))
        free_list.push_back(slot->second);
    }
  }
  slot_count_ = next_slot;

  slot_is_int8_.assign(slot_count_, 1);
  slot_alloc_elem_size_.assign(slot_count_, 1);
  slot_buffers_.clear();
  slot_buffers_.resize(slot_count_);
  slot_shapes_.assign(slot_count_, TensorShape{});

  for (const InputSpec& in : inputs_) input_tensor_ids_.push_back(tensor_id(in.name));
  supplied_.assign(inputs_.size(), nullptr);
  input_bound_.assign(inputs_.size(), 0);
  input_slot_shared_.assign(inputs_.size(), 0);
  node_plans_.resize(nodes_.size());
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const GraphNode& node = nodes_[i];
    NodePlan& plan = node_plans_[i];
    auto found = layer_by_name.find(node.name);
    plan.layer = found == layer_by_name.end() ? nullptr : found->second;
    for (const std::string& in : node.inputs) {
      plan.input_ids.push_back(tensor_id(in));
      plan.input_slots.push_back(slot_of(in));
    }
    // A convolution finishing an addition reads the addition's other operand as one more input.
    if (fused_add_of_[i] >= 0) {
      const GraphNode& add = nodes_[fused_add_of_[i]];
      const std::string& other = add.inputs[0] == node.outputs.front() ? add.inputs[1] : add.inputs[0];
      plan.input_ids.push_back(tensor_id(other));
      plan.input_slots.push_back(slot_of(other));
    }
    plan.fused_into_producer = fused_conv_of_[i] >= 0;
    plan.uses_kv_cache = plan.layer && plan.layer->uses_kv_cache();
    if (!node.outputs.empty()) {
      plan.output_id = tensor_id(node.outputs.front());
      for (size_t k = 1; k < node.outputs.size(); ++k) tensor_id(node.outputs[k]);
    }
    plan.output_slot = slot_of(node.outputs.empty() ? std::string() : node.outputs.front());
    if (!node.outputs.empty() && plan.layer) {
      const bool int8 = plan.layer->output_is_int8();
      slot_is_int8_[plan.output_slot] = int8 ? 1 : 0;
      // A slot that ever holds float32 is sized for float32, whoever writes it last.
      if (!int8) slot_alloc_elem_size_[plan.output_slot] = 4;
    }
  }
  for (size_t k = 0; k < inputs_.size(); ++k) {
    const InputSpec& in = inputs_[k];
    const int32_t s = slot_of(in.name);
    if (slot_is_int8_[s] == 1) slot_is_int8_[s] = in.dtype == "int8" ? 1 : 0;
    if (in.dtype != "int8") slot_alloc_elem_size_[s] = 4;
    for (const NodePlan& plan : node_plans_) input_slot_shared_[k] |= plan.output_slot == s;
  }
  planned_shapes_.assign(tensor_ids_.size(), TensorShape{});
  slot_max_elements_.assign(slot_count_, 0);
}

uint64_t InferenceModel::slot_bytes_for(int32_t slot, const TensorShape& s, const char* what) const {
  return checked_mul(checked_elements(s, what), slot_alloc_elem_size_[slot], what);
}

void InferenceModel::plan_buffers() {
  std::fill(planned_shapes_.begin(), planned_shapes_.end(), TensorShape{});
  std::fill(slot_max_elements_.begin(), slot_max_elements_.end(), 0);
  // The error names the input or node (`kind` "input" or "node") the tensor belongs to.
  auto raise = [this](int32_t slot, const TensorShape& s, const std::string& name, const char* kind,
                      const std::string& owner) {
    if (slot < 0) return;
    const uint64_t n = checked_elements(s, name);
    if (n > kMaxPlannedElements)
      throw std::runtime_error(std::string(kind) + " '" + owner + "'" +
                               (owner == name ? std::string() : ": tensor '" + name + "'") + " would hold " +
                               std::to_string(n) + " elements (" + std::to_string(s.c) + " x " +
                               std::to_string(s.h) + " x " + std::to_string(s.w) + "), more than 2^31");
    slot_max_elements_[slot] = std::max(slot_max_elements_[slot], n);
  };

  for (size_t k = 0; k < inputs_.size(); ++k) {
    const InputSpec& in = inputs_[k];
    const TensorShape shape = planned_input_shape(in.shape, supplied_[k] ? &supplied_[k]->shape : nullptr);
    planned_shapes_[input_tensor_ids_[k]] = shape;
    raise(slot_of(in.name), shape, in.name, "input", in.name);
  }

  TensorShape shapes[kMaxLayerInputs];
  for (size_t i = 0; i < nodes_.size(); ++i) {
    const NodePlan& plan = node_plans_[i];
    const int n = static_cast<int>(std::min<size_t>(plan.input_ids.size(), kMaxLayerInputs));
    for (int k = 0; k < n; ++k) shapes[k] = planned_shapes_[plan.input_ids[k]];
    TensorShape out{};
    if (plan.layer)
      out = plan.layer->output_shape_multi(shapes, n);
    else if (n > 0)
      out = shapes[0];
    if (plan.output_id >= 0) {
      planned_shapes_[plan.output_id] = out;
      raise(slot_of(nodes_[i].outputs.front()), out, nodes_[i].outputs.front(), "node", nodes_[i].name);
    }
  }

  // Scratch requests are checked in every memory mode, before the slots are grown.
  const bool keep_buffers =
      !releases_buffers();  // otherwise slot buffers are sized while binding and running
  for (size_t i = 0; i < nodes_.size(); ++i) {
    ILayer* layer = node_plans_[i].layer;
    if (!layer) continue;
    uint64_t sizes[kScratchBuffers] = {};
    const TensorShape first =
        node_plans_[i].input_ids.empty() ? TensorShape{} : planned_shapes_[node_plans_[i].input_ids[0]];
    layer->scratch_sizes(first, sizes);
    for (int k = 0; k < kScratchBuffers; ++k)
      if (sizes[k] > 4 * kMaxPlannedElements)
        throw std::runtime_error("node '" + nodes_[i].name + "': scratch buffer " + std::to_string(k) +
                                 " would hold " + std::to_string(sizes[k]) + " bytes, more than 2^33");
    if (!keep_buffers) continue;
    const bool on_backend = runs_on_backend_device(*layer);
    for (int k = 0; k < kScratchBuffers; ++k) {
      if (on_backend)
        scratch_buffers_[k].grow(*allocator_, sizes[k]);
      else
        host_scratch_buffers_[k].grow(host_allocator(), sizes[k]);
    }
  }
  if (!keep_buffers) return;
  for (int32_t s = 0; s < slot_count_; ++s)
    slot_buffers_[s].grow(*allocator_, checked_mul(slot_max_elements_[s], slot_alloc_elem_size_[s], "slot"));
}

void InferenceModel::check_omitted_input(size_t k) const {
  const std::string& name = inputs_[k].name;
  if (releases_buffers())
    throw std::runtime_error("input '" + name + "' was not supplied; memory mode " +
                             std::to_string(static_cast<int32_t>(memory_mode_)) +
                             " releases every buffer after a call, so every call must supply it");
  if (!input_bound_[k])
    throw std::runtime_error("input '" + name + "' was not supplied, and no earlier call supplied it");
  if (input_slot_shared_[k])
    throw std::runtime_error("input '" + name + "' was not supplied; its buffer is reused by later tensors " +
                             "during a pass, so every call must supply it");
}

void InferenceModel::check_supplied_input(const InputSpec& input_spec, const ModelTensor& tensor) const {
  // Bytes of one element type read as the other would give a silently wrong result.
  const bool declared_int8 = input_spec.dtype == "int8", given_int8 = tensor.dtype == "int8";
  if (declared_int8 != given_int8)
    throw std::runtime_error("input '" + input_spec.name + "' is declared " +
                             (declared_int8 ? "int8" : "float32") + " but " +
                             (given_int8 ? "int8" : "float32") + " data was given");
  for (int32_t d : tensor.shape)
    if (d < 0) throw std::runtime_error("input '" + input_spec.name + "' has a negative dimension");
  // The dims describe the caller's buffer; what the declaration fixes must agree with them.
  check_bound_shape(input_spec, tensor.shape);
}

void InferenceModel::bind_input(const InputSpec& input_spec, const ModelTensor& tensor) {
  const int32_t slot = slot_of(input_spec.name);
  const TensorShape shape = bound_shape(tensor.shape);
  const uint64_t bytes = checked_mul(checked_elements(tensor.shape, input_spec.name),
                                     tensor.dtype == "int8" ? 1 : 4, input_spec.name);
  if (bytes > 0 && !tensor.data) throw std::runtime_error("input '" + input_spec.name + "' has no data");
  // Layers read c*h*w elements of the slot's type: never let that run past the buffer.
  const uint64_t needed = std::max(bytes, slot_bytes_for(slot, shape, input_spec.name.c_str()));
  slot_buffers_[slot].grow(*allocator_, needed);
  if (allocator_->is_device())
    allocator_->copy_to_device(slot_buffers_[slot].data, tensor.data, bytes);
  else if (bytes)
    std::memcpy(slot_buffers_[slot].data, tensor.data, bytes);
  // Whatever the slot held beyond the supplied bytes is stale; zero it so layers read defined values.
  if (needed > bytes)
    allocator_->zero(static_cast<uint8_t*>(slot_buffers_[slot].data) + bytes, needed - bytes);
  slot_shapes_[slot] = shape;
}

TensorShape InferenceModel::run_node(size_t index) {
  const GraphNode& node = nodes_[index];
  NodePlan& plan = node_plans_[index];
  if (plan.fused_into_producer) return finish_fused(plan);
  if (!plan.layer) throw std::runtime_error("No layer for: " + node.name);
  ILayer& layer = *plan.layer;
  if (plan.output_slot < 0) throw std::runtime_error(kKeyNotFound);
  const int n = static_cast<int>(plan.input_slots.size());
  if (n > kMaxLayerInputs)
    throw std::runtime_error("node '" + node.name + "' has " + std::to_string(n) + " inputs (max " +
                             std::to_string(kMaxLayerInputs) + ")");
  for (int k = 0; k < n; ++k) {
    if (plan.input_slots[k] < 0) throw std::runtime_error(kKeyNotFound);
    if (plan.input_slots[k] == plan.output_slot)
      throw std::runtime_error("node '" + node.name + "' writes into its own input '" + node.inputs[k] + "'");
  }

  const bool staged = !runs_on_backend_device(layer);

  const void* data[kMaxLayerInputs] = {};
  TensorShape shapes[kMaxLayerInputs] = {};
  TensorRef refs[kMaxLayerInputs] = {};
  for (int k = 0; k < n; ++k) {
    const int32_t s = plan.input_slots[k];
    refs[k].view = slot_buffers_[s].view();
    refs[k].shape = slot_shapes_[s];
    if (staged && slot_buffers_[s].bytes > 0) {
      host_input_mirrors_[k].grow(host_allocator(), slot_buffers_[s].bytes);
      allocator_->copy_to_host(host_input_mirrors_[k].data, slot_buffers_[s].data, slot_buffers_[s].bytes);
      refs[k].view = host_input_mirrors_[k].view();
    }
    data[k] = refs[k].view.data;
    shapes[k] = refs[k].shape;
  }

  const int32_t out_slot = plan.output_slot;
  const TensorShape planned = layer.runtime_output_shape(data, shapes, n);
  // A shape taken from the inputs' values is bounded like a planned one before its buffer grows.
  if (const uint64_t count = checked_elements(planned, node.name); count > kMaxPlannedElements)
    throw std::runtime_error("node '" + node.name + "' would hold " + std::to_string(count) + " elements (" +
                             std::to_string(planned.c) + " x " + std::to_string(planned.h) + " x " +
                             std::to_string(planned.w) + "), more than 2^31");
  slot_buffers_[out_slot].grow(*allocator_, slot_bytes_for(out_slot, planned, node.name.c_str()));

  uint64_t sizes[kScratchBuffers] = {};
  layer.scratch_sizes(n > 0 ? shapes[0] : TensorShape{}, sizes);
  ExecContext ctx;
  for (int k = 0; k < kScratchBuffers; ++k) {
    Buffer& b = staged ? host_scratch_buffers_[k] : scratch_buffers_[k];
    b.grow(staged ? static_cast<Allocator&>(host_allocator()) : *allocator_, sizes[k]);
    ctx.scratch[k] = b.view();
  }
  ctx.stream = staged ? nullptr : stream_;
  if (plan.uses_kv_cache) {
    ctx.position_offset = kv_positions_;
    // What the core appends is what it is given (an omitted input keeps its earlier length).
    const TensorShape q = n > 0 ? shapes[0] : TensorShape{};
    const uint64_t t = uint64_t(q.h > 0 ? q.h : 0) * uint64_t(q.w > 0 ? q.w : 0);
    kv_run_positions_ = std::max<uint64_t>(kv_run_positions_, t);
  }

  const BufferView out_view = slot_buffers_[out_slot].view();
  TensorShape result;
  if (profile_enabled_) {
    const auto t0 = std::chrono::steady_clock::now();
    result = run_layer(layer, refs, n, out_view, ctx, staged);
    const auto t1 = std::chrono::steady_clock::now();
    const double ms = std::chrono::duration<double, std::nano>(t1 - t0).count() * 1e-6;
    plan.profiled = true;
    plan.profile_ms += ms;
  } else {
    result = run_layer(layer, refs, n, out_view, ctx, staged);
  }
  if (slot_bytes_for(out_slot, result, node.name.c_str()) > slot_buffers_[out_slot].bytes)
    throw std::runtime_error("node '" + node.name + "' produced more data than its output buffer holds");
  slot_shapes_[out_slot] = result;

  if (releases_buffers()) {
    allocator_->synchronize();
    if (memory_mode_ == MemoryMode::ReleaseWithLayerScratch) layer.release_scratch();
    release_transient_buffers();
  }
  return result;
}

TensorShape InferenceModel::finish_fused(NodePlan& plan) {
  // The convolution already wrote the sum into this node's slot; the sum has the shape of the
  // addition's first operand.
  const auto t0 = std::chrono::steady_clock::now();
  const int32_t first = plan.input_slots[0];
  if (first != plan.output_slot) slot_shapes_[plan.output_slot] = slot_shapes_[first];
  if (profile_enabled_) {
    plan.profiled = true;
    plan.profile_ms +=
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
  return slot_shapes_[plan.output_slot];
}

TensorShape InferenceModel::run_layer(ILayer& layer, TensorRef* refs, int n, BufferView output,
                                      ExecContext& ctx, bool staged) {
  if (!staged) return layer.forward(refs, n, output, &ctx);
  host_output_staging_.grow(host_allocator(), output.bytes);
  const TensorShape shape = layer.forward(refs, n, host_output_staging_.view(), &ctx);
  allocator_->copy_to_device(output.data, host_output_staging_.data, output.bytes);
  return shape;
}

void InferenceModel::release_transient_buffers() {
  for (Buffer& b : scratch_buffers_) b.release();
  for (Buffer& b : host_input_mirrors_) b.release();
  host_output_staging_.release();
  for (Buffer& b : host_scratch_buffers_) b.release();
}

void InferenceModel::forward(const TensorMap& inputs, const OutputSink& sink) {
  // In the releasing modes every buffer goes back after the call, also when a node throws.
  struct ReleaseAtEnd {
    InferenceModel& m;
    ~ReleaseAtEnd() {
      if (!m.releases_buffers()) return;
      m.allocator_->synchronize();
      for (int32_t s = 0; s < m.slot_count_; ++s) {
        m.slot_buffers_[s].release();
        m.slot_shapes_[s] = TensorShape{};
      }
      m.release_transient_buffers();
    }
  } release_at_end{*this};

  for (size_t k = 0; k < inputs_.size(); ++k) {
    auto it = inputs.find(inputs_[k].name);
    supplied_[k] = it == inputs.end() ? nullptr : &it->second;
  }
  // Cleared on every exit, so no pointer into the caller's map outlives the call.
  struct ForgetSupplied {
    std::vector<const ModelTensor*>& supplied;
    ~ForgetSupplied() { std::fill(supplied.begin(), supplied.end(), nullptr); }
  } forget_supplied{supplied_};
  // Every input is checked before anything is planned or overwritten.
  for (size_t k = 0; k < inputs_.size(); ++k) {
    if (supplied_[k])
      check_supplied_input(inputs_[k], *supplied_[k]);
    else
      check_omitted_input(k);
  }

  plan_buffers();
  // Before anything is bound: a pass the caches cannot take changes nothing.
  kv_positions_requested();
  kv_run_positions_ = 0;
  for (size_t k = 0; k < inputs_.size(); ++k) {
    if (!supplied_[k]) continue;
    input_bound_[k] = 0;  // a bind that fails part-way leaves nothing worth keeping
    bind_input(inputs_[k], *supplied_[k]);
    input_bound_[k] = 1;
  }
  for (size_t i = 0; i < nodes_.size(); ++i) run_node(i);

  std::vector<int32_t> shape;
  for (const std::string& name : output_names_) {
    const int32_t slot = slot_of(name);
    if (slot < 0) continue;
    const TensorShape s = slot_shapes_[slot];
    output_dims(s, shape);
    const bool int8 = slot_is_int8_[slot] != 0;
    const uint64_t bytes = checked_mul(checked_elements(s, name), int8 ? 1 : 4, name);
    if (bytes > slot_buffers_[slot].bytes) throw std::runtime_error("output '" + name + "' holds no data");
    void* dst = sink(name, shape, int8, bytes);
    if (!bytes) continue;
    if (allocator_->is_device())
      allocator_->copy_to_host(dst, slot_buffers_[slot].data, bytes);
    else
      std::memcpy(dst, slot_buffers_[slot].data, bytes);
  }
  // Only a pass that succeeded holds its positions (each core refused to pass the capacity).
  kv_positions_ += static_cast<int32_t>(kv_run_positions_);
}

TensorMap InferenceModel::forward(const TensorMap& inputs) {
  TensorMap result;
  forward(inputs,
          [&result](const std::string& name, const std::vector<int32_t>& shape, bool int8,
                    uint64_t bytes) -> void* {
            ModelTensor& t = result[name];  // a repeated name keeps the last
            t.shape = shape;
            t.dtype = int8 ? "int8" : "float32";
            t.storage.assign(bytes, 0);
            t.data = t.storage.data();
            return t.storage.data();
          });
  return result;
}

}  // namespace trevalon
