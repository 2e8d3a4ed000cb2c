// Allocation that never hands a null pointer back: exhaustion ends the process.
#include "tarsa/vx_memory.h"

#include <cstdlib>

#include "core/vx_codes.h"
#include "tarsa/vx_error.h"

// Reports carry fixed lines (26, 45) and the label "vx_alloc" for both calls, as users know them.
void *vx_alloc(int size) {
  void *p = std::malloc(static_cast<size_t>(size));
  if (p == nullptr) vx_fatal("vx_memory", 26, "vx_alloc", tarsa::err::NoMemory);
  return p;
}

void *vx_realloc(void *ptr, int size) {
  // realloc(ptr, 0) may free the block and answer null; that is no exhaustion, so a zero size
  // keeps a minimal block instead of ending the process (and leaves no dangling caller pointer).
  size_t n = size == 0 ? 1 : static_cast<size_t>(size);
  void *p = std::realloc(ptr, n);
  if (p == nullptr) vx_fatal("vx_memory", 45, "vx_alloc", tarsa::err::NoMemory);
  return p;
}
