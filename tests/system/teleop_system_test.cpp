// teleop on the simulated robot, driven over UDP port 3000 by a host played by the test: the
// message stream, the wheel speed frames on the bus, holding and stopping, backlogs and text
// that is no command, refused senders, a missing or failing robot, and the stop on every signal
// that ends it. Port 3000: these tests run alone.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sensor_message.h"
#include "simtest.h"
#include "testutil.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRobotAddr = 0x1F;
// The host address these tests configure, one of their own per test process: other robot
// programs on this machine (other test runs included) never reach the test's host.
const std::string kHostIpText =
    "127.77." + std::to_string(getpid() % 250 + 1) + "." + std::to_string(getpid() / 250 % 250 + 1);
const char *const kHostIp = kHostIpText.c_str();

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

int udp_bound(const char *ip, int port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  EXPECT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << ip << ":" << port;
  return s;
}

// How a Robot's board and configuration differ from the standard ones.
struct RobotSetup {
  std::string scenario;          // scenario text for tarsa-sim; "" = the built-in board
  bool robot_configured = true;  // false: the configuration has no Tarsa4 class
  std::string teleop;            // more lines for the [teleop] table
  double speed = 1;              // the simulator's clock factor

  static RobotSetup board(std::string toml) {
    RobotSetup s;
    s.scenario = std::move(toml);
    return s;
  }
};

// teleop started under tarsa-sim with a pseudo-terminal as standard input.
class Robot {
 public:
  explicit Robot(const RobotSetup &setup = {}) {
    dir_ =
        testing::TempDir() + "teleop-" + std::to_string(getpid()) + "-" + std::to_string(++runs_);
    mkdir(dir_.c_str(), 0700);
    trace_ = dir_ + "/trace.jsonl";
    write_config(setup);
    std::string tty;
    master_ = testutil::open_pty(tty);
    slave_ = open(tty.c_str(), O_RDWR | O_NOCTTY);

    std::string launcher = TARSA_SIM_LAUNCHER, program = simtest::bin("teleop");
    std::vector<std::string> args = {launcher, "--trace", trace_, "--truth", dir_ + "/truth.jsonl"};
    if (!setup.scenario.empty()) {
      std::ofstream(dir_ + "/scenario.toml") << setup.scenario;
      args.insert(args.end(), {"--scenario", dir_ + "/scenario.toml"});
    }
    if (setup.speed != 1) args.insert(args.end(), {"--speed", std::to_string(setup.speed)});
    args.insert(args.end(), {"--", program});
    std::vector<std::string> env = {"TARSA_CONFIG=" + dir_ + "/tarsa.toml"};
    for (char **e = environ; *e; ++e)
      if (std::string(*e).rfind("TARSA_CONFIG=", 0) != 0) env.push_back(*e);
    pid_ = testutil::spawn(args, dir_ + "/out.txt", dir_ + "/err.txt", slave_, env);
    EXPECT_GT(pid_, 0);
  }
  ~Robot() {
    if (pid_ > 0) {
      // The program first: the launcher does not pass SIGKILL on.
      if (pid_t child = program_pid(); child != pid_) kill(child, SIGKILL);
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
    close(slave_);
  }

  // The process running teleop: the launcher itself, or its child when it forks.
  pid_t program_pid() const {
    std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                           "/children");
    pid_t child = 0;
    return children >> child ? child : pid_;
  }
  void signal(int sig) { kill(program_pid(), sig); }
  pid_t pid() const { return pid_; }

