/* Robot base driver: wheels, odometry, sensors, battery and LEDs, through its microcontroller. */
#ifndef TARSA_VX_TARSA4_H
#define TARSA_VX_TARSA4_H

#include "tarsa/export.h"
#include "tarsa/lyn.h"

TARSA_BEGIN_DECLS

/**
 * @file
 * Every operation talks to the microcontroller opened by the program with
 * `lyn_open("Tarsa4:dsPic", LYN_BUS_I2C, 0, NULL)`; the driver keeps no handle of its own.
 * The handle comes last, except for the two primitives tr4_getcommand() and tr4_sendcommand().
 *
 * Results of the robot operations:
 *  - 0   success;
 *  - 55  a read command failed (reported as error 55 with the layer's result);
 *  - 56  a write command failed (reported as error 56 with the layer's result);
 *  - 58  null handle: nothing was sent and nothing printed;
 *  - -12 no memory for a write frame.
 * 55, 56 and 58 are positive: test for non-zero, not for negative.
 *
 * Multi-byte values travel little-endian. Buffers belong to the caller; the driver fills them and
 * keeps no reference.
 *
 * The robot's units (the microcontroller's firmware fixes them; the driver passes numbers through):
 *  - speed: 1 unit = 0.678181 mm/s at the wheel rim; the motors saturate at +-1000 units
 *    (about 678 mm/s);
 *  - encoder: 1 count = 0.678181 mm of wheel travel, so a wheel at N units counts N per second;
 *  - wheels 105.4 mm apart: wheel speeds (l, r) turn the robot at (r - l) * 0.678181 / 105.4 rad/s;
 *    angles and turns are counter-clockwise positive, seen from above;
 *  - profile rates: units gained or lost per 10 ms (20 = 2000 units/s^2);
 *  - sensors: see the reply lengths below and each read.
 */

/** Pin of the microcontroller's reset line (active low) and of the battery charge line. */
#define TR4_GPIO_RESET 90
#define TR4_GPIO_CHARGE 65

/** Result when the handle is null. */
#define TR4_ERR_NOT_INITIALIZED 58

/** Reply lengths of the sensor reads: the caller's buffer holds at least this many bytes. */
#define TR4_IR_BYTES 24      /**< 12 unsigned 16-bit words, sensor 0 first */
#define TR4_US_BYTES 10      /**< 5 signed 16-bit ranges */
#define TR4_ACC_BYTES 60     /**< X, Y, Z blocks of 10 signed 16-bit samples each */
#define TR4_GYRO_BYTES 60    /**< same layout as the accelerometer */
#define TR4_BATTERY_BYTES 12 /**< battery monitor record, see tr4_battery_status() */

/* ---- link and start-up ---- */

/** Starts the library with the program's arguments (vx_init), claims GPIO 90 (reset, output at 1)
 *  and 65 (charge, input), and registers tr4_release() with atexit. A pin that cannot be claimed
 *  is reported (error 5) and start-up goes on. Returns 0, or -1 when the library cannot start. */
TARSA_API int tr4_init(int argc, char *argv[]);

/** Frees GPIO 90 and 65. Registered by tr4_init() so that it runs before the GPIO node closes. */
TARSA_API void tr4_release(void);

/** Read command `cmd`: writes the command byte, then reads `len` reply bytes into `buf`, in one
 *  transaction. Does not check the handle. Returns 0, or 55 after reporting error 55 (the
 *  content of `buf` is then undefined). */
TARSA_API int tr4_getcommand(lyn_dev_t dev, unsigned char cmd, void *buf, int len);

/** Write command `cmd` with `len` (0 or more) data bytes from `data`, as one write. Does not
 *  check the handle. Returns 0, 56 after reporting error 56, or -12 when no frame could be
 *  allocated (also for a negative `len`, with nothing sent). */
TARSA_API int tr4_sendcommand(lyn_dev_t dev, unsigned char cmd, const void *data, int len);

/** Firmware revision: one byte into buf[0]. Returns 0, 55 or 58. */
TARSA_API int tr4_revision(unsigned char *buf, lyn_dev_t dev);

/** Pulses the reset line low for 1 ms, leaving it high. The handle is only checked for null.
 *  The microcontroller restarts: encoders 0, mode 0, speed profile, position margin and LEDs at
 *  their defaults. While the line is low it answers nothing. Returns 0 or 58. */
TARSA_API int tr4_reset(lyn_dev_t dev);

/* ---- motion ---- */

/** Selects the controller mode:
 *  - 0: stopped, the wheels are held at zero at once (any mode not listed here acts as 0);
 *  - 1 and 2: speed control, the wheels follow tr4_set_speed();
 *  - 4: speed control through the robot's other speed command, which tr4_set_speed() sends by
 *    itself in this mode.
 *  Changing mode zeroes both wheel targets: the robot stops until the next speed command. In mode
 *  0 speed and position commands are acknowledged and ignored. The mode is remembered before the
 *  command is sent and chooses tr4_set_speed()'s command. */
TARSA_API int tr4_SetMode(int mode, lyn_dev_t dev);
/** Zeroes both wheel encoders. */
TARSA_API int tr4_ResetEncoders(lyn_dev_t dev);
/** Position control's tolerance, encoder counts (low 16 bits sent; 2 after a reset): a wheel
 *  stops when it is this close to its target. */
TARSA_API int tr4_SetPositionMargin(int margin, lyn_dev_t dev);
/** Gains of the wheels' speed controller (low byte of each sent). The simulated wheels follow
 *  their set speed exactly and only store them. */
