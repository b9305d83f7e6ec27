// W1X1 weights reader: round trips, index edge cases, the exact read errors and the checks that
// keep a hostile file from causing out-of-range reads or oversized allocations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "weights/w1x1_reader.h"

using namespace trevalon;

namespace {

struct Tensor {
  std::string name;
  std::vector<int32_t> shape;
  std::vector<uint8_t> data;
  uint8_t dtype = 1, ordering = 0;
  int same_record_as = -1;  // index of an earlier tensor whose record this entry shares
};

void put_u32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
void put_u64(std::string& b, size_t at, uint64_t v) {
  put_u32(b, at, static_cast<uint32_t>(v));
  put_u32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

// Header, index, then the records in index order.
std::string build(const std::vector<Tensor>& tensors, uint32_t version = 1) {
  std::string b(12 + 80 * tensors.size(), '\0');
  b.replace(0, 4, "W1X1");
  put_u32(b, 4, version);
  put_u32(b, 8, static_cast<uint32_t>(tensors.size()));
  for (size_t k = 0; k < tensors.size(); ++k) {
    const Tensor& t = tensors[k];
    const size_t entry = 12 + 80 * k, record = b.size();
    b.replace(entry, std::min<size_t>(t.name.size(), 64), t.name, 0, 64);
    if (t.same_record_as >= 0) {
      const std::string location = b.substr(12 + 80 * size_t(t.same_record_as) + 64, 16);
      b.replace(entry + 64, 16, location);
      continue;
    }
    put_u64(b, entry + 64, record);
    put_u32(b, entry + 72, static_cast<uint32_t>(4 + 4 * t.shape.size() + t.data.size()));
    b.resize(record + 4 + 4 * t.shape.size());
    b[record] = static_cast<char>(t.dtype);
    b[record + 1] = static_cast<char>(t.ordering);
    b[record + 2] = static_cast<char>(t.shape.size());
    b[record + 3] = static_cast<char>(t.shape.size() >> 8);
    for (size_t d = 0; d < t.shape.size(); ++d)
      put_u32(b, record + 4 + 4 * d, static_cast<uint32_t>(t.shape[d]));
    b.append(t.data.begin(), t.data.end());
  }
  return b;
}

size_t entry_at(size_t k) { return 12 + 80 * k; }

class W1x1Test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "w1x1_test_XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string write(const std::string& bytes, const std::string& name = "model.w1x1") {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path;
  }

  // The message of the runtime error thrown by f, or "<no error>".
  static std::string error_of(const std::function<void()>& f) {
    try {
      f();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "<no error>";
  }

  std::filesystem::path dir_;
  std::vector<int32_t> shape_;
  std::vector<uint8_t> bytes_;
};

}  // namespace

