// What stat reports for an emulated node, independent of the caller's struct stat layout.
#pragma once

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>

namespace tsim {

struct Attr {
  unsigned type, mode, uid, gid;
  unsigned rdev_major, rdev_minor;
  unsigned long long size;
  long long time;  // seconds since the epoch: when the run started
};

// The C library's own entry points for 32-bit programs built with 64-bit time (null elsewhere),
// resolved with the other real ones (runtime.h); their stat structures are the caller's.
struct RealTime64 {
  int (*stat)(const char *, void *);
  int (*lstat)(const char *, void *);
  int (*fstat)(int, void *);
  int (*fstatat)(int, const char *, void *, int);
  int (*fcntl)(int, int, ...);
};
const RealTime64 &real_time64();

// -1 when the path is not the simulator's, 0 with *a filled, or an errno value.
int emu_attr_path(const char *path, Attr *a);
// -1 when fd is not an emulated node that stat describes (serial ptys are real), else 0.
int emu_attr_fd(int fd, Attr *a);
// True for a descriptor of an emulated node (outside simulator code).
bool emu_fd(int fd);
// After a successful dup of an emulated descriptor.
void emu_dup(int oldfd, int newfd);

// Local to each file that uses it: time64.cpp fills a `struct stat` of another layout under the
// same name, and one shared instantiation would write one layout into the other.
namespace {
template <class ST>
void fill(ST *st, const Attr &a) {
  std::memset(st, 0, sizeof *st);
  st->st_mode = a.type | a.mode;
  st->st_uid = a.uid;
  st->st_gid = a.gid;
  st->st_rdev = makedev(a.rdev_major, a.rdev_minor);
  st->st_nlink = a.type == S_IFDIR ? 2 : 1;
  st->st_size = static_cast<decltype(st->st_size)>(a.size);
  st->st_blksize = 4096;
  st->st_dev = makedev(0, 6);
  st->st_atime = st->st_mtime = st->st_ctime = static_cast<decltype(st->st_mtime)>(a.time);
}
}  // namespace

}  // namespace tsim
