/* Configuration of the library: device classes, their devices and registers, and settings. */
#ifndef TARSA_VX_CONFIG_H
#define TARSA_VX_CONFIG_H

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/**
 * @file
 * The configuration is a TOML file, looked up at $TARSA_CONFIG, then /etc/tarsa/tarsa.toml;
 * with neither present, a built-in description of the standard Tarsa4 board is used (the same
 * as tarsa.toml.sample at the top of the source tree).
 *
 * A top-level table that is empty or holds a `devices` or `registers` table is a section, that
 * is a device class; it may hold nothing else:
 *
 *     [Gripper.devices]
 *     Arm = { bus = "i2c", address = 0x28, order = 8 }
 *     [Gripper.registers]
 *     position = 0x20
 *     [Gps.devices]
 *     Receiver = { bus = "serial", path = "/dev/ttyACM0" }
 *
 * A device is named "Class:Device" ("Gripper:Arm"). Its keys: `bus`, "i2c" or "serial"
 * (required); `address`, the 7-bit I2C address 0x03 to 0x77 (required on "i2c", refused on
 * "serial"); `path`, the terminal node (required on "serial", refused on "i2c"); `order`, 0 or 8
 * (16-bit registers most significant byte first), default 0. A register is a name and its number,
 * 0 to 255.
 *
 * Every other top-level table is a settings table; its values (strings, integers, floats,
 * booleans; nested tables give dotted keys) are read with vx_config_get("table.key"), for example
 * vx_config_get("teleop.udp_host"). Settings at the top level are read by their bare key.
 *
 * Names of sections, devices and registers are compared without regard to case, may not contain
 * ':' and are at most 127 bytes with their class. A device and a register of one section cannot
 * share a name. Enumerations follow the order of the file.
 *
 * A file that is malformed, has a duplicate name, an address out of range, an unknown bus, an
 * unknown key or a value of the wrong type is refused whole: one line "FILE:LINE:COLUMN: reason"
 * goes to standard error and the configuration loaded before (if any) stays in force.
 */

/** A configured device, as vx_lookup_device() gives it. */
typedef struct vx_device_info {
  const char *name;    /**< "Class:Device" as written in the file */
  const char *section; /**< the class */
  int bus;             /**< 0 the I2C bus, 1 the serial bus (the bus numbers of lyn_open()) */
  int address;         /**< 7-bit I2C address; 0 on the serial bus */
  int order;           /**< initial order flags: 0, or 8 for most significant byte first */
  const char *path;    /**< terminal node path on the serial bus; NULL on I2C */
} vx_device_info_t;

/** Callback of the enumerations: an entry's name and the caller's context. Returning a non-zero
 *  value stops the enumeration, which then returns that value. */
typedef int (*vx_config_callback_t)(const char *name, void *context);

/** Loads the configuration (argc/argv are accepted for symmetry with the other start calls and
 *  not read). Returns 0, -ENOENT or another negated errno when a named file cannot be read,
 *  -EINVAL when its content is refused. A successful load replaces the previous one; pointers
 *  and names obtained before become invalid. */
TARSA_API int vx_config_init(int argc, char *argv[]);

/** Forgets the loaded configuration; safe to call when nothing is loaded. */
TARSA_API void vx_config_exit(void);

/** Calls `cb` once per section, in file order, with the section's name. Returns 0, the first
 *  non-zero callback result, or -1 when no configuration is loaded. */
TARSA_API int vx_enum_section(vx_config_callback_t cb, void *context);

/** Calls `cb` once per device of `section` with the device's own name (without the class), in
 *  file order. Returns 0, the first non-zero callback result, or -1 for an unknown section. */
TARSA_API int vx_enum_device(const char *section, vx_config_callback_t cb, void *context);

/** Calls `cb` once per register of `section` with the register's name, in file order. Returns
 *  0, the first non-zero callback result, or -1 for an unknown section. */
TARSA_API int vx_enum_register(const char *section, vx_config_callback_t cb, void *context);

/** The device named "Class:Device" (any case) as a `const vx_device_info_t *`, owned by the
 *  configuration and valid until vx_config_exit() or the next load; NULL when not configured. */
TARSA_API const void *vx_lookup_device(const char *name);

/** The setting `key` ("table.key") as text: strings as written, integers in decimal, booleans as
 *  "true"/"false". Owned by the configuration, valid as vx_lookup_device(); NULL when absent. */
TARSA_API const char *vx_config_get(const char *key);

/** Types of a setting's value, as vx_enum_setting() gives them. */
#define VX_SETTING_STRING 0
#define VX_SETTING_INTEGER 1
#define VX_SETTING_FLOAT 2
#define VX_SETTING_BOOLEAN 3
#define VX_SETTING_OTHER 4 /**< a date or a time of day */

/** Callback of vx_enum_setting(): a setting's key, the type of its value (VX_SETTING_...) and the
 *  caller's context. Returning a non-zero value stops the enumeration, which then returns it. */
typedef int (*vx_setting_callback_t)(const char *key, int type, void *context);

/**
 * Calls `cb` once per setting of the settings table `table`, in file order, with the key within
 * the table ("camera" for bridge.camera; a nested table's keys dotted, "limits.max" for
 * bridge.limits.max) and the type of its value; with `table` NULL or "", once per setting of the
 * file with its whole key. A table without settings (or not in the file) calls nothing. This is
 * how a program finds keys it does not know, and values of a type it did not want (which
 * vx_config_get() shows as text alike: "0.3" and 0.3).
 * @return 0, the first non-zero callback result, or -1 when no configuration is loaded.
 */
TARSA_API int vx_enum_setting(const char *table, vx_setting_callback_t cb, void *context);

TARSA_END_DECLS

#endif
