// --speed max: registrations of waits, and the launcher's thread that moves the clock.
#include "jump.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tsim {

namespace {

// A futex word shared between processes (the run's state is a shared mapping).
long futex_wait(std::atomic<std::uint32_t> *word, std::uint32_t expected, std::int64_t ns) {
  if constexpr (sizeof(long) < 8) {
#ifdef SYS_futex_time64
    struct {
      std::int64_t sec, nsec;
    } t64{ns / 1000000000, ns % 1000000000};
    const long r = syscall(SYS_futex_time64, word, FUTEX_WAIT, expected, &t64, nullptr, 0);
    if (r == 0 || errno != ENOSYS) return r;
#endif
  }
  struct {
    long sec, nsec;
  } t{static_cast<long>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  return syscall(SYS_futex, word, FUTEX_WAIT, expected, &t, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t> *word, int n) {
  syscall(SYS_futex, word, FUTEX_WAKE, n, nullptr, nullptr, 0);
}

void bump(JumpTable &t) {
  t.activity.fetch_add(1, std::memory_order_acq_rel);
  futex_wake(&t.activity, 1);
}

// The process this thread last added to the run: each process adds itself once, on its first
// wait (a forked child has a pid of its own).
std::atomic<pid_t> g_added{0};

// ---- what the scheduler sees -------------------------------------------------------------------

struct Seen {
  pid_t tid;
  std::uint64_t runtime;  // ns on a processor so far
};

// Reads a small /proc file into `buf`; false when it is gone.
bool read_proc(const char *path, char *buf, std::size_t size) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = ::read(fd, buf, size - 1);
  ::close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  return true;
}

// Every thread of the run's processes, or false as soon as one of them is running or about to
// (or in an uninterruptible sleep, which ends by itself).
bool snapshot(JumpTable &t, std::vector<Seen> &out) {
  out.clear();
  char path[96], buf[512];
  for (auto &slot : t.pids) {
    const pid_t pid = slot.load(std::memory_order_acquire);
    if (pid == 0) continue;
    std::snprintf(path, sizeof path, "/proc/%d/task", static_cast<int>(pid));
    DIR *d = opendir(path);
    if (!d) {
      std::int32_t expected = pid;
      if (errno == ENOENT) slot.compare_exchange_strong(expected, 0);
      continue;
    }
    bool busy = false;
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      const pid_t tid = static_cast<pid_t>(std::atoi(e->d_name));
      std::snprintf(path, sizeof path, "/proc/%d/task/%d/stat", static_cast<int>(pid),
                    static_cast<int>(tid));
      if (!read_proc(path, buf, sizeof buf)) continue;  // ended meanwhile
      const char *paren = std::strrchr(buf, ')');
      const char state = paren && paren[1] == ' ' ? paren[2] : 'R';
      if (state == 'R' || state == 'D') {
        busy = true;
        break;
      }
      Seen s{tid, 0};
      std::snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", static_cast<int>(pid),
                    static_cast<int>(tid));
      if (read_proc(path, buf, sizeof buf)) s.runtime = std::strtoull(buf, nullptr, 10);
      out.push_back(s);
    }
    closedir(d);
    if (busy) return false;
  }
  std::sort(out.begin(), out.end(), [](const Seen &a, const Seen &b) { return a.tid < b.tid; });
  return true;
}

}  // namespace

void jump_add_process(JumpTable &t, pid_t pid) {
  for (auto &slot : t.pids)
    if (slot.load(std::memory_order_acquire) == pid) return;
  for (auto &slot : t.pids) {
    std::int32_t expected = 0;
    if (slot.compare_exchange_strong(expected, pid, std::memory_order_acq_rel)) return;
  }
}

// ---- a wait ------------------------------------------------------------------------------------

JumpWait::JumpWait(JumpTable &t, const ClockState &c, std::int64_t deadline_ns)
    : t_(t), c_(c), deadline_(deadline_ns) {
  if (c.elapsed_ns.load(std::memory_order_acquire) >= deadline_ns) return;
  const pid_t pid = getpid();
  if (g_added.load(std::memory_order_relaxed) != pid) {
    jump_add_process(t, pid);
    g_added.store(pid, std::memory_order_relaxed);
  }
  const auto tid = static_cast<std::int32_t>(syscall(SYS_gettid));
  for (JumpWaiter &w : t.waiters) {
    std::int32_t expected = 0;
    if (w.tid.compare_exchange_strong(expected, tid, std::memory_order_acq_rel)) {
      w_ = &w;
      break;
    }
  }
  if (!w_) return;  // every place taken: the wait ends at once rather than stop the clock
  const std::uint64_t order = t.next_order.fetch_add(1, std::memory_order_relaxed) + 1;
  token_ = static_cast<std::uint32_t>(order);
  w_->pid.store(pid, std::memory_order_relaxed);
  w_->deadline.store(deadline_ns, std::memory_order_relaxed);
  w_->fired.store(token_ - 1, std::memory_order_relaxed);
  w_->order.store(order, std::memory_order_release);
  bump(t);
}

