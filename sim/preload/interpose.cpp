// The libc entry points the preload replaces. Paths and descriptors the simulator does not
// emulate go straight to the real functions.
#include <dlfcn.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "nodes.h"
#include "runtime.h"
#include "stat_fill.h"
#include "tarsa_sim.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace tsim {
namespace {

constexpr int kMaxFd = 65536;
std::atomic<std::uint8_t> g_emu[kMaxFd];

std::unordered_map<int, std::shared_ptr<OpenFile>> &table() {
  static auto *t = new std::unordered_map<int, std::shared_ptr<OpenFile>>;
  return *t;
}

inline bool emulated_fd(int fd) {
  return fd >= 0 && fd < kMaxFd && g_emu[fd].load(std::memory_order_relaxed);
}

inline bool candidate(const char *p) {
  return p && p[0] == '/' && (std::strncmp(p, "/dev/", 5) == 0 || std::strncmp(p, "/sys/", 5) == 0);
}

std::string normalise(const char *p) {
  std::string out;
  for (const char *c = p; *c; ++c) {
    if (*c == '/' && !out.empty() && out.back() == '/') continue;
    out += *c;
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, "/.") == 0 && (c[1] == '/' || c[1] == '\0'))
      out.resize(out.size() - 1);
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

bool digits_after(const std::string &s, const char *prefix) {
  std::size_t n = std::strlen(prefix);
  if (s.compare(0, n, prefix) != 0 || s.size() == n) return false;
  for (std::size_t i = n; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// Paths that belong to the simulated board: absent ones fail with ENOENT even when the host
// has such a node.
bool reserved(const std::string &s) {
  return digits_after(s, "/dev/i2c-") || s == "/dev/user-gpio" || digits_after(s, "/dev/ttyO") ||
         digits_after(s, "/dev/ttyACM") || digits_after(s, "/dev/video") ||
         s.compare(0, 23, "/sys/class/pwm/pwmchip") == 0;
}

bool in_groups(unsigned gid, bool effective) {
  if ((effective ? getegid() : getgid()) == gid) return true;
  int n = getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> g(static_cast<std::size_t>(n));
  n = getgroups(n, g.data());
  for (int i = 0; i < n; ++i)
    if (g[static_cast<std::size_t>(i)] == gid) return true;
  return false;
}

// 0 or EACCES for the access `want` (R_OK|W_OK|X_OK bits) to a node with the given owner/mode.
int permission(const NodeInfo &n, unsigned mode, int want, bool effective) {
  uid_t uid = effective ? geteuid() : getuid();
  if (uid == 0) return (want & X_OK) && !(mode & 0111) ? EACCES : 0;
  unsigned bits;
  if (uid == n.uid) bits = (mode >> 6) & 7;
  else if (in_groups(n.gid, effective)) bits = (mode >> 3) & 7;
  else bits = mode & 7;
  return (static_cast<unsigned>(want) & ~bits & 7) ? EACCES : 0;
}

int want_of(int flags) {
  switch (flags & O_ACCMODE) {
    case O_RDONLY: return R_OK;
    case O_WRONLY: return W_OK;
    default: return R_OK | W_OK;
  }
}

// Attributes of an emulated path: 0, ENOENT, or -1 when the path is not the simulator's.
int attr_of(const std::string &node, Attr *a) {
  const NodeInfo *n = rt().board().node(node);
  if (!n) return reserved(node) ? ENOENT : -1;
  a->mode = n->mode;
  a->uid = n->uid;
  a->gid = n->gid;
  a->size = 0;
  a->type = S_IFCHR;
  a->rdev_major = a->rdev_minor = 0;
  timespec wall{};
  clock_gettime(CLOCK_REALTIME, &wall);
  a->time = wall.tv_sec - static_cast<long long>((monotonic_ns() - rt().shm().start_ns) / 1000000000ULL);
  switch (n->kind) {
    case NodeKind::i2c: a->rdev_major = 89; a->rdev_minor = static_cast<unsigned>(n->adapter); break;
    case NodeKind::gpio: a->rdev_major = 10; a->rdev_minor = 200; break;
    case NodeKind::serial: a->rdev_major = 4; a->rdev_minor = 64; break;
    case NodeKind::video: a->rdev_major = 81; a->rdev_minor = 6; break;
    case NodeKind::pwm: {
      bool dir = false;
      if (!pwm_exists(node, &dir)) return ENOENT;
      a->type = dir ? S_IFDIR : S_IFREG;
      a->size = dir ? 0 : 4096;
      break;
    }
    default: break;
  }
  return 0;
}

std::shared_ptr<OpenFile> lookup(int fd) {
  auto it = table().find(fd);
  return it == table().end() ? nullptr : it->second;
}

// Forgets `fd` (closed, or replaced by dup2); the last descriptor of an open file ends its claims.
std::shared_ptr<OpenFile> forget(int fd) {
  auto f = lookup(fd);
  if (!f) return nullptr;
  table().erase(fd);
  g_emu[fd].store(0);
  if (f.use_count() == 1 && f->kind == NodeKind::gpio) rt().board().gpio().release_owner(f->owner);
  return f;
}

int fail(int err) {
  errno = err;
  return -1;
}

// No exception may cross into the program: a model that throws fails the call instead.
int from_exception() {
  try {
    throw;
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  } catch (const std::exception &e) {
    std::string msg = std::string("tarsa-sim: ") + e.what() + "\n";
    (void)!real().write(2, msg.data(), msg.size());
    return EIO;
  } catch (...) {
    return EIO;
  }
}

}  // namespace

// ---- open -------------------------------------------------------------------------------------

int emu_open(const char *path, int flags, mode_t mode, bool *handled) try {
  (void)mode;
  *handled = false;
  if (!candidate(path)) return 0;
  std::string node = normalise(path);
  Guard g;
  const NodeInfo *n = rt().board().node(node);
  if (!n && !reserved(node)) return 0;
  *handled = true;
  int err = 0, fd = -1;
  if (!n) err = ENOENT;
  if (!err && n->kind == NodeKind::pwm) err = pwm_open_check(node, flags);
  if (!err && (flags & O_CREAT) && (flags & O_EXCL)) err = EEXIST;
  if (!err && (flags & O_DIRECTORY) && n->kind != NodeKind::pwm) err = ENOTDIR;
  if (!err) err = permission(*n, n->mode, want_of(flags), true);
  if (!err) {
    if (n->kind == NodeKind::serial) {
      fd = serial_open(node, flags);
    } else {
      // Counter 1: poll and select see the node ready, as for a driver without its own poll.
      fd = eventfd(1, ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0) | ((flags & O_NONBLOCK) ? EFD_NONBLOCK : 0));
    }
    if (fd < 0) err = errno;
    else if (fd >= kMaxFd) {
      real().close(fd);
      err = EMFILE;
    }
  }
  if (!err) {
    auto f = std::make_shared<OpenFile>();
    f->kind = n->kind;
    f->path = path;
    f->node = node;
    f->flags = flags;
    f->adapter = n->adapter;
    if (n->kind == NodeKind::gpio) f->owner = ++rt().shm().next_owner;
    table()[fd] = f;
    g_emu[fd].store(1);
  }
  Rec(path, "open").num("flags", flags).emit(err ? -1 : fd, err);
  return err ? fail(err) : fd;
} catch (...) {
  *handled = true;
  return fail(from_exception());
}

int emu_close(int fd) try {
  std::shared_ptr<OpenFile> f;
  {
    Guard g;
    f = forget(fd);
  }
  // Outside the lock: closing a terminal may wait for its output, which the model thread reads.
  int r = real().close(fd);
  int err = r < 0 ? errno : 0;
  if (f) {
    Guard g;
    Rec(f->path, "close").emit(r, err);
  }
  errno = err;
  return r;
} catch (...) {
  return fail(from_exception());
}

ssize_t emu_read(int fd, void *buf, size_t len) try {
  std::shared_ptr<OpenFile> f;
  {
    Guard g;
    f = lookup(fd);
    if (f && f->kind != NodeKind::serial) {
      switch (f->kind) {
        case NodeKind::i2c: return i2c_read(*f, buf, len);
        case NodeKind::pwm: return pwm_read(*f, buf, len);
        default: return fail(EINVAL);
      }
    }
  }
  // Serial reads may block: never under the lock the model thread needs.
  return real().read(fd, buf, len);
} catch (...) {
  return fail(from_exception());
}

ssize_t emu_write(int fd, const void *buf, size_t len) try {
  std::shared_ptr<OpenFile> f;
  {
    Guard g;
    f = lookup(fd);
    if (f && f->kind != NodeKind::serial) {
      switch (f->kind) {
        case NodeKind::i2c: return i2c_write(*f, buf, len);
        case NodeKind::pwm: return pwm_write(*f, buf, len);
        default: return fail(EINVAL);
      }
    }
  }
  return real().write(fd, buf, len);
} catch (...) {
  return fail(from_exception());
}

int emu_ioctl(int fd, unsigned long req, void *arg, int (*pass)(int, unsigned long, ...)) try {
  {
    Guard g;
    auto f = lookup(fd);
    if (f && f->kind != NodeKind::serial) {
      switch (f->kind) {
        case NodeKind::i2c: return i2c_ioctl(*f, req, arg);
        case NodeKind::gpio: return gpio_ioctl(*f, req, arg);
        default:
          Rec(f->path, "ioctl").num("request", static_cast<long long>(req)).emit(-1, ENOTTY);
          return fail(ENOTTY);
      }
    }
  }
  return pass(fd, req, arg);
} catch (...) {
  return fail(from_exception());
}

off_t emu_lseek(int fd, off_t off, int whence, bool *handled) try {
  Guard g;
  auto f = lookup(fd);
  *handled = f && f->kind != NodeKind::serial;
  if (!*handled) return 0;
  if (f->kind != NodeKind::pwm) return fail(ESPIPE);
  off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->offset : -1;
  if (base < 0 || base + off < 0) return fail(EINVAL);
  f->offset = base + off;
  return f->offset;
} catch (...) {
  *handled = true;
  return fail(from_exception());
}

// After a successful dup of an emulated descriptor: the copy refers to the same open file.
void emu_dup(int oldfd, int newfd) try {
  Guard g;
  auto f = lookup(oldfd);
  if (!f || newfd < 0 || newfd >= kMaxFd || newfd == oldfd) return;
  forget(newfd);
  table()[newfd] = f;
  g_emu[newfd].store(1);
} catch (...) {
}

// dup2/dup3 onto an emulated descriptor close it first.
void emu_replaced(int newfd) try {
  if (newfd < 0 || newfd >= kMaxFd || !g_emu[newfd].load()) return;
  Guard g;
  if (auto f = forget(newfd)) Rec(f->path, "close").emit(0, 0);
} catch (...) {
}

int emu_attr_path(const char *path, Attr *a) try {
  if (!candidate(path)) return -1;
  std::string node = normalise(path);
  Guard g;
  return attr_of(node, a);
} catch (...) {
  return from_exception();
}

int emu_attr_fd(int fd, Attr *a) try {
  if (!emulated_fd(fd)) return -1;
  Guard g;
  auto f = lookup(fd);
  if (!f || f->kind == NodeKind::serial) return -1;
  if (attr_of(f->node, a) != 0) *a = Attr{S_IFCHR, 0600, 0, 0, 0, 0, 0, 0};
  return 0;
} catch (...) {
  return -1;
}

bool emu_fd(int fd) { return emulated_fd(fd); }

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

int emu_access(const char *path, int mode, bool effective) try {
  if (!candidate(path)) return -1;
  std::string node = normalise(path);
  Guard g;
  Attr a{};
  int r = attr_of(node, &a);
  if (r != 0) return r;
  if (mode == F_OK) return 0;
  NodeInfo n;
  n.uid = a.uid;
  n.gid = a.gid;
  return permission(n, a.mode, mode, effective);
} catch (...) {
  return from_exception();
}

}  // namespace tsim

