// --speed max: the timers the kernel counts (timer descriptors, ITIMER_REAL) cannot follow a
// clock that jumps, so they are kept here instead, and a thread of the process waits for the
// earliest of them like any other waiter; when the clock reaches it, the thread sets the
// kernel's timer off at once, and the program sees it expire as it would on the robot.
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "clock_ops.h"

namespace tsim {

namespace {

struct Timer {
  std::int64_t deadline;  // the run's time, ns since its start
  std::int64_t interval;  // 0: once
};

// The C library's own setters, for the kernel's timers.
int real_timerfd_settime(int fd, const itimerspec &v) {
  static const auto fn = reinterpret_cast<int (*)(int, int, const itimerspec *, itimerspec *)>(
      dlsym(RTLD_NEXT, "timerfd_settime"));
  return fn ? fn(fd, 0, &v, nullptr) : -1;
}
int real_ppoll(pollfd *p, const timespec *t) {
  static const auto fn =
      reinterpret_cast<int (*)(pollfd *, nfds_t, const timespec *, const sigset_t *)>(
          dlsym(RTLD_NEXT, "ppoll"));
  return fn(p, 1, t, nullptr);
}
int real_setitimer(const itimerval &v) {
  static const auto fn =
      reinterpret_cast<int (*)(int, const itimerval *, itimerval *)>(dlsym(RTLD_NEXT, "setitimer"));
  return fn ? fn(ITIMER_REAL, &v, nullptr) : -1;
}

// Sets the kernel's timer `key` off now (`now` false: disarms it).
void kernel_timer(int key, bool now) {
  if (key == kJumpItimer) {
    itimerval v{};
    v.it_value.tv_usec = now ? 1 : 0;
    real_setitimer(v);
  } else {
    itimerspec v{};
    v.it_value.tv_nsec = now ? 1 : 0;
    real_timerfd_settime(key, v);
  }
}

class Timers {
 public:
  JumpTimerValue set(int key, bool armed, std::int64_t deadline, std::int64_t interval) {
    std::lock_guard lock(mutex_);
    start();
    kernel_timer(key, false);
    const JumpTimerValue old = value_of(key);
    if (armed)
      timers_[key] = {deadline, interval};
    else
      timers_.erase(key);
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    return old;
  }

  JumpTimerValue get(int key) {
    std::lock_guard lock(mutex_);
    return value_of(key);
  }

  void forget(int key) {
    std::lock_guard lock(mutex_);
    timers_.erase(key);
  }

 private:
  JumpTimerValue value_of(int key) {
    if (owner_ != getpid()) return {0, 0};
    auto it = timers_.find(key);
    if (it == timers_.end()) return {0, 0};
    const std::int64_t left = it->second.deadline - jump_now(*scaled_clock());
    return {left > 0 ? left : 1, it->second.interval};
  }

  // The thread of this process (a forked child starts its own, with no timers: they are not
  // inherited).
  void start() {
    if (owner_ == getpid()) return;
    owner_ = getpid();
    timers_.clear();
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread([this, fd = wake_] { loop(fd); }).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  void loop(int wake) {
    mark_model_thread();
    const ClockState &c = *scaled_clock();
    for (;;) {
      std::int64_t next = INT64_MAX;
      {
        std::lock_guard lock(mutex_);
        for (const auto &[key, t] : timers_) next = std::min(next, t.deadline);
      }
      pollfd p{wake, POLLIN, 0};
      if (next == INT64_MAX) {
        real_ppoll(&p, nullptr);
      } else {
        jump_wait(
            c, next,
            [&](std::int64_t slice) {
              const timespec t = ts_of<timespec>(slice);
              return real_ppoll(&p, &t);
            },
            [](int r) { return r == 0; });
      }
      std::uint64_t n;
      (void)!::read(wake, &n, sizeof n);
      std::lock_guard lock(mutex_);
      const std::int64_t now = jump_now(c);
      for (auto it = timers_.begin(); it != timers_.end();) {
        Timer &t = it->second;
        if (t.deadline > now) {
          ++it;
          continue;
        }
        kernel_timer(it->first, true);
        if (t.interval > 0) {
          t.deadline += t.interval;
          ++it;
        } else {
          it = timers_.erase(it);
        }
      }
    }
  }

  std::mutex mutex_;
  std::map<int, Timer> timers_;
  pid_t owner_ = 0;
  int wake_ = -1;
};

Timers &timers() {
  static auto *t = new Timers;  // never freed: its thread outlives static destructors
  return *t;
}

}  // namespace

JumpTimerValue jump_timer_set(int key, bool armed, std::int64_t deadline, std::int64_t interval) {
  return timers().set(key, armed, deadline, interval);
}

JumpTimerValue jump_timer_get(int key) {
  return timers().get(key);
}

void jump_timer_forget(int key) {
  timers().forget(key);
}

}  // namespace tsim
