// Laser range finder: SCIP 2.0 over its USB serial node, and its power switched by a GPIO pin.
#include "tarsa/vx_lrf.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "core/unique_fd.h"
#include "core/vx_codes.h"
#include "lrf/scip.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_gpio.h"

int32_t vx_lrf_DistanceData[VX_LRF_DISTANCES];

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using tarsa::scip::Fault;
namespace err = tarsa::err;

constexpr const char *kFile = "vx_lrf";

// The sensor class the array is laid out for: entry i is step kFirstStep + i.
constexpr int kStepsPerTurn = 1024;
constexpr int kFirstStep = 44;
constexpr int kLastStep = kFirstStep + VX_LRF_DISTANCES - 1;

constexpr milliseconds kReplyBound{2000};
constexpr milliseconds kCloseBound{500};
// A sensor switched on shows its USB serial node after it has started and enumerated.
constexpr milliseconds kEnumerationBound{5000};
constexpr milliseconds kNodePoll{20};
// Far more than any reply; guards against a line that streams without end.
constexpr std::size_t kMaxInput = 64 * 1024;

struct Sensor {
  tarsa::UniqueFd fd;
  int first = kFirstStep, last = kLastStep;  // steps scanned, within the array's range
};

// Open sensors by handle, which is the port's descriptor number.
std::map<int, Sensor> sensors;
// When vx_lrf_Power_On() last switched the power on; vx_lrf_Init() waits for the node until
// kEnumerationBound after it.
std::optional<Clock::time_point> powered_at;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

int write_all(int fd, std::string_view bytes, Clock::time_point deadline) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return -errno;
    if (remaining_ms(deadline) == 0) return -ETIMEDOUT;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, remaining_ms(deadline));
  }
  return 0;
}

// The one exchange with the sensor: sends `command` (a line without its LF) and waits until the
// whole reply to it has arrived, at most `bound`. Input left from an earlier exchange is dropped
// first, and lines before the echo of `command` are skipped, so the remains of a reply that was
// cut short or garbled cannot be taken for this one. `frame` gets the reply, echo line first.
int exchange(int fd, std::string_view command, std::string &frame, milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  ::tcflush(fd, TCIFLUSH);
  if (const int r = write_all(fd, std::string(command) + '\n', deadline); r < 0) return r;

  std::string input;
  std::array<char, 4096> chunk;
  for (;;) {
    if (const auto span = tarsa::scip::find_reply(input, command)) {
      frame = input.substr(span->begin, span->end - span->begin);
      return 0;
    }
    if (input.size() > kMaxInput) input.erase(0, input.rfind('\n') + 1);
    const int left = remaining_ms(deadline);
    if (left == 0) return -ETIMEDOUT;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, left);
    if (ready < 0 && errno != EINTR) return -errno;
    if (ready <= 0) continue;
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n > 0)
      input.append(chunk.data(), static_cast<std::size_t>(n));
    else if (n < 0 && errno != EAGAIN && errno != EINTR)
      return -errno;
    else if (n == 0)
      return -EIO;  // readable yet empty: the line hung up, the sensor went away
  }
}

// Reports a failed exchange or reply: a timeout and a check character that does not match have
// messages of their own, anything else gets `code`, the operation's own. Returns `result`.
int report(const char *function, int code, int result, Fault fault = Fault::none) {
  if (result == -ETIMEDOUT)
    vx_error(kFile, __LINE__, function, err::DataTimeout);
  else if (fault == Fault::check)
    vx_error(kFile, __LINE__, function, err::CrcMismatch);
  else
    vx_error(kFile, __LINE__, function, code);
  return result;
}

// Sends `command` and takes its reply apart: 0, or a negated errno after a report.
int command(int fd, std::string_view line, tarsa::scip::Reply &reply, std::string &frame,
            const char *function, int code, milliseconds bound = kReplyBound) {
  if (const int r = exchange(fd, line, frame, bound); r < 0) return report(function, code, r);
  if (const Fault f = tarsa::scip::parse_reply(frame, reply); f != Fault::none)
    return report(function, code, -EPROTO, f);
  return 0;
}

int power_pin() {
  const char *text = vx_config_get("lrf.power_gpio");
  if (text == nullptr) return VX_LRF_DEFAULT_POWER_GPIO;
  char *end = nullptr;
  const long pin = std::strtol(text, &end, 10);
  if (end == text || *end != '\0') {
    vx_error(kFile, __LINE__, "vx_lrf_Power", err::InvalidNumber, text);
    return -EINVAL;
  }
  if (pin < VX_GPIO_USER_FIRST || pin > VX_GPIO_USER_LAST) {
    vx_error(kFile, __LINE__, "vx_lrf_Power", err::ValueOutOfRange, static_cast<unsigned>(pin),
             "lrf.power_gpio", static_cast<unsigned>(VX_GPIO_USER_FIRST),
             static_cast<unsigned>(VX_GPIO_USER_LAST));
    return -EINVAL;
  }
  return static_cast<int>(pin);
}

int switch_power(int level) {
  const int pin = power_pin();
  if (pin < 0) return pin;
  return vx_gpio_dir_val(pin, 0, level);
}

