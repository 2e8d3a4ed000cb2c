/* Laser range finder on its USB serial port, and the board's switch of its power. */
#ifndef TARSA_VX_LRF_H
#define TARSA_VX_LRF_H

#include <stdint.h>

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/**
 * @file
 * The range finder scans 240 degrees in 1024 steps per turn; it measures steps 44 to 725, and
 * its front is step 384. It speaks SCIP 2.0 on its USB serial node ("/dev/ttyACM0" on the
 * Tarsa4). The board switches its power with a GPIO line: the configuration setting
 * "lrf.power_gpio" names the pin, one of the user pins 70 to 87 that the library holds, and
 * VX_LRF_DEFAULT_POWER_GPIO is used without it. The pin is an output; high powers the sensor.
 *
 * Operations return a negated errno on failure, after a report through vx_error():
 *   -ETIMEDOUT  no complete reply within the bound (2 s; 0.5 s for vx_lrf_Close());
 *   -EPROTO     a reply that is garbled, cut short, fails a check character, or reports a
 *               status other than success;
 *   -EBADF      a handle that vx_lrf_Init() did not give or that is closed;
 *   -EINVAL     a bad "lrf.power_gpio" setting, a null port, or a sensor of another kind;
 *   others      as the port's system calls answer (-ENOENT for a missing node...).
 * After a failure the port stays usable: the next command skips whatever is left of an earlier
 * reply.
 */

/** Entries of vx_lrf_DistanceData: entry i is step 44 + i. */
#define VX_LRF_DISTANCES 682
/** Pin that switches the power when the configuration has no "lrf.power_gpio". */
#define VX_LRF_DEFAULT_POWER_GPIO 87

/**
 * The last scan that vx_lrf_GetDistances() took, in millimetres; entry i is step 44 + i, at
 * (i - 85) * 360 / 1024 degrees from step 129 (entry 340 is the front). 0 where the sensor
 * measured no range (it sends an error code below 20 mm there). A failed scan leaves it as it
 * was. Owned by the library; one array for every open sensor.
 */
TARSA_API extern int32_t vx_lrf_DistanceData[VX_LRF_DISTANCES];

/**
 * Switches the range finder's power on (drives the power pin high). Its USB serial node appears
 * once the sensor has started; vx_lrf_Init() called within 5 s waits for it.
 * Needs the GPIO module started (vx_init()).
 * @return 0, or a negated errno (-EINVAL for a bad setting, else the GPIO module's result).
 */
TARSA_API int vx_lrf_Power_On(void);

/** Switches the range finder's power off (drives the power pin low).
 *  @return as vx_lrf_Power_On() */
TARSA_API int vx_lrf_Power_Off(void);

/**
 * Opens the sensor on the serial node `port` (raw, 8N1, 115200 baud), stops any streaming it
 * was doing ("QT"), reads its parameters ("PP") and takes its measured steps from them, and
 * switches its laser on ("BM"). Within 5 s of vx_lrf_Power_On() it waits for the node to
 * appear. Each reply is waited for at most 2 s.
 * @return a handle (0 or more) to pass to the other operations and to close with
 *         vx_lrf_Close(), or a negated errno (the port is then closed again).
 */
TARSA_API int vx_lrf_Init(const char *port);

/**
 * Takes one scan ("GD" of the measured steps) into vx_lrf_DistanceData. Every check character
 * is verified; the array changes only when the whole scan is good.
 * @return 0, or a negated errno.
 */
TARSA_API int vx_lrf_GetDistances(int handle);

/**
 * Switches the laser off ("QT", reply waited for at most 0.5 s) and closes the port. The handle
 * is invalid afterwards, whatever the sensor answered.
 * @return 0, or -EBADF for a handle that is not open.
 */
TARSA_API int vx_lrf_Close(int handle);

TARSA_END_DECLS

#endif
