/* The wait between two lines of the motor monitor. */
#ifndef MOTMON_LINE_WAIT_H
#define MOTMON_LINE_WAIT_H

#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

/** A line is due once more than MOTMON_LINE_US - 1 microseconds have passed since the last. */
#define MOTMON_LINE_US 5000L
/** The last part of a wait is spent watching the clock rather than asleep: a sleep may end late
 *  by the scheduler's latency, and the line must not. */
#define MOTMON_SPIN_US 500L

/** Microseconds from `last_usec` to `now_usec`, the microsecond fields of two times only: a
 *  negative difference has crossed a second and gets 1 000 000 added. */
long motmon_usec_since(long last_usec, long now_usec);

/** How long to sleep before looking at the clock again, given the microsecond fields of the
 *  last line's time and of now: -1 when the next line is due, 0 to look again at once (the
 *  spin), else a sleep that ends MOTMON_SPIN_US before the line is due. */
long motmon_sleep_us(long last_usec, long now_usec);

/** Waits until the next line is due and makes `*last` the time it became due. Sleeps for most
 *  of the wait (so that other processes of a single-core board get the processor), then
 *  watches gettimeofday() for the rest. */
void motmon_wait_line(struct timeval *last);

#ifdef __cplusplus
}
#endif

#endif