TEST_F(W1x1Test, ReadsTensorsByNameAndReusesBuffers) {
  const Tensor w{"conv.weight", {2, 1, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 3, 7};
  const Tensor scalar{"scalar", {}, {0xAA, 0xBB}};  // ndim 0: everything after the header is data
  const Tensor alias{"alias", {}, {}, 0, 0, 0};
  W1x1File f(write(build({w, scalar, alias}, 0xFFFFFFFFu)));  // any version is accepted
  EXPECT_EQ(f.version(), 0xFFFFFFFFu);
  EXPECT_EQ(f.index().size(), 3u);

  WeightLoadMemoryStats stats;
  for (int pass = 0; pass < 2; ++pass) {  // the same name can be read again
    ASSERT_TRUE(f.read("conv.weight", shape_, bytes_, &stats));
    EXPECT_EQ(shape_, w.shape);
    EXPECT_EQ(bytes_, w.data);
  }
  ASSERT_TRUE(f.read("scalar", shape_, bytes_, &stats));
  EXPECT_TRUE(shape_.empty());
  EXPECT_EQ(bytes_, scalar.data);
  ASSERT_TRUE(f.read("alias", shape_, bytes_));
  EXPECT_EQ(shape_, w.shape);
  EXPECT_EQ(bytes_, w.data);
  EXPECT_EQ(stats.peak_tensor_bytes, 12u);
  EXPECT_FALSE(f.read("missing", shape_, bytes_));
  EXPECT_FALSE(f.read("conv.weigh", shape_, bytes_));
}

TEST_F(W1x1Test, IndexEdgeCases) {
  W1x1File empty(write(build({}), "empty.w1x1"));
  EXPECT_TRUE(empty.index().empty());
  EXPECT_FALSE(empty.read("", shape_, bytes_));

  // A 64-byte name without NUL keeps its first 63 characters; a later duplicate replaces the first.
  const std::string long_name(64, 'n');
  W1x1File f(write(build({{long_name, {1}, {1}}, {"dup", {1}, {2}}, {"dup", {2}, {3, 4}}})));
  EXPECT_EQ(f.index().size(), 2u);
  EXPECT_FALSE(f.read(long_name, shape_, bytes_));
  ASSERT_TRUE(f.read(long_name.substr(0, 63), shape_, bytes_));
  EXPECT_EQ(bytes_, std::vector<uint8_t>{1});
  ASSERT_TRUE(f.read("dup", shape_, bytes_));
  EXPECT_EQ(shape_, std::vector<int32_t>{2});
  EXPECT_EQ(bytes_, (std::vector<uint8_t>{3, 4}));
}

TEST_F(W1x1Test, OpenErrors) {
  const std::string missing = (dir_ / "nope.w1x1").string();
  EXPECT_EQ(error_of([&] { W1x1File f(missing); }), "Cannot open weights: " + missing);

  std::string bad = build({});
  bad[3] = '2';
  const std::string bad_path = write(bad);
  EXPECT_EQ(error_of([&] { W1x1File f(bad_path); }), "Bad magic in " + bad_path + " (expected W1X1)");

  const std::string good = build({{"t", {1}, {1}}});
  const std::pair<size_t, const char*> cuts[] = {
      {0, "magic"}, {3, "magic"}, {4, "version"}, {10, "num_entries"}, {12 + 79, "index_entry"}};
  for (const auto& [len, field] : cuts) {
    const std::string path = write(good.substr(0, len));
    EXPECT_EQ(error_of([&] { W1x1File f(path); }), std::string("read error at ") + field) << len;
  }

  // A count far beyond what the file holds fails on the index, without reserving for it.
  std::string huge = build({{"t", {1}, {1}}});
  put_u32(huge, 8, 0xFFFFFFFFu);
  const std::string huge_path = write(huge);
  EXPECT_EQ(error_of([&] { W1x1File f(huge_path); }), "read error at index_entry");
}

TEST_F(W1x1Test, RecordErrors) {
  const std::string base = build({{"t", {2, 3}, {1, 2, 3, 4, 5, 6}}});
  const size_t record = entry_at(1);
  // Each case patches the one valid file and expects one error from read("t").
  struct Case {
    const char* what;
    std::function<void(std::string&)> patch;
    std::string error;
  };
  const Case cases[] = {
      {"offset past the end", [](std::string& b) { put_u64(b, entry_at(0) + 64, 1u << 20); },
       "read error at tensor_dtype"},
      {"header cut", [&](std::string& b) { b.resize(record + 3); }, "read error at tensor_ndim"},
      {"shape past the end", [&](std::string& b) { b[record + 3] = char(0xFF); },
       "read error at tensor_shape"},
      {"size past the end", [](std::string& b) { put_u32(b, entry_at(0) + 72, 0xFFFFFFFFu); },
       "read error at tensor_data"},
      {"data cut", [](std::string& b) { b.pop_back(); }, "read error at tensor_data"},
      {"negative dimension", [&](std::string& b) { put_u32(b, record + 8, uint32_t(-3)); },
       "has a negative dimension"},
      {"element count overflow",
       [&](std::string& b) {
         b[record + 2] = 3;  // three dimensions of 2^31-1: more than 2^63 elements
         b.insert(record + 4, std::string(12, '\x7F'));
         for (int d = 0; d < 3; ++d) put_u32(b, record + 4 + 4 * d, 0x7FFFFFFF);
         put_u32(b, entry_at(0) + 72, 4 + 12 + 6);
       },
       "has a shape whose element count overflows 64 bits"},
  };
  for (const Case& c : cases) {
    std::string file = base;
    c.patch(file);
    const std::string path = write(file);
    W1x1File f(path);
    bytes_.clear();
    bytes_.shrink_to_fit();
    const std::string error = error_of([&] { f.read("t", shape_, bytes_); });
    if (c.error.rfind("read error", 0) == 0) {
      EXPECT_EQ(error, c.error) << c.what;
    } else {
      EXPECT_EQ(error, "W1X1: tensor 't' in " + path + " " + c.error) << c.what;
    }
    EXPECT_LE(bytes_.capacity(), file.size()) << c.what;  // nothing sized beyond the file
  }

  // A record shorter than its own header and shape is a length error.
  std::string short_record = base;
  put_u32(short_record, entry_at(0) + 72, 4 + 8 - 1);
  W1x1File f(write(short_record));
  try {
    f.read("t", shape_, bytes_);
    FAIL() << "a record shorter than its shape must not read";
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), "vector");
  }

  // An offset no seek can reach is a failed seek, which reads as absent.
  std::string far = base;
  put_u64(far, entry_at(0) + 64, 0x8000000000000000ull);
  W1x1File g(write(far));
  EXPECT_FALSE(g.read("t", shape_, bytes_));
}

TEST_F(W1x1Test, ZeroDimensionIsNotAnOverflow) {
  std::string file = build({{"z", {0, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF}, {}}});
  W1x1File f(write(file));
  ASSERT_TRUE(f.read("z", shape_, bytes_));
  EXPECT_EQ(shape_.size(), 4u);
  EXPECT_TRUE(bytes_.empty());
}
