// Emulated device nodes: what an open descriptor refers to, and each node class's operations.
// Every function here runs under the simulator lock; failures return -1 with errno set.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "board.h"

namespace tsim {

struct OpenFile {
  NodeKind kind = NodeKind::none;
  std::string path;        // as the program named it
  std::string node;        // normalised node path
  int flags = 0;
  std::uint64_t owner = 0; // GPIO claims made through this open file
  int adapter = -1;        // I2C
  unsigned long addr = 0;
  bool tenbit = false;
  off_t offset = 0;        // sysfs reads
};

int i2c_ioctl(OpenFile &f, unsigned long req, void *arg);
ssize_t i2c_read(OpenFile &f, void *buf, size_t len);
ssize_t i2c_write(OpenFile &f, const void *buf, size_t len);

int gpio_ioctl(OpenFile &f, unsigned long req, void *arg);
int gpio_check_use(SharedState &shm, int pin, std::uint64_t owner);

// sysfs PWM: 0 when `node` may be opened with `flags` now, else an errno value.
int pwm_open_check(const std::string &node, int flags);
bool pwm_exists(const std::string &node, bool *is_dir);
ssize_t pwm_read(OpenFile &f, void *buf, size_t len);
ssize_t pwm_write(OpenFile &f, const void *buf, size_t len);

// Serial: a pty slave in place of the node; returns the descriptor or -1 with errno.
int serial_open(const std::string &node, int flags);
void serial_reset_scripts();

}  // namespace tsim
