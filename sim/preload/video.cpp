// Video nodes: requests, reads and buffer mappings go to the board's video node. The descriptor is
// an eventfd whose counter follows the model's readiness, so poll, select and epoll wait as on the
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
  VideoNode *video;  // that saw the mapping made
};

// Mappings of video nodes by address; `count` lets munmap of other memory skip the lock.
std::map<void *, Mapping> &mappings() {
  static auto *m = new std::map<void *, Mapping>;
  return *m;
}
std::atomic<std::size_t> g_count{0};

VideoNode *node_of(const OpenFile &f) {
  return rt().board().video_node(f.node);
}

// Sets the descriptor's counter to what the node says: 1 readable, 0 not.
void follow(OpenFile &f, VideoNode &m) {
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
    mark_model_thread();
    for (;;) {
      std::uint64_t wait_us = 1'000'000;
      try {
        Guard g;
        const std::uint64_t now = rt().board().now_us();
        for (OpenFile *f : files) {
          VideoNode *m = node_of(*f);
          if (!m) continue;
          follow(*f, *m);
          const std::uint64_t next = m->next_frame_us(now);
          // At least a millisecond: a model that is late to turn readable is not spun on.
          if (next != VideoNode::kNever)
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

std::string fourcc(std::uint32_t f) {
  return std::string{static_cast<char>(f & 0xFF), static_cast<char>((f >> 8) & 0xFF),
                     static_cast<char>((f >> 16) & 0xFF), static_cast<char>(f >> 24)};
}

std::string size(const v4l2_pix_format &p) {
  return std::to_string(p.width) + "x" + std::to_string(p.height) + " " + fourcc(p.pixelformat);
}

std::string rect(const v4l2_rect &c) {
  return std::to_string(c.left) + "," + std::to_string(c.top) + " " + std::to_string(c.width) +
         "x" + std::to_string(c.height);
}

// The requests by name, with their essential fields: `before` is the argument as the program
// passed it, `arg` as the model left it.
void describe(Rec &r, unsigned long req, const void *before, const void *arg, int err) {
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

void video_close(OpenFile &f, bool last) {
  // A copy left open gets its readiness from its own calls: the thread knows only this number.
  waker().files.erase(&f);
  if (VideoNode *m = node_of(f); m && last) m->closed(&f);
}

std::uint64_t video_block_us(OpenFile &f, unsigned long req) {
  VideoNode *m = node_of(f);
  if (!m || !VideoNode::waits(req) || (f.flags & O_NONBLOCK)) return 0;
  const std::uint64_t now = rt().board().now_us(), next = m->next_frame_us(now);
  return next == VideoNode::kNever
             ? 1'000'000
             : std::clamp<std::uint64_t>(next - std::min(next, now), 1000, 1'000'000);
}

int video_ioctl(OpenFile &f, unsigned long req, void *arg) {
  VideoNode *m = node_of(f);
  if (!m) {
    Rec r(f.path, "ioctl");
    if (r.on()) r.num("request", static_cast<long long>(req));
    r.emit(-1, ENODEV);
    return fail(ENODEV);
  }
  const int err =
      m->ioctl(req, arg, &f, [&](unsigned long n, const void *before, const void *after, int e) {
        Rec r(f.path, "ioctl");
        if (r.on()) describe(r, n, before, after, e);
        r.emit(e ? -1 : 0, e);
      });
  follow(f, *m);
  waker().kick();  // the next frame's time may have changed
  return err ? fail(err) : 0;
}

ssize_t video_read(OpenFile &f, void *buf, size_t len) {
  VideoNode *m = node_of(f);
  long r = m ? m->read({static_cast<std::uint8_t *>(buf), len}) : -ENODEV;
  if (m) follow(f, *m);
  return r < 0 ? fail(static_cast<int>(-r)) : r;
}

void *video_mmap(OpenFile &f, void *addr, size_t len, int prot, int flags, off64_t off) {
  VideoNode *m = node_of(f);
  if (!m || len == 0) {
    errno = m ? EINVAL : ENODEV;
    return MAP_FAILED;
  }
  // The memory is the preload's, anonymous and shared as the program asked; the node fills it.
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
  // A board built since the mapping (a new scenario) has a node that never saw it.
  if (VideoNode *m = rt().board().video_node(it->second.node); m == it->second.video)
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
// nodes (0 when none has a say), traced with its arguments.
extern "C" TARSA_SIM_API int tarsa_sim_media_script(const char *name, int argc, char **argv) {
  using namespace tsim;
  if (!name) return 127;
  std::vector<std::string> args(argv, argv + std::max(argc, 0));
  Guard g;
  int status = -1;
  if (const auto &video = rt().board().scenario().video)
    for (const DeviceRecord &d : video->devices)
      if (VideoNode *m = rt().board().video_node(d.node); m && status < 0)
        status = m->media_script(name, args);
  if (status < 0) status = 0;
  std::string list = "[";
  for (const std::string &a : args)
    list += (list.size() > 1 ? ",\"" : "\"") + json_escape(a) + "\"";
  Rec(name, "run").raw("args", list + "]").emit(status, 0);
  return status;
}
