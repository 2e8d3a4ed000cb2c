// Robot base driver: command protocol of the robot's microcontroller and the operations on it.
#include "tarsa/vx_tarsa4.h"

#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "core/vx_codes.h"
#include "gpio/vx_gpio_internal.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_gpio.h"
#include "tarsa/vx_init.h"

namespace {

// ---- wire protocol: every command of the microcontroller, in one place ----

enum class Kind : std::uint8_t { Read, Write };

struct Command {
  std::uint8_t code;
  Kind kind;
  std::uint8_t len;  // data bytes, without the command byte
};

namespace cmd {
constexpr Command Revision{0x00, Kind::Read, 1};
constexpr Command StatusLeds{0x01, Kind::Write, 1};  // also read back, 1 byte, for a toggle
constexpr Command RgbLeds{0x02, Kind::Write, 9};
constexpr Command ConfigurePid{0x0B, Kind::Write, 3};
constexpr Command SpeedProfile1{0x0E, Kind::Write, 4};
constexpr Command PositionMargin{0x12, Kind::Write, 2};
constexpr Command SpeedProfile2{0x14, Kind::Write, 2};
constexpr Command ResetEncoders{0x16, Kind::Write, 1};
constexpr Command SetMode{0x17, Kind::Write, 1};
constexpr Command SetSpeed{0x18, Kind::Write, 4};
constexpr Command SetSpeedMode4{0x1C, Kind::Write, 4};
constexpr Command SetPosition{0x20, Kind::Write, 8};
constexpr Command GetSpeed{0x28, Kind::Read, 4};
constexpr Command GetPosition{0x2D, Kind::Read, 8};
constexpr Command AmbientIr{0x40, Kind::Read, 24};
constexpr Command ProximityIr{0x58, Kind::Read, 24};
constexpr Command MeasureUs{0x70, Kind::Read, 10};
constexpr Command ActivateUs{0x7A, Kind::Write, 1};
constexpr Command MeasureAcc{0x80, Kind::Read, 60};
constexpr Command MeasureGyro{0xC0, Kind::Read, 60};
constexpr Command BatteryStatus{0xFD, Kind::Read, 12};
}  // namespace cmd

constexpr std::array kCommands{cmd::Revision,      cmd::StatusLeds,    cmd::RgbLeds,
                               cmd::ConfigurePid,  cmd::SpeedProfile1, cmd::PositionMargin,
                               cmd::SpeedProfile2, cmd::ResetEncoders, cmd::SetMode,
                               cmd::SetSpeed,      cmd::SetSpeedMode4, cmd::SetPosition,
                               cmd::GetSpeed,      cmd::GetPosition,   cmd::AmbientIr,
                               cmd::ProximityIr,   cmd::MeasureUs,     cmd::ActivateUs,
                               cmd::MeasureAcc,    cmd::MeasureGyro,   cmd::BatteryStatus};
static_assert(kCommands.size() == 21);
static_assert(cmd::AmbientIr.len == TR4_IR_BYTES && cmd::ProximityIr.len == TR4_IR_BYTES);
static_assert(cmd::MeasureUs.len == TR4_US_BYTES && cmd::MeasureAcc.len == TR4_ACC_BYTES);
static_assert(cmd::MeasureGyro.len == TR4_GYRO_BYTES &&
              cmd::BatteryStatus.len == TR4_BATTERY_BYTES);

constexpr int kModeAltSpeed = 4;  // the mode in which speeds go through the alternative command
namespace err = tarsa::err;

// Results of the operations: codes of the message table, returned positive.
constexpr int kNotInitialized = TR4_ERR_NOT_INITIALIZED;
static_assert(kNotInitialized == err::Tarsa4NotInitialized);
constexpr int kReadFailed = err::Tarsa4ReceiveFailed;
constexpr int kWriteFailed = err::Tarsa4SendFailed;
constexpr int kNoMemory = -12;  // -ENOMEM as a plain number: callers compare with -12
constexpr useconds_t kResetPulseUs = 1000;

// Reports carry fixed lines (204, 223, 246, 309, 361) and the labels "vx_tr4_init",
// "vx_gpio_init", "lyn_getCommand" and "lyn_sendCommand", not this file's own lines and names:
// users and their scripts know the reports by them.
constexpr const char *kFile = "vx_tarsa4";

// ---- byte layouts ----

constexpr void put16(std::span<std::uint8_t> out, int v) {
  const auto u = static_cast<std::uint32_t>(v);
  out[0] = static_cast<std::uint8_t>(u);
  out[1] = static_cast<std::uint8_t>(u >> 8);
}

constexpr void put32(std::span<std::uint8_t> out, int v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(u >> (8 * i));
}

constexpr int get16s(std::span<const std::uint8_t> in) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(in[0] | (in[1] << 8)));
}