  // Exit status after at most `limit` seconds (-1 when still running).
  int wait(double limit) {
    int st = 0;
    if (!testutil::eventually([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, limit))
      return -1;
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }

  bool echo_on() const {
    termios t{};
    tcgetattr(slave_, &t);
    return (t.c_lflag & ECHO) && (t.c_lflag & ICANON);
  }

  // Every command frame written to the robot's microcontroller (a command byte and its data; the
  // lone command bytes of reads left out), in order, as hex text.
  std::vector<std::string> frames() const {
    std::vector<std::string> out;
    auto keep = [&](const std::string &data) {
      if (data.size() > 2) out.push_back(data);
    };
    for (const auto &r : simtest::read_trace(trace_)) {
      if (r.value("op", "") == "write" && r.value("addr", -1) == kRobotAddr &&
          r.value("ret", -1) >= 0)
        keep(r.value("data", ""));
      if (r.value("op", "") == "rdwr" && r.value("ret", -1) >= 0 && r.contains("msgs"))
        for (const auto &m : r["msgs"])
          if (m.value("addr", -1) == kRobotAddr && !(m.value("flags", 0) & 1))
            keep(m.value("data", ""));
    }
    return out;
  }
  // Speed frames the robot refused (the transfer failed), as hex text.
  std::vector<std::string> refused_speed_frames() const {
    std::vector<std::string> out;
    for (const auto &r : simtest::read_trace(trace_))
      if (r.value("op", "") == "write" && r.value("addr", -1) == kRobotAddr &&
          r.value("ret", 0) < 0 && r.value("data", "").rfind("18", 0) == 0)
        out.push_back(r.value("data", ""));
    return out;
  }
  // The true pose's lines (x in metres along the room).
  std::vector<nlohmann::json> truth() const {
    std::vector<nlohmann::json> out;
    std::ifstream in(dir_ + "/truth.jsonl");
    for (std::string line; std::getline(in, line);)
      if (auto j = nlohmann::json::parse(line, nullptr, false); j.is_object()) out.push_back(j);
    return out;
  }
  std::string output() const { return testutil::read_file(dir_ + "/out.txt"); }
  std::string errors() const { return testutil::read_file(dir_ + "/err.txt"); }
  const std::string &dir() const { return dir_; }

  // The standard board with the test's host address (and without the robot when asked).
  void write_config(const RobotSetup &setup) const {
    std::string text = testutil::read_file(std::string(TARSA_SOURCE_DIR) + "/tarsa.toml.sample");
    std::size_t at = text.find("udp_host = \"127.0.0.1\"");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 22, std::string("udp_host = \"") + kHostIp + "\"");
    text += setup.teleop;  // the sample ends with the [teleop] table
    if (!setup.robot_configured) {
      std::size_t from = text.find("[Tarsa4.devices]"), to = text.find("[Gripper.devices]");
      ASSERT_TRUE(from != std::string::npos && to != std::string::npos);
      text.erase(from, to - from);
    }
    std::ofstream(dir_ + "/tarsa.toml") << text;
  }

 private:
  static inline int runs_ = 0;
  std::string dir_, trace_;
  int master_ = -1, slave_ = -1;
  pid_t pid_ = -1;
};

struct Received {
  std::string text;
  double at;  // seconds since the host started
  sockaddr_in from;
};

// The operator's end, played by the test on the test's own address, port 3000 unless told.
class Host {
 public:
  explicit Host(int port = 3000) : sock_(udp_bound(kHostIp, port)), t0_(Clock::now()) {}
  ~Host() { close(sock_); }

