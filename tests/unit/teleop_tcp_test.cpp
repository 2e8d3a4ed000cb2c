// teleop's TCP links against a real peer on loopback (port 3000: runs alone).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>

#include "teleop_net.h"
#include "test_vx_capture.h"
#include "testutil.h"

namespace {

const std::int16_t kUs[5] = {1, 2, 3, 4, -5};
const int kIr[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

sockaddr_in address(const char *ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

// A connection from local address `from` to 127.0.0.1:3000, once the robot listens there.
int connect_from(const char *from) {
  const int s = testutil::connect_tcp(address("127.0.0.1", kTeleopPort), 4, from);
  EXPECT_GE(s, 0);
  return s;
}

// Reads what arrives within 2 s until `want` bytes or the peer closes.
std::string read_some(int s, std::size_t want) {
  return testutil::read_for(s, want, 2);
}

std::string expected_text() {
  SensorValues v{1.5,
                 0,
                 0,
                 1,
                 0,
                 0,
                 -0.066,
                 10,
                 -10,
                 147,
                 -147,
                 {1, 2, 3, 4, -5},
                 {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}};
  char buf[kSensorBufSize];
  return std::string(buf, format_sensor_message(buf, sizeof buf, v));
}

void exchange(int robot, int peer, bool robot_is_server) {
  ssize_t sent = TCPsendSensor(robot, 1.5, 0, 0, 1, 0, 0, -0.066, 10, -10, 147, -147, kUs, kIr);
  std::string text = expected_text();
  EXPECT_EQ(sent, ssize_t(text.size()));
  EXPECT_EQ(read_some(peer, text.size()), text);

  ASSERT_EQ(write(peer, "x0.5x120x", 9), 9);
  double W = 0, V = 0;
  core_test::Capture printed(STDOUT_FILENO);
  if (robot_is_server)
    TCPrecvParseFromClient(robot, &W, &V);
  else
    TCPrecvParseFromServer(robot, &W, &V);
  EXPECT_EQ(printed.text(), "");  // the TCP receive prints nothing
  EXPECT_EQ(W, 0.5);
  EXPECT_EQ(V, 120);
}

}  // namespace

// The client test comes first: the server keeps its listening socket for the process's life.
TEST(TcpLink, ClientCallsTheConfiguredHost) {
  gPeers = TeleopPeers{};
  gCommandHold = CommandHold{};
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = address("127.0.0.2", kTeleopPort);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  int robot = -1;
  core_test::Capture connecting(STDOUT_FILENO);
  TCPsocketCommunicationClient(&robot);
  EXPECT_EQ(connecting.text(), "");
  int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  exchange(robot, peer, false);
  close(robot);
  close(peer);
  close(listener);

  core_test::Capture refused(STDOUT_FILENO);
  TCPsocketCommunicationClient(&robot);
  EXPECT_EQ(refused.text(), "\nConnection Failed \n");
  close(robot);

  gPeers.tcp_host = "300.1.2.3";
  core_test::Capture invalid(STDOUT_FILENO);
  TCPsocketCommunicationClient(&robot);
  EXPECT_EQ(invalid.text(), "\nInvalid address/ Address not supported \n");
  close(robot);
  gPeers = TeleopPeers{};
}

TEST(TcpLink, ServerServesOnlyTheConfiguredHost) {
  gPeers = TeleopPeers{};
  gCommandHold = CommandHold{};
  int robot = -1;
  auto server =
      std::async(std::launch::async, [&] { return TCPsocketCommunicationServer(&robot); });
  // Wait for the listener, then call from a stranger first: it is hung up on.
  int stranger = connect_from("127.0.0.3");
  ASSERT_GE(stranger, 0);
  EXPECT_EQ(read_some(stranger, 1), "");
  EXPECT_EQ(server.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

  int host = connect_from("127.0.0.2");
  ASSERT_EQ(server.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  int fd = server.get();
  EXPECT_EQ(fd, robot);
  exchange(robot, host, true);

  // The host hangs up: the robot's next send fails without killing it, the receive yields nothing.
  close(host);
  pollfd hangup{robot, POLLIN, 0};
  ASSERT_TRUE(testutil::eventually([&] { return poll(&hangup, 1, 0) > 0; }, 2));
  TCPsendSensor(robot, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, kUs, kIr);
  EXPECT_LT(TCPsendSensor(robot, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, kUs, kIr), 0);
  close(robot);
  close(stranger);
}
