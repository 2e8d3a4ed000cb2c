// teleop without a robot: message text, command parsing and holding, the UDP link, the speed
// conversion, the ultrasonic words, time arithmetic and the tick schedule.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "teleop_ctl.h"
#include "teleop_net.h"
#include "test_vx_capture.h"

namespace {

const std::int16_t kNoUs[5] = {};
const int kNoIr[12] = {};

std::string message(const SensorValues &v) {
  char buf[kSensorBufSize];
  return std::string(buf, format_sensor_message(buf, sizeof buf, v));
}

// A UDP socket bound to addr on a free port.
int bound_udp(const char *addr, sockaddr_in *out) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, addr, &a.sin_addr);
  EXPECT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << addr;
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  if (out) *out = a;
  return s;
}

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

TEST(SensorMessage, TextOfZeroAndNegativeValues) {
  SensorValues zero{};
  EXPECT_EQ(
      message(zero),
      "T0.0000TAX0.0000AXAY0.0000AYAZ0.0000AZGX0.0000GXGY0.0000GYGZ0.0000GZPL0PLPR0PRSL0SLSR0SR"
      "UA0UAUB0UBUC0UCUD0UDUE0UEIA0IAIB0IBIC0ICID0IDIE0IEIF0IFIG0IGIH0IHII0IIIJ0IJIK0IKIL0IL");

  SensorValues v{12.34,
                 0.012,
                 -0.003,
                 0.986,
                 0.066,
                 -2162.622,
                 1e6,
                 -15,
                 7,
                 -32768,
                 32767,
                 {-1, 0, 1, 2, -32768},
                 {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 812, 96}};
  std::string text = message(v);
  EXPECT_EQ(
      text.rfind("T12.3400TAX0.0120AXAY-0.0030AYAZ0.9860AZGX0.0660GXGY-2162.6220GYGZ1000000.0000GZ"
                 "PL-15PLPR7PRSL-32768SLSR32767SRUA-1UA",
                 0),
      0u)
      << text;
  EXPECT_NE(text.find("UE-32768UE"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 13), "IK812IKIL96IL");
}

TEST(SensorMessage, LargestValuesStillFitTheBuffer) {
  const double big = -std::numeric_limits<double>::max();
  SensorValues v{big,       big,       big,       big,       big, big, big,
                 INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, {},  {}};
  for (int &i : v.ir) i = INT32_MIN;
  std::string text = message(v);
  EXPECT_LT(text.size(), kSensorBufSize);
  EXPECT_EQ(text.substr(text.size() - 15), "IL-2147483648IL");
}

TEST(SensorMessage, UdpSendsExactlyTheTextWithoutNul) {
  sockaddr_in peer{};
  int rx = bound_udp("127.0.0.1", &peer);
  int tx = socket(AF_INET, SOCK_DGRAM, 0);
  ssize_t sent = UDPsendSensor(tx, peer, 0, 0, 0, 0, 0, 0, 0, -15, 0, 0, 0, kNoUs, kNoIr);
  char buf[5000];
  ssize_t got = recv(rx, buf, sizeof buf, 0);
  std::string text(buf, std::size_t(got));
  EXPECT_EQ(sent, got);
  EXPECT_EQ(text.find('\0'), std::string::npos);
  EXPECT_EQ(text, message(SensorValues{0, 0, 0, 0, 0, 0, 0, -15, 0, 0, 0, {}, {}}));
  EXPECT_NE(text.find("PL-15PL"), std::string::npos);
  close(tx);
  close(rx);
}

TEST(CommandParse, ValuesSeparatorsAndPrintedLines) {
  struct Case {
    const char *text;
    int count;
    double W, V;
    const char *printed;
  } cases[] = {
      {"0.5x120", 2, 0.5, 120, "Parsed value 0: 0.500000\nParsed value 1: 120.000000\n"},
      {"xx1.5xx-3x", 2, 1.5, -3, "Parsed value 0: 1.500000\nParsed value 1: -3.000000\n"},
      {"1x2x3", 3, 1, 2,
       "Parsed value 0: 1.000000\nParsed value 1: 2.000000\nParsed value 2: 3.000000\n"},
      {"abcx7", 2, 0.0, 7, "Parsed value 0: 0.000000\nParsed value 1: 7.000000\n"},
      {"2.5kmx", 1, 2.5, -1, "Parsed value 0: 2.500000\n"},
      {"xxx", 0, -1, -1, ""},
  };
  for (const Case &c : cases) {
    double values[2] = {-1, -1};
    core_test::Capture printed(STDOUT_FILENO);
    int n = parse_command(c.text, std::strlen(c.text), values, true);
    EXPECT_EQ(printed.text(), c.printed) << c.text;
    EXPECT_EQ(n, c.count) << c.text;
    EXPECT_EQ(values[0], c.W) << c.text;
    EXPECT_EQ(values[1], c.V) << c.text;
  }
}

