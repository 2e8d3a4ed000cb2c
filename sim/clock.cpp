// The run's clock: anchors, and the wall clocks read past the preload.
#include "clock.h"

#include <dlfcn.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tsim {

namespace {

using GetTime = int (*)(clockid_t, timespec *);

// The C library's clock_gettime: inside the preload, the plain name is the simulated one.
GetTime wall_gettime() {
  static const GetTime fn = [] {
    auto f = reinterpret_cast<GetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return f ? f : &::clock_gettime;
  }();
  return fn;
}

}  // namespace

bool clock_scaled(clockid_t id) {
  return id >= 0 && id < kClockIds && id != CLOCK_PROCESS_CPUTIME_ID &&
         id != CLOCK_THREAD_CPUTIME_ID && id != 10;
}

std::int64_t wall_ns(clockid_t id) {
  timespec ts{};
  wall_gettime()(id, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void clock_set_speed(ClockState &c, double factor) {
  c.jump = factor == kSpeedJump;
  c.factor = c.jump ? 1 : factor;
}

void clock_start(ClockState &c, double factor) {
  clock_set_speed(c, factor);
  c.elapsed_ns.store(0);
  for (clockid_t id = 0; id < kClockIds; ++id) c.anchor_ns[id] = clock_scaled(id) ? wall_ns(id) : 0;
}

const char *parse_speed(const char *text, double *factor) {
  if (std::strcmp(text, "max") == 0) {
    *factor = kSpeedJump;
    return "";
  }
  char *end = nullptr;
  const double v = std::strtod(text, &end);
  if (!*text || *end || !std::isfinite(v)) return "expected a number from 0.1 to 100, or max";
  if (v < kSpeedMin || v > kSpeedMax) return "out of range [0.1, 100]";
  *factor = v;
  return "";
}

}  // namespace tsim
