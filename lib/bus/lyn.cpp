// Device network layer: resolves "Class:Device" names to bus devices and frames register access.
#include "tarsa/lyn.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core/vx_codes.h"
#include "core/vx_config_internal.h"
#include "tarsa/lyn_i2c.h"
#include "tarsa/lyn_rs232.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"

struct lyn_device {
  lyn_bus_t *bus = nullptr;
  int address = 0;
  std::string name;  // empty for a device found by a scan and not opened by name yet
  void *priv = nullptr;
  int order = 0;
};

namespace {

namespace err = tarsa::err;

constexpr int kBusCount = 2;

std::array<lyn_bus_t, kBusCount> gBuses{};
bool gStarted = false;

// The device list has its own lock: bindings create and look up devices from inside bus
// operations (open, scan), so it must not depend on which bus mutex is held.
std::mutex gDevicesLock;
std::vector<lyn_device *> gDevices;

int fail(int err) {
  errno = err;
  return -1;
}

void init_bus(lyn_bus_t &bus) {
  bus = lyn_bus_t{};
  // Recursive, so that a binding may take its own bus's lock from inside a slot call.
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&bus.mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

// Holds a bus's mutex for the duration of one slot call.
class BusLock {
 public:
  explicit BusLock(lyn_bus_t *bus) : bus_(bus) { pthread_mutex_lock(&bus_->mutex); }
  ~BusLock() { pthread_mutex_unlock(&bus_->mutex); }
  BusLock(const BusLock &) = delete;
  BusLock &operator=(const BusLock &) = delete;

 private:
  lyn_bus_t *bus_;
};

void free_devices_of(lyn_bus_t *bus) {
  std::lock_guard guard(gDevicesLock);
  auto keep = std::remove_if(gDevices.begin(), gDevices.end(), [bus](lyn_device *d) {
    if (d->bus != bus) return false;
    delete d;
    return true;
  });
  gDevices.erase(keep, gDevices.end());
}

// Stops one bus: releases every device's port, then the binding, then the devices.
void stop_bus(lyn_bus_t &bus) {
  {
    BusLock lock(&bus);
    if (bus.close) {
      std::vector<lyn_device *> devices;
      {
        std::lock_guard guard(gDevicesLock);
        for (lyn_device *d : gDevices)
          if (d->bus == &bus) devices.push_back(d);
      }
      for (lyn_device *d : devices) bus.close(&bus, d);
    }
    if (bus.exit) bus.exit(&bus);
  }
  free_devices_of(&bus);
  pthread_mutex_destroy(&bus.mutex);
  bus = lyn_bus_t{};
}

// Slot calls; the caller holds the bus mutex.
int transfer_locked(lyn_dev_t dev, const void *wbuf, int wlen, void *rbuf, int rlen) {
  lyn_bus_t *bus = dev->bus;
  if (!bus->transfer) return fail(EOPNOTSUPP);
  return bus->transfer(bus, dev, wbuf, wlen, rbuf, rlen);
}

int write_frame_locked(lyn_dev_t dev, const uint8_t *frame, int len) {
  lyn_bus_t *bus = dev->bus;
  if (!bus->write) return fail(EOPNOTSUPP);
  int rc = bus->write(bus, dev, frame, len);
  if (rc < 0) return rc;
  return rc == len ? 0 : fail(EIO);
}

bool valid_register(int reg) {
  return reg >= 0 && reg <= 0xFF;
}

}  // namespace

extern "C" {

int lyn_init(int argc, char *argv[]) {
  if (gStarted) return 0;
  for (lyn_bus_t &bus : gBuses) init_bus(bus);
  // The binding starts without the bus lock held; its scan callback takes the lock itself.
  int rc = lyn_i2c_init(&gBuses[LYN_BUS_I2C], argc, argv);
  if (rc < 0) {
    for (lyn_bus_t &bus : gBuses) stop_bus(bus);
    return rc;
  }
  lyn_rs232_init(&gBuses[LYN_BUS_SERIAL]);
  gStarted = true;
  return rc;
}

int lyn_exit(void) {
  if (gStarted) {
    for (lyn_bus_t &bus : gBuses) stop_bus(bus);
    gStarted = false;
  }
  // Devices that a binding registered on a bus record of its own go too.
  std::lock_guard guard(gDevicesLock);
  for (lyn_device *d : gDevices) delete d;
  gDevices.clear();
  return 0;
}

lyn_dev_t lyn_open(const char *name, int bus, int, void *) {
  if (!gStarted) {
    vx_error("lyn", __LINE__, "lyn_open", err::ModuleNotInitialized, "lyn");
    return nullptr;
  }
  if (!name || !*name) {
    vx_error("lyn", __LINE__, "lyn_open", err::InvalidDeviceName, name ? name : "(null)");
    return nullptr;
  }
  if (bus != LYN_BUS_I2C && bus != LYN_BUS_SERIAL && bus != LYN_BUS_ANY) {
    vx_error("lyn", __LINE__, "lyn_open", err::NoBusForDevice, name);
    return nullptr;
  }

  int busno = bus;
  int address = 0;
  int order = 0;
  const char *target = name;  // what the binding is asked for: a name, or a terminal path
  const char *colon = std::strchr(name, ':');
  auto *info = static_cast<const vx_device_info_t *>(vx_lookup_device(name));
  if (info) {
    if (bus != LYN_BUS_ANY && bus != info->bus) {
      vx_error("lyn", __LINE__, "lyn_open", err::NoBusForDevice, name);
      return nullptr;
    }
    busno = info->bus;
    address = info->address;
    order = info->order;
    target = info->bus == LYN_BUS_SERIAL ? info->path : info->name;
  } else if (!colon || (bus == LYN_BUS_SERIAL && name[0] == '/')) {
    // On the serial bus a bare name is the terminal node itself; an absolute path may hold
    // colons (persistent names under /dev/serial/by-path do).
    if (bus != LYN_BUS_SERIAL) {
      vx_error("lyn", __LINE__, "lyn_open", err::InvalidDeviceName, name);
      return nullptr;
    }
  } else {
    // Class names fit a symbol's name; a longer prefix cannot be a configured class.
    std::array<char, 128> cls{};
    const auto len = std::min(static_cast<size_t>(colon - name), cls.size() - 1);
    std::memcpy(cls.data(), name, len);
    if (static_cast<size_t>(colon - name) > len || !vx_config_has_section(cls.data()))
      vx_error("lyn", __LINE__, "lyn_open", err::UnknownDeviceClass, cls.data());
    else
      vx_error("lyn", __LINE__, "lyn_open", err::SymbolNotDefined, name);
    return nullptr;
  }

  lyn_bus_t *b = &gBuses[busno];
  BusLock lock(b);
  if (!b->open) {
    vx_error("lyn", __LINE__, "lyn_open", err::NoBusForDevice, name);
    return nullptr;
  }
  lyn_dev_t dev = b->open(b, 0, address, target);
  // The first open by name gives a scanned or newly created device its name and byte order;
  // later opens keep whatever order the program has set since.
  if (dev && info && dev->name.empty()) {
    try {
      dev->name = info->name;
    } catch (...) {
      return nullptr;
    }
    dev->order = order;
  }
  return dev;
}

int lyn_close(lyn_dev_t dev) {
  if (!dev) return fail(EINVAL);
  lyn_bus_t *bus = dev->bus;
  BusLock lock(bus);
  if (bus->close) bus->close(bus, dev);
  return 0;
}

int lyn_lltransfer(lyn_dev_t dev, const void *wbuf, int wlen, void *rbuf, int rlen) {
  if (!dev) return fail(EINVAL);
  BusLock lock(dev->bus);
  return transfer_locked(dev, wbuf, wlen, rbuf, rlen);
}

int lyn_llwrite(lyn_dev_t dev, const void *buf, int len) {
  if (!dev) return fail(EINVAL);
  lyn_bus_t *bus = dev->bus;
  BusLock lock(bus);
  if (!bus->write) return fail(EOPNOTSUPP);
  return bus->write(bus, dev, buf, len);
}

int lyn_llread(lyn_dev_t dev, void *buf, int len) {
  if (!dev) return fail(EINVAL);
  lyn_bus_t *bus = dev->bus;
  BusLock lock(bus);
  if (!bus->read) return fail(EOPNOTSUPP);
  return bus->read(bus, dev, buf, len);
}

// Register access holds the bus mutex across the frame and the device's order flags, so that a
// concurrent lyn_set_order() cannot change the order halfway.
int lyn_read8(lyn_dev_t dev, int reg, uint8_t *v) {
  if (!dev || !valid_register(reg) || !v) return fail(EINVAL);
  const uint8_t r = static_cast<uint8_t>(reg);
  uint8_t value = 0;
  BusLock lock(dev->bus);
  int rc = transfer_locked(dev, &r, 1, &value, 1);
  if (rc < 0) return rc;
  *v = value;
  return 0;
}

int lyn_read16(lyn_dev_t dev, int reg, uint16_t *v) {
  if (!dev || !valid_register(reg) || !v) return fail(EINVAL);
  const uint8_t r = static_cast<uint8_t>(reg);
  std::array<uint8_t, 2> b{};
  BusLock lock(dev->bus);
  int rc = transfer_locked(dev, &r, 1, b.data(), 2);
  if (rc < 0) return rc;
  *v = dev->order == LYN_ORDER_MSB_FIRST ? static_cast<uint16_t>(b[0] << 8 | b[1])
                                         : static_cast<uint16_t>(b[1] << 8 | b[0]);
  return 0;
}

int lyn_write8(lyn_dev_t dev, int reg, uint8_t v) {
  if (!dev || !valid_register(reg)) return fail(EINVAL);
  const std::array<uint8_t, 2> frame{static_cast<uint8_t>(reg), v};
  BusLock lock(dev->bus);
  return write_frame_locked(dev, frame.data(), 2);
}

int lyn_write16(lyn_dev_t dev, int reg, uint16_t v) {
  if (!dev || !valid_register(reg)) return fail(EINVAL);
  const auto lo = static_cast<uint8_t>(v & 0xFF);
  const auto hi = static_cast<uint8_t>(v >> 8);
  BusLock lock(dev->bus);
  const bool msb = dev->order == LYN_ORDER_MSB_FIRST;
  const std::array<uint8_t, 3> frame{static_cast<uint8_t>(reg), msb ? hi : lo, msb ? lo : hi};
  return write_frame_locked(dev, frame.data(), 3);
}

int lyn_set_order(lyn_dev_t dev, int flags) {
  if (!dev) return fail(EINVAL);
  if (flags != 0 && flags != LYN_ORDER_MSB_FIRST)
    return vx_error("lyn", __LINE__, "lyn_set_order", err::InvalidOrderFlags);
  BusLock lock(dev->bus);
  dev->order = flags;
  return 0;
}

lyn_dev_t lyn_bus_find_device(lyn_bus_t *bus, int, int address, const char *name) {
  std::lock_guard guard(gDevicesLock);
  for (lyn_device *d : gDevices) {
    // A nameless device (found by a scan) stands for any name at its address.
    if (d->bus == bus && d->address == address && (!name || d->name.empty() || d->name == name))
      return d;
  }
  return nullptr;
}

lyn_dev_t lyn_bus_find_device_by_name(lyn_bus_t *bus, const char *name) {
  if (!name) return nullptr;
  std::lock_guard guard(gDevicesLock);
  for (lyn_device *d : gDevices)
    if (d->bus == bus && d->name == name) return d;
  return nullptr;
}

lyn_dev_t lyn_device_create(lyn_bus_t *bus, int, int address, const char *name) {
  if (!bus) return nullptr;
  try {
    auto *d = new lyn_device;
    d->bus = bus;
    d->address = address;
    if (name) d->name = name;
    std::lock_guard guard(gDevicesLock);
    try {
      gDevices.push_back(d);
    } catch (...) {
      delete d;
      throw;
    }
    return d;
  } catch (...) {
    return nullptr;
  }
}

int lyn_device_address(lyn_dev_t dev) {
  return dev ? dev->address : -1;
}

void *lyn_device_priv(lyn_dev_t dev) {
  return dev ? dev->priv : nullptr;
}

void lyn_device_set_priv(lyn_dev_t dev, void *priv) {
  if (dev) dev->priv = priv;
}

}  // extern "C"
