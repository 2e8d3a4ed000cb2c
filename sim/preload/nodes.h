// Emulated device nodes: what an open descriptor refers to, and one table of operations per
// node kind. Operations run under the simulator lock; failures return -1 with errno set.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "board.h"

namespace tsim {

struct OpenFile {
  NodeKind kind = NodeKind::none;
  std::string path;  // as the program named it
  std::string node;  // normalised node path
  int flags = 0;
  int fd = -1;              // the descriptor of the call being served (copies share the file)
  std::uint64_t owner = 0;  // GPIO claims made through this open file
  int adapter = -1;         // I2C
  unsigned long addr = 0;
  bool tenbit = false;
  off_t offset = 0;   // sysfs reads
  bool ready = true;  // video: the descriptor polls readable
};

// What a node kind does with the calls on its descriptors. The descriptor is an eventfd, which
// poll and select see readable while its counter is not 0, unless `real_fd`: then it is a real
// device standing in (a pseudo-terminal) and serves every call without an entry here.
// Without an entry, an eventfd node fails read and write with EINVAL, ioctl with ENOTTY (traced),
// lseek with ESPIPE and mmap with ENODEV.
struct NodeOps {
  bool real_fd;
  unsigned rdev_major, rdev_minor;  // as stat reports them; an I2C node's minor is its adapter
  int (*open)(OpenFile &f);         // the descriptor, or -1; null: an eventfd
  void (*close)(OpenFile &f, bool last);  // before a descriptor goes; `last` of the open file
  ssize_t (*read)(OpenFile &f, void *buf, size_t len);
  ssize_t (*write)(OpenFile &f, const void *buf, size_t len);
  int (*ioctl)(OpenFile &f, unsigned long req, void *arg);
  off_t (*seek)(OpenFile &f, off_t off, int whence);
  void *(*mmap)(OpenFile &f, void *addr, size_t len, int prot, int flags, off64_t off);
};
const NodeOps &ops_of(NodeKind kind);

int fail(int err);

// I2C adapter and user GPIO nodes.
ssize_t i2c_read(OpenFile &f, void *buf, size_t len);
ssize_t i2c_write(OpenFile &f, const void *buf, size_t len);
int i2c_ioctl(OpenFile &f, unsigned long req, void *arg);
void gpio_close(OpenFile &f, bool last);
int gpio_ioctl(OpenFile &f, unsigned long req, void *arg);
int gpio_check_use(SharedState &shm, int pin, std::uint64_t owner);

// sysfs PWM files.
ssize_t pwm_read(OpenFile &f, void *buf, size_t len);
ssize_t pwm_write(OpenFile &f, const void *buf, size_t len);
off_t pwm_seek(OpenFile &f, off_t off, int whence);
// Fixed sysfs files: a memory file with the text.
int attr_open(OpenFile &f);

// Serial nodes: a pseudo-terminal slave in place of the node, its master served by the node's
// models from a thread of this process.
int serial_open(OpenFile &f);
void serial_close(OpenFile &f, bool last);
// Whether this process opened `node`; wakes its port to look at the models' output again.
bool serial_opened(const std::string &node);
void serial_kick(const std::string &node);
// The program flushed its input on `fd`, a descriptor of `node`: what the models send at once is
// waiting there when this returns (bounded).
void serial_flushed(const std::string &node, int fd);
// A read of a port's descriptor: with a read time-out set (VTIME), timed on the run's clock.
ssize_t serial_read(int fd, void *buf, size_t len);
// Hands every port's models what the program wrote: the process is about to end.
void serial_drain_all();

// Video nodes: requests, reads and buffer mappings go to the board's video node.
int video_open(OpenFile &f);  // an eventfd, and the node's waiters woken when a frame falls due
void video_close(OpenFile &f, bool last);
int video_ioctl(OpenFile &f, unsigned long req, void *arg);
// After `req` failed with EAGAIN: how long a blocking descriptor waits before asking again
// (at most a second), or 0 when the request does not block.
std::uint64_t video_block_us(OpenFile &f, unsigned long req);
ssize_t video_read(OpenFile &f, void *buf, size_t len);
void *video_mmap(OpenFile &f, void *addr, size_t len, int prot, int flags, off64_t off);
// munmap of a mapping video_mmap made: tells its node, then unmaps. False for other memory.
bool video_munmap(void *addr, size_t len, int *result);
// Whether any such mapping exists (no lock needed).
bool video_maps_any();

}  // namespace tsim
