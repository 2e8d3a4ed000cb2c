/* Library start-up with its command-line options, and shut-down. */
#ifndef TARSA_VX_INIT_H
#define TARSA_VX_INIT_H

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** Library version, printed by the "-v" option. */
#define VX_VERSION_MAJOR 2
#define VX_VERSION_MINOR 1

/**
 * Starts the library. Reads its options with getopt_long from optind on (optind is neither reset
 * nor restored): "-d N" / "--debug N" sets the debug level to N (text that is no number gives 0),
 * "-v" / "--version" prints "libtarsa version 2.1 [<build time>  <build date>]" and goes on.
 * Other options are reported by getopt_long and left for the bus bindings, which read argv
 * themselves ("--i2c-device PATH", "--i2c-scan"); getopt_long works on a copy of the vector, so
 * argv keeps its order and PATH stays right after its option. Then starts, in this order, the
 * configuration, the device network layer, the PWM service and the GPIO module, and registers
 * vx_exit() with atexit.
 * `argc` may be 0 with `argv` NULL: no option is read.
 * @return 1 on success, and at once (reading nothing) when already started; otherwise the
 *         negative result of the first step that failed, after a line naming it on standard
 *         error. The steps done before stay done; a later call runs them all again.
 */
TARSA_API int vx_init(int argc, char *argv[]);

/**
 * Stops the device network layer, the configuration, the GPIO module and the PWM service, in
 * that order. Does nothing when the library is not started; safe to call again at exit.
 */
TARSA_API void vx_exit(void);

TARSA_END_DECLS

#endif
