// Preload runtime: real entry points, lock, board reloads and trace records.
#include "runtime.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "scenario.h"

namespace tsim {

namespace {

// Emulated calls this thread is inside (the outermost holds the simulator lock). Read by the
// signal trampoline, so set before the lock is taken and cleared after it is given back.
thread_local volatile int t_depth __attribute__((tls_model("initial-exec"))) = 0;

// Faults raised by the code itself: never postponed nor held back, their handlers left as set.
constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP};

bool fault_signal(int sig) {
  for (int f : kFaultSignals)
    if (f == sig) return true;
  return false;
}

// Whether the program may have a handler that the preload could not put its trampoline in front
// of (no sigaction to set it with): then emulated calls hold signals back, two system calls each.
std::atomic<bool> g_unwrapped{false};

// The action the program set for a signal whose handler runs behind the trampoline.
struct ProgramAction {
  std::atomic<void *> handler{nullptr};  // null: no trampoline (default, ignored or a fault)
  std::atomic<int> flags{0};
  sigset_t mask{};
};
ProgramAction g_actions[NSIG];

// Signals that arrived on this thread inside an emulated call, to be raised again when the
// outermost one ends. A standard signal is pending at most once, as in the kernel; a realtime
// one beyond the room here is lost.
constexpr int kPostponedRoom = 16;
constexpr int kFirstRealtime = 32;
struct Postponed {
  int n;
  siginfo_t info[kPostponedRoom];
};
thread_local Postponed t_postponed __attribute__((tls_model("initial-exec")));

void postpone(int sig, const siginfo_t *info) {
  Postponed &p = t_postponed;
  if (sig < kFirstRealtime)
    for (int i = 0; i < p.n; ++i)
      if (p.info[i].si_signo == sig) return;
  if (p.n == kPostponedRoom) return;
  if (info)
    p.info[p.n] = *info;
  else
    std::memset(&p.info[p.n], 0, sizeof p.info[p.n]);
  p.info[p.n].si_signo = sig;
  ++p.n;
}

// In front of every handler of the program's own. Inside an emulated call the signal waits, as
// it would for a system call; elsewhere the program's handler runs as the kernel would run it
// (its mask and flags are what the trampoline was set with, but for a one-shot handler, which
// the trampoline resets itself so that a postponed signal still finds it).
void trampoline(int sig, siginfo_t *info, void *ctx) {
  if (t_depth > 0) {
    postpone(sig, info);
    return;
  }
  ProgramAction &a = g_actions[sig];
  void *h = a.handler.load(std::memory_order_acquire);
  const int flags = a.flags.load(std::memory_order_relaxed);
  if (!h) return;  // set back to the default by another thread just now
  if (flags & SA_RESETHAND) {
    const int saved = errno;
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    a.handler.store(nullptr, std::memory_order_release);
    real().sigaction(sig, &dfl, nullptr);
    errno = saved;
  }
  if (flags & SA_SIGINFO)
    reinterpret_cast<void (*)(int, siginfo_t *, void *)>(h)(sig, info, ctx);
  else
    reinterpret_cast<void (*)(int)>(h)(sig);
}

bool own_handler(void *h) {
  auto f = reinterpret_cast<SignalHandler>(h);
  return f != SIG_DFL && f != SIG_IGN && f != SIG_ERR && f != SIG_HOLD;
}

// Raises this thread's postponed signals again, with what the kernel told of each where it lets
// a thread tell itself that; they reach the program's handlers as the signals are let through.
void deliver_postponed() {
  const int saved = errno;
  sigset_t all, old;
  sigfillset(&all);
  for (int sig : kFaultSignals) sigdelset(&all, sig);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  const pid_t pid = getpid();
  const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
  Postponed &p = t_postponed;
  for (int i = 0; i < p.n; ++i) {
    siginfo_t *info = &p.info[i];
    if (syscall(SYS_rt_tgsigqueueinfo, pid, tid, info->si_signo, info) != 0)
      syscall(SYS_tgkill, pid, tid, info->si_signo);
  }
  p.n = 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = saved;
}

// Handlers set before the preload could see them (another library's constructor, a raw system
// call): asked of the kernel once, as the runtime starts, and put behind the trampoline. One set
// later by a raw system call goes unseen.
void find_handlers() {
  if (!real().sigaction) {
    g_unwrapped.store(true);
    return;
  }
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction old {};
    if (fault_signal(sig) || real().sigaction(sig, nullptr, &old) != 0) continue;
    if (own_handler(reinterpret_cast<void *>(old.sa_sigaction)) && old.sa_sigaction != trampoline)
      program_sigaction(sig, &old, nullptr);
  }
}