  // Receives messages for `duration` seconds; `answer` gives the reply to each (none: no reply)
  // and the socket to send it from (-1: the host's own).
  void serve(double duration,
             const std::function<std::optional<std::string>(const Received &, int &from)> &answer) {
    auto start = Clock::now();
    while (seconds_since(start) < duration) {
      pollfd p{sock_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buf[8192];
      Received r{};
      socklen_t len = sizeof r.from;
      ssize_t n = recvfrom(sock_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&r.from), &len);
      if (n < 0) continue;
      r.text.assign(buf, std::size_t(n));
      r.at = seconds_since(t0_);
      got.push_back(r);
      int via = -1;
      if (auto reply = answer(r, via))
        sendto(via >= 0 ? via : sock_, reply->data(), reply->size(), 0,
               reinterpret_cast<sockaddr *>(&r.from), sizeof r.from);
    }
  }
  // Waits up to `limit` seconds for the first message.
  bool first(double limit) {
    serve_until([&] { return !got.empty(); }, limit);
    return !got.empty();
  }
  void serve_until(const std::function<bool()> &done, double limit) {
    auto start = Clock::now();
    while (!done() && seconds_since(start) < limit)
      serve(0.02, [](const Received &, int &) { return std::nullopt; });
  }
  // Sends every text in one call, so that they reach the robot together however busy this
  // machine is.
  void burst(const std::vector<std::string> &texts) {
    std::vector<iovec> iov(texts.size());
    std::vector<mmsghdr> msgs(texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
      iov[i] = {const_cast<char *>(texts[i].data()), texts[i].size()};
      msgs[i].msg_hdr.msg_name = &got.at(0).from;
      msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    EXPECT_EQ(sendmmsg(sock_, msgs.data(), unsigned(msgs.size()), 0), int(msgs.size()));
  }
  // Sends `text` to where the robot's messages come from.
  void send(const std::string &text) {
    sendto(sock_, text.data(), text.size(), 0, reinterpret_cast<const sockaddr *>(&got.at(0).from),
           sizeof(sockaddr_in));
  }
  // True when a datagram is waiting.
  bool pending() {
    pollfd p{sock_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }
  double now() const { return seconds_since(t0_); }

  std::vector<Received> got;

 private:
  int sock_;
  Clock::time_point t0_;
};

std::string speed_frame(int left, int right) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "18%02x%02x%02x%02x", left & 0xFF, (left >> 8) & 0xFF,
                right & 0xFF, (right >> 8) & 0xFF);
  return buf;
}

const std::vector<std::string> kStopFrames = {"1800000000", "1700", "02000000000000000000"};

// The frames after start-up: one speed frame per tick, then the stop sequence.
std::vector<std::string> tick_frames(const std::vector<std::string> &frames) {
  std::vector<std::string> out;
  for (const auto &f : frames)
    if (f.rfind("18", 0) == 0) out.push_back(f);
  return out;
}

void expect_stopped(const std::vector<std::string> &frames) {
  ASSERT_GE(frames.size(), 3u);
  std::vector<std::string> tail(frames.end() - 3, frames.end());
  EXPECT_EQ(tail, kStopFrames);
}

}  // namespace

