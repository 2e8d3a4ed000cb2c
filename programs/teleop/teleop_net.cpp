// Network side of teleop: UDP and TCP links, sensor message text, command parsing and holding.
#include "teleop_net.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
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

// When a datagram reached the socket, on the monotonic clock: the kernel's receive stamp when the
// socket gives one, so that a command that waited while the tick read the sensors is not held
// longer for it; otherwise the time it was read.
std::int64_t arrival_time(msghdr &msg) {
  const std::int64_t read_us = monotonic_us();
  for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_TIMESTAMP ||
        c->cmsg_len != CMSG_LEN(sizeof(timeval)))
      continue;
    timeval stamp{};
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    std::int64_t age =
        (std::int64_t(real.tv_sec) - stamp.tv_sec) * 1000000 + real.tv_nsec / 1000 - stamp.tv_usec;
    // The stamp is on the wall clock: one stepped in between gives no usable age.
    if (age >= 0 && age <= kCommandHoldUs) return read_us - age;
  }
  return read_us;
}

struct Taken {
  ssize_t len = -1;  // length of the newest command, -1 when none came
  std::int64_t arrival_us = 0;
};

// Takes every datagram waiting from the expected sender and keeps the newest command in buf
// (kRecvBufSize + 1 bytes, terminated), so that a backlog is never replayed one tick at a time.
// Waits up to the receive window for a command; datagrams from other senders are dropped, and
// those from the sender that hold no number are not commands.
Taken take_commands(int sock, in_addr expected, char *buf) {
  const std::int64_t deadline = monotonic_us() + kRecvTimeoutUs;
  Taken newest;
  char data[kRecvBufSize];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval)) * 2];
  for (;;) {
    sockaddr_in from{};
    iovec iov{data, sizeof data};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof(sockaddr_in);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(sock, &msg, MSG_WAITALL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) return newest;
      // Nothing more waiting: done once a command is in hand, else wait on within the window.
      if (newest.len >= 0 || !wait_readable(sock, deadline)) return newest;
      continue;
    }
    if (!gPeers.accept_any && from.sin_addr.s_addr != expected.s_addr) {
      ++gDroppedCommands;
    } else if (is_command(data, std::size_t(n))) {
      std::memcpy(buf, data, std::size_t(n));
      buf[n] = '\0';
      newest = {n, arrival_time(msg)};
    }
    // A sender that never pauses must not hold the tick beyond its window.
    if (monotonic_us() >= deadline) return newest;
  }
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
  int count = n > 0 && is_command(buf, std::size_t(n))
                  ? parse_command(buf, std::size_t(n), values, false)
                  : 0;
  const std::int64_t now = monotonic_us();
  gCommandHold.update(now, now, count, values, W, V);
}

SensorValues make_values(double time, double ax, double ay, double az, double gx, double gy,
                         double gz, int posL, int posR, int spdL, int spdR, const std::int16_t *us,
                         const int *ir) {
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

bool parse_port(const char *text, int *port) {
  if (!text || !*text || std::strlen(text) > 5) return false;
  int value = 0;
  for (const char *c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + (*c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
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

bool is_command(const char *data, std::size_t len) {
  char text[kRecvBufSize + 1];
  if (len > kRecvBufSize) len = kRecvBufSize;
  std::memcpy(text, data, len);
  text[len] = '\0';
  char *save = nullptr;
  for (char *tok = strtok_r(text, "x", &save); tok; tok = strtok_r(nullptr, "x", &save)) {
    char *end = nullptr;
    std::strtod(tok, &end);
    if (end != tok) return true;
  }
  return false;
}

void CommandHold::update(std::int64_t now_us, std::int64_t arrival_us, int count,
                         const double values[2], double *W, double *V) {
  if (count > 0) {
    w_ = values[0];
    if (count > 1) v_ = values[1];
    last_us_ = arrival_us;
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
  // Receive stamps, so that a command is held from when it arrived (see arrival_time).
  int one = 1;
  setsockopt(*sock, SOL_SOCKET, SO_TIMESTAMP, &one, sizeof one);
  std::memset(servaddr, 0, sizeof(*servaddr));
  if (inet_pton(AF_INET, gPeers.udp_host.c_str(), &servaddr->sin_addr) <= 0) {
    std::puts("\nInvalid address/ Address not supported ");
    return;
  }
  timeval tv{0, kRecvTimeoutUs};
  if (setsockopt(*sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) std::perror("Error");
  servaddr->sin_family = AF_INET;
  servaddr->sin_port = htons(std::uint16_t(gPeers.port));
}

ssize_t UDPsendSensor(int sock, struct sockaddr_in servaddr, double time, double ax, double ay,
                      double az, double gx, double gy, double gz, int posL, int posR, int spdL,
                      int spdR, const std::int16_t *us, const int *ir) {
  char text[kSensorBufSize];
  std::size_t len = format_sensor_message(
      text, sizeof text, make_values(time, ax, ay, az, gx, gy, gz, posL, posR, spdL, spdR, us, ir));
  return sendto(sock, text, len, MSG_CONFIRM, reinterpret_cast<sockaddr *>(&servaddr),
                sizeof(struct sockaddr_in));
}

void UDPrecvParseFromServer(int sock, struct sockaddr_in servaddr, double *W, double *V) {
  char buf[kRecvBufSize + 1] = {};
  double values[2] = {0.0, 0.0};
  Taken newest = take_commands(sock, servaddr.sin_addr, buf);
  int count = newest.len >= 0 ? parse_command(buf, std::size_t(newest.len), values, true) : 0;
  gCommandHold.update(monotonic_us(), newest.arrival_us, count, values, W, V);
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
  address.sin_port = htons(std::uint16_t(gPeers.port));
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
  serv.sin_port = htons(std::uint16_t(gPeers.port));
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

ssize_t TCPsendSensor(int sock, double time, double ax, double ay, double az, double gx, double gy,
                      double gz, int posL, int posR, int spdL, int spdR, const std::int16_t *us,
                      const int *ir) {
  char text[kSensorBufSize];
  std::size_t len = format_sensor_message(
      text, sizeof text, make_values(time, ax, ay, az, gx, gy, gz, posL, posR, spdL, spdR, us, ir));
  // A host that hangs up must not kill the robot program with SIGPIPE while the wheels turn.
  return send(sock, text, len, MSG_NOSIGNAL);
}

void TCPrecvParseFromClient(int sock, double *W, double *V) {
  recv_parse_stream(sock, W, V);
}

void TCPrecvParseFromServer(int sock, double *W, double *V) {
  recv_parse_stream(sock, W, V);
}
