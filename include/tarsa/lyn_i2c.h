/* I2C bus binding of the device network layer: one adapter, devices at 7-bit addresses. */
#ifndef TARSA_LYN_I2C_H
#define TARSA_LYN_I2C_H

#include "tarsa/export.h"
#include "tarsa/i2craw.h"
#include "tarsa/lyn.h"

TARSA_BEGIN_DECLS

/** Fills the slots of `bus` (exit, open, transfer, read, write; no close), opens the adapter and
 *  keeps its handle in bus->priv. Reads from argv[1..argc-1]: "--i2c-device PATH" (the last one
 *  wins; default I2C_DEFAULT_DEVICE) and "--i2c-scan", which probes addresses 2 to 127 and
 *  registers a nameless device for each one that answers.
 *  Returns 0 without a scan, the number of devices found with one; -16 when the adapter cannot be
 *  opened, -17 when the scan fails (both reported, and the bus is then left without a handle). */
TARSA_API int lyn_i2c_init(lyn_bus_t *bus, int argc, char *argv[]);

/** Closes the adapter and frees its handle; nothing when the bus holds none. Returns 0. */
TARSA_API int lyn_i2c_exit(lyn_bus_t *bus);

/** Returns the bus's device at `address`, creating it when a device answers a probe there;
 *  NULL after error 18 otherwise. `ignored` and `name` play no part in the choice. */
TARSA_API lyn_dev_t lyn_i2c_open(lyn_bus_t *bus, int ignored, int address, const char *name);

/** Plain read, plain write, and write-then-read at the device's address. Results of
 *  i2c_llread/i2c_llwrite/i2c_lltransfer unchanged; -1 (errno EBADF) on a bus without adapter. */
TARSA_API int lyn_i2c_read(lyn_bus_t *bus, lyn_dev_t dev, void *buf, int len);
TARSA_API int lyn_i2c_write(lyn_bus_t *bus, lyn_dev_t dev, const void *buf, int len);
TARSA_API int lyn_i2c_transfer(lyn_bus_t *bus, lyn_dev_t dev, const void *wbuf, int wlen,
                               void *rbuf, int rlen);

/** Scan callback: registers a nameless device at `address` on the bus passed as context, under
 *  the bus mutex. Returns 0. */
TARSA_API int lyn_i2c_scan_callback(i2c_handle_t *h, int address, void *bus);

TARSA_END_DECLS

#endif
