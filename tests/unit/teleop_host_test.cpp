// teleop-host: sensor messages, commands, options, scripts, dead reckoning, the live view, and
// the program itself across a robot restart.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "options.h"
#include "script.h"
#include "sensor_message.h"
#include "simtest.h"
#include "testutil.h"
#include "view.h"

namespace {

// A loopback address with a port of `type` (SOCK_STREAM, SOCK_DGRAM) that is free now, so that
// test runs side by side do not meet.
sockaddr_in free_port(int type) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  socklen_t alen = sizeof a;
  int probe = socket(AF_INET, type, 0);
  bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(probe, reinterpret_cast<sockaddr *>(&a), &alen);
  close(probe);
  return a;
}

// teleop-host started with `args`, its standard output and error going to `out`.
pid_t start_host(const std::vector<std::string> &args, const std::string &out) {
  std::vector<std::string> words = {simtest::bin("teleop-host")};
  words.insert(words.end(), args.begin(), args.end());
  // Gone before the start, so that a later look at it never reads an earlier run: the child may
  // open it after posix_spawn has returned (qemu-user spawns by fork).
  unlink(out.c_str());
  const pid_t pid = testutil::spawn(words, out, out);
  EXPECT_GT(pid, 0);
  return pid;
}

using testutil::end_status;
using testutil::read_file;

const char *kMessage =
    "T12.3400TAX0.0120AXAY-0.0030AYAZ0.9860AZGX0.0660GXGY0.0000GYGZ-1.5000GZPL-15PLPR16PRSL147SLSR-"
    "147SR"
    "UA1UAUB2UBUC3UCUD4UDUE-5UEIA0IAIB1IBIC2ICID3IDIE4IEIF5IFIG6IGIH7IHII8IIIJ9IJIK812IKIL96IL";
}  // namespace

TEST(HostMessage, ParsesAllFields) {
  SensorMessage m;
  ASSERT_TRUE(parse_sensor_message(kMessage, m));
  EXPECT_DOUBLE_EQ(m.t, 12.34);
  EXPECT_DOUBLE_EQ(m.ay, -0.003);
  EXPECT_DOUBLE_EQ(m.gz, -1.5);
  EXPECT_EQ(m.posL, -15);
  EXPECT_EQ(m.posR, 16);
  EXPECT_EQ(m.spdL, 147);
  EXPECT_EQ(m.spdR, -147);
  EXPECT_EQ(m.us[4], -5);
  EXPECT_EQ(m.ir[10], 812);
  EXPECT_EQ(m.ir[11], 96);
}

TEST(HostMessage, RefusesMalformed) {
  std::string good = kMessage;
  const std::string bad[] = {
      "",
      good.substr(0, good.size() - 1),                                // cut short
      good + "T",                                                     // trailing bytes
      "X" + good,                                                     // leading bytes
      std::string(good).replace(good.find("PL-15PL"), 7, "PL-15PR"),  // wrong closing tag
      std::string(good).replace(good.find("PL-15PL"), 7,
                                "PL1.5PL"),                        // integer field with a fraction
      std::string(good).replace(good.find("PL-15PL"), 7, "PLPL"),  // empty value
      std::string(good).replace(good.find("PL-15PL"), 7, "PL99999999999PL"),  // beyond an int
      std::string(good).replace(0, 8, "TnanT"),                               // not a number
      std::string(good).replace(good.find("UA1UA"), 5, ""),                   // field missing
  };
  for (const std::string &text : bad) {
    SensorMessage m;
    EXPECT_FALSE(parse_sensor_message(text, m)) << text;
  }
}

TEST(HostMessage, CommandTextIsWhatTheRobotParses) {
  EXPECT_EQ(format_command(0.5, 120), "0.5000x120.0000");
  EXPECT_EQ(format_command(-0.25, -80), "-0.2500x-80.0000");
}