using namespace tsim;

namespace {

mode_t mode_arg(int flags, va_list ap) {
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) return static_cast<mode_t>(va_arg(ap, unsigned));
  return 0;
}

// `large`: the 64-bit-offset entry points, which add O_LARGEFILE for the kernel. Emulated nodes
// see and trace the flags as the program gave them.
int open_common(const char *path, int flags, mode_t mode, bool large = false) {
  bool handled = false;
  int r = emu_open(path, flags, mode, &handled);
  return handled ? r : real().open(path, large ? flags | O_LARGEFILE : flags, mode);
}

int openat_common(int dirfd, const char *path, int flags, mode_t mode, bool large = false) {
  if (path && path[0] == '/') {
    bool handled = false;
    int r = emu_open(path, flags, mode, &handled);
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
int fstatat_common(int dirfd, const char *path, ST *st, int flags, int (*pass)(int, const char *, ST *, int)) {
  if (path && path[0] == '\0' && (flags & AT_EMPTY_PATH) && emulated_fd(dirfd) && emu_stat_fd(dirfd, st) == 0)
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

EXPORT int __open_2(const char *path, int flags) { return open_common(path, flags, 0); }
EXPORT int __open64_2(const char *path, int flags) { return open_common(path, flags, 0, true); }
EXPORT int __openat_2(int dirfd, const char *path, int flags) { return openat_common(dirfd, path, flags, 0); }
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

EXPORT int stat(const char *path, struct stat *st) { return stat_common(path, st, real().stat); }
EXPORT int lstat(const char *path, struct stat *st) { return stat_common(path, st, real().lstat); }
EXPORT int fstat(int fd, struct stat *st) { return fstat_common(fd, st, real().fstat); }
EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) {
  return fstatat_common(dirfd, path, st, flags, real().fstatat);
}
EXPORT int stat64(const char *path, struct stat64 *st) { return stat_common(path, st, real().stat64); }
EXPORT int lstat64(const char *path, struct stat64 *st) { return stat_common(path, st, real().lstat64); }
EXPORT int fstat64(int fd, struct stat64 *st) { return fstat_common(fd, st, real().fstat64); }
EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) {
  return fstatat_common(dirfd, path, st, flags, real().fstatat64);
}

// Entry points of programs built against older C libraries.
EXPORT int __xstat(int, const char *path, struct stat *st) { return stat(path, st); }
EXPORT int __lxstat(int, const char *path, struct stat *st) { return lstat(path, st); }
EXPORT int __fxstat(int, int fd, struct stat *st) { return fstat(fd, st); }
EXPORT int __fxstatat(int, int dirfd, const char *path, struct stat *st, int flags) {
  return fstatat(dirfd, path, st, flags);
}
EXPORT int __xstat64(int, const char *path, struct stat64 *st) { return stat64(path, st); }
EXPORT int __lxstat64(int, const char *path, struct stat64 *st) { return lstat64(path, st); }
EXPORT int __fxstat64(int, int fd, struct stat64 *st) { return fstat64(fd, st); }
EXPORT int __fxstatat64(int, int dirfd, const char *path, struct stat64 *st, int flags) {
  return fstatat64(dirfd, path, st, flags);
}

EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *sx) {
  struct stat st;
  int r = -1;
  // The C library declares `path` non-null, but a caller may still pass null: let it fail there.
  const char *volatile p = path;
  if (!p) return real().statx(dirfd, path, flags, mask, sx);
  if (path[0] == '\0' && (flags & AT_EMPTY_PATH) && emulated_fd(dirfd) && emu_stat_fd(dirfd, &st) == 0)
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
using GetX = ssize_t (*)(const char *, const char *, void *, size_t);
using ListX = ssize_t (*)(const char *, char *, size_t);
}  // namespace

