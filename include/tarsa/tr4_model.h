/* The Tarsa4 robot's own knowledge: geometry, the control law between body velocity and wheel
 * speeds, odometry from the wheel encoders, sensor decoding into physical units, the start-up
 * for driving and the stop routine. */
#ifndef TARSA_TR4_MODEL_H
#define TARSA_TR4_MODEL_H

#include "tarsa/export.h"
#include "tarsa/lyn.h"

TARSA_BEGIN_DECLS

/**
 * @file
 * What a program needs to drive the robot and read its sensors in physical units, on top of the
 * robot base driver (vx_tarsa4.h), whose functions keep the firmware's units.
 *
 * Frames and signs: x forward, y to the left, z up; angles and turns counter-clockwise positive,
 * seen from above. Body velocities: linear in mm/s, angular in rad/s. Wheel quantities: speed
 * units and encoder counts on the wire, mm and mm/s once converted. Poses: metres and radians.
 */

/* ---- geometry ---- */

/** Distance between the two wheels' contact points, mm. */
#define TR4_WHEEL_BASE_MM 105.4
/** One wheel speed unit in mm/s at the wheel rim; equally, one encoder count in mm. */
#define TR4_MM_PER_UNIT 0.678181
/** Radius of the round body, mm from its centre (between the wheels) to its edge. */
#define TR4_BODY_RADIUS_MM 70.0
/** Wheel speeds at which the motors saturate, speed units (about 678 mm/s). */
#define TR4_SPEED_UNITS_MAX 1000
/** Range of a wheel speed on the wire (signed 16-bit). */
#define TR4_WIRE_SPEED_MIN (-32768)
#define TR4_WIRE_SPEED_MAX 32767

/** Ultrasonic sensors, in the order tr4_measure_us() gives them: bearing in degrees. */
#define TR4_US_COUNT 5
#define TR4_US_BEARINGS_DEG \
  { 90, 45, 0, -45, -90 }
/** Infrared sensors: sensor i points i * 30 degrees counter-clockwise from straight ahead. */
#define TR4_IR_COUNT 12
#define TR4_IR_SPACING_DEG 30

/* ---- control law ---- */

/** Left and right wheel speeds, speed units. Without a tag: in C++ a struct named like the
 *  function tr4_wheel_speeds() would be hidden by it. */
typedef struct {
  int left;
  int right;
} tr4_wheel_speeds_t;

/**
 * Wheel speeds for a body velocity: left = (2 v - B w) / (2 k), right = (2 v + B w) / (2 k), with
 * B the wheel base and k TR4_MM_PER_UNIT, each truncated toward zero and held in the wire range
 * (not the motors' range: they saturate by themselves). A non-number in either argument, or a
 * result without a value, gives both wheels 0: no usable command means standing still.
 * @param linear_mm_s   forward speed, mm/s
 * @param angular_rad_s turn rate, rad/s, counter-clockwise positive
 */
TARSA_API tr4_wheel_speeds_t tr4_wheel_speeds(double linear_mm_s, double angular_rad_s);

/** A speed in mm/s as wheel speed units: truncated toward zero, held in the wire range; a
 *  non-number gives 0. */
TARSA_API int tr4_speed_units(double mm_s);

/** The body velocity that wheel speeds `left` and `right` (speed units) give: the inverse of
 *  tr4_wheel_speeds() before truncation. Either output may be NULL. */
TARSA_API void tr4_body_velocity(int left, int right, double *linear_mm_s, double *angular_rad_s);

/* ---- odometry ---- */

/** Largest change of an encoder between two updates that is taken as travel, counts (about 3.4 m,
 *  five seconds at full speed). A larger one means the counters started again from another
 *  value (a reset of the microcontroller, tr4_ResetEncoders()): the pose is kept and the new
 *  reading becomes the reference. */
#define TR4_ODOMETRY_MAX_STEP 5000

/** Dead reckoning from the wheel encoders. Zero-initialise it (or call tr4_odometry_reset()); the
 *  caller owns it, one per robot, and updates it from one thread. */
typedef struct tr4_odometry {
  double x_m, y_m;   /**< position in the odometry frame, metres */
  double theta_rad;  /**< heading in the odometry frame, radians, wrapped to (-pi, pi] */
  double distance_m; /**< path length travelled by the body's centre, metres, never decreasing */
  int left, right;   /**< encoder readings of the last update */
  int started;       /**< non-zero once a first reading was taken */
} tr4_odometry_t;

/** Pose back at the origin, distance 0; the next update's reading becomes the reference. */
TARSA_API void tr4_odometry_reset(tr4_odometry_t *odo);

/**
 * Advances the pose with encoder readings `left` and `right` (counts, as tr4_get_position() gives
 * them). The change since the last update is taken modulo 2^32, so that a counter that wraps
 * past its 32-bit range keeps counting; the first reading only sets the reference.
 * @return 0 when the pose moved by the change; 1 when this reading only set the reference (the
 *         first one, or a change beyond TR4_ODOMETRY_MAX_STEP on either wheel).
 */
TARSA_API int tr4_odometry_update(tr4_odometry_t *odo, int left, int right);

/* ---- sensor decoding ---- */

/** Three axes: accelerations in g, rotation rates in degrees per second. */
typedef struct tr4_vector3 {
  double x, y, z;
} tr4_vector3_t;

