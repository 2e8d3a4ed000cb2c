// Network side of teleop: UDP and TCP links, sensor message text, command parsing and holding.
#include "teleop_net.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

TeleopPeers gPeers;
unsigned long gDroppedCommands = 0;
CommandHold gCommandHold;

namespace {

constexpr std::array<const char *, 28> kTags = {
    "T",  "AX", "AY", "AZ", "GX", "GY", "GZ", "PL", "PR", "SL", "SR", "UA", "UB", "UC",
    "UD", "UE", "IA", "IB", "IC", "ID", "IE", "IF", "IG", "IH", "II", "IJ", "IK", "IL"};

std::int64_t monotonic_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Waits until sock is readable, at most until deadline_us. False on timeout, error or signal:
// a signal must end the wait at once so that the shutdown is not held up.
bool wait_readable(int sock, std::int64_t deadline_us) {
  std::int64_t left = deadline_us - monotonic_us();
  if (left <= 0) return false;
  pollfd p{sock, POLLIN, 0};
  timespec ts{time_t(left / 1000000), long(left % 1000000) * 1000};
  return ppoll(&p, 1, &ts, nullptr) > 0;
}

// Receives one datagram from the expected sender into buf (kRecvBufSize + 1 bytes) within the
// receive window and terminates it. Datagrams from other senders are dropped. Returns the length,
// or -1 when none came.
ssize_t recv_command_datagram(int sock, in_addr expected, char *buf) {
  const std::int64_t deadline = monotonic_us() + kRecvTimeoutUs;
  while (wait_readable(sock, deadline)) {
    sockaddr_in from{};
    socklen_t fromlen = sizeof(sockaddr_in);
    ssize_t n = recvfrom(sock, buf, kRecvBufSize, MSG_WAITALL | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return -1;
    }
    if (!gPeers.accept_any && from.sin_addr.s_addr != expected.s_addr) {
      ++gDroppedCommands;
      continue;
    }
    buf[n] = '\0';
    return n;
  }
  return -1;
}

ssize_t recv_command_stream(int sock, char *buf) {
  if (!wait_readable(sock, monotonic_us() + kRecvTimeoutUs)) return -1;
  ssize_t n = read(sock, buf, kRecvBufSize);
  if (n < 0) return -1;
  buf[n] = '\0';
  return n;
}

void recv_parse_stream(int sock, double *W, double *V) {
  char buf[kRecvBufSize + 1] = {};
  double values[2] = {0.0, 0.0};
  ssize_t n = recv_command_stream(sock, buf);
  int count = n > 0 ? parse_command(buf, std::size_t(n), values, false) : 0;
  gCommandHold.update(monotonic_us(), count, values, W, V);
}

SensorValues make_values(double time, double ax, double ay, double az, double gx, double gy, double gz,
                         int posL, int posR, int spdL, int spdR, const std::int16_t *us, const int *ir) {
  SensorValues v{time, ax, ay, az, gx, gy, gz, posL, posR, spdL, spdR, {}, {}};
  std::memcpy(v.us, us, sizeof v.us);
  std::memcpy(v.ir, ir, sizeof v.ir);
  return v;
}

}  // namespace

std::size_t format_sensor_message(char *buf, std::size_t cap, const SensorValues &v) {
  const double reals[7] = {v.time, v.ax, v.ay, v.az, v.gx, v.gy, v.gz};
  int ints[21] = {v.posL, v.posR, v.spdL, v.spdR};
  for (int i = 0; i < 5; ++i) ints[4 + i] = v.us[i];
  for (int i = 0; i < 12; ++i) ints[9 + i] = v.ir[i];

  std::size_t len = 0;
  for (std::size_t f = 0; f < kTags.size() && cap > 0; ++f) {
    const char *tag = kTags[f];
    int n = f < 7 ? std::snprintf(buf + len, cap - len, "%s%2.4f%s", tag, reals[f], tag)
                  : std::snprintf(buf + len, cap - len, "%s%d%s", tag, ints[f - 7], tag);
    if (n < 0) break;
    len += std::size_t(n);
    if (len >= cap) {
      len = cap - 1;
      break;
    }
  }
  return len;
}

int parse_command(const char *data, std::size_t len, double values[2], bool print) {
  // Own terminated copy: the parser must never read past the bytes received.
  char text[kRecvBufSize + 1];
  if (len > kRecvBufSize) len = kRecvBufSize;
  std::memcpy(text, data, len);
  text[len] = '\0';

  int count = 0;
  char *save = nullptr;
  for (char *tok = strtok_r(text, "x", &save); tok; tok = strtok_r(nullptr, "x", &save), ++count) {
    double value = std::strtod(tok, nullptr);
    if (print) std::printf("Parsed value %d: %f\n", count, value);
    if (count < 2) values[count] = value;
  }
  return count;
}

void CommandHold::update(std::int64_t now_us, int count, const double values[2], double *W, double *V) {
  if (count > 0) {
    w_ = values[0];
    if (count > 1) v_ = values[1];
    last_us_ = now_us;
    have_ = true;
  } else if (have_ && now_us - last_us_ > kCommandHoldUs) {
    // The host has gone quiet: stop rather than drive on with a stale command.
    w_ = v_ = 0.0;
    have_ = false;
  }
  *W = w_;
  *V = v_;
}

