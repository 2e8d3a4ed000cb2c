// The C library's entry points (and libv4l2's, which makes its own system calls) that the preload
// replaces. Paths and descriptors the simulator does not emulate go straight to the real ones.
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "dispatch.h"
#include "nodes.h"
#include "runtime.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

using namespace tsim;

namespace {

// 0 with *st filled, an errno value, or -1 when the path is not the simulator's.
template <class ST>
int emu_stat_path(const char *path, ST *st) {
  Attr a{};
  int r = emu_attr_path(path, &a);
  if (r == 0) fill(st, a);
  return r;
}

template <class ST>
int emu_stat_fd(int fd, ST *st) {
  Attr a{};
  int r = emu_attr_fd(fd, &a);
  if (r == 0) fill(st, a);
  return r;
}

mode_t mode_arg(int flags, va_list ap) {
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
    return static_cast<mode_t>(va_arg(ap, unsigned));
  return 0;
}

// `large`: the 64-bit-offset entry points, which add O_LARGEFILE for the kernel. Emulated nodes
// see and trace the flags as the program gave them.
int open_common(const char *path, int flags, mode_t mode, bool large = false) {
  if (std::string lock; board_lock_path(path, &lock))
    return open_board_lock(lock, large ? flags | O_LARGEFILE : flags, mode);
  bool handled = false;
  int r = emu_open(path, flags, &handled);
  return handled ? r : real().open(path, large ? flags | O_LARGEFILE : flags, mode);
}

int openat_common(int dirfd, const char *path, int flags, mode_t mode, bool large = false) {
  if (std::string lock; board_lock_path(path, &lock))
    return open_board_lock(lock, large ? flags | O_LARGEFILE : flags, mode);
  if (path && path[0] == '/') {
    bool handled = false;
    int r = emu_open(path, flags, &handled);
    if (handled) return r;
  }
  return real().openat(dirfd, path, large ? flags | O_LARGEFILE : flags, mode);
}

template <class ST>
int stat_common(const char *path, ST *st, int (*pass)(const char *, ST *)) {
  int r = emu_stat_path(path, st);
  if (r < 0) return pass(path, st);
  return r ? fail(r) : 0;
}

template <class ST>
int fstat_common(int fd, ST *st, int (*pass)(int, ST *)) {
  if (emulated_fd(fd) && emu_stat_fd(fd, st) == 0) return 0;
  return pass(fd, st);
}

template <class ST>
int fstatat_common(int dirfd, const char *path, ST *st, int flags,
                   int (*pass)(int, const char *, ST *, int)) {
  if (path && path[0] == '\0' && (flags & AT_EMPTY_PATH) && emulated_fd(dirfd) &&
      emu_stat_fd(dirfd, st) == 0)
    return 0;
  if (path && path[0] == '/') {
    int r = emu_stat_path(path, st);
    if (r >= 0) return r ? fail(r) : 0;
  }
  return pass(dirfd, path, st, flags);
}

}  // namespace

EXPORT int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return open_common(path, flags, mode, true);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return openat_common(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return openat_common(dirfd, path, flags, mode, true);
}

EXPORT int __open_2(const char *path, int flags) {
  return open_common(path, flags, 0);
}
EXPORT int __open64_2(const char *path, int flags) {
  return open_common(path, flags, 0, true);
}
EXPORT int __openat_2(int dirfd, const char *path, int flags) {
  return openat_common(dirfd, path, flags, 0);
}
EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
  return openat_common(dirfd, path, flags, 0, true);
}

EXPORT int close(int fd) {
  if (emulated_fd(fd)) return emu_close(fd);
  return real().close(fd);
}

EXPORT ssize_t read(int fd, void *buf, size_t len) {
  if (emulated_fd(fd)) return emu_read(fd, buf, len);
  return real().read(fd, buf, len);
}

EXPORT ssize_t __read_chk(int fd, void *buf, size_t len, size_t buflen) {
  if (len > buflen) abort();
  return read(fd, buf, len);
}

EXPORT ssize_t write(int fd, const void *buf, size_t len) {
  if (emulated_fd(fd)) return emu_write(fd, buf, len);
  return real().write(fd, buf, len);
}

namespace {
// A user-mode emulator (qemu-user) refuses a request it has no table entry for with ENOSYS before
// any descriptor is looked at; the kernel answers EBADF for a bad descriptor and ENOTTY for a
// request the file does not take.
int pass_ioctl(int (*pass)(int, unsigned long, ...), int fd, unsigned long req, void *arg) {
  int r = pass(fd, req, arg);
  if (r < 0 && errno == ENOSYS) errno = real().fcntl(fd, F_GETFD) < 0 ? EBADF : ENOTTY;
  return r;
}
}  // namespace

