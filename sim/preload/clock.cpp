// The program's clocks and waits, on the run's clock. At factor 1 every entry point goes straight
// to the C library's. The C library's own calls between its functions (sleep to nanosleep, say)
// do not come here, so each public entry point is replaced on its own.
//
// Not scaled: the CPU-time clocks and ITIMER_VIRTUAL/ITIMER_PROF (work done, not time passed)
// and the timed locks (pthread_mutex_timedlock, rwlocks, message queues). A serial port's read
// time-out (VTIME) is timed by the port (serial.cpp), and the kernel's receive time stamps are
// moved to the run's clock as they are received.
#include <dlfcn.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "clock_ops.h"
#include "runtime.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

using namespace tsim;

namespace {

struct RealClock {
  int (*clock_gettime)(clockid_t, timespec *);
  int (*gettimeofday)(timeval *, void *);
  time_t (*time)(time_t *);
  int (*timespec_get)(timespec *, int);
  int (*nanosleep)(const timespec *, timespec *);
  int (*clock_nanosleep)(clockid_t, int, const timespec *, timespec *);
  int (*usleep)(useconds_t);
  unsigned (*sleep)(unsigned);
  int (*poll)(pollfd *, nfds_t, int);
  int (*ppoll)(pollfd *, nfds_t, const timespec *, const sigset_t *);
  int (*select)(int, fd_set *, fd_set *, fd_set *, timeval *);
  int (*pselect)(int, fd_set *, fd_set *, fd_set *, const timespec *, const sigset_t *);
  int (*epoll_wait)(int, epoll_event *, int, int);
  int (*epoll_pwait)(int, epoll_event *, int, int, const sigset_t *);
  int (*epoll_pwait2)(int, epoll_event *, int, const timespec *, const sigset_t *);
  int (*cond_timedwait)(pthread_cond_t *, pthread_mutex_t *, const timespec *);
  int (*cond_clockwait)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const timespec *);
  int (*sem_timedwait)(sem_t *, const timespec *);
  int (*sem_clockwait)(sem_t *, clockid_t, const timespec *);
  int (*timerfd_create)(clockid_t, int);
  int (*timerfd_settime)(int, int, const itimerspec *, itimerspec *);
  int (*timerfd_gettime)(int, itimerspec *);
  int (*setitimer)(int, const itimerval *, itimerval *);
  int (*getitimer)(int, itimerval *);
  unsigned (*alarm)(unsigned);
  int (*setsockopt)(int, int, int, const void *, socklen_t);
  ssize_t (*recvmsg)(int, msghdr *, int);
  int (*recvmmsg)(int, mmsghdr *, unsigned, int, timespec *);
  int (*getsockopt)(int, int, int, void *, socklen_t *);
};

template <class F>
void bind(F &slot, const char *name) {
  slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

const RealClock &real_clock() {
  static const RealClock r = [] {
    RealClock c{};
    bind(c.clock_gettime, "clock_gettime");
    bind(c.gettimeofday, "gettimeofday");
    bind(c.time, "time");
    bind(c.timespec_get, "timespec_get");
    bind(c.nanosleep, "nanosleep");
    bind(c.clock_nanosleep, "clock_nanosleep");
    bind(c.usleep, "usleep");
    bind(c.sleep, "sleep");
    bind(c.poll, "poll");
    bind(c.ppoll, "ppoll");
    bind(c.select, "select");
    bind(c.pselect, "pselect");
    bind(c.epoll_wait, "epoll_wait");
    bind(c.epoll_pwait, "epoll_pwait");
    bind(c.epoll_pwait2, "epoll_pwait2");
    bind(c.cond_timedwait, "pthread_cond_timedwait");
    bind(c.cond_clockwait, "pthread_cond_clockwait");
    bind(c.sem_timedwait, "sem_timedwait");
    bind(c.sem_clockwait, "sem_clockwait");
    bind(c.timerfd_create, "timerfd_create");
    bind(c.timerfd_settime, "timerfd_settime");
    bind(c.timerfd_gettime, "timerfd_gettime");
    bind(c.setitimer, "setitimer");
    bind(c.getitimer, "getitimer");
    bind(c.alarm, "alarm");
    bind(c.setsockopt, "setsockopt");
    bind(c.recvmsg, "recvmsg");
    bind(c.recvmmsg, "recvmmsg");
    bind(c.getsockopt, "getsockopt");
    return c;
  }();
  return r;
}

const RealClock &R() {
  return real_clock();
}

enum : int { kUnknown, kWall, kScaled };
std::atomic<int> g_mode{kUnknown};
std::atomic<const ClockState *> g_clock{nullptr};
thread_local bool t_starting __attribute__((tls_model("initial-exec"))) = false;
thread_local bool t_model __attribute__((tls_model("initial-exec"))) = false;

// The clock each timer descriptor counts on (plus one: 0 for none known), for its absolute
// deadlines.
constexpr int kTimerFds = 4096;
std::atomic<signed char> g_timerfd_clock[kTimerFds];

// A time-out in milliseconds (poll, epoll), positive.
timespec ms_span(int ms) {
  return ts_of<timespec>(static_cast<std::int64_t>(ms) * 1000000);
}

bool socket_timeout(int level, int name) {
  return level == SOL_SOCKET && (name == 20 || name == 21 || name == 66 || name == 67);
}

// A socket time-out, as SO_RCVTIMEO/SO_SNDTIMEO take it in either size (32- or 64-bit fields),
// scaled by `fn`. False for a size of neither.
template <class F>
bool scale_sock_time(void *v, socklen_t len, F &&fn) {
  if (len == 2 * sizeof(std::int64_t)) {
    auto *f = static_cast<std::int64_t *>(v);
    const std::int64_t ns = fn(f[0] * 1000000000LL + f[1] * 1000);
    f[0] = ns / 1000000000LL;
    f[1] = (ns % 1000000000LL) / 1000;
    return true;
  }
  if (len == 2 * sizeof(std::int32_t)) {
    auto *f = static_cast<std::int32_t *>(v);
    const std::int64_t ns = fn(static_cast<std::int64_t>(f[0]) * 1000000000LL + f[1] * 1000LL);
    f[0] = static_cast<std::int32_t>(ns / 1000000000LL);
    f[1] = static_cast<std::int32_t>((ns % 1000000000LL) / 1000);
    return true;
  }
  return false;
}

}  // namespace