TEST(TeleopSystem, StreamsAt20HzAndDrivesByTheLaw) {
  Host host;
  Robot robot;
  ASSERT_TRUE(host.first(10)) << robot.output();
  EXPECT_FALSE(robot.echo_on());  // the no-echo mode is in force while teleop runs

  // Commands in turn, each for 0.6 s: the frames that follow must be the law's wheel speeds.
  const std::vector<std::pair<std::string, std::string>> plan = {
      {"0x100", speed_frame(147, 147)},
      {"0.5x50", speed_frame(112, 34)},
      {"-1x20", speed_frame(-48, 107)},
      {"0x1e300", speed_frame(32767, 32767)},
      {"-infx0", speed_frame(-32768, 32767)},
      {"nanx5", speed_frame(0, 0)},
      {"x0x-100x", speed_frame(-147, -147)},
      {"0.5", speed_frame(-108, -186)}};  // W only: V stays -100
  for (const auto &[cmd, frame] : plan)
    host.serve(0.6, [&](const Received &, int &) { return std::optional<std::string>(cmd); });
  robot.signal(SIGINT);
  ASSERT_EQ(robot.wait(5), 0);
  EXPECT_TRUE(robot.echo_on());

  // Start-up frames, then one speed frame per tick.
  auto frames = robot.frames();
  ASSERT_GE(frames.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(frames.begin(), frames.begin() + 4),
            (std::vector<std::string>{"0e64001401", "142003", "1702", "1600"}));
  expect_stopped(frames);
  auto ticks = tick_frames(frames);
  for (const auto &[cmd, frame] : plan)
    EXPECT_NE(std::find(ticks.begin(), ticks.end(), frame), ticks.end()) << cmd << " -> " << frame;
  // Nothing else was commanded (the zeros of the first tick and of the stop included).
  for (const auto &f : ticks) {
    bool known = f == speed_frame(0, 0);
    for (const auto &[cmd, frame] : plan) known |= f == frame;
    EXPECT_TRUE(known) << f;
  }

  // Rate and jitter on the robot's clock (the T field), and its odometry.
  std::vector<SensorMessage> msgs;
  for (const auto &r : host.got) {
    SensorMessage m;
    ASSERT_TRUE(parse_sensor_message(r.text, m)) << r.text;
    msgs.push_back(m);
  }
  ASSERT_GT(msgs.size(), 60u);
  double span = msgs.back().t - msgs.front().t;
  double rate = (msgs.size() - 1) / span;
  double sum = 0, sum2 = 0;
  for (std::size_t i = 1; i < msgs.size(); ++i) {
    double dt = msgs[i].t - msgs[i - 1].t;
    sum += dt, sum2 += dt * dt;
  }
  double mean = sum / (msgs.size() - 1), sd = std::sqrt(sum2 / (msgs.size() - 1) - mean * mean);
  std::printf("measured: %zu messages over %.3f s: %.2f per second, interval %.2f ms, sd %.2f ms\n",
              msgs.size(), span, rate, 1e3 * mean, 1e3 * sd);
  EXPECT_GT(rate, 18.0);
  EXPECT_LT(rate, 20.2);
  // The first tick runs at once: well inside its window (an emulated board takes a few hundred
  // microseconds to get there; a tick held back for its period would read 0.05).
  EXPECT_LT(msgs.front().t, 0.005);

  // While 0x100 was in force (the first 0.6 s) both wheels counted 147 per second.
  const SensorMessage *settled = nullptr, *later = nullptr;
  for (const auto &m : msgs) {
    if (!settled && m.t > 0.2) settled = &m;
    if (m.t < 0.55) later = &m;
  }
  ASSERT_TRUE(settled && later && later->t > settled->t);
  double counted = later->posL - settled->posL, expect = 147 * (later->t - settled->t);
  EXPECT_NEAR(counted, expect, 0.2 * expect + 5);
  EXPECT_EQ(later->spdL, 147);
  EXPECT_EQ(later->spdR, 147);
}

// On a clock FACTOR times as fast, teleop keeps 20 ticks a second of its own time: 20 x FACTOR
// messages a wall second, stamped 50 ms apart, and drives by the same law.
TEST(TeleopSystem, KeepsItsRateOnAFasterClock) {
  const double factor = TARSA_TEST_SPEED;
  RobotSetup setup;
  setup.speed = factor;
  Host host;
  Robot robot(setup);
  ASSERT_TRUE(host.first(10)) << robot.output();
  host.got.clear();
  host.serve(1.0, [](const Received &, int &) { return std::optional<std::string>("0x100"); });
  const double per_wall_second = double(host.got.size());
  EXPECT_GT(per_wall_second, 20 * factor * 0.7);
  EXPECT_LT(per_wall_second, 20 * factor * 1.3);
  std::vector<double> steps;
  SensorMessage prev{}, m{};
  for (std::size_t i = 0; i < host.got.size(); ++i) {
    ASSERT_TRUE(parse_sensor_message(host.got[i].text, m)) << host.got[i].text;
    if (i > 0) steps.push_back(m.t - prev.t);
    prev = m;
  }
  ASSERT_GT(steps.size(), 10u);
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  EXPECT_NEAR(steps[steps.size() / 2], 0.05, 0.002);
  robot.signal(SIGTERM);
  EXPECT_EQ(robot.wait(10), 0);
  const auto ticks = tick_frames(robot.frames());
  EXPECT_NE(std::find(ticks.begin(), ticks.end(), speed_frame(147, 147)), ticks.end());
  expect_stopped(robot.frames());
}