EXPORT ssize_t getxattr(const char *path, const char *name, void *value, size_t size) {
  static auto real_fn = reinterpret_cast<GetX>(dlsym(RTLD_NEXT, "getxattr"));
  return xattr_common(path, [&] { return real_fn(path, name, value, size); }, false);
}
EXPORT ssize_t lgetxattr(const char *path, const char *name, void *value, size_t size) {
  static auto real_fn = reinterpret_cast<GetX>(dlsym(RTLD_NEXT, "lgetxattr"));
  return xattr_common(path, [&] { return real_fn(path, name, value, size); }, false);
}
EXPORT ssize_t listxattr(const char *path, char *list, size_t size) {
  static auto real_fn = reinterpret_cast<ListX>(dlsym(RTLD_NEXT, "listxattr"));
  return xattr_common(path, [&] { return real_fn(path, list, size); }, true);
}
EXPORT ssize_t llistxattr(const char *path, char *list, size_t size) {
  static auto real_fn = reinterpret_cast<ListX>(dlsym(RTLD_NEXT, "llistxattr"));
  return xattr_common(path, [&] { return real_fn(path, list, size); }, true);
}

// ---- stdio: streams over emulated nodes ------------------------------------------------------

namespace {

ssize_t cookie_read(void *c, char *buf, size_t len) {
  return read(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, len);
}
ssize_t cookie_write(void *c, const char *buf, size_t len) {
  ssize_t r = write(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, len);
  return r < 0 ? 0 : r;  // stdio takes 0 as a write error
}
int cookie_seek(void *c, off64_t *pos, int whence) {
  off_t r = lseek(static_cast<int>(reinterpret_cast<intptr_t>(c)), static_cast<off_t>(*pos), whence);
  if (r < 0) return -1;
  *pos = r;
  return 0;
}
int cookie_close(void *c) { return close(static_cast<int>(reinterpret_cast<intptr_t>(c))); }

int flags_of_mode(const char *mode) {
  int flags;
  switch (mode[0]) {
    case 'r': flags = O_RDONLY; break;
    case 'w': flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return -1;
  }
  for (const char *m = mode + 1; *m && *m != ','; ++m) {
    if (*m == '+') flags = (flags & ~O_ACCMODE) | O_RDWR;
    else if (*m == 'e') flags |= O_CLOEXEC;
    else if (*m == 'x') flags |= O_EXCL;
  }
  return flags;
}

FILE *fopen_common(const char *path, const char *mode, FILE *(*pass)(const char *, const char *)) {
  if (!candidate(path) || !mode) return pass(path, mode);
  int flags = flags_of_mode(mode);
  if (flags < 0) return pass(path, mode);
  bool handled = false;
  int fd = emu_open(path, flags, 0666, &handled);
  if (!handled) return pass(path, mode);
  if (fd < 0) return nullptr;
  bool serial = false;
  {
    Guard g;
    auto f = lookup(fd);
    serial = f && f->kind == NodeKind::serial;
  }
  if (serial) return fdopen(fd, mode);
  // stdio inside the C library writes with its own system calls; a cookie routes it back here.
  cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
  FILE *fp = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
  if (!fp) close(fd);
  return fp;
}

}  // namespace