TEST(HostMessage, SplitterCutsAStream) {
  MessageSplitter s;
  std::string stream = std::string(kMessage) + kMessage;
  s.feed(stream.substr(0, 100));
  std::string m;
  EXPECT_FALSE(s.next(m));
  s.feed(stream.substr(100));
  ASSERT_TRUE(s.next(m));
  EXPECT_EQ(m, kMessage);
  ASSERT_TRUE(s.next(m));
  EXPECT_EQ(m, kMessage);
  EXPECT_FALSE(s.next(m));
  EXPECT_EQ(s.dropped(), 0u);
}

TEST(HostOdometry, StraightAndTurnOnTheSpot) {
  Odometry o(0.5, 100.0);
  o.update(1000, 1000);  // the first reading is the origin
  o.update(3000, 3000);  // 1000 mm ahead
  EXPECT_NEAR(o.x(), 1000, 1e-9);
  EXPECT_NEAR(o.y(), 0, 1e-9);
  // Right wheel forward, left back: counter-clockwise on the spot by 90 degrees.
  double counts = M_PI / 2 * 50.0 / 0.5;
  o.update(3000 - int(std::lround(counts)), 3000 + int(std::lround(counts)));
  EXPECT_NEAR(o.heading(), M_PI / 2, 0.01);
  EXPECT_NEAR(o.x(), 1000, 1e-9);
  o.update(3000 - int(std::lround(counts)) + 200, 3000 + int(std::lround(counts)) + 200);
  EXPECT_NEAR(o.x(), 1000, 1.0);
  EXPECT_NEAR(o.y(), 100, 0.1);
  EXPECT_NEAR(o.distance(), 1100, 0.1);
}

TEST(HostOdometry, CountersThatWrap) {
  Odometry o(1.0, 100.0);
  o.update(2147483647, 2147483647);
  o.update(-2147483647 - 1 + 9, -2147483647 - 1 + 9);
  EXPECT_NEAR(o.x(), 10, 1e-9);
}

TEST(HostScript, ParsesAndRefuses) {
  std::vector<ScriptEntry> s;
  std::string error;
  ASSERT_TRUE(parse_script("# square\n0 0 150\n\n2.5 -0.5 0  # turn\n20 quit\n", s, error))
      << error;
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[1].at, 2.5);
  EXPECT_EQ(s[1].W, -0.5);
  EXPECT_EQ(s[1].V, 0);
  EXPECT_TRUE(s[2].quit);
  const std::pair<const char *, const char *> bad[] = {
      {"1 2\n", "line 1: expected W V or quit"},
      {"go 1 1\n", "line 1: expected a time in seconds"},
      {"0 0 0\n5 1 1\n4 0 0\n", "line 3: time goes back: 4 after 5"},
      {"-1 0 0\n", "line 1: negative time: -1"},
      {"1 0.5x 0\n", "line 1: expected W V or quit"},
      {"1 0 0 fast\n", "line 1: unexpected text: fast"},
  };
  for (auto [text, message] : bad) {
    EXPECT_FALSE(parse_script(text, s, error)) << text;
    EXPECT_EQ(error, message);
  }
}

