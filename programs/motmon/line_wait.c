/* The wait between two lines of the motor monitor. */
#include "line_wait.h"

#include <unistd.h>

long motmon_usec_since(long last_usec, long now_usec) {
  long d = now_usec - last_usec;
  if (d < 0) d += 1000000L;
  return d;
}

long motmon_sleep_us(long last_usec, long now_usec) {
  long left = MOTMON_LINE_US - motmon_usec_since(last_usec, now_usec);
  if (left <= 0) return -1;
  return left > MOTMON_SPIN_US ? left - MOTMON_SPIN_US : 0;
}

void motmon_wait_line(struct timeval *last) {
  for (;;) {
    struct timeval now;
    gettimeofday(&now, NULL);
    long sleep_us = motmon_sleep_us((long)last->tv_usec, (long)now.tv_usec);
    if (sleep_us < 0) {
      *last = now;
      return;
    }
    if (sleep_us > 0) usleep((useconds_t)sleep_us);
  }
}
