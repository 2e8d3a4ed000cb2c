// StarGazer localisation sensor: serial link and command exchange, parameter commands, position
// records, and the calibration that fits an ellipse to the positions of a robot turning on the
// spot.
#include "tarsa/vx_stargazer.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <span>
#include <string_view>

#include "core/unique_fd.h"
#include "stargazer/matrix.h"
#include "tarsa/vx_tarsa4.h"

// Landmark names as the sensor spells them; the codes are the indices.
extern "C" {
const char *const vx_gazer_landmark_types[VX_GAZER_LANDMARK_TYPES] = {"HLD1S", "HLD1L", "HLD2S",
                                                                      "HLD2L", "HLD3S", "HLD3L"};
const char *const vx_gazer_landmark_modes[VX_GAZER_LANDMARK_MODES] = {"Alone", "Map"};
const char *const vx_gazer_height_fix_modes[VX_GAZER_HEIGHT_FIX_MODES] = {"No", "Yes"};

double center_x0 = 0.0;
double center_y0 = 0.0;
double a_axis = 0.0;
double b_axis = 0.0;
double angle_rot = 0.0;
}

namespace {

// ---- protocol ----

constexpr const char *kPortPath = "/dev/ttyO0";

// Texts of the line protocol: a message is "~", its kind, a name, "|" and a value, "`".
namespace text {
constexpr const char *CalcStop = "~#CalcStop`";
constexpr const char *CalcStart = "~#CalcStart`";
constexpr const char *MapModeStart = "~#MapMode|Start`";
constexpr std::string_view ParameterUpdate = "~!ParameterUpdate`";
constexpr std::string_view DeadZone = "DeadZone";
constexpr std::string_view MapId = "MAPID";
constexpr std::string_view VersionPrefix = "~$Version|";
}  // namespace text

namespace param {
constexpr const char *IdNum = "IDNum";
constexpr const char *RefId = "RefID";
constexpr const char *MarkType = "MarkType";
constexpr const char *MarkMode = "MarkMode";
constexpr const char *HeightFix = "HeightFix";
constexpr const char *Version = "Version";
constexpr const char *SetEnd = "SetEnd";
}  // namespace param

constexpr int kNotOpen = -1;
constexpr std::size_t kBufferSize = 2048;  // one reply or one batch of position records
constexpr std::size_t kMapIdOffset = 8;    // where a map identifier report holds its number

// Pacing: the sensor takes one byte every 30 ms, and this pause is also all the time it gets to
// answer before the reply is read.
constexpr long kBytePauseUs = 30000;
constexpr int kStopAttempts = 10;
constexpr long kStopRetryPauseUs = 100000;
constexpr long kStartPauseUs = 200000;
constexpr long kSetEndWaitUs = 3000000;

constexpr double kPi = 3.141592653589793;
// The sensor's offset on the ellipse is measured from the heading plus this angle, in degrees.
constexpr double kEllipseOffsetDeg = 100.0;

// ---- the port ----

// The open port; a failed open leaves its negative result here, which counts as not open.
tarsa::UniqueFd SerialDeviceHandle;

bool port_open() {
  return SerialDeviceHandle.valid();
}

// Sleeps the whole time even when a signal arrives meanwhile.
void pause_us(long us) {
  timespec left{us / 1000000, (us % 1000000) * 1000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Opens `path` as the sensor's line: 115200 baud, 8N1, raw, reads that return at once with what
// is waiting. *fd gets the descriptor or the failed open's result.
int openserial(int *fd, const char *path) {
  *fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (*fd < 0) return -1;
  termios tio{};
  ::tcgetattr(*fd, &tio);
  tio.c_iflag = IGNPAR;
  tio.c_oflag = 0;
  tio.c_cflag = B115200 | CS8 | CREAD | CLOCAL;
  tio.c_lflag = 0;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::tcsetattr(*fd, TCSANOW, &tio);
  // Blocking again; with VMIN and VTIME 0 a read still returns at once.
  ::fcntl(*fd, F_SETFL, 0);
  return 0;
}

// Sends `msg` one byte at a time, each followed by the pause (the last one too).
void write_serial(int fd, std::string_view msg) {
  for (char c : msg) {
    (void)!::write(fd, &c, 1);
    pause_us(kBytePauseUs);
  }
}

int bytes_waiting(int fd) {
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) != 0) return 0;
  return n;
}

// Counts the reads of the line by the operations other than the poller, and the openings and
// closings of the port: a record the poller holds in part cannot be continued across either.
std::atomic<unsigned> line_taken{0};

// What one read found, NUL-terminated: at most kBufferSize - 1 bytes.
struct Received {
  std::array<char, kBufferSize> buf;
  std::size_t len = 0;