namespace tsim {

// The environment says whether the launcher set a factor; the run's state says which.
const ClockState *scaled_clock() {
  const int mode = g_mode.load(std::memory_order_acquire);
  if (mode == kWall) return nullptr;
  if (mode == kScaled) return g_clock.load(std::memory_order_relaxed);
  const char *speed = getenv("TARSA_SIM_SPEED");
  if (!speed || !*speed) {
    g_mode.store(kWall, std::memory_order_release);
    return nullptr;
  }
  if (t_starting) return nullptr;  // the run's state is being mapped: its clock is not there yet
  t_starting = true;
  const ClockState *c = &rt().shm().clock;
  t_starting = false;
  g_clock.store(c, std::memory_order_relaxed);
  g_mode.store(clock_simulated(*c) ? kScaled : kWall, std::memory_order_release);
  return clock_simulated(*c) ? c : nullptr;
}

bool clock_is_simulated() {
  return scaled_clock() != nullptr;
}

namespace {

// The stamp at `p`: seconds and their fraction, in units of `unit` ns, as two fields of Int.
template <class Int>
void move_stamp(const ClockState &c, unsigned char *p, std::int64_t unit) {
  Int f[2];
  __builtin_memcpy(f, p, sizeof f);
  if (f[0] == 0 && f[1] == 0) return;  // no stamp of this kind
  const std::int64_t sim =
      to_sim_ns(c, CLOCK_REALTIME, static_cast<std::int64_t>(f[0]) * 1000000000LL + f[1] * unit);
  f[0] = static_cast<Int>(sim / 1000000000LL);
  f[1] = static_cast<Int>((sim % 1000000000LL) / unit);
  __builtin_memcpy(p, f, sizeof f);
}

}  // namespace

void sim_receive_stamps(msghdr *m) {
  const ClockState *c = scaled_clock();
  if (!c || !m || !m->msg_control || (m->msg_flags & MSG_CTRUNC)) return;
  for (cmsghdr *h = CMSG_FIRSTHDR(m); h; h = CMSG_NXTHDR(m, h)) {
    if (h->cmsg_level != SOL_SOCKET) continue;
    unsigned char *d = CMSG_DATA(h);
    const std::size_t len = h->cmsg_len - CMSG_LEN(0);
    switch (h->cmsg_type) {
      case 29:  // SO_TIMESTAMP (32-bit fields on a 32-bit board)
        if (len == 2 * sizeof(long)) move_stamp<long>(*c, d, 1000);
        break;
      case 35:  // SO_TIMESTAMPNS
      case 37:  // SO_TIMESTAMPING: the first of three is the software stamp
        if (len >= 2 * sizeof(long)) move_stamp<long>(*c, d, 1);
        break;
      case 63:  // SO_TIMESTAMP_NEW
        if (len == 16) move_stamp<std::int64_t>(*c, d, 1000);
        break;
      case 64:  // SO_TIMESTAMPNS_NEW
      case 65:  // SO_TIMESTAMPING_NEW
        if (len >= 16) move_stamp<std::int64_t>(*c, d, 1);
        break;
      default:
        break;
    }
  }
}

void mark_model_thread() {
  t_model = true;
}

bool model_thread() {
  return t_model;
}

JumpTable &jump_table() {
  return rt().shm().jumps;
}

clockid_t timerfd_clock(int fd) {
  if (fd < 0 || fd >= kTimerFds) return CLOCK_MONOTONIC;
  const clockid_t id = g_timerfd_clock[fd].load(std::memory_order_relaxed) - 1;  // 0: unknown
  return clock_scaled(id) ? id : CLOCK_MONOTONIC;
}

}  // namespace tsim

