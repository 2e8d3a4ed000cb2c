// Control side of teleop that needs no robot: time arithmetic, the speed conversion, the
// ultrasonic words of the sensor message and the tick schedule. The robot's constants, control
// law and decoders are the library's (tarsa/tr4_model.h).
#pragma once

#include <sys/time.h>

#include <cstdint>

#include "tarsa/tr4_model.h"

std::int64_t timeval_diff(struct timeval *result, const struct timeval *end,
                          const struct timeval *start);
int v2p(double v);

// The ultrasonic reply as the sensor message carries it: the 5 little-endian words as signed
// 16-bit values (centimetres, 0 when nothing was measured).
inline void decode_us(const unsigned char *raw, std::int16_t *us) {
  for (int i = 0; i < TR4_US_COUNT; ++i) us[i] = std::int16_t(raw[2 * i] | raw[2 * i + 1] << 8);
}

// Ticks due every 50 ms from the start; one may run within 10 ms of its due time, and a due time
// that has passed by more than that is given up.
class TickSchedule {
 public:
  // True when the tick due now may run; otherwise gives up passed due times.
  bool ready(std::int64_t elapsed_us);
  // Microseconds until the window of the next due tick opens (0 when open or passed).
  std::int64_t until_window(std::int64_t elapsed_us) const;
  void ran() { ++counter_; }
  int counter() const { return counter_; }

 private:
  int counter_ = 0;
};
