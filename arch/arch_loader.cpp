// Architecture loader: turns the JSON tree into an ArchSpec and creates the layers.
#include "arch/arch_loader.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <unordered_set>

#include "arch/json.h"
#include "layers/layer_factory.h"

namespace trevalon {
namespace {

// A root key that must hold an array when present.
const JsonValue* array_member(const JsonValue& root, const char* key) {
  if (!root.contains(key)) return nullptr;
  const JsonValue& v = root.at(key);
  if (v.type != JsonType::Array)
    throw std::runtime_error(std::string("architecture: \"") + key + "\" must be an array");
  return &v;
}

int32_t truncate_to_int32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// Boolean or number whose truncation is non-zero.
bool flag_value(const JsonValue& v) {
  if (v.type == JsonType::Bool) return v.boolean;
  return truncate_to_int32(v.number) != 0;
}

InputSpec read_input(const JsonValue& e, bool read_name_and_shape) {
  InputSpec in;
  const bool is_object = e.type == JsonType::Object;
  if (is_object && read_name_and_shape && e.contains("name")) in.name = e.at("name").text;
  int32_t H = 1, W = 1, C = 1;
  if (is_object && read_name_and_shape && e.contains("shape")) {
    const JsonValue& s = e.at("shape");
    if (s.type != JsonType::Array || s.items.size() < 4)
      throw std::runtime_error("architecture: \"shape\" of input '" + in.name +
                               "' must be an array of four numbers [N, H, W, C]");
    H = truncate_to_int32(s.items[1].number);
    W = truncate_to_int32(s.items[2].number);
    C = truncate_to_int32(s.items[3].number);
  } else if (is_object) {
    H = e.contains("h") ? truncate_to_int32(e.at("h").number) : 1;
    W = e.contains("w") ? truncate_to_int32(e.at("w").number) : 1;
    C = e.contains("c") ? truncate_to_int32(e.at("c").number) : 1;
  }
  if (W != 1)
    in.shape = {H, W, C};
  else if (H != 1)
    in.shape = {H, C};
  else
    in.shape = {C};
  if (is_object) {
    if (e.contains("scale")) in.scale = static_cast<float>(e.at("scale").number);
    if (e.contains("zp")) in.zp = truncate_to_int32(e.at("zp").number);
    if (e.contains("dtype")) in.dtype = e.at("dtype").text;
  }
  return in;
}

void read_names(const JsonValue& list, std::vector<std::string>& out) {
  for (const JsonValue& item : list.items) out.push_back(item.text);
}

GraphNode read_node(const JsonValue& n) {
  GraphNode node;
  node.name = n.at("name").text;
  const std::string& op_text = n.at("op").text;
  node.op = op_from_name(op_text);
  if (node.op == OpType::Unknown)
    std::fprintf(stderr, "arch_loader: unknown op '%s' in node '%s'\n", op_text.c_str(), node.name.c_str());
  if (n.contains("inputs")) {
    read_names(n.at("inputs"), node.inputs);
  } else if (n.contains("in")) {
    node.inputs.push_back(n.at("in").text);
    if (n.contains("in2")) node.inputs.push_back(n.at("in2").text);
    if (n.contains("in3")) node.inputs.push_back(n.at("in3").text);
  }
  if (n.contains("outputs"))
    read_names(n.at("outputs"), node.outputs);
  else if (n.contains("out"))
    node.outputs.push_back(n.at("out").text);
  const bool has_args = n.contains("args");
  if (n.contains("relu") && !has_args) node.relu = flag_value(n.at("relu"));
  if (has_args) {
    const JsonValue& args = n.at("args");
    if (args.type == JsonType::Object && args.contains("relu")) node.relu = flag_value(args.at("relu"));
  }
  return node;
}

// The first output of the latest node whose first output nobody consumes. Only a node's first
// output is given a slot, so a later output named here would come back as nothing.
std::vector<std::string> infer_outputs(const std::vector<GraphNode>& nodes) {
  std::unordered_set<std::string> consumed;
  for (const GraphNode& n : nodes)
    for (const std::string& in : n.inputs) consumed.insert(in);
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it)
    if (!it->outputs.empty() && !consumed.count(it->outputs.front())) return {it->outputs.front()};
  if (!nodes.back().outputs.empty()) return {nodes.back().outputs.front()};
  return {};
}

// A whole number of positions from 0 to 2^31 - 1; anything else would size a cache by accident.
int32_t read_max_positions(const JsonValue& v) {
  if (v.type != JsonType::Number || !(v.number >= 0.0) || v.number > 2147483647.0 ||
      v.number != std::floor(v.number))
    throw std::runtime_error("architecture: \"max_positions\" must be a whole number from 0 to 2147483647");
  return static_cast<int32_t>(v.number);
}

}  // namespace

bool keeps_int8_decode_copy(const std::string& node_name) {
  return node_name.compare(0, 7, "layers.") == 0 || node_name == "lm_head";
}

ArchSpec parse_arch(const std::string& text, const std::string& path) {
  ArchSpec arch;
  JsonValue root;
  JsonCursor cur{text.data(), text.data() + text.size()};
  parse_json(root, cur);
  if (root.type != JsonType::Object) {
    arch.inputs.push_back(InputSpec{});
    return arch;
  }
  if (root.contains("model")) arch.model_name = root.at("model").text;
  if (root.contains("max_positions")) arch.max_positions = read_max_positions(root.at("max_positions"));

  const JsonValue* inputs = array_member(root, "inputs");
  if (inputs && inputs->size() >= 1) {
    for (const JsonValue& e : inputs->items) arch.inputs.push_back(read_input(e, true));
  } else if (root.contains("input")) {
    arch.inputs.push_back(read_input(root.at("input"), false));
  }
  if (arch.inputs.empty()) arch.inputs.push_back(InputSpec{});

  if (const JsonValue* outputs = array_member(root, "outputs")) {
    for (const JsonValue& e : outputs->items)
      if (e.type == JsonType::Object && e.contains("name")) arch.output_names.push_back(e.at("name").text);
  }

  if (const JsonValue* nodes = array_member(root, "nodes")) {
    arch.nodes.reserve(nodes->items.size());
    for (const JsonValue& n : nodes->items) {
      GraphNode node = read_node(n);
      if (node.op != OpType::Unknown) {
        std::unique_ptr<ILayer> layer = create_layer(node.op, n);
        if (layer) {
          layer->name = node.name;
          layer->relu = node.relu;
          arch.layers.push_back(std::move(layer));
        } else {
          // The op is valid but this build carries no layer for it: treated as unknown.
          std::fprintf(stderr, "arch_loader: unknown op '%s' in node '%s'\n", op_name(node.op),
                       node.name.c_str());
        }
      }
      arch.nodes.push_back(std::move(node));
    }
  }
  if (arch.output_names.empty() && !arch.nodes.empty()) arch.output_names = infer_outputs(arch.nodes);
  return arch;
}

ArchSpec load_arch(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("Cannot open JSON: " + path);
  // A directory opens for reading here but has no text; its "size" would be a huge allocation.
  struct stat st {};
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    throw std::runtime_error("Cannot open JSON: " + path);
  }
  std::string text;
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    throw std::runtime_error("Read error: " + path);
  }
  text.resize(static_cast<size_t>(size));  // std::string keeps a NUL after its last byte
  const size_t got = size ? std::fread(text.data(), 1, text.size(), f) : 0;
  std::fclose(f);
  if (got < text.size()) throw std::runtime_error("Read error: " + path);
  return parse_arch(text, path);
}

}  // namespace trevalon