// ---- readings ----------------------------------------------------------------------------------

EXPORT int clock_gettime(clockid_t id, timespec *ts) {
  return sim_gettime(R().clock_gettime, id, ts);
}

EXPORT int gettimeofday(timeval *tv, void *tz) {
  return sim_gettimeofday(R().gettimeofday, tv, tz);
}

EXPORT time_t time(time_t *t) {
  return sim_time(R().time, t);
}

EXPORT int timespec_get(timespec *ts, int base) {
  const ClockState *c = scaled_clock();
  if (!c || base != TIME_UTC) return R().timespec_get(ts, base);
  return clock_gettime(CLOCK_REALTIME, ts) == 0 ? base : 0;
}

// ---- sleeps ------------------------------------------------------------------------------------

EXPORT int nanosleep(const timespec *req, timespec *rem) {
  return sim_nanosleep(R().nanosleep, req, rem);
}

EXPORT int clock_nanosleep(clockid_t id, int flags, const timespec *req, timespec *rem) {
  return sim_clock_nanosleep(R().clock_nanosleep, id, flags, req, rem);
}

EXPORT int usleep(useconds_t us) {
  const ClockState *c = scaled_clock();
  if (!c) return R().usleep(us);
  const timespec req = ts_of<timespec>(static_cast<std::int64_t>(us) * 1000);
  return sim_nanosleep(R().nanosleep, &req, static_cast<timespec *>(nullptr));
}

EXPORT unsigned sleep(unsigned s) {
  const ClockState *c = scaled_clock();
  if (!c) return R().sleep(s);
  const timespec req{static_cast<time_t>(s), 0};
  timespec rem{};
  if (sim_nanosleep(R().nanosleep, &req, &rem) == 0) return 0;
  return static_cast<unsigned>(rem.tv_sec) + (rem.tv_nsec >= 500000000L ? 1 : 0);
}

// ---- time-outs ---------------------------------------------------------------------------------

EXPORT int ppoll(pollfd *fds, nfds_t n, const timespec *timeout, const sigset_t *mask) {
  return sim_timed_wait(timeout, [&](const timespec *t) { return R().ppoll(fds, n, t, mask); });
}

EXPORT int poll(pollfd *fds, nfds_t n, int timeout) {
  if (timeout <= 0 || !scaled_clock()) return R().poll(fds, n, timeout);
  const timespec t = ms_span(timeout);
  return ppoll(fds, n, &t, nullptr);
}

EXPORT int select(int n, fd_set *r, fd_set *w, fd_set *e, timeval *tv) {
  return sim_select(r, w, e, tv, [&](timeval *t) { return R().select(n, r, w, e, t); });
}

EXPORT int pselect(int n, fd_set *r, fd_set *w, fd_set *e, const timespec *timeout,
                   const sigset_t *mask) {
  return sim_pselect(R().pselect, n, r, w, e, timeout, mask);
}

EXPORT int epoll_pwait2(int ep, epoll_event *ev, int max, const timespec *timeout,
                        const sigset_t *mask) {
  return sim_timed_wait(timeout, [&](const timespec *t) {
    if (R().epoll_pwait2) {
      const int r = R().epoll_pwait2(ep, ev, max, t, mask);
      if (r >= 0 || errno != ENOSYS) return r;
    }
    // A kernel without the nanosecond call: whole milliseconds, rounded up.
    const int ms = t ? static_cast<int>((ns_of(*t) + 999999) / 1000000) : -1;
    return R().epoll_pwait(ep, ev, max, ms, mask);
  });
}

EXPORT int epoll_pwait(int ep, epoll_event *ev, int max, int timeout, const sigset_t *mask) {
  if (timeout <= 0 || !scaled_clock()) return R().epoll_pwait(ep, ev, max, timeout, mask);
  const timespec t = ms_span(timeout);
  return epoll_pwait2(ep, ev, max, &t, mask);
}