  // Takes up to `n` of the bytes waiting, in one read.
  void take(int fd, int n) {
    line_taken.fetch_add(1, std::memory_order_relaxed);
    len = 0;
    if (n > 0) {
      const ssize_t got = ::read(fd, buf.data(), std::min<std::size_t>(n, kBufferSize - 1));
      if (got > 0) len = static_cast<std::size_t>(got);
    }
    buf[len] = '\0';
  }
  std::string_view text() const { return {buf.data(), len}; }
  bool holds(std::string_view s) const { return text().find(s) != std::string_view::npos; }
};

// One exchange: sends `msg`, then takes what has arrived meanwhile. Anything later stays queued
// for the next exchange.
void exchange(std::string_view msg, Received &reply) {
  const int fd = SerialDeviceHandle.get();
  write_serial(fd, msg);
  reply.take(fd, bytes_waiting(fd));
}

// Sends a "#" message; true when the reply holds its acknowledgement, the same text with "!" as
// its second character.
bool acknowledged(std::string_view msg, Received &reply) {
  exchange(msg, reply);
  std::array<char, kBufferSize> ack{};
  const std::size_t n = std::min(msg.size(), ack.size());
  std::memcpy(ack.data(), msg.data(), n);
  if (n > 1) ack[1] = '!';
  return reply.holds({ack.data(), n});
}

int stop_computation() {
  if (!port_open()) return kNotOpen;
  Received reply;
  return acknowledged(text::CalcStop, reply) ? 0 : -2;
}

int wait_stop_computation() {
  int rc = kNotOpen;
  for (int attempt = 0; attempt < kStopAttempts; ++attempt) {
    rc = stop_computation();
    if (rc == 0) return 0;
    pause_us(kStopRetryPauseUs);
  }
  return rc;
}

// ---- parameters ----

// Formats a message into a buffer of the reply's size.
template <typename... Args>
std::string_view format(std::array<char, kBufferSize> &out, const char *fmt, Args... args) {
  const int n = std::snprintf(out.data(), out.size(), fmt, args...);
  return {out.data(), n < 0 ? 0 : std::min<std::size_t>(n, out.size() - 1)};
}

int set_integer(const char *name, int value) {
  if (!port_open()) return kNotOpen;
  std::array<char, kBufferSize> msg;
  Received reply;
  return acknowledged(format(msg, "~#%s|%d`", name, value), reply) ? 0 : -2;
}

int set_named(const char *name, unsigned code, std::span<const char *const> names) {
  if (!port_open()) return kNotOpen;
  if (code >= names.size()) return -3;
  std::array<char, kBufferSize> msg;
  Received reply;
  return acknowledged(format(msg, "~#%s|%s`", name, names[code]), reply) ? 0 : -2;
}

// Sends "~@name`"; the position of the value reply "~$name|" in `reply`, or npos.
std::size_t query(const char *name, Received &reply) {
  std::array<char, kBufferSize> msg;
  exchange(format(msg, "~@%s`", name), reply);
  std::array<char, kBufferSize> prefix;
  return reply.text().find(format(prefix, "~$%s|", name));
}

int get_integer(const char *name, int *value) {
  if (!port_open()) return kNotOpen;
  Received reply;
  const std::size_t at = query(name, reply);
  if (at == std::string_view::npos || value == nullptr) return -2;
  // The value starts right after "~$name|".
  int v = 0;
  if (std::sscanf(reply.buf.data() + at + 3 + std::strlen(name), "%d", &v) != 1) return -2;
  *value = v;
  return 0;
}

// The first name of the table, in code order, found anywhere in the reply gives the code.
int get_named(const char *name, int *code, std::span<const char *const> names) {
  if (!port_open()) return kNotOpen;
  Received reply;
  if (query(name, reply) == std::string_view::npos || code == nullptr) return -2;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (reply.holds(names[k])) {
      *code = static_cast<int>(k);
      return 0;
    }
  }
  *code = 0;
  return -3;
}