TEST(CommandParse, ReadsOnlyTheBytesReceived) {
  // 1024 bytes ending in the digits "12", followed in memory by more digits that were not
  // received: the last value must be 12.
  std::string data = "1x" + std::string(1024 - 2 - 3, 'x') + "x12" + "999";
  double values[2] = {};
  core_test::Capture printed(STDOUT_FILENO);
  EXPECT_EQ(parse_command(data.data(), 1024, values, true), 2);
  EXPECT_EQ(printed.text(), "Parsed value 0: 1.000000\nParsed value 1: 12.000000\n");
}

TEST(CommandHold, HoldsFromArrivalThenStopsAndOneValueChangesWOnly) {
  CommandHold hold;
  double W = 9, V = 9;
  const double none[2] = {0, 0}, cmd[2] = {0.5, 120}, turn[2] = {-1, 0};
  hold.update(0, 0, 0, none, &W, &V);
  EXPECT_EQ(W, 0);  // nothing received yet: stand still
  EXPECT_EQ(V, 0);
  // Taken 40 ms after it arrived: the hold counts from the arrival.
  hold.update(1040000, 1000000, 2, cmd, &W, &V);
  hold.update(1000000 + 500000, 0, 0, none, &W, &V);
  EXPECT_EQ(W, 0.5);
  EXPECT_EQ(V, 120);
  hold.update(1000000 + 500001, 0, 0, none, &W, &V);
  EXPECT_EQ(W, 0);
  EXPECT_EQ(V, 0);
  hold.update(3000000, 3000000, 2, cmd, &W, &V);
  hold.update(3050000, 3050000, 1, turn, &W, &V);
  EXPECT_EQ(W, -1);
  EXPECT_EQ(V, 120);
  // The one-value command restarted the hold.
  hold.update(3050000 + 500000, 0, 0, none, &W, &V);
  EXPECT_EQ(V, 120);
}

TEST(CommandParse, ACommandHoldsANumber) {
  for (const char *text : {"0.5x120", "abcx7", "x-.5x", "nan", "inf", " 3", "1e"})
    EXPECT_TRUE(is_command(text, std::strlen(text))) << text;
  for (const char *text : {"", "xxx", "hello", "x.x-x+xe", "hexllo\x80\xff"})
    EXPECT_FALSE(is_command(text, std::strlen(text))) << text;
}

TEST(Settings, PortNumbers) {
  int port = 7;
  for (const char *bad : {"", "0", "65536", "-1", "+80", " 80", "80 ", "3000x", "0x10", "999999"})
    EXPECT_FALSE(parse_port(bad, &port)) << bad;
  EXPECT_EQ(port, 7);
  EXPECT_TRUE(parse_port("1", &port));
  EXPECT_EQ(port, 1);
  EXPECT_TRUE(parse_port("65535", &port));
  EXPECT_EQ(port, 65535);
}

class UdpLink : public testing::Test {
 protected:
  void SetUp() override {
    gPeers = TeleopPeers{};
    robot_ = bound_udp("127.0.0.1", &robot_addr_);
    host_ = bound_udp("127.0.0.1", &host_addr_);
    gCommandHold = CommandHold{};
  }
  void TearDown() override {
    close(robot_);
    close(host_);
    gPeers = TeleopPeers{};
  }
  void send_from(int s, const std::string &text) {
    sendto(s, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&robot_addr_),
           sizeof robot_addr_);
  }
  // One receive step of the robot, expecting commands from the host's address.
  std::string receive(double *W, double *V) {
    core_test::Capture printed(STDOUT_FILENO);
    UDPrecvParseFromServer(robot_, host_addr_, W, V);
    return printed.text();
  }
  int robot_ = -1, host_ = -1;
  sockaddr_in robot_addr_{}, host_addr_{};
};

TEST_F(UdpLink, ParsesADatagramAndPrints) {
  double W = 0, V = 0;
  send_from(host_, "x-0.25x80x");
  EXPECT_EQ(receive(&W, &V),
            "Parsed value 0: -0.250000\nParsed value 1: 80.000000\n"
            "Angular Velocity (W): -0.250000, Linear Velocity (V): 80.000000\n");
  EXPECT_EQ(W, -0.25);
  EXPECT_EQ(V, 80);
}

