// Video nodes: requests, reads and buffer mappings go to the node's model. The descriptor is an
// eventfd whose counter follows the model's readiness, so poll, select and epoll wait as on the
// device; a thread of the process sets it when the model's next frame falls due.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "nodes.h"
#include "runtime.h"
#include "tarsa_sim.h"

namespace tsim {

namespace {

struct Mapping {
  std::string node;
  std::size_t len;
  VideoModel *model;  // that saw the mapping made
};

// Mappings of video nodes by address; `count` lets munmap of other memory skip the lock.
std::map<void *, Mapping> &mappings() {
  static auto *m = new std::map<void *, Mapping>;
  return *m;
}
std::atomic<std::size_t> g_count{0};

VideoModel *model_of(const OpenFile &f) {
  return rt().board().video(f.node);
}

// Sets the descriptor's counter to what the model says: 1 readable, 0 not.
void follow(OpenFile &f, VideoModel &m) {
  const bool ready = m.readable();
  if (ready == f.ready) return;
  std::uint64_t v = 1;
  if (ready ? real().write(f.fd, &v, sizeof v) == sizeof v
            : real().read(f.fd, &v, sizeof v) == sizeof v)
    f.ready = ready;
}

// The open video files of this process, and the thread that wakes their waiters when a frame
// falls due. Under the lock.
struct Waker {
  std::set<OpenFile *> files;
  pid_t pid = 0;  // the process whose thread runs; a forked child starts its own
  int wake = -1;

  void kick() {
    if (pid != getpid()) start();
    std::uint64_t one = 1;
    if (wake >= 0) (void)!real().write(wake, &one, sizeof one);
  }

  void start() {
    pid = getpid();
    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return;
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread([this, fd = wake] { loop(fd); }).detach();
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  void loop(int fd) {
    for (;;) {
      std::uint64_t wait_us = 1'000'000;
      try {
        Guard g;
        const std::uint64_t now = rt().board().now_us();
        for (OpenFile *f : files) {
          VideoModel *m = model_of(*f);
          if (!m) continue;
          follow(*f, *m);
          const std::uint64_t next = m->next_frame_us(now);
          // At least a millisecond: a model that is late to turn readable is not spun on.
          if (next != VideoModel::kNever)
            wait_us = std::min(wait_us, std::max<std::uint64_t>(next - std::min(next, now), 1000));
        }
      } catch (...) {
      }
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>((wait_us + 999) / 1000)) > 0) {
        std::uint64_t v;
        (void)!real().read(fd, &v, sizeof v);
      }
    }
  }
};

Waker &waker() {
  static auto *w = new Waker;  // never freed: its thread outlives static destructors
  return *w;
}

// The requests by name, with their essential fields: `before` is the argument as the program
// passed it, `arg` as the model left it.
void describe(Rec &r, unsigned long req, const void *before, const void *arg, int err) {
  auto fourcc = [](std::uint32_t f) {
    return std::string{static_cast<char>(f & 0xFF), static_cast<char>((f >> 8) & 0xFF),
                       static_cast<char>((f >> 16) & 0xFF), static_cast<char>(f >> 24)};
  };
  auto size = [&](const v4l2_pix_format &p) {
    return std::to_string(p.width) + "x" + std::to_string(p.height) + " " + fourcc(p.pixelformat);
  };
  auto rect = [](const v4l2_rect &c) {
    return std::to_string(c.left) + "," + std::to_string(c.top) + " " + std::to_string(c.width) +
           "x" + std::to_string(c.height);
  };
  switch (req) {
    case VIDIOC_QUERYCAP:
      r.str("request", "QUERYCAP");
      if (!err) r.num("caps", static_cast<const v4l2_capability *>(arg)->device_caps);
      return;
    case VIDIOC_ENUM_FMT:
      r.str("request", "ENUM_FMT").num("index", static_cast<const v4l2_fmtdesc *>(before)->index);
      if (!err) r.str("format", fourcc(static_cast<const v4l2_fmtdesc *>(arg)->pixelformat));
      return;
    case VIDIOC_G_FMT:
    case VIDIOC_S_FMT:
    case VIDIOC_TRY_FMT:
      r.str("request", req == VIDIOC_G_FMT ? "G_FMT" : req == VIDIOC_S_FMT ? "S_FMT" : "TRY_FMT");
      if (req != VIDIOC_G_FMT)
        r.str("asked", size(static_cast<const v4l2_format *>(before)->fmt.pix));
      if (!err) r.str("granted", size(static_cast<const v4l2_format *>(arg)->fmt.pix));
      return;
    case VIDIOC_CROPCAP:
      r.str("request", "CROPCAP");
      if (!err) r.str("default", rect(static_cast<const v4l2_cropcap *>(arg)->defrect));
      return;
    case VIDIOC_G_CROP:
    case VIDIOC_S_CROP:
      r.str("request", req == VIDIOC_S_CROP ? "S_CROP" : "G_CROP");
      if (req == VIDIOC_S_CROP) r.str("asked", rect(static_cast<const v4l2_crop *>(before)->c));
      if (!err) r.str("granted", rect(static_cast<const v4l2_crop *>(arg)->c));
      return;
    case VIDIOC_REQBUFS: {
      const auto *b = static_cast<const v4l2_requestbuffers *>(before);
      r.str("request", "REQBUFS").num("asked", b->count).num("memory", b->memory);
      if (!err) r.num("granted", static_cast<const v4l2_requestbuffers *>(arg)->count);
      return;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
      const auto *b = static_cast<const v4l2_buffer *>(err ? before : arg);
      r.str("request", req == VIDIOC_QUERYBUF ? "QUERYBUF" : req == VIDIOC_QBUF ? "QBUF" : "DQBUF");
      if (req != VIDIOC_DQBUF || !err) r.num("index", b->index);
      if (req == VIDIOC_QUERYBUF && !err) r.num("offset", b->m.offset).num("length", b->length);
      if (req == VIDIOC_DQBUF && !err) r.num("frame", b->sequence);
      return;
    }
    case VIDIOC_STREAMON:
      r.str("request", "STREAMON");
      return;
    case VIDIOC_STREAMOFF:
      r.str("request", "STREAMOFF");
      return;
    default:
      r.num("request", static_cast<long long>(req));
  }
}

}  // namespace