// ---- positions ----

// Receive buffer of the position reads, reused by every call.
Received cread;

// Library heading from the sensor's: the sensor counts the other way, from a quarter turn away.
double convert_heading(double sent) {
  double h = 90.0 - sent;
  if (h < 0.0)
    h += 360.0;
  else if (h > 360.0)
    h -= 360.0;
  return h;
}

template <typename T>
void put(T *out, T value) {
  if (out != nullptr) *out = value;
}

// Takes off x and y the offset that the calibrated ellipse gives for `heading` (converted): its
// point for that heading, about the origin.
void correct_position(double heading, double &x, double &y) {
  const double t = (heading + kEllipseOffsetDeg - angle_rot) * kPi / 180.0;
  const double p = angle_rot * kPi / 180.0;
  x -= a_axis * std::cos(t) * std::cos(p) - b_axis * std::sin(t) * std::sin(p);
  y -= a_axis * std::cos(t) * std::sin(p) + b_axis * std::sin(t) * std::cos(p);
}

int read_data(double *x, double *y, double *height, double *angle, int *id, char *mode,
              int correct) {
  if (!port_open()) return kNotOpen;
  const int fd = SerialDeviceHandle.get();
  int n = bytes_waiting(fd);
  if (n >= static_cast<int>(kBufferSize)) {
    // A reader that fell behind: drop the backlog rather than parse stale records.
    ::tcflush(fd, TCIFLUSH);
    n = bytes_waiting(fd);
    if (n >= static_cast<int>(kBufferSize)) return -3;
  }
  cread.take(fd, n);
  if (cread.len == 0) return -8;
  const std::string_view received = cread.text();

  // Reports that come instead of a record, in this order of precedence.
  if (cread.holds(text::DeadZone)) return -6;
  if (cread.holds(text::MapId) && received.back() == '`') {
    int number = 0;
    // A text that ends before the number's place has none.
    if (cread.len <= kMapIdOffset ||
        std::sscanf(cread.buf.data() + kMapIdOffset, "%d", &number) != 1)
      return -9;
    return number;
  }
  if (cread.holds(text::ParameterUpdate)) return 1;
  if (cread.len < 2 || received[0] != '~' || received[1] != '^' || received.back() != '`')
    return -7;

  // "~^" mode, identifier, then heading, x, y and height, each after one separator character.
  char m = 0;
  int ident = 0;
  double sent_heading = 0, px = 0, py = 0, h = 0;
  const int fields = std::sscanf(cread.buf.data(), "%*c%*c%c%d%*c%lf%*c%lf%*c%lf%*c%lf", &m, &ident,
                                 &sent_heading, &px, &py, &h);
  if (fields < 6) {
    // The fields read before the parse stopped are passed on, the heading as sent.
    if (fields >= 1) put(mode, m);
    if (fields >= 2) put(id, ident);
    if (fields >= 3) put(angle, sent_heading);
    if (fields >= 4) put(x, px);
    if (fields >= 5) put(y, py);
    return -5;
  }

  const double heading = convert_heading(sent_heading);
  if (correct == 1) correct_position(heading, px, py);
  put(x, px);
  put(y, py);
  put(height, h);
  put(angle, heading);
  put(id, ident);
  put(mode, m);
  return 0;
}

