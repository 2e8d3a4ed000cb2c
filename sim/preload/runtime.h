// Preload runtime: the real libc entry points, the simulator lock, the board and the trace.
#pragma once

#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "board.h"
#include "shm.h"
#include "stat_fill.h"
#include "world.h"

struct statx;

namespace tsim {

using SignalHandler = void (*)(int);

// The C library's (and libv4l2's) own entry points, behind the preload's. Null where the process
// has none (the 64-bit-time ones exist only in 32-bit C libraries, libv4l2's only when loaded).
struct Real {
  int (*open)(const char *, int, ...);
  int (*openat)(int, const char *, int, ...);
  int (*close)(int);
  ssize_t (*read)(int, void *, size_t);
  ssize_t (*write)(int, const void *, size_t);
  int (*ioctl)(int, unsigned long, ...);
  int (*ioctl_time64)(int, unsigned long, ...);
  int (*tcflush)(int, int);
  int (*stat)(const char *, struct stat *);
  int (*lstat)(const char *, struct stat *);
  int (*fstat)(int, struct stat *);
  int (*fstatat)(int, const char *, struct stat *, int);
  int (*stat64)(const char *, struct stat64 *);
  int (*lstat64)(const char *, struct stat64 *);
  int (*fstat64)(int, struct stat64 *);
  int (*fstatat64)(int, const char *, struct stat64 *, int);
  int (*statx)(int, const char *, int, unsigned, struct statx *);
  int (*access)(const char *, int);
  int (*faccessat)(int, const char *, int, int);
  FILE *(*fopen)(const char *, const char *);
  FILE *(*fopen64)(const char *, const char *);
  int (*dup)(int);
  int (*dup2)(int, int);
  int (*dup3)(int, int, int);
  int (*fcntl)(int, int, ...);
  int (*fcntl64)(int, int, ...);
  off_t (*lseek)(int, off_t, int);
  off64_t (*lseek64)(int, off64_t, int);
  ssize_t (*getxattr)(const char *, const char *, void *, size_t);
  ssize_t (*lgetxattr)(const char *, const char *, void *, size_t);
  ssize_t (*listxattr)(const char *, char *, size_t);
  ssize_t (*llistxattr)(const char *, char *, size_t);
  FILE *(*fdopen)(int, const char *);
  void *(*mmap)(void *, size_t, int, int, int, off_t);
  void *(*mmap64)(void *, size_t, int, int, int, off64_t);
  int (*munmap)(void *, size_t);
  RealTime64 time64;
  int (*v4l2_open)(const char *, int, ...);
  int (*v4l2_close)(int);
  int (*v4l2_ioctl)(int, unsigned long, ...);
  ssize_t (*v4l2_read)(int, void *, size_t);
  void *(*v4l2_mmap)(void *, size_t, int, int, int, std::int64_t);
  int (*v4l2_munmap)(void *, size_t);
  void (*exit_now)(int);  // _exit
  int (*sigaction)(int, const struct sigaction *, struct sigaction *);
};
const Real &real();

class Runtime {
 public:
  SharedState &shm() { return *shm_; }
  Board &board() { return *board_; }
  bool tracing() const { return trace_fd_ >= 0; }
  const std::string &trace_path() const { return trace_path_; }
  // Writes one finished trace line (without seq/us, which are prepended). Caller holds the lock.
  void trace_line(std::string_view body);
  // The robot's true pose and contacts, into the truth file (TARSA_SIM_TRUTH) and the trace.
  void world_event(const WorldEvent &e);
  // Replaces the scenario; "" = built-in. Returns "" or the reason it was refused.
  std::string load(std::string_view text);
  // Rebuilds the board when another process replaced the scenario. Caller holds the lock.
  void sync();

  std::recursive_mutex local;

 private:
  friend Runtime &rt();
  void init();
  SharedState *shm_ = nullptr;
  std::unique_ptr<Board> board_;
  std::uint64_t generation_ = 0;
  void open_trace();
  int trace_fd_ = -1;
  dev_t trace_dev_ = 0;
  ino_t trace_ino_ = 0;
  std::string trace_path_;
  int truth_fd_ = -1;
};

Runtime &rt();

// Whether the run's clock is other than the wall clock (clock.cpp).
bool clock_is_simulated();

// Threads of the simulator's own (a serial port's, the video waker): their waits are not the
// program's.
void mark_model_thread();
bool model_thread();

// Before and after a wait of the program's on a simulated clock: what it wrote to a serial port
// reaches the models, and what they said by the end is on the line (serial.cpp).
void serial_before_wait();
void serial_after_wait();

// sigaction as the program sees it: a handler of its own runs behind the preload's trampoline,
// and the action reported back (`old`) is the one the program set.
int program_sigaction(int sig, const struct sigaction *act, struct sigaction *old);

// Holds the simulator lock (this process's, then the run's) for model calls and the trace;
// a signal for a handler of the program's waits until the outermost one ends.
class Guard {
 public:
  Guard();
  ~Guard();
  Guard(const Guard &) = delete;
  Guard &operator=(const Guard &) = delete;

 private:
  sigset_t saved_mask_;
  bool masked_ = false;
};

// One trace record, written by emit() when the run is traced; a no-op otherwise.
class Rec {
 public:
  Rec(std::string_view dev, const char *op);
  Rec &num(const char *key, long long v);
  Rec &str(const char *key, std::string_view v);
  Rec &hex(const char *key, std::span<const std::uint8_t> v);
  Rec &raw(const char *key, std::string_view json);
  // ret is what the program got; err the errno (0 = none). Caller holds the lock.
  void emit(long long ret, int err);
  bool on() const { return on_; }

 private:
  void key(const char *key);
  bool on_;
  std::string body_;
};

std::string json_escape(std::string_view s);
std::string hex_of(std::span<const std::uint8_t> v);
// The same, appended to `out`; and a number in decimal.
void append_escaped(std::string &out, std::string_view s);
void append_hex(std::string &out, std::span<const std::uint8_t> v);
void append_number(std::string &out, long long v);

}  // namespace tsim