TEST(TeleopSystem, HoldsThenStopsAndRefusesStrangers) {
  Host host;
  Robot robot;
  ASSERT_TRUE(host.first(10)) << robot.output();
  int stranger = udp_bound("127.0.0.5", 0);

  // A stranger's commands change nothing.
  host.serve(0.5, [&](const Received &, int &via) {
    via = stranger;
    return std::optional<std::string>("1x300");
  });
  // The host drives, then falls silent for 1.5 s, then drives again.
  host.serve(0.5, [](const Received &, int &) { return std::optional<std::string>("0x100"); });
  std::size_t last_answered = host.got.size();
  host.serve(1.5, [](const Received &, int &) { return std::nullopt; });
  host.serve(0.5, [](const Received &, int &) { return std::optional<std::string>("0x-50"); });
  robot.signal(SIGTERM);
  ASSERT_EQ(robot.wait(5), 0);
  close(stranger);

  auto frames = robot.frames();
  expect_stopped(frames);
  auto ticks = tick_frames(frames);
  const std::string drive = speed_frame(147, 147), stop = speed_frame(0, 0),
                    back = speed_frame(-73, -73);
  // Tick i answers message i: strangers' ticks stand still, then drive, hold, stop, drive again.
  std::size_t i = 0;
  while (i < ticks.size() && ticks[i] == stop) ++i;
  EXPECT_GT(i, 5u) << "stranger's commands must not drive";
  std::size_t first_drive = i;
  while (i < ticks.size() && ticks[i] == drive) ++i;
  std::size_t held = i - last_answered;
  EXPECT_GE(i, last_answered);
  EXPECT_GE(held, 7u);  // 500 ms of holding at a little over 50 ms a tick
  EXPECT_LE(held, 10u);
  EXPECT_GT(last_answered, first_drive);
  std::size_t stopped = i;
  while (i < ticks.size() && ticks[i] == stop) ++i;
  EXPECT_GT(i - stopped, 10u);
  std::size_t again = i;
  while (i < ticks.size() && ticks[i] == back) ++i;
  EXPECT_GT(i - again, 3u);
  EXPECT_EQ(i, ticks.size() - 1) << "then only the stop";
}

TEST(TeleopSystem, EverySignalThatEndsItStopsTheRobotFirst) {
  // SIGHUP is what teleop gets when the operator's remote shell drops; a second signal may come
  // before the first one's stop has run.
  const std::vector<std::vector<int>> kinds = {
      {SIGINT}, {SIGTERM}, {SIGHUP}, {SIGQUIT}, {SIGINT, SIGHUP}};
  std::mt19937 rng(20261208);
  for (int run = 0; run < 10; ++run) {
    const std::vector<int> &sigs = kinds[std::size_t(run) % kinds.size()];
    const bool via_launcher = run >= 5;
    const double delay = std::uniform_real_distribution<double>(0.0, 0.8)(rng);
    SCOPED_TRACE("run " + std::to_string(run) + ": signal " + std::to_string(sigs[0]) +
                 (sigs.size() > 1 ? "+" : "") + (via_launcher ? " through the launcher" : "") +
                 " after " + std::to_string(delay) + " s");
    Host host;
    Robot robot;
    ASSERT_TRUE(host.first(10)) << robot.output();
    // Some runs answer (the signal lands anywhere in a tick), some let every receive time out
    // (the signal mostly lands in the 50 ms wait).
    bool answer = run % 3 != 2;
    host.serve(delay, [&](const Received &, int &) {
      return answer ? std::optional<std::string>("0.2x80") : std::nullopt;
    });
    auto t0 = Clock::now();
    for (int sig : sigs) via_launcher ? (void)kill(robot.pid(), sig) : robot.signal(sig);
    ASSERT_EQ(robot.wait(5), 0);
    EXPECT_LT(seconds_since(t0), 1.0);
    EXPECT_TRUE(robot.echo_on());
    auto frames = robot.frames();
    expect_stopped(frames);
    // Every frame before the stop is whole: a start-up frame or a speed frame.
    for (std::size_t f = 0; f + 3 < frames.size(); ++f)
      EXPECT_TRUE(frames[f].size() == 10 || f < 4) << frames[f];
  }
}

// Tick i answers message i: the first tick from `from` whose frame stops the wheels, and when it
// ran on the host's clock (its frame follows the message by the receive's 50 ms wait).
std::pair<std::size_t, double> first_stop(const Host &host, const std::vector<std::string> &ticks,
                                          std::size_t from) {
  for (std::size_t i = from; i < ticks.size() && i < host.got.size(); ++i)
    if (ticks[i] == speed_frame(0, 0)) return {i, host.got[i].at + 0.05};
  return {ticks.size(), 1e9};
}

