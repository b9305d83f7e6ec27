// JSON reader: grammar, exact error texts, member access, typed lookups, nesting limit and a run
// over a public conformance corpus.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "arch/json.h"

using namespace trevalon;

namespace {

// The reader's texts always arrive with a NUL after the last byte; std::string provides it.
JsonValue parse(const std::string& text, size_t* consumed = nullptr) {
  JsonCursor cur{text.data(), text.data() + text.size()};
  JsonValue v;
  parse_json(v, cur);
  if (consumed) *consumed = static_cast<size_t>(cur.p - text.data());
  return v;
}

std::string parse_error(const std::string& text) {
  try {
    parse(text);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace

TEST(JsonParse, EmptyContainersAndNesting) {
  for (const char* t : {"{}", "{ }", " \r\n\t{}"}) {
    JsonValue v = parse(t);
    EXPECT_EQ(v.type, JsonType::Object) << t;
    EXPECT_EQ(v.size(), 0u) << t;
  }
  for (const char* t : {"[]", "[ ]"}) {
    JsonValue v = parse(t);
    EXPECT_EQ(v.type, JsonType::Array) << t;
    EXPECT_EQ(v.size(), 0u) << t;
  }
  JsonValue v = parse(R"({"a": [1, {"b": "c"}, true, false, null], "d": -0.5})");
  ASSERT_EQ(v.size(), 2u);
  const JsonValue& a = v.at("a");
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a.items[0].number, 1);
  EXPECT_EQ(a.items[1].at("b").text, "c");
  EXPECT_TRUE(a.items[2].boolean);
  EXPECT_EQ(a.items[3].type, JsonType::Bool);
  EXPECT_FALSE(a.items[3].boolean);
  EXPECT_EQ(a.items[4].type, JsonType::Null);
  EXPECT_EQ(v.at("d").number, -0.5);

  JsonValue dup = parse(R"({"a":1,"a":2})");
  EXPECT_EQ(dup.size(), 1u);
  EXPECT_EQ(dup.at("a").number, 2);
}

TEST(JsonParse, NumbersFollowTheLenientScan) {
  struct Case {
    const char* text;
    double value;
    size_t consumed;
  };
  const Case cases[] = {
      {"007", 7, 3},    {"-", 0, 1},           {"-x", 0, 1},           {"1e5", 1e5, 3},
      {"1E+2", 100, 4}, {"-2.5e-1", -0.25, 7}, {"1e", 1, 2},           {"1.5.3", 1.5, 3},
      {"0x10", 16, 1},  {"12 34", 12, 2},      {"1e400", HUGE_VAL, 5},
  };
  for (const Case& c : cases) {
    size_t consumed = 0;
    JsonValue v = parse(c.text, &consumed);
    EXPECT_EQ(v.type, JsonType::Number) << c.text;
    EXPECT_EQ(v.number, c.value) << c.text;
    EXPECT_EQ(consumed, c.consumed) << c.text;
  }
  EXPECT_TRUE(std::isinf(parse("-Infinity").number));  // the C library reads past the lone '-'
}

TEST(JsonParse, LiteralsAndTrailingTextAreNotExamined) {
  size_t consumed = 0;
  EXPECT_EQ(parse("nullx", &consumed).type, JsonType::Null);
  EXPECT_EQ(consumed, 4u);
  JsonValue v = parse("true false", &consumed);
  EXPECT_TRUE(v.boolean);
  EXPECT_EQ(consumed, 4u);
  EXPECT_EQ(parse("[1] garbage").size(), 1u);
}

TEST(JsonParse, StringEscapesAndRawBytes) {
  EXPECT_EQ(parse(R"("x\ty\u0041")").text, std::string("x\ty") + "u0041");
  EXPECT_EQ(parse(R"("\"\\\/\b\f\n\r")").text, "\"\\/bf\n\r");
  const std::string raw = "\"\x01\xc3\xa9\x7f\"";
  EXPECT_EQ(parse(raw).text, raw.substr(1, 4));
  const std::string with_nul("\"a\0b\"", 5);
  EXPECT_EQ(parse(with_nul).text, std::string("a\0b", 3));
}

TEST(JsonParse, ExactErrorMessages) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "JSON: unexpected char '"},  // code 0 ends the C string
      {" \t\r\n", "JSON: unexpected char '"},
      {"[1,]", "JSON: unexpected char ']'"},
      {"{\"a\":}", "JSON: unexpected char '}'"},
      {"+5", "JSON: unexpected char '+'"},
      {".5", "JSON: unexpected char '.'"},
      {"Infinity", "JSON: unexpected char 'I'"},
      {"NaN", "JSON: unexpected char 'N'"},
      {"tru", "JSON: unexpected char 't'"},
      {"fals", "JSON: unexpected char 'f'"},
      {"\xff", "JSON: unexpected char '\xff'"},
      {"{\"a\":1,}", "JSON: expected '\"', got '}'"},
      {"{1:2}", "JSON: expected '\"', got '1'"},
      {"{\"a\" 1}", "JSON: expected ':', got '1'"},
      {"[1.5.3]", "JSON: expected ']', got '.'"},
      {"[0x10]", "JSON: expected ']', got 'x'"},
      {"[1 2]", "JSON: expected ']', got '2'"},
      {"[1", "JSON: expected ']', got '"},
      {"{\"a\":1", "JSON: expected '}', got '"},
      {"\"abc", "JSON: unterminated string"},
      {"\"abc\\", "JSON: unterminated string"},
      {"{\"ab", "JSON: unterminated string"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(parse_error(text), message) << text;
}

TEST(JsonParse, StaysInsideTheCursorRange) {
  // The bytes after the range would complete each value; the reader must not look at them.
  const std::string buf = "[1,2]12345true";
  JsonValue v;
  JsonCursor cut{buf.data(), buf.data() + 4};  // "[1,2"
  try {
    parse_json(v, cut);
    FAIL() << "an array cut before its ']' must not parse";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "JSON: expected ']', got '");
  }
  JsonCursor digits{buf.data() + 5, buf.data() + 7};  // "12"
  parse_json(v, digits);
  EXPECT_EQ(v.number, 12);
  JsonCursor empty{buf.data() + 5, buf.data() + 5};
  EXPECT_THROW(parse_json(v, empty), std::runtime_error);
  JsonCursor literal{buf.data() + 10, buf.data() + 13};  // "tru"
  EXPECT_THROW(parse_json(v, literal), std::runtime_error);
}

