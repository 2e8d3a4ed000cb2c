// Serial bus binding: raw 115200-baud ports reached by their terminal node path.
#include "tarsa/lyn_rs232.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "core/unique_fd.h"
#include "core/vx_codes.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_memory.h"

namespace {

namespace err = tarsa::err;

lyn_rs232_port_t *port_of(lyn_dev_t dev) {
  auto *port = static_cast<lyn_rs232_port_t *>(lyn_device_priv(dev));
  return port && port->fd != -1 ? port : nullptr;
}

// Raw 8N1 at 115200 baud; reads return at once with whatever is waiting.
void make_raw(struct termios &tio) {
  tio.c_iflag = IGNPAR;
  tio.c_oflag = 0;
  tio.c_cflag = B115200 | CS8 | CLOCAL | CREAD;
  tio.c_lflag = 0;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
}

}  // namespace

extern "C" {

int lyn_rs232_init(lyn_bus_t *bus) {
  bus->exit = nullptr;
  bus->open = lyn_rs232_open;
  bus->close = lyn_rs232_close;
  bus->transfer = nullptr;
  bus->read = lyn_rs232_read;
  bus->write = lyn_rs232_write;
  return 0;
}

lyn_dev_t lyn_rs232_open(lyn_bus_t *bus, int, int, const char *path) {
  // Fixed report lines (117, 125), not __LINE__: users and their scripts match them.
  if (!path) {
    vx_error("lyn_rs232", 117, "lyn_rs232_open", err::NoDeviceNamed, "(null)");
    return nullptr;
  }
  lyn_dev_t dev = lyn_bus_find_device_by_name(bus, path);
  if (!dev) {
    if (::access(path, R_OK | W_OK) != 0 || !(dev = lyn_device_create(bus, 0, 0, path))) {
      vx_error("lyn_rs232", 117, "lyn_rs232_open", err::NoDeviceNamed, path);
      return nullptr;
    }
  }
  // A second open shares the port already open rather than leaking or reconfiguring it.
  if (port_of(dev)) return dev;

  // No controlling terminal: a hang-up on the line must not signal the program.
  tarsa::UniqueFd fd(::open(path, O_RDWR | O_NOCTTY));
  if (!fd) {
    vx_error("lyn_rs232", 125, "lyn_rs232_open", err::CannotOpenFile, path);
    return nullptr;
  }
  std::free(lyn_device_priv(dev));  // a record left with fd -1, if any
  auto *port = static_cast<lyn_rs232_port_t *>(vx_alloc(sizeof(lyn_rs232_port_t)));
  port->tio = {};
  ::tcgetattr(fd.get(), &port->tio);
  make_raw(port->tio);
  ::tcsetattr(fd.get(), TCSANOW, &port->tio);
  port->fd = fd.release();  // the record (a C type) holds it from here; closed in lyn_rs232_close
  lyn_device_set_priv(dev, port);
  return dev;
}

void lyn_rs232_close(lyn_bus_t *, lyn_dev_t dev) {
  if (!dev) return;
  auto *port = static_cast<lyn_rs232_port_t *>(lyn_device_priv(dev));
  if (!port) return;
  tarsa::UniqueFd(std::exchange(port->fd, -1)).reset();
  std::free(port);
  lyn_device_set_priv(dev, nullptr);
}

int lyn_rs232_read(lyn_bus_t *, lyn_dev_t dev, void *buf, int len) {
  lyn_rs232_port_t *port = dev ? port_of(dev) : nullptr;
  if (!port || len < 0) {
    errno = port ? EINVAL : EBADF;
    return -1;
  }
  return static_cast<int>(::read(port->fd, buf, static_cast<size_t>(len)));
}

int lyn_rs232_write(lyn_bus_t *, lyn_dev_t dev, const void *buf, int len) {
  lyn_rs232_port_t *port = dev ? port_of(dev) : nullptr;
  if (!port || len < 0) {
    errno = port ? EINVAL : EBADF;
    return -1;
  }
  return static_cast<int>(::write(port->fd, buf, static_cast<size_t>(len)));
}

}  // extern "C"
