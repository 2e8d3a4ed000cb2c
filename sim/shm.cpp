// Shared run state: creation, attachment and the robust process-shared lock.
#include "shm.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace tsim {

namespace {

// The preload must not reach its own interposed entry points from here.
int raw_open(const char *path, int flags, mode_t mode) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

void init_state(SharedState *s) {
  std::memset(static_cast<void *>(s), 0, sizeof(SharedState));
  pthread_mutexattr_t a;
  pthread_mutexattr_init(&a);
  pthread_mutexattr_setpshared(&a, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&a, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&s->mutex, &a);
  pthread_mutexattr_destroy(&a);
  new (&s->generation) std::atomic<std::uint64_t>(1);
  clock_start(s->clock, 1);
  s->start_ns = static_cast<std::uint64_t>(s->clock.anchor_ns[CLOCK_MONOTONIC]);
  s->next_owner = 1;
  s->magic = kShmMagic;
}

SharedState *map_fd(int fd) {
  void *p = mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<SharedState *>(p);
}

}  // namespace

std::uint64_t monotonic_ns() {
  return static_cast<std::uint64_t>(wall_ns(CLOCK_MONOTONIC));
}

std::uint64_t sim_monotonic_ns(const SharedState &s) {
  return static_cast<std::uint64_t>(sim_ns(s.clock, CLOCK_MONOTONIC));
}

SharedState *shm_create_file(const std::string &path) {
  int fd = raw_open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  if (ftruncate(fd, sizeof(SharedState)) != 0) {
    close(fd);
    return nullptr;
  }
  SharedState *s = map_fd(fd);
  close(fd);
  if (s) init_state(s);
  return s;
}

SharedState *shm_attach_file(const std::string &path) {
  int fd = raw_open(path.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  SharedState *s = map_fd(fd);
  close(fd);
  if (s && s->magic != kShmMagic) {
    munmap(s, sizeof(SharedState));
    return nullptr;
  }
  return s;
}

SharedState *shm_anonymous() {
  void *p =
      mmap(nullptr, sizeof(SharedState), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  auto *s = static_cast<SharedState *>(p);
  init_state(s);
  return s;
}

bool shm_set_scenario(SharedState &s, std::string_view text) {
  if (text.size() >= kScenarioMax) return false;
  std::memcpy(s.scenario, text.data(), text.size());
  s.scenario[text.size()] = '\0';
  s.scenario_len = static_cast<std::uint32_t>(text.size());
  std::memset(s.pins, 0, sizeof s.pins);
  s.slab_count = 0;
  s.slab_used = 0;
  s.generation.fetch_add(1);
  return true;
}

void shm_lock(SharedState &s) {
  int r = pthread_mutex_lock(&s.mutex);
  if (r == EOWNERDEAD) pthread_mutex_consistent(&s.mutex);
}

void shm_unlock(SharedState &s) {
  pthread_mutex_unlock(&s.mutex);
}

}  // namespace tsim

namespace tsim {
bool read_file_raw(const std::string &path, std::string *out, std::size_t max) {
  int fd = raw_open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  out->clear();
  char buf[4096];
  for (;;) {
    ssize_t n = syscall(SYS_read, fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = errno;
      close(fd);
      errno = e;
      return n == 0;
    }
    out->append(buf, static_cast<std::size_t>(n));
    if (out->size() > max) {
      close(fd);
      errno = EFBIG;
      return false;
    }
  }
}
}  // namespace tsim
