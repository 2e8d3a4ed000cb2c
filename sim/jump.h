// --speed max: the run's time stands still while any thread of its programs works, and jumps to
// the earliest deadline once every one of them waits. A thread waiting for a time registers its
// deadline here (JumpWait); the launcher's JumpScheduler watches every thread of the run's
// processes, and when all of them sleep and none has run since it last looked, it moves the clock
// to the earliest deadline and wakes that one waiter. Waiters due at the same time wake one at a
// time, in the order they began to wait, so a deterministic program gives the same run twice.
//
// A thread blocked with no time-out (a read, a lock, a wait for a child) counts as waiting too;
// a thread that computes, or spins on the clock, holds the time where it is.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "clock.h"

namespace tsim {

constexpr int kJumpWaiters = 256;
constexpr int kJumpProcs = 64;

struct JumpWaiter {
  std::atomic<std::int32_t> tid;  // 0: free
  std::atomic<std::int32_t> pid;
  std::atomic<std::uint64_t> order;    // the registration's number; 0 while being set up
  std::atomic<std::int64_t> deadline;  // the run's time, in ns since its start
  std::atomic<std::uint32_t> fired;    // futex word: the low half of `order` once due
};

struct JumpTable {
  std::atomic<std::uint32_t> activity;  // futex word: bumped at every registration and release
  std::atomic<std::uint64_t> next_order;
  std::atomic<std::int32_t> pids[kJumpProcs];  // the run's processes (0: free)
  JumpWaiter waiters[kJumpWaiters];
};

// Adds a process to the run (the launcher's program, and each process of the run that waits).
void jump_add_process(JumpTable &t, pid_t pid);

// The calling thread's wait until `deadline_ns` on the run's clock.
class JumpWait {
 public:
  JumpWait(JumpTable &t, const ClockState &c, std::int64_t deadline_ns);
  ~JumpWait();
  JumpWait(const JumpWait &) = delete;
  JumpWait &operator=(const JumpWait &) = delete;

  // The clock has reached the deadline.
  bool due() const;
  // Blocks until due (0) or until a handler of the program ran for a signal (EINTR).
  int sleep();
  // What is left of the wait, in ns of the run's time.
  std::int64_t left() const;

  // The longest a wait that cannot sleep on its registration (poll, a condition variable) blocks
  // before it looks again: the wall time the clock may stand still waiting for it to notice.
  static constexpr std::int64_t kSliceNs = 200000;

 private:
  JumpTable &t_;
  const ClockState &c_;
  std::int64_t deadline_;
  JumpWaiter *w_ = nullptr;
  std::uint32_t token_ = 0;
};

// Moves the clock of a run at --speed max, from a thread of the launcher, until destroyed.
class JumpScheduler {
 public:
  JumpScheduler(JumpTable &t, ClockState &c);
  ~JumpScheduler();
  JumpScheduler(const JumpScheduler &) = delete;
  JumpScheduler &operator=(const JumpScheduler &) = delete;

 private:
  void loop();
  bool try_jump();
  JumpTable &t_;
  ClockState &c_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace tsim