EXPORT int ioctl(int fd, unsigned long req, ...) {
  va_list ap;
  va_start(ap, req);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (emulated_fd(fd)) return emu_ioctl(fd, req, arg, real().ioctl);
  return pass_ioctl(real().ioctl, fd, req, arg);
}

// The actions the program gives its signals, each call as the C library makes it, through the
// preload's sigaction (which puts its handlers behind the trampoline and reports them back).
namespace {
SignalHandler set_handler(int sig, SignalHandler h, int flags, bool mask_self) {
  if (h == SIG_ERR || sig <= 0 || sig >= NSIG) {
    errno = EINVAL;
    return SIG_ERR;
  }
  struct sigaction act {
  }, old{};
  act.sa_handler = h;
  sigemptyset(&act.sa_mask);
  if (mask_self) sigaddset(&act.sa_mask, sig);
  act.sa_flags = flags;
  if (program_sigaction(sig, &act, &old) != 0) return SIG_ERR;
  return old.sa_handler;
}
}  // namespace

EXPORT int sigaction(int sig, const struct sigaction *act, struct sigaction *old) noexcept {
  return program_sigaction(sig, act, old);
}

EXPORT SignalHandler signal(int sig, SignalHandler h) noexcept {
  return set_handler(sig, h, SA_RESTART, true);
}

EXPORT SignalHandler bsd_signal(int sig, SignalHandler h) noexcept {
  return set_handler(sig, h, SA_RESTART, true);
}

EXPORT SignalHandler sysv_signal(int sig, SignalHandler h) noexcept {
  return set_handler(sig, h, SA_RESETHAND | SA_NODEFER, false);
}

EXPORT SignalHandler __sysv_signal(int sig, SignalHandler h) noexcept {
  return set_handler(sig, h, SA_RESETHAND | SA_NODEFER, false);
}

// SIG_HOLD blocks the signal; any other action unblocks it. Either way the answer is SIG_HOLD
// when it was blocked before, the previous action otherwise.
EXPORT SignalHandler sigset(int sig, SignalHandler h) noexcept {
  if (sig <= 0 || sig >= NSIG || h == SIG_ERR) {
    errno = EINVAL;
    return SIG_ERR;
  }
  sigset_t one, before;
  sigemptyset(&one);
  sigaddset(&one, sig);
  struct sigaction old {};
  if (h == SIG_HOLD) {
    if (sigprocmask(SIG_BLOCK, &one, &before) != 0) return SIG_ERR;
    if (sigismember(&before, sig)) return SIG_HOLD;
    if (program_sigaction(sig, nullptr, &old) != 0) return SIG_ERR;
    return old.sa_handler;
  }
  struct sigaction act {};
  act.sa_handler = h;
  sigemptyset(&act.sa_mask);
  if (program_sigaction(sig, &act, &old) != 0) return SIG_ERR;
  if (sigprocmask(SIG_UNBLOCK, &one, &before) != 0) return SIG_ERR;
  return sigismember(&before, sig) ? SIG_HOLD : old.sa_handler;
}

// A port's models hear of a flush of the program's input (the C library's own call inside
// tcflush cannot be caught).
EXPORT int tcflush(int fd, int queue) noexcept {
  const int r = real().tcflush(fd, queue);
  if (r == 0 && queue != TCOFLUSH && emulated_fd(fd)) emu_flushed(fd);
  return r;
}

EXPORT int __ioctl_time64(int fd, unsigned long req, ...) {
  va_list ap;
  va_start(ap, req);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (emulated_fd(fd)) return emu_ioctl(fd, req, arg, real().ioctl_time64);
  return pass_ioctl(real().ioctl_time64, fd, req, arg);
}

EXPORT off_t lseek(int fd, off_t off, int whence) {
  if (emulated_fd(fd)) {
    bool handled = false;
    off_t r = emu_lseek(fd, off, whence, &handled);
    if (handled) return r;
  }
  return real().lseek(fd, off, whence);
}

EXPORT off64_t lseek64(int fd, off64_t off, int whence) {
  if (emulated_fd(fd)) {
    bool handled = false;
    off_t r = emu_lseek(fd, static_cast<off_t>(off), whence, &handled);
    if (handled) return r;
  }
  return real().lseek64(fd, off, whence);
}

