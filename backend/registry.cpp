// Backend registry: an ordered list of static descriptors and the active pointer.
#include "backend/registry.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace trevalon {
namespace {

struct Registry {
  std::vector<const BackendDescriptor*> list;
  const BackendDescriptor* active = nullptr;
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

void register_backend(const BackendDescriptor* descriptor) {
  Registry& r = registry();
  r.list.push_back(descriptor);
  std::stable_sort(r.list.begin(), r.list.end(), [](const BackendDescriptor* a, const BackendDescriptor* b) {
    return a->priority > b->priority;
  });
  r.active = r.list.front();
}

const BackendDescriptor* active_backend_descriptor() { return registry().active; }

const BackendDescriptor& require_backend() {
  const BackendDescriptor* d = registry().active;
  if (!d) throw std::runtime_error(kNoBackendMessage);
  return *d;
}

bool set_backend(std::string_view name) {
  for (const BackendDescriptor* d : registry().list) {
    if (name == d->name) {  // every byte of the name, embedded NULs included
      registry().active = d;
      return true;
    }
  }
  return false;
}

const char* active_backend_name() { return require_backend().name; }

void clear_backend_registry_for_tests() {
  registry().list.clear();
  registry().active = nullptr;
}

}  // namespace trevalon
