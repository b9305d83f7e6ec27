// Per-operation and per-layer timing, and the text-to-speech speed handed to length regulators.
#include <cmath>
#include <limits>
#include <stdexcept>

#include "runtime/inference_model.h"

namespace trevalon {

std::unordered_map<std::string, double> InferenceModel::op_profile() const {
  std::unordered_map<std::string, double> by_op;
  for (size_t i = 0; i < nodes_.size(); ++i)
    if (node_plans_[i].profiled) by_op[op_name(nodes_[i].op)] += node_plans_[i].profile_ms;
  return by_op;
}

std::unordered_map<std::string, double> InferenceModel::layer_profile() const {
  std::unordered_map<std::string, double> by_node;
  for (size_t i = 0; i < nodes_.size(); ++i)
    if (node_plans_[i].profiled) by_node[nodes_[i].name] += node_plans_[i].profile_ms;
  return by_node;
}

void InferenceModel::reset_profile() {
  for (NodePlan& plan : node_plans_) {
    plan.profiled = false;
    plan.profile_ms = 0;
  }
}

void InferenceModel::set_speed(float speed) {
  if (!(speed > 0.0f) || !(speed <= std::numeric_limits<float>::max()))
    throw std::runtime_error("speed must be a positive finite value");
  speed_ = speed;
  const float inverse = 1.0f / speed;
  const float scale = inverse > 0.0f ? inverse : 1.0f;
  for (size_t i = 0; i < nodes_.size(); ++i) {
    if (nodes_[i].op != OpType::LengthRegulateFp32 || !node_plans_[i].layer) continue;
    if (auto* target = dynamic_cast<DurationScaled*>(node_plans_[i].layer)) target->set_duration_scale(scale);
  }
}

}  // namespace trevalon
