// teleop-host's parsing: sensor messages, commands, scripts, and its dead reckoning.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>

#include "script.h"
#include "sensor_message.h"
#include "simtest.h"

namespace {
const char *kMessage =
    "T12.3400TAX0.0120AXAY-0.0030AYAZ0.9860AZGX0.0660GXGY0.0000GYGZ-1.5000GZPL-15PLPR16PRSL147SLSR-147SR"
    "UA1UAUB2UBUC3UCUD4UDUE-5UEIA0IAIB1IBIC2ICID3IDIE4IEIF5IFIG6IGIH7IHII8IIIJ9IJIK812IKIL96IL";
}

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
      good.substr(0, good.size() - 1),                  // cut short
      good + "T",                                       // trailing bytes
      "X" + good,                                       // leading bytes
      std::string(good).replace(good.find("PL-15PL"), 7, "PL-15PR"),  // wrong closing tag
      std::string(good).replace(good.find("PL-15PL"), 7, "PL1.5PL"),  // integer field with a fraction
      std::string(good).replace(good.find("PL-15PL"), 7, "PLPL"),     // empty value
      std::string(good).replace(good.find("PL-15PL"), 7, "PL99999999999PL"),  // beyond an int
      std::string(good).replace(0, 8, "TnanT"),                        // not a number
      std::string(good).replace(good.find("UA1UA"), 5, ""),            // field missing
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
  ASSERT_TRUE(parse_script("# square\n0 0 150\n\n2.5 -0.5 0  # turn\n20 quit\n", s, error)) << error;
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[1].at, 2.5);
  EXPECT_EQ(s[1].W, -0.5);
  EXPECT_EQ(s[1].V, 0);
  EXPECT_TRUE(s[2].quit);
  EXPECT_FALSE(parse_script("1 2\n", s, error));
  EXPECT_EQ(error, "line 1: expected W V or quit");
  EXPECT_FALSE(parse_script("0 0 0\n5 1 1\n4 0 0\n", s, error));
  EXPECT_EQ(error, "line 3: bad entry");
  EXPECT_FALSE(parse_script("go 1 1\n", s, error));
}

// The console serving a robot that calls over TCP: messages cut from the stream, each answered,
// a malformed one counted, and the script ending it.
TEST(HostProgram, ServesTcpAndEndsWithItsScript) {
  std::string dir = testing::TempDir();
  std::string script = dir + "/tcp-script.txt", out = dir + "/tcp-host.txt";
  std::ofstream(script) << "0 0.5 120\n0.3 quit\n";
  // A port that is free now, so that test runs side by side do not meet.
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  socklen_t alen = sizeof a;
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(probe, reinterpret_cast<sockaddr *>(&a), &alen);
  close(probe);
  std::string cmd = simtest::bin("teleop-host") + " --tcp-server --port " + std::to_string(ntohs(a.sin_port)) +
                    " --bind 127.0.0.1 --quiet --script " + script + " >" + out + " 2>&1";
  auto done = std::async(std::launch::async, [&] { return std::system(cmd.c_str()); });

  int s = -1;
  for (int i = 0; i < 300 && s < 0; ++i) {
    s = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) close(s), s = -1, usleep(10000);
  }
  ASSERT_GE(s, 0);
  std::string stream = std::string(kMessage) + "TX1TIL5IL" + kMessage;
  ASSERT_EQ(write(s, stream.data(), stream.size()), ssize_t(stream.size()));
  std::string answers;
  char buf[256];
  pollfd p{s, POLLIN, 0};
  while (answers.size() < 30 && poll(&p, 1, 5000) > 0) {
    ssize_t n = read(s, buf, sizeof buf);
    if (n <= 0) break;
    answers.append(buf, std::size_t(n));
  }
  EXPECT_EQ(answers, "0.5000x120.00000.5000x120.0000");
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(done.get(), 0);
  close(s);
  std::ifstream in(out);
  std::string summary((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(summary.find("messages received: 2 (malformed: 1)"), std::string::npos) << summary;
}