TEST(TeleopSystem, BacklogsAreNeverReplayedAndTextIsNoCommand) {
  Host host;
  Robot robot;
  ASSERT_TRUE(host.first(10)) << robot.output();
  const std::string drive = speed_frame(147, 147);

  // Driving, then text without a number in answer to every message: it holds nothing.
  double last_real = 0;
  std::size_t text_from = 0;
  host.serve(0.5, [&](const Received &r, int &) {
    last_real = r.at, text_from = host.got.size();
    return std::optional<std::string>("0x100");
  });
  std::mt19937 rng(7);
  host.serve(1.0, [&](const Received &, int &) {
    std::string junk(std::size_t(1 + rng() % 40), '\0');
    for (char &c : junk) c = char(0x80 + rng() % 0x80);  // never a digit, sign, point or 'x'
    return std::optional<std::string>(rng() % 2 ? "hello" : junk);
  });

  // 200 commands at once in answer to one message, then silence.
  std::size_t burst_at = host.got.size();
  double burst_sent = 0;
  host.serve_until([&] { return host.got.size() > burst_at; }, 1.0);
  std::vector<std::string> burst;
  for (int v = 1; v <= 200; ++v) burst.push_back("0x" + std::to_string(v));
  host.burst(burst);
  burst_sent = host.now();
  host.serve(1.0, [](const Received &, int &) { return std::nullopt; });

  // A host that sends 100 commands a second, whatever the robot sends.
  std::size_t fast_from = host.got.size();
  std::vector<double> sent_at;  // command k (V = 300 + k) was sent at sent_at[k]
  while (sent_at.size() < 150) {
    host.send("0x" + std::to_string(300 + sent_at.size()));
    sent_at.push_back(host.now());
    host.serve(0.01, [](const Received &, int &) { return std::nullopt; });
  }
  std::size_t fast_to = host.got.size();
  robot.signal(SIGINT);
  ASSERT_EQ(robot.wait(5), 0);
  auto ticks = tick_frames(robot.frames());

  auto [text_stop, text_stop_at] = first_stop(host, ticks, text_from);
  EXPECT_GE(text_stop_at - last_real, 0.45)
      << "text renewed nothing, but the hold must run its course";
  EXPECT_LE(text_stop_at - last_real, 0.6);
  for (std::size_t i = text_from; i < text_stop && i < ticks.size(); ++i)
    EXPECT_EQ(ticks[i], drive) << i;

  auto [burst_stop, burst_stop_at] = first_stop(host, ticks, burst_at);
  EXPECT_GE(burst_stop_at - burst_sent, 0.45);
  EXPECT_LE(burst_stop_at - burst_sent, 0.6);
  const std::string newest = speed_frame(int(2 * 200 / 1.356362), int(2 * 200 / 1.356362));
  EXPECT_GT(burst_stop, burst_at + 5);
  // The tick that answered the message may take the burst while it is still arriving; the next
  // one has it all.
  for (std::size_t i = burst_at + 1; i < burst_stop && i < ticks.size(); ++i)
    EXPECT_EQ(ticks[i], newest) << "tick " << i << " replayed an older command";

  // Each tick acts on a command that was sent at most a tick before it: no delay builds up.
  ASSERT_LE(fast_to, ticks.size());
  int checked = 0;
  for (std::size_t i = fast_from + 2; i < fast_to; ++i, ++checked) {
    std::size_t before = 0, by_now = 0;
    for (double t : sent_at)
      before += t <= host.got[i].at - 0.02, by_now += t <= host.got[i].at + 0.1;
    std::size_t k = 0;
    while (k < sent_at.size() &&
           ticks[i] != speed_frame(int(2 * (300 + k) / 1.356362), int(2 * (300 + k) / 1.356362)))
      ++k;
    ASSERT_LT(k, sent_at.size()) << "tick " << i << ": " << ticks[i] << " is none of the commands";
    EXPECT_GE(k + 1, before) << "tick " << i;
    EXPECT_LT(k, by_now) << "tick " << i;
  }
  EXPECT_GT(checked, 20);
}

