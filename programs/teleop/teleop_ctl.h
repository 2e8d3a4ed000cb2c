// Control side of teleop that needs no robot: time arithmetic, the velocity law, the sensor
// decoding and the tick schedule.
#pragma once

#include <sys/time.h>

#include <cstdint>

// Distance between the wheels, and the linear speed of one wheel speed unit.
inline constexpr double kWheelBase = 105.4;
inline constexpr double kSpeedUnit = 0.678181;
// A wheel speed travels as a signed 16-bit value.
inline constexpr int kWheelSpeedMin = -32768;
inline constexpr int kWheelSpeedMax = 32767;

std::int64_t timeval_diff(struct timeval *result, const struct timeval *end,
                          const struct timeval *start);
int v2p(double v);

struct WheelSpeeds {
  int left, right;
};
// Wheel speeds for angular velocity W and linear velocity V; not-a-number gives 0 and values
// beyond a wheel speed saturate.
WheelSpeeds wheel_speeds(double W, double V);
// Truncates toward zero into the wheel speed range; not-a-number gives 0.
int to_wheel_speed(double value);

// Decoding of the robot's raw sensor replies (little-endian 16-bit words).
void decode_acc(const unsigned char *raw, double *x, double *y, double *z);
void decode_gyro(const unsigned char *raw, double *x, double *y, double *z);
void decode_us(const unsigned char *raw, std::int16_t *us);
void decode_ir(const unsigned char *raw, int *ir);

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
