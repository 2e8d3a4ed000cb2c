// Raw I2C access: slave selection, plain and combined transfers, probe and scan on i2c-dev.
#include "tarsa/i2craw.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <utility>

#include "core/unique_fd.h"

namespace {

// The scan covers 2 to 127, reserved addresses included: the --i2c-scan option promises that range.
constexpr int kFirstScanAddress = 2;
constexpr int kLastScanAddress = 127;
constexpr int kMaxMsgLen = 0xFFFF;  // i2c_msg.len is 16 bits wide

// Every request to the adapter goes through here.
int i2c_ioctl(int fd, unsigned long request, void *arg) {
  return ::ioctl(fd, request, arg);
}

int select_slave(int fd, int address) {
  return i2c_ioctl(fd, I2C_SLAVE, reinterpret_cast<void *>(static_cast<uintptr_t>(address)));
}

// Selects `address` unless it is the one selected last; the transfer runs either way.
void select_if_needed(i2c_handle_t *h, int address) {
  if (address != h->address && select_slave(h->fd, address) >= 0) h->address = address;
}

}  // namespace

extern "C" {

int i2c_open(i2c_handle_t *h, const char *path) {
  h->address = -1;
  h->fd = ::open(path ? path : I2C_DEFAULT_DEVICE, O_RDWR);
  return h->fd < 0 ? -1 : 0;
}

int i2c_close(i2c_handle_t *h) {
  // The handle is a C record and holds a plain descriptor; its owner closes it. Descriptor 0 is
  // a valid adapter when standard input was closed; only -1 means "not open".
  return tarsa::UniqueFd(std::exchange(h->fd, -1)).reset();
}

int i2c_llread(i2c_handle_t *h, int address, void *buf, int len) {
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  select_if_needed(h, address);
  return static_cast<int>(::read(h->fd, buf, static_cast<size_t>(len)));
}

int i2c_llwrite(i2c_handle_t *h, int address, const void *buf, int len) {
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  select_if_needed(h, address);
  return static_cast<int>(::write(h->fd, buf, static_cast<size_t>(len)));
}

int i2c_lltransfer(i2c_handle_t *h, int address, const void *wbuf, int wlen, void *rbuf, int rlen) {
  // A length that does not fit the 16-bit field would reach the kernel truncated, and a negative
  // one as a huge read into a small buffer.
  if (wlen < 0 || wlen > kMaxMsgLen || rlen < 0 || rlen > kMaxMsgLen) {
    errno = EINVAL;
    return -1;
  }
  std::array<i2c_msg, 2> msgs{};
  msgs[0].addr = static_cast<uint16_t>(address);
  msgs[0].flags = 0;
  msgs[0].len = static_cast<uint16_t>(wlen);
  msgs[0].buf = static_cast<uint8_t *>(const_cast<void *>(wbuf));
  msgs[1].addr = static_cast<uint16_t>(address);
  msgs[1].flags = I2C_M_RD;
  msgs[1].len = static_cast<uint16_t>(rlen);
  msgs[1].buf = static_cast<uint8_t *>(rbuf);
  i2c_rdwr_ioctl_data data{};
  data.msgs = msgs.data();
  data.nmsgs = msgs.size();
  return i2c_ioctl(h->fd, I2C_RDWR, &data);
}

int i2c_exists(i2c_handle_t *h, int address) {
  if (select_slave(h->fd, address) >= 0) h->address = address;
  i2c_smbus_data byte{};
  i2c_smbus_ioctl_data args{};
  args.read_write = I2C_SMBUS_READ;
  args.command = 0;
  args.size = I2C_SMBUS_BYTE;
  args.data = &byte;
  return i2c_ioctl(h->fd, I2C_SMBUS, &args) == 0 ? 1 : 0;
}

int i2c_scan(i2c_handle_t *h, int (*callback)(i2c_handle_t *h, int address, void *context),
             void *context) {
  int found = 0;
  for (int address = kFirstScanAddress; address <= kLastScanAddress; ++address) {
    if (!i2c_exists(h, address)) continue;
    ++found;
    if (callback) {
      int rc = callback(h, address, context);
      if (rc < 0) return rc;
    }
  }
  return found;
}

}  // extern "C"
