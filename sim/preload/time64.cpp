// Entry points of 32-bit programs built with 64-bit time_t and file offsets: their stat calls,
// fcntl, clocks and waits have names and structure layouts of their own. Compiled with those
// settings, so that `stat` here is the 64-bit-time function the programs call. Of the clock's
// entry points (clock.cpp) epoll_pwait2, sem_clockwait and timespec_get are not here: in such
// programs they stay on the wall clock.
#if __SIZEOF_POINTER__ == 4 && defined(_TIME_BITS) && _TIME_BITS == 64

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <semaphore.h>
#include <stdarg.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/timerfd.h>

#include <cerrno>

#include "clock_ops.h"
#include "stat_fill.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

int failed(int err) {
  errno = err;
  return -1;
}

int by_path(const char *path, struct stat *st) {
  tsim::Attr a{};
  int r = tsim::emu_attr_path(path, &a);
  if (r == 0) tsim::fill(st, a);
  return r;
}

// The C library's 64-bit-time clock entry points.
struct RealClock64 {
  int (*clock_gettime)(clockid_t, timespec *);
  int (*gettimeofday)(timeval *, void *);
  time_t (*time)(time_t *);
  int (*nanosleep)(const timespec *, timespec *);
  int (*clock_nanosleep)(clockid_t, int, const timespec *, timespec *);
  int (*ppoll)(pollfd *, nfds_t, const timespec *, const sigset_t *);
  int (*select)(int, fd_set *, fd_set *, fd_set *, timeval *);
  int (*pselect)(int, fd_set *, fd_set *, fd_set *, const timespec *, const sigset_t *);
  int (*cond_timedwait)(pthread_cond_t *, pthread_mutex_t *, const timespec *);
  int (*cond_clockwait)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const timespec *);
  int (*sem_timedwait)(sem_t *, const timespec *);
  int (*timerfd_settime)(int, int, const itimerspec *, itimerspec *);
  int (*timerfd_gettime)(int, itimerspec *);
  int (*setitimer)(int, const itimerval *, itimerval *);
  int (*getitimer)(int, itimerval *);
};

template <class F>
void bind(F &slot, const char *name) {
  slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

const RealClock64 &R() {
  static const RealClock64 r = [] {
    RealClock64 c{};
    bind(c.clock_gettime, "__clock_gettime64");
    bind(c.gettimeofday, "__gettimeofday64");
    bind(c.time, "__time64");
    bind(c.nanosleep, "__nanosleep64");
    bind(c.clock_nanosleep, "__clock_nanosleep_time64");
    bind(c.ppoll, "__ppoll64");
    bind(c.select, "__select64");
    bind(c.pselect, "__pselect64");
    bind(c.cond_timedwait, "__pthread_cond_timedwait64");
    bind(c.cond_clockwait, "__pthread_cond_clockwait64");
    bind(c.sem_timedwait, "__sem_timedwait64");
    bind(c.timerfd_settime, "__timerfd_settime64");
    bind(c.timerfd_gettime, "__timerfd_gettime64");
    bind(c.setitimer, "__setitimer64");
    bind(c.getitimer, "__getitimer64");
    return c;
  }();
  return r;
}

}  // namespace

EXPORT int clock_gettime(clockid_t id, timespec *ts) {
  return tsim::sim_gettime(R().clock_gettime, id, ts);
}

EXPORT int gettimeofday(timeval *tv, void *tz) {
  return tsim::sim_gettimeofday(R().gettimeofday, tv, tz);
}

EXPORT time_t time(time_t *t) {
  return tsim::sim_time(R().time, t);
}

EXPORT int nanosleep(const timespec *req, timespec *rem) {
  return tsim::sim_nanosleep(R().nanosleep, req, rem);
}

EXPORT int clock_nanosleep(clockid_t id, int flags, const timespec *req, timespec *rem) {
  return tsim::sim_clock_nanosleep(R().clock_nanosleep, id, flags, req, rem);
}

EXPORT int ppoll(pollfd *fds, nfds_t n, const timespec *timeout, const sigset_t *mask) {
  return tsim::sim_timed_wait(timeout,
                              [&](const timespec *t) { return R().ppoll(fds, n, t, mask); });
}

EXPORT int select(int n, fd_set *r, fd_set *w, fd_set *e, timeval *tv) {
  return tsim::sim_select(r, w, e, tv, [&](timeval *t) { return R().select(n, r, w, e, t); });
}

