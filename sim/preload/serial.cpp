// Serial nodes: a pseudo-terminal stands in for the port; a model thread serves its master side
// with scripted replies (reply when the expected bytes have arrived).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <vector>

#include "nodes.h"
#include "runtime.h"
#include "scenario.h"
#include "tarsa_sim.h"

namespace tsim {

namespace {

struct Rule {
  std::string expect;
  std::string reply;
  unsigned delay_ms = 0;
  bool once = false;
  bool used = false;
};

struct Pending {
  std::uint64_t due_us;
  std::string bytes;
};

class SerialPort {
 public:
  explicit SerialPort(std::string node) : node_(std::move(node)) {}

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
    int fl = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, fl | O_NONBLOCK);
    // The model thread takes no signals: they belong to the program's threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread([this] { loop(); }).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return 0;
  }

  const std::string &slave_path() const { return slave_path_; }

  void add_rule(Rule r) {
    std::lock_guard<std::mutex> l(mu_);
    rules_.push_back(std::move(r));
  }
  void clear_rules() {
    std::lock_guard<std::mutex> l(mu_);
    rules_.clear();
    pending_.clear();
  }
  void send(std::string bytes, unsigned delay_ms) {
    {
      std::lock_guard<std::mutex> l(mu_);
      pending_.push_back({now_us() + delay_ms * 1000ULL, std::move(bytes)});
    }
    kick();
  }

 private:
  static std::uint64_t now_us() { return monotonic_ns() / 1000; }
  void kick() {
    std::uint64_t one = 1;
    (void)!real().write(wake_, &one, sizeof one);
  }

  void loop() {
    std::vector<char> buf(4096);
    for (;;) {
      int timeout = 1000;
      {
        std::lock_guard<std::mutex> l(mu_);
        std::uint64_t now = now_us();
        for (auto &p : pending_) {
          int ms = p.due_us <= now ? 0 : static_cast<int>((p.due_us - now + 999) / 1000);
          timeout = std::min(timeout, ms);
        }
      }
      pollfd fds[2] = {{master_, POLLIN, 0}, {wake_, POLLIN, 0}};
      int n = poll(fds, 2, timeout);
      if (n < 0 && errno != EINTR) return;
      if (n > 0 && (fds[1].revents & POLLIN)) {
        std::uint64_t v;
        (void)!real().read(wake_, &v, sizeof v);
      }
      try {
        if (n > 0 && (fds[0].revents & POLLIN)) {
          ssize_t got = real().read(master_, buf.data(), buf.size());
          if (got > 0) received(std::string(buf.data(), static_cast<size_t>(got)));
        }
        flush_due();
      } catch (const std::exception &e) {
        std::string msg = std::string("tarsa-sim: serial model ") + node_ + ": " + e.what() + "\n";
        (void)!real().write(2, msg.data(), msg.size());
      }
    }
  }

  void received(std::string bytes) {
    {
      Guard g;
      Rec(node_, "tx").hex("data", {reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()})
          .emit(static_cast<long long>(bytes.size()), 0);
    }
    std::lock_guard<std::mutex> l(mu_);
    input_ += bytes;
    for (bool matched = true; matched;) {
      matched = false;
      // The earliest match in the input wins; it and everything before it are consumed.
      std::size_t best = std::string::npos;
      Rule *hit = nullptr;
      for (auto &r : rules_) {
        if (r.used || r.expect.empty()) continue;
        std::size_t at = input_.find(r.expect);
        if (at != std::string::npos && (best == std::string::npos || at < best)) {
          best = at;
          hit = &r;
        }
      }
      if (hit) {
        input_.erase(0, best + hit->expect.size());
        pending_.push_back({now_us() + hit->delay_ms * 1000ULL, hit->reply});
        if (hit->once) hit->used = true;
        matched = true;
      }
    }
    if (input_.size() > 4096) input_.erase(0, input_.size() - 4096);
  }

