// Motor controller board driver: one motor per device, registers through the network layer.
#include "tarsa/dvn.h"

#include <array>
#include <cerrno>
#include <cstdint>

namespace {

// The register map of one motor (documented in the header).
struct Register {
  int number;
  int width;  // bytes
};
namespace reg {
constexpr Register Version{0x00, 1};
constexpr Register Status{0x01, 2};  // status byte, error byte
constexpr Register ErrorClear{0x02, 1};
constexpr Register Options{0x10, 2};  // option A byte, option B byte
constexpr Register SpeedCommand{0x20, 2};
constexpr int kMeasureBase = 0x40;  // measure k: high word at base + k, low word after it
}  // namespace reg

constexpr std::array kMeasures{DVN_POSITION, DVN_SPEED, DVN_CURRENT, DVN_SUPPLY};

// The layer answers -1 with errno, or a negated errno; callers of this driver get the latter.
int code(int rc) {
  if (rc >= 0) return 0;
  if (rc == -1) return errno > 0 ? -errno : -EIO;
  return rc;
}

int read_bytes(lyn_dev_t dev, Register r, std::uint8_t *out) {
  if (dev == nullptr) return -EINVAL;
  const auto number = static_cast<std::uint8_t>(r.number);
  errno = 0;
  return code(lyn_lltransfer(dev, &number, 1, out, r.width));
}

int write_bytes(lyn_dev_t dev, Register r, const std::uint8_t *data) {
  if (dev == nullptr) return -EINVAL;
  std::array<std::uint8_t, 3> frame{static_cast<std::uint8_t>(r.number)};
  for (int i = 0; i < r.width; ++i) frame[static_cast<std::size_t>(i) + 1] = data[i];
  const int len = r.width + 1;
  errno = 0;
  const int rc = lyn_llwrite(dev, frame.data(), len);
  if (rc >= 0 && rc != len) return -EIO;
  return code(rc);
}

bool is_byte(int v) {
  return v >= 0 && v <= 0xFF;
}

}  // namespace

extern "C" {

int dvn_GetFWVersion(lyn_dev_t dev, int *version) {
  if (version == nullptr) return -EINVAL;
  std::uint8_t v = 0;
  const int rc = read_bytes(dev, reg::Version, &v);
  if (rc == 0) *version = v;
  return rc;
}

int dvn_SetOptions(lyn_dev_t dev, int a, int b) {
  if (!is_byte(a) || !is_byte(b)) return -EINVAL;
  const std::array<std::uint8_t, 2> v{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
  return write_bytes(dev, reg::Options, v.data());
}

int32_t dvn_GetMeasure(lyn_dev_t dev, int kind) {
  bool known = false;
  for (int k : kMeasures) known = known || k == kind;
  if (dev == nullptr || !known) {
    errno = EINVAL;
    return DVN_MEASURE_FAILED;
  }
  // High word first: it freezes the low word of the same sample.
  std::uint16_t hi = 0, lo = 0;
  errno = 0;
  int rc = code(lyn_read16(dev, reg::kMeasureBase + kind, &hi));
  if (rc == 0) {
    errno = 0;
    rc = code(lyn_read16(dev, reg::kMeasureBase + kind + 1, &lo));
  }
  if (rc < 0) {
    errno = -rc;
    return DVN_MEASURE_FAILED;
  }
  return static_cast<int32_t>(static_cast<std::uint32_t>(hi) << 16 | lo);
}

int dvn_GetStatus(lyn_dev_t dev, unsigned char *status, unsigned char *error) {
  if (status == nullptr || error == nullptr) return -EINVAL;
  std::array<std::uint8_t, 2> v{};
  const int rc = read_bytes(dev, reg::Status, v.data());
  if (rc == 0) {
    *status = v[0];
    *error = v[1];
  }
  return rc;
}

int dvn_SetSpeed(lyn_dev_t dev, int speed) {
  if (dev == nullptr) return -EINVAL;
  if (speed < INT16_MIN || speed > INT16_MAX) return -ERANGE;
  errno = 0;
  return code(lyn_write16(dev, reg::SpeedCommand.number, static_cast<std::uint16_t>(speed)));
}

int dvn_GetSpeed(lyn_dev_t dev, int *speed) {
  if (dev == nullptr || speed == nullptr) return -EINVAL;
  std::uint16_t v = 0;
  errno = 0;
  const int rc = code(lyn_read16(dev, reg::SpeedCommand.number, &v));
  if (rc == 0) *speed = static_cast<std::int16_t>(v);
  return rc;
}

int dvn_ClearErrors(lyn_dev_t dev, int mask) {
  if (!is_byte(mask)) return -EINVAL;
  const auto v = static_cast<std::uint8_t>(mask);
  return write_bytes(dev, reg::ErrorClear, &v);
}

}  // extern "C"
