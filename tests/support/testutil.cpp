// Helpers shared by the tests.
#include "testutil.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

namespace testutil {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

bool eventually(const std::function<bool()> &cond, double bound_s) {
  const auto end = after(bound_s);
  while (!cond()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

int open_pty(std::string &slave) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) return -1;
  const char *name = nullptr;
  if (grantpt(master) != 0 || unlockpt(master) != 0 || (name = ptsname(master)) == nullptr) {
    ::close(master);
    return -1;
  }
  slave = name;
  return master;
}

std::string temp_file(const std::string &content, const std::string &stem) {
  std::string path = ::testing::TempDir() + stem + "XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return "";
  const bool written = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
  ::close(fd);
  if (!written) {
    ::unlink(path.c_str());
    return "";
  }
  return path;
}

int run_unprivileged(const std::function<int()> &body, std::string *err, double bound_s) {
  int pipefd[2] = {-1, -1};
  if (err != nullptr && pipe(pipefd) != 0) return -1;
  const pid_t child = fork();
  if (child < 0) {
    if (err != nullptr) {
      ::close(pipefd[0]);
      ::close(pipefd[1]);
    }
    return -1;
  }
  if (child == 0) {
    if (err != nullptr) dup2(pipefd[1], 2);
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
    _exit(body());
  }
  const auto end = after(bound_s);
  if (err != nullptr) {
    // Until the child's end closes the pipe, or the bound.
    ::close(pipefd[1]);
    err->clear();
    while (Clock::now() < end) {
      pollfd p{pipefd[0], POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(pipefd[0], buf, sizeof buf);
      if (n <= 0) break;
      err->append(buf, static_cast<std::size_t>(n));
    }
    ::close(pipefd[0]);
  }
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(child, &status, WNOHANG)) == 0 && Clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (done != child) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string gpio_op(const nlohmann::json &r) {
  std::string s = r.at("op").get<std::string>();
  if (r.contains("gpio")) s += " " + std::to_string(r["gpio"].get<int>());
  if (r.contains("value") && r["op"] != "get") s += " " + std::to_string(r["value"].get<int>());
  if (r.contains("label")) s += " " + r["label"].get<std::string>();
  return s;
}

std::size_t count(const std::vector<nlohmann::json> &trace, const std::string &op, const std::string &dev) {
  std::size_t n = 0;
  for (const auto &r : trace) n += r.value("op", "") == op && (dev.empty() || r.value("dev", "") == dev);
  return n;
}

}  // namespace testutil