  void flush_due() {
    std::vector<std::string> due;
    {
      std::lock_guard<std::mutex> l(mu_);
      std::uint64_t now = now_us();
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->due_us <= now) {
          due.push_back(std::move(it->bytes));
          it = pending_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto &d : due) {
      // Recorded before the bytes go out, so a program that has read them finds the record.
      {
        Guard g;
        Rec(node_, "rx").hex("data", {reinterpret_cast<const std::uint8_t *>(d.data()), d.size()})
            .emit(static_cast<long long>(d.size()), 0);
      }
      std::size_t off = 0;
      // A program that never reads fills the line; after 2 s the rest is lost, as in an overrun.
      for (int stalls = 0; off < d.size() && stalls < 20;) {
        ssize_t w = real().write(master_, d.data() + off, d.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno == EAGAIN) {
          pollfd p{master_, POLLOUT, 0};
          if (poll(&p, 1, 100) == 0) ++stalls;
          continue;
        }
        if (w <= 0) break;
        off += static_cast<std::size_t>(w);
      }
    }
  }

  std::string node_;
  std::string slave_path_;
  int master_ = -1, keep_ = -1, wake_ = -1;
  std::mutex mu_;
  std::vector<Rule> rules_;
  std::deque<Pending> pending_;
  std::string input_;
};

// Ports of this process by node path; never freed (their threads outlive static destructors).
std::map<std::string, SerialPort *> &ports() {
  static auto *m = new std::map<std::string, SerialPort *>;
  return *m;
}

// Rules given before the node was opened wait here.
std::map<std::string, std::vector<Rule>> &early_rules() {
  static auto *m = new std::map<std::string, std::vector<Rule>>;
  return *m;
}

std::vector<Rule> scenario_rules(const std::string &node) {
  std::vector<Rule> out;
  const toml::table *s = rt().board().table("serial");
  if (!s) return out;
  auto *list = (*s)["script"].as_array();
  if (!list) return out;
  for (auto &e : *list) {
    const auto &t = scenario::as_table(e, "serial.script");
    if (scenario::get_string(t, "node", "/dev/ttyO0") != node) continue;
    Rule r;
    r.expect = scenario::get_string(t, "expect", "", true);
    r.reply = scenario::get_string(t, "reply", "");
    r.delay_ms = static_cast<unsigned>(scenario::get_int(t, "delay_ms", 0, 0, 600000));
    r.once = scenario::get_bool(t, "once", false);
    out.push_back(std::move(r));
  }
  return out;
}

SerialPort *port_for(const std::string &node, int *err) {
  auto &m = ports();
  if (auto it = m.find(node); it != m.end()) return it->second;
  auto *p = new SerialPort(node);
  if ((*err = p->start()) != 0) {
    delete p;
    return nullptr;
  }
  for (auto &r : scenario_rules(node)) p->add_rule(r);
  for (auto &r : early_rules()[node]) p->add_rule(r);
  early_rules().erase(node);
  m[node] = p;
  return p;
}

}  // namespace

int serial_open(const std::string &node, int flags) {
  int err = 0;
  SerialPort *p = port_for(node, &err);
  if (!p) {
    errno = err;
    return -1;
  }
  return real().open(p->slave_path().c_str(), flags);
}

void serial_reset_scripts() {
  early_rules().clear();
  for (auto &[node, p] : ports()) {
    p->clear_rules();
    for (auto &r : scenario_rules(node)) p->add_rule(r);
  }
}

}  // namespace tsim

using namespace tsim;

extern "C" TARSA_SIM_API int tarsa_sim_serial_script(const char *node, const char *expect, const void *reply,
                                                      size_t reply_len, unsigned delay_ms, int once) {
  if (!node || !expect || !*expect || (!reply && reply_len)) return -1;
  Guard g;
  Rule r;
  r.expect = expect;
  r.reply.assign(static_cast<const char *>(reply), reply_len);
  r.delay_ms = delay_ms;
  r.once = once != 0;
  if (auto it = ports().find(node); it != ports().end()) it->second->add_rule(std::move(r));
  else early_rules()[node].push_back(std::move(r));
  return 0;
}

extern "C" TARSA_SIM_API int tarsa_sim_serial_send(const char *node, const void *data, size_t len, unsigned delay_ms) {
  if (!node || (!data && len)) return -1;
  Guard g;
  auto it = ports().find(node);
  if (it == ports().end()) return -1;
  it->second->send(std::string(static_cast<const char *>(data), len), delay_ms);
  return 0;
}

extern "C" TARSA_SIM_API void tarsa_sim_serial_clear(const char *node) {
  Guard g;
  if (!node) return;
  early_rules().erase(node);
  if (auto it = ports().find(node); it != ports().end()) it->second->clear_rules();
}
