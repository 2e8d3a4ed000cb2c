// Helpers shared by the tests.
#include "testutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

extern char **environ;

namespace testutil {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

bool eventually(const std::function<bool()> &cond, double bound_s) {
  return eventually(cond, bound_s, 0.002);
}

bool eventually(const std::function<bool()> &cond, double bound_s, double every_s) {
  const auto end = after(bound_s);
  while (!cond()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::duration<double>(every_s));
  }
  return true;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string read_for(int fd, std::size_t want, double bound_s,
                     const std::function<ssize_t(int, char *, std::size_t)> &rd) {
  std::string got;
  const auto end = after(bound_s);
  while (got.size() < want && Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    const ssize_t n = rd ? rd(fd, buf, sizeof buf) : ::read(fd, buf, sizeof buf);
    if (n > 0)
      got.append(buf, static_cast<std::size_t>(n));
    else if (n == 0 && (!rd || (p.revents & POLLHUP) != 0))
      break;  // the writer is gone
    else if (n < 0 && !rd && errno != EAGAIN && errno != EINTR)
      break;
  }
  return got;
}

int connect_tcp(const sockaddr_in &to, double bound_s, const char *from_ip) {
  int s = -1;
  eventually(
      [&] {
        s = socket(AF_INET, SOCK_STREAM, 0);
        if (from_ip != nullptr) {
          sockaddr_in local{};
          local.sin_family = AF_INET;
          inet_pton(AF_INET, from_ip, &local.sin_addr);
          bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local);
        }
        if (connect(s, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) return true;
        ::close(s);
        s = -1;
        return false;
      },
      bound_s, 0.01);
  return s;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &out, const std::string &err,
            int in_fd, const std::vector<std::string> &env) {
  std::vector<char *> args, envp;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (in_fd >= 0) posix_spawn_file_actions_adddup2(&fa, in_fd, 0);
  constexpr int kFlags = O_WRONLY | O_CREAT | O_TRUNC;
  if (!out.empty()) posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), kFlags, 0600);
  if (!err.empty() && err == out)
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
  else if (!err.empty())
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), kFlags, 0600);
  pid_t pid = -1;
  const int rc =
      posix_spawn(&pid, args[0], &fa, nullptr, args.data(), env.empty() ? environ : envp.data());
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

int end_status(pid_t pid, double bound_s) {
  int status = 0;
  if (eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, bound_s))
    return WIFEXITED(status)     ? WEXITSTATUS(status)
           : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                 : -1;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
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
  const bool written =
      ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
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
  const auto left = [&] { return std::chrono::duration<double>(end - Clock::now()).count(); };
  if (err != nullptr) {
    // Until the child's end closes the pipe, or the bound.
    ::close(pipefd[1]);
    *err = read_for(pipefd[0], std::string::npos, left());
    ::close(pipefd[0]);
  }
  int status = 0;
  if (!eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, left())) {
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

std::size_t count(const std::vector<nlohmann::json> &trace, const std::string &op,
                  const std::string &dev) {
  std::size_t n = 0;
  for (const auto &r : trace)
    n += r.value("op", "") == op && (dev.empty() || r.value("dev", "") == dev);
  return n;
}

}  // namespace testutil