constexpr int get32s(std::span<const std::uint8_t> in) {
  const std::uint32_t u = std::uint32_t{in[0]} | (std::uint32_t{in[1]} << 8) |
                          (std::uint32_t{in[2]} << 16) | (std::uint32_t{in[3]} << 24);
  return static_cast<std::int32_t>(u);
}

constexpr std::uint8_t low8(int v) {
  return static_cast<std::uint8_t>(static_cast<unsigned>(v));
}

static_assert(get16s(std::array<std::uint8_t, 2>{0x00, 0x80}) == -32768);
static_assert(get32s(std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}) == -1);

// ---- transport, on top of the two primitives ----

template <std::size_t N>
int send(lyn_dev_t dev, const Command &c, const std::array<std::uint8_t, N> &data) {
  static_assert(N <= 255);
  return tr4_sendcommand(dev, c.code, data.data(), static_cast<int>(N));
}

int receive(lyn_dev_t dev, const Command &c, void *buf) {
  return tr4_getcommand(dev, c.code, buf, c.len);
}

// Claims a line under the label "GPIO_<line>", taking it over from an earlier holder.
bool claim(int gpio) {
  char label[32];
  std::snprintf(label, sizeof label, "GPIO_%d", gpio);
  return tarsa::gpio_claim(gpio, label) == 0;
}

}  // namespace

// The mode last given to tr4_SetMode; chooses the speed command.
static int currentRegType = 0;

// ---- link and start-up ----

extern "C" int tr4_init(int argc, char *argv[]) {
  if (vx_init(argc, argv) < 0) {
    vx_error(kFile, 204, "vx_tr4_init", err::Tarsa4InitFailed);
    return -1;
  }
  if (!claim(TR4_GPIO_RESET))
    vx_error(kFile, 223, "vx_gpio_init", err::InvalidIdentifier,
             "Could not request io for TR4 reset");
  else
    vx_gpio_dir_val(TR4_GPIO_RESET, 0, 1);
  if (!claim(TR4_GPIO_CHARGE))
    vx_error(kFile, 246, "vx_gpio_init", err::InvalidIdentifier,
             "Could not request io for TR4 charge");
  else
    vx_gpio_dir(TR4_GPIO_CHARGE, 1);
  std::atexit(tr4_release);
  return 0;
}

extern "C" void tr4_release(void) {
  gpio_free(TR4_GPIO_RESET);
  gpio_free(TR4_GPIO_CHARGE);
}

extern "C" int tr4_getcommand(lyn_dev_t dev, unsigned char cmd, void *buf, int len) {
  const unsigned char frame[1] = {cmd};
  const int rc = lyn_lltransfer(dev, frame, 1, buf, len);
  if (rc >= 0) return 0;
  vx_error(kFile, 309, "lyn_getCommand", kReadFailed, rc);
  return kReadFailed;
}

extern "C" int tr4_sendcommand(lyn_dev_t dev, unsigned char cmd, const void *data, int len) {
  // A negative length, or one whose frame length does not fit an int, describes no frame.
  if (len < 0 || len == INT_MAX) return kNoMemory;
  // Plain malloc: running out of memory here is a result for the caller, not the end of the
  // process.
  auto *frame = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(len) + 1));
  if (frame == nullptr) return kNoMemory;
  frame[0] = cmd;
  if (len > 0) std::memcpy(frame + 1, data, static_cast<std::size_t>(len));
  const int rc = lyn_llwrite(dev, frame, len + 1);
  std::free(frame);
  if (rc >= 0) return 0;
  vx_error(kFile, 361, "lyn_sendCommand", kWriteFailed, rc);
  return kWriteFailed;
}

extern "C" int tr4_revision(unsigned char *buf, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  return receive(dev, cmd::Revision, buf);
}

extern "C" int tr4_reset(lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  vx_gpio_clear(TR4_GPIO_RESET);
  usleep(kResetPulseUs);
  vx_gpio_set(TR4_GPIO_RESET);
  return 0;
}

// ---- motion ----

extern "C" int tr4_SetMode(int mode, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  currentRegType = mode;
  return send(dev, cmd::SetMode, std::array{low8(mode)});
}

extern "C" int tr4_ResetEncoders(lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  return send(dev, cmd::ResetEncoders, std::array<std::uint8_t, 1>{0x00});
}

extern "C" int tr4_SetPositionMargin(int margin, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  std::array<std::uint8_t, cmd::PositionMargin.len> data{};
  put16(data, margin);
  return send(dev, cmd::PositionMargin, data);
}

extern "C" int tr4_ConfigurePID(int kp, int ki, int kd, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  return send(dev, cmd::ConfigurePid, std::array{low8(kp), low8(ki), low8(kd)});
}

