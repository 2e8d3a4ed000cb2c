// IO extension board driver: register transfers through the device network layer.
#include "tarsa/plx.h"

#include <cerrno>
#include <cstdint>

#include "tarsa/lyn.h"

namespace {

// The board's register map (documented in plx.h); byte order is the device's, from the
// configuration.
namespace reg {
constexpr int kVersion = 0x00;
constexpr int kConfigBase = 0x10;  // + IO
constexpr int kLevels = 0x20;
constexpr int kSet = 0x21;
constexpr int kClear = 0x22;
constexpr int kToggle = 0x23;
constexpr int kPower = 0x30;
constexpr int kPowerOn = 0x31;
constexpr int kPowerOff = 0x32;
constexpr int kAnalogBase = 0x40;  // + channel
constexpr int kTimeHigh = 0x4E;
constexpr int kTimeLow = 0x4F;
}  // namespace reg

bool in_range(int v, int count) {
  return v >= 0 && v < count;
}

// A layer call's result as 0 or a negated errno; the layer sets errno when it fails.
int result(int rc) {
  if (rc >= 0) return 0;
  return errno > 0 ? -errno : -EIO;
}

int io_mask_write(lyn_dev_t dev, int io, int reg) {
  if (!dev || !in_range(io, PLX_IO_COUNT)) return -EINVAL;
  return result(lyn_write16(dev, reg, static_cast<uint16_t>(1u << io)));
}

int power_write(lyn_dev_t dev, int index, int reg) {
  if (!dev || !in_range(index, PLX_PW_COUNT)) return -EINVAL;
  return result(lyn_write8(dev, reg, static_cast<uint8_t>(1u << index)));
}

}  // namespace

extern "C" {

int plx_GetFWVersion(lyn_dev_t dev, int *version) {
  if (!dev || !version) return -EINVAL;
  uint8_t v = 0;
  if (int rc = result(lyn_read8(dev, reg::kVersion, &v)); rc < 0) return rc;
  *version = v;
  return 0;
}

int plx_ConfigIO(lyn_dev_t dev, int io, int config) {
  if (!dev || !in_range(io, PLX_IO_COUNT) || (config != PLX_IO_INPUT && config != PLX_IO_OUTPUT))
    return -EINVAL;
  return result(lyn_write8(dev, reg::kConfigBase + io, static_cast<uint8_t>(config)));
}

int plx_GetConfigIO(lyn_dev_t dev, int io, int *config) {
  if (!dev || !in_range(io, PLX_IO_COUNT) || !config) return -EINVAL;
  uint8_t v = 0;
  if (int rc = result(lyn_read8(dev, reg::kConfigBase + io, &v)); rc < 0) return rc;
  *config = v;
  return 0;
}

int plx_SetIO(lyn_dev_t dev, int io) {
  return io_mask_write(dev, io, reg::kSet);
}

int plx_ClearIO(lyn_dev_t dev, int io) {
  return io_mask_write(dev, io, reg::kClear);
}

int plx_ChangeIO(lyn_dev_t dev, int io) {
  return io_mask_write(dev, io, reg::kToggle);
}

int plx_ReadIO(lyn_dev_t dev, uint16_t *levels) {
  if (!dev || !levels) return -EINVAL;
  uint16_t v = 0;
  if (int rc = result(lyn_read16(dev, reg::kLevels, &v)); rc < 0) return rc;
  *levels = v;
  return 0;
}

int plx_GetIO(lyn_dev_t dev, int io, int *level) {
  if (!in_range(io, PLX_IO_COUNT) || !level) return -EINVAL;
  uint16_t v = 0;
  if (int rc = plx_ReadIO(dev, &v); rc < 0) return rc;
  *level = (v >> io) & 1;
  return 0;
}

int plx_ReadAnalog(lyn_dev_t dev, int channel, uint16_t *value, uint32_t *time) {
  if (!dev || !in_range(channel, PLX_ANALOG_COUNT) || !value || !time) return -EINVAL;
  uint16_t v = 0, high = 0, low = 0;
  // The value register latches the time of its conversion: the two halves belong together
  // whatever the clock did in between.
  if (int rc = result(lyn_read16(dev, reg::kAnalogBase + channel, &v)); rc < 0) return rc;
  if (int rc = result(lyn_read16(dev, reg::kTimeHigh, &high)); rc < 0) return rc;
  if (int rc = result(lyn_read16(dev, reg::kTimeLow, &low)); rc < 0) return rc;
  *value = v;
  *time = static_cast<uint32_t>(high) << 16 | low;
  return 0;
}

int plx_SetPW(lyn_dev_t dev, int index) {
  return power_write(dev, index, reg::kPowerOn);
}

int plx_ClearPW(lyn_dev_t dev, int index) {
  return power_write(dev, index, reg::kPowerOff);
}

int plx_GetPW(lyn_dev_t dev, int *mask) {
  if (!dev || !mask) return -EINVAL;
  uint8_t v = 0;
  if (int rc = result(lyn_read8(dev, reg::kPower, &v)); rc < 0) return rc;
  *mask = v;
  return 0;
}

}  // extern "C"
