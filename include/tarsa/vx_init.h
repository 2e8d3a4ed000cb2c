/* Library start-up with its command-line options, and shut-down; the check of a program's
   command line that comes before. */
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

/** vx_check_options() found nothing to stop for: the program goes on. */
#define VX_OPTIONS_OK (-1)

struct option; /* <getopt.h> */

/**
 * Checks a program's command line before anything else runs, without touching a device: call it
 * first in main, and end with its result unless it is VX_OPTIONS_OK.
 *
 * Known are the program's own options, given as getopt_long would take them (`shortopts`, e.g.
 * "W:q:" without the leading '+', '-' or ':' that getopt allows, and `longopts`, closed by an
 * all-zero row; either may be NULL), the library's options ("-d N", "--debug N", "--debug=N",
 * "-v", "--version", "--i2c-device PATH", "--i2c-scan") and "-h" / "--help". Short options may be
 * grouped ("-vd3"); a long option other than the two I2C ones may be shortened to a unique prefix;
 * an option's argument is skipped, so "-d -x" is fine. Words that do not start with '-', a lone
 * "-" and everything after "--" are the program's operands and are not looked at.
 *
 * The first word that decides, read from the left:
 * - "-h" or "--help": `usage`, then one line naming the library's options and their manual page
 *   tarsa-options(7), on standard output; the result is 0.
 * - an unknown option, a missing argument, an argument given to an option that takes none, an
 *   ambiguous prefix, or "--i2c-device=PATH" (the I2C binding reads PATH only as the next word):
 *   "PROGRAM: unknown option '--x'" (or the like) on standard error, PROGRAM being argv[0]
 *   without its folder, then `usage` and the line of the library's options; the result is 2.
 *
 * It uses no getopt state (optind, opterr, optarg stay as they are) and leaves argv as it is,
 * for vx_init() to read. `usage` is printed as given, with a newline added if it lacks one.
 * @return VX_OPTIONS_OK to go on, else the exit status: 0 after the help, 2 for a bad option.
 *         With `argc` 0 or `argv` NULL, VX_OPTIONS_OK.
 */
TARSA_API int vx_check_options(int argc, char *const argv[], const char *usage,
                               const char *shortopts, const struct option *longopts);

TARSA_END_DECLS

#endif