EXPORT int epoll_wait(int ep, epoll_event *ev, int max, int timeout) {
  if (timeout <= 0 || !scaled_clock()) return R().epoll_wait(ep, ev, max, timeout);
  return epoll_pwait(ep, ev, max, timeout, nullptr);
}

EXPORT int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *m, const timespec *at) {
  return sim_wait_until(
      cond_clock(cond), at, [&](const timespec *t) { return R().cond_timedwait(cond, m, t); },
      [](int r) { return r == ETIMEDOUT; });
}

EXPORT int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *m, clockid_t id,
                                  const timespec *at) {
  return sim_wait_until(
      id, at, [&](const timespec *t) { return R().cond_clockwait(cond, m, id, t); },
      [](int r) { return r == ETIMEDOUT; });
}

EXPORT int sem_timedwait(sem_t *sem, const timespec *at) {
  return sim_wait_until(
      CLOCK_REALTIME, at, [&](const timespec *t) { return R().sem_timedwait(sem, t); },
      [](int r) { return r == -1 && errno == ETIMEDOUT; });
}

EXPORT int sem_clockwait(sem_t *sem, clockid_t id, const timespec *at) {
  return sim_wait_until(
      id, at, [&](const timespec *t) { return R().sem_clockwait(sem, id, t); },
      [](int r) { return r == -1 && errno == ETIMEDOUT; });
}

// ---- timers ------------------------------------------------------------------------------------

EXPORT int timerfd_create(clockid_t id, int flags) {
  const int fd = R().timerfd_create(id, flags);
  if (fd >= 0 && fd < kTimerFds) g_timerfd_clock[fd].store(static_cast<signed char>(id + 1));
  // A number used before by a timer since closed: none of that one's setting is this one's.
  if (fd >= 0 && scaled_clock() && scaled_clock()->jump) jump_timer_forget(fd);
  return fd;
}

EXPORT int timerfd_settime(int fd, int flags, const itimerspec *v, itimerspec *old) {
  return sim_timerfd_settime(R().timerfd_settime, fd, flags, v, old);
}

EXPORT int timerfd_gettime(int fd, itimerspec *v) {
  return sim_timerfd_gettime(R().timerfd_gettime, fd, v);
}

EXPORT int setitimer(int which, const itimerval *v, itimerval *old) {
  return sim_setitimer(R().setitimer, which, v, old);
}

EXPORT int getitimer(int which, itimerval *v) {
  return sim_getitimer(R().getitimer, which, v);
}

EXPORT unsigned alarm(unsigned s) {
  const ClockState *c = scaled_clock();
  if (!c) return R().alarm(s);
  itimerval v{}, old{};
  v.it_value.tv_sec = static_cast<time_t>(s);
  if (setitimer(ITIMER_REAL, &v, &old) != 0) return 0;
  // As the C library rounds: an alarm still pending never reads as none.
  unsigned left = static_cast<unsigned>(old.it_value.tv_sec);
  if ((left == 0 && old.it_value.tv_usec > 0) || old.it_value.tv_usec >= 500000) ++left;
  return left;
}

// ---- sockets -----------------------------------------------------------------------------------

EXPORT int setsockopt(int fd, int level, int name, const void *v, socklen_t len) {
  const ClockState *c = scaled_clock();
  if (!c || !v || !socket_timeout(level, name)) return R().setsockopt(fd, level, name, v, len);
  alignas(8) unsigned char buf[16];
  if (len > sizeof buf) return R().setsockopt(fd, level, name, v, len);
  __builtin_memcpy(buf, v, len);
  if (!scale_sock_time(buf, len, [&](std::int64_t ns) { return wall_span_ns(*c, ns); }))
    return R().setsockopt(fd, level, name, v, len);
  return R().setsockopt(fd, level, name, buf, len);
}

EXPORT ssize_t recvmsg(int fd, msghdr *m, int flags) {
  const ssize_t r = R().recvmsg(fd, m, flags);
  if (r >= 0) sim_receive_stamps(m);
  return r;
}

EXPORT int recvmmsg(int fd, mmsghdr *v, unsigned n, int flags, timespec *timeout) {
  const int r = R().recvmmsg(fd, v, n, flags, timeout);
  for (int i = 0; i < r; ++i) sim_receive_stamps(&v[i].msg_hdr);
  return r;
}

EXPORT int getsockopt(int fd, int level, int name, void *v, socklen_t *len) {
  const ClockState *c = scaled_clock();
  const int r = R().getsockopt(fd, level, name, v, len);
  if (c && r == 0 && v && len && socket_timeout(level, name))
    scale_sock_time(v, *len, [&](std::int64_t ns) { return sim_span_ns(*c, ns); });
  return r;
}
