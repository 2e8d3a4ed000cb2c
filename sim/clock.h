// The run's clock. The program under the simulator and every model live on it: each clock that
// the program can read runs `factor` times the wall clock from the start of the run, each from
// its own reading at that start (so CLOCK_REALTIME stays a date). The CPU-time clocks (process and
// thread) are not scaled: they count the work done, which no factor changes.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace tsim {

constexpr double kSpeedMin = 0.1;
constexpr double kSpeedMax = 100;
constexpr double kSpeedJump = -1;  // --speed max: see jump.h
constexpr int kClockIds = 12;  // clock ids 0..11 of the kernel; others (negative) are per-process

struct ClockState {
  double factor;                      // simulated seconds per wall second; 1 = the wall clock
  std::int64_t anchor_ns[kClockIds];  // each clock's reading at the start of the run
  // --speed max: the clocks stand at their anchors plus `elapsed_ns`, which moves only when every
  // thread of the run waits (jump.h); `factor` is then 1 for what still counts on the wall clock.
  bool jump;
  std::atomic<std::int64_t> elapsed_ns;
};

// Reads the clocks now as the anchors of a run at `factor` (kSpeedJump for max).
void clock_start(ClockState &c, double factor);
// Sets the factor of a run not yet started.
void clock_set_speed(ClockState &c, double factor);

// Whether the run's clock is other than the wall clock.
inline bool clock_simulated(const ClockState &c) {
  return c.jump || c.factor != 1;
}

// Whether `id` follows the factor (the realtime, monotonic, raw, boot and TAI clocks).
bool clock_scaled(clockid_t id);

// The wall clock `id`, read through the C library's own entry point (never the preload's).
std::int64_t wall_ns(clockid_t id);

// Between the wall and the simulated reading of a scaled clock. With --speed max the simulated
// one does not follow the wall clock at all; a simulated time maps to the wall clock's reading as
// far ahead of now.
inline std::int64_t to_sim_ns(const ClockState &c, clockid_t id, std::int64_t wall) {
  if (c.jump) return c.anchor_ns[id] + c.elapsed_ns.load(std::memory_order_acquire);
  if (c.factor == 1) return wall;
  const std::int64_t a = c.anchor_ns[id];
  return a + static_cast<std::int64_t>(static_cast<double>(wall - a) * c.factor);
}
inline std::int64_t to_wall_ns(const ClockState &c, clockid_t id, std::int64_t sim) {
  if (c.jump)
    return wall_ns(id) + (sim - c.anchor_ns[id] - c.elapsed_ns.load(std::memory_order_acquire));
  if (c.factor == 1) return sim;
  const std::int64_t a = c.anchor_ns[id];
  return a + static_cast<std::int64_t>(static_cast<double>(sim - a) / c.factor);
}

// A span of simulated time as wall time, rounded up (a wait never ends early), and back.
inline std::int64_t wall_span_ns(const ClockState &c, std::int64_t sim) {
  if (c.factor == 1 || sim <= 0) return sim;
  const double w = static_cast<double>(sim) / c.factor;
  const auto n = static_cast<std::int64_t>(w);
  return static_cast<double>(n) < w ? n + 1 : n;
}
inline std::int64_t sim_span_ns(const ClockState &c, std::int64_t wall) {
  if (c.factor == 1 || wall <= 0) return wall;
  return static_cast<std::int64_t>(static_cast<double>(wall) * c.factor);
}

// The simulated clock `id` now.
inline std::int64_t sim_ns(const ClockState &c, clockid_t id) {
  return to_sim_ns(c, id, c.jump ? 0 : wall_ns(id));
}

// Reads a factor as --speed and the scenario take it ("max" as kSpeedJump): "" or the reason it
// is refused.
const char *parse_speed(const char *text, double *factor);

}  // namespace tsim
