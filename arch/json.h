// The engine's own JSON reader: one value record, a recursive-descent parser and typed lookups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace trevalon {

enum class JsonType : int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

// Deeper nesting than this is rejected with "JSON: nesting too deep".
inline constexpr int kJsonMaxDepth = 512;

struct JsonValue {
  using MemberMap = std::unordered_map<std::string, JsonValue>;

  JsonType type = JsonType::Null;
  double number = 0;
  bool boolean = false;
  std::string text;
  std::vector<JsonValue> items;
  std::unique_ptr<MemberMap> members;

  JsonValue();
  JsonValue(JsonValue&& other) noexcept;
  JsonValue& operator=(JsonValue&& other) noexcept;
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;
  ~JsonValue();

  bool contains(const std::string& key) const;
  // Throws "JSON key not found: " + key.
  const JsonValue& at(const std::string& key) const;
  // Inserts a Null member when absent, whatever this value's type.
  JsonValue& operator[](const std::string& key);
  // Members of an Object, elements of an Array, 0 otherwise.
  size_t size() const;

  // Node-parameter lookups: the member itself, else the member of "args", else the default.
  int32_t get_int(const std::string& name, int32_t def) const;
  float get_float(const std::string& name, float def) const;
  bool get_bool(const std::string& name) const;
};

// Test hook: when set, every typed lookup reports the key, its kind ('i' get_int, 'f' get_float,
// 'b' get_bool) and the value it returns, so a tool can list what each layer read. Null removes it.
using ParamReadObserver = void (*)(const std::string& name, char kind, double value);
void set_param_read_observer(ParamReadObserver observer);

struct JsonCursor {
  const char* p;
  const char* end;
};

// Parses one value at `cur` into `out`, leaving `cur` after it. The text must be followed by a NUL
// byte (numbers are converted with strtod). Throws std::runtime_error on malformed input.
void parse_json(JsonValue& out, JsonCursor& cur);

}  // namespace trevalon