EXPORT FILE *fopen(const char *path, const char *mode) { return fopen_common(path, mode, real().fopen); }

EXPORT FILE *fdopen(int fd, const char *mode) {
  static auto pass = reinterpret_cast<FILE *(*)(int, const char *)>(dlsym(RTLD_NEXT, "fdopen"));
  if (emulated_fd(fd) && mode) {
    bool serial = true;
    {
      Guard g;
      auto f = lookup(fd);
      serial = !f || f->kind == NodeKind::serial;
    }
    if (!serial) {
      cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
      return fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
    }
  }
  return pass(fd, mode);
}
EXPORT FILE *fopen64(const char *path, const char *mode) { return fopen_common(path, mode, real().fopen64); }

// ---- control interface ------------------------------------------------------------------------

extern "C" TARSA_SIM_API int tarsa_sim_load_scenario(const char *toml_text) {
  std::string err = rt().load(toml_text ? toml_text : "");
  if (!err.empty()) {
    std::string msg = "tarsa-sim: scenario refused: " + err + "\n";
    (void)!real().write(2, msg.data(), msg.size());
    return -1;
  }
  Guard g;
  serial_reset_scripts();
  return 0;
}

extern "C" TARSA_SIM_API int tarsa_sim_gpio_input(int pin, int level) {
  Guard g;
  GpioController &gpio = rt().board().gpio();
  if (!gpio.present(pin)) return -1;
  gpio.set_input(pin, level);
  return 0;
}

extern "C" TARSA_SIM_API int tarsa_sim_gpio_level(int pin) {
  Guard g;
  return rt().board().gpio().level(pin);
}

extern "C" TARSA_SIM_API const char *tarsa_sim_trace_path(void) {
  Runtime &r = rt();
  return r.tracing() ? r.trace_path().c_str() : nullptr;
}

extern "C" TARSA_SIM_API unsigned long tarsa_sim_trace_seq(void) {
  Guard g;
  return static_cast<unsigned long>(rt().shm().seq);
}

// Early start, so the state is mapped before the program makes its first call.
__attribute__((constructor)) static void tarsa_sim_start() { rt(); }
