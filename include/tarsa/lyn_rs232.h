/* Serial bus binding of the device network layer: devices named by their terminal node path. */
#ifndef TARSA_LYN_RS232_H
#define TARSA_LYN_RS232_H

#include <termios.h>

#include "tarsa/export.h"
#include "tarsa/lyn.h"

TARSA_BEGIN_DECLS

/** One open port, held in the device's private pointer while the port is open. */
typedef struct lyn_rs232_port {
  int fd;             /**< descriptor of the port; -1 counts as closed */
  struct termios tio; /**< settings applied at open */
} lyn_rs232_port_t;

/** Fills the slots of `bus` (open, close, read, write; no exit, no transfer). Returns 0. */
TARSA_API int lyn_rs232_init(lyn_bus_t *bus);

/** Returns the device named `path` with its port open in raw mode: 115200 baud, 8 data bits, no
 *  parity, 1 stop bit, modem lines ignored, reads that return at once with what is waiting.
 *  A path not yet known must be readable and writable by the caller, else error 20 and NULL;
 *  a port that fails to open gives error 10 and NULL (the device stays registered).
 *  Opening a device whose port is already open returns it with that same port, untouched.
 *  `ignored` and `address` play no part. */
TARSA_API lyn_dev_t lyn_rs232_open(lyn_bus_t *bus, int ignored, int address, const char *path);

/** Closes the device's port and frees its record; nothing when the port is not open. */
TARSA_API void lyn_rs232_close(lyn_bus_t *bus, lyn_dev_t dev);

/** One read()/write() of up to `len` bytes on the port, result unchanged (short counts and 0
 *  included); -1 with errno EBADF when the device has no open port. */
TARSA_API int lyn_rs232_read(lyn_bus_t *bus, lyn_dev_t dev, void *buf, int len);
TARSA_API int lyn_rs232_write(lyn_bus_t *bus, lyn_dev_t dev, const void *buf, int len);

TARSA_END_DECLS

#endif