TEST(TeleopSystem, RefusesToStartWithoutItsRobot) {
  const std::string nack =
      "extends = \"builtin\"\n[[fault]]\nkind = \"nack\"\naddr = 0x1F\nafter = ";
  const struct {
    std::string scenario;
    bool configured;
    std::string message;
  } cases[] = {
      {"", false,
       "teleop: no robot: \"Tarsa4:dsPic\" (I2C bus, not in the configuration) cannot be opened: "
       "unknown device class 'Tarsa4'\n"},
      {nack + "0\n", true,
       "teleop: no robot: \"Tarsa4:dsPic\" (I2C bus, address 0x1F) cannot be opened: no device "
       "found with (0,31)\n"},
      // Acknowledges its address, then answers no command.
      {nack + "1\n", true,
       "teleop: no robot: \"Tarsa4:dsPic\" (I2C bus, address 0x1F) does not answer: "
       "Error while receiving command from Tarsa4 (-1)\n"},
  };
  for (const auto &c : cases) {
    RobotSetup setup = RobotSetup::board(c.scenario);
    setup.robot_configured = c.configured;
    Host host;
    Robot robot(setup);
    EXPECT_EQ(robot.wait(10), 1) << c.message;
    EXPECT_EQ(robot.errors(), c.message);
    EXPECT_EQ(robot.frames(), std::vector<std::string>{}) << c.message;
    EXPECT_FALSE(host.pending()) << c.message;
  }
}

TEST(TeleopSystem, PortSetting) {
  {
    Host host(4000);
    RobotSetup setup;
    setup.teleop = "port = 4000\n";
    Robot robot(setup);
    EXPECT_TRUE(host.first(10)) << robot.errors();
    robot.signal(SIGINT);
    EXPECT_EQ(robot.wait(5), 0);
  }
  RobotSetup setup;
  setup.teleop = "port = 0\n";
  Robot robot(setup);
  EXPECT_EQ(robot.wait(10), 1);
  EXPECT_EQ(robot.errors(), "teleop: teleop.port: not a port number (1 to 65535): 0\n");
  EXPECT_EQ(robot.frames(), std::vector<std::string>{});
}

// Driven on at a wall with the safety field set, the robot stops short of it by the field's reach
// and stays there while the command goes on; the log says when the field acted.
TEST(TeleopSystem, SafetyFieldStopsShortOfAWall) {
  Host host;
  RobotSetup setup = RobotSetup::board("extends = \"builtin\"\n[world]\nx = 1000.0\n");
  setup.teleop = "safety_distance_m = 0.15\n";
  Robot robot(setup);
  ASSERT_TRUE(host.first(10)) << robot.errors();
  const std::string held = "teleop: obstacle within 0.15 m ahead, forward motion held back\n";
  auto ahead = [](const Received &, int &) { return std::optional<std::string>("0x200"); };
  // 280 mm to go at 0.2 m/s, then a second more of the command.
  for (int i = 0; i < 300 && robot.output().find(held) == std::string::npos; ++i)
    host.serve(0.05, ahead);
  host.serve(1.0, ahead);
  robot.signal(SIGINT);
  ASSERT_EQ(robot.wait(5), 0);
  EXPECT_NE(robot.output().find(held), std::string::npos);

  const auto truth = robot.truth();
  ASSERT_FALSE(truth.empty());
  for (const auto &l : truth) ASSERT_EQ(l["contact"], false) << l.dump();
  // The wall is 1.5 m from the room's centre; the body's edge 70 mm from the robot's.
  const double gap = 1.5 - 0.07 - truth.back()["x"].get<double>();
  EXPECT_LT(gap, 0.15);
  EXPECT_GT(gap, 0.12);
}

