/* Raw access to a Linux I2C adapter through its i2c-dev character device. */
#ifndef TARSA_I2CRAW_H
#define TARSA_I2CRAW_H

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** Default adapter node, opened when i2c_open() gets no path. */
#define I2C_DEFAULT_DEVICE "/dev/i2c-2"

/** An open adapter. Owned by the caller; nothing here allocates or frees it. */
typedef struct i2c_handle {
  int fd;      /**< descriptor of the adapter node; -1 when closed */
  int address; /**< slave address last selected with I2C_SLAVE on fd; -1 when none is known */
} i2c_handle_t;

/** Opens `path` (I2C_DEFAULT_DEVICE when NULL) read-write into `h` and forgets any selected
 *  address. Returns 0, or -1 with errno set (h->fd is then -1). */
TARSA_API int i2c_open(i2c_handle_t *h, const char *path);

/** Closes the adapter when `h` holds a descriptor and marks it closed. Returns the result of
 *  close(), or 0 when there was nothing to close. */
TARSA_API int i2c_close(i2c_handle_t *h);

/** Plain read/write of `len` bytes at the 7-bit `address`. The address is selected with
 *  I2C_SLAVE only when it differs from the one selected last; a failed selection leaves the
 *  previous one in force and the transfer still runs. Returns the result of read()/write(),
 *  -1 with errno set on failure (EINVAL for a negative length). */
TARSA_API int i2c_llread(i2c_handle_t *h, int address, void *buf, int len);
TARSA_API int i2c_llwrite(i2c_handle_t *h, int address, const void *buf, int len);

/** One combined transaction at `address`: write `wlen` bytes of `wbuf`, repeated start, read
 *  `rlen` bytes into `rbuf`. Does not touch h->address. Returns the number of messages done (2)
 *  or -1 with errno set (EINVAL for a length outside 0..65535). */
TARSA_API int i2c_lltransfer(i2c_handle_t *h, int address, const void *wbuf, int wlen, void *rbuf,
                             int rlen);

/** Probes `address` with an SMBus receive-byte. Returns 1 when a device answers, else 0. */
TARSA_API int i2c_exists(i2c_handle_t *h, int address);

/** Probes addresses 2 to 127 in ascending order. For each answering device, calls `callback`
 *  (when not NULL); a negative callback result ends the scan and is returned. Otherwise returns
 *  the number of devices that answered. */
TARSA_API int i2c_scan(i2c_handle_t *h,
                       int (*callback)(i2c_handle_t *h, int address, void *context), void *context);

TARSA_END_DECLS

#endif
