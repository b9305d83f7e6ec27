// Fuzzes the JSON reader. The input is copied into a buffer of exactly its length, with no NUL
// after it, so the sanitizers catch any read past the cursor's end, numbers included.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "arch/json.h"

using namespace trevalon;

namespace {

// Walks the tree through the public accessors so every value is touched.
void visit(const JsonValue& v) {
  (void)v.size();
  for (const JsonValue& item : v.items) visit(item);
  if (v.type == JsonType::Object && v.members) {
    for (const auto& [key, member] : *v.members) {
      if (!v.contains(key) || &v.at(key) != &member) std::abort();
      visit(member);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<char[]> text(new char[size == 0 ? 1 : size]);
  if (size) std::memcpy(text.get(), data, size);
  JsonCursor cur{text.get(), text.get() + size};
  JsonValue root;
  try {
    parse_json(root, cur);
  } catch (const std::runtime_error&) {
    return 0;  // any other exception escapes and is reported
  }
  if (cur.p <= text.get() || cur.p > cur.end) std::abort();
  visit(root);
  (void)root.get_int("k", 0);
  (void)root.get_float("k", 0.f);
  (void)root.get_bool("k");
  return 0;
}
