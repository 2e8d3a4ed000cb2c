// I2C bus binding: opens the adapter named on the command line and serves devices by address.
#include "tarsa/lyn_i2c.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/vx_codes.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_memory.h"

namespace {

namespace err = tarsa::err;

// The bus name in the messages carries a Latin-1 superscript two (byte 0xB2), not UTF-8: the
// reports are matched byte for byte.
constexpr const char kBusName[] =
    "I\xB2"
    "C";

i2c_handle_t *handle_of(lyn_bus_t *bus) {
  return static_cast<i2c_handle_t *>(bus->priv);
}

}  // namespace

extern "C" {

int lyn_i2c_init(lyn_bus_t *bus, int argc, char *argv[]) {
  bus->exit = lyn_i2c_exit;
  bus->open = lyn_i2c_open;
  bus->close = nullptr;
  bus->transfer = lyn_i2c_transfer;
  bus->read = lyn_i2c_read;
  bus->write = lyn_i2c_write;

  auto *handle = static_cast<i2c_handle_t *>(vx_alloc(sizeof(i2c_handle_t)));
  handle->fd = -1;
  handle->address = -1;

  const char *path = nullptr;
  bool scan = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--i2c-device") == 0) {
      // As the last argument it names nothing (argv[argc] is the vector's closing null), and is
      // not read past argc for vectors built without that null.
      path = i + 1 < argc ? argv[i + 1] : nullptr;
      ++i;
    } else if (std::strcmp(argv[i], "--i2c-scan") == 0) {
      scan = true;
    }
  }

  // Every report of the module, those of the start included, carries the label "lyn_i2c_open"
  // and a fixed line (112, 130, 198) that users and their scripts know: not __LINE__.
  if (i2c_open(handle, path) < 0) {
    std::free(handle);
    return vx_error("lyn_i2c", 112, "lyn_i2c_open", err::CannotOpenBus, kBusName);
  }
  bus->priv = handle;
  if (!scan) return 0;

  int found = i2c_scan(handle, lyn_i2c_scan_callback, bus);
  if (found < 0) {
    i2c_close(handle);
    std::free(handle);
    bus->priv = nullptr;
    return vx_error("lyn_i2c", 130, "lyn_i2c_open", err::CannotScanBus, kBusName);
  }
  return found;
}

int lyn_i2c_exit(lyn_bus_t *bus) {
  i2c_handle_t *handle = handle_of(bus);
  if (!handle) return 0;
  i2c_close(handle);
  std::free(handle);
  bus->priv = nullptr;
  return 0;
}

int lyn_i2c_scan_callback(i2c_handle_t *, int address, void *context) {
  auto *bus = static_cast<lyn_bus_t *>(context);
  pthread_mutex_lock(&bus->mutex);
  lyn_device_create(bus, 0, address, nullptr);
  pthread_mutex_unlock(&bus->mutex);
  return 0;
}

lyn_dev_t lyn_i2c_open(lyn_bus_t *bus, int, int address, const char *name) {
  if (lyn_dev_t dev = lyn_bus_find_device(bus, 0, address, name)) return dev;
  i2c_handle_t *handle = handle_of(bus);
  if (handle && i2c_exists(handle, address)) {
    if (lyn_dev_t dev = lyn_device_create(bus, 0, address, nullptr)) return dev;
  }
  vx_error("lyn_i2c", 198, "lyn_i2c_open", err::NoDeviceAtAddress, 0u,
           static_cast<unsigned>(address));
  return nullptr;
}

int lyn_i2c_read(lyn_bus_t *bus, lyn_dev_t dev, void *buf, int len) {
  i2c_handle_t *handle = handle_of(bus);
  if (!handle) {
    errno = EBADF;
    return -1;
  }
  return i2c_llread(handle, lyn_device_address(dev), buf, len);
}

int lyn_i2c_write(lyn_bus_t *bus, lyn_dev_t dev, const void *buf, int len) {
  i2c_handle_t *handle = handle_of(bus);
  if (!handle) {
    errno = EBADF;
    return -1;
  }
  return i2c_llwrite(handle, lyn_device_address(dev), buf, len);
}

int lyn_i2c_transfer(lyn_bus_t *bus, lyn_dev_t dev, const void *wbuf, int wlen, void *rbuf,
                     int rlen) {
  i2c_handle_t *handle = handle_of(bus);
  if (!handle) {
    errno = EBADF;
    return -1;
  }
  return i2c_lltransfer(handle, lyn_device_address(dev), wbuf, wlen, rbuf, rlen);
}

}  // extern "C"