/** Accelerometer reply (TR4_ACC_BYTES) as the mean of each axis's 10 samples, in g. */
TARSA_API void tr4_decode_acc(const unsigned char *raw, tr4_vector3_t *g);
/** Gyroscope reply (TR4_GYRO_BYTES) as the mean of each axis's 10 samples, in degrees/s. */
TARSA_API void tr4_decode_gyro(const unsigned char *raw, tr4_vector3_t *deg_s);
/** Ultrasonic reply (TR4_US_BYTES): TR4_US_COUNT ranges in metres from the body's edge, in the
 *  sensors' order; a sensor that measured nothing within its reach (or is not selected) reads
 *  +infinity, a negative word not-a-number. */
TARSA_API void tr4_decode_us(const unsigned char *raw, double *range_m);
/** Infrared reply (TR4_IR_BYTES, proximity or ambient): TR4_IR_COUNT levels, 0 to 4095 from the
 *  sensors; each word is given as it came (0 to 65535), unclipped. */
TARSA_API void tr4_decode_ir(const unsigned char *raw, int *level);

/** The battery monitor's record in physical units. */
typedef struct tr4_battery {
  double voltage_v;     /**< volts */
  double current_a;     /**< amperes: positive while charging, negative while discharging */
  double temperature_c; /**< degrees Celsius */
  int remaining_mah;    /**< remaining capacity, mAh */
  int capacity_mah;     /**< full capacity, mAh */
  int charge_percent;   /**< state of charge, 0 to 100 */
  int charging;         /**< 1 while the monitor says it charges */
  int present;          /**< 1 while the monitor sees a battery */
} tr4_battery_t;

/** Battery reply (TR4_BATTERY_BYTES) in physical units. */
TARSA_API void tr4_decode_battery(const unsigned char *raw, tr4_battery_t *battery);

/* ---- safety field ---- */

/** Sources of tr4_safety_see(): the range finder's sector ahead, and the front ultrasonic sensor
 *  (index 2 of tr4_decode_us()). */
#define TR4_SAFETY_LRF 0
#define TR4_SAFETY_US 1
#define TR4_SAFETY_SOURCES 2

/**
 * The safety field: forward motion is held back while an obstacle ahead is nearer than a
 * distance; turning and backing away stay allowed. The caller owns it and keeps it from one
 * thread (or under its own lock): tr4_safety_init(), then tr4_safety_see() with each reading and
 * tr4_safety_linear() on each forward speed before it becomes wheel speeds.
 */
typedef struct tr4_safety {
  double distance_m; /**< reach of the field, metres; 0 (or less, or not a number): off */
  double ahead_m[TR4_SAFETY_SOURCES]; /**< nearest obstacle each source saw last, metres;
                                           +infinity: none */
  int holding; /**< 1 when the last tr4_safety_linear() held forward motion back */
} tr4_safety_t;

/** A field reaching `distance_m` metres (0: off) that has seen no obstacle yet. */
TARSA_API void tr4_safety_init(tr4_safety_t *field, double distance_m);

/** The nearest obstacle ahead that `source` (TR4_SAFETY_LRF or TR4_SAFETY_US) measured, metres
 *  as the sensor gives it; +infinity when it sees none. A reading that is not a number (the sensor
 *  measured nothing) keeps what the source saw before; an unknown source is ignored. */
TARSA_API void tr4_safety_see(tr4_safety_t *field, int source, double range_m);

/**
 * The forward speed the field allows for a commanded one, in the command's own unit (only its
 * sign matters): `linear` itself, or 0 when it is forward (greater than 0), the field is on and a
 * source saw an obstacle nearer than its distance. Sets `holding` accordingly.
 */
TARSA_API double tr4_safety_linear(tr4_safety_t *field, double linear);

/* ---- start and stop ---- */

/** The speed profile for driving by wheel speeds, in tr4_SetSpeedProfile()'s order: ramps of 100
 *  units per 10 ms, approach speed 20, cruising speed 800. */
#define TR4_DRIVE_PROFILE 100, 0, 20, 1, 800

/**
 * Readies the robot for driving by wheel speeds: the speed profile TR4_DRIVE_PROFILE, controller
 * mode 2, encoders zeroed, in that order (all three are sent even when one fails).
 * @return 0, or the first failing driver result (vx_tarsa4.h).
 */
TARSA_API int tr4_drive_start(lyn_dev_t dev);

/** How many times the stop routine sends each command while the robot refuses it. */
#define TR4_STOP_ATTEMPTS 5

/**
 * The stop routine: wheel speeds 0, controller mode 0, RGB LEDs off, each sent again (up to
 * TR4_STOP_ATTEMPTS times, 20 ms apart) while the robot refuses it, all three tried whatever
 * happens to the others. Prints nothing of its own (a refused command is reported by the driver
 * as usual), allocates only through the driver, waits with nanosleep and leaves errno as it
 * found it, so that a signal handler may run it when it interrupted no robot call.
 * @return 0 when the robot took all three; otherwise the last failing driver result (58 for a
 *         null handle, after nothing was sent).
 */
TARSA_API int tr4_stop(lyn_dev_t dev);

TARSA_END_DECLS

#endif