int video_open(OpenFile &f) {
  // Counter 1: readable until the model says otherwise.
  const int fd = eventfd(
      1, ((f.flags & O_CLOEXEC) ? EFD_CLOEXEC : 0) | ((f.flags & O_NONBLOCK) ? EFD_NONBLOCK : 0));
  if (fd < 0) return -1;
  Waker &w = waker();
  w.files.insert(&f);
  if (w.pid != getpid()) w.start();
  return fd;
}

void video_close(OpenFile &f, bool) {
  // A copy left open gets its readiness from its own calls: the thread knows only this number.
  waker().files.erase(&f);
}

// A program built with 64-bit time_t on a 32-bit board passes the buffer requests with a
// 64-bit time stamp in the buffer, and so with request numbers of their own; the kernel takes
// both layouts, and so does this node: such requests are carried over to the native layout.
#if __SIZEOF_LONG__ == 4
struct BufferTime64 {
  std::uint32_t index, type, bytesused, flags, field, pad;
  std::int64_t tv_sec, tv_usec;
  v4l2_timecode timecode;
  std::uint32_t sequence, memory;
  union {
    std::uint32_t offset;
    unsigned long userptr;
    void *planes;
    std::int32_t fd;
  } m;
  std::uint32_t length, reserved2, request_fd;
};
static_assert(sizeof(BufferTime64) == 80);

unsigned long native_request(unsigned long req) {
  switch (req) {
    case _IOWR('V', 9, BufferTime64):
      return VIDIOC_QUERYBUF;
    case _IOWR('V', 15, BufferTime64):
      return VIDIOC_QBUF;
    case _IOWR('V', 17, BufferTime64):
      return VIDIOC_DQBUF;
    case _IOWR('V', 93, BufferTime64):
      return VIDIOC_PREPARE_BUF;
    default:
      return req;
  }
}

void to_native(const BufferTime64 &b, v4l2_buffer &n) {
  n = v4l2_buffer{};
  n.index = b.index, n.type = b.type, n.bytesused = b.bytesused, n.flags = b.flags;
  n.field = b.field, n.timestamp.tv_sec = static_cast<time_t>(b.tv_sec);
  n.timestamp.tv_usec = static_cast<suseconds_t>(b.tv_usec), n.timecode = b.timecode;
  n.sequence = b.sequence, n.memory = b.memory, n.m.userptr = b.m.userptr;
  n.length = b.length, n.reserved2 = b.reserved2, n.request_fd = static_cast<__s32>(b.request_fd);
}

