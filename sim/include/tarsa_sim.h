/* Control interface of the board simulator (libtarsa-sim.so), for tests running under tarsa-sim.
 *
 * Tests find these functions with dlsym(RTLD_DEFAULT, name): they exist only when the process
 * runs under the simulator. All of them are thread-safe.
 *
 * Device semantics worth knowing when writing tests:
 *  - /dev/user-gpio: claiming a pin the board does not have gives EINVAL; a claimed pin (also
 *    one the scenario gives to "another holder") gives EBUSY; freeing releases any claim,
 *    another holder's included, and freeing an unclaimed pin gives EINVAL. Direction, get and
 *    set need the pin claimed through the same open file (else EPERM; EINVAL for a pin that is
 *    not present). Reading an output and setting an input give EPERM. A claim ends with a free,
 *    the last close of the open file that made it, or the end of the process that made it.
 *    Unknown requests give ENOTTY.
 *  - Serial nodes are pseudo-terminals, raw at 9600 baud when first opened.
 *  - An emulated call behaves as one system call: a signal that arrives meanwhile is handled
 *    when the call returns.
 */
#ifndef TARSA_SIM_H
#define TARSA_SIM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TARSA_SIM_API __attribute__((visibility("default")))

/** Replaces the simulated board with the scenario in `toml_text` ("" = built-in board), for
 *  every process of the run. Returns 0, or -1 after a message on standard error (the board is
 *  then unchanged). */
TARSA_SIM_API int tarsa_sim_load_scenario(const char *toml_text);

/** Path of the trace file, or NULL when the run is not traced. Owned by the simulator. */
TARSA_SIM_API const char *tarsa_sim_trace_path(void);

/** Number of the last trace record written by any process of the run (0 before the first). */
TARSA_SIM_API unsigned long tarsa_sim_trace_seq(void);

/** Drives GPIO input `pin` of the simulated board to `level` (0 or 1): what a claimed input
 *  reads from then on. Returns 0, or -1 for a pin the board does not have. */
TARSA_SIM_API int tarsa_sim_gpio_input(int pin, int level);

/** Current level of GPIO `pin` (the level driven when it is an output), 0 or 1; -1 for a pin the
 *  board does not have. */
TARSA_SIM_API int tarsa_sim_gpio_level(int pin);

/** Adds a scripted reply on serial node `node`: once the bytes `expect` (non-empty text) have
 *  arrived from the program, `reply_len` bytes of `reply` are sent back after `delay_ms`. With
 *  `once` non-zero the rule fires a single time. May be called before the node is opened.
 *  Returns 0, or -1 for bad arguments or a node that is not a serial node of the board. */
TARSA_SIM_API int tarsa_sim_serial_script(const char *node, const char *expect, const void *reply,
                                          size_t reply_len, unsigned delay_ms, int once);

/** Sends `len` bytes to the program on serial node `node` after `delay_ms`, unasked. The node
 *  must have been opened by this process. Returns 0, or -1. */
TARSA_SIM_API int tarsa_sim_serial_send(const char *node, const void *data, size_t len,
                                        unsigned delay_ms);

/** Drops the scripted replies of `node` added through this interface or the scenario, and any
 *  reply not yet sent. */
TARSA_SIM_API void tarsa_sim_serial_clear(const char *node);

#ifdef __cplusplus
}
#endif

#endif