// ---- positions, polled ----

// Parses a decimal number at the start of `s` ("-12.5", "+3", "7"), finite; advances `s` past it.
bool take_number(std::string_view &s, double &v) {
  std::size_t skip = 0;
  if (!s.empty() && s[0] == '+') skip = 1;  // from_chars takes a minus only
  const char *begin = s.data() + skip, *end = s.data() + s.size();
  if (begin == end || !(std::isdigit(static_cast<unsigned char>(*begin)) || *begin == '.' ||
                        (*begin == '-' && skip == 0)))
    return false;
  const auto [ptr, ec] = std::from_chars(begin, end, v, std::chars_format::fixed);
  if (ec != std::errc() || !std::isfinite(v)) return false;
  s.remove_prefix(static_cast<std::size_t>(ptr - s.data()));
  return true;
}

// A whole message "~^<letter><digits>|<heading>|<x>|<y>|<height>`", strictly.
bool parse_record(std::string_view m, vx_stargazer_position_t &r) {
  if (m.size() < 4 || m.substr(0, 2) != "~^" || m.back() != '`') return false;
  m.remove_prefix(2);
  m.remove_suffix(1);
  if (!std::isalpha(static_cast<unsigned char>(m[0]))) return false;
  r.mode = m[0];
  m.remove_prefix(1);
  if (m.empty() || !std::isdigit(static_cast<unsigned char>(m[0]))) return false;
  const auto [ptr, ec] = std::from_chars(m.data(), m.data() + m.size(), r.id);
  if (ec != std::errc()) return false;
  m.remove_prefix(static_cast<std::size_t>(ptr - m.data()));
  double *fields[] = {&r.angle, &r.x, &r.y, &r.height};
  for (double *f : fields) {
    if (m.empty() || m[0] != '|') return false;
    m.remove_prefix(1);
    if (!take_number(m, *f)) return false;
  }
  return m.empty();
}

// The poller's state, one per process: the message in progress across calls.
struct Poller {
  std::mutex lock;
  std::array<char, VX_GAZER_POLL_MAX_MESSAGE> msg{};
  std::size_t len = 0;  // bytes of msg held; 0: outside a message
  unsigned taken = 0;   // line_taken when the held part was read

  // What one call found.
  enum class Newest { none, record, dead_zone } newest = Newest::none;
  vx_stargazer_position_t record{};
  unsigned dropped = 0, skipped = 0;

  void drop_partial() {
    skipped += static_cast<unsigned>(len);
    len = 0;
  }

  void complete() {
    const std::string_view m(msg.data(), len);
    len = 0;
    vx_stargazer_position_t r{};
    Newest kind = Newest::none;
    if (parse_record(m, r))
      kind = Newest::record;
    else if (m.find(text::DeadZone) != std::string_view::npos)
      kind = Newest::dead_zone;
    if (kind == Newest::none) {
      skipped += static_cast<unsigned>(m.size());
      return;
    }
    if (newest != Newest::none) ++dropped;
    newest = kind;
    if (kind == Newest::record) record = r;
  }

  // Messages run from a tilde to the next backtick, in printable characters; a tilde inside one
  // starts the next (the one before was cut off).
  void feed(char c) {
    if (c == '~') {
      drop_partial();
      msg[len++] = c;
      return;
    }
    if (len == 0 || c < 0x20 || c > 0x7e) {
      drop_partial();
      ++skipped;
      return;
    }
    msg[len++] = c;
    if (c == '`')
      complete();
    else if (len == msg.size())
      drop_partial();  // over-long: noise until the next tilde
  }
};

