// The architecture file: declared inputs and outputs, graph nodes, and one layer per known op.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "arch/op_type.h"
#include "layers/layer.h"

namespace trevalon {

struct InputSpec {
  std::string name = "x";
  std::vector<int32_t> shape;  // H, W, C with unit dimensions dropped; 0 = supplied at run time
  float scale = 1.0f;
  int32_t zp = 0;
  std::string dtype = "int8";
};

struct GraphNode {
  std::string name;
  OpType op = OpType::Unknown;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  bool relu = false;
};

struct ArchSpec {
  std::string model_name;
  std::vector<InputSpec> inputs;
  std::vector<std::string> output_names;
  std::vector<GraphNode> nodes;
  std::vector<std::unique_ptr<ILayer>> layers;
  // Positions the key/value cache of each causal attention core holds (root key "max_positions").
  int32_t max_positions = 2048;
};

// Whether a sequence projection named `node_name` keeps an int8 copy of its weight for
// single-position steps: names beginning "layers." and the name "lm_head" (a decoder's blocks and
// its output head).
bool keeps_int8_decode_copy(const std::string& node_name);

// Reads and parses `path`. Throws "Cannot open JSON: " + path, "Read error: " + path, the JSON
// reader's errors, and errors for keys of the wrong kind; unknown ops only warn on stderr.
ArchSpec load_arch(const std::string& path);
// The same from text already in memory (`path` only names it in messages).
ArchSpec parse_arch(const std::string& text, const std::string& path);

}  // namespace trevalon
