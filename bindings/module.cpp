// The Python surface of the engine: module functions, InputSpec and InferenceModel.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "backend/registry.h"
#include "kernels/thread_pool.h"
#include "runtime/inference_model.h"
#include "runtime/shapes.h"

namespace py = pybind11;
using trevalon::InferenceModel;
using trevalon::InputSpec;
using trevalon::ModelTensor;
using trevalon::TensorMap;

namespace {

constexpr const char* kModuleDoc =
    "Python bindings for the trevalon inference engine.\n\nQuick start::\n\n"
    "    import numpy as np, model_inference as mi\n"
    "    model = mi.InferenceModel('model_defs/resnet50_fp32_arch.json',\n"
    "                              'weights/resnet50_fp32.bin')\n"
    "    logits = model.forward(np.zeros((224, 224, 3), dtype=np.float32))\n\n"
    "Threads: forward passes run on the calling thread alone unless asked otherwise.\n"
    "set_num_threads(n) (or TREVALON_NUM_THREADS=n in the environment at import) lets\n"
    "every kernel split its outputs over n threads: the caller and a pool of n - 1\n"
    "workers, started at the first pass that needs them, that sleep when idle and are\n"
    "recreated in a child after fork(). Results are bit-identical at every count. The\n"
    "interpreter lock stays held during a pass, so a model serves one Python thread\n"
    "at a time.\n";

constexpr const char* kModelDoc =
    "Generic graph-based inference model.\n\n"
    "Loads a JSON architecture file and a W1X1 binary weights file,\n"
    "then exposes a ``forward()`` method for running inference.\n\n"
    "Example (single input, float32 model)::\n\n"
    "    import numpy as np, model_inference as mi\n"
    "    model = mi.InferenceModel('model_defs/resnet50_fp32_arch.json',\n"
    "                              'weights/resnet50_fp32.bin')\n"
    "    x = np.zeros((224, 224, 3), dtype=np.float32)\n"
    "    logits = model.forward(x)\n\n"
    "Example (multi-input)::\n\n"
    "    outputs = model.forward({'x1': arr1, 'x2': arr2})\n"
    "    y1 = outputs['y1']\n";

const InputSpec& first_input(const InferenceModel& m) {
  if (m.inputs().empty()) throw std::runtime_error("Model has no declared inputs.");
  return m.inputs().front();
}

// The array's own dimensions, as the shape rules read them.
struct ArrayDims {
  int64_t dims[64];  // numpy arrays have at most 64 dimensions
  size_t ndim = 0;
  explicit ArrayDims(const py::array& a) : ndim(std::min<size_t>(static_cast<size_t>(a.ndim()), 64)) {
    for (size_t k = 0; k < ndim; ++k) dims[k] = static_cast<int64_t>(a.shape(static_cast<py::ssize_t>(k)));
  }
  std::span<const int64_t> span() const { return {dims, ndim}; }
};

std::string dtype_text(const py::array& a) { return py::str(a.dtype()); }

// An array whose element type the declared input cannot take, named as the caller gave it.
[[noreturn]] void fail_dtype(const InputSpec& input_spec, const py::array& a) {
  const bool declared_int8 = input_spec.dtype == "int8";
  std::string message = "input '" + input_spec.name + "' is declared " +
                        (declared_int8 ? "int8" : "float32") + " but " + dtype_text(a) + " data was given";
  const char kind = a.dtype().kind();
  if (declared_int8 && (kind == 'f' || kind == 'u'))
    message += "; quantise it first with trevalon.export.quantize_input (or round(v / " +
               py::str(py::float_(input_spec.scale)).cast<std::string>() + ") + " +
               std::to_string(input_spec.zp) + " with this input's scale and zero point)";
  throw std::runtime_error(message);
}

using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;
using Int8Array = py::array_t<int8_t, py::array::c_style | py::array::forcecast>;

// Converted array kept alive for the call, with the tensor that borrows its data.
struct HeldInput {
  py::array array;
  ModelTensor tensor;
};

HeldInput convert(const py::array& in, bool as_int8) {
  HeldInput held;
  if (as_int8) {
    held.array = Int8Array::ensure(in);
    held.tensor.dtype = "int8";
  } else {
    held.array = FloatArray::ensure(in);
    held.tensor.dtype = "float32";
  }
  if (!held.array) throw py::error_already_set();
  held.tensor.data = held.array.data();
  return held;
}

// Runs the model and returns every output as a new 1-D float32 array (int8 outputs as float values),
// copied straight from the engine's buffers.
std::unordered_map<std::string, py::array> run_to_numpy(InferenceModel& m, const TensorMap& inputs) {
  std::unordered_map<std::string, py::array> arrays;
  m.forward(inputs,
            [&arrays](const std::string& name, const std::vector<int32_t>& shape, bool int8,
                      uint64_t bytes) -> void* {
              const py::ssize_t count = static_cast<py::ssize_t>(int8 ? bytes : bytes / sizeof(float));
              py::array out =
                  int8 ? py::array(py::array_t<int8_t>(count)) : py::array(py::array_t<float>(count));
              arrays[name] = out;  // a repeated name keeps the last
              return out.mutable_data();
            });
  for (auto& [name, array] : arrays) {
    if (array.dtype().kind() != 'i') continue;
    py::array_t<float> converted(array.size());
    const int8_t* src = static_cast<const int8_t*>(array.data());
    float* dst = converted.mutable_data();
    for (py::ssize_t i = 0; i < array.size(); ++i) dst[i] = static_cast<float>(src[i]);
    array = converted;
  }
  return arrays;
}

py::array forward_single(InferenceModel& m, const py::array& input) {
  if (input.ndim() == 0) throw std::runtime_error("Input array must have at least 1 dimension.");
  const InputSpec& input_spec = first_input(m);
  const char kind = input.dtype().kind();
  bool as_int8;
  if (kind == 'f') {
    as_int8 = false;
  } else if (kind == 'i' || kind == 'b') {
    as_int8 = true;
  } else {
    throw std::runtime_error("Unsupported array dtype '" + dtype_text(input) +
                             "'. Use float32 for FP32 models or int8 for INT8 models.");
  }
  if (as_int8 != (input_spec.dtype == "int8")) fail_dtype(input_spec, input);
  // Checked before converting, so a wrong array is never copied.
  std::vector<int32_t> shape = input_tensor_shape(input_spec, ArrayDims(input).span());
  HeldInput held = convert(input, as_int8);
  held.tensor.shape = std::move(shape);
  TensorMap inputs;
  inputs.emplace(input_spec.name, std::move(held.tensor));
  auto outputs = run_to_numpy(m, inputs);
  if (!m.output_names().empty()) {
    auto it = outputs.find(m.output_names().front());
    if (it != outputs.end()) return it->second;
  }
  return py::array_t<float>(0);  // no output to return
}

std::unordered_map<std::string, py::array> forward_multi(InferenceModel& m,
                                                         const std::map<std::string, py::array>& arrays) {
  std::unordered_map<std::string, const InputSpec*> declared;
  for (const InputSpec& input_spec : m.inputs()) declared[input_spec.name] = &input_spec;
  std::vector<py::array> keep_alive;
  TensorMap inputs;
  for (const auto& [name, array] : arrays) {
    auto found = declared.find(name);
    const InputSpec* input_spec = found == declared.end() ? nullptr : found->second;
    const char kind = array.dtype().kind();
    // An integer array for a declared int8 input stays int8, as in the single-input form; any real
    // number array becomes float32 for a float input.
    const bool as_int8 = input_spec && input_spec->dtype == "int8";
    std::vector<int32_t> shape;
    if (input_spec) {
      const bool is_real = kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b';
      const bool accepted = as_int8 ? kind == 'i' || kind == 'b' : is_real;
      if (!accepted) fail_dtype(*input_spec, array);
      shape = input_tensor_shape(*input_spec, ArrayDims(array).span());
    }
    HeldInput held = convert(array, as_int8);
    if (input_spec) {
      held.tensor.shape = std::move(shape);
    } else {
      for (py::ssize_t k = 0; k < held.array.ndim(); ++k)
        held.tensor.shape.push_back(static_cast<int32_t>(held.array.shape(k)));
    }
    keep_alive.push_back(held.array);
    inputs[name] = std::move(held.tensor);
  }
  return run_to_numpy(m, inputs);
}

std::string join_shape(const std::vector<int32_t>& shape) {
  std::string s;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ",";
    s += std::to_string(shape[i]);
  }
  return s;
}

