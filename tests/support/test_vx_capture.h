// Captures what the code under test writes on a standard stream (stdout or stderr).
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace core_test {

class Capture {
 public:
  explicit Capture(int fd) : fd_(fd) {
    std::fflush(nullptr);
    saved_ = dup(fd_);
    file_ = memfd_create("capture", 0);
    dup2(file_, fd_);
  }
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;
  ~Capture() {
    restore();
    close(file_);
  }

  // Stops capturing and returns everything written since construction.
  std::string text() {
    restore();
    std::string out;
    char buf[4096];
    ssize_t n;
    lseek(file_, 0, SEEK_SET);
    while ((n = read(file_, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
  }
  int fd_;
  int saved_ = -1;
  int file_ = -1;
};

}  // namespace core_test
