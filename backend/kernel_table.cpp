// Indexed access to the kernel table, for tests and diagnostics.
#include "backend/kernel_table.h"

namespace trevalon {

bool kernel_slot_filled(const KernelTable& table, int index) {
  switch (index) {
#define TREVALON_SLOT_FILLED(i, name, type) \
  case i: return table.name != nullptr;
    TREVALON_KERNEL_SLOTS(TREVALON_SLOT_FILLED)
#undef TREVALON_SLOT_FILLED
    default: return false;
  }
}

const char* kernel_slot_name(int index) {
  switch (index) {
#define TREVALON_SLOT_NAME(i, name, type) \
  case i: return #name;
    TREVALON_KERNEL_SLOTS(TREVALON_SLOT_NAME)
#undef TREVALON_SLOT_NAME
    default: return "";
  }
}

}  // namespace trevalon