TEST_F(UdpLink, DatagramOfExactly1024BytesIsParsedInFull) {
  std::string data = "3x" + std::string(1024 - 2 - 4, 'x') + "x4x5";
  ASSERT_EQ(data.size(), 1024u);
  double W = 0, V = 0;
  send_from(host_, data);
  std::string out = receive(&W, &V);
  EXPECT_NE(out.find("Parsed value 2: 5.000000\n"), std::string::npos) << out;
  EXPECT_EQ(W, 3);
  EXPECT_EQ(V, 4);
}

TEST_F(UdpLink, TimesOutAfter50MsAndHoldsTheCommand) {
  double W = 0, V = 0;
  send_from(host_, "0.5x100");
  receive(&W, &V);
  auto t0 = std::chrono::steady_clock::now();
  std::string out = receive(&W, &V);
  double waited = since(t0);
  EXPECT_GE(waited, 0.049);
  EXPECT_LT(waited, 0.150);
  EXPECT_EQ(out, "Angular Velocity (W): 0.500000, Linear Velocity (V): 100.000000\n");
}

TEST_F(UdpLink, DropsCommandsFromOtherSenders) {
  sockaddr_in stranger_addr{};
  int stranger = bound_udp("127.0.0.5", &stranger_addr);
  double W = 0.1, V = 0.2;
  send_from(host_, "0.1x0.2");
  receive(&W, &V);
  unsigned long dropped = gDroppedCommands;
  send_from(stranger, "5x500");
  send_from(host_, "0.3x30");  // the host's command behind the stranger's still counts
  receive(&W, &V);
  EXPECT_EQ(gDroppedCommands, dropped + 1);
  EXPECT_EQ(W, 0.3);
  EXPECT_EQ(V, 30);
  send_from(stranger, "5x500");
  receive(&W, &V);
  EXPECT_EQ(W, 0.3);
  EXPECT_EQ(V, 30);

  gPeers.accept_any = true;
  send_from(stranger, "5x500");
  receive(&W, &V);
  EXPECT_EQ(W, 5);
  EXPECT_EQ(V, 500);
  close(stranger);
}

TEST_F(UdpLink, TakesTheWholeBacklogAndActsOnTheNewestCommand) {
  for (int i = 1; i <= 200; ++i) send_from(host_, "0x" + std::to_string(i));
  send_from(host_, "hello");  // after the newest command: not a command
  double W = 1, V = 0;
  EXPECT_EQ(receive(&W, &V),
            "Parsed value 0: 0.000000\nParsed value 1: 200.000000\n"
            "Angular Velocity (W): 0.000000, Linear Velocity (V): 200.000000\n");
  // Nothing is left for the next tick to replay.
  auto t0 = std::chrono::steady_clock::now();
  receive(&W, &V);
  EXPECT_GE(since(t0), 0.049);
  EXPECT_EQ(V, 200);
}

TEST_F(UdpLink, TextWithoutANumberNeitherDrivesNorHolds) {
  double W = 0, V = 0;
  send_from(host_, "0.5x100");
  receive(&W, &V);
  auto t0 = std::chrono::steady_clock::now();
  // The hold runs out 500 ms after the command however much text comes meanwhile.
  while (since(t0) < 0.6) {
    send_from(host_, "hello");
    send_from(host_, "\x80\xffxx-.");
    receive(&W, &V);
    if (since(t0) < 0.45) {
      EXPECT_EQ(V, 100);
    }
  }
  EXPECT_EQ(W, 0);
  EXPECT_EQ(V, 0);
}

namespace {
// The socket's receive timeout, read through the kernel's long-based record. A 32-bit build with
// 64-bit time_t asks for the 64-bit record instead, which qemu-user answers with 4 bytes only.
struct OldTimeval {
  long tv_sec = 1, tv_usec = 1;
};
OldTimeval receive_timeout(int sock) {
  OldTimeval tv;
  socklen_t len = sizeof tv;
  EXPECT_EQ(getsockopt(sock, SOL_SOCKET, SO_RCVTIMEO_OLD, &tv, &len), 0);
  EXPECT_EQ(len, sizeof tv);
  return tv;
}
}  // namespace