EXPORT int pselect(int n, fd_set *r, fd_set *w, fd_set *e, const timespec *timeout,
                   const sigset_t *mask) {
  return tsim::sim_pselect(R().pselect, n, r, w, e, timeout, mask);
}

EXPORT int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *m, const timespec *at) {
  return tsim::sim_wait_until(
      tsim::cond_clock(cond), at, [&](const timespec *t) { return R().cond_timedwait(cond, m, t); },
      [](int r) { return r == ETIMEDOUT; });
}

EXPORT int pthread_cond_clockwait(pthread_cond_t *cond, pthread_mutex_t *m, clockid_t id,
                                  const timespec *at) {
  return tsim::sim_wait_until(
      id, at, [&](const timespec *t) { return R().cond_clockwait(cond, m, id, t); },
      [](int r) { return r == ETIMEDOUT; });
}

EXPORT int sem_timedwait(sem_t *sem, const timespec *at) {
  return tsim::sim_wait_until(
      CLOCK_REALTIME, at, [&](const timespec *t) { return R().sem_timedwait(sem, t); },
      [](int r) { return r == -1 && errno == ETIMEDOUT; });
}

EXPORT ssize_t __recvmsg64(int fd, msghdr *m, int flags) {
  static const auto real =
      reinterpret_cast<ssize_t (*)(int, msghdr *, int)>(dlsym(RTLD_NEXT, "__recvmsg64"));
  const ssize_t r = real(fd, m, flags);
  if (r >= 0) tsim::sim_receive_stamps(m);
  return r;
}

EXPORT int __recvmmsg64(int fd, mmsghdr *v, unsigned n, int flags, timespec *timeout) {
  static const auto real = reinterpret_cast<int (*)(int, mmsghdr *, unsigned, int, timespec *)>(
      dlsym(RTLD_NEXT, "__recvmmsg64"));
  const int r = real(fd, v, n, flags, timeout);
  for (int i = 0; i < r; ++i) tsim::sim_receive_stamps(&v[i].msg_hdr);
  return r;
}

EXPORT int timerfd_settime(int fd, int flags, const itimerspec *v, itimerspec *old) {
  return tsim::sim_timerfd_settime(R().timerfd_settime, fd, flags, v, old);
}

EXPORT int timerfd_gettime(int fd, itimerspec *v) {
  return tsim::sim_timerfd_gettime(R().timerfd_gettime, fd, v);
}

EXPORT int setitimer(int which, const itimerval *v, itimerval *old) {
  return tsim::sim_setitimer(R().setitimer, which, v, old);
}

EXPORT int getitimer(int which, itimerval *v) {
  return tsim::sim_getitimer(R().getitimer, which, v);
}

EXPORT int stat(const char *path, struct stat *st) {
  int r = by_path(path, st);
  return r < 0 ? tsim::real_time64().stat(path, st) : r ? failed(r) : 0;
}

EXPORT int lstat(const char *path, struct stat *st) {
  int r = by_path(path, st);
  return r < 0 ? tsim::real_time64().lstat(path, st) : r ? failed(r) : 0;
}

EXPORT int fstat(int fd, struct stat *st) {
  tsim::Attr a{};
  if (tsim::emu_attr_fd(fd, &a) == 0) {
    tsim::fill(st, a);
    return 0;
  }
  return tsim::real_time64().fstat(fd, st);
}

EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) {
  auto real = tsim::real_time64().fstatat;
  tsim::Attr a{};
  const char *volatile p = path;  // declared non-null, but callers may still pass null
  if (!p) return real(dirfd, path, st, flags);
  if (path[0] == '\0' && (flags & AT_EMPTY_PATH) && tsim::emu_attr_fd(dirfd, &a) == 0) {
    tsim::fill(st, a);
    return 0;
  }
  if (path[0] == '/') {
    int r = by_path(path, st);
    if (r >= 0) return r ? failed(r) : 0;
  }
  return real(dirfd, path, st, flags);
}

EXPORT int fcntl(int fd, int cmd, ...) {
  auto real = tsim::real_time64().fcntl;
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  int r = real(fd, cmd, arg);
  if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && tsim::emu_fd(fd))
    tsim::emu_dup(fd, r);
  return r;
}

#endif
