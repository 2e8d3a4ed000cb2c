// From the C library's entry points to the emulated nodes: which paths and descriptors are the
// simulator's, and one function per call that serves them through the node kind's operations.
// A function whose path or descriptor is not the simulator's says so (`handled`, or -1 where
// noted) and the entry point calls the real function.
#pragma once

#include <stdio.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "stat_fill.h"

namespace tsim {

constexpr int kMaxFd = 65536;
extern std::atomic<std::uint8_t> g_emulated[kMaxFd];

// True for a descriptor of an emulated node (a fast check, no lock).
inline bool emulated_fd(int fd) {
  return fd >= 0 && fd < kMaxFd && g_emulated[fd].load(std::memory_order_relaxed) != 0;
}

// Absolute paths under /dev and /sys may be the simulator's.
bool candidate(const char *path);

int emu_open(const char *path, int flags, bool *handled);
int emu_close(int fd);
ssize_t emu_read(int fd, void *buf, size_t len);
ssize_t emu_write(int fd, const void *buf, size_t len);
int emu_ioctl(int fd, unsigned long req, void *arg, int (*pass)(int, unsigned long, ...));
off_t emu_lseek(int fd, off_t off, int whence, bool *handled);
void *emu_mmap(void *addr, size_t len, int prot, int flags, int fd, off64_t off, bool *handled);
int emu_munmap(void *addr, size_t len, bool *handled);
// dup2 and dup3 onto an emulated descriptor close it first.
void emu_replaced(int newfd);
// 0, an errno value, or -1 when the path is not the simulator's.
int emu_access(const char *path, int mode, bool effective);
// After the program flushed the input of `fd`: a serial port's models may refill it.
void emu_flushed(int fd);
// Whether an emulated descriptor is a real device standing in (stdio then uses it directly).
bool emu_real_fd(int fd);

// Whether `path` is the board's lock file (/run/lock/tarsa4.lock); then *real_path is the file in
// the run's directory that stands for it ("" without one: a memory file of the process's own).
bool board_lock_path(const char *path, std::string *real_path);
// Opens that file as open() would; -1 with errno on failure.
int open_board_lock(const std::string &real_path, int flags, mode_t mode);

}  // namespace tsim