TEST(HostOptions, EachWrongOneNamesItself) {
  const std::pair<std::vector<const char *>, const char *> cases[] = {
      {{"--idle-timeout", "x"}, "--idle-timeout: not a number: x"},
      {{"--idle-timeout", "-1"}, "--idle-timeout: must not be negative: -1"},
      {{"--port", "0"}, "--port: not a port number (1 to 65535): 0"},
      {{"--port", "3000x"}, "--port: not a port number (1 to 65535): 3000x"},
      {{"--port", "70000"}, "--port: not a port number (1 to 65535): 70000"},
      {{"--bind", "localhost"}, "--bind: not an IPv4 address: localhost"},
      {{"--tcp-connect", "1.2.3"}, "--tcp-connect: not an IPv4 address: 1.2.3"},
      {{"--mm-per-count", "0"}, "--mm-per-count: must be more than 0: 0"},
      {{"--wheel-base", "nan"}, "--wheel-base: not a number: nan"},
      {{"--port"}, "--port: needs a value"},
      {{"--speed", "3"}, "unknown option: --speed"},
      {{"-x"}, "unknown option: -x"},
      {{"--quiet", "extra"}, "unexpected argument: extra"},
      {{"--tcp-server", "--tcp-connect", "1.2.3.4"},
       "--tcp-server and --tcp-connect: give one of them"},
  };
  for (const auto &[args, message] : cases) {
    std::vector<char *> argv = {const_cast<char *>("teleop-host")};
    for (const char *a : args) argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    Options o;
    std::string error;
    EXPECT_FALSE(parse_options(int(argv.size() - 1), argv.data(), o, error)) << message;
    EXPECT_EQ(error, message);
  }
  const char *good[] = {"teleop-host", "--port",       "4000", "--script",
                        "s.txt",       "--wheel-base", "90",   nullptr};
  Options o;
  std::string error;
  ASSERT_TRUE(parse_options(7, const_cast<char **>(good), o, error)) << error;
  EXPECT_EQ(o.port, 4000);
  EXPECT_EQ(o.wheel_base, 90);
  EXPECT_EQ(o.idle_timeout, 10);  // the default with a script
}

namespace {
// The view's rows without the terminal's control sequences.
std::vector<std::string> rows(const std::string &screen) {
  std::string text = screen;
  for (const char *seq : {"\x1b[H", "\x1b[K", "\x1b[J"})
    for (std::size_t at; (at = text.find(seq)) != std::string::npos;)
      text.erase(at, std::strlen(seq));
  std::vector<std::string> out;
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos; text.erase(0, at + 2))
    out.push_back(text.substr(0, at));
  EXPECT_EQ(text, "");
  return out;
}
}  // namespace

TEST(HostView, FitsAnEightyByTwentyFourTerminal) {
  ViewData d;
  d.received = d.malformed = 4294967295ul;
  d.port = 65535;
  d.since_last = 1e9;
  d.last.t = d.last.ax = d.last.gz = -1.7e308;
  d.last.posL = d.last.posR = d.last.spdL = d.last.spdR = INT_MIN;
  d.last.us.fill(INT_MIN);
  d.last.ir.fill(INT_MAX);
  d.x = d.y = d.distance = d.W = d.V = 1e300;
  auto lines = rows(render_view(d));
  EXPECT_LT(lines.size(), std::size_t(kViewRows));
  for (const auto &l : lines) EXPECT_LT(l.size(), std::size_t(kViewColumns)) << l;
}

TEST(HostView, StaleLinkAndFixedBarScales) {
  ViewData d;
  d.last.ir[0] = 2048;  // half of the infrared range, whatever the others read
  d.last.ir[1] = 4095;
  d.last.us[0] = 100;  // a quarter of 4 m
  d.since_last = 0.2;
  std::string fresh = render_view(d);
  EXPECT_NE(fresh.find("link: last message 0.20 s ago"), std::string::npos) << fresh;
  EXPECT_NE(fresh.find(" IA   2048 " + std::string(13, '#') + std::string(12, '.') + " "),
            std::string::npos);
  EXPECT_NE(fresh.find(" UA    100 " + std::string(10, '#') + std::string(30, '.')),
            std::string::npos);
  d.since_last = 3.31;
  EXPECT_NE(render_view(d).find("link: STALE - no message for 3.3 s"), std::string::npos);
  d.since_last = -1;
  EXPECT_NE(render_view(d).find("link: waiting for the robot"), std::string::npos);
}