TEST(TeleopSystem, RobotThatStopsAnsweringGetsTheStopAgainAndFails) {
  Host host;
  Robot robot(RobotSetup::board(
      "extends = \"builtin\"\n[[fault]]\nkind = \"nack\"\naddr = 0x1F\nfrom_ms = 1500\n"));
  ASSERT_TRUE(host.first(10)) << robot.output();
  host.serve(2.0, [](const Received &, int &) { return std::optional<std::string>("0x100"); });
  robot.signal(SIGINT);
  EXPECT_EQ(robot.wait(5), 1);
  EXPECT_NE(
      robot.errors().find(
          "teleop: the robot does not answer: the stop (wheels 0, mode 0, LEDs off) was sent 5 "
          "times and not taken; its wheels may still turn\n"),
      std::string::npos)
      << robot.errors();
  // The ticks' refused speed frames, then the stop's, tried five times.
  auto refused = robot.refused_speed_frames();
  ASSERT_GE(refused.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(refused.end() - 6, refused.end()),
            (std::vector<std::string>{speed_frame(147, 147), "1800000000", "1800000000",
                                      "1800000000", "1800000000", "1800000000"}));
}

TEST(TeleopSystem, ConsoleScriptDrivesTheRobot) {
  Robot robot;  // only for its folder and the robot program; the console starts first below
  const std::string dir = robot.dir();
  {
    std::ofstream(dir + "/drive.txt")
        << "# ahead, then a turn on the spot\n0 0 100\n1 0.5 0\n2 0 0\n2.2 quit\n";
  }
  const pid_t host =
      testutil::spawn({simtest::bin("teleop-host"), "--script", dir + "/drive.txt", "--log",
                       dir + "/log.csv", "--plot", dir + "/path.svg", "--quiet", "--bind", kHostIp},
                      dir + "/host.txt");
  ASSERT_GT(host, 0);
  const int host_status = testutil::end_status(host, 20);
  robot.signal(SIGINT);
  ASSERT_EQ(robot.wait(5), 0);
  std::string summary = testutil::read_file(dir + "/host.txt");
  ASSERT_EQ(host_status, 0) << summary;

  // The summary: about 2.2 s of messages at 20 per second, 100 mm ahead, then a right turn of
  // half a radian.
  unsigned long received = 0, malformed = 9;
  double rate = 0, distance = 0, x = 0, y = 0, heading = 0;
  ASSERT_EQ(std::sscanf(summary.c_str() + summary.find("messages received"),
                        "messages received: %lu (malformed: %lu)", &received, &malformed),
            2)
      << summary;
  std::sscanf(summary.c_str() + summary.find("rate:"), "rate: %lf", &rate);
  std::sscanf(summary.c_str() + summary.find("distance driven:"), "distance driven: %lf",
              &distance);
  std::sscanf(summary.c_str() + summary.find("final pose:"),
              "final pose: x %lf mm, y %lf mm, heading %lf", &x, &y, &heading);
  std::printf("console: %lu messages, %.2f per second, %.1f mm, pose %.1f %.1f %.1f\n", received,
              rate, distance, x, y, heading);
  EXPECT_EQ(malformed, 0u);
  EXPECT_GE(received, 40u);
  EXPECT_LE(received, 50u);
  EXPECT_NEAR(rate, 20, 1.5);
  EXPECT_NEAR(distance, 100, 15);
  EXPECT_NEAR(x, 100, 15);
  EXPECT_NEAR(y, 0, 10);
  EXPECT_NEAR(heading, -0.5 * 180 / M_PI, 5);
  EXPECT_NE(summary.find("path plot: " + dir + "/path.svg"), std::string::npos);
  EXPECT_NE(testutil::read_file(dir + "/path.svg").find("<polyline"), std::string::npos);

  // One log line per message, and the frames the robot got are the law's for the script.
  std::string log = testutil::read_file(dir + "/log.csv");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), long(received) + 1);
  auto ticks = tick_frames(robot.frames());
  for (const auto &frame : {speed_frame(147, 147), speed_frame(38, -38), speed_frame(0, 0)})
    EXPECT_NE(std::find(ticks.begin(), ticks.end(), frame), ticks.end()) << frame;
}
