// Serial nodes: a pseudo-terminal stands in for the port, and a thread of the process serves its
// master side with the node's models: what the program wrote goes to them, what they say goes
// back at its time. Closing the port and ending the process first hand the models every byte
// still in the terminal, as closing a real port drains its output to the device.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <thread>
#include <vector>

#include "nodes.h"
#include "runtime.h"

namespace tsim {

namespace {

class SerialPort {
 public:
  explicit SerialPort(std::string node) : node_(std::move(node)), pid_(getpid()) {}

  // Creates the pty and the model thread; errno value on failure.
  int start() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return errno;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return errno;
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) return errno;
    slave_path_ = name;
    // Our own slave descriptor keeps the line up while the program has none open.
    keep_ = real().open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (keep_ < 0) return errno;
    termios tio{};
    tcgetattr(keep_, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(keep_, TCSANOW, &tio);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) return errno;
    int fl = real().fcntl(master_, F_GETFL);
    real().fcntl(master_, F_SETFL, fl | O_NONBLOCK);
    // The model thread takes no signals: they belong to the program's threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread([this] { loop(); }).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return 0;
  }

  const std::string &slave_path() const { return slave_path_; }

  // Hands the models what the program wrote and the terminal still holds. Caller holds the lock.
  void drain() {
    if (getpid() != pid_) return;  // a forked child: the port is its parent's
    take_input();
    kick();
  }

  void kick() {
    std::uint64_t one = 1;
    (void)!real().write(wake_, &one, sizeof one);
  }

  // After the program flushed its input on `fd`: the models' messages due now are waiting there
  // when this returns.
  void refill() {
    if (getpid() != pid_) return;
    Guard g;
    take_input();
    const std::uint64_t now = rt().board().now_us();
    if (SerialDevice *dev = rt().board().serial(node_))
      for (auto &m : dev->models) m->flushed(now);
    send_due(now);
  }

  // Before a thread of the program waits: what it wrote reaches the models at its own time, and
  // the port's thread looks again at when they answer. Caller holds the lock.
  void before_wait() {
    if (getpid() == pid_ && take_input()) kick();
  }

  // After a thread of the program waited: what the models said by now is on the line, whether
  // or not the port's thread has run meanwhile. Caller holds the lock.
  void after_wait() {
    if (getpid() != pid_) return;
    take_input();
    send_due(rt().board().now_us());
  }

 private:
  void loop() {
    mark_model_thread();
    for (int stalls = 0;;) {
      std::uint64_t wait_us = 1'000'000;
      bool blocked = false;
      try {
        Guard g;
        take_input();
        const std::uint64_t now = rt().board().now_us();
        const std::uint64_t next = send_due(now);
        if (next != SerialModel::kNever) wait_us = std::min(wait_us, next > now ? next - now : 0);
        blocked = !pending_.empty();
      } catch (const std::exception &e) {
        std::string msg = "tarsa-sim: serial model " + node_ + ": " + e.what() + "\n";
        (void)!real().write(2, msg.data(), msg.size());
      }
      if (blocked) {
        // A program that never reads fills the line; after 2 s the rest is lost, as in an
        // overrun.
        pollfd p{master_, POLLOUT, 0};
        if (poll(&p, 1, 100) > 0) {
          stalls = 0;
        } else if (++stalls >= 20) {
          Guard g;
          pending_.clear();
          stalls = 0;
        }
        continue;
      }
      stalls = 0;
      pollfd fds[2] = {{master_, POLLIN, 0}, {wake_, POLLIN, 0}};
      int n = poll(fds, 2, static_cast<int>((wait_us + 999) / 1000));
      if (n < 0 && errno != EINTR) return;
      if (n > 0 && (fds[1].revents & POLLIN)) {
        std::uint64_t v;
        (void)!real().read(wake_, &v, sizeof v);
      }
    }
  }