TEST(JsonParse, FailureLeavesTheTargetUntouched) {
  const std::string text = R"({"a": [1, 2, {"b": )";
  JsonValue v;
  v.type = JsonType::Number;
  v.number = 5;
  JsonCursor cur{text.data(), text.data() + text.size()};
  EXPECT_THROW(parse_json(v, cur), std::runtime_error);
  EXPECT_EQ(v.type, JsonType::Number);
  EXPECT_EQ(v.number, 5);
  EXPECT_EQ(cur.p, text.data());
}

TEST(JsonParse, NestingLimit) {
  auto arrays = [](int n) { return std::string(n, '[') + std::string(n, ']'); };
  auto objects = [](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "{\"k\":";
    return s + "0" + std::string(n, '}');
  };
  EXPECT_EQ(parse(arrays(kJsonMaxDepth)).type, JsonType::Array);
  EXPECT_EQ(parse(objects(kJsonMaxDepth)).type, JsonType::Object);
  EXPECT_EQ(parse_error(arrays(kJsonMaxDepth + 1)), "JSON: nesting too deep");
  EXPECT_EQ(parse_error(objects(kJsonMaxDepth + 1)), "JSON: nesting too deep");
  EXPECT_EQ(parse_error(std::string(1000000, '[')), "JSON: nesting too deep");
}