TEST(UdpClient, SetsDestinationAndReceiveTimeout) {
  gPeers = TeleopPeers{};
  gPeers.udp_host = "127.0.0.9";
  int sock = -1;
  sockaddr_in dest;
  std::memset(&dest, 0xAA, sizeof dest);
  UDP_Client(&sock, &dest);
  ASSERT_GE(sock, 0);
  EXPECT_EQ(dest.sin_family, AF_INET);
  EXPECT_EQ(ntohs(dest.sin_port), 3000);
  EXPECT_EQ(ntohl(dest.sin_addr.s_addr), 0x7F000009u);
  EXPECT_EQ(std::memcmp(dest.sin_zero, "\0\0\0\0\0\0\0\0", 8), 0);
  const OldTimeval tv = receive_timeout(sock);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_GE(tv.tv_usec, 50000);  // the kernel rounds up to its clock tick
  EXPECT_LT(tv.tv_usec, 60000);
  close(sock);
  gPeers = TeleopPeers{};
}

TEST(UdpClient, BadAddressLeavesDestinationZeroAndNoTimeout) {
  gPeers = TeleopPeers{};
  gPeers.udp_host = "robot.local";
  int sock = -1;
  sockaddr_in dest;
  std::memset(&dest, 0xAA, sizeof dest);
  core_test::Capture printed(STDOUT_FILENO);
  UDP_Client(&sock, &dest);
  EXPECT_EQ(printed.text(), "\nInvalid address/ Address not supported \n");
  sockaddr_in zero{};
  EXPECT_EQ(std::memcmp(&dest, &zero, sizeof dest), 0);
  const OldTimeval tv = receive_timeout(sock);
  EXPECT_EQ(tv.tv_sec, 0);
  EXPECT_EQ(tv.tv_usec, 0);
  // The program goes on: a receive still ends within its window.
  double W = 1, V = 2;
  auto t0 = std::chrono::steady_clock::now();
  core_test::Capture ignored(STDOUT_FILENO);
  UDPrecvParseFromServer(sock, dest, &W, &V);
  ignored.text();
  EXPECT_LT(since(t0), 0.150);
  close(sock);
  gPeers = TeleopPeers{};
}

TEST(Control, TimevalDiff) {
  timeval end{5, 100}, start{3, 900000}, result{};
  EXPECT_EQ(timeval_diff(&result, &end, &start), 1100100);
  EXPECT_EQ(result.tv_sec, 1);
  EXPECT_EQ(result.tv_usec, 100100);
  EXPECT_EQ(timeval_diff(nullptr, &end, &start), 1100100);
  EXPECT_EQ(timeval_diff(&result, &start, &end), -1100100);
  EXPECT_EQ(result.tv_sec, -2);
  EXPECT_EQ(result.tv_usec, 899900);
}

TEST(Control, V2p) {
  EXPECT_EQ(v2p(100.9), 147);
  EXPECT_EQ(v2p(100), 147);
  EXPECT_EQ(v2p(-50.5), -73);
  EXPECT_EQ(v2p(0.99), 0);
  EXPECT_EQ(v2p(NAN), 0);
  EXPECT_EQ(v2p(1e300), 32767);
  EXPECT_EQ(v2p(-INFINITY), -32768);
}

TEST(Decoding, UltrasonicWordsAreSigned) {
  unsigned char raw[10] = {0x00, 0x01, 0x01, 0x80, 0xFF, 0xFF};
  std::int16_t us[5];
  decode_us(raw, us);
  EXPECT_EQ(us[0], 0x0100);
  EXPECT_EQ(us[1], -32767);  // 0x8001
  EXPECT_EQ(us[2], -1);
  EXPECT_EQ(us[4], 0);
}

TEST(Schedule, FirstTickAtOnceLateTicksSkipped) {
  TickSchedule s;
  EXPECT_TRUE(s.ready(0));  // the first tick runs at once
  s.ran();
  // Early for tick 1: its window opens at 40 ms.
  EXPECT_FALSE(s.ready(39000));
  EXPECT_EQ(s.until_window(30000), 10000);
  EXPECT_TRUE(s.ready(40000));
  s.ran();
  // Tick 2 is due at 100 ms; the work ended at 130 ms: give it up once and run tick 3 at 140 ms.
  EXPECT_FALSE(s.ready(130000));
  EXPECT_EQ(s.counter(), 3);
  EXPECT_FALSE(s.ready(139000));
  EXPECT_EQ(s.counter(), 3);
  EXPECT_TRUE(s.ready(140000));
  EXPECT_TRUE(s.ready(160000));
  EXPECT_FALSE(s.ready(160001));
  EXPECT_EQ(s.counter(), 4);
  // Far behind: every passed due time is given up.
  EXPECT_FALSE(s.ready(1000000));
  EXPECT_EQ(s.counter(), 5);
}
