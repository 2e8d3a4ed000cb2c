// Network side of teleop: the UDP and TCP links on port 3000, the sensor message text and the
// velocity command parser.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr int kTeleopPort = 3000;
inline constexpr std::size_t kSensorBufSize = 4100;
inline constexpr std::size_t kRecvBufSize = 1024;
// How long one receive waits for a command.
inline constexpr long kRecvTimeoutUs = 50000;
// How long the last command stays in force while none arrives.
inline constexpr std::int64_t kCommandHoldUs = 500000;

// Remote host settings; main fills them from the configuration before the links are set up.
struct TeleopPeers {
  std::string udp_host = "127.0.0.1";  // where sensor messages go; commands come from here
  std::string tcp_host = "127.0.0.2";  // the host TCPsocketCommunicationClient calls
  bool accept_any = false;             // accept commands from any sender
  int port = kTeleopPort;              // the port of every link
};
extern TeleopPeers gPeers;

// Counters for the operator and the tests.
extern unsigned long gDroppedCommands;  // datagrams or connections refused: wrong sender

void UDP_Client(int *sock, struct sockaddr_in *servaddr);
ssize_t UDPsendSensor(int sock, struct sockaddr_in servaddr, double time, double ax, double ay,
                      double az, double gx, double gy, double gz, int posL, int posR, int spdL,
                      int spdR, const std::int16_t *us, const int *ir);
void UDPrecvParseFromServer(int sock, struct sockaddr_in servaddr, double *W, double *V);

int TCPsocketCommunicationServer(int *sock);
int TCPsocketCommunicationClient(int *sock);
ssize_t TCPsendSensor(int sock, double time, double ax, double ay, double az, double gx, double gy,
                      double gz, int posL, int posR, int spdL, int spdR, const std::int16_t *us,
                      const int *ir);
void TCPrecvParseFromClient(int sock, double *W, double *V);
void TCPrecvParseFromServer(int sock, double *W, double *V);

// One sensor message's values, in message order.
struct SensorValues {
  double time, ax, ay, az, gx, gy, gz;
  int posL, posR, spdL, spdR;
  std::int16_t us[5];
  int ir[12];
};

// Writes the sensor message text into buf (NUL-terminated when cap > 0); returns its length, which
// is at most cap - 1 (every message fits the 4100-byte buffer).
std::size_t format_sensor_message(char *buf, std::size_t cap, const SensorValues &v);

// A port number setting: decimal digits only, 1 to 65535. False for anything else.
bool parse_port(const char *text, int *port);

// Splits data[0, len) at 'x' and converts each token; the first two values go to values[].
// Prints "Parsed value" lines when print is set. Returns the number of tokens.
int parse_command(const char *data, std::size_t len, double values[2], bool print);
// True when data[0, len) is a command: at least one of its tokens starts with a number.
bool is_command(const char *data, std::size_t len);

// Keeps the command in force: a full command sets W and V, one value sets W only, and without a
// command the last one holds for kCommandHoldUs from its arrival, after which the robot stops
// until the next. count 0 means no command came.
class CommandHold {
 public:
  void update(std::int64_t now_us, std::int64_t arrival_us, int count, const double values[2],
              double *W, double *V);

 private:
  double w_ = 0.0, v_ = 0.0;
  std::int64_t last_us_ = 0;
  bool have_ = false;
};
extern CommandHold gCommandHold;
