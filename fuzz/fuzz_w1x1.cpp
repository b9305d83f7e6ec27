// Fuzzes the W1X1 reader: the input becomes an in-memory file, which is opened by path and every
// indexed tensor read back. Allocations larger than the input would be a bug.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "weights/w1x1_reader.h"

using namespace trevalon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("w1x1_fuzz", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0) std::abort();
  if (size && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();

  try {
    W1x1File file(path);
    std::vector<int32_t> shape;
    std::vector<uint8_t> bytes;
    WeightLoadMemoryStats stats;
    for (const auto& [name, entry] : file.index()) {
      try {
        if (file.read(name, shape, bytes, &stats) && bytes.size() > size) std::abort();
      } catch (const std::runtime_error&) {  // a bad record; the others are still read
      } catch (const std::length_error&) {   // a record shorter than its own header
      }
    }
    if (stats.peak_tensor_bytes > size) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
