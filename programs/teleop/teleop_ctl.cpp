// Control side of teleop that needs no robot: time arithmetic, velocity law, decoding, schedule.
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

int to_wheel_speed(double value) {
  if (std::isnan(value)) return 0;
  if (value <= kWheelSpeedMin) return kWheelSpeedMin;
  if (value >= kWheelSpeedMax) return kWheelSpeedMax;
  return int(value);
}

int v2p(double v) {
  // The first truncation to int must stay defined for any input.
  double whole =
      std::isnan(v) ? 0.0 : std::trunc(std::fmax(std::fmin(v, 2147483647.0), -2147483648.0));
  return to_wheel_speed(whole / kSpeedUnit);
}

WheelSpeeds wheel_speeds(double W, double V) {
  constexpr double k = 2 * kSpeedUnit;
  double left = (2 * V + kWheelBase * W) / k, right = (2 * V - kWheelBase * W) / k;
  // A wheel without a value (a non-number in the command, or inf - inf) means no usable
  // command: stand still rather than drive one wheel alone.
  if (std::isnan(left) || std::isnan(right)) return {0, 0};
  return {to_wheel_speed(left), to_wheel_speed(right)};
}

namespace {

int word(const unsigned char *raw, int i) {
  return raw[2 * i] | raw[2 * i + 1] << 8;
}

// Mean of each axis block (10 samples of 16 bits), each sample passed through sample().
template <class F>
void decode_axes(const unsigned char *raw, double *x, double *y, double *z, F sample) {
  double *out[3] = {x, y, z};
  for (int axis = 0; axis < 3; ++axis) {
    double sum = 0.0;
    for (int s = 0; s < 10; ++s) sum += sample(std::int16_t(word(raw, axis * 10 + s)));
    *out[axis] = sample.finish(sum) / 10.0;
  }
}

struct AccSample {
  double operator()(std::int16_t v) const { return (v >> 4) / 1000.0; }
  double finish(double sum) const { return sum; }
};
struct GyroSample {
  double operator()(std::int16_t v) const { return v; }
  double finish(double sum) const { return sum * 0.066; }
};

}  // namespace

void decode_acc(const unsigned char *raw, double *x, double *y, double *z) {
  decode_axes(raw, x, y, z, AccSample{});
}

void decode_gyro(const unsigned char *raw, double *x, double *y, double *z) {
  decode_axes(raw, x, y, z, GyroSample{});
}

void decode_us(const unsigned char *raw, std::int16_t *us) {
  for (int i = 0; i < 5; ++i) us[i] = std::int16_t(word(raw, i));
}

void decode_ir(const unsigned char *raw, int *ir) {
  for (int i = 0; i < 12; ++i) ir[i] = word(raw, i);
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
