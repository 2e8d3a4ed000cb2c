// teleop-host: the operator's console for teleop. Receives the robot's sensor messages on port
// 3000, shows them live, answers each with the current velocity command, and can log, plot and
// play a timed script.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
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

#include "script.h"
#include "sensor_message.h"

namespace {

volatile sig_atomic_t gStop = 0;
void on_stop(int) { gStop = 1; }

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Options {
  int port = 3000;
  std::string bind = "0.0.0.0";
  std::string script, log, plot;
  bool tcp_server = false;
  std::string tcp_connect;
  double mm_per_count = 0.678181;
  double wheel_base = 105.4;
  double idle_timeout = 0;  // seconds without a message before giving up; 0 = never
  double v_step = 20, w_step = 0.1;
  bool quiet = false;
};

void usage(FILE *to) {
  std::fputs(
      "usage: teleop-host [options]\n"
      "  --port N             port to serve (default 3000)\n"
      "  --bind ADDR          local address of the UDP socket (default 0.0.0.0)\n"
      "  --script FILE        play a timed command list (\"SECONDS W V\", \"SECONDS quit\") and end\n"
      "  --log FILE.csv       record every sensor message\n"
      "  --plot FILE.svg      write the robot's path from its wheel positions at the end\n"
      "  --tcp-server         serve a robot that calls over TCP instead of UDP\n"
      "  --tcp-connect ADDR   call a robot that waits for us over TCP\n"
      "  --mm-per-count X     wheel travel per encoder count (default 0.678181)\n"
      "  --wheel-base MM      distance between the wheels (default 105.4)\n"
      "  --idle-timeout S     end with status 2 when no message came for S seconds\n"
      "                       (default 10 with --script, otherwise never)\n"
      "  --quiet              no live screen\n"
      "keys: arrows or WASD change V and W, space stops, q quits\n",
      to);
}

bool parse_options(int argc, char **argv, Options &o) {
  enum { kPort = 1, kBind, kScript, kLog, kPlot, kTcpServer, kTcpConnect, kMm, kBase, kIdle, kQuiet, kHelp };
  static const option longopts[] = {
      {"port", required_argument, nullptr, kPort},         {"bind", required_argument, nullptr, kBind},
      {"script", required_argument, nullptr, kScript},     {"log", required_argument, nullptr, kLog},
      {"plot", required_argument, nullptr, kPlot},         {"tcp-server", no_argument, nullptr, kTcpServer},
      {"tcp-connect", required_argument, nullptr, kTcpConnect}, {"mm-per-count", required_argument, nullptr, kMm},
      {"wheel-base", required_argument, nullptr, kBase},   {"idle-timeout", required_argument, nullptr, kIdle},
      {"quiet", no_argument, nullptr, kQuiet},             {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0}};
  bool idle_given = false;
  int c;
  while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
    switch (c) {
      case kPort: o.port = std::atoi(optarg); break;
      case kBind: o.bind = optarg; break;
      case kScript: o.script = optarg; break;
      case kLog: o.log = optarg; break;
      case kPlot: o.plot = optarg; break;
      case kTcpServer: o.tcp_server = true; break;
      case kTcpConnect: o.tcp_connect = optarg; break;
      case kMm: o.mm_per_count = std::atof(optarg); break;
      case kBase: o.wheel_base = std::atof(optarg); break;
      case kIdle: o.idle_timeout = std::atof(optarg), idle_given = true; break;
      case kQuiet: o.quiet = true; break;
      case kHelp: usage(stdout); std::exit(0);
      default: return false;
    }
  }
  if (optind != argc || o.port <= 0 || o.port > 65535 || !(o.mm_per_count > 0) || !(o.wheel_base > 0)) return false;
  if (!idle_given && !o.script.empty()) o.idle_timeout = 10;
  return true;
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

struct Stats {
  unsigned long received = 0, malformed = 0;
  double first_t = 0, last_t = 0;
  double first_arrival = 0, last_arrival = 0;
  // Running sums of the intervals between messages (robot clock and arrival clock).
  double sum_dt = 0, sum_dt2 = 0, sum_da = 0, sum_da2 = 0, max_da = 0;
  unsigned long intervals = 0;

