/* The board's two PWM outputs, channels 0 and 1 of a Linux sysfs PWM chip. */
#ifndef TARSA_VX_PWM_H
#define TARSA_VX_PWM_H

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/** Number of PWM outputs; they are numbered 0 and 1. */
#define VX_PWM_OUTPUTS 2

/** Chip used when the configuration has no "pwm.chip" setting. */
#define VX_PWM_DEFAULT_CHIP "/sys/class/pwm/pwmchip0"

/*
 * Every operation returns 0 on success or a negative errno:
 *   -EINVAL  an output other than 0 and 1, a frequency of 0 or above 1 GHz, a duty cycle
 *            outside 0 to 100, a duty cycle before any frequency, or a value the chip refuses;
 *   -ENODEV  the service is not started (vx_pwm_init() has not succeeded);
 *   others   as the sysfs files answer (-ENOENT for a missing chip or channel, -EACCES...).
 */

/**
 * Starts the service: exports channels 0 and 1 of the chip (the directory named by the
 * configuration setting "pwm.chip", else VX_PWM_DEFAULT_CHIP). A channel that is already
 * exported is taken as it is. Normally called by vx_init(); a second call returns 0 at once.
 * @return 0, or a negative errno (-ENOENT when the chip does not exist).
 */
TARSA_API int vx_pwm_init(void);

/**
 * Disables and unexports both channels and stops the service. Normally called by vx_exit().
 * @return 0, the first negative errno met (every step is tried all the same), or -ENODEV when
 *         the service is not started.
 */
TARSA_API int vx_pwm_cleanup(void);

/**
 * Sets output `out`'s frequency to `hz` (period 1000000000 / hz nanoseconds). A duty cycle set
 * earlier keeps its percentage; the pulse is shortened before the period when the period
 * shrinks, as the chip never holds a pulse longer than its period.
 */
TARSA_API int vx_pwm_period(int out, int hz);

/** Sets output `out`'s duty cycle to `percent` (0 to 100) of its period; needs a frequency set
 *  with vx_pwm_period() first. */
TARSA_API int vx_pwm_duty(int out, int percent);

/** Starts output `out` (the chip refuses an output without a period). */
TARSA_API int vx_pwm_activate(int out);

/** Stops output `out`. */
TARSA_API int vx_pwm_desactivate(int out);

TARSA_END_DECLS

#endif
