// Millisecond clock relative to the first reading of the process.
#include "tarsa/vx_time.h"

#include <sys/time.h>

#include <cstdint>

namespace {

// Clock value of the first reading, kept in the 32-bit wrapping domain of the results.
int ref_time = 0;
// A separate flag, because the first reading itself may be 0 modulo 2^32.
bool ref_taken = false;

}  // namespace

int vx_getTime(void) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  // Unsigned arithmetic wraps modulo 2^32 instead of overflowing.
  const uint32_t now =
      static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
  if (!ref_taken) {
    ref_time = static_cast<int>(now);
    ref_taken = true;
    return 0;
  }
  return static_cast<int>(now - static_cast<uint32_t>(ref_time));
}