JumpWait::~JumpWait() {
  if (!w_) return;
  w_->order.store(0, std::memory_order_release);
  w_->tid.store(0, std::memory_order_release);
  bump(t_);
}

// Only the scheduler's word counts: of waiters due at the same time, one goes on at a time.
bool JumpWait::due() const {
  return !w_ || w_->fired.load(std::memory_order_acquire) == token_;
}

int JumpWait::sleep() {
  if (!w_) return 0;
  for (;;) {
    const std::uint32_t seen = w_->fired.load(std::memory_order_acquire);
    if (seen == token_) return 0;
    // With a time-out, a handler that ran for a signal ends the wait (EINTR) whatever its
    // SA_RESTART; the second is only a bound on a lost wake-up.
    if (futex_wait(&w_->fired, seen, 1000000000) == -1 && errno == EINTR) return EINTR;
  }
}

std::int64_t JumpWait::left() const {
  return std::max<std::int64_t>(0, deadline_ - c_.elapsed_ns.load(std::memory_order_acquire));
}

// ---- the scheduler -----------------------------------------------------------------------------

JumpScheduler::JumpScheduler(JumpTable &t, ClockState &c) : t_(t), c_(c) {
  thread_ = std::thread([this] { loop(); });
}

JumpScheduler::~JumpScheduler() {
  stop_.store(true);
  bump(t_);
  thread_.join();
}

void JumpScheduler::loop() {
  std::uint32_t seen = t_.activity.load(std::memory_order_acquire);
  std::int64_t backoff_ns = 20000;
  while (!stop_.load(std::memory_order_relaxed)) {
    futex_wait(&t_.activity, seen, backoff_ns);
    const std::uint32_t now = t_.activity.load(std::memory_order_acquire);
    if (now != seen) {
      seen = now;
      backoff_ns = 20000;
    }
    if (try_jump())
      backoff_ns = 20000;
    else
      backoff_ns = std::min<std::int64_t>(backoff_ns * 2, 2000000);
  }
}

// One look at the run: when every thread waits, and none ran between two looks, the earliest
// deadline falls due.
bool JumpScheduler::try_jump() {
  const std::uint32_t before = t_.activity.load(std::memory_order_acquire);
  struct Reg {
    pid_t tid;
    std::uint64_t order;
    std::int64_t deadline;
    JumpWaiter *w;
  };
  std::vector<Reg> regs;
  for (JumpWaiter &w : t_.waiters) {
    const std::uint64_t order = w.order.load(std::memory_order_acquire);
    if (order == 0) continue;
    // Woken and not yet gone on: that thread has work to do at this time.
    if (w.fired.load(std::memory_order_acquire) == static_cast<std::uint32_t>(order)) return false;
    regs.push_back({w.tid.load(std::memory_order_relaxed), order,
                    w.deadline.load(std::memory_order_relaxed), &w});
  }
  if (regs.empty()) return false;
  std::vector<Seen> first, second;
  if (!snapshot(t_, first) || !snapshot(t_, second)) return false;
  if (t_.activity.load(std::memory_order_acquire) != before) return false;
  if (first.size() != second.size()) return false;
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (first[i].tid != second[i].tid) return false;
    if (first[i].runtime == second[i].runtime) continue;
    // A registered waiter may look at the clock now and then; any other thread that ran has
    // work of its own.
    const bool waiting =
        std::any_of(regs.begin(), regs.end(), [&](const Reg &r) { return r.tid == first[i].tid; });
    if (!waiting) return false;
  }
  const Reg &next = *std::min_element(regs.begin(), regs.end(), [](const Reg &a, const Reg &b) {
    return a.deadline != b.deadline ? a.deadline < b.deadline : a.order < b.order;
  });
  if (next.w->order.load(std::memory_order_acquire) != next.order) return false;
  if (next.deadline > c_.elapsed_ns.load(std::memory_order_relaxed))
    c_.elapsed_ns.store(next.deadline, std::memory_order_release);
  next.w->fired.store(static_cast<std::uint32_t>(next.order), std::memory_order_release);
  futex_wake(&next.w->fired, INT_MAX);
  return true;
}

}  // namespace tsim
