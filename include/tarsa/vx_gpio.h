/* GPIO pins of the board's controller, driven through the user GPIO node "/dev/user-gpio". */
#ifndef TARSA_VX_GPIO_H
#define TARSA_VX_GPIO_H

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** Pins claimed by vx_gpio_init(): the "/MUTE" line (an output driving 0) and the user pins. */
#define VX_GPIO_MUTE 64
#define VX_GPIO_USER_FIRST 70
#define VX_GPIO_USER_LAST 87

/**
 * Claims pin `gpio` under `label` (NUL-terminated; cut to 31 characters).
 * @return 0, or the negated errno of the failed request.
 */
TARSA_API int gpio_request(int gpio, const char *label);

/**
 * Releases pin `gpio`.
 * @return 0, or the negated errno of the failed request.
 */
TARSA_API int gpio_free(int gpio);

/**
 * Opens the GPIO node and claims pin 64 (made an output driving 0) and pins 70 to 87, each under
 * the label "GPIO_<pin>". A pin still held by an earlier user is released and claimed once more.
 * The module owns the descriptor until vx_gpio_cleanup(). Normally called by vx_init().
 * @return 0 on success, and at once when already open; -1 when the node cannot be opened;
 *         -64 when pin 64 cannot be claimed; minus the pin number when a user pin cannot be
 *         claimed (the node is then closed again).
 */
TARSA_API int vx_gpio_init(void);

/**
 * Releases pins 64 and 70 to 87 (a failed release of a user pin is reported, error 3) and
 * closes the node. Pins claimed by others (65, 90) are theirs to release.
 * @return 0, or -1 when the module is not open.
 */
TARSA_API int vx_gpio_cleanup(void);

/*
 * Pin operations. They use the open node as it is (on a closed module the request fails with
 * EBADF). A pin other than 64, 65, 70-87 and 90 is reported (error 2) but the request is still
 * sent, and the device's answer is the result.
 */

/**
 * `dir` non-zero makes the pin an input; zero makes it an output driving 0.
 * @return 0, or the negated errno.
 */
TARSA_API int vx_gpio_dir(int gpio, int dir);

/**
 * As vx_gpio_dir(), but an output drives `value` (0 or 1) from the moment it becomes one;
 * `value` is ignored for an input.
 * @return 0, or the negated errno.
 */
TARSA_API int vx_gpio_dir_val(int gpio, int dir, int value);

/** Drives the pin high. @return 0, or -1 on failure (errno tells why). */
TARSA_API int vx_gpio_set(int gpio);

/** Drives the pin low. @return 0, or -1 on failure (errno tells why). */
TARSA_API int vx_gpio_clear(int gpio);

/** Reads the pin level. @return 0 or 1, or the negated errno (e.g. pin not an input). */
TARSA_API int vx_gpio_get(int gpio);

/** Pin mode and function selection are fixed by the board; these do nothing. @return 0. */
TARSA_API int vx_gpio_mode(int gpio, int mode);
TARSA_API int vx_gpio_function(int gpio, int function);

TARSA_END_DECLS

#endif
