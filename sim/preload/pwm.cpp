// sysfs PWM files: reads at the file offset and whole writes, traced, served by the board's PWM
// chip model; and the fixed sysfs files that describe other nodes.
#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "nodes.h"
#include "runtime.h"
#include "sysfs_model.h"

namespace tsim {

ssize_t pwm_read(OpenFile &f, void *buf, size_t len) {
  SysfsModel *chip = rt().board().pwm();
  std::string text;
  if (int err = chip ? chip->read(f.node, &text) : ENODEV) return fail(err);
  if (f.offset >= static_cast<off_t>(text.size())) return 0;
  size_t n = std::min(len, text.size() - static_cast<size_t>(f.offset));
  std::memcpy(buf, text.data() + f.offset, n);
  f.offset += static_cast<off_t>(n);
  return static_cast<ssize_t>(n);
}

ssize_t pwm_write(OpenFile &f, const void *buf, size_t len) {
  std::string_view text(static_cast<const char *>(buf), len);
  SysfsModel *chip = rt().board().pwm();
  int err = chip ? chip->write(f.node, text) : ENODEV;
  Rec(f.path, "write")
      .str("path", f.path)
      .str("data", text)
      .emit(err ? -1 : static_cast<long long>(len), err);
  return err ? fail(err) : static_cast<ssize_t>(len);
}

int attr_open(OpenFile &f) {
  const NodeInfo *n = rt().board().node(f.node);
  if (!n) return fail(ENODEV);
  const int fd = memfd_create("sysfs", (f.flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
  if (fd < 0) return -1;
  if (real().write(fd, n->text.data(), n->text.size()) != static_cast<ssize_t>(n->text.size()) ||
      real().lseek(fd, 0, SEEK_SET) != 0) {
    const int err = errno;
    real().close(fd);
    return fail(err);
  }
  return fd;
}

off_t pwm_seek(OpenFile &f, off_t off, int whence) {
  off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f.offset : -1;
  if (base < 0 || base + off < 0) return fail(EINVAL);
  f.offset = base + off;
  return f.offset;
}

}  // namespace tsim
