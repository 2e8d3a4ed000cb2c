// Control side of teleop that needs no robot: time arithmetic, speed conversion, schedule.
#include "teleop_ctl.h"

#include <cmath>

std::int64_t timeval_diff(struct timeval *result, const struct timeval *end,
                          const struct timeval *start) {
  timeval scratch{};
  if (!result) result = &scratch;
  std::int64_t usec = std::int64_t(end->tv_usec) - start->tv_usec;
  std::int64_t sec = std::int64_t(end->tv_sec) - start->tv_sec;
  while (usec < 0) {
    usec += 1000000;
    sec -= 1;
  }
  result->tv_sec = time_t(sec);
  result->tv_usec = suseconds_t(usec);
  return sec * 1000000 + usec;
}

int v2p(double v) {
  // The first truncation to int must stay defined for any input.
  double whole =
      std::isnan(v) ? 0.0 : std::trunc(std::fmax(std::fmin(v, 2147483647.0), -2147483648.0));
  return tr4_speed_units(whole);
}

bool TickSchedule::ready(std::int64_t elapsed_us) {
  // In whole microseconds, so that the window's edges are exact.
  std::int64_t t = elapsed_us - std::int64_t(counter_) * 50000;
  if (t >= -10000 && t <= 10000) return true;
  if (t > 10000) ++counter_;
  return false;
}

std::int64_t TickSchedule::until_window(std::int64_t elapsed_us) const {
  std::int64_t open = std::int64_t(counter_) * 50000 - 10000;
  return elapsed_us < open ? open - elapsed_us : 0;
}
