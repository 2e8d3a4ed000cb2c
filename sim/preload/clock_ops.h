// The simulated clock as the program's entry points see it: readings scaled up, waits scaled
// down. Templates over the time types, so that the 64-bit-time entry points of a 32-bit board
// (time64.cpp) share them. Each takes the C library's own function and calls it as it is when
// the run's clock is the wall clock.
#pragma once

#include <errno.h>
#include <pthread.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <time.h>

#include <cstdint>

#include "clock.h"

namespace tsim {

// The run's clock when it is not the wall clock; null (go straight through) when it is.
const ClockState *scaled_clock();

// The clock a timer descriptor counts on (CLOCK_MONOTONIC for one this process did not make).
clockid_t timerfd_clock(int fd);

// Local to each file that includes them: `timespec` and `timeval` name structures of another
// layout in time64.cpp, and one shared instance of a template would serve both wrongly.
namespace {

template <class TS>
std::int64_t ns_of(const TS &t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}
template <class TS>
TS ts_of(std::int64_t ns) {
  TS t{};
  std::int64_t s = ns / 1000000000LL, r = ns % 1000000000LL;
  if (r < 0) {
    --s;
    r += 1000000000LL;
  }
  t.tv_sec = static_cast<decltype(t.tv_sec)>(s);
  t.tv_nsec = static_cast<decltype(t.tv_nsec)>(r);
  return t;
}
template <class TV>
std::int64_t ns_of_tv(const TV &t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000LL +
         static_cast<std::int64_t>(t.tv_usec) * 1000;
}
template <class TV>
TV tv_of(std::int64_t ns) {
  TV t{};
  t.tv_sec = static_cast<decltype(t.tv_sec)>(ns / 1000000000LL);
  t.tv_usec = static_cast<decltype(t.tv_usec)>((ns % 1000000000LL) / 1000);
  return t;
}
template <class TS>
bool valid(const TS *t) {
  return t && t->tv_nsec >= 0 && t->tv_nsec < 1000000000L && t->tv_sec >= 0;
}

template <class TS>
int sim_gettime(int (*real)(clockid_t, TS *), clockid_t id, TS *ts) {
  const ClockState *c = scaled_clock();
  if (!c || !clock_scaled(id)) return real(id, ts);
  TS w{};
  if (const int r = real(id, &w); r != 0 || !ts) return r;
  *ts = ts_of<TS>(to_sim_ns(*c, id, ns_of(w)));
  return 0;
}

template <class TV>
int sim_gettimeofday(int (*real)(TV *, void *), TV *tv, void *tz) {
  const ClockState *c = scaled_clock();
  if (!c || !tv) return real(tv, tz);
  if (const int r = real(tv, tz); r != 0) return r;
  *tv = tv_of<TV>(to_sim_ns(*c, CLOCK_REALTIME, ns_of_tv(*tv)));
  return 0;
}

template <class T>
T sim_time(T (*real)(T *), T *t) {
  const ClockState *c = scaled_clock();
  if (!c) return real(t);
  const T now = static_cast<T>(sim_ns(*c, CLOCK_REALTIME) / 1000000000LL);
  if (t) *t = now;
  return now;
}

// A relative sleep (nanosleep, clock_nanosleep without TIMER_ABSTIME): the wall span, and what is
// left of it in the run's time when a signal cuts it short. `fn` sleeps for a wall span.
template <class TS, class F>
int sim_sleep(const ClockState &c, const TS *req, TS *rem, F &&fn) {
  const TS w = ts_of<TS>(wall_span_ns(c, ns_of(*req)));
  TS left{};
  const int r = fn(&w, rem ? &left : nullptr);
  if (rem && r != 0) *rem = ts_of<TS>(sim_span_ns(c, ns_of(left)));
  return r;
}

template <class TS>
int sim_nanosleep(int (*real)(const TS *, TS *), const TS *req, TS *rem) {
  const ClockState *c = scaled_clock();
  if (!c || !valid(req)) return real(req, rem);
  return sim_sleep(*c, req, rem, real);
}

template <class TS>
int sim_clock_nanosleep(int (*real)(clockid_t, int, const TS *, TS *), clockid_t id, int flags,
                        const TS *req, TS *rem) {
  const ClockState *c = scaled_clock();
  if (!c || !clock_scaled(id) || !valid(req)) return real(id, flags, req, rem);
  if (flags & TIMER_ABSTIME) {
    const TS w = ts_of<TS>(to_wall_ns(*c, id, ns_of(*req)));
    return real(id, flags, &w, rem);
  }
  return sim_sleep(*c, req, rem, [&](const TS *w, TS *left) { return real(id, flags, w, left); });
}

// A time-out given as a span: scaled; null (wait for ever) and invalid ones as they are.
template <class TS>
const TS *wall_timeout(const TS *t, TS *scratch) {
  const ClockState *c = scaled_clock();
  if (!c || !valid(t)) return t;
  *scratch = ts_of<TS>(wall_span_ns(*c, ns_of(*t)));
  return scratch;
}

// A deadline on clock `id`: the wall clock's reading at the simulated one.
template <class TS>
const TS *wall_deadline(clockid_t id, const TS *t, TS *scratch) {
  const ClockState *c = scaled_clock();
  if (!c || !clock_scaled(id) || !valid(t)) return t;
  *scratch = ts_of<TS>(to_wall_ns(*c, id, ns_of(*t)));
  return scratch;
}

// select's time-out, which Linux rewrites with what was left of it.
template <class TV, class F>
int sim_select(TV *tv, F &&fn) {
  const ClockState *c = scaled_clock();
  if (!c || !tv || tv->tv_sec < 0 || tv->tv_usec < 0 || tv->tv_usec >= 1000000) return fn(tv);
  TV w = tv_of<TV>(wall_span_ns(*c, ns_of_tv(*tv)));
  const int r = fn(&w);
  *tv = tv_of<TV>(sim_span_ns(*c, ns_of_tv(w)));
  return r;
}

// Timer values: spans scaled, and an absolute first expiry (TFD_TIMER_ABSTIME) moved to the wall
// clock's reading; back the other way for what the kernel reports (always spans).
template <class IT>
IT wall_itimer(const ClockState &c, clockid_t id, bool absolute, const IT &v) {
  IT w{};
  w.it_interval = ts_of<decltype(v.it_interval)>(wall_span_ns(c, ns_of(v.it_interval)));
  if (absolute)
    w.it_value = ns_of(v.it_value) == 0
                     ? v.it_value
                     : ts_of<decltype(v.it_value)>(to_wall_ns(c, id, ns_of(v.it_value)));
  else
    w.it_value = ts_of<decltype(v.it_value)>(wall_span_ns(c, ns_of(v.it_value)));
  return w;
}
template <class IT>
IT sim_itimer(const ClockState &c, const IT &v) {
  IT s{};
  s.it_interval = ts_of<decltype(v.it_interval)>(sim_span_ns(c, ns_of(v.it_interval)));
  s.it_value = ts_of<decltype(v.it_value)>(sim_span_ns(c, ns_of(v.it_value)));
  return s;
}
template <class IV>
IV wall_itimerval(const ClockState &c, const IV &v) {
  IV w{};
  w.it_interval = tv_of<decltype(v.it_interval)>(wall_span_ns(c, ns_of_tv(v.it_interval)));
  w.it_value = tv_of<decltype(v.it_value)>(wall_span_ns(c, ns_of_tv(v.it_value)));
  return w;
}
template <class IV>
IV sim_itimerval(const ClockState &c, const IV &v) {
  IV s{};
  s.it_interval = tv_of<decltype(v.it_interval)>(sim_span_ns(c, ns_of_tv(v.it_interval)));
  s.it_value = tv_of<decltype(v.it_value)>(sim_span_ns(c, ns_of_tv(v.it_value)));
  return s;
}

template <class IT>
int sim_timerfd_settime(int (*real)(int, int, const IT *, IT *), int fd, int flags, const IT *v,
                        IT *old) {
  const ClockState *c = scaled_clock();
  if (!c || !v) return real(fd, flags, v, old);
  const IT w = wall_itimer(*c, timerfd_clock(fd), (flags & TFD_TIMER_ABSTIME) != 0, *v);
  const int r = real(fd, flags, &w, old);
  if (r == 0 && old) *old = sim_itimer(*c, *old);
  return r;
}
template <class IT>
int sim_timerfd_gettime(int (*real)(int, IT *), int fd, IT *v) {
  const ClockState *c = scaled_clock();
  const int r = real(fd, v);
  if (c && r == 0 && v) *v = sim_itimer(*c, *v);
  return r;
}
// Only ITIMER_REAL counts time passing; the other two count CPU time.
template <class IV>
int sim_setitimer(int (*real)(int, const IV *, IV *), int which, const IV *v, IV *old) {
  const ClockState *c = scaled_clock();
  if (!c || which != ITIMER_REAL || !v) return real(which, v, old);
  const IV w = wall_itimerval(*c, *v);
  const int r = real(which, &w, old);
  if (r == 0 && old) *old = sim_itimerval(*c, *old);
  return r;
}
template <class IV>
int sim_getitimer(int (*real)(int, IV *), int which, IV *v) {
  const ClockState *c = scaled_clock();
  const int r = real(which, v);
  if (c && r == 0 && which == ITIMER_REAL && v) *v = sim_itimerval(*c, *v);
  return r;
}

}  // namespace

// The clock a condition variable waits on (pthread_condattr_setclock), from the C library's
// layout of it: the monotonic clock is bit 1 of the waiter count word.
inline clockid_t cond_clock(const pthread_cond_t *cond) {
  return (cond->__data.__wrefs & 2) ? CLOCK_MONOTONIC : CLOCK_REALTIME;
}

}  // namespace tsim
