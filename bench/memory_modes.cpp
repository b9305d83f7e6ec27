// Resident memory of one model under a memory mode: loads ARCH and WEIGHTS with MODE (0 keeps
// every buffer, 2 releases buffers and each layer's working memory after every node), runs
// forwards on a zero input and prints the resident set after each step, in MiB. Free heap pages
// go back to the system before each reading (malloc_trim), so that memory freed after loading does
// not hide what a forward keeps.
//   memory_modes ARCH WEIGHTS MODE [FORWARDS]
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/inference_model.h"

namespace {

// VmRSS and VmHWM of this process, in MiB.
void resident(double& now, double& peak) {
  std::ifstream status("/proc/self/status");
  std::string key;
  now = peak = 0;
  while (status >> key) {
    double kib = 0;
    if (key == "VmRSS:" && status >> kib) now = kib / 1024;
    if (key == "VmHWM:" && status >> kib) peak = kib / 1024;
  }
}

void report(const char* step) {
  malloc_trim(0);
  double now = 0, peak = 0;
  resident(now, peak);
  std::printf("%-16s rss %8.1f MiB   peak %8.1f MiB\n", step, now, peak);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s ARCH WEIGHTS MODE [FORWARDS]\n", argv[0]);
    return 2;
  }
  try {
    const int mode = std::atoi(argv[3]);
    const int forwards = argc > 4 ? std::atoi(argv[4]) : 2;
    report("start");
    trevalon::InferenceModel model(argv[1], argv[2], mode);
    report("loaded");
    trevalon::TensorMap inputs;
    std::vector<std::vector<uint8_t>> data;
    for (auto input : model.inputs()) {
      trevalon::ModelTensor t;
      size_t count = 1;
      // A dimension supplied at run time gets the image side of the benchmark models.
      for (int32_t& d : input.shape) d = d > 0 ? d : 224;
      for (int32_t d : input.shape) count *= size_t(d);
      const bool int8 = input.dtype == "int8";
      data.emplace_back(count * (int8 ? 1 : 4), 0);
      t.data = data.back().data();
      t.shape = input.shape;
      t.dtype = int8 ? "int8" : "float32";
      inputs[input.name] = std::move(t);
    }
    for (int i = 0; i < forwards; ++i) {
      model.forward(inputs);
      report(("forward " + std::to_string(i + 1)).c_str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}
