// The process-wide list of backends and the active one.
#pragma once

#include <string_view>

#include "backend/kernel_table.h"

namespace trevalon {

inline constexpr const char* kNoBackendMessage =
    "No backend registered. Did you link cpu_backend (or another backend)?";

// Append, sort by priority (highest first, stable) and make the head active.
void register_backend(const BackendDescriptor* descriptor);
// Null when nothing is registered.
const BackendDescriptor* active_backend_descriptor();
// The active descriptor, or a runtime error with the no-backend message.
const BackendDescriptor& require_backend();
// Make the first backend named exactly `name` active; false (and no change) when none matches.
bool set_backend(std::string_view name);
// Name of the active backend; throws the no-backend message when none is active.
const char* active_backend_name();

// Test hook: forget every registration (the CPU backend re-registers with register_cpu_backend()).
void clear_backend_registry_for_tests();

}  // namespace trevalon