  void add(double t, double arrival) {
    if (received > 0) {
      double dt = t - last_t, da = arrival - last_arrival;
      sum_dt += dt, sum_dt2 += dt * dt, sum_da += da, sum_da2 += da * da;
      max_da = std::max(max_da, da);
      ++intervals;
    } else {
      first_t = t, first_arrival = arrival;
    }
    last_t = t, last_arrival = arrival;
    ++received;
  }
  static double sd(double s, double s2, unsigned long n) {
    if (n < 2) return 0;
    double m = s / n;
    return std::sqrt(std::max(0.0, s2 / n - m * m));
  }
};

class Console {
 public:
  explicit Console(const Options &o) : opt_(o), odo_(o.mm_per_count, o.wheel_base) {}

  bool start();
  int run();

 private:
  void on_message(const std::string &text, const sockaddr_in *from);
  void on_key(char c);
  void advance_script(double now);
  void draw();
  void write_plot();
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
  Odometry odo_;
  std::vector<std::pair<double, double>> path_;
  Stats stats_;
  std::ofstream log_;
  double script_start_ = -1;
  bool quit_ = false;
  double last_draw_ = 0;
  // The robot being driven: its address, and when it was last heard. Another sender's messages
  // are not answered, so that a command never reaches a robot it was not meant for.
  sockaddr_in robot_{};
  double robot_seen_ = -1;
  unsigned long others_ = 0;
  int us_max_ = 1, ir_max_ = 1;
};

bool Console::start() {
  if (!opt_.script.empty()) {
    std::ifstream in(opt_.script);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    if (!in || !parse_script(text.str(), script_, error)) {
      std::fprintf(stderr, "teleop-host: %s: %s\n", opt_.script.c_str(), in ? error.c_str() : std::strerror(errno));
      return false;
    }
  }
  if (!opt_.log.empty()) {
    log_.open(opt_.log);
    if (!log_) {
      std::fprintf(stderr, "teleop-host: cannot write %s\n", opt_.log.c_str());
      return false;
    }
    log_ << "arrival_s";
    for (const char *tag : kSensorTags) log_ << ',' << tag;
    log_ << ",W,V\n";
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(opt_.port));
  const std::string &host = opt_.tcp_connect.empty() ? opt_.bind : opt_.tcp_connect;
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    std::fprintf(stderr, "teleop-host: bad address %s\n", host.c_str());
    return false;
  }
  int one = 1;
  if (!opt_.tcp_connect.empty()) {
    stream_ = true;
    sock_ = socket(AF_INET, SOCK_STREAM, 0);
    if (sock_ < 0 || connect(sock_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
      std::fprintf(stderr, "teleop-host: cannot reach %s:%d: %s\n", host.c_str(), opt_.port, std::strerror(errno));
      return false;
    }
  } else if (opt_.tcp_server) {
    stream_ = true;
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 || listen(listen_, 1) < 0) {
      std::fprintf(stderr, "teleop-host: cannot listen on TCP port %d: %s\n", opt_.port, std::strerror(errno));
      return false;
    }
  } else {
    sock_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock_ < 0 || bind(sock_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
      std::fprintf(stderr, "teleop-host: cannot listen on UDP port %d: %s\n", opt_.port, std::strerror(errno));
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
    ++stats_.malformed;
    return;
  }
  double arrival = now_s();
  if (from) {
    bool same = robot_.sin_addr.s_addr == from->sin_addr.s_addr && robot_.sin_port == from->sin_port;
    // A robot silent for a second has gone (or restarted on a new port): take the next one.
    if (!same && robot_seen_ >= 0 && arrival - robot_seen_ < 1.0) {
      ++others_;
      return;
    }
    robot_ = *from;
    robot_seen_ = arrival;
  }
  if (script_start_ < 0) script_start_ = arrival;
  stats_.add(m.t, arrival);
  last_ = m;
  odo_.update(m.posL, m.posR);
  path_.emplace_back(odo_.x(), odo_.y());
  for (int v : m.us) us_max_ = std::max(us_max_, v);
  for (int v : m.ir) ir_max_ = std::max(ir_max_, v);

  // The answer carries the command in force now, after the script has caught up.
  advance_script(arrival);
  std::string cmd = format_command(W_, V_);
  if (stream_) send(sock_, cmd.data(), cmd.size(), MSG_NOSIGNAL);
  else sendto(sock_, cmd.data(), cmd.size(), 0, reinterpret_cast<const sockaddr *>(from), sizeof *from);

  if (log_) {
    char row[1024];
    int n = std::snprintf(row, sizeof row, "%.6f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%d,%d,%d,%d", arrival,
                          m.t, m.ax, m.ay, m.az, m.gx, m.gy, m.gz, m.posL, m.posR, m.spdL, m.spdR);
    log_.write(row, std::min<int>(n, sizeof row - 1));
    for (int v : m.us) log_ << ',' << v;
    for (int v : m.ir) log_ << ',' << v;
    log_ << ',' << W_ << ',' << V_ << '\n';
  }
}

void Console::advance_script(double now) {
  if (script_start_ < 0) return;
  while (next_entry_ < script_.size() && script_[next_entry_].at <= now - script_start_) {
    const ScriptEntry &e = script_[next_entry_++];
    if (e.quit) quit_ = true;
    else W_ = e.W, V_ = e.V;
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
    case 27: escape = 1; break;
    case 'w': case 'W': V_ += opt_.v_step; break;
    case 's': case 'S': V_ -= opt_.v_step; break;
    // A positive W drives the left wheel faster: the robot turns right.
    case 'd': case 'D': W_ += opt_.w_step; break;
    case 'a': case 'A': W_ -= opt_.w_step; break;
    case ' ': W_ = V_ = 0; break;
    case 'q': case 'Q': quit_ = true; break;
    default: break;
  }
}

// Heading in degrees, -180 to 180.
double degrees(double radians) { return std::remainder(radians, 2 * M_PI) * 180 / M_PI; }

std::string bar(int value, int max, int width) {
  int n = max > 0 ? int(std::lround(double(std::clamp(value, 0, max)) * width / max)) : 0;
  return std::string(std::size_t(n), '#') + std::string(std::size_t(width - n), '.');
}

void Console::draw() {
  const SensorMessage &m = last_;
  std::printf("\x1b[H\x1b[2J");
  std::printf("teleop-host  port %d  messages %lu  malformed %lu\r\n\r\n", opt_.port, stats_.received, stats_.malformed);
  std::printf("time %10.4f s\r\n", m.t);
  std::printf("acc   x %9.4f  y %9.4f  z %9.4f\r\n", m.ax, m.ay, m.az);
  std::printf("rate  x %9.4f  y %9.4f  z %9.4f\r\n", m.gx, m.gy, m.gz);
  std::printf("wheel position  L %9d  R %9d\r\n", m.posL, m.posR);
  std::printf("wheel speed     L %9d  R %9d\r\n", m.spdL, m.spdR);
  std::printf("pose  x %9.1f mm  y %9.1f mm  heading %7.1f deg  driven %9.1f mm\r\n\r\n", odo_.x(), odo_.y(),
              degrees(odo_.heading()), odo_.distance());
  for (int i = 0; i < 5; ++i) std::printf("US%c %6d %s\r\n", 'A' + i, m.us[i], bar(m.us[i], us_max_, 40).c_str());
  for (int i = 0; i < 12; ++i) std::printf("IR%c %6d %s\r\n", 'A' + i, m.ir[i], bar(m.ir[i], ir_max_, 40).c_str());
  std::printf("\r\ncommand  W %7.3f rad/s  V %8.1f mm/s   (arrows/WASD, space stops, q quits)\r\n", W_, V_);
  std::fflush(stdout);
}

void Console::write_plot() {
  std::ofstream svg(opt_.plot);
  double minx = 0, maxx = 0, miny = 0, maxy = 0;
  for (auto [x, y] : path_) minx = std::min(minx, x), maxx = std::max(maxx, x), miny = std::min(miny, y), maxy = std::max(maxy, y);
  const double size = 600, margin = 40;
  double span = std::max({maxx - minx, maxy - miny, 100.0});
  double k = (size - 2 * margin) / span;
  auto px = [&](double x) { return margin + (x - minx) * k; };
  auto py = [&](double y) { return size - margin - (y - miny) * k; };  // y grows upwards
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"600\" height=\"600\" viewBox=\"0 0 600 600\">\n"
      << "<rect width=\"600\" height=\"600\" fill=\"white\"/>\n"
      << "<text x=\"10\" y=\"20\" font-family=\"sans-serif\" font-size=\"14\">robot path from wheel positions, "
      << std::lround(span) << " mm across</text>\n<polyline fill=\"none\" stroke=\"blue\" stroke-width=\"2\" points=\"";
  for (auto [x, y] : path_) svg << px(x) << ',' << py(y) << ' ';
  svg << "\"/>\n<circle cx=\"" << px(0) << "\" cy=\"" << py(0) << "\" r=\"5\" fill=\"green\"/>\n";
  if (!path_.empty())
    svg << "<circle cx=\"" << px(path_.back().first) << "\" cy=\"" << py(path_.back().second)
        << "\" r=\"5\" fill=\"red\"/>\n";
  svg << "</svg>\n";
}

void Console::summary() {
  const Stats &s = stats_;
  double span = s.last_t - s.first_t;
  double rate = span > 0 ? s.intervals / span : 0;
  std::printf("messages received: %lu (malformed: %lu)\n", s.received, s.malformed + splitter_.dropped());
  if (others_) std::printf("messages from other robots, not answered: %lu\n", others_);
  std::printf("rate: %.2f per second over %.2f s of robot time\n", rate, span);
  if (s.intervals > 0)
    std::printf("interval: robot clock %.2f ms (sd %.2f ms), arrival %.2f ms (sd %.2f ms, max %.2f ms)\n",
                1e3 * s.sum_dt / s.intervals, 1e3 * Stats::sd(s.sum_dt, s.sum_dt2, s.intervals),
                1e3 * s.sum_da / s.intervals, 1e3 * Stats::sd(s.sum_da, s.sum_da2, s.intervals), 1e3 * s.max_da);
  std::printf("distance driven: %.1f mm\n", odo_.distance());
  std::printf("final pose: x %.1f mm, y %.1f mm, heading %.1f deg\n", odo_.x(), odo_.y(), degrees(odo_.heading()));
  if (!opt_.plot.empty()) std::printf("path plot: %s\n", opt_.plot.c_str());
  if (!opt_.log.empty()) std::printf("log: %s\n", opt_.log.c_str());
}

int Console::run() {
  RawKeyboard keys;
  const bool live = !opt_.quiet && isatty(1);
  if (!live) {
    std::printf("teleop-host: listening on %s port %d\n", stream_ ? "TCP" : "UDP", opt_.port);
    std::fflush(stdout);
  }
  double last_seen = now_s();
  int status = 0;
  while (!quit_ && !gStop) {
    pollfd fds[2] = {{sock_ >= 0 ? sock_ : listen_, POLLIN, 0}, {keys.active() ? 0 : -1, POLLIN, 0}};
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
        ssize_t n = recvfrom(sock_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (n >= 0) on_message(std::string(buf, std::size_t(n)), &from), last_seen = now;
      }
    }
    if (r > 0 && (fds[1].revents & POLLIN)) {
      char c;
      while (read(0, &c, 1) == 1) on_key(c);
    }
    advance_script(now);
    if (live && now - last_draw_ > 0.1) draw(), last_draw_ = now;
    if (opt_.idle_timeout > 0 && now - last_seen > opt_.idle_timeout) {
      std::fprintf(stderr, "teleop-host: no message for %.0f s, giving up\n", opt_.idle_timeout);
      status = 2;
      break;
    }
  }
  if (live) std::printf("\x1b[H\x1b[2J");
  if (!opt_.plot.empty()) write_plot();
  summary();
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  if (!parse_options(argc, argv, opt)) {
    usage(stderr);
    return 1;
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