// Opens the node, waiting for it to appear while the sensor may still be starting.
int open_port(const char *port) {
  const Clock::time_point deadline = powered_at ? *powered_at + kEnumerationBound : Clock::now();
  for (;;) {
    const int fd = ::open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) return fd;
    const int err = errno;
    // The node comes with enumeration; its permissions may follow a moment later.
    const bool coming = err == ENOENT || err == ENODEV || err == ENXIO || err == EACCES;
    if (!coming || Clock::now() >= deadline) return -err;
    std::this_thread::sleep_for(kNodePoll);
  }
}

int configure(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return -errno;
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return ::tcsetattr(fd, TCSANOW, &tio) == 0 ? 0 : -errno;
}

// "QT", "PP" and "BM" on a freshly opened port; `sensor` gets the steps to scan.
int start(Sensor &sensor) {
  constexpr const char *fn = "vx_lrf_Init";
  tarsa::scip::Reply reply;
  std::string frame;
  if (const int r = command(sensor.fd.get(), "QT", reply, frame, fn, err::LrfDataFailed); r < 0)
    return r;

  if (const int r = command(sensor.fd.get(), "PP", reply, frame, fn, err::LrfDataFailed); r < 0)
    return r;
  tarsa::scip::Params params;
  if (const Fault f = tarsa::scip::parse_params(reply, params); f != Fault::none)
    return report(fn, err::LrfDataFailed, -EPROTO, f);
  // Steps outside the array's range are not asked for; the array keeps 0 there.
  sensor.first = std::max(params.first, kFirstStep);
  sensor.last = std::min(params.last, kLastStep);
  if (params.steps_per_turn != kStepsPerTurn) {
    vx_error(kFile, __LINE__, fn, err::ValueOutOfRange,
             static_cast<unsigned>(params.steps_per_turn), "LRF steps per turn",
             static_cast<unsigned>(kStepsPerTurn), static_cast<unsigned>(kStepsPerTurn));
    return -EINVAL;
  }
  if (sensor.first > sensor.last) {
    vx_error(kFile, __LINE__, fn, err::ValueOutOfRange, static_cast<unsigned>(params.first),
             "LRF first step", static_cast<unsigned>(kFirstStep), static_cast<unsigned>(kLastStep));
    return -EINVAL;
  }

  if (const int r = command(sensor.fd.get(), "BM", reply, frame, fn, err::LrfDataFailed); r < 0)
    return r;
  if (reply.status != tarsa::scip::kOk && reply.status != tarsa::scip::kLaserWasOn)
    return report(fn, err::LrfDataFailed, -EPROTO, Fault::status);
  return 0;
}

}  // namespace

extern "C" {

int vx_lrf_Power_On(void) {
  const int r = switch_power(1);
  if (r == 0) powered_at = Clock::now();
  return r;
}

int vx_lrf_Power_Off(void) {
  const int r = switch_power(0);
  if (r == 0) powered_at.reset();
  return r;
}

int vx_lrf_Init(const char *port) {
  if (port == nullptr) {
    vx_error(kFile, __LINE__, "vx_lrf_Init", err::LrfCannotOpenSerial, "(null)");
    return -EINVAL;
  }
  Sensor sensor;
  const int fd = open_port(port);
  if (fd < 0) {
    vx_error(kFile, __LINE__, "vx_lrf_Init", err::LrfCannotOpenSerial, port);
    return fd;
  }
  sensor.fd.reset(fd);
  if (const int r = configure(fd); r < 0) {
    vx_error(kFile, __LINE__, "vx_lrf_Init", err::LrfCannotOpenSerial, port);
    return r;
  }
  if (const int r = start(sensor); r < 0) return r;
  sensors[fd] = std::move(sensor);
  return fd;
}

int vx_lrf_GetDistances(int handle) {
  constexpr const char *fn = "vx_lrf_GetDistances";
  const auto it = sensors.find(handle);
  if (it == sensors.end()) {
    vx_error(kFile, __LINE__, fn, err::InvalidValue);
    return -EBADF;
  }
  const Sensor &sensor = it->second;

  tarsa::scip::Reply reply;
  std::string frame;
  const std::string gd = tarsa::scip::distance_command(sensor.first, sensor.last);
  if (const int r = command(sensor.fd.get(), gd, reply, frame, fn, err::LrfDistancesFailed); r < 0)
    return r;
  std::array<std::int32_t, VX_LRF_DISTANCES> scan{};
  const auto measured =
      std::span(scan).subspan(static_cast<std::size_t>(sensor.first - kFirstStep),
                              static_cast<std::size_t>(sensor.last - sensor.first + 1));
  if (const Fault f = tarsa::scip::parse_distances(reply, measured); f != Fault::none)
    return report(fn, err::LrfDistancesFailed, -EPROTO, f);
  for (std::int32_t &d : measured)
    if (d < tarsa::scip::kMinRange) d = 0;
  std::copy(scan.begin(), scan.end(), vx_lrf_DistanceData);
  return 0;
}

int vx_lrf_Close(int handle) {
  const auto it = sensors.find(handle);
  if (it == sensors.end()) {
    vx_error(kFile, __LINE__, "vx_lrf_Close", err::InvalidValue);
    return -EBADF;
  }
  tarsa::scip::Reply reply;
  std::string frame;
  // The port is closed whatever the sensor answers: a silent sensor must not keep it open.
  command(it->second.fd.get(), "QT", reply, frame, "vx_lrf_Close", err::LrfDataFailed, kCloseBound);
  sensors.erase(it);
  return 0;
}

}  // extern "C"