Poller poller;

int poll(vx_stargazer_position_t *out, int correct) {
  if (!port_open()) return VX_GAZER_POLL_NOT_OPEN;
  if (out == nullptr) return VX_GAZER_POLL_NO_OUTPUT;
  std::lock_guard guard(poller.lock);
  const int fd = SerialDeviceHandle.get();
  poller.newest = Poller::Newest::none;
  poller.dropped = poller.skipped = 0;
  const unsigned taken = line_taken.load(std::memory_order_relaxed);
  if (taken != poller.taken) {
    poller.drop_partial();
    poller.taken = taken;
  }

  // What was waiting when the call began; what comes meanwhile is left to the next call.
  int left = 0;
  bool failed = ::ioctl(fd, FIONREAD, &left) != 0;
  std::array<char, 512> chunk;
  while (left > 0) {
    const ssize_t got = ::read(fd, chunk.data(),
                               std::min<std::size_t>(static_cast<std::size_t>(left), chunk.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno != EAGAIN) failed = true;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) poller.feed(chunk[static_cast<std::size_t>(i)]);
    left -= static_cast<int>(got);
  }

  out->dropped = poller.dropped;
  out->skipped = poller.skipped;
  switch (poller.newest) {
    case Poller::Newest::record: {
      vx_stargazer_position_t r = poller.record;
      r.angle = convert_heading(r.angle);
      r.corrected = correct != 0;
      if (r.corrected) correct_position(r.angle, r.x, r.y);
      r.dropped = poller.dropped;
      r.skipped = poller.skipped;
      *out = r;
      return VX_GAZER_POLL_POSITION;
    }
    case Poller::Newest::dead_zone:
      return VX_GAZER_POLL_DEAD_ZONE;
    case Poller::Newest::none:
      break;
  }
  return failed ? VX_GAZER_POLL_READ_FAILED : VX_GAZER_POLL_NOTHING_NEW;
}

// ---- calibration ----

constexpr int kMaxPoints = VX_GAZER_MAX_POINTS;
constexpr int kOrder = 6;        // unknowns of the general conic
constexpr int kSq = kOrder + 1;  // stride of the 6 x 6 matrices
constexpr double kEigenMax = 1e21;
constexpr double kEigenMin = 1e-19;
constexpr double kResidualLimit = 5.0;
constexpr int kTurnSpeed = 40;
constexpr int kControlMode = 1;
constexpr long kSettleUs = 500000;
constexpr long kSampleUs = 100000;
constexpr long kNoCheckS = 2;  // the turn is not tested for completion before this
constexpr long kTurnLimitS = 60;