// TREVALON_NUM_THREADS, read once at import: a whole number of threads, or unset/empty for one.
void apply_thread_environment() {
  const char* text = std::getenv("TREVALON_NUM_THREADS");
  if (!text || !*text) return;
  char* end = nullptr;
  errno = 0;
  const long threads = std::strtol(text, &end, 10);
  const bool digits_only = *text >= '0' && *text <= '9';  // strtol alone would take " 2" or "+2"
  if (!digits_only || errno != 0 || *end != '\0' || threads < 1 || threads > trevalon::kMaxThreads)
    throw std::runtime_error("TREVALON_NUM_THREADS must be a whole number from 1 to " +
                             std::to_string(trevalon::kMaxThreads) + ", got '" + text + "'");
  trevalon::set_num_threads(int(threads));
}

bool is_image_classifier(const std::string& name) {
  std::string lower = name;
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower.find("resnet") != std::string::npos || lower.find("mobilenet") != std::string::npos ||
         lower.find("vit") != std::string::npos;
}

}  // namespace

PYBIND11_MODULE(model_inference, m) {
  m.doc() = kModuleDoc;

  m.attr("__version__") = TREVALON_VERSION;

  // A W1X1 record shorter than its header is a length error in the engine, a RuntimeError here
  // like every other engine error (the binding library would make it a ValueError).
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const std::length_error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    }
  });

  apply_thread_environment();
  m.def(
      "set_num_threads", [](int threads) { trevalon::set_num_threads(threads); }, py::arg("n"),
      "Set how many threads forward passes use (1 to 256; the default 1 creates no thread).\n\n"
      "With n > 1 every kernel splits its outputs over a pool of n - 1 workers and the calling\n"
      "thread; results are bit-identical at every thread count. The environment variable\n"
      "TREVALON_NUM_THREADS sets it at import. The setting is process-wide; call it between\n"
      "forward passes, not during one.\n\n"
      "Raises RuntimeError for n outside 1..256.");
  m.def(
      "get_num_threads", []() { return trevalon::num_threads(); },
      "Return how many threads forward passes use.");
  // Tests only: small layers split as large ones would, so that small models exercise every
  // range boundary of the threaded kernels.
  m.def(
      "_set_split_small_work", [](bool split) { trevalon::set_split_small_work(split); },
      py::arg("split"),
      "For tests: with True, kernels split work of any size over the threads (results are\n"
      "unchanged, only slower); False restores the size thresholds.");
  m.def(
      "set_backend", [](const std::string& name) { return trevalon::set_backend(name); },
      py::arg("name") = "cpu",
      "Select the active backend.\n\nArgs:\n    name: 'cpu' (default), 'cuda', or 'metal'\n\n"
      "Returns:\n    True if the backend was found and activated.");
  m.def(
      "active_backend", []() { return std::string(trevalon::active_backend_name()); },
      "Return the name of the currently active backend ('cpu', 'cuda', or 'metal').");

  py::class_<InputSpec>(m, "InputSpec",
                        "Descriptor for one model input (shape, dtype, and quantization params).")
      .def_property_readonly(
          "name", [](const InputSpec& s) { return s.name; }, "ModelIOTensor name in the arch graph.")
      .def_property_readonly(
          "shape", [](const InputSpec& s) { return s.shape; },
          "Input shape in NHWC order, e.g. [224,224,3] or [80] for flat. 0 in a dimension "
          "means variable (supplied at runtime).")
      .def_property_readonly(
          "scale", [](const InputSpec& s) { return s.scale; }, "INT8 quantization scale.")
      .def_property_readonly(
          "zp", [](const InputSpec& s) { return s.zp; }, "INT8 zero point.")
      .def_property_readonly(
          "dtype", [](const InputSpec& s) { return s.dtype; }, "'int8' or 'float32'.")
      .def("__repr__", [](const InputSpec& s) {
        return "<InputSpec name='" + s.name + "' shape=[" + join_shape(s.shape) + "] dtype=" + s.dtype + ">";
      });

  py::class_<InferenceModel, std::unique_ptr<InferenceModel>>(m, "InferenceModel", kModelDoc)
      // str and os.PathLike paths alike; the engine takes the file system's own bytes.
      .def(py::init([](const std::filesystem::path& arch_path, const std::filesystem::path& weights_path) {
             auto model = std::make_unique<InferenceModel>(arch_path.string(), weights_path.string(), 0);
             model->set_profile_enabled(true);
             return model;
           }),
           py::arg("arch_path"), py::arg("weights_path"),
           "Load model from a JSON arch file and a W1X1 binary weights file.\n\n"
           "Raises RuntimeError if either file cannot be opened.")
      .def("forward", &forward_single, py::arg("input"),
           "Run a single-input forward pass.\n\nArgs:\n"
           "    input: numpy array (float32 for FP32 models, int8 for INT8 models).\n"
           "           Shape is inferred from the arch spec; flat 1-D arrays are accepted.\n\n"
           "Returns:\n    1-D float32 numpy array (e.g. class logits).")
      .def("forward", &forward_multi, py::arg("inputs"),
           "Run a multi-input / multi-output forward pass.\n\nArgs:\n"
           "    inputs: dict mapping tensor name \u2192 numpy array (float32).\n\n"
           "Returns:\n    dict mapping output tensor name \u2192 1-D float32 numpy array.")
      .def_property_readonly("model_name", &InferenceModel::model_name,
                             "Model name string from the arch JSON.")
      .def_property_readonly(
          "input_count", [](const InferenceModel& m) { return m.inputs().size(); },
          "Number of declared model inputs.")
      .def_property_readonly(
          "inputs", [](const InferenceModel& m) { return m.inputs(); },
          "List of InputSpec descriptors (one per model input).")
      .def_property_readonly("output_names", &InferenceModel::output_names,
                             "List of declared output tensor names.")
      .def_property_readonly(
          "is_fp32", [](const InferenceModel& m) { return first_input(m).dtype == "float32"; },
          "True when the first declared input is float32.")
      .def_property_readonly(
          "input_h",
          [](const InferenceModel& m) {
            const auto& s = first_input(m).shape;
            return s.empty() ? 1 : s[0];
          },
          "First input height in NHWC layout.")
      .def_property_readonly(
          "input_w",
          [](const InferenceModel& m) {
            const auto& s = first_input(m).shape;
            return s.size() < 2 ? 1 : s[1];
          },
          "First input width in NHWC layout.")
      .def_property_readonly(
          "input_c",
          [](const InferenceModel& m) {
            const auto& s = first_input(m).shape;
            return s.size() < 3 ? 1 : s[2];
          },
          "First input channel count in NHWC layout.")
      .def_property_readonly(
          "num_classes",
          [](const InferenceModel& m) { return is_image_classifier(m.model_name()) ? 1000 : 0; },
          "Classifier class-count hint. Returns 1000 for ImageNet classifier models, otherwise 0.")
      .def("op_profile", &InferenceModel::op_profile,
           "Return per-op accumulated timing as dict[str, float] (milliseconds).")
      .def("layer_profile", &InferenceModel::layer_profile,
           "Return per-layer accumulated timing as dict[str, float] (milliseconds).")
      .def("set_profile_enabled", &InferenceModel::set_profile_enabled, py::arg("enabled"),
           "Enable or disable per-op and per-layer profiling.")
      .def_property_readonly("profile_enabled", &InferenceModel::profile_enabled,
                             "True when profiling is enabled.")
      .def("set_speed", &InferenceModel::set_speed, py::arg("speed"),
           "Set TTS duration speed. 1.0 is normal, larger is faster, smaller is slower.")
      .def_property_readonly("speed", &InferenceModel::speed, "Current TTS duration speed.")
      .def("reset_profile", &InferenceModel::reset_profile, "Clear accumulated profiling timings.")
      .def("reset_kv_cache", &InferenceModel::reset_kv_cache,
           "Forget every position held in the key/value cache of the causal attention layers.\n\n"
           "The next forward pass starts again at position 0 (a new prompt).")
      .def_property_readonly("kv_positions", &InferenceModel::kv_positions,
                             "Positions held in the key/value cache: the sum of the lengths of the "
                             "forward passes since the last reset.")
      .def_property_readonly("kv_capacity", &InferenceModel::kv_capacity,
                             "Positions the key/value cache can hold (the architecture's "
                             "\"max_positions\", 2048 when it gives none). A pass that would exceed it "
                             "raises RuntimeError and changes nothing.")
      .def("set_kv_capacity", &InferenceModel::set_kv_capacity, py::arg("n"),
           "Reallocate the key/value cache for n positions and reset it (kv_positions becomes 0).\n\n"
           "Raises RuntimeError for a negative n.")
      .def("__repr__", [](const InferenceModel& m) {
        const std::string shape = m.inputs().empty() ? std::string() : join_shape(m.inputs().front().shape);
        return "<InferenceModel name='" + m.model_name() + "' input=[" + shape + "]>";
      });
}