TEST(JsonValue, MemberAccessAndMoves) {
  JsonValue v = parse(R"({"a": 1})");
  EXPECT_TRUE(v.contains("a"));
  EXPECT_FALSE(v.contains("A"));  // byte-exact keys
  try {
    v.at("zz");
    FAIL() << "at() on an absent key must throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "JSON key not found: zz");
  }

  JsonValue n = parse("3");
  n["x"].number = 4;  // any type owns a member table; the type stays
  EXPECT_EQ(n.type, JsonType::Number);
  EXPECT_EQ(n.at("x").type, JsonType::Null);
  EXPECT_EQ(n.size(), 0u);
  EXPECT_EQ(parse("\"abc\"").size(), 0u);

  JsonValue moved = std::move(v);
  EXPECT_EQ(moved.size(), 1u);
  EXPECT_EQ(v.type, JsonType::Null);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(v.size(), 0u);
  EXPECT_FALSE(v.contains("a"));
  v["b"];  // a moved-from value still accepts members
  EXPECT_TRUE(v.contains("b"));
}

TEST(JsonValue, TypedLookups) {
  struct Case {
    const char* text;
    int32_t want;
  };
  const Case ints[] = {
      {R"({"k": 2.9})", 2},
      {R"({"k": -2.9})", -2},
      {R"({"k": "3"})", 0},
      {"{}", 7},
      {R"({"args": {"k": 4}})", 4},
      {R"({"k": 1, "args": {"k": 4}})", 1},
      {R"({"args": 5})", 7},
      {R"({"k": true})", 0},
      {R"({"k": 1e10})", INT32_MAX},
      {R"({"k": -1e10})", INT32_MIN},
      {"[1]", 7},
      {R"({"k": null})", 0},
  };
  for (const Case& c : ints) EXPECT_EQ(parse(c.text).get_int("k", 7), c.want) << c.text;
  JsonValue nan_holder = parse(R"({"k": 0})");
  nan_holder["k"].number = std::nan("");
  EXPECT_EQ(nan_holder.get_int("k", 7), 0);
  EXPECT_FALSE(nan_holder.get_bool("k"));

  EXPECT_EQ(parse(R"({"k": 0.1})").get_float("k", 2.f), 0.1f);
  EXPECT_EQ(parse(R"({"args": {"k": -3.5}})").get_float("k", 2.f), -3.5f);
  EXPECT_EQ(parse("{}").get_float("k", 2.f), 2.f);

  const std::pair<const char*, bool> bools[] = {
      {R"({"k": 0.5})", false},           {R"({"k": 2})", true},      {R"({"k": "yes"})", false},
      {R"({"k": true})", true},           {R"({"k": false})", false}, {"{}", false},
      {R"({"args": {"k": true}})", true}, {R"({"k": -1e20})", true},
  };
  for (const auto& [text, want] : bools) EXPECT_EQ(parse(text).get_bool("k"), want) << text;
}

// A public conformance corpus: no crash or hang, every y_ file parses, the others parse or fail
// with one of the reader's own messages.
TEST(JsonParse, ConformanceCorpus) {
  const std::filesystem::path dir =
      std::filesystem::path(TREVALON_SOURCE_DIR) / "tests" / "data" / "jsontestsuite" / "test_parsing";
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << "JSON conformance corpus missing at " << dir;

  int files = 0, accepted = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name.size() < 2 || name[1] != '_') continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    ++files;

    const auto t0 = std::chrono::steady_clock::now();
    std::string error;
    try {
      parse(text);
      ++accepted;
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 500.0) << name;
    if (name[0] == 'y') {
      EXPECT_EQ(error, "") << name;
    } else if (!error.empty()) {
      const bool known = error.rfind("JSON: unexpected char '", 0) == 0 ||
                         error.rfind("JSON: expected '", 0) == 0 || error == "JSON: unterminated string" ||
                         error == "JSON: nesting too deep";
      EXPECT_TRUE(known) << name << ": " << error;
    }
  }
  EXPECT_GT(files, 300);
  EXPECT_GT(accepted, 95);  // all y_ files at least
}