template <class F>
void bind(F &slot, const char *name) {
  slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

Real resolve() {
  Real r{};
  bind(r.open, "open");
  bind(r.openat, "openat");
  bind(r.close, "close");
  bind(r.read, "read");
  bind(r.write, "write");
  bind(r.ioctl, "ioctl");
  bind(r.ioctl_time64, "__ioctl_time64");
  bind(r.tcflush, "tcflush");
  bind(r.stat, "stat");
  bind(r.lstat, "lstat");
  bind(r.fstat, "fstat");
  bind(r.fstatat, "fstatat");
  bind(r.stat64, "stat64");
  bind(r.lstat64, "lstat64");
  bind(r.fstat64, "fstat64");
  bind(r.fstatat64, "fstatat64");
  bind(r.statx, "statx");
  bind(r.access, "access");
  bind(r.faccessat, "faccessat");
  bind(r.fopen, "fopen");
  bind(r.fopen64, "fopen64");
  bind(r.dup, "dup");
  bind(r.dup2, "dup2");
  bind(r.dup3, "dup3");
  bind(r.fcntl, "fcntl");
  bind(r.fcntl64, "fcntl64");
  bind(r.lseek, "lseek");
  bind(r.lseek64, "lseek64");
  bind(r.getxattr, "getxattr");
  bind(r.lgetxattr, "lgetxattr");
  bind(r.listxattr, "listxattr");
  bind(r.llistxattr, "llistxattr");
  bind(r.fdopen, "fdopen");
  bind(r.mmap, "mmap");
  bind(r.mmap64, "mmap64");
  bind(r.munmap, "munmap");
  bind(r.time64.stat, "__stat64_time64");
  bind(r.time64.lstat, "__lstat64_time64");
  bind(r.time64.fstat, "__fstat64_time64");
  bind(r.time64.fstatat, "__fstatat64_time64");
  bind(r.time64.fcntl, "__fcntl_time64");
  bind(r.v4l2_open, "v4l2_open");
  bind(r.v4l2_close, "v4l2_close");
  bind(r.v4l2_ioctl, "v4l2_ioctl");
  bind(r.v4l2_read, "v4l2_read");
  bind(r.v4l2_mmap, "v4l2_mmap");
  bind(r.v4l2_munmap, "v4l2_munmap");
  bind(r.exit_now, "_exit");
  bind(r.sigaction, "sigaction");
  if (!r.ioctl_time64) r.ioctl_time64 = r.ioctl;
  if (!r.fcntl64) r.fcntl64 = r.fcntl;
  return r;
}

// Set once, when the runtime is complete; read without the once-flag on every call after.
std::atomic<Runtime *> g_rt{nullptr};
std::once_flag g_once;

// fork() must not copy a lock that another thread holds mid-operation.
void before_fork() {
  g_rt.load()->local.lock();
}
void after_fork_parent() {
  g_rt.load()->local.unlock();
}
// The child's thread has a new id and cannot unlock what its parent's thread locked.
void after_fork_child() {
  new (&g_rt.load()->local) std::recursive_mutex();
}

}  // namespace

const Real &real() {
  static const Real r = resolve();
  return r;
}

const RealTime64 &real_time64() {
  return real().time64;
}