// Direct least-squares fit of a general conic a x^2 + 2b xy + c y^2 + 2d x + 2f y + g = 0 under
// Bookstein's normalisation 2a^2 + b^2 + 2c^2, as the generalised eigenproblem C s = l S s.
int fit_ellipse(const double *x, const double *y, int n, double *x0, double *y0, double *angle,
                double *axis_a, double *axis_b) {
  namespace mx = tarsa::matrix;
  if (n < kOrder) return 0;
  if (n > kMaxPoints) return -2;
  // Zero-filled: a Cholesky step that stops leaves L zero, so that its inverse fails cleanly.
  static_assert(kMaxPoints == 2048);
  double design[(kMaxPoints + 1) * kSq] = {};
  double scatter[kSq * kSq] = {}, l[kSq * kSq] = {}, inv_l[kSq * kSq] = {}, c[kSq * kSq] = {};
  double t[kSq * kSq] = {}, m[kSq * kSq] = {}, v[kSq * kSq] = {}, sol[kSq * kSq] = {};
  double d[kSq] = {};
  int rotations = 0;

  for (int i = 1; i <= n; ++i) {
    const double px = x[i - 1], py = y[i - 1];
    double *row = design + i * kSq;
    row[1] = px * px;
    row[2] = px * py;
    row[3] = py * py;
    row[4] = px;
    row[5] = py;
    row[6] = 1.0;
  }
  mx::A_TperB(design, design, scatter, n, kOrder, kOrder);
  mx::choldc(scatter, kOrder, l);
  if (mx::inverse(l, inv_l, kOrder) != 0) {
    std::puts("ERROR inverting matrix L may be singular!");
    return -1;
  }
  c[1 * kSq + 1] = 2.0;
  c[2 * kSq + 2] = 1.0;
  c[3 * kSq + 3] = 2.0;
  mx::AperB_T(c, inv_l, t, kOrder, kOrder, kOrder);
  mx::AperB(inv_l, t, m, kOrder, kOrder, kOrder);
  mx::jacobi(m, kOrder, d, v, &rotations);
  mx::A_TperB(inv_l, v, sol, kOrder, kOrder, kOrder);
  for (int k = 1; k <= kOrder; ++k) {
    double norm = 0.0;
    for (int i = 1; i <= kOrder; ++i) norm += sol[i * kSq + k] * sol[i * kSq + k];
    norm = std::sqrt(norm);
    for (int i = 1; i <= kOrder; ++i) sol[i * kSq + k] /= norm;
  }
  int chosen = 0;
  for (int k = 1; k <= kOrder; ++k)
    if (d[k] < kEigenMax && std::fabs(d[k]) > kEigenMin) chosen = k;
  auto coef = [&](int i) { return chosen != 0 ? sol[i * kSq + chosen] : 0.0; };
  const double a = coef(1), b = coef(2) / 2, cc = coef(3), dx = coef(4) / 2, fy = coef(5) / 2,
               g = coef(6);

  const double den = b * b - a * cc;
  const double num = 2 * (cc * dx * dx + a * fy * fy + g * b * b - 2 * b * dx * fy - a * cc * g);
  const double r = std::sqrt((a - cc) * (a - cc) + 4 * b * b);
  double orientation = 0.0;
  if (b == 0 && a < cc)
    orientation = 0.0;
  else if (b == 0 && a > cc)
    orientation = 90.0;
  else if (b != 0 && a < cc)
    orientation = 0.5 * std::atan(2 * b / (a - cc)) * 180 / kPi;
  else if (b != 0 && a > cc)
    orientation = 0.5 * std::atan(2 * b / (a - cc)) * 180 / kPi + 90;
  *x0 = (cc * dx - b * fy) / den;
  *y0 = (a * fy - b * dx) / den;
  *axis_a = std::sqrt(num / (den * (r - (a + cc))));
  *axis_b = std::sqrt(num / (den * (-r - (a + cc))));
  *angle = orientation;
  return 0;
}

// Seconds of the monotonic clock: a wall clock set back must not keep the robot turning.
long now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long>(ts.tv_sec);
}

void progress_prefix() {
  std::printf("\x1b[%d`\x1b[K", 1);
}