EXPORT int dup(int fd) {
  int r = real().dup(fd);
  if (r >= 0 && emulated_fd(fd)) emu_dup(fd, r);
  return r;
}

EXPORT int dup2(int fd, int newfd) {
  if (fd != newfd) emu_replaced(newfd);
  int r = real().dup2(fd, newfd);
  if (r >= 0 && emulated_fd(fd)) emu_dup(fd, r);
  return r;
}

EXPORT int dup3(int fd, int newfd, int flags) {
  if (fd != newfd) emu_replaced(newfd);
  int r = real().dup3(fd, newfd, flags);
  if (r >= 0 && emulated_fd(fd)) emu_dup(fd, r);
  return r;
}

namespace {
int fcntl_common(int (*pass)(int, int, ...), int fd, int cmd, void *arg) {
  int r = pass(fd, cmd, arg);
  if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && emulated_fd(fd)) emu_dup(fd, r);
  return r;
}
}  // namespace

EXPORT int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return fcntl_common(real().fcntl, fd, cmd, arg);
}

EXPORT int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return fcntl_common(real().fcntl64, fd, cmd, arg);
}

EXPORT int stat(const char *path, struct stat *st) {
  return stat_common(path, st, real().stat);
}
EXPORT int lstat(const char *path, struct stat *st) {
  return stat_common(path, st, real().lstat);
}
EXPORT int fstat(int fd, struct stat *st) {
  return fstat_common(fd, st, real().fstat);
}
EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) {
  return fstatat_common(dirfd, path, st, flags, real().fstatat);
}
EXPORT int stat64(const char *path, struct stat64 *st) {
  return stat_common(path, st, real().stat64);
}
EXPORT int lstat64(const char *path, struct stat64 *st) {
  return stat_common(path, st, real().lstat64);
}
EXPORT int fstat64(int fd, struct stat64 *st) {
  return fstat_common(fd, st, real().fstat64);
}
EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) {
  return fstatat_common(dirfd, path, st, flags, real().fstatat64);
}

// Entry points of programs built against older C libraries.
EXPORT int __xstat(int, const char *path, struct stat *st) {
  return stat(path, st);
}
EXPORT int __lxstat(int, const char *path, struct stat *st) {
  return lstat(path, st);
}
EXPORT int __fxstat(int, int fd, struct stat *st) {
  return fstat(fd, st);
}
EXPORT int __fxstatat(int, int dirfd, const char *path, struct stat *st, int flags) {
  return fstatat(dirfd, path, st, flags);
}
EXPORT int __xstat64(int, const char *path, struct stat64 *st) {
  return stat64(path, st);
}
EXPORT int __lxstat64(int, const char *path, struct stat64 *st) {
  return lstat64(path, st);
}
EXPORT int __fxstat64(int, int fd, struct stat64 *st) {
  return fstat64(fd, st);
}
EXPORT int __fxstatat64(int, int dirfd, const char *path, struct stat64 *st, int flags) {
  return fstatat64(dirfd, path, st, flags);
}

EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *sx) {
  struct stat st;
  int r = -1;
  // The C library declares `path` non-null, but a caller may still pass null: let it fail there.
  const char *volatile p = path;
  if (!p) return real().statx(dirfd, path, flags, mask, sx);
  if (path[0] == '\0' && (flags & AT_EMPTY_PATH) && emulated_fd(dirfd) &&
      emu_stat_fd(dirfd, &st) == 0)
    r = 0;
  else if (path[0] == '/')
    r = emu_stat_path(path, &st);
  if (r < 0) return real().statx(dirfd, path, flags, mask, sx);
  if (r > 0) return fail(r);
  std::memset(sx, 0, sizeof *sx);
  sx->stx_mask = STATX_BASIC_STATS;
  sx->stx_mode = static_cast<std::uint16_t>(st.st_mode);
  sx->stx_uid = st.st_uid;
  sx->stx_gid = st.st_gid;
  sx->stx_nlink = static_cast<std::uint32_t>(st.st_nlink);
  sx->stx_size = static_cast<std::uint64_t>(st.st_size);
  sx->stx_blksize = static_cast<std::uint32_t>(st.st_blksize);
  sx->stx_rdev_major = major(st.st_rdev);
  sx->stx_rdev_minor = minor(st.st_rdev);
  sx->stx_dev_major = major(st.st_dev);
  sx->stx_dev_minor = minor(st.st_dev);
  sx->stx_atime.tv_sec = sx->stx_mtime.tv_sec = sx->stx_ctime.tv_sec = st.st_mtime;
  return 0;
}

