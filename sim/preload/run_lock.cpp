// The board's /run/lock: its lock file lives in the run's directory, beside the board's state, so
// that the programs of one simulated board contend for it and those of two boards do not, and the
// computer's own /run/lock is never touched. The file is a real one: locks and reads on its
// descriptor go to the kernel as usual.
#include <fcntl.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "dispatch.h"
#include "runtime.h"

namespace tsim {

namespace {
constexpr const char *kBoardLock = "/run/lock/tarsa4.lock";
}  // namespace

bool board_lock_path(const char *path, std::string *real_path) {
  if (path == nullptr || std::strcmp(path, kBoardLock) != 0) return false;
  real_path->clear();
  const char *state = std::getenv("TARSA_SIM_STATE");
  if (state == nullptr || *state == '\0') return true;
  const char *slash = std::strrchr(state, '/');
  *real_path = slash ? std::string(state, static_cast<std::size_t>(slash - state)) : ".";
  *real_path += "/tarsa4.lock";
  return true;
}

int open_board_lock(const std::string &real_path, int flags, mode_t mode) {
  // A process on a board of its own (no run directory): the file is its alone.
  if (real_path.empty()) return memfd_create("tarsa4.lock", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0U);
  return real().open(real_path.c_str(), flags, mode);
}

}  // namespace tsim