void from_native(const v4l2_buffer &n, BufferTime64 &b) {
  b.index = n.index, b.type = n.type, b.bytesused = n.bytesused, b.flags = n.flags;
  b.field = n.field, b.tv_sec = n.timestamp.tv_sec, b.tv_usec = n.timestamp.tv_usec;
  b.timecode = n.timecode, b.sequence = n.sequence, b.memory = n.memory;
  b.m.userptr = n.m.userptr, b.length = n.length, b.reserved2 = n.reserved2;
  b.request_fd = static_cast<std::uint32_t>(n.request_fd);
}
#else
unsigned long native_request(unsigned long req) {
  return req;
}
#endif

std::uint64_t video_block_us(OpenFile &f, unsigned long req) {
  VideoModel *m = model_of(f);
  if (!m || native_request(req) != VIDIOC_DQBUF || (f.flags & O_NONBLOCK)) return 0;
  const std::uint64_t now = rt().board().now_us(), next = m->next_frame_us(now);
  return next == VideoModel::kNever
             ? 1'000'000
             : std::clamp<std::uint64_t>(next - std::min(next, now), 1000, 1'000'000);
}

int video_ioctl(OpenFile &f, unsigned long req, void *arg) {
#if __SIZEOF_LONG__ == 4
  if (const unsigned long n = native_request(req); n != req && arg) {
    v4l2_buffer native;
    to_native(*static_cast<BufferTime64 *>(arg), native);
    const int r = video_ioctl(f, n, &native);
    from_native(native, *static_cast<BufferTime64 *>(arg));
    return r;
  }
#endif
  VideoModel *m = model_of(f);
  alignas(8) unsigned char before[256] = {};
  if (arg && _IOC_SIZE(req) <= sizeof before) std::memcpy(before, arg, _IOC_SIZE(req));
  int err = m ? m->ioctl(req, arg) : ENODEV;
  Rec r(f.path, "ioctl");
  if (r.on()) describe(r, req, before, arg ? arg : before, err);
  r.emit(err ? -1 : 0, err);
  if (m) {
    follow(f, *m);
    waker().kick();  // the next frame's time may have changed
  }
  return err ? fail(err) : 0;
}

ssize_t video_read(OpenFile &f, void *buf, size_t len) {
  VideoModel *m = model_of(f);
  long r = m ? m->read({static_cast<std::uint8_t *>(buf), len}) : -ENODEV;
  if (m) follow(f, *m);
  return r < 0 ? fail(static_cast<int>(-r)) : r;
}

void *video_mmap(OpenFile &f, void *addr, size_t len, int prot, int flags, off64_t off) {
  VideoModel *m = model_of(f);
  if (!m || len == 0) {
    errno = m ? EINVAL : ENODEV;
    return MAP_FAILED;
  }
  // The memory is the preload's, anonymous and shared as the program asked; the model fills it.
  void *p = real().mmap(addr, len, prot, (flags & ~MAP_TYPE) | MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return p;
  if (int err = m->mapped(static_cast<std::uint64_t>(off), {static_cast<std::uint8_t *>(p), len})) {
    real().munmap(p, len);
    errno = err;
    return MAP_FAILED;
  }
  mappings()[p] = {f.node, len, m};
  ++g_count;
  follow(f, *m);
  return p;
}

bool video_munmap(void *addr, size_t len, int *result) {
  auto it = mappings().find(addr);
  if (it == mappings().end()) return false;
  // A board built since the mapping (a new scenario) has a model that never saw it.
  if (VideoModel *m = rt().board().video(it->second.node); m == it->second.model)
    m->unmapped({static_cast<std::uint8_t *>(addr), it->second.len});
  mappings().erase(it);
  --g_count;
  *result = real().munmap(addr, len);
  return true;
}

bool video_maps_any() {
  return g_count.load(std::memory_order_relaxed) != 0;
}

}  // namespace tsim

// A stand-in of the board's media pipeline scripts ran: its exit status from the board's video
// models (0 when none has a say), traced with its arguments.
extern "C" TARSA_SIM_API int tarsa_sim_media_script(const char *name, int argc, char **argv) {
  using namespace tsim;
  if (!name) return 127;
  std::vector<std::string> args(argv, argv + std::max(argc, 0));
  Guard g;
  int status = -1;
  if (const auto &video = rt().board().scenario().video)
    for (const DeviceRecord &d : video->devices)
      if (VideoModel *m = rt().board().video(d.node); m && status < 0)
        status = m->media_script(name, args);
  if (status < 0) status = 0;
  std::string list = "[";
  for (const std::string &a : args)
    list += (list.size() > 1 ? ",\"" : "\"") + json_escape(a) + "\"";
  Rec(name, "run").raw("args", list + "]").emit(status, 0);
  return status;
}