TARSA_API int tr4_ConfigurePID(int kp, int ki, int kd, lyn_dev_t dev);
/** Speed profile, in speed units (values after a reset in brackets):
 *  - p1: acceleration, units gained per 10 ms; 0 no limit [0];
 *  - p2: deceleration, units lost per 10 ms; 0 the same as p1 [0];
 *  - p3: least speed with which position control approaches its target [20];
 *  - p4: non-zero, speed control ramps with p1 and p2; 0, a speed command applies at once [0];
 *  - p5: cruising speed of position control, at most 1000 [800].
 *  Position control always ramps, and brakes so as to stop on its target.
 *  p1 to p4 go out as single bytes, p5 as a 16-bit value, in two frames; the second frame is
 *  skipped only when the first could not be allocated (-12). Returns the last result. */
TARSA_API int tr4_SetSpeedProfile(int p1, int p2, int p3, int p4, int p5, lyn_dev_t dev);
/** Position control: drives each wheel to its target encoder count (signed 32-bit on the wire)
 *  with the speed profile's cruising and approach speeds, and stops it within the position
 *  margin. Works in modes 1, 2 and 4; the next speed command returns to speed control. */
TARSA_API int tr4_set_position(int left, int right, lyn_dev_t dev);
/** Wheel speeds, units of 0.678181 mm/s, positive forward (signed 16-bit on the wire; the motors
 *  saturate at +-1000). Equal speeds drive straight; (-n, n) turns on the spot
 *  counter-clockwise. */
TARSA_API int tr4_set_speed(int left, int right, lyn_dev_t dev);
/** Encoder positions, counts of 0.678181 mm, sign-extended from 32 bits. Both outputs are stored
 *  even after a failed read (55), when they are meaningless. */
TARSA_API int tr4_get_position(int *left, int *right, lyn_dev_t dev);
/** Actual wheel speeds, speed units, sign-extended from 16 bits; stored as tr4_get_position()
 *  does. */
TARSA_API int tr4_get_speed(int *left, int *right, lyn_dev_t dev);

/* ---- sensors, battery, LEDs ---- */

/* Sensor reads copy the reply unchanged into `buf` (sizes above) and return 0, 55 or 58; after a
 * failed read the buffer's content is undefined. */

/** Infrared proximity: 12 words 0 to 4095, one per sensor, sensor 0 straight ahead and the others
 *  every 30 degrees counter-clockwise (sensor 3 points left, 9 right). A sensor reads 0 with
 *  nothing within about 150 mm of the body's edge and rises as an obstacle comes nearer. */
TARSA_API int tr4_proximity_ir(unsigned char *buf, lyn_dev_t dev);
/** Ambient light seen by the same 12 sensors, same order, 0 to 4095. */
TARSA_API int tr4_ambiant_ir(unsigned char *buf, lyn_dev_t dev);
/** Ultrasonic ranges: 5 signed words, centimetres from the body's edge to the nearest obstacle,
 *  sensors at +90 (left), +45, 0 (ahead), -45 and -90 (right) degrees, in that order. 0 means
 *  nothing within 4 m, or a sensor that tr4_activate_us() did not select. */
TARSA_API int tr4_measure_us(unsigned char *buf, lyn_dev_t dev);
/** Accelerometer: X, Y and Z blocks of 20 bytes, each 10 successive samples. A sample holds a
 *  signed 12-bit value in its upper bits (the word shifted right by 4), 1000 counts per g:
 *  X forward, Y to the left, Z up (+1 g at rest). */
TARSA_API int tr4_measure_acc(unsigned char *buf, lyn_dev_t dev);
/** Gyroscope: same layout as the accelerometer, but each sample is the whole signed word,
 *  1 count = 0.066 degree/s; Z is the yaw rate, counter-clockwise positive. */
TARSA_API int tr4_measure_gyro(unsigned char *buf, lyn_dev_t dev);
/** Battery monitor record, 12 bytes:
 *  - 0-1: voltage, mV;
 *  - 2-3: current, mA, signed: positive while charging, negative while discharging;
 *  - 4-5: temperature, 0.1 degree C;
 *  - 6-7: remaining capacity, mAh;  8-9: full capacity, mAh;
 *  - 10: state of charge, percent;
 *  - 11: flags, bit 0 charging, bit 1 battery present. */
TARSA_API int tr4_battery_status(unsigned char *buf, lyn_dev_t dev);

/** 1 while the battery charges (GPIO 65 reads 0), 0 when not, the negative GPIO error when the
 *  line cannot be read, 58 for a null handle. Sends no command. */
TARSA_API int tr4_battery_charge(lyn_dev_t dev);

/** Runs the ultrasonic sensors selected by the low byte of `mask`, bit i for sensor i (all five
 *  run after a reset); the others read 0. */
TARSA_API int tr4_activate_us(int mask, lyn_dev_t dev);
/** Sets the status LED byte (low byte of `value`): two 4-bit halves, bits 0-3 and 4-7, one per
 *  LED; a half of 0 switches its LED off, 1 on, 2 toggles it. */
TARSA_API int tr4_SetStatusLeds(int value, lyn_dev_t dev);
/** Requests a toggle of one status LED (`led` 0: bits 0-3, otherwise bits 4-7), keeping the other
 *  half as read from the microcontroller. When that read fails nothing is written and 55 is
 *  returned. */
TARSA_API int tr4_ToggleStatusLed(int led, lyn_dev_t dev);
/** Three RGB LEDs' red, green and blue intensities, each masked to 0-63, sent in parameter
 *  order. */
TARSA_API int tr4_SetRGBLeds(int c1, int c2, int c3, int c4, int c5, int c6, int c7, int c8, int c9,
                             lyn_dev_t dev);

TARSA_END_DECLS

#endif
