// Shared helpers for the C++ tests: error checks, random data, a temporary folder, files, and W1X1
// images built in memory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "arch/json.h"

namespace trevalon::testing {

// f() must throw std::runtime_error with exactly `message`.
inline void expect_error(const std::function<void()>& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no error, expected: " << message;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

// n floats drawn uniformly from [lo, hi) with `rng`.
inline std::vector<float> random_floats(size_t n, std::mt19937& rng, float lo = -1.0f, float hi = 1.0f) {
  std::uniform_real_distribution<float> dist(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = dist(rng);
  return v;
}

// The same from a fresh generator seeded with `seed`.
inline std::vector<float> random_floats(size_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  return random_floats(n, rng, lo, hi);
}

// A JSON node object (layer parameters) from its text.
inline JsonValue parse_node(const std::string& text) {
  JsonValue v;
  JsonCursor cur{text.c_str(), text.c_str() + text.size()};
  parse_json(v, cur);
  return v;
}

// A WeightGetter over named byte tensors (each reported as one flat dimension).
template <class Map>
auto getter_over(const Map& tensors) {
  return [&tensors](const std::string& name, std::vector<int32_t>& shape, std::vector<uint8_t>& bytes) {
    auto it = tensors.find(name);
    if (it == tensors.end()) return false;
    shape = {int32_t(it->second.size())};
    bytes = it->second;
    return true;
  };
}

// The raw bytes of a vector, as the weights file would hold them.
template <class T>
std::vector<uint8_t> bytes_of(const std::vector<T>& v) {
  std::vector<uint8_t> b(v.size() * sizeof(T));
  if (!b.empty()) std::memcpy(b.data(), v.data(), b.size());
  return b;
}

struct TensorRecord {
  std::string name;
  std::vector<int32_t> shape;
  std::vector<uint8_t> data;
};

template <class T>
TensorRecord make_record(const std::string& name, std::vector<int32_t> shape, const std::vector<T>& values) {
  TensorRecord r{name, std::move(shape), std::vector<uint8_t>(values.size() * sizeof(T))};
  if (!values.empty()) std::memcpy(r.data.data(), values.data(), r.data.size());
  return r;
}

// A W1X1 image: header, index, then the records one after another.
inline std::string build_w1x1(const std::vector<TensorRecord>& records, uint32_t version = 1) {
  std::string out(12 + 80 * records.size(), '\0');
  std::memcpy(out.data(), "W1X1", 4);
  std::memcpy(out.data() + 4, &version, 4);
  const uint32_t count = static_cast<uint32_t>(records.size());
  std::memcpy(out.data() + 8, &count, 4);
  for (size_t k = 0; k < records.size(); ++k) {
    const TensorRecord& r = records[k];
    const uint64_t offset = out.size();
    std::string rec(4 + 4 * r.shape.size(), '\0');
    rec[0] = 0;
    rec[1] = 0;
    const uint16_t ndim = static_cast<uint16_t>(r.shape.size());
    std::memcpy(rec.data() + 2, &ndim, 2);
    if (ndim) std::memcpy(rec.data() + 4, r.shape.data(), 4 * r.shape.size());
    rec.append(reinterpret_cast<const char*>(r.data.data()), r.data.size());
    const uint32_t size = static_cast<uint32_t>(rec.size());
    char* entry = out.data() + 12 + 80 * k;
    std::strncpy(entry, r.name.c_str(), 63);
    std::memcpy(entry + 64, &offset, 8);
    std::memcpy(entry + 72, &size, 4);
    out += rec;
  }
  return out;
}

// A fresh folder per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / ("trevalon_test_" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string write(const std::string& name, const std::string& bytes) const {
    const std::string p = (path_ / name).string();
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  std::string path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace trevalon::testing