EXPORT int access(const char *path, int mode) {
  int r = emu_access(path, mode, false);
  if (r < 0) return real().access(path, mode);
  return r ? fail(r) : 0;
}

EXPORT int faccessat(int dirfd, const char *path, int mode, int flags) {
  int r = emu_access(path, mode, (flags & AT_EACCESS) != 0);
  if (r < 0) return real().faccessat(dirfd, path, mode, flags);
  return r ? fail(r) : 0;
}

// Simulated nodes carry no extended attributes (ls -l asks for them).
namespace {
template <class F>
ssize_t xattr_common(const char *path, F pass, bool list) {
  Attr a{};
  int r = emu_attr_path(path, &a);
  if (r < 0) return pass();
  if (r > 0) return fail(r);
  return list ? 0 : fail(ENODATA);
}
}  // namespace

EXPORT ssize_t getxattr(const char *path, const char *name, void *value, size_t size) {
  return xattr_common(
      path, [&] { return real().getxattr(path, name, value, size); }, false);
}
EXPORT ssize_t lgetxattr(const char *path, const char *name, void *value, size_t size) {
  return xattr_common(
      path, [&] { return real().lgetxattr(path, name, value, size); }, false);
}
EXPORT ssize_t listxattr(const char *path, char *list, size_t size) {
  return xattr_common(
      path, [&] { return real().listxattr(path, list, size); }, true);
}
EXPORT ssize_t llistxattr(const char *path, char *list, size_t size) {
  return xattr_common(
      path, [&] { return real().llistxattr(path, list, size); }, true);
}

// A process that ends with _exit runs no destructors: what it wrote to a serial port still goes
// to the port's model first, as a real port drains on the last close.
EXPORT void _exit(int status) {
  serial_drain_all();
  real().exit_now(status);
  __builtin_unreachable();
}
EXPORT void _Exit(int status) {
  _exit(status);
}

// ---- memory mappings of emulated nodes ------------------------------------------------------

EXPORT void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  if (emulated_fd(fd)) {
    bool handled = false;
    void *r = emu_mmap(addr, len, prot, flags, fd, off, &handled);
    if (handled) return r;
  }
  return real().mmap(addr, len, prot, flags, fd, off);
}

EXPORT void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off) {
  if (emulated_fd(fd)) {
    bool handled = false;
    void *r = emu_mmap(addr, len, prot, flags, fd, off, &handled);
    if (handled) return r;
  }
  return real().mmap64(addr, len, prot, flags, fd, off);
}

EXPORT int munmap(void *addr, size_t len) {
  bool handled = false;
  int r = emu_munmap(addr, len, &handled);
  return handled ? r : real().munmap(addr, len);
}

// ---- libv4l2 ----------------------------------------------------------------------------------

EXPORT int v4l2_open(const char *path, int flags, ...) {
  bool handled = false;
  int r = emu_open(path, flags, &handled);
  if (handled) return r;
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  return real().v4l2_open ? real().v4l2_open(path, flags, mode) : fail(ENOSYS);
}

EXPORT int v4l2_close(int fd) {
  if (emulated_fd(fd)) return emu_close(fd);
  return real().v4l2_close ? real().v4l2_close(fd) : fail(ENOSYS);
}

EXPORT int v4l2_ioctl(int fd, unsigned long req, ...) {
  va_list ap;
  va_start(ap, req);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (emulated_fd(fd)) return emu_ioctl(fd, req, arg, real().ioctl);
  return real().v4l2_ioctl ? real().v4l2_ioctl(fd, req, arg) : fail(ENOSYS);
}

EXPORT ssize_t v4l2_read(int fd, void *buf, size_t len) {
  if (emulated_fd(fd)) return emu_read(fd, buf, len);
  return real().v4l2_read ? real().v4l2_read(fd, buf, len) : fail(ENOSYS);
}

EXPORT void *v4l2_mmap(void *addr, size_t len, int prot, int flags, int fd, std::int64_t off) {
  if (emulated_fd(fd)) return mmap64(addr, len, prot, flags, fd, off);
  if (real().v4l2_mmap) return real().v4l2_mmap(addr, len, prot, flags, fd, off);
  errno = ENOSYS;
  return MAP_FAILED;
}

EXPORT int v4l2_munmap(void *addr, size_t len) {
  bool handled = false;
  int r = emu_munmap(addr, len, &handled);
  if (handled) return r;
  return real().v4l2_munmap ? real().v4l2_munmap(addr, len) : fail(ENOSYS);
}