  // Puts what the models say by `now` on the line, after what still waits for room there; returns
  // when the next message falls due. Under the lock, so that messages go out in order whichever
  // thread sends them, and a program that has read them finds their records.
  std::uint64_t send_due(std::uint64_t now) {
    std::vector<std::string> due;
    const std::uint64_t next = collect(now, due);
    for (std::string &d : due) pending_ += d;
    if (!pending_.empty()) {
      std::size_t off = 0;
      while (off < pending_.size()) {
        const ssize_t w = real().write(master_, pending_.data() + off, pending_.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        off += static_cast<std::size_t>(w);
      }
      pending_.erase(0, off);
      // The terminal hands written bytes to the reader's side later, from a kernel worker; a
      // poll of that side hands them over at once, so that they are there when the program looks.
      pollfd p{keep_, POLLIN, 0};
      (void)!::poll(&p, 1, 0);
    }
    return next;
  }

  // Reads what the program wrote, traces it and gives it to the models. Under the lock.
  bool take_input() {
    char buf[4096];
    for (bool any = false;;) {
      ssize_t got = real().read(master_, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return any;
      any = true;
      std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t *>(buf),
                                          static_cast<std::size_t>(got));
      Rec(node_, "tx").hex("data", bytes).emit(got, 0);
      if (SerialDevice *dev = rt().board().serial(node_))
        for (auto &m : dev->models) m->received(bytes, rt().board().now_us());
    }
  }

  // The models' messages due by `now`, each traced; returns when the next falls due. Under the
  // lock, before the bytes go out, so that a program that has read them finds the record.
  std::uint64_t collect(std::uint64_t now, std::vector<std::string> &due) {
    SerialDevice *dev = rt().board().serial(node_);
    if (!dev) return SerialModel::kNever;
    std::uint64_t next = SerialModel::kNever;
    for (auto &m : dev->models) next = std::min(next, m->output(now, due));
    for (const std::string &d : due)
      Rec(node_, "rx")
          .hex("data", {reinterpret_cast<const std::uint8_t *>(d.data()), d.size()})
          .emit(static_cast<long long>(d.size()), 0);
    return next;
  }

  std::string node_;
  pid_t pid_;
  std::string slave_path_;
  int master_ = -1, keep_ = -1, wake_ = -1;
  std::string pending_;  // said by the models, waiting for room on the line; under the lock
};

// Whether this process has a port: the waits of a process without one skip the lock.
std::atomic<bool> g_any_port{false};

// Ports of this process by node path; never freed (their threads outlive static destructors).
std::map<std::string, SerialPort *> &ports() {
  static auto *m = new std::map<std::string, SerialPort *>;
  return *m;
}

SerialPort *port_for(const std::string &node, int *err) {
  auto &m = ports();
  if (auto it = m.find(node); it != m.end()) return it->second;
  auto *p = new SerialPort(node);
  if ((*err = p->start()) != 0) {
    delete p;
    return nullptr;
  }
  m[node] = p;
  g_any_port.store(true, std::memory_order_relaxed);
  return p;
}

// At exit(), after the program's own handlers (which may still write to a port).
__attribute__((destructor)) void drain_at_exit() {
  serial_drain_all();
}

}  // namespace

int serial_open(OpenFile &f) {
  int err = 0;
  SerialPort *p = port_for(f.node, &err);
  if (!p) return fail(err);
  return real().open(p->slave_path().c_str(), f.flags);
}

void serial_close(OpenFile &f, bool) {
  if (auto it = ports().find(f.node); it != ports().end()) it->second->drain();
}

void serial_drain_all() {
  try {
    if (ports().empty()) return;
    Guard g;
    for (auto &[node, p] : ports()) p->drain();
  } catch (...) {
  }
}

bool serial_opened(const std::string &node) {
  return ports().count(node) != 0;
}

void serial_flushed(const std::string &node, int) {
  if (auto it = ports().find(node); it != ports().end()) it->second->refill();
}

namespace {

// What is waiting on `fd`, at most `len` bytes, without the terminal's own wait.
ssize_t read_waiting(int fd, std::uint8_t *buf, size_t len) {
  int n = 0;
  if (real().ioctl(fd, FIONREAD, &n) != 0) return -1;
  return n > 0 ? real().read(fd, buf, std::min<size_t>(len, static_cast<size_t>(n))) : 0;
}

}  // namespace

// The terminal driver counts VTIME on the wall clock; on a simulated clock the read waits here
// instead, through poll (on the run's clock), as the driver would: with VMIN 0 for the first
// byte, else between bytes once the first came.
ssize_t serial_read(int fd, void *buf, size_t len) {
  if (!clock_is_simulated() || len == 0) return real().read(fd, buf, len);
  termios tio{};
  const int fl = real().fcntl(fd, F_GETFL);
  if (fl < 0 || (fl & O_NONBLOCK) || real().ioctl(fd, TCGETS, &tio) != 0 ||
      (tio.c_lflag & ICANON) || tio.c_cc[VTIME] == 0)
    return real().read(fd, buf, len);
  auto *out = static_cast<std::uint8_t *>(buf);
  const int vtime_ms = tio.c_cc[VTIME] * 100;
  const size_t vmin = std::min<size_t>(tio.c_cc[VMIN], len);
  pollfd p{fd, POLLIN, 0};
  int ready = poll(&p, 1, vmin == 0 ? vtime_ms : -1);
  size_t got = 0;
  while (ready > 0) {
    const ssize_t n = read_waiting(fd, out + got, len - got);
    if (n < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
    got += static_cast<size_t>(n);
    if (vmin == 0 || got >= vmin) break;
    ready = poll(&p, 1, vtime_ms);
  }
  if (ready < 0 && got == 0) return -1;
  return static_cast<ssize_t>(got);
}

void serial_before_wait() {
  if (!g_any_port.load(std::memory_order_relaxed) || model_thread()) return;
  Guard g;
  for (auto &[node, p] : ports()) p->before_wait();
}

void serial_after_wait() {
  if (!g_any_port.load(std::memory_order_relaxed) || model_thread()) return;
  Guard g;
  for (auto &[node, p] : ports()) p->after_wait();
}

void serial_kick(const std::string &node) {
  if (auto it = ports().find(node); it != ports().end()) it->second->kick();
}

}  // namespace tsim
