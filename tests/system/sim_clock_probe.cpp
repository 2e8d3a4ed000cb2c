// Reads every clock, makes one wait of each kind of 400 ms, reads the clocks again and prints
// what each clock saw pass and how long each wait took, then how far a datagram's receive stamp
// lies behind the realtime clock, in nanoseconds: "name ns" lines.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr std::int64_t kWaitNs = 400'000'000;

std::int64_t read(clockid_t id) {
  timespec t{};
  clock_gettime(id, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::vector<std::pair<const char *, std::function<std::int64_t()>>> clocks() {
  return {
      {"realtime", [] { return read(CLOCK_REALTIME); }},
      {"monotonic", [] { return read(CLOCK_MONOTONIC); }},
      {"boottime", [] { return read(CLOCK_BOOTTIME); }},
      {"monotonic_raw", [] { return read(CLOCK_MONOTONIC_RAW); }},
      {"realtime_coarse", [] { return read(CLOCK_REALTIME_COARSE); }},
      {"monotonic_coarse", [] { return read(CLOCK_MONOTONIC_COARSE); }},
      {"gettimeofday",
       [] {
         timeval tv{};
         gettimeofday(&tv, nullptr);
         return static_cast<std::int64_t>(tv.tv_sec) * 1'000'000'000 + tv.tv_usec * 1000;
       }},
      {"time", [] { return static_cast<std::int64_t>(time(nullptr)) * 1'000'000'000; }},
      {"steady_clock",
       [] {
         return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
       }},
      {"system_clock",
       [] {
         return std::chrono::system_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
       }},
  };
}

timespec rel() {
  return {0, static_cast<long>(kWaitNs)};
}

std::vector<std::pair<const char *, std::function<void()>>> waits() {
  return {
      {"nanosleep",
       [] {
         const timespec t = rel();
         nanosleep(&t, nullptr);
       }},
      {"clock_nanosleep",
       [] {
         const timespec t = rel();
         clock_nanosleep(CLOCK_MONOTONIC, 0, &t, nullptr);
       }},
      {"clock_nanosleep_abs",
       [] {
         const std::int64_t at = read(CLOCK_MONOTONIC) + kWaitNs;
         const timespec t{static_cast<time_t>(at / 1'000'000'000),
                          static_cast<long>(at % 1'000'000'000)};
         clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
       }},
      {"usleep", [] { usleep(kWaitNs / 1000); }},
      {"poll", [] { poll(nullptr, 0, kWaitNs / 1'000'000); }},
      {"select",
       [] {
         timeval tv{0, kWaitNs / 1000};
         select(0, nullptr, nullptr, nullptr, &tv);
       }},
      {"epoll_wait",
       [] {
         const int ep = epoll_create1(EPOLL_CLOEXEC);
         epoll_event ev{};
         epoll_wait(ep, &ev, 1, kWaitNs / 1'000'000);
         close(ep);
       }},
      {"pthread_cond_timedwait",
       [] {
         pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
         pthread_cond_t c = PTHREAD_COND_INITIALIZER;
         const std::int64_t at = read(CLOCK_REALTIME) + kWaitNs;
         const timespec t{static_cast<time_t>(at / 1'000'000'000),
                          static_cast<long>(at % 1'000'000'000)};
         pthread_mutex_lock(&m);
         while (pthread_cond_timedwait(&c, &m, &t) == 0) {
         }
         pthread_mutex_unlock(&m);
       }},
      {"condition_variable",
       [] {
         std::mutex m;
         std::condition_variable c;
         std::unique_lock<std::mutex> lock(m);
         c.wait_for(lock, std::chrono::nanoseconds(kWaitNs), [] { return false; });
       }},
      {"sem_timedwait",
       [] {
         sem_t s;
         sem_init(&s, 0, 0);
         const std::int64_t at = read(CLOCK_REALTIME) + kWaitNs;
         const timespec t{static_cast<time_t>(at / 1'000'000'000),
                          static_cast<long>(at % 1'000'000'000)};
         sem_timedwait(&s, &t);
         sem_destroy(&s);
       }},
      {"timerfd",
       [] {
         const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
         itimerspec v{};
         v.it_value = rel();
         timerfd_settime(fd, 0, &v, nullptr);
         std::uint64_t n = 0;
         (void)!::read(fd, &n, sizeof n);
         close(fd);
       }},
      {"setitimer",
       [] {
         sigset_t set;
         sigemptyset(&set);
         sigaddset(&set, SIGALRM);
         sigprocmask(SIG_BLOCK, &set, nullptr);
         itimerval v{};
         v.it_value.tv_usec = kWaitNs / 1000;
         setitimer(ITIMER_REAL, &v, nullptr);
         int sig = 0;
         sigwait(&set, &sig);
       }},
      {"sleep_for", [] { std::this_thread::sleep_for(std::chrono::nanoseconds(kWaitNs)); }},
      {"serial_vtime",
       [] {
         const int fd = open("/dev/ttyO0", O_RDWR | O_NOCTTY | O_CLOEXEC);
         termios t{};
         tcgetattr(fd, &t);
         cfmakeraw(&t);
         t.c_cc[VMIN] = 0;
         t.c_cc[VTIME] = kWaitNs / 100'000'000;
         tcsetattr(fd, TCSANOW, &t);
         char c;
         (void)!::read(fd, &c, 1);
         close(fd);
       }},
  };
}

// A datagram to itself: its receive stamp (SO_TIMESTAMP) against the realtime clock after.
std::int64_t stamp_lag() {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  sendto(s, "x", 1, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
  char byte;
  alignas(cmsghdr) char control[128];
  iovec io{&byte, 1};
  msghdr m{};
  m.msg_iov = &io;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(s, &m, 0);
  const std::int64_t now = read(CLOCK_REALTIME);
  close(s);
  for (cmsghdr *h = got == 1 ? CMSG_FIRSTHDR(&m) : nullptr; h; h = CMSG_NXTHDR(&m, h)) {
    if (h->cmsg_level != SOL_SOCKET || h->cmsg_type != SO_TIMESTAMP) continue;
    timeval t{};
    std::memcpy(&t, CMSG_DATA(h), sizeof t);
    return now - (static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_usec * 1000);
  }
  return -1;
}

// An open of the board's bus, for the trace to stamp.
void mark() {
  const int fd = open("/dev/i2c-2", O_RDWR | O_CLOEXEC);
  if (fd >= 0) close(fd);
}

}  // namespace

int main() {
  const auto cs = clocks();
  std::vector<std::int64_t> before;
  for (const auto &c : cs) before.push_back(c.second());
  mark();
  for (const auto &[name, wait] : waits()) {
    const std::int64_t t0 = read(CLOCK_MONOTONIC);
    wait();
    std::printf("wait:%s %lld\n", name, static_cast<long long>(read(CLOCK_MONOTONIC) - t0));
  }
  mark();
  for (std::size_t i = 0; i < cs.size(); ++i)
    std::printf("clock:%s %lld\n", cs[i].first, static_cast<long long>(cs[i].second() - before[i]));
  std::printf("stamp:udp %lld\n", static_cast<long long>(stamp_lag()));
  return 0;
}
