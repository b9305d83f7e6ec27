// Per-operation and per-layer timing, and the text-to-speech speed handed to length regulators.
#include <cmath>
#include <limits>
#include <stdexcept>

#include "runtime/inference_model.h"

namespace trevalon {

void InferenceModel::reset_profile() {
  if (!op_profile_.empty()) op_profile_.clear();
  if (!layer_profile_.empty()) layer_profile_.clear();
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
