// Drive commands to wheel speeds: velocity and acceleration limits, the command watchdog, and
// the robot's control law.
#pragma once

#include <cmath>
#include <cstdint>
#include <mutex>

#include "samples.h"
#include "tarsa/tr4_model.h"

namespace bridge {

struct DriveLimits {
  double max_linear = 0.3;         // m/s
  double max_angular = 2.0;        // rad/s
  double max_linear_accel = 0.5;   // m/s^2; 0: no ramp
  double max_angular_accel = 4.0;  // rad/s^2; 0: no ramp
  int watchdog_ms = 500;           // stop when no command came for this long; 0: never
  double safety_distance_m = 0;    // no forward motion towards an obstacle nearer; 0: off
};

// Commands come from the front-ends' threads, ticks from the robot loop.
class DriveControl {
 public:
  explicit DriveControl(const DriveLimits &limits) : limits_(limits) {
    tr4_safety_init(&field_, limits.safety_distance_m);
  }

  // A client's command, received at `now_us` (monotonic).
  void command(const Twist &t, std::int64_t now_us);
  // Stops at once (no ramp): the commanding client went away, or the program ends.
  void stop();
  // The velocities for the tick at `now_us`, `dt_s` after the previous one, as wheel speeds.
  // `expired` is set on the tick where the watchdog stopped the robot.
  tr4_wheel_speeds_t tick(std::int64_t now_us, double dt_s, bool *expired = nullptr);
  Twist current() const;
  // The nearest obstacle ahead seen by `source` (TR4_SAFETY_LRF: the range finder's front
  // sector, TR4_SAFETY_US: the front ultrasonic sensor), in metres; infinity when it sees none,
  // NaN when it saw nothing.
  void obstacle(int source, double range_m);
  // The safety field holds forward motion back (safety_distance_m set and an obstacle nearer).
  bool holding() const;
  // The limits in force; new ones apply from the next command and tick.
  DriveLimits limits() const;
  void set_limits(const DriveLimits &limits);

 private:
  DriveLimits limits_;
  mutable std::mutex mutex_;
  Twist target_, current_;
  std::int64_t last_us_ = 0;
  bool active_ = false;   // a command is in force (the watchdog runs)
  tr4_safety_t field_{};  // the library's safety field, under mutex_
};

}  // namespace bridge
