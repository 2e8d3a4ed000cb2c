// Dispatch to the emulated nodes: the descriptor table, paths and permissions, and each call
// served through the operations of its node kind.
#include "dispatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "nodes.h"
#include "runtime.h"

namespace tsim {

std::atomic<std::uint8_t> g_emulated[kMaxFd];

namespace {

// The operations of each node kind, in the order of NodeKind.
constexpr NodeOps kOps[] = {
    // none
    {false, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
    // i2c: /dev/i2c-N, char 89:N
    {false, 89, 0, nullptr, nullptr, i2c_read, i2c_write, i2c_ioctl, nullptr, nullptr},
    // gpio: /dev/user-gpio, a misc device
    {false, 10, 200, nullptr, gpio_close, nullptr, nullptr, gpio_ioctl, nullptr, nullptr},
    // serial: a pseudo-terminal stands in, char 4:64 as the board's first port
    {true, 4, 64, serial_open, serial_close, nullptr, nullptr, nullptr, nullptr, nullptr},
    // pwm: sysfs files and directories
    {false, 0, 0, nullptr, nullptr, pwm_read, pwm_write, nullptr, pwm_seek, nullptr},
    // video: /dev/videoN, char 81
    {false, 81, 6, video_open, video_close, video_read, nullptr, video_ioctl, nullptr, video_mmap},
    // attr: a read-only sysfs file; a memory file holds its text, so streams of every kind read it
    {true, 0, 0, attr_open, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};
static_assert(std::size(kOps) == static_cast<std::size_t>(NodeKind::attr) + 1);

std::unordered_map<int, std::shared_ptr<OpenFile>> &table() {
  static auto *t = new std::unordered_map<int, std::shared_ptr<OpenFile>>;
  return *t;
}

std::string normalise(const char *p) {
  std::string out;
  for (const char *c = p; *c; ++c) {
    if (*c == '/' && !out.empty() && out.back() == '/') continue;
    out += *c;
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, "/.") == 0 &&
        (c[1] == '/' || c[1] == '\0'))
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
int permission(unsigned uid_owner, unsigned gid_owner, unsigned mode, int want, bool effective) {
  uid_t uid = effective ? geteuid() : getuid();
  if (uid == 0) return (want & X_OK) && !(mode & 0111) ? EACCES : 0;
  unsigned bits;
  if (uid == uid_owner)
    bits = (mode >> 6) & 7;
  else if (in_groups(gid_owner, effective))
    bits = (mode >> 3) & 7;
  else
    bits = mode & 7;
  return (static_cast<unsigned>(want) & ~bits & 7) ? EACCES : 0;
}

int want_of(int flags) {
  switch (flags & O_ACCMODE) {
    case O_RDONLY:
      return R_OK;
    case O_WRONLY:
      return W_OK;
    default:
      return R_OK | W_OK;
  }
}

// Attributes of an emulated path: 0, ENOENT, or -1 when the path is not the simulator's.
int attr_of(const std::string &node, Attr *a) {
  const NodeInfo *n = rt().board().node(node);
  if (!n) return reserved(node) ? ENOENT : -1;
  const NodeOps &ops = ops_of(n->kind);
  a->mode = n->mode;
  a->uid = n->uid;
  a->gid = n->gid;
  const bool file = n->kind == NodeKind::pwm || n->kind == NodeKind::attr;
  a->type = !file ? S_IFCHR : n->dir ? S_IFDIR : S_IFREG;
  a->size = file && !n->dir ? 4096 : 0;
  a->rdev_major = ops.rdev_major;
  a->rdev_minor = n->kind == NodeKind::i2c ? static_cast<unsigned>(n->adapter) : ops.rdev_minor;
  timespec wall{};
  clock_gettime(CLOCK_REALTIME, &wall);
  a->time = wall.tv_sec - static_cast<long long>(rt().board().now_us() / 1000000ULL);
  return 0;
}

// The open file of `fd`, with `fd` as the descriptor being served. Caller holds the lock, which
// keeps the file while a call that neither closes nor duplicates descriptors uses it.
OpenFile *find(int fd) {
  auto it = table().find(fd);
  if (it == table().end()) return nullptr;
  it->second->fd = fd;
  return it->second.get();
}

// The same, shared: for calls that may drop the table's reference.
std::shared_ptr<OpenFile> lookup(int fd) {
  auto it = table().find(fd);
  if (it == table().end()) return nullptr;
  it->second->fd = fd;
  return it->second;
}

// Forgets `fd` (closed, or replaced by dup2); the node kind hears of it first.
std::shared_ptr<OpenFile> forget(int fd) {
  auto f = lookup(fd);
  if (!f) return nullptr;
  table().erase(fd);
  g_emulated[fd].store(0);
  if (auto close = ops_of(f->kind).close) close(*f, f.use_count() == 1);
  return f;
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

// 0, or the errno for opening node `n` with `flags` now.
int open_check(const NodeInfo &n, int flags) {
  if ((flags & O_CREAT) && (flags & O_EXCL)) return EEXIST;
  if ((flags & O_DIRECTORY) && !n.dir) return ENOTDIR;
  if (n.dir && (flags & O_ACCMODE) != O_RDONLY) return EISDIR;
  return permission(n.uid, n.gid, n.mode, want_of(flags), true);
}

}  // namespace

const NodeOps &ops_of(NodeKind kind) {
  return kOps[static_cast<std::size_t>(kind)];
}

int fail(int err) {
  errno = err;
  return -1;
}

bool candidate(const char *p) {
  return p && p[0] == '/' && (std::strncmp(p, "/dev/", 5) == 0 || std::strncmp(p, "/sys/", 5) == 0);
}

int emu_open(const char *path, int flags, bool *handled) try {
  *handled = false;
  if (!candidate(path)) return 0;
  std::string node = normalise(path);
  Guard g;
  const NodeInfo *n = rt().board().node(node);
  if (!n && !reserved(node)) return 0;
  *handled = true;
  auto f = std::make_shared<OpenFile>();
  int err = n ? open_check(*n, flags) : ENOENT;
  int fd = -1;
  if (!err) {
    f->kind = n->kind;
    f->path = path;
    f->node = node;
    f->flags = flags;
    f->adapter = n->adapter;
    if (auto open = ops_of(n->kind).open) {
      fd = open(*f);
    } else {
      // Counter 1: poll and select see the node ready, as for a driver without its own poll.
      fd = eventfd(
          1, ((flags & O_CLOEXEC) ? EFD_CLOEXEC : 0) | ((flags & O_NONBLOCK) ? EFD_NONBLOCK : 0));
    }
    if (fd < 0) {
      err = errno;
    } else if (fd >= kMaxFd) {
      if (auto close = ops_of(n->kind).close) close(*f, true);
      real().close(fd);
      err = EMFILE;
    }
  }
  if (!err) {
    if (n->kind == NodeKind::gpio) f->owner = ++rt().shm().next_owner;
    f->fd = fd;
    table()[fd] = f;
    g_emulated[fd].store(1);
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
  bool serial = false;
  {
    Guard g;
    OpenFile *f = find(fd);
    const NodeOps *ops = f ? &ops_of(f->kind) : nullptr;
    if (ops && ops->read) return ops->read(*f, buf, len);
    if (ops && !ops->real_fd) return fail(EINVAL);
    serial = f && f->kind == NodeKind::serial;
  }
  // A real device's reads may block: never under the lock its model thread needs.
  return serial ? serial_read(fd, buf, len) : real().read(fd, buf, len);
} catch (...) {
  return fail(from_exception());
}

ssize_t emu_write(int fd, const void *buf, size_t len) try {
  {
    Guard g;
    OpenFile *f = find(fd);
    const NodeOps *ops = f ? &ops_of(f->kind) : nullptr;
    if (ops && ops->write) return ops->write(*f, buf, len);
    if (ops && !ops->real_fd) return fail(EINVAL);
  }
  return real().write(fd, buf, len);
} catch (...) {
  return fail(from_exception());
}

int emu_ioctl(int fd, unsigned long req, void *arg, int (*pass)(int, unsigned long, ...)) try {
  for (;;) {
    std::uint64_t wait_us = 0;
    {
      Guard g;
      OpenFile *f = find(fd);
      const NodeOps *ops = f ? &ops_of(f->kind) : nullptr;
      if (ops && ops->ioctl) {
        const int r = ops->ioctl(*f, req, arg);
        // A request that blocks on the device (a frame on a blocking descriptor) waits here,
        // without the lock, and is asked again.
        if (r == 0 || errno != EAGAIN || f->kind != NodeKind::video ||
            (wait_us = video_block_us(*f, req)) == 0)
          return r;
      }
    }
    if (wait_us) {
      poll(nullptr, 0, static_cast<int>((wait_us + 999) / 1000));
      continue;
    }
    break;
  }
  {
    Guard g;
    auto f = lookup(fd);
    const NodeOps *ops = f ? &ops_of(f->kind) : nullptr;
    if (ops && !ops->real_fd) {
      Rec(f->path, "ioctl").num("request", static_cast<long long>(req)).emit(-1, ENOTTY);
      return fail(ENOTTY);
    }
  }
  return pass(fd, req, arg);
} catch (...) {
  return fail(from_exception());
}

off_t emu_lseek(int fd, off_t off, int whence, bool *handled) try {
  Guard g;
  auto f = lookup(fd);
  const NodeOps *ops = f ? &ops_of(f->kind) : nullptr;
  *handled = ops && !ops->real_fd;
  if (!*handled) return 0;
  return ops->seek ? ops->seek(*f, off, whence) : fail(ESPIPE);
} catch (...) {
  *handled = true;
  return fail(from_exception());
}

void *emu_mmap(void *addr, size_t len, int prot, int flags, int fd, off64_t off,
               bool *handled) try {
  Guard g;
  auto f = lookup(fd);
  const NodeOps *ops = f ? &ops_of(f->kind) : nullptr;
  *handled = ops && !ops->real_fd;
  if (!*handled) return nullptr;
  if (!ops->mmap) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  return ops->mmap(*f, addr, len, prot, flags, off);
} catch (...) {
  *handled = true;
  errno = from_exception();
  return MAP_FAILED;
}

int emu_munmap(void *addr, size_t len, bool *handled) try {
  *handled = false;
  if (!video_maps_any()) return 0;
  Guard g;
  int r = 0;
  *handled = video_munmap(addr, len, &r);
  return r;
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
  g_emulated[newfd].store(1);
} catch (...) {
}

void emu_replaced(int newfd) try {
  if (!emulated_fd(newfd)) return;
  Guard g;
  if (auto f = forget(newfd)) Rec(f->path, "close").emit(0, 0);
} catch (...) {
}

void emu_flushed(int fd) try {
  std::string node;
  {
    Guard g;
    auto f = lookup(fd);
    if (!f || f->kind != NodeKind::serial) return;
    node = f->node;
  }
  serial_flushed(node, fd);
} catch (...) {
}

bool emu_real_fd(int fd) try {
  Guard g;
  auto f = lookup(fd);
  return !f || ops_of(f->kind).real_fd;
} catch (...) {
  return true;
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
  if (!f || ops_of(f->kind).real_fd) return -1;
  if (attr_of(f->node, a) != 0) *a = Attr{S_IFCHR, 0600, 0, 0, 0, 0, 0, 0};
  return 0;
} catch (...) {
  return -1;
}

bool emu_fd(int fd) {
  return emulated_fd(fd);
}

int emu_access(const char *path, int mode, bool effective) try {
  if (!candidate(path)) return -1;
  std::string node = normalise(path);
  Guard g;
  Attr a{};
  int r = attr_of(node, &a);
  if (r != 0) return r;
  if (mode == F_OK) return 0;
  return permission(a.uid, a.gid, a.mode, mode, effective);
} catch (...) {
  return from_exception();
}

}  // namespace tsim
