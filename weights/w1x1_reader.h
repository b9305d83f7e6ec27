// W1X1 weights file: header, index of named entries, and exact reads of tensor records.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace trevalon {

struct WeightLoadMemoryStats {
  uint64_t peak_tensor_bytes = 0;
};

struct W1x1Entry {
  uint8_t raw[80];  // the index entry as stored; byte 63 forced to 0
  uint64_t offset() const;
  uint32_t size() const;
};

// An open, indexed weights file. Closing happens in the destructor (a failed close only warns).
class W1x1File {
 public:
  // Throws "Cannot open weights: " + path, "Bad magic in " + path + " (expected W1X1)",
  // "read error at " + field.
  explicit W1x1File(const std::string& path);
  ~W1x1File();
  W1x1File(const W1x1File&) = delete;
  W1x1File& operator=(const W1x1File&) = delete;

  // Fills shape and bytes (both reused, resized in place); false when the name is not indexed or
  // the seek fails. Throws on read errors and on records that do not fit the file.
  bool read(const std::string& name, std::vector<int32_t>& shape, std::vector<uint8_t>& bytes,
            WeightLoadMemoryStats* stats = nullptr);

  const std::unordered_map<std::string, W1x1Entry>& index() const { return index_; }
  uint32_t version() const { return version_; }
  uint64_t file_size() const { return file_size_; }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  uint64_t file_size_ = 0;
  uint32_t version_ = 0;
  std::unordered_map<std::string, W1x1Entry> index_;
};

}  // namespace trevalon
