/* Motor controller board: one device of the network layer per motor. */
#ifndef TARSA_DVN_H
#define TARSA_DVN_H

#include <stdint.h>

#include "tarsa/export.h"
#include "tarsa/lyn.h"

TARSA_BEGIN_DECLS

/**
 * @file
 * Each motor of a board answers at an I2C address of its own and is opened by the program with
 * lyn_open() under its configured name ("Dravon:PriMotor1" ... "Dravon:PriMotor4", or the
 * "DravonLE:" board whose 16-bit registers travel least significant byte first). The
 * configuration gives each device its byte order, so the same calls drive both boards. The
 * driver keeps no state; the handle belongs to the layer.
 *
 * Register map of one motor (a write frame is the register number followed by exactly the
 * register's width of data; a read is the register number written alone, then a read of exactly
 * its width, in one transfer; the board refuses anything else, and the transfer fails):
 *
 * | reg  | width   | access | meaning                                                         |
 * |------|---------|--------|-----------------------------------------------------------------|
 * | 0x00 | 8 bits  | R      | firmware version: major number in bits 4-7, minor in bits 0-3  |
 * | 0x01 | 2 bytes | R      | status byte, then error byte (bytes: no byte order)             |
 * | 0x02 | 8 bits  | W      | error clear: each 1 bit clears that latched error bit           |
 * | 0x10 | 2 bytes | R/W    | options: option A byte, then option B byte (bytes)              |
 * | 0x20 | 16 bits | R/W    | speed command, signed, encoder counts per second                |
 * | 0x41 | 16 bits | R      | position, high word  (measure 1)                                |
 * | 0x42 | 16 bits | R      | position, low word                                              |
 * | 0x43 | 16 bits | R      | speed, high word     (measure 3)                                |
 * | 0x44 | 16 bits | R      | speed, low word                                                 |
 * | 0x45 | 16 bits | R      | current, high word   (measure 5)                                |
 * | 0x46 | 16 bits | R      | current, low word                                               |
 * | 0x47 | 16 bits | R      | supply voltage, high word (measure 7)                           |
 * | 0x48 | 16 bits | R      | supply voltage, low word                                        |
 *
 * 16-bit registers travel in the device's configured byte order. A measure is a signed 32-bit
 * value in two words; reading its high word freezes its low word until that low word is read,
 * so the two halves always belong to one sample. The board keeps one frozen word per measure:
 * two programs reading the same measure of one motor at the same moment may pair halves of
 * different samples.
 *
 * Measures (dvn_GetMeasure() kinds):
 *   1 DVN_POSITION  encoder counts since power-on, wrapping at 32 bits;
 *   3 DVN_SPEED     encoder counts per 10 ms control period, or per second with option
 *                   DVN_OPTB_SPEED_PER_S;
 *   5 DVN_CURRENT   motor current in counts of 5 mA, or in mA with DVN_OPTB_CURRENT_MA; signed,
 *                   negative while the motor brakes;
 *   7 DVN_SUPPLY    supply voltage in mV.
 *
 * Option A (drive): bit 0 DVN_OPTA_REVERSE turns the motor the other way for the same command
 * (the measures follow the shaft); bit 1 DVN_OPTA_FREEWHEEL switches the drive off (the motor
 * coasts to rest). Option B (measure units): bit 1 DVN_OPTB_SPEED_PER_S, bit 5
 * DVN_OPTB_CURRENT_MA. Other bits are reserved and the board refuses a value that sets them.
 * Both are 0 at power-on: driven, normal direction, speed per control period, current in 5 mA
 * counts. Options (0, 0x22) thus run the motor driven, in its normal direction, with speed in
 * counts per second and current in mA.
 *
 * Status bits: DVN_ST_DRIVEN (the drive is on), DVN_ST_MOVING (turning at 10 counts/s or more),
 * DVN_ST_AT_SPEED (within 2 % or 10 counts/s of the command), DVN_ST_REVERSED (option A bit 0),
 * DVN_ST_ERROR (an error bit is latched).
 * Error bits, latched until cleared with dvn_ClearErrors(): DVN_ERR_OVERCURRENT (the current
 * went beyond the board's limit), DVN_ERR_UNDERVOLTAGE (supply below 9 V; the drive is off while
 * it lasts), DVN_ERR_SPEED_RANGE (a command beyond the motor's top speed, held at the top speed).
 *
 * Results: 0, or a negated errno: -EINVAL for a null handle or pointer, an unknown measure kind
 * or an option value outside 0-255; -ERANGE for a speed command outside -32768..32767; else the
 * bus's code (-ENXIO when the board refuses the data or does not answer, -EIO...). A failed call
 * leaves its outputs untouched.
 */

#define DVN_POSITION 1
#define DVN_SPEED 3
#define DVN_CURRENT 5
#define DVN_SUPPLY 7

#define DVN_OPTA_REVERSE 0x01
#define DVN_OPTA_FREEWHEEL 0x02
#define DVN_OPTB_SPEED_PER_S 0x02
#define DVN_OPTB_CURRENT_MA 0x20

#define DVN_ST_DRIVEN 0x01
#define DVN_ST_MOVING 0x02
#define DVN_ST_AT_SPEED 0x04
#define DVN_ST_REVERSED 0x08
#define DVN_ST_ERROR 0x10

#define DVN_ERR_OVERCURRENT 0x01
#define DVN_ERR_UNDERVOLTAGE 0x02
#define DVN_ERR_SPEED_RANGE 0x04

/** What dvn_GetMeasure() returns when it cannot read the measure (errno then tells why). */
#define DVN_MEASURE_FAILED INT32_MIN

/** Reads the firmware version byte (register 0x00) into `*version`. */
TARSA_API int dvn_GetFWVersion(lyn_dev_t dev, int *version);
/** Writes option A and option B (register 0x10, one frame); each 0 to 255. */
TARSA_API int dvn_SetOptions(lyn_dev_t dev, int a, int b);
/** Reads a measure (kinds above). Returns it, or DVN_MEASURE_FAILED with errno set to the
 *  positive code of the failure. */
TARSA_API int32_t dvn_GetMeasure(lyn_dev_t dev, int kind);
/** Reads the status and error bytes (register 0x01, one transfer). */
TARSA_API int dvn_GetStatus(lyn_dev_t dev, unsigned char *status, unsigned char *error);
/** Commands the motor's speed in encoder counts per second (register 0x20). */
TARSA_API int dvn_SetSpeed(lyn_dev_t dev, int speed);
/** Reads back the speed command in force (register 0x20). */
TARSA_API int dvn_GetSpeed(lyn_dev_t dev, int *speed);
/** Clears the latched error bits set in `mask` (register 0x02); 0 to 255. */
TARSA_API int dvn_ClearErrors(lyn_dev_t dev, int mask);

TARSA_END_DECLS

#endif
