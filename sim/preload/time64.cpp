// Entry points of 32-bit programs built with 64-bit time_t and file offsets: their stat calls
// and fcntl have names and structure layouts of their own. Compiled with those settings, so
// that `stat` here is the 64-bit-time function the programs call.
#if __SIZEOF_POINTER__ == 4 && defined(_TIME_BITS) && _TIME_BITS == 64

#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>

#include <cerrno>

#include "stat_fill.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

int failed(int err) {
  errno = err;
  return -1;
}

int by_path(const char *path, struct stat *st) {
  tsim::Attr a{};
  int r = tsim::emu_attr_path(path, &a);
  if (r == 0) tsim::fill(st, a);
  return r;
}

}  // namespace

EXPORT int stat(const char *path, struct stat *st) {
  int r = by_path(path, st);
  return r < 0 ? tsim::real_time64().stat(path, st) : r ? failed(r) : 0;
}

EXPORT int lstat(const char *path, struct stat *st) {
  int r = by_path(path, st);
  return r < 0 ? tsim::real_time64().lstat(path, st) : r ? failed(r) : 0;
}

EXPORT int fstat(int fd, struct stat *st) {
  tsim::Attr a{};
  if (tsim::emu_attr_fd(fd, &a) == 0) {
    tsim::fill(st, a);
    return 0;
  }
  return tsim::real_time64().fstat(fd, st);
}

EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) {
  auto real = tsim::real_time64().fstatat;
  tsim::Attr a{};
  const char *volatile p = path;  // declared non-null, but callers may still pass null
  if (!p) return real(dirfd, path, st, flags);
  if (path[0] == '\0' && (flags & AT_EMPTY_PATH) && tsim::emu_attr_fd(dirfd, &a) == 0) {
    tsim::fill(st, a);
    return 0;
  }
  if (path[0] == '/') {
    int r = by_path(path, st);
    if (r >= 0) return r ? failed(r) : 0;
  }
  return real(dirfd, path, st, flags);
}

EXPORT int fcntl(int fd, int cmd, ...) {
  auto real = tsim::real_time64().fcntl;
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  int r = real(fd, cmd, arg);
  if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && tsim::emu_fd(fd))
    tsim::emu_dup(fd, r);
  return r;
}

#endif