Runtime &rt() {
  if (Runtime *r = g_rt.load(std::memory_order_acquire)) return *r;
  std::call_once(g_once, [] {
    find_handlers();
    auto *r = new Runtime;
    r->init();
    g_rt.store(r, std::memory_order_release);
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
  });
  return *g_rt.load(std::memory_order_acquire);
}

void Runtime::init() {
  if (const char *state = getenv("TARSA_SIM_STATE"); state && *state) shm_ = shm_attach_file(state);
  if (!shm_) {
    shm_ = shm_anonymous();
    if (!shm_) {
      static const char msg[] = "tarsa-sim: cannot map the simulator state\n";
      (void)!::write(2, msg, sizeof msg - 1);
      real().exit_now(125);
    }
    std::string text;
    if (const char *sc = getenv("TARSA_SIM_SCENARIO"); sc && *sc) {
      try {
        read_scenario_file(sc, &text);
      } catch (const ScenarioError &e) {
        std::string msg = std::string("tarsa-sim: ") + e.what() + "\n";
        (void)!::write(2, msg.data(), msg.size());
        real().exit_now(125);
      }
    }
    shm_set_scenario(*shm_, text);
    if (const char *start = getenv("TARSA_SIM_START_NS"); start && *start) {
      shm_->start_ns = std::strtoull(start, nullptr, 10);
      shm_->clock.anchor_ns[CLOCK_MONOTONIC] = static_cast<std::int64_t>(shm_->start_ns);
    }
    // Without a launcher's state, the factor comes from the environment alone.
    if (const char *speed = getenv("TARSA_SIM_SPEED"); speed && *speed) {
      double factor = 1;
      parse_speed(speed, &factor);
      clock_set_speed(shm_->clock, factor);
    }
  }
  if (const char *tp = getenv("TARSA_SIM_TRACE"); tp && *tp) {
    trace_path_ = tp;
    open_trace();
  }
  if (const char *tp = getenv("TARSA_SIM_TRUTH"); tp && *tp) {
    const int fd = real().open(tp, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    truth_fd_ = fd >= 0 ? real().fcntl(fd, F_DUPFD_CLOEXEC, 900) : -1;
    if (fd >= 0) real().close(fd);
  }
  if (truth_fd_ >= 0 || trace_fd_ >= 0)
    World::set_listener([this](const WorldEvent &e) { world_event(e); });
}

// Truth lines: seconds on the monotonic clock, metres and radians; one write a line.
void Runtime::world_event(const WorldEvent &e) {
  if (truth_fd_ >= 0) {
    char line[160];
    const double t = static_cast<double>(shm_->start_ns / 1000 + e.t_us) * 1e-6;
    const int n = std::snprintf(
        line, sizeof line, "{\"t\":%.6f,\"x\":%.6f,\"y\":%.6f,\"theta\":%.6f,\"contact\":%s}\n", t,
        e.pose.x / 1000.0, e.pose.y / 1000.0, e.pose.heading, e.contact ? "true" : "false");
    if (n > 0) (void)!real().write(truth_fd_, line, static_cast<std::size_t>(n));
  }
  if (e.change && tracing()) {
    std::string body = "\"dev\":\"world\",\"op\":\"contact\",\"contact\":";
    body += (e.contact ? "1" : "0");
    body += ",\"at_us\":" + std::to_string(e.t_us) +
            ",\"x\":" + std::to_string(std::lround(e.pose.x)) +
            ",\"y\":" + std::to_string(std::lround(e.pose.y)) + ",\"ret\":0";
    trace_line(body);
  }
}

// The trace descriptor sits high, out of the way of the program's own numbers.
void Runtime::open_trace() {
  int fd = real().open(trace_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  int high = real().fcntl(fd, F_DUPFD_CLOEXEC, 900);
  if (high >= 0) {
    real().close(fd);
    fd = high;
  }
  struct stat st {};
  real().fstat(fd, &st);
  trace_fd_ = fd;
  trace_dev_ = st.st_dev;
  trace_ino_ = st.st_ino;
}

void Runtime::sync() {
  std::uint64_t gen = shm_->generation.load();
  if (board_ && gen == generation_) return;
  bool fresh = shm_->built_generation != gen;
  try {
    board_ = std::make_unique<Board>(
        parse_scenario(std::string_view(shm_->scenario, shm_->scenario_len), "scenario"), *shm_,
        fresh);
  } catch (const std::exception &e) {
    std::string msg = std::string("tarsa-sim: scenario refused: ") + e.what() + "\n";
    (void)!::write(2, msg.data(), msg.size());
    if (!board_) board_ = std::make_unique<Board>(Scenario{}, *shm_, fresh);
  }
  shm_->built_generation = gen;
  generation_ = gen;
}

std::string Runtime::load(std::string_view text) {
  try {
    Scenario t = parse_scenario(text, "scenario");
    // Build it once on scratch state first, so a refused scenario leaves the board alone.
    SharedState *scratch = shm_anonymous();
    if (!scratch) return "cannot map scratch state";
    try {
      Board probe(std::move(t), *scratch, true);
    } catch (...) {
      munmap(scratch, sizeof(SharedState));
      throw;
    }
    munmap(scratch, sizeof(SharedState));
  } catch (const std::exception &e) {
    return e.what();
  }
  Guard g;
  if (!shm_set_scenario(*shm_, text)) return "scenario text too long";
  sync();
  return {};
}

void Runtime::trace_line(std::string_view body) {
  std::uint64_t seq = ++shm_->seq;
  std::uint64_t us = (sim_monotonic_ns(*shm_) - shm_->start_ns) / 1000;
  // Lines are written one at a time, under the lock: one buffer serves them all.
  static auto *buffer = new std::string;
  std::string &line = *buffer;
  line.clear();
  line.append("{\"seq\":");
  append_number(line, seq);
  line.append(",\"us\":");
  append_number(line, us);
  line.append(",").append(body).append("}\n");
  // One write per line: O_APPEND keeps lines of several processes whole.
  // A program that closed descriptors it does not own may have taken the number for a file of
  // its own: then the trace is opened again rather than written into that file.
  struct stat st {};
  if (real().fstat(trace_fd_, &st) != 0 || st.st_dev != trace_dev_ || st.st_ino != trace_ino_) {
    open_trace();
    if (real().fstat(trace_fd_, &st) != 0 || st.st_dev != trace_dev_ || st.st_ino != trace_ino_)
      return;
  }
  const char *p = line.data();
  std::size_t left = line.size();
  while (left) {
    ssize_t n = real().write(trace_fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

int program_sigaction(int sig, const struct sigaction *act, struct sigaction *old) {
  if (!real().sigaction) {
    errno = ENOSYS;
    return -1;
  }
  if (sig <= 0 || sig >= NSIG || fault_signal(sig) || sig == SIGKILL || sig == SIGSTOP)
    return real().sigaction(sig, act, old);
  ProgramAction &a = g_actions[sig];
  void *const prev_handler = a.handler.load(std::memory_order_acquire);
  const int prev_flags = a.flags.load(std::memory_order_relaxed);
  const sigset_t prev_mask = a.mask;
  struct sigaction kernel_old {};
  int rc;
  if (act && own_handler(reinterpret_cast<void *>(act->sa_sigaction))) {
    // Noted before the trampoline is set, so no signal finds it without the handler.
    a.mask = act->sa_mask;
    a.flags.store(act->sa_flags, std::memory_order_relaxed);
    a.handler.store(reinterpret_cast<void *>(act->sa_sigaction), std::memory_order_release);
    struct sigaction tramp = *act;
    tramp.sa_sigaction = trampoline;
    tramp.sa_flags = (act->sa_flags | SA_SIGINFO) & ~SA_RESETHAND;
    rc = real().sigaction(sig, &tramp, &kernel_old);
    if (rc != 0) {
      a.mask = prev_mask;
      a.flags.store(prev_flags, std::memory_order_relaxed);
      a.handler.store(prev_handler, std::memory_order_release);
    }
  } else {
    rc = real().sigaction(sig, act, &kernel_old);
    if (rc == 0 && act) a.handler.store(nullptr, std::memory_order_release);
  }
  if (rc == 0 && old) {
    *old = kernel_old;
    if (kernel_old.sa_sigaction == trampoline && prev_handler) {
      old->sa_sigaction = reinterpret_cast<void (*)(int, siginfo_t *, void *)>(prev_handler);
      old->sa_flags = (kernel_old.sa_flags & ~(SA_SIGINFO | SA_RESETHAND)) |
                      (prev_flags & (SA_SIGINFO | SA_RESETHAND));
      old->sa_mask = prev_mask;
    }
  }
  return rc;
}

// An emulated call is one system call to the program: a signal arriving meanwhile is handled
// when it returns, as the kernel does. Otherwise a handler that uses a simulated node (a
// Ctrl-C handler stopping the wheels) would re-enter the models, or the allocator, halfway
// through an operation. The trampoline in front of the program's handlers postpones such a
// signal and the outermost call raises it again as it ends; only where no trampoline could be
// set are signals held back by the thread's mask. Faults raised by the code itself stay
// deliverable.
Guard::Guard() {
  Runtime &r = rt();
  const bool outer = t_depth == 0;
  if (outer && g_unwrapped.load(std::memory_order_relaxed)) {
    sigset_t all;
    sigfillset(&all);
    for (int sig : kFaultSignals) sigdelset(&all, sig);
    pthread_sigmask(SIG_BLOCK, &all, &saved_mask_);
    masked_ = true;
  }
  t_depth = t_depth + 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  r.local.lock();
  if (outer) {
    shm_lock(r.shm());
    r.sync();
  }
}

Guard::~Guard() {
  Runtime &r = rt();
  const bool outer = t_depth == 1;
  if (outer) shm_unlock(r.shm());
  r.local.unlock();
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_depth = t_depth - 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (masked_)
    pthread_sigmask(SIG_SETMASK, &saved_mask_, nullptr);
  else if (outer && t_postponed.n > 0)
    deliver_postponed();
}

void append_escaped(std::string &out, std::string_view s) {
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7f) {
          char buf[8];
          snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
}

void append_hex(std::string &out, std::span<const std::uint8_t> v) {
  static const char digits[] = "0123456789abcdef";
  for (std::uint8_t b : v) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
}

void append_number(std::string &out, long long v) {
  char digits[24];
  auto r = std::to_chars(digits, digits + sizeof digits, v);
  out.append(digits, r.ptr);
}

std::string json_escape(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  append_escaped(out, s);
  return out;
}

std::string hex_of(std::span<const std::uint8_t> v) {
  std::string out;
  out.reserve(v.size() * 2);
  append_hex(out, v);
  return out;
}

Rec::Rec(std::string_view dev, const char *op) : on_(rt().tracing()) {
  if (!on_) return;
  body_.reserve(160);
  body_.append("\"dev\":\"");
  append_escaped(body_, dev);
  body_.append("\",\"op\":\"").append(op).append("\"");
}

void Rec::key(const char *key) {
  body_.append(",\"").append(key).append("\":");
}

Rec &Rec::num(const char *key, long long v) {
  if (!on_) return *this;
  this->key(key);
  append_number(body_, v);
  return *this;
}

Rec &Rec::str(const char *key, std::string_view v) {
  if (!on_) return *this;
  this->key(key);
  body_ += '"';
  append_escaped(body_, v);
  body_ += '"';
  return *this;
}

Rec &Rec::hex(const char *key, std::span<const std::uint8_t> v) {
  if (!on_) return *this;
  this->key(key);
  body_ += '"';
  append_hex(body_, v);
  body_ += '"';
  return *this;
}

Rec &Rec::raw(const char *key, std::string_view json) {
  if (!on_) return *this;
  this->key(key);
  body_.append(json);
  return *this;
}

void Rec::emit(long long ret, int err) {
  if (!on_) return;
  num("ret", ret);
  if (err) num("errno", err);
  rt().trace_line(body_);
}

}  // namespace tsim