// The console serving a robot that calls over TCP: messages cut from the stream, each answered,
// a malformed one counted, and the script ending it.
TEST(HostProgram, ServesTcpAndEndsWithItsScript) {
  std::string dir = testing::TempDir();
  std::string script = dir + "/tcp-script.txt", out = dir + "/tcp-host.txt";
  std::ofstream(script) << "0 0.5 120\n0.3 quit\n";
  sockaddr_in a = free_port(SOCK_STREAM);
  const pid_t pid = start_host({"--tcp-server", "--port", std::to_string(ntohs(a.sin_port)),
                                "--bind", "127.0.0.1", "--quiet", "--script", script},
                               out);

  int s = testutil::connect_tcp(a, 3);
  ASSERT_GE(s, 0);
  std::string stream = std::string(kMessage) + "TX1TIL5IL" + kMessage;
  ASSERT_EQ(write(s, stream.data(), stream.size()), ssize_t(stream.size()));
  EXPECT_EQ(testutil::read_for(s, 30, 5), "0.5000x120.00000.5000x120.0000");
  EXPECT_EQ(end_status(pid, 10), 0);
  close(s);
  std::string summary = read_file(out);
  EXPECT_NE(summary.find("messages received: 2 (malformed: 1)"), std::string::npos) << summary;
}

namespace {

// A sensor message with the given robot time and wheel positions.
std::string message_at(double t, int pos) {
  std::string m = kMessage;
  char text[32];
  std::snprintf(text, sizeof text, "T%.4fT", t);
  m.replace(0, m.find("AX"), text);
  std::size_t pl = m.find("PL"), pr = m.find("PR");
  m.replace(pl, m.find("PR") - pl, "PL" + std::to_string(pos) + "PL");
  pr = m.find("PR");
  m.replace(pr, m.find("SL") - pr, "PR" + std::to_string(pos) + "PR");
  return m;
}

}  // namespace

