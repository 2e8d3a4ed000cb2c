// The Tarsa4 robot's own knowledge: geometry, control law, odometry, decoding of the sensor
// replies into physical units, the start-up for driving and the stop routine.
#include "tarsa/tr4_model.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <numbers>

#include "tarsa/vx_tarsa4.h"

namespace {

// Both wheels' speeds of the control law share this divisor; computed once so that every
// caller gets the same quotients.
constexpr double kTwoUnits = 2 * TR4_MM_PER_UNIT;

// Truncates toward zero into the wire range; a non-number gives 0.
int wire_speed(double value) {
  if (std::isnan(value)) return 0;
  if (value <= TR4_WIRE_SPEED_MIN) return TR4_WIRE_SPEED_MIN;
  if (value >= TR4_WIRE_SPEED_MAX) return TR4_WIRE_SPEED_MAX;
  return int(value);
}

int word(const unsigned char *raw, int i) {
  return raw[2 * i] | raw[2 * i + 1] << 8;
}

// Mean of each axis block (10 samples of 16 bits) as sample() reads one and finish() scales the
// block's sum.
template <class Sample, class Finish>
void decode_axes(const unsigned char *raw, tr4_vector3_t *out, Sample sample, Finish finish) {
  double *axes[3] = {&out->x, &out->y, &out->z};
  for (int axis = 0; axis < 3; ++axis) {
    double sum = 0.0;
    for (int s = 0; s < 10; ++s) sum += sample(std::int16_t(word(raw, axis * 10 + s)));
    *axes[axis] = finish(sum) / 10.0;
  }
}

// Signed change of a 32-bit counter, modulo 2^32.
std::int32_t counter_step(int now, int before) {
  return std::int32_t(std::uint32_t(now) - std::uint32_t(before));
}

// The pause between two tries of a stop command, through nanosleep only (signal handlers).
void stop_pause() {
  timespec left{0, 20 * 1000 * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Sends `command` until the robot takes it, at most TR4_STOP_ATTEMPTS times: 0 or the last
// failing result.
template <class F>
int insist(F command) {
  int r = 0;
  for (int attempt = 0; attempt < TR4_STOP_ATTEMPTS; ++attempt) {
    if (attempt > 0) stop_pause();
    r = command();
    if (r == 0) return 0;
  }
  return r;
}

}  // namespace

extern "C" {

tr4_wheel_speeds_t tr4_wheel_speeds(double linear_mm_s, double angular_rad_s) {
  double left = (2 * linear_mm_s - TR4_WHEEL_BASE_MM * angular_rad_s) / kTwoUnits,
         right = (2 * linear_mm_s + TR4_WHEEL_BASE_MM * angular_rad_s) / kTwoUnits;
  // A wheel without a value (a non-number in the command, or inf - inf) means no usable
  // command: stand still rather than drive one wheel alone.
  if (std::isnan(left) || std::isnan(right)) return {0, 0};
  return {wire_speed(left), wire_speed(right)};
}

int tr4_speed_units(double mm_s) {
  return wire_speed(mm_s / TR4_MM_PER_UNIT);
}

void tr4_body_velocity(int left, int right, double *linear_mm_s, double *angular_rad_s) {
  if (linear_mm_s) *linear_mm_s = (double(left) + double(right)) * TR4_MM_PER_UNIT / 2;
  if (angular_rad_s)
    *angular_rad_s = (double(right) - double(left)) * TR4_MM_PER_UNIT / TR4_WHEEL_BASE_MM;
}

void tr4_odometry_reset(tr4_odometry_t *odo) {
  *odo = tr4_odometry_t{};
}

int tr4_odometry_update(tr4_odometry_t *odo, int left, int right) {
  const std::int32_t step_left = counter_step(left, odo->left),
                     step_right = counter_step(right, odo->right);
  const bool reference = !odo->started ||
                         std::abs(std::int64_t(step_left)) > TR4_ODOMETRY_MAX_STEP ||
                         std::abs(std::int64_t(step_right)) > TR4_ODOMETRY_MAX_STEP;
  odo->left = left, odo->right = right;
  if (reference) {
    odo->started = 1;
    return 1;
  }
  const double dl = step_left * TR4_MM_PER_UNIT / 1000, dr = step_right * TR4_MM_PER_UNIT / 1000;
  const double d = (dl + dr) / 2, dtheta = (dr - dl) / (TR4_WHEEL_BASE_MM / 1000);
  // Along the chord of the arc: the mean heading of the step.
  odo->x_m += d * std::cos(odo->theta_rad + dtheta / 2);
  odo->y_m += d * std::sin(odo->theta_rad + dtheta / 2);
  double theta = std::remainder(odo->theta_rad + dtheta, 2 * std::numbers::pi);
  if (theta <= -std::numbers::pi) theta += 2 * std::numbers::pi;
  odo->theta_rad = theta;
  odo->distance_m += std::fabs(d);
  return 0;
}

void tr4_decode_acc(const unsigned char *raw, tr4_vector3_t *g) {
  // The upper 12 bits of each sample, 1000 counts per g.
  decode_axes(
      raw, g, [](std::int16_t v) { return (v >> 4) / 1000.0; }, [](double sum) { return sum; });
}

void tr4_decode_gyro(const unsigned char *raw, tr4_vector3_t *deg_s) {
  // The whole sample, 0.066 degree/s per count.
  decode_axes(
      raw, deg_s, [](std::int16_t v) { return double(v); }, [](double sum) { return sum * 0.066; });
}

void tr4_decode_us(const unsigned char *raw, double *range_m) {
  // Centimetres; 0 is the firmware's "nothing measured".
  for (int i = 0; i < TR4_US_COUNT; ++i) {
    const std::int16_t cm = std::int16_t(word(raw, i));
    range_m[i] = cm < 0    ? std::numeric_limits<double>::quiet_NaN()
                 : cm == 0 ? std::numeric_limits<double>::infinity()
                           : cm / 100.0;
  }
}

void tr4_decode_ir(const unsigned char *raw, int *level) {
  for (int i = 0; i < TR4_IR_COUNT; ++i) level[i] = word(raw, i);
}

void tr4_decode_battery(const unsigned char *raw, tr4_battery_t *battery) {
  battery->voltage_v = word(raw, 0) / 1000.0;
  battery->current_a = std::int16_t(word(raw, 1)) / 1000.0;
  battery->temperature_c = std::int16_t(word(raw, 2)) / 10.0;
  battery->remaining_mah = word(raw, 3);
  battery->capacity_mah = word(raw, 4);
  battery->charge_percent = raw[10];
  battery->charging = raw[11] & 1;
  battery->present = raw[11] >> 1 & 1;
}

void tr4_safety_init(tr4_safety_t *field, double distance_m) {
  field->distance_m = distance_m;
  for (double &a : field->ahead_m) a = INFINITY;
  field->holding = 0;
}

void tr4_safety_see(tr4_safety_t *field, int source, double range_m) {
  // A sensor that measured nothing leaves what it saw before.
  if (source >= 0 && source < TR4_SAFETY_SOURCES && !std::isnan(range_m))
    field->ahead_m[source] = range_m;
}

double tr4_safety_linear(tr4_safety_t *field, double linear) {
  // Written so that a distance that is not a number leaves the field off.
  const bool on = field->distance_m > 0;
  field->holding =
      on && linear > 0 && std::fmin(field->ahead_m[0], field->ahead_m[1]) < field->distance_m;
  return field->holding ? 0.0 : linear;
}

int tr4_drive_start(lyn_dev_t dev) {
  const int results[] = {tr4_SetSpeedProfile(TR4_DRIVE_PROFILE, dev), tr4_SetMode(2, dev),
                         tr4_ResetEncoders(dev)};
  for (int r : results)
    if (r != 0) return r;
  return 0;
}

int tr4_stop(lyn_dev_t dev) {
  if (!dev) return TR4_ERR_NOT_INITIALIZED;
  // A signal handler's caller must find errno as it left it.
  const int saved_errno = errno;
  int result = 0;
  const int results[] = {insist([dev] { return tr4_set_speed(0, 0, dev); }),
                         insist([dev] { return tr4_SetMode(0, dev); }),
                         insist([dev] { return tr4_SetRGBLeds(0, 0, 0, 0, 0, 0, 0, 0, 0, dev); })};
  for (int r : results)
    if (r != 0) result = r;
  errno = saved_errno;
  return result;
}

}  // extern "C"