int calibrate(lyn_dev_t robot, double *x0, double *y0, double *angle, double *axis_a,
              double *axis_b, double *rms_x, double *rms_y, int *first) {
  double x = 0, y = 0, height = 0, start = 0;
  int id = 0;
  char mode = 0;
  const int reading = read_data(&x, &y, &height, &start, &id, &mode, 0);
  put(first, reading);
  if (reading != 0) return VX_GAZER_CAL_NO_START;

  tr4_SetMode(kControlMode, robot);
  tr4_set_speed(-kTurnSpeed, kTurnSpeed, robot);
  pause_us(kSettleUs);
  const long t0 = now_s();

  double xs[kMaxPoints], ys[kMaxPoints], headings[kMaxPoints];
  int count = 0;
  double current = start;
  for (;;) {
    // A read that brings no new record leaves the last values, which are recorded again.
    read_data(&x, &y, &height, &current, &id, &mode, 0);
    if (count < kMaxPoints) {
      xs[count] = x;
      ys[count] = y;
      headings[count] = current;
      ++count;
    }
    const long elapsed = now_s() - t0;
    double turned = current - start;
    if (current < start) turned += 360.0;
    // Back within 5 degrees past the start heading.
    const bool done = elapsed > kNoCheckS && std::trunc(turned) >= -4 && std::trunc(turned) <= 4;
    if (elapsed > kTurnLimitS) {
      tr4_set_speed(0, 0, robot);
      return VX_GAZER_CAL_NO_TURN;
    }
    progress_prefix();
    std::printf("  start angle: %5.1f current angle: %5.1f    done: %4.1f %%", start, current,
                turned / 3.6);
    std::fflush(stdout);
    pause_us(kSampleUs);
    if (done) break;
  }
  tr4_set_speed(0, 0, robot);
  progress_prefix();
  std::printf("  start angle: %5.1f current angle: %5.1f\n", start, current);

  if (const int r =
          fit_ellipse(xs, ys, count, &center_x0, &center_y0, &angle_rot, &a_axis, &b_axis);
      r != 0) {
    std::printf("\nERROR: computing ellipse parameters (error : %d)!\n", r);
    return VX_GAZER_CAL_FIT_FAILED;
  }
  // Residual of each sample: the fitted ellipse's point for its heading minus the sample.
  const double p = angle_rot * kPi / 180.0;
  double sum_x = 0, sum_y = 0;
  for (int i = 0; i < count; ++i) {
    const double t = (headings[i] + kEllipseOffsetDeg - angle_rot) * kPi / 180.0;
    const double ex =
        center_x0 - xs[i] + a_axis * std::cos(t) * std::cos(p) - b_axis * std::sin(t) * std::sin(p);
    const double ey =
        center_y0 - ys[i] + a_axis * std::cos(t) * std::sin(p) + b_axis * std::sin(t) * std::cos(p);
    sum_x += ex * ex;
    sum_y += ey * ey;
  }
  const double rx = std::sqrt(sum_x / count), ry = std::sqrt(sum_y / count);
  put(angle, angle_rot);
  put(axis_a, a_axis);
  put(axis_b, b_axis);
  put(x0, center_x0);
  put(y0, center_y0);
  put(rms_x, rx);
  put(rms_y, ry);
  // A NaN fails too.
  return rx <= kResidualLimit && ry <= kResidualLimit ? VX_GAZER_CAL_DONE : VX_GAZER_CAL_POOR_FIT;
}

}  // namespace

