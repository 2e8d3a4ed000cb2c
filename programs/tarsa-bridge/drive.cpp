// Drive commands to wheel speeds.
#include "drive.h"

#include <algorithm>
#include <cmath>

namespace bridge {

namespace {

double step_towards(double from, double to, double max_step) {
  if (max_step <= 0) return to;
  return from + std::clamp(to - from, -max_step, max_step);
}

}  // namespace

void DriveControl::command(const Twist &t, std::int64_t now_us) {
  std::lock_guard lock(mutex_);
  target_.linear = std::clamp(t.linear, -limits_.max_linear, limits_.max_linear);
  target_.angular = std::clamp(t.angular, -limits_.max_angular, limits_.max_angular);
  last_us_ = now_us;
  active_ = true;
}

void DriveControl::stop() {
  std::lock_guard lock(mutex_);
  target_ = current_ = {};
  active_ = false;
}

tr4_wheel_speeds_t DriveControl::tick(std::int64_t now_us, double dt_s, bool *expired) {
  std::lock_guard lock(mutex_);
  if (expired) *expired = false;
  if (active_ && limits_.watchdog_ms > 0 && now_us - last_us_ > limits_.watchdog_ms * 1000LL) {
    target_ = current_ = {};
    active_ = false;
    if (expired) *expired = true;
  }
  // The safety field: nothing forward towards an obstacle nearer than the distance, at once
  // (no ramp); turning and backing away stay allowed.
  const double allowed = tr4_safety_linear(&field_, target_.linear);
  if (field_.holding) current_.linear = std::fmin(current_.linear, 0.0);
  current_.linear = step_towards(current_.linear, allowed, limits_.max_linear_accel * dt_s);
  current_.angular =
      step_towards(current_.angular, target_.angular, limits_.max_angular_accel * dt_s);
  return tr4_wheel_speeds(current_.linear * 1000, current_.angular);
}

void DriveControl::obstacle(int source, double range_m) {
  std::lock_guard lock(mutex_);
  tr4_safety_see(&field_, source, range_m);
}

bool DriveControl::holding() const {
  std::lock_guard lock(mutex_);
  return field_.holding != 0;
}

DriveLimits DriveControl::limits() const {
  std::lock_guard lock(mutex_);
  return limits_;
}

void DriveControl::set_limits(const DriveLimits &limits) {
  std::lock_guard lock(mutex_);
  limits_ = limits;
  // A command in force is held to lower speed limits at once.
  target_.linear = std::clamp(target_.linear, -limits_.max_linear, limits_.max_linear);
  target_.angular = std::clamp(target_.angular, -limits_.max_angular, limits_.max_angular);
}

Twist DriveControl::current() const {
  std::lock_guard lock(mutex_);
  return current_;
}

}  // namespace bridge
