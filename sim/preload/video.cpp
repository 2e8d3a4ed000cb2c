// Video nodes: requests, reads and buffer mappings go to the node's model. The descriptor is an
// eventfd whose counter follows the model's readiness, so poll and select wait as on the device.
#include <sys/mman.h>

#include <atomic>
#include <map>

#include "nodes.h"
#include "runtime.h"

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

}  // namespace

int video_ioctl(OpenFile &f, unsigned long req, void *arg) {
  VideoModel *m = model_of(f);
  int err = m ? m->ioctl(req, arg) : ENODEV;
  Rec(f.path, "ioctl").num("request", static_cast<long long>(req)).emit(err ? -1 : 0, err);
  if (m) follow(f, *m);
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
