// dump_arch FILE...: loads each architecture file with the engine's loader and prints one JSON line
// per file, {"file": ..., "arch": {...}} or {"file": ..., "error": "<the loader's message>"}, so the
// Python reader can be checked against it. Each node lists whether a layer was built and the
// parameters that layer read (key, kind i/f/b, value), in read order.
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "arch/arch_loader.h"
#include "arch/json.h"
#include "layers/layer_factory.h"

namespace {

using namespace trevalon;

struct ParamRead {
  std::string name;
  char kind;
  double value;
};

// One entry per create_layer call, in node order: the loader calls it once per node of a known op.
struct LayerCall {
  bool built = false;
  std::vector<ParamRead> reads;
};
std::vector<LayerCall> layer_calls;

void record_read(const std::string& name, char kind, double value) {
  if (!layer_calls.empty()) layer_calls.back().reads.push_back({name, kind, value});
}

std::unique_ptr<ILayer> recording_maker(OpType op, const JsonValue& node) {
  layer_calls.emplace_back();
  set_extra_layer_maker(nullptr);  // let the families build it, once
  std::unique_ptr<ILayer> layer;
  try {
    layer = create_layer(op, node);
  } catch (...) {
    set_extra_layer_maker(recording_maker);
    throw;
  }
  set_extra_layer_maker(recording_maker);
  layer_calls.back().built = layer != nullptr;
  return layer;
}

// Bytes other than the quote, the backslash and control bytes go out as they are.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string names(const std::vector<std::string>& list) {
  std::string out = "[";
  for (size_t i = 0; i < list.size(); ++i) out += (i ? ", " : "") + quoted(list[i]);
  return out + "]";
}

std::string dump(const ArchSpec& arch) {
  std::string out = "{\"model\": " + quoted(arch.model_name) +
                    ", \"max_positions\": " + std::to_string(arch.max_positions) + ", \"inputs\": [";
  for (size_t i = 0; i < arch.inputs.size(); ++i) {
    const InputSpec& in = arch.inputs[i];
    std::string shape = "[";
    for (size_t k = 0; k < in.shape.size(); ++k) shape += (k ? ", " : "") + std::to_string(in.shape[k]);
    out += std::string(i ? ", " : "") + "{\"name\": " + quoted(in.name) + ", \"shape\": " + shape +
           "], \"dtype\": " + quoted(in.dtype) + ", \"scale\": " + number(in.scale) +
           ", \"zp\": " + std::to_string(in.zp) + "}";
  }
  out += "], \"outputs\": " + names(arch.output_names) + ", \"nodes\": [";
  size_t call = 0;
  for (size_t i = 0; i < arch.nodes.size(); ++i) {
    const GraphNode& n = arch.nodes[i];
    LayerCall none;
    const LayerCall& c = n.op != OpType::Unknown && call < layer_calls.size() ? layer_calls[call++] : none;
    std::string params = "[";
    for (size_t k = 0; k < c.reads.size(); ++k) {
      const ParamRead& r = c.reads[k];
      const std::string value = r.kind == 'b' ? (r.value != 0 ? "true" : "false") : number(r.value);
      params += std::string(k ? ", " : "") + "[" + quoted(r.name) + ", \"" + r.kind + "\", " + value + "]";
    }
    out += std::string(i ? ", " : "") + "{\"name\": " + quoted(n.name) +
           ", \"op\": " + std::to_string(static_cast<int32_t>(n.op)) + ", \"inputs\": " + names(n.inputs) +
           ", \"outputs\": " + names(n.outputs) + ", \"relu\": " + (n.relu ? "true" : "false") +
           ", \"layer\": " + (c.built ? "true" : "false") + ", \"params\": " + params + "]}";
  }
  return out + "]}";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: dump_arch FILE...\n");
    return 2;
  }
  set_param_read_observer(record_read);
  for (int a = 1; a < argc; ++a) {
    layer_calls.clear();
    set_extra_layer_maker(recording_maker);
    std::string line = "{\"file\": " + quoted(argv[a]) + ", ";
    try {
      line += "\"arch\": " + dump(load_arch(argv[a])) + "}";
    } catch (const std::exception& e) {
      line += "\"error\": " + quoted(e.what()) + "}";
    }
    std::fputs((line + "\n").c_str(), stdout);
  }
  return 0;
}