void UDP_Client(int *sock, struct sockaddr_in *servaddr) {
  if ((*sock = socket(AF_INET, SOCK_DGRAM, 0)) < 0) {
    std::perror("socket creation failed");
    std::exit(1);
  }
  std::memset(servaddr, 0, sizeof(*servaddr));
  if (inet_pton(AF_INET, gPeers.udp_host.c_str(), &servaddr->sin_addr) <= 0) {
    std::puts("\nInvalid address/ Address not supported ");
    return;
  }
  timeval tv{0, kRecvTimeoutUs};
  if (setsockopt(*sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) std::perror("Error");
  servaddr->sin_family = AF_INET;
  servaddr->sin_port = htons(kTeleopPort);
}

ssize_t UDPsendSensor(int sock, struct sockaddr_in servaddr, double time, double ax, double ay, double az,
                      double gx, double gy, double gz, int posL, int posR, int spdL, int spdR,
                      const std::int16_t *us, const int *ir) {
  char text[kSensorBufSize];
  std::size_t len = format_sensor_message(
      text, sizeof text, make_values(time, ax, ay, az, gx, gy, gz, posL, posR, spdL, spdR, us, ir));
  return sendto(sock, text, len, MSG_CONFIRM, reinterpret_cast<sockaddr *>(&servaddr), sizeof(struct sockaddr_in));
}

void UDPrecvParseFromServer(int sock, struct sockaddr_in servaddr, double *W, double *V) {
  char buf[kRecvBufSize + 1] = {};
  double values[2] = {0.0, 0.0};
  ssize_t n = recv_command_datagram(sock, servaddr.sin_addr, buf);
  int count = n > 0 ? parse_command(buf, std::size_t(n), values, true) : 0;
  gCommandHold.update(monotonic_us(), count, values, W, V);
  std::printf("Angular Velocity (W): %f, Linear Velocity (V): %f\n", *W, *V);
  std::memset(buf, 0, sizeof buf);
}

int TCPsocketCommunicationServer(int *sock) {
  int server = socket(AF_INET, SOCK_STREAM, 0);
  if (server < 0) {
    std::perror("socket failed");
    std::exit(1);
  }
  int opt = 1;
  if (setsockopt(server, SOL_SOCKET, SO_REUSEPORT, &opt, sizeof opt)) {
    std::perror("setsockopt");
    std::exit(1);
  }
  // Also lets a restarted robot program listen again while the last session's connection
  // lingers in TIME_WAIT.
  setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &opt, sizeof opt);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = INADDR_ANY;
  address.sin_port = htons(kTeleopPort);
  if (bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
    std::perror("bind failed");
    std::exit(1);
  }
  if (listen(server, 3) < 0) {
    std::perror("listen");
    std::exit(1);
  }
  in_addr allowed{};
  inet_pton(AF_INET, gPeers.tcp_host.c_str(), &allowed);
  for (;;) {
    sockaddr_in peer{};
    socklen_t peerlen = 16;
    int conn = accept(server, reinterpret_cast<sockaddr *>(&peer), &peerlen);
    if (conn < 0) {
      std::perror("accept");
      std::exit(1);
    }
    // Only the configured host may drive the robot.
    if (gPeers.accept_any || peer.sin_addr.s_addr == allowed.s_addr) {
      *sock = conn;
      return conn;
    }
    ++gDroppedCommands;
    close(conn);
  }
}

int TCPsocketCommunicationClient(int *sock) {
  if ((*sock = socket(AF_INET, SOCK_STREAM, 0)) < 0) {
    std::puts("\n Socket creation error ");
    return -1;
  }
  sockaddr_in serv{};
  serv.sin_family = AF_INET;
  serv.sin_port = htons(kTeleopPort);
  if (inet_pton(AF_INET, gPeers.tcp_host.c_str(), &serv.sin_addr) <= 0) {
    std::puts("\nInvalid address/ Address not supported ");
    return -1;
  }
  if (connect(*sock, reinterpret_cast<sockaddr *>(&serv), 16) < 0) {
    std::puts("\nConnection Failed ");
    return -1;
  }
  return 0;
}

ssize_t TCPsendSensor(int sock, double time, double ax, double ay, double az, double gx, double gy, double gz,
                      int posL, int posR, int spdL, int spdR, const std::int16_t *us, const int *ir) {
  char text[kSensorBufSize];
  std::size_t len = format_sensor_message(
      text, sizeof text, make_values(time, ax, ay, az, gx, gy, gz, posL, posR, spdL, spdR, us, ir));
  // A host that hangs up must not kill the robot program with SIGPIPE while the wheels turn.
  return send(sock, text, len, MSG_NOSIGNAL);
}

void TCPrecvParseFromClient(int sock, double *W, double *V) { recv_parse_stream(sock, W, V); }

void TCPrecvParseFromServer(int sock, double *W, double *V) { recv_parse_stream(sock, W, V); }
