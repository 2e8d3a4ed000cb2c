// One owner of the robot: an advisory lock on the claim file, taken without waiting and released by
// the kernel when the holder's last descriptor of it goes (the process's end included), with the
// holder's name and process id written into the file for the next claimant to report.
#include "tarsa/tr4_claim.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "core/unique_fd.h"

namespace {

std::mutex g_mutex;
tarsa::UniqueFd g_fd;  // the claim file, locked, while this process holds the claim
pid_t g_pid = 0;       // the process that took it: a child made by fork() holds nothing

// Shown when the holder has not written its name yet (it has only just taken the claim).
constexpr const char *kUnnamed = "another program";

// Opens the claim file, created readable and writable by every user whatever the umask, so that
// programs of any user contend. A file made read-only by someone else can still be locked.
int open_claim_file() {
  int fd = ::open(TR4_CLAIM_PATH, O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0 && errno == EACCES) fd = ::open(TR4_CLAIM_PATH, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_uid == geteuid() && (st.st_mode & 0777) != 0666)
    (void)fchmod(fd, 0666);
  return fd;
}

// Records "NAME (pid N)" as the file's whole content; a failure only leaves the holder unnamed.
void write_holder(int fd, const char *name) {
  char text[128];
  const int n =
      std::snprintf(text, sizeof text, "%s (pid %ld)\n", name, static_cast<long>(getpid()));
  if (n <= 0 || ftruncate(fd, 0) != 0) return;
  const std::size_t len =
      static_cast<std::size_t>(n) < sizeof text ? static_cast<std::size_t>(n) : sizeof text - 1;
  (void)!pwrite(fd, text, len, 0);
}

// The holder as its file names it: the first line, without trailing blanks.
std::string read_holder(int fd) {
  char buf[256];
  const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  std::string s(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
  s = s.substr(0, s.find('\n'));
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\t')) s.pop_back();
  return s.empty() ? kUnnamed : s;
}

void copy_out(const std::string &s, char *out, std::size_t size) {
  if (out == nullptr || size == 0) return;
  const std::size_t n = s.size() < size ? s.size() : size - 1;
  std::memcpy(out, s.data(), n);
  out[n] = '\0';
}

// A descriptor inherited through fork() is the parent's claim: closing this copy leaves the lock
// with the parent (unlocking it would not). Caller holds g_mutex.
void drop_inherited() {
  if (g_fd && g_pid != getpid()) g_fd.reset();
}

}  // namespace

extern "C" int tr4_claim(const char *name, char *holder, size_t holder_size) {
  std::lock_guard<std::mutex> lock(g_mutex);
  copy_out("", holder, holder_size);
  drop_inherited();
  if (g_fd) return TR4_CLAIM_TAKEN;
  tarsa::UniqueFd fd(open_claim_file());
  if (!fd) return TR4_CLAIM_FAILED;
  int r;
  do {
    r = flock(fd.get(), LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    if (errno != EWOULDBLOCK) return TR4_CLAIM_FAILED;
    copy_out(read_holder(fd.get()), holder, holder_size);
    errno = EBUSY;
    return TR4_CLAIM_BUSY;
  }
  write_holder(fd.get(), name != nullptr && *name ? name : program_invocation_short_name);
  g_fd = std::move(fd);
  g_pid = getpid();
  return TR4_CLAIM_TAKEN;
}

extern "C" int tr4_claim_or_say(const char *name) {
  char holder[128];
  const int c = tr4_claim(name, holder, sizeof holder);
  if (c == TR4_CLAIM_BUSY)
    std::fprintf(stderr, "%s: the robot is in use by %s\n", name, holder);
  else if (c != TR4_CLAIM_TAKEN)
    std::fprintf(stderr, "%s: cannot claim the robot: %s: %s\n", name, TR4_CLAIM_PATH,
                 std::strerror(errno));
  return c;
}

extern "C" void tr4_unclaim(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  drop_inherited();
  if (!g_fd) return;
  // The name goes with the claim; closing the only descriptor releases the lock.
  (void)ftruncate(g_fd.get(), 0);
  g_fd.reset();
}
