/* IO extension board: 16 digital IOs, 12 analog inputs and 6 power outputs on the I2C bus. */
#ifndef TARSA_PLX_H
#define TARSA_PLX_H

#include <stdint.h>

#include "tarsa/export.h"
#include "tarsa/lyn.h"

TARSA_BEGIN_DECLS

/**
 * @file
 * The board is a device of the device network layer: open it with
 * lyn_open("Pellix:Board", LYN_BUS_ANY, 0, NULL) (or "Pellix:AltBoard", "PellixLE:Board",
 * "PellixLE:AltBoard"). Every operation is one or more register transfers through lyn_read8(),
 * lyn_read16(), lyn_write8() and lyn_write16(); 16-bit registers travel in the byte order that
 * the configuration gives the device (most significant byte first for "Pellix", least
 * significant first for "PellixLE"), so one driver serves both boards.
 *
 * Register map (number, width, access, meaning):
 *
 * | reg       | bits | access | meaning                                                       |
 * |-----------|------|--------|---------------------------------------------------------------|
 * | 0x00      | 8    | read   | firmware version: major in bits 4-7, minor in bits 0-3        |
 * | 0x10-0x1F | 8    | r/w    | configuration of IO 0-15: 0 input, 1 output                   |
 * | 0x20      | 16   | read   | IO levels, bit n = IO n (an output reads its driven level)    |
 * | 0x21      | 16   | write  | set: outputs of the IOs whose bit is 1 go high                |
 * | 0x22      | 16   | write  | clear: outputs of the IOs whose bit is 1 go low               |
 * | 0x23      | 16   | write  | toggle: outputs of the IOs whose bit is 1 change level        |
 * | 0x30      | 8    | read   | power outputs, bit n = output n on (bits 0-5)                 |
 * | 0x31      | 8    | write  | switch on the power outputs whose bit is 1 (bits 0-5 only)    |
 * | 0x32      | 8    | write  | switch off the power outputs whose bit is 1 (bits 0-5 only)   |
 * | 0x40-0x4B | 16   | read   | analog input 0-11: converts now, 12-bit value 0-4095; latches |
 * |           |      |        | the time of the conversion into 0x4E-0x4F                     |
 * | 0x4E      | 16   | read   | time of the last conversion, ms of the board clock, bits 31-16|
 * | 0x4F      | 16   | read   | same, bits 15-0                                               |
 *
 * A write of the register number alone selects the register that the next read returns; a
 * write of the number followed by the value writes it. The firmware refuses (does not
 * acknowledge) an unknown register, a value of the wrong width, a write to a read-only register
 * and values out of range (configuration above 1, power bits 6-7); the transfer then fails with
 * ENXIO. An IO set, cleared or toggled while it is an input keeps that output level for when it
 * becomes an output. At power-up every IO is an input with output level low, and every power
 * output is off.
 *
 * Results: 0 on success, or a negated errno:
 *   -EINVAL  a null handle or output pointer, an IO, channel, power output or configuration
 *            out of range (nothing is sent);
 *   -ENXIO   the board refused the transfer (or is not on the bus);
 *   others   as the bus answers (-EIO, -ETIMEDOUT...).
 * On failure the output arguments are left untouched.
 */

#define PLX_IO_COUNT 16     /**< digital IOs 0-15 */
#define PLX_ANALOG_COUNT 12 /**< analog inputs 0-11 */
#define PLX_PW_COUNT 6      /**< power outputs 0-5 */
#define PLX_ANALOG_MAX 4095 /**< analog values are 12 bits wide */

#define PLX_IO_INPUT 0  /**< configuration: the IO reads its pin */
#define PLX_IO_OUTPUT 1 /**< configuration: the IO drives its pin with its output level */

/** Reads the firmware version into *version (major in bits 4-7, minor in bits 0-3: 0x23 is 2.3). */
TARSA_API int plx_GetFWVersion(lyn_dev_t dev, int *version);

/** Sets the configuration of IO `io` (0-15) to `config` (PLX_IO_INPUT or PLX_IO_OUTPUT). */
TARSA_API int plx_ConfigIO(lyn_dev_t dev, int io, int config);
/** Reads the configuration of IO `io` into *config. */
TARSA_API int plx_GetConfigIO(lyn_dev_t dev, int io, int *config);

/** Sets the output level of IO `io` high. */
TARSA_API int plx_SetIO(lyn_dev_t dev, int io);
/** Sets the output level of IO `io` low. */
TARSA_API int plx_ClearIO(lyn_dev_t dev, int io);
/** Toggles the output level of IO `io`. */
TARSA_API int plx_ChangeIO(lyn_dev_t dev, int io);
/** Reads the levels of all 16 IOs into *levels, bit n = IO n. */
TARSA_API int plx_ReadIO(lyn_dev_t dev, uint16_t *levels);
/** Reads the level of IO `io` into *level (0 or 1). */
TARSA_API int plx_GetIO(lyn_dev_t dev, int io, int *level);

/**
 * Converts analog input `channel` (0-11): *value gets the 12-bit result (0-4095), *time the
 * board clock in milliseconds when it was taken (wraps after 2^32 ms). Three transfers: the
 * value register, then the two halves of the time the board latched with it.
 */
TARSA_API int plx_ReadAnalog(lyn_dev_t dev, int channel, uint16_t *value, uint32_t *time);

/** Switches power output `index` (0-5) on. */
TARSA_API int plx_SetPW(lyn_dev_t dev, int index);
/** Switches power output `index` (0-5) off. */
TARSA_API int plx_ClearPW(lyn_dev_t dev, int index);
/** Reads which power outputs are on into *mask, bit n = output n. */
TARSA_API int plx_GetPW(lyn_dev_t dev, int *mask);

TARSA_END_DECLS

#endif