extern "C" {

// ---- link ----

int vx_stargazer_Init(void) {
  line_taken.fetch_add(1, std::memory_order_relaxed);
  int fd = -1;
  const int rc = openserial(&fd, kPortPath);
  SerialDeviceHandle.reset(fd);  // closes a port left open by an earlier start
  if (rc != 0) return -2;
  return wait_stop_computation() == 0 ? 0 : -3;
}

int vx_stargazer_Close(void) {
  if (!port_open()) return kNotOpen;
  line_taken.fetch_add(1, std::memory_order_relaxed);
  return SerialDeviceHandle.reset();
}

int vx_gazer_stop_computation(void) {
  return stop_computation();
}

int vx_gazer_wait_stop_computation(void) {
  return wait_stop_computation();
}

int vx_gazer_start_computation(void) {
  if (!port_open()) return kNotOpen;
  Received reply;
  if (!acknowledged(text::CalcStart, reply)) return -2;
  pause_us(kStartPauseUs);
  return 0;
}

// ---- parameters ----

int vx_gazer_get_version(char *out) {
  if (!port_open()) return kNotOpen;
  Received reply;
  const std::size_t at = query(param::Version, reply);
  if (at == std::string_view::npos) return -3;
  const std::size_t from = at + text::VersionPrefix.size();
  const std::size_t end = reply.text().find('`', from);
  if (end == std::string_view::npos) return -3;
  if (out == nullptr) return -2;
  // The reply buffer bounds the text to VX_GAZER_VERSION_SIZE - 1 characters.
  const std::size_t n = std::min<std::size_t>(end - from, VX_GAZER_VERSION_SIZE - 1);
  std::memcpy(out, reply.buf.data() + from, n);
  out[n] = '\0';
  return 0;
}

int vx_gazer_set_landmark_number(int value) {
  return set_integer(param::IdNum, value);
}
int vx_gazer_get_landmark_number(int *value) {
  return get_integer(param::IdNum, value);
}
int vx_gazer_set_ref_id(int value) {
  return set_integer(param::RefId, value);
}
int vx_gazer_get_ref_id(int *value) {
  return get_integer(param::RefId, value);
}

int vx_gazer_set_landmark_type(unsigned code) {
  return set_named(param::MarkType, code, vx_gazer_landmark_types);
}
int vx_gazer_get_landmark_type(int *code) {
  return get_named(param::MarkType, code, vx_gazer_landmark_types);
}
int vx_gazer_set_landmark_mode(unsigned code) {
  return set_named(param::MarkMode, code, vx_gazer_landmark_modes);
}
int vx_gazer_get_landmark_mode(int *code) {
  return get_named(param::MarkMode, code, vx_gazer_landmark_modes);
}
int vx_gazer_set_height_fix_mode(unsigned code) {
  return set_named(param::HeightFix, code, vx_gazer_height_fix_modes);
}
int vx_gazer_get_height_fix_mode(int *code) {
  return get_named(param::HeightFix, code, vx_gazer_height_fix_modes);
}

int vx_gazer_start_map_mode(void) {
  if (!port_open()) return kNotOpen;
  if (wait_stop_computation() != 0) return -2;
  Received reply;
  return acknowledged(text::MapModeStart, reply) ? 0 : -4;
}

int vx_gazer_set_end_command(void) {
  if (!port_open()) return kNotOpen;
  std::array<char, kBufferSize> msg;
  Received reply;
  if (!acknowledged(format(msg, "~#%s`", param::SetEnd), reply)) return -2;
  // The sensor reports the update on its own once the new parameters are in force.
  pause_us(kSetEndWaitUs);
  const int fd = SerialDeviceHandle.get();
  reply.take(fd, bytes_waiting(fd));
  return reply.holds(text::ParameterUpdate) ? 0 : -3;
}

// ---- positions and calibration ----

int vx_stargazer_read_data(double *x, double *y, double *height, double *angle, int *id, char *mode,
                           int correct) {
  return read_data(x, y, height, angle, id, mode, correct);
}

int compute_ellipse(const double *x, const double *y, int n, double *x0, double *y0, double *angle,
                    double *axis_a, double *axis_b) {
  return fit_ellipse(x, y, n, x0, y0, angle, axis_a, axis_b);
}

int vx_stargazer_poll(vx_stargazer_position_t *out, int correct) {
  return poll(out, correct);
}

int vx_gazer_calibration(lyn_dev_t robot, double *x0, double *y0, double *angle, double *axis_a,
                         double *axis_b, double *rms_x, double *rms_y) {
  int first = 0;
  const int rc = calibrate(robot, x0, y0, angle, axis_a, axis_b, rms_x, rms_y, &first);
  // A first reading that gave no position returns its own result, less 4 (a map report's number
  // may be any int: wrapped, not overflowed).
  return rc == VX_GAZER_CAL_NO_START ? static_cast<int>(static_cast<unsigned>(first) - 4u) : rc;
}

int vx_gazer_calibrate(lyn_dev_t robot, double *x0, double *y0, double *angle, double *axis_a,
                       double *axis_b, double *rms_x, double *rms_y, int *first) {
  return calibrate(robot, x0, y0, angle, axis_a, axis_b, rms_x, rms_y, first);
}

}  // extern "C"
