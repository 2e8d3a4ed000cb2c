// stdio streams over emulated nodes: glibc's stdio reads and writes with its own internal calls,
// which no preload sees, so a stream on an emulated node is a cookie stream that calls back into
// the preload's entry points. Streams on real devices standing in (serial ptys) are plain ones.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "dispatch.h"
#include "runtime.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

using namespace tsim;

namespace {

int fd_of(void *c) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(c));
}

ssize_t cookie_read(void *c, char *buf, size_t len) {
  return read(fd_of(c), buf, len);
}
ssize_t cookie_write(void *c, const char *buf, size_t len) {
  ssize_t r = write(fd_of(c), buf, len);
  return r < 0 ? 0 : r;  // stdio takes 0 as a write error
}
int cookie_seek(void *c, off64_t *pos, int whence) {
  off_t r = lseek(fd_of(c), static_cast<off_t>(*pos), whence);
  if (r < 0) return -1;
  *pos = r;
  return 0;
}
int cookie_close(void *c) {
  return close(fd_of(c));
}

FILE *cookie_stream(int fd, const char *mode) {
  cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
  return fopencookie(reinterpret_cast<void *>(static_cast<std::intptr_t>(fd)), mode, io);
}

int flags_of_mode(const char *mode) {
  int flags;
  switch (mode[0]) {
    case 'r':
      flags = O_RDONLY;
      break;
    case 'w':
      flags = O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case 'a':
      flags = O_WRONLY | O_CREAT | O_APPEND;
      break;
    default:
      return -1;
  }
  for (const char *m = mode + 1; *m && *m != ','; ++m) {
    if (*m == '+')
      flags = (flags & ~O_ACCMODE) | O_RDWR;
    else if (*m == 'e')
      flags |= O_CLOEXEC;
    else if (*m == 'x')
      flags |= O_EXCL;
  }
  return flags;
}

FILE *fopen_common(const char *path, const char *mode, FILE *(*pass)(const char *, const char *)) {
  if (std::string lock; board_lock_path(path, &lock)) {
    if (!lock.empty()) return pass(lock.c_str(), mode);
    const int fd = open_board_lock(lock, O_CLOEXEC, 0);
    return fd < 0 ? nullptr : real().fdopen(fd, mode);
  }
  if (!candidate(path) || !mode) return pass(path, mode);
  int flags = flags_of_mode(mode);
  if (flags < 0) return pass(path, mode);
  bool handled = false;
  int fd = emu_open(path, flags, &handled);
  if (!handled) return pass(path, mode);
  if (fd < 0) return nullptr;
  if (emu_real_fd(fd)) return real().fdopen(fd, mode);
  FILE *fp = cookie_stream(fd, mode);
  if (!fp) close(fd);
  return fp;
}

}  // namespace

EXPORT FILE *fopen(const char *path, const char *mode) {
  return fopen_common(path, mode, real().fopen);
}
EXPORT FILE *fopen64(const char *path, const char *mode) {
  return fopen_common(path, mode, real().fopen64);
}

EXPORT FILE *fdopen(int fd, const char *mode) {
  if (emulated_fd(fd) && mode && !emu_real_fd(fd)) return cookie_stream(fd, mode);
  return real().fdopen(fd, mode);
}
