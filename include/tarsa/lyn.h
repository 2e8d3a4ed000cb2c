/* Device network layer: devices named "Class:Device", reached over the I2C and serial buses. */
#ifndef TARSA_LYN_H
#define TARSA_LYN_H

#include <pthread.h>
#include <stdint.h>

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** Opaque handle of a device; owned by the layer, valid until lyn_exit(). */
typedef struct lyn_device *lyn_dev_t;

/** Bus numbers accepted by lyn_open(). */
#define LYN_BUS_I2C 0    /**< the I2C bus (adapter "/dev/i2c-2" or "--i2c-device") */
#define LYN_BUS_SERIAL 1 /**< the serial bus; devices named by their terminal node path */
#define LYN_BUS_ANY (-1) /**< whichever bus the configuration gives the device */

/** Order flag of lyn_set_order(): 16-bit register values travel most significant byte first.
 *  Without it (the default, flags 0) they travel least significant byte first. */
#define LYN_ORDER_MSB_FIRST 8

/** Bus record handed to a bus binding, which fills the operation slots (null where none). */
typedef struct lyn_bus {
  int (*exit)(struct lyn_bus *bus);
  lyn_dev_t (*open)(struct lyn_bus *bus, int ignored, int address, const char *name);
  void (*close)(struct lyn_bus *bus, lyn_dev_t dev);
  int (*transfer)(struct lyn_bus *bus, lyn_dev_t dev, const void *wbuf, int wlen, void *rbuf,
                  int rlen);
  int (*read)(struct lyn_bus *bus, lyn_dev_t dev, void *buf, int len);
  int (*write)(struct lyn_bus *bus, lyn_dev_t dev, const void *buf, int len);
  pthread_mutex_t mutex; /**< serialises every transfer on this bus */
  void *priv;            /**< binding-private data */
} lyn_bus_t;

/** Starts the buses: the I2C binding gets argc/argv. 0 or more on success, negative on failure. */
TARSA_API int lyn_init(int argc, char *argv[]);
/** Stops the buses and forgets every device; handles become invalid. Returns 0. */
TARSA_API int lyn_exit(void);

/** Opens the device `name` ("Class:Device" from the configuration, or a terminal node path on the
 *  serial bus) on `bus` (LYN_BUS_I2C, LYN_BUS_SERIAL or LYN_BUS_ANY). `flags` and `args` are
 *  reserved (pass 0 and NULL). Returns the handle, owned by the layer, or NULL after a report.
 *  On LYN_BUS_SERIAL, a name without a colon or starting with '/' is taken as the node path.
 *  A configured name opened on the other bus than its configuration gives is refused (error 11);
 *  an unknown class gives error 7, an unknown device of a known class error 21, a name that is
 *  neither error 28. The first open of a configured device sets its order flags from the
 *  configuration; later opens return the same handle and keep the flags as they are. */
TARSA_API lyn_dev_t lyn_open(const char *name, int bus, int flags, void *args);
/** Releases the device's port where its bus has one; the handle stays known to the layer.
 *  Returns 0, or negative for a null handle. */
TARSA_API int lyn_close(lyn_dev_t dev);

/** Writes `wlen` bytes then reads `rlen` bytes in one transaction. Negative on failure. */
TARSA_API int lyn_lltransfer(lyn_dev_t dev, const void *wbuf, int wlen, void *rbuf, int rlen);
/** Writes `len` raw bytes. Negative on failure. */
TARSA_API int lyn_llwrite(lyn_dev_t dev, const void *buf, int len);
/** Reads `len` raw bytes. Negative on failure. */
TARSA_API int lyn_llread(lyn_dev_t dev, void *buf, int len);

/** Register access: the register number is written, then the value read (1 or 2 bytes) or
 *  written after it in the same frame. 16-bit values use the device's byte order.
 *  Reads return 0 and fill *v, or a negative error (then *v is untouched). */
TARSA_API int lyn_read8(lyn_dev_t dev, int reg, uint8_t *v);
TARSA_API int lyn_read16(lyn_dev_t dev, int reg, uint16_t *v);
TARSA_API int lyn_write8(lyn_dev_t dev, int reg, uint8_t v);
TARSA_API int lyn_write16(lyn_dev_t dev, int reg, uint16_t v);
/** Sets the device's order flags (0 or LYN_ORDER_MSB_FIRST), kept until changed. 0, or negative
 *  for a null handle or unknown flags. */
TARSA_API int lyn_set_order(lyn_dev_t dev, int flags);

/** For bus bindings: look up a device of `bus` by address (and name when not null), by name,
 *  or create one (name may be null). NULL when none / on failure. */
TARSA_API lyn_dev_t lyn_bus_find_device(lyn_bus_t *bus, int ignored, int address, const char *name);
TARSA_API lyn_dev_t lyn_bus_find_device_by_name(lyn_bus_t *bus, const char *name);
TARSA_API lyn_dev_t lyn_device_create(lyn_bus_t *bus, int ignored, int address, const char *name);

/** For bus bindings: a device's bus address and bus-private pointer. */
TARSA_API int lyn_device_address(lyn_dev_t dev);
TARSA_API void *lyn_device_priv(lyn_dev_t dev);
TARSA_API void lyn_device_set_priv(lyn_dev_t dev, void *priv);

TARSA_END_DECLS

#endif
