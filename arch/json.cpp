// The engine's own JSON reader: value record, recursive-descent parser over an in-memory text and
// the typed parameter lookups the architecture loader uses.
#include "arch/json.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include <locale.h>

namespace trevalon {

// ---- value record ----

JsonValue::JsonValue() : members(std::make_unique<MemberMap>()) { members->max_load_factor(1.0f); }

JsonValue::JsonValue(JsonValue&& other) noexcept
    : type(other.type),
      number(other.number),
      boolean(other.boolean),
      text(std::move(other.text)),
      items(std::move(other.items)),
      members(std::move(other.members)) {
  other.type = JsonType::Null;
  other.number = 0;
  other.boolean = false;
  other.text.clear();
  other.items.clear();
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
  if (this == &other) return *this;
  type = other.type;
  number = other.number;
  boolean = other.boolean;
  text = std::move(other.text);
  items = std::move(other.items);
  members = std::move(other.members);
  other.type = JsonType::Null;
  other.number = 0;
  other.boolean = false;
  other.text.clear();
  other.items.clear();
  return *this;
}

JsonValue::~JsonValue() = default;

// A moved-from value has no member table; it reads as empty and gets a new table on insertion.
bool JsonValue::contains(const std::string& key) const {
  return members && members->find(key) != members->end();
}

const JsonValue& JsonValue::at(const std::string& key) const {
  if (members) {
    auto it = members->find(key);
    if (it != members->end()) return it->second;
  }
  throw std::runtime_error("JSON key not found: " + key);
}

JsonValue& JsonValue::operator[](const std::string& key) {
  if (!members) {
    members = std::make_unique<MemberMap>();
    members->max_load_factor(1.0f);
  }
  return (*members)[key];
}

size_t JsonValue::size() const {
  if (type == JsonType::Object) return members ? members->size() : 0;
  if (type == JsonType::Array) return items.size();
  return 0;
}

// ---- typed lookups ----

namespace {

// The member itself, else the member of an "args" object, else nothing.
const JsonValue* find_param(const JsonValue& v, const std::string& name) {
  if (v.type != JsonType::Object) return nullptr;
  if (v.contains(name)) return &v.at(name);
  if (v.contains("args")) {
    const JsonValue& args = v.at("args");
    if (args.type == JsonType::Object && args.contains(name)) return &args.at(name);
  }
  return nullptr;
}

// Truncation toward zero that saturates instead of invoking undefined behaviour.
int32_t truncate_to_int32(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (x <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(x);
}

ParamReadObserver param_read_observer = nullptr;

template <class T>
T observed(const std::string& name, char kind, T value) {
  if (param_read_observer) param_read_observer(name, kind, static_cast<double>(value));
  return value;
}

}  // namespace

void set_param_read_observer(ParamReadObserver observer) { param_read_observer = observer; }

int32_t JsonValue::get_int(const std::string& name, int32_t def) const {
  const JsonValue* src = find_param(*this, name);
  return observed(name, 'i', src ? truncate_to_int32(src->number) : def);
}

float JsonValue::get_float(const std::string& name, float def) const {
  const JsonValue* src = find_param(*this, name);
  return observed(name, 'f', src ? static_cast<float>(src->number) : def);
}

bool JsonValue::get_bool(const std::string& name) const {
  const JsonValue* src = find_param(*this, name);
  bool value = false;
  if (src) value = src->type == JsonType::Bool ? src->boolean : truncate_to_int32(src->number) != 0;
  return observed(name, 'b', value);
}

// ---- parser ----

namespace {

[[noreturn]] void fail_unexpected(char c) {
  // At the end of the text c is 0, which ends the C string right after the opening quote.
  char buf[64];
  std::snprintf(buf, sizeof buf, "JSON: unexpected char '%c'", c);
  throw std::runtime_error(buf);
}

[[noreturn]] void fail_expected(char want, char got) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "JSON: expected '%c', got '%c'", want, got);
  throw std::runtime_error(buf);
}

void skip_ws(JsonCursor& cur) {
  while (cur.p < cur.end && (*cur.p == ' ' || *cur.p == '\t' || *cur.p == '\n' || *cur.p == '\r')) ++cur.p;
}

char peek(const JsonCursor& cur) { return cur.p < cur.end ? *cur.p : '\0'; }

// The byte is consumed whether or not it matches.
void expect(JsonCursor& cur, char c) {
  skip_ws(cur);
  char got = '\0';
  if (cur.p < cur.end) got = *cur.p++;
  if (got != c) fail_expected(c, got);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Bytes the C library's strtod may consume in the "C" locale: signs, digits, letters (hex digits,
// exponents, inf/nan and nan's character sequence), the point, underscores and parentheses.
bool is_strtod_byte(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '+' ||
         c == '-' || c == '_' || c == '(' || c == ')';
}

void parse_number(JsonValue& out, JsonCursor& cur) {
  const char* start = cur.p;
  const char* p = cur.p;
  if (p < cur.end && *p == '-') ++p;
  while (p < cur.end && is_digit(*p)) ++p;
  if (p < cur.end && *p == '.') {
    ++p;
    while (p < cur.end && is_digit(*p)) ++p;
  }
  if (p < cur.end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < cur.end && (*p == '+' || *p == '-')) ++p;
    while (p < cur.end && is_digit(*p)) ++p;
  }

  // strtod may read further than the scan (hex, inf, nan); it gets a NUL-terminated copy of the
  // longest run it could consume, so the conversion matches the unbounded one without ever
  // looking past the end of the text.
  const char* run_end = p;
  while (run_end < cur.end && is_strtod_byte(*run_end)) ++run_end;
  const size_t len = static_cast<size_t>(run_end - start);
  char small[64];
  std::string large;
  const char* token = small;
  if (len < sizeof small) {
    std::memcpy(small, start, len);
    small[len] = '\0';
  } else {
    large.assign(start, len);
    token = large.c_str();
  }

  out.type = JsonType::Number;
  // Always the "C" locale: a host program that set a comma-decimal locale must not change numbers.
  static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  out.number = c_locale ? strtod_l(token, nullptr, c_locale) : std::strtod(token, nullptr);
  cur.p = p;
}

void parse_string_into(std::string& dst, JsonCursor& cur) {
  expect(cur, '"');
  while (true) {
    if (cur.p >= cur.end) throw std::runtime_error("JSON: unterminated string");
    char c = *cur.p++;
    if (c == '"') return;
    if (c == '\\') {
      if (cur.p >= cur.end) throw std::runtime_error("JSON: unterminated string");
      char e = *cur.p++;
      switch (e) {
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        default: c = e; break;  // every other escaped byte stands for itself
      }
    }
    dst.push_back(c);
  }
}

bool match_literal(const JsonCursor& cur, const char* word, size_t n) {
  return static_cast<size_t>(cur.end - cur.p) >= n && std::memcmp(cur.p, word, n) == 0;
}

void parse_value(JsonValue& out, JsonCursor& cur, int depth);

void check_depth(int depth) {
  if (depth > kJsonMaxDepth) throw std::runtime_error("JSON: nesting too deep");
}

void parse_array(JsonValue& out, JsonCursor& cur, int depth) {
  check_depth(depth);
  expect(cur, '[');
  out.type = JsonType::Array;
  skip_ws(cur);
  if (peek(cur) == ']') {
    ++cur.p;
    return;
  }
  out.items.emplace_back();
  parse_value(out.items.back(), cur, depth);
  while (true) {
    skip_ws(cur);
    if (peek(cur) != ',') break;
    ++cur.p;
    out.items.emplace_back();
    parse_value(out.items.back(), cur, depth);
  }
  expect(cur, ']');
}

void parse_member(JsonValue& out, JsonCursor& cur, int depth) {
  std::string key;
  parse_string_into(key, cur);
  expect(cur, ':');
  JsonValue value;
  parse_value(value, cur, depth);
  out[key] = std::move(value);  // a repeated key keeps its last value
}

void parse_object(JsonValue& out, JsonCursor& cur, int depth) {
  check_depth(depth);
  expect(cur, '{');
  out.type = JsonType::Object;
  skip_ws(cur);
  if (peek(cur) == '}') {
    ++cur.p;
    return;
  }
  parse_member(out, cur, depth);
  while (true) {
    skip_ws(cur);
    if (peek(cur) != ',') break;
    ++cur.p;
    parse_member(out, cur, depth);
  }
  expect(cur, '}');
}

// depth counts the containers around the value being parsed.
void parse_value(JsonValue& out, JsonCursor& cur, int depth) {
  skip_ws(cur);
  const char c = peek(cur);
  switch (c) {
    case '{': parse_object(out, cur, depth + 1); return;
    case '[': parse_array(out, cur, depth + 1); return;
    case '"':
      out.type = JsonType::String;
      parse_string_into(out.text, cur);
      return;
    case 't':
      if (!match_literal(cur, "true", 4)) fail_unexpected(c);
      cur.p += 4;
      out.type = JsonType::Bool;
      out.boolean = true;
      return;
    case 'f':
      if (!match_literal(cur, "false", 5)) fail_unexpected(c);
      cur.p += 5;
      out.type = JsonType::Bool;
      out.boolean = false;
      return;
    case 'n':
      if (!match_literal(cur, "null", 4)) fail_unexpected(c);
      cur.p += 4;
      out.type = JsonType::Null;
      return;
    default:
      if (c == '-' || is_digit(c)) {
        parse_number(out, cur);
        return;
      }
      fail_unexpected(c);
  }
}

}  // namespace

void parse_json(JsonValue& out, JsonCursor& cur) {
  // Parse into a fresh value so that a failure leaves nothing half-built behind in out.
  JsonValue value;
  JsonCursor at = cur;
  parse_value(value, at, 0);
  out = std::move(value);
  cur = at;
}

}  // namespace trevalon
