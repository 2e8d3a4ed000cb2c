// teleop-host: the operator's console for teleop. Receives the robot's sensor messages on port
// 3000, shows them live, answers each with the current velocity command, and can log, plot and
// play a timed script.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "options.h"
#include "program_usage.h"
#include "script.h"
#include "sensor_message.h"
#include "track.h"
#include "view.h"

namespace {

// How much one key press changes V (mm/s) and W (rad/s).
constexpr double kVStep = 20, kWStep = 0.1;

volatile sig_atomic_t gStop = 0;
void on_stop(int) {
  gStop = 1;
}

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Heading in degrees, -180 to 180.
double degrees(double radians) {
  return std::remainder(radians, 2 * M_PI) * 180 / M_PI;
}

// Keyboard in raw mode while the console runs; restored on every way out.
class RawKeyboard {
 public:
  RawKeyboard() {
    if (!isatty(0) || tcgetattr(0, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(0, TCSANOW, &raw) == 0;
  }
  ~RawKeyboard() {
    if (active_) tcsetattr(0, TCSANOW, &saved_);
  }
  bool active() const { return active_; }

 private:
  termios saved_{};
  bool active_ = false;
};

class Console {
 public:
  explicit Console(const Options &o) : opt_(o), track_(o.mm_per_count, o.wheel_base) {}

  bool start();
  int run();

 private:
  void on_message(const std::string &text, const sockaddr_in *from);
  void on_restart(const SensorMessage &m);
  void on_key(char c);
  void advance_script(double now);
  void draw(double now);
  bool write_plot();
  void summary();
  bool accept_tcp();

  const Options &opt_;
  int sock_ = -1, listen_ = -1;
  bool stream_ = false;
  MessageSplitter splitter_;
  std::vector<ScriptEntry> script_;
  std::size_t next_entry_ = 0;
  double W_ = 0, V_ = 0;
  SensorMessage last_{};
  Track track_;
  unsigned long malformed_ = 0;
  double last_arrival_ = -1;
  std::ofstream log_;
  double script_start_ = -1;
  bool quit_ = false;
  double last_draw_ = 0;
  bool live_ = false;
  // The robot being driven: its address, and when it was last heard. Another sender's messages
  // are not answered, so that a command never reaches a robot it was not meant for.
  sockaddr_in robot_{};
  double robot_seen_ = -1;
  unsigned long others_ = 0;
};

bool Console::start() {
  if (!opt_.script.empty()) {
    std::ifstream in(opt_.script);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) {
      std::fprintf(stderr, "teleop-host: --script: cannot read %s: %s\n", opt_.script.c_str(),
                   std::strerror(errno));
      return false;
    }
    std::string error;
    if (!parse_script(text.str(), script_, error)) {
      std::fprintf(stderr, "teleop-host: --script: %s: %s\n", opt_.script.c_str(), error.c_str());
      return false;
    }
  }
  // The plot is written at the end; a file that cannot be written is found out now.
  for (const std::string *file : {&opt_.log, &opt_.plot}) {
    if (file->empty()) continue;
    errno = 0;
    std::ofstream out(*file);
    if (!out) {
      std::fprintf(stderr, "teleop-host: %s: cannot write %s: %s\n",
                   file == &opt_.log ? "--log" : "--plot", file->c_str(),
                   std::strerror(errno ? errno : EIO));
      return false;
    }
  }
  if (!opt_.log.empty()) {
    log_.open(opt_.log);
    log_ << "arrival_s";
    for (const char *tag : kSensorTags) log_ << ',' << tag;
    log_ << ",W,V,x_mm,y_mm,heading_deg\n";
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(opt_.port));
  const std::string &host = opt_.tcp_connect.empty() ? opt_.bind : opt_.tcp_connect;
  inet_pton(AF_INET, host.c_str(), &addr.sin_addr);  // checked with the options
  int one = 1;
  if (!opt_.tcp_connect.empty()) {
    stream_ = true;
    sock_ = socket(AF_INET, SOCK_STREAM, 0);
    if (sock_ < 0 || connect(sock_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
      std::fprintf(stderr, "teleop-host: cannot reach %s:%d: %s\n", host.c_str(), opt_.port,
                   std::strerror(errno));
      return false;
    }
  } else if (opt_.tcp_server) {
    stream_ = true;
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 ||
        listen(listen_, 1) < 0) {
      std::fprintf(stderr, "teleop-host: cannot listen on TCP port %d: %s\n", opt_.port,
                   std::strerror(errno));
      return false;
    }
  } else {
    sock_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock_ < 0 || bind(sock_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
      std::fprintf(stderr, "teleop-host: cannot listen on UDP port %d: %s\n", opt_.port,
                   std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool Console::accept_tcp() {
  sock_ = accept(listen_, nullptr, nullptr);
  return sock_ >= 0;
}

void Console::on_message(const std::string &text, const sockaddr_in *from) {
  SensorMessage m;
  if (!parse_sensor_message(text, m)) {
    ++malformed_;
    return;
  }
  double arrival = now_s();
  bool new_sender = false;
  if (from) {
    bool same =
        robot_.sin_addr.s_addr == from->sin_addr.s_addr && robot_.sin_port == from->sin_port;
    // A robot silent for a second has gone (or restarted on a new port): take the next one.
    if (!same && robot_seen_ >= 0 && arrival - robot_seen_ < 1.0) {
      ++others_;
      return;
    }
    new_sender = !same && robot_seen_ >= 0;
    robot_ = *from;
    robot_seen_ = arrival;
  }
  if (script_start_ < 0) script_start_ = arrival;
  last_arrival_ = arrival;
  last_ = m;
  if (track_.add(m, arrival, new_sender)) on_restart(m);

  // The answer carries the command in force now, after the script has caught up.
  advance_script(arrival);
  std::string cmd = format_command(W_, V_);
  if (stream_)
    send(sock_, cmd.data(), cmd.size(), MSG_NOSIGNAL);
  else
    sendto(sock_, cmd.data(), cmd.size(), 0, reinterpret_cast<const sockaddr *>(from),
           sizeof *from);

  if (log_) {
    const Odometry &pose = track_.pose();
    char row[1024];
    int n = std::snprintf(row, sizeof row, "%.6f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%d,%d,%d,%d",
                          arrival, m.t, m.ax, m.ay, m.az, m.gx, m.gy, m.gz, m.posL, m.posR, m.spdL,
                          m.spdR);
    log_.write(row, std::min<int>(n, sizeof row - 1));
    for (int v : m.us) log_ << ',' << v;
    for (int v : m.ir) log_ << ',' << v;
    std::snprintf(row, sizeof row, ",%.1f,%.1f,%.2f\n", pose.x(), pose.y(),
                  degrees(pose.heading()));
    log_ << ',' << W_ << ',' << V_ << row;
  }
}

// A restarted robot is a new session: it must not drive off at the command the operator gave
// the robot before it, so the command is 0 until a new one is given.
void Console::on_restart(const SensorMessage &m) {
  W_ = V_ = 0;
  if (!live_) {
    std::printf("teleop-host: the robot restarted (robot time %.2f s): command 0 until a new one\n",
                m.t);
    std::fflush(stdout);
  }
}

void Console::advance_script(double now) {
  if (script_start_ < 0) return;
  while (next_entry_ < script_.size() && script_[next_entry_].at <= now - script_start_) {
    const ScriptEntry &e = script_[next_entry_++];
    if (e.quit)
      quit_ = true;
    else
      W_ = e.W, V_ = e.V;
  }
}

void Console::on_key(char c) {
  static int escape = 0;  // position inside an arrow key's ESC [ X sequence
  if (escape == 1) {
    escape = c == '[' ? 2 : 0;
    return;
  }
  if (escape == 2) {
    escape = 0;
    c = c == 'A' ? 'w' : c == 'B' ? 's' : c == 'C' ? 'd' : c == 'D' ? 'a' : 0;
  }
  switch (c) {
    case 27:
      escape = 1;
      break;
    case 'w':
    case 'W':
      V_ += kVStep;
      break;
    case 's':
    case 'S':
      V_ -= kVStep;
      break;
    // A positive W drives the left wheel faster: the robot turns right.
    case 'd':
    case 'D':
      W_ += kWStep;
      break;
    case 'a':
    case 'A':
      W_ -= kWStep;
      break;
    case ' ':
      W_ = V_ = 0;
      break;
    case 'q':
    case 'Q':
      quit_ = true;
      break;
    default:
      break;
  }
}

void Console::draw(double now) {
  const Odometry &pose = track_.pose();
  ViewData d;
  d.transport = stream_ ? "TCP" : "UDP";
  d.port = opt_.port;
  d.received = track_.received();
  d.malformed = malformed_ + splitter_.dropped();
  d.restarts = track_.sessions() > 0 ? track_.sessions() - 1 : 0;
  d.since_last = last_arrival_ < 0 ? -1 : now - last_arrival_;
  d.last = last_;
  d.x = pose.x(), d.y = pose.y(), d.heading_deg = degrees(pose.heading()),
  d.distance = pose.distance();
  d.W = W_, d.V = V_;
  std::fputs(render_view(d).c_str(), stdout);
  std::fflush(stdout);
}

bool Console::write_plot() {
  std::ofstream svg(opt_.plot);
  svg << path_svg(track_.path());
  svg.close();
  if (svg) return true;
  std::fprintf(stderr, "teleop-host: --plot: cannot write %s\n", opt_.plot.c_str());
  return false;
}

void Console::summary() {
  const Odometry &pose = track_.pose();
  std::printf("messages received: %lu (malformed: %lu)\n", track_.received(),
              malformed_ + splitter_.dropped());
  if (others_) std::printf("messages from other robots, not answered: %lu\n", others_);
  if (track_.sessions() > 1) std::printf("robot restarts: %u\n", track_.sessions() - 1);
  std::printf("rate: %.2f per second over %.2f s of robot time\n", track_.rate(),
              track_.robot_time());
  if (track_.intervals() > 0) {
    Track::Spread r = track_.robot_intervals(), a = track_.arrival_intervals();
    std::printf(
        "interval: robot clock %.2f ms (sd %.2f ms), arrival %.2f ms (sd %.2f ms, max %.2f ms)\n",
        1e3 * r.mean, 1e3 * r.sd, 1e3 * a.mean, 1e3 * a.sd, 1e3 * a.max);
  }
  std::printf("distance driven: %.1f mm\n", pose.distance());
  std::printf("final pose: x %.1f mm, y %.1f mm, heading %.1f deg\n", pose.x(), pose.y(),
              degrees(pose.heading()));
  if (!opt_.plot.empty()) std::printf("path plot: %s\n", opt_.plot.c_str());
  if (!opt_.log.empty()) std::printf("log: %s\n", opt_.log.c_str());
}

int Console::run() {
  RawKeyboard keys;
  live_ = !opt_.quiet && isatty(1);
  if (!live_) {
    std::printf("teleop-host: listening on %s port %d\n", stream_ ? "TCP" : "UDP", opt_.port);
    std::fflush(stdout);
  }
  double last_seen = now_s();
  int status = 0;
  while (!quit_ && !gStop) {
    pollfd fds[2] = {{sock_ >= 0 ? sock_ : listen_, POLLIN, 0},
                     {keys.active() ? 0 : -1, POLLIN, 0}};
    int r = poll(fds, 2, 20);
    double now = now_s();
    if (r < 0 && errno != EINTR) break;
    if (r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      if (sock_ < 0) {
        if (!accept_tcp()) break;
      } else if (stream_) {
        char buf[4096];
        ssize_t n = read(sock_, buf, sizeof buf);
        if (n <= 0) break;  // the robot hung up
        splitter_.feed(std::string_view(buf, std::size_t(n)));
        for (std::string msg; splitter_.next(msg);) on_message(msg, nullptr), last_seen = now;
      } else {
        char buf[8192];
        sockaddr_in from{};
        socklen_t fromlen = sizeof from;
        ssize_t n =
            recvfrom(sock_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (n >= 0) on_message(std::string(buf, std::size_t(n)), &from), last_seen = now;
      }
    }
    if (r > 0 && (fds[1].revents & POLLIN)) {
      char c;
      while (read(0, &c, 1) == 1) on_key(c);
    }
    advance_script(now);
    if (live_ && now - last_draw_ > 0.1) draw(now), last_draw_ = now;
    if (opt_.idle_timeout > 0 && now - last_seen > opt_.idle_timeout) {
      std::fprintf(stderr, "teleop-host: no message for %.0f s, giving up\n", opt_.idle_timeout);
      status = 2;
      break;
    }
  }
  if (live_) std::printf("\x1b[H\x1b[2J");
  if (!opt_.plot.empty() && !write_plot() && status == 0) status = 1;
  summary();
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  std::string error;
  if (!parse_options(argc, argv, opt, error)) {
    std::fprintf(stderr, "teleop-host: %s\n(teleop-host --help lists the options)\n",
                 error.c_str());
    return 1;
  }
  if (opt.help) {
    std::fputs(program_usage, stdout);
    return 0;
  }
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  Console console(opt);
  if (!console.start()) return 1;
  return console.run();
}