// The robot's program restarts mid-run (its clock goes back, its encoders read 0 again, it sends
// from a new port): pose, distance and rate continue as if it had not, the plot has no phantom
// segment, and the restarted robot gets no command until the script gives a new one.
TEST(HostProgram, ARobotRestartIsANewSession) {
  std::string dir = testing::TempDir();
  std::string script = dir + "/restart-script.txt", out = dir + "/restart-host.txt";
  std::string plot = dir + "/restart.svg", log = dir + "/restart.csv";
  std::ofstream(script) << "0 0 100\n2.5 0.1 50\n";
  sockaddr_in host = free_port(SOCK_DGRAM);
  pid_t pid =
      start_host({"--port", std::to_string(ntohs(host.sin_port)), "--bind", "127.0.0.1", "--quiet",
                  "--mm-per-count", "1", "--script", script, "--plot", plot, "--log", log},
                 out);
  // Ended however the test ends.
  std::unique_ptr<pid_t, void (*)(pid_t *)> ender(&pid, [](pid_t *p) { end_status(*p, 0); });
  ASSERT_TRUE(testutil::eventually(
      [&] { return read_file(out).find("listening") != std::string::npos; }, 10));

  // Messages 50 ms apart on the robot's clock, the wheels 10 mm further each: 10 before the
  // restart, then as many as it takes for the script's next command to come.
  std::vector<std::string> answers[2];
  int robot = -1, i = 0;
  // Sends message `i` and waits for its answer, `bound_s` at the most; "" when none came.
  auto exchange = [&](double bound_s) {
    std::string m = message_at(0.02 + 0.05 * i, 10 * i);
    sendto(robot, m.data(), m.size(), 0, reinterpret_cast<sockaddr *>(&host), sizeof host);
    char buf[64];
    pollfd p{robot, POLLIN, 0};
    if (poll(&p, 1, int(bound_s * 1000)) <= 0) return std::string();
    return std::string(buf, std::size_t(std::max<ssize_t>(0, recv(robot, buf, sizeof buf, 0))));
  };
  robot = socket(AF_INET, SOCK_DGRAM, 0);
  for (i = 0; i < 10; ++i) {
    answers[0].push_back(exchange(2));
    ASSERT_FALSE(answers[0].back().empty()) << "message " << i;
  }
  close(robot);
  // The console takes a new sender once the robot it drove has been silent for a second: until
  // then the restarted robot's first message goes unanswered.
  robot = socket(AF_INET, SOCK_DGRAM, 0);
  i = 0;
  std::string first;
  ASSERT_TRUE(testutil::eventually([&] { return !(first = exchange(0.1)).empty(); }, 10, 0.05));
  answers[1].push_back(first);
  bool lost = false;
  ASSERT_TRUE(testutil::eventually(
      [&] {
        ++i;
        answers[1].push_back(exchange(2));
        lost = answers[1].back().empty();
        return lost || answers[1].back() == "0.1000x50.0000";
      },
      10, 0.05));
  ASSERT_FALSE(lost) << "message " << i;
  close(robot);
  kill(pid, SIGINT);
  EXPECT_EQ(end_status(pid, 10), 0);
  ender.release();

  const int later = int(answers[1].size());  // messages after the restart
  ASSERT_GT(later, 1);
  char expect[3][128];
  std::snprintf(expect[0], sizeof expect[0], "messages received: %d (malformed: 0)\n", 10 + later);
  std::snprintf(expect[1], sizeof expect[1], "rate: 20.00 per second over %.2f s of robot time\n",
                0.45 + 0.05 * (later - 1));
  std::snprintf(expect[2], sizeof expect[2],
                "distance driven: %.1f mm\nfinal pose: x %.1f mm, y 0.0 mm, heading 0.0 deg\n",
                90.0 + 10 * (later - 1), 90.0 + 10 * (later - 1));
  for (const auto &a : answers[0]) EXPECT_EQ(a, "0.0000x100.0000");
  EXPECT_EQ(answers[1].front(), "0.0000x0.0000");
  EXPECT_EQ(answers[1].back(), "0.1000x50.0000");
  std::string summary = read_file(out);
  for (const std::string &line :
       {std::string("teleop-host: the robot restarted (robot time 0.02 s): command 0 "
                    "until a new one\n"),
        std::string("robot restarts: 1\n"), std::string(expect[0]), std::string(expect[1]),
        std::string(expect[2])})
    EXPECT_NE(summary.find(line), std::string::npos) << line << summary;

  // The robot only went ahead: the path's x never goes back.
  std::string svg = read_file(plot);
  for (const char *part : {">x (mm)</text>", ">y (mm)</text>", "id=\"start\"", "id=\"end\"",
                           ">start</text>", ">end</text>"})
    EXPECT_NE(svg.find(part), std::string::npos) << part;
  std::size_t at = svg.find("points=\"", svg.find("id=\"path\""));
  ASSERT_NE(at, std::string::npos);
  std::istringstream points(svg.substr(at + 8, svg.find('"', at + 8) - at - 8));
  double x = 0, y = 0, last_x = -1;
  char comma;
  int n = 0;
  for (; points >> x >> comma >> y; ++n) {
    EXPECT_GE(x, last_x) << "point " << n;
    last_x = x;
  }
  EXPECT_EQ(n, 10 + later);

  // The log carries the pose of each message.
  std::string csv = read_file(log);
  EXPECT_NE(csv.find(",IL,W,V,x_mm,y_mm,heading_deg\n"), std::string::npos);
  EXPECT_NE(csv.find("," + std::to_string(90 + 10 * (later - 1)) + ".0,0.0,0.00\n"),
            std::string::npos);
}

TEST(HostProgram, RefusesAWrongOptionOrScriptByName) {
  std::string dir = testing::TempDir(), out = dir + "/options-host.txt", script = dir + "/back.txt";
  std::ofstream(script) << "0 0 100\n2 0 0\n1 quit\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--idle-timeout", "x"}, "teleop-host: --idle-timeout: not a number: x\n"},
      {{"--script", script},
       "teleop-host: --script: " + script + ": line 3: time goes back: 1 after 2\n"},
      {{"--script", dir + "/none.txt"},
       "teleop-host: --script: cannot read " + dir + "/none.txt: No such file or directory\n"},
      {{"--plot", dir + "/none/path.svg"},
       "teleop-host: --plot: cannot write " + dir + "/none/path.svg: No such file or directory\n"},
  };
  for (const auto &[args, message] : cases) {
    EXPECT_EQ(end_status(start_host(args, out), 5), 1) << message;
    EXPECT_EQ(read_file(out).substr(0, message.size()), message);
  }
}
