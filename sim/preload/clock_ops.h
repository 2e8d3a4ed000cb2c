// The simulated clock as the program's entry points see it: readings scaled up, waits scaled
// down. Templates over the time types, so that the 64-bit-time entry points of a 32-bit board
// (time64.cpp) share them. Each takes the C library's own function and calls it as it is when
// the run's clock is the wall clock.
#pragma once

#include <errno.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <time.h>

#include <algorithm>
#include <cstdint>

#include "clock.h"
#include "jump.h"
#include "runtime.h"

namespace tsim {

// The run's clock when it is not the wall clock; null (go straight through) when it is.
const ClockState *scaled_clock();

// The run's waits, for a clock that jumps (--speed max).
JumpTable &jump_table();

// On a clock that jumps, the timers the kernel would count on the wall clock (jump_timers.cpp):
// `key` is a timer descriptor, or kJumpItimer for the process's ITIMER_REAL. A value is what is
// left (0: disarmed) and the interval, in ns of the run's time.
constexpr int kJumpItimer = -1;
struct JumpTimerValue {
  std::int64_t value_ns, interval_ns;
};
JumpTimerValue jump_timer_set(int key, bool armed, std::int64_t deadline, std::int64_t interval);
JumpTimerValue jump_timer_get(int key);
void jump_timer_forget(int key);

// The kernel's receive time stamps in the control messages of `m` (SO_TIMESTAMP, SO_TIMESTAMPNS,
// the software stamp of SO_TIMESTAMPING, in their 32- and 64-bit forms), moved to the run's
// clock.
void sim_receive_stamps(msghdr *m);

// Around a wait of the program on a simulated clock: what it wrote to a serial port reaches the
// models before, and what they said by the end is on the line after, whether or not the port's
// thread kept up. Keeps errno.
struct WaitSync {
  WaitSync() { serial_before_wait(); }
  ~WaitSync() {
    const int e = errno;
    serial_after_wait();
    errno = e;
  }
  WaitSync(const WaitSync &) = delete;
  WaitSync &operator=(const WaitSync &) = delete;
};

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

// The run's time now, for a clock that jumps: ns since its start.
inline std::int64_t jump_now(const ClockState &c) {
  return c.elapsed_ns.load(std::memory_order_acquire);
}

// A wait for something other than time alone on a clock that jumps: `once(slice)` makes the C
// library's wait with a time-out of `slice` wall ns and returns its result, `timed_out(r)` tells
// a result that is only the end of that time. Ends with the first other result, or, once the
// scheduler says the deadline (ns since the start) came, with one last look.
template <class Once, class TimedOut>
auto jump_wait(const ClockState &c, std::int64_t deadline, Once &&once, TimedOut &&timed_out) {
  JumpWait w(jump_table(), c, deadline);
  for (;;) {
    const bool due = w.due();
    auto r = once(due ? std::int64_t{0} : JumpWait::kSliceNs);
    if (due || !timed_out(r)) return r;
  }
}

// A sleep on a clock that jumps: 0, or EINTR with what is left in `rem`.
template <class TS>
int jump_sleep(const ClockState &c, std::int64_t deadline, TS *rem) {
  WaitSync sync;
  JumpWait w(jump_table(), c, deadline);
  const int e = w.sleep();
  if (e != 0 && rem) *rem = ts_of<TS>(w.left());
  return e;
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

// nanosleep's way: -1 with errno.
template <class TS>
int sim_nanosleep(int (*real)(const TS *, TS *), const TS *req, TS *rem) {
  const ClockState *c = scaled_clock();
  if (!c || !valid(req)) return real(req, rem);
  if (c->jump) {
    const int e = jump_sleep(*c, jump_now(*c) + ns_of(*req), rem);
    if (e == 0) return 0;
    errno = e;
    return -1;
  }
  WaitSync sync;
  return sim_sleep(*c, req, rem, real);
}

// clock_nanosleep's way: the error number.
template <class TS>
int sim_clock_nanosleep(int (*real)(clockid_t, int, const TS *, TS *), clockid_t id, int flags,
                        const TS *req, TS *rem) {
  const ClockState *c = scaled_clock();
  if (!c || !clock_scaled(id) || !valid(req)) return real(id, flags, req, rem);
  const bool absolute = (flags & TIMER_ABSTIME) != 0;
  if (c->jump)
    return jump_sleep(*c, absolute ? ns_of(*req) - c->anchor_ns[id] : jump_now(*c) + ns_of(*req),
                      absolute ? static_cast<TS *>(nullptr) : rem);
  WaitSync sync;
  if (absolute) {
    const TS w = ts_of<TS>(to_wall_ns(*c, id, ns_of(*req)));
    return real(id, flags, &w, rem);
  }
  return sim_sleep(*c, req, rem, [&](const TS *w, TS *left) { return real(id, flags, w, left); });
}

// A wait for events with a time-out span (ppoll, pselect, epoll_pwait2): `call(t)` makes it with
// wall span `t`; a result of 0 is the time running out.
template <class TS, class Call>
int sim_timed_wait(const TS *timeout, Call &&call) {
  const ClockState *c = scaled_clock();
  if (!c || !valid(timeout) || ns_of(*timeout) == 0) return call(timeout);
  WaitSync sync;
  if (!c->jump) {
    const TS w = ts_of<TS>(wall_span_ns(*c, ns_of(*timeout)));
    return call(&w);
  }
  return jump_wait(
      *c, jump_now(*c) + ns_of(*timeout),
      [&](std::int64_t slice) {
        const TS w = ts_of<TS>(slice);
        return call(&w);
      },
      [](int r) { return r == 0; });
}

// A wait until a deadline on clock `id` (condition variables, semaphores): `call(at)` makes it
// with the wall deadline `at`; `timed_out(r)` tells a result that is the time running out.
template <class TS, class Call, class TimedOut>
int sim_wait_until(clockid_t id, const TS *at, Call &&call, TimedOut &&timed_out) {
  const ClockState *c = scaled_clock();
  if (!c || !clock_scaled(id) || !valid(at)) return call(at);
  if (!c->jump) {
    const TS w = ts_of<TS>(to_wall_ns(*c, id, ns_of(*at)));
    return call(&w);
  }
  return jump_wait(
      *c, ns_of(*at) - c->anchor_ns[id],
      [&](std::int64_t slice) {
        const TS w = ts_of<TS>(wall_ns(id) + slice);
        return call(&w);
      },
      timed_out);
}

// select's time-out, which Linux rewrites with what was left of it. `call(t)` selects with wall
// span `t`; on a clock that jumps the sets are given anew to each look.
template <class TV, class Call>
int sim_select(fd_set *r, fd_set *w, fd_set *e, TV *tv, Call &&call) {
  const ClockState *c = scaled_clock();
  if (!c || !tv || tv->tv_sec < 0 || tv->tv_usec < 0 || tv->tv_usec >= 1000000 ||
      ns_of_tv(*tv) == 0)
    return call(tv);
  WaitSync sync;
  if (!c->jump) {
    TV wall = tv_of<TV>(wall_span_ns(*c, ns_of_tv(*tv)));
    const int n = call(&wall);
    *tv = tv_of<TV>(sim_span_ns(*c, ns_of_tv(wall)));
    return n;
  }
  const fd_set none{};
  const fd_set r0 = r ? *r : none, w0 = w ? *w : none, e0 = e ? *e : none;
  const std::int64_t deadline = jump_now(*c) + ns_of_tv(*tv);
  const int n = jump_wait(
      *c, deadline,
      [&](std::int64_t slice) {
        if (r) *r = r0;
        if (w) *w = w0;
        if (e) *e = e0;
        TV t = tv_of<TV>(slice);
        return call(&t);
      },
      [](int k) { return k == 0; });
  *tv = tv_of<TV>(std::max<std::int64_t>(0, deadline - jump_now(*c)));
  return n;
}

// pselect: select's way on a time-out span, in whole microseconds (select's own resolution).
template <class TS>
int sim_pselect(int (*real)(int, fd_set *, fd_set *, fd_set *, const TS *, const sigset_t *), int n,
                fd_set *r, fd_set *w, fd_set *e, const TS *timeout, const sigset_t *mask) {
  if (!scaled_clock() || !valid(timeout)) return real(n, r, w, e, timeout, mask);
  timeval tv = tv_of<timeval>(ns_of(*timeout));
  return sim_select(r, w, e, &tv, [&](timeval *t) {
    const TS ts = ts_of<TS>(ns_of_tv(*t));
    return real(n, r, w, e, &ts, mask);
  });
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
IT itimer_of(const JumpTimerValue &v) {
  IT t{};
  t.it_value = ts_of<decltype(t.it_value)>(v.value_ns);
  t.it_interval = ts_of<decltype(t.it_interval)>(v.interval_ns);
  return t;
}
template <class IV>
IV itimerval_of(const JumpTimerValue &v) {
  IV t{};
  t.it_value = tv_of<decltype(t.it_value)>(v.value_ns);
  t.it_interval = tv_of<decltype(t.it_interval)>(v.interval_ns);
  // A timer still pending never reads as disarmed.
  if (v.value_ns > 0 && t.it_value.tv_sec == 0 && t.it_value.tv_usec == 0) t.it_value.tv_usec = 1;
  return t;
}

template <class IT>
int sim_timerfd_settime(int (*real)(int, int, const IT *, IT *), int fd, int flags, const IT *v,
                        IT *old) {
  const ClockState *c = scaled_clock();
  if (!c || !v) return real(fd, flags, v, old);
  if (c->jump) {
    // The kernel checks the descriptor and the value, and disarms its own timer.
    if (!valid(&v->it_value) || !valid(&v->it_interval)) return real(fd, flags, v, old);
    IT none{};
    if (const int r = real(fd, 0, &none, nullptr); r != 0) return r;
    const std::int64_t value = ns_of(v->it_value);
    const clockid_t id = timerfd_clock(fd);
    const std::int64_t deadline =
        (flags & TFD_TIMER_ABSTIME) ? value - c->anchor_ns[id] : jump_now(*c) + value;
    const JumpTimerValue was = jump_timer_set(fd, value != 0, deadline, ns_of(v->it_interval));
    if (old) *old = itimer_of<IT>(was);
    return 0;
  }
  const IT w = wall_itimer(*c, timerfd_clock(fd), (flags & TFD_TIMER_ABSTIME) != 0, *v);
  const int r = real(fd, flags, &w, old);
  if (r == 0 && old) *old = sim_itimer(*c, *old);
  return r;
}
template <class IT>
int sim_timerfd_gettime(int (*real)(int, IT *), int fd, IT *v) {
  const ClockState *c = scaled_clock();
  const int r = real(fd, v);
  if (c && r == 0 && v) *v = c->jump ? itimer_of<IT>(jump_timer_get(fd)) : sim_itimer(*c, *v);
  return r;
}
// Only ITIMER_REAL counts time passing; the other two count CPU time.
template <class IV>
int sim_setitimer(int (*real)(int, const IV *, IV *), int which, const IV *v, IV *old) {
  const ClockState *c = scaled_clock();
  if (!c || which != ITIMER_REAL || !v) return real(which, v, old);
  if (c->jump) {
    const IV none{};
    if (v->it_value.tv_usec < 0 || v->it_value.tv_usec >= 1000000 || v->it_interval.tv_usec < 0 ||
        v->it_interval.tv_usec >= 1000000)
      return real(which, v, old);  // refused as the kernel refuses it
    if (const int r = real(which, &none, nullptr); r != 0) return r;
    const std::int64_t value = ns_of_tv(v->it_value);
    const JumpTimerValue was =
        jump_timer_set(kJumpItimer, value != 0, jump_now(*c) + value, ns_of_tv(v->it_interval));
    if (old) *old = itimerval_of<IV>(was);
    return 0;
  }
  const IV w = wall_itimerval(*c, *v);
  const int r = real(which, &w, old);
  if (r == 0 && old) *old = sim_itimerval(*c, *old);
  return r;
}
template <class IV>
int sim_getitimer(int (*real)(int, IV *), int which, IV *v) {
  const ClockState *c = scaled_clock();
  const int r = real(which, v);
  if (c && r == 0 && which == ITIMER_REAL && v)
    *v = c->jump ? itimerval_of<IV>(jump_timer_get(kJumpItimer)) : sim_itimerval(*c, *v);
  return r;
}

}  // namespace

// The clock a condition variable waits on (pthread_condattr_setclock), from the C library's
// layout of it: the monotonic clock is bit 1 of the waiter count word.
inline clockid_t cond_clock(const pthread_cond_t *cond) {
  return (cond->__data.__wrefs & 2) ? CLOCK_MONOTONIC : CLOCK_REALTIME;
}

}  // namespace tsim
