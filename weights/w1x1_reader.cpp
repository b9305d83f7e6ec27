// W1X1 weights file: reads the header and index once, then serves tensor records by name with
// exact reads. The file is untrusted: every size it states is checked against the file's length
// before anything is allocated for it.
#include "weights/w1x1_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace trevalon {

namespace {

constexpr uint64_t kHeaderBytes = 12;
constexpr uint64_t kEntryBytes = 80;
constexpr uint64_t kRecordHeaderBytes = 4;  // dtype, ordering, ndim

uint32_t load_u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t load_u64(const uint8_t* p) { return uint64_t(load_u32(p)) | uint64_t(load_u32(p + 4)) << 32; }

void read_exact(std::FILE* f, void* dst, size_t n, const char* field) {
  if (n == 0) return;
  if (std::fread(dst, 1, n, f) != n) throw std::runtime_error(std::string("read error at ") + field);
}

[[noreturn]] void fail_tensor(const std::string& name, const std::string& path, const char* what) {
  throw std::runtime_error("W1X1: tensor '" + name + "' in " + path + " " + what);
}

}  // namespace

uint64_t W1x1Entry::offset() const { return load_u64(raw + 64); }
uint32_t W1x1Entry::size() const { return load_u32(raw + 72); }

W1x1File::W1x1File(const std::string& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) throw std::runtime_error("Cannot open weights: " + path);
  try {
    // Only regular files have a meaningful length; anything else counts as empty for the bounds.
    struct stat st {};
    if (fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
      file_size_ = static_cast<uint64_t>(st.st_size);

    uint8_t magic[4];
    read_exact(file_, magic, 4, "magic");
    if (std::memcmp(magic, "W1X1", 4) != 0)
      throw std::runtime_error("Bad magic in " + path + " (expected W1X1)");
    uint8_t word[4];
    read_exact(file_, word, 4, "version");
    version_ = load_u32(word);
    read_exact(file_, word, 4, "num_entries");
    const uint32_t num_entries = load_u32(word);

    // A count the file cannot hold would fail on the index read anyway; do not reserve for it.
    const uint64_t room = file_size_ > kHeaderBytes ? (file_size_ - kHeaderBytes) / kEntryBytes : 0;
    index_.reserve(static_cast<size_t>(std::min<uint64_t>(num_entries, room)));

    W1x1Entry entry;
    for (uint32_t k = 0; k < num_entries; ++k) {
      read_exact(file_, entry.raw, sizeof entry.raw, "index_entry");
      entry.raw[63] = 0;
      const char* name = reinterpret_cast<const char*>(entry.raw);
      index_.insert_or_assign(std::string(name, ::strnlen(name, 64)), entry);  // later entries win
    }
  } catch (...) {
    std::fclose(file_);
    file_ = nullptr;
    throw;
  }
}

W1x1File::~W1x1File() {
  if (file_ && std::fclose(file_) != 0)
    std::fprintf(stderr, "Warning: fclose failed for %s: %s\n", path_.c_str(), std::strerror(errno));
}

bool W1x1File::read(const std::string& name, std::vector<int32_t>& shape, std::vector<uint8_t>& bytes,
                    WeightLoadMemoryStats* stats) {
  auto it = index_.find(name);
  if (it == index_.end()) return false;
  const uint64_t offset = it->second.offset();
  const uint64_t size = it->second.size();
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
  if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;

  uint8_t head[4];
  read_exact(file_, &head[0], 1, "tensor_dtype");
  read_exact(file_, &head[1], 1, "tensor_ordering");
  read_exact(file_, &head[2], 2, "tensor_ndim");
  const uint64_t ndim = uint64_t(head[2]) | uint64_t(head[3]) << 8;

  // offset <= INT64_MAX and the other terms are below 2^33, so these sums cannot wrap.
  const uint64_t shape_bytes = 4 * ndim;
  const uint64_t shape_end = offset + kRecordHeaderBytes + shape_bytes;
  if (shape_end > file_size_) throw std::runtime_error("read error at tensor_shape");
  shape.resize(static_cast<size_t>(ndim));
  if (ndim > 0) {
    read_exact(file_, shape.data(), static_cast<size_t>(shape_bytes), "tensor_shape");
    for (int32_t& d : shape) {  // stored little-endian whatever the host
      uint8_t le[4];
      std::memcpy(le, &d, 4);
      d = static_cast<int32_t>(load_u32(le));
    }
  }

  // The stored size covers the record's own header; a shorter record cannot be read. The message
  // is the standard library's std::vector length error, kept word for word because callers match it.
  if (size < kRecordHeaderBytes + shape_bytes) throw std::length_error("vector");
  const uint64_t data_size = size - kRecordHeaderBytes - shape_bytes;

  int64_t elements = 1;
  bool has_zero = false;
  for (int32_t d : shape) {
    if (d < 0) fail_tensor(name, path_, "has a negative dimension");
    if (d == 0) has_zero = true;
  }
  if (!has_zero) {
    for (int32_t d : shape)
      if (__builtin_mul_overflow(elements, int64_t(d), &elements))
        fail_tensor(name, path_, "has a shape whose element count overflows 64 bits");
  }

  if (offset + size > file_size_) throw std::runtime_error("read error at tensor_data");
  bytes.resize(static_cast<size_t>(data_size));
  if (stats && data_size > stats->peak_tensor_bytes) stats->peak_tensor_bytes = data_size;
  read_exact(file_, bytes.data(), static_cast<size_t>(data_size), "tensor_data");
  return true;
}

}  // namespace trevalon