extern "C" int tr4_SetSpeedProfile(int p1, int p2, int p3, int p4, int p5, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  const int rc = send(dev, cmd::SpeedProfile1, std::array{low8(p1), low8(p2), low8(p3), low8(p4)});
  // Only a frame that could not be built stops here; a failed transfer still gets the second frame.
  if (rc < 0) return rc;
  std::array<std::uint8_t, cmd::SpeedProfile2.len> data{};
  put16(data, p5);
  return send(dev, cmd::SpeedProfile2, data);
}

extern "C" int tr4_set_position(int left, int right, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  std::array<std::uint8_t, cmd::SetPosition.len> data{};
  put32(std::span(data).first<4>(), left);
  put32(std::span(data).last<4>(), right);
  return send(dev, cmd::SetPosition, data);
}

extern "C" int tr4_set_speed(int left, int right, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  std::array<std::uint8_t, cmd::SetSpeed.len> data{};
  put16(std::span(data).first<2>(), left);
  put16(std::span(data).last<2>(), right);
  return send(dev, currentRegType == kModeAltSpeed ? cmd::SetSpeedMode4 : cmd::SetSpeed, data);
}

extern "C" int tr4_get_position(int *left, int *right, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  std::array<std::uint8_t, cmd::GetPosition.len> reply{};
  const int rc = receive(dev, cmd::GetPosition, reply.data());
  *left = get32s(std::span(reply).first<4>());
  *right = get32s(std::span(reply).last<4>());
  return rc;
}

extern "C" int tr4_get_speed(int *left, int *right, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  std::array<std::uint8_t, cmd::GetSpeed.len> reply{};
  const int rc = receive(dev, cmd::GetSpeed, reply.data());
  *left = get16s(std::span(reply).first<2>());
  *right = get16s(std::span(reply).last<2>());
  return rc;
}

// ---- sensors, battery, LEDs ----
// ("ambiant" and the mixed case of some names are the API's spelling: programs link by them.)

namespace {
int read_sensor(const Command &c, unsigned char *buf, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  return receive(dev, c, buf);
}
}  // namespace

extern "C" int tr4_proximity_ir(unsigned char *buf, lyn_dev_t dev) {
  return read_sensor(cmd::ProximityIr, buf, dev);
}
extern "C" int tr4_ambiant_ir(unsigned char *buf, lyn_dev_t dev) {
  return read_sensor(cmd::AmbientIr, buf, dev);
}
extern "C" int tr4_measure_us(unsigned char *buf, lyn_dev_t dev) {
  return read_sensor(cmd::MeasureUs, buf, dev);
}
extern "C" int tr4_measure_acc(unsigned char *buf, lyn_dev_t dev) {
  return read_sensor(cmd::MeasureAcc, buf, dev);
}
extern "C" int tr4_measure_gyro(unsigned char *buf, lyn_dev_t dev) {
  return read_sensor(cmd::MeasureGyro, buf, dev);
}
extern "C" int tr4_battery_status(unsigned char *buf, lyn_dev_t dev) {
  return read_sensor(cmd::BatteryStatus, buf, dev);
}

extern "C" int tr4_battery_charge(lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  const int level = vx_gpio_get(TR4_GPIO_CHARGE);
  if (level < 0) return level;
  return level == 0 ? 1 : 0;  // the charger pulls the line low
}

extern "C" int tr4_activate_us(int mask, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  return send(dev, cmd::ActivateUs, std::array{low8(mask)});
}

extern "C" int tr4_SetStatusLeds(int value, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  return send(dev, cmd::StatusLeds, std::array{low8(value)});
}

extern "C" int tr4_ToggleStatusLed(int led, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  constexpr std::uint8_t kToggleLow = 0x02, kToggleHigh = 0x20;
  std::array<std::uint8_t, 1> status{};
  // Without the current byte the other LED's half is unknown: writing a guess would change it.
  if (const int rc = receive(dev, cmd::StatusLeds, status.data()); rc != 0) return rc;
  status[0] = led != 0 ? static_cast<std::uint8_t>((status[0] & 0x0F) | kToggleHigh)
                       : static_cast<std::uint8_t>((status[0] & 0xF0) | kToggleLow);
  return send(dev, cmd::StatusLeds, status);
}

extern "C" int tr4_SetRGBLeds(int c1, int c2, int c3, int c4, int c5, int c6, int c7, int c8,
                              int c9, lyn_dev_t dev) {
  if (dev == nullptr) return kNotInitialized;
  constexpr auto six = [](int v) {
    return static_cast<std::uint8_t>(static_cast<unsigned>(v) & 0x3F);
  };
  return send(
      dev, cmd::RgbLeds,
      std::array{six(c1), six(c2), six(c3), six(c4), six(c5), six(c6), six(c7), six(c8), six(c9)});
}
