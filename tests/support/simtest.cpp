// Helpers for tests on the board simulator: control calls found at run time, trace reading and
// programs run under tarsa-sim with bounded waits.
#include "simtest.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "testutil.h"

extern char **environ;

namespace simtest {

namespace {

template <class F>
F control(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

std::vector<nlohmann::json> parse_lines(std::istream &in, std::size_t after,
                                        const std::string &dev) {
  std::vector<nlohmann::json> out;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    // A line still being written by another process is skipped, not an error.
    auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) continue;
    if (j.value("seq", 0ull) <= after) continue;
    if (!dev.empty() && j.value("dev", std::string()) != dev) continue;
    out.push_back(std::move(j));
  }
  return out;
}

std::string run_dir() {
  static std::atomic<int> counter{0};
  std::string base = std::string(TARSA_BIN_DIR) + "/sim-runs";
  std::filesystem::create_directories(base);
  std::string dir = base + "/" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

void write_file(const std::string &path, const std::string &text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

// The launcher's arguments for a run in `dir`: its scenario (written there), trace and program.
std::vector<std::string> launcher_args(const std::string &dir, const std::string &scenario_toml,
                                       const std::vector<std::string> &argv) {
  std::vector<std::string> args = {TARSA_SIM_LAUNCHER};
  if (!scenario_toml.empty()) {
    write_file(dir + "/scenario.toml", scenario_toml);
    args.insert(args.end(), {"--scenario", dir + "/scenario.toml"});
  }
  // A test on a fast clock runs its programs on one as fast.
  if (const char *speed = getenv("TARSA_SIM_SPEED"); speed && *speed)
    args.insert(args.end(), {"--speed", speed});
  args.insert(args.end(), {"--trace", dir + "/trace.jsonl", "--"});
  args.insert(args.end(), argv.begin(), argv.end());
  return args;
}

// The launcher sets up a run of its own: nothing of this process's run may leak into it.
constexpr const char *kRunVariables[] = {"LD_PRELOAD",         "TARSA_SIM_STATE",
                                         "TARSA_SIM_START_NS", "TARSA_SIM_TRACE",
                                         "TARSA_SIM_SCENARIO", "TARSA_SIM_SPEED"};

}  // namespace

bool active() {
  return control<unsigned long (*)()>("tarsa_sim_trace_seq") != nullptr;
}

void load(const std::string &toml) {
  auto fn = control<int (*)(const char *)>("tarsa_sim_load_scenario");
  if (!fn) {
    ADD_FAILURE() << "not running under tarsa-sim";
    return;
  }
  if (fn(toml.c_str()) != 0) ADD_FAILURE() << "scenario refused (see standard error)";
}

std::size_t trace_mark() {
  auto fn = control<unsigned long (*)()>("tarsa_sim_trace_seq");
  return fn ? fn() : 0;
}

std::vector<nlohmann::json> trace_since(std::size_t mark, const std::string &dev) {
  auto fn = control<const char *(*)()>("tarsa_sim_trace_path");
  const char *path = fn ? fn() : nullptr;
  if (!path) {
    ADD_FAILURE() << "the run is not traced";
    return {};
  }
  std::ifstream in(path);
  return parse_lines(in, mark, dev);
}

std::vector<nlohmann::json> read_trace(const std::string &path) {
  std::ifstream in(path);
  return parse_lines(in, 0, "");
}

std::string bin(const std::string &name) {
  static std::mutex mu;
  static std::map<std::string, std::string> cache;
  std::lock_guard<std::mutex> l(mu);
  if (auto it = cache.find(name); it != cache.end()) return it->second;
  namespace fs = std::filesystem;
  std::string found;
  for (const std::string &c :
       {std::string(TARSA_BIN_DIR) + "/programs/" + name + "/" + name,
        std::string(TARSA_BIN_DIR) + "/programs/" + name,
        std::string(TARSA_BIN_DIR) + "/tests/" + name, std::string(TARSA_BIN_DIR) + "/" + name}) {
    if (fs::is_regular_file(c) && ::access(c.c_str(), X_OK) == 0) {
      found = c;
      break;
    }
  }
  if (found.empty()) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             TARSA_BIN_DIR, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec) break;
      if (it->path().filename() == name && it->is_regular_file(ec) &&
          ::access(it->path().c_str(), X_OK) == 0) {
        found = it->path().string();
        break;
      }
    }
  }
  if (found.empty()) found = std::string(TARSA_BIN_DIR) + "/programs/" + name + "/" + name;
  cache[name] = found;
  return found;
}

void serial_script(const std::string &node, const std::string &expect, const std::string &reply,
                   unsigned delay_ms, bool once) {
  auto fn = control<int (*)(const char *, const char *, const void *, size_t, unsigned, int)>(
      "tarsa_sim_serial_script");
  if (!fn) {
    ADD_FAILURE() << "not running under tarsa-sim";
    return;
  }
  if (fn(node.c_str(), expect.c_str(), reply.data(), reply.size(), delay_ms, once) != 0)
    ADD_FAILURE() << "scripted reply refused for " << node;
}

void serial_send(const std::string &node, const std::string &bytes, unsigned delay_ms) {
  auto fn = control<int (*)(const char *, const void *, size_t, unsigned)>("tarsa_sim_serial_send");
  if (!fn) {
    ADD_FAILURE() << "not running under tarsa-sim";
    return;
  }
  if (fn(node.c_str(), bytes.data(), bytes.size(), delay_ms) != 0)
    ADD_FAILURE() << "cannot send on " << node << " (not opened by this process?)";
}

void serial_clear(const std::string &node) {
  if (auto fn = control<void (*)(const char *)>("tarsa_sim_serial_clear"))
    fn(node.c_str());
  else
    ADD_FAILURE() << "not running under tarsa-sim";
}

void gpio_input(int pin, int level) {
  auto fn = control<int (*)(int, int)>("tarsa_sim_gpio_input");
  if (!fn)
    ADD_FAILURE() << "not running under tarsa-sim";
  else if (fn(pin, level) != 0)
    ADD_FAILURE() << "the board has no GPIO " << pin;
}

int gpio_level(int pin) {
  auto fn = control<int (*)(int)>("tarsa_sim_gpio_level");
  if (!fn) {
    ADD_FAILURE() << "not running under tarsa-sim";
    return -1;
  }
  return fn(pin);
}

std::string serial_data(std::size_t mark, const std::string &node, const std::string &op) {
  std::string out;
  for (const auto &r : trace_since(mark, node))
    if (r.value("op", "") == op) out += r.value("data", "");
  return out;
}

std::vector<std::string> gpio_ops(std::size_t mark, bool with_errno, const std::string &node) {
  std::vector<std::string> out;
  for (const auto &r : trace_since(mark, node)) {
    std::string s = testutil::gpio_op(r);
    if (r.value("ret", 0) < 0)
      s += with_errno ? " -> " + std::to_string(r.value("errno", 0)) : " !";
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> pwm_writes(std::size_t mark, const std::string &chip) {
  std::vector<std::string> out;
  for (const auto &r : trace_since(mark)) {
    const std::string path = r.value("path", "");
    if (r.value("op", "") != "write" || path.rfind(chip + "/", 0) != 0) continue;
    std::string s = path.substr(chip.size() + 1) + "=" + r.value("data", "");
    if (r.value("ret", 0) < 0) s += " -> " + std::to_string(r.value("errno", 0));
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> i2c_frames(const std::vector<nlohmann::json> &trace, const I2cView &view) {
  std::vector<std::string> out;
  for (const auto &r : trace) {
    if (r.value("dev", "") != view.dev) continue;
    const std::string op = r.value("op", "");
    const bool rdwr = op == "rdwr" && r.contains("msgs") && !r["msgs"].empty();
    const int addr = rdwr ? r["msgs"][0].value("addr", -1) : r.value("addr", -1);
    if (view.addr >= 0 && addr != view.addr) continue;
    std::string written, read;
    if (op == "write") {
      written = r.value("data", "");
    } else if (op == "read") {
      read = "/" + std::to_string(r.value("data", "").size() / 2);
      if (view.data) read += "=" + r.value("data", "");
    } else if (rdwr) {
      for (const auto &m : r["msgs"]) {
        if ((m.value("flags", 0) & 1) == 0) {
          written += m.value("data", "");
        } else if (read.empty()) {
          read = "/" + std::to_string(m.value("len", 0));
          if (view.data) read += "=" + m.value("data", "");
        }
      }
    } else {
      continue;
    }
    std::string f = read.empty() ? "w" + written.substr(0, 2) : "r" + written + read;
    if (read.empty() && written.size() > 2) f += ":" + written.substr(2);
    if (r.value("ret", 0) < 0) f += " !";
    out.push_back(f);
  }
  return out;
}

std::vector<std::string> i2c_frames(std::size_t mark, const I2cView &view) {
  return i2c_frames(trace_since(mark, view.dev), view);
}

Result run(const std::vector<std::string> &argv, const RunOptions &opts) {
  Result res;
  if (argv.empty()) return res;
  std::string dir = run_dir();
  res.trace = dir + "/trace.jsonl";
  std::vector<std::string> args = launcher_args(dir, opts.scenario_toml, argv);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return res;
  }
  pid_t pid = fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return res;
  }
  if (pid == 0) {
    setpgid(0, 0);  // one group, so a timeout can end the launcher and its program together
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (const char *v : kRunVariables) unsetenv(v);
    for (const auto &e : opts.env) putenv(strdup(e.c_str()));
    std::vector<char *> cargs;
    for (auto &a : args) cargs.push_back(const_cast<char *>(a.c_str()));
    cargs.push_back(nullptr);
    execv(cargs[0], cargs.data());
    _exit(127);
  }
  setpgid(pid, pid);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  std::size_t sent = 0;
  int fin = in[1];
  if (opts.input.empty()) {
    close(fin);
    fin = -1;
  }
  int fds_out[2] = {out[0], err[0]};
  std::string *dest[2] = {&res.out, &res.err};
  auto deadline = std::chrono::steady_clock::now() + opts.timeout;
  bool killed = false;
  int status = 0;
  bool exited = false;
  // SIGPIPE from a program that stops reading its input must not end the test.
  struct sigaction ign {
  }, old{};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ign, &old);
  while (fds_out[0] >= 0 || fds_out[1] >= 0 || !exited) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline && !killed) {
      kill(-pid, SIGKILL);
      killed = true;
      deadline = now + std::chrono::seconds(5);
    } else if (now >= deadline) {
      break;  // the pipes are held open by something outside the group: give up on them
    }
    pollfd p[3];
    int n = 0;
    int map[3];
    for (int k = 0; k < 2; ++k)
      if (fds_out[k] >= 0) {
        p[n] = {fds_out[k], POLLIN, 0};
        map[n++] = k;
      }
    if (fin >= 0) {
      p[n] = {fin, POLLOUT, 0};
      map[n++] = 2;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    int r =
        n ? poll(p, static_cast<nfds_t>(n), static_cast<int>(std::min<long long>(left, 50))) : 0;
    if (r < 0 && errno != EINTR) break;
    for (int k = 0; r > 0 && k < n; ++k) {
      if (!p[k].revents) continue;
      if (map[k] == 2) {
        ssize_t w = write(fin, opts.input.data() + sent, opts.input.size() - sent);
        if (w > 0) sent += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) sent = opts.input.size();
        if (sent >= opts.input.size()) {
          close(fin);
          fin = -1;
        }
        continue;
      }
      char buf[4096];
      ssize_t got = read(p[k].fd, buf, sizeof buf);
      if (got > 0) {
        dest[map[k]]->append(buf, static_cast<std::size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(p[k].fd);
        fds_out[map[k]] = -1;
      }
    }
    if (!exited) {
      pid_t w = waitpid(pid, &status, WNOHANG);
      if (w == pid) exited = true;
      if (n == 0 && !exited) {
        pollfd none{-1, 0, 0};
        poll(&none, 1, 10);
      }
    }
  }
  if (fin >= 0) close(fin);
  for (int fd : fds_out)
    if (fd >= 0) close(fd);
  if (!exited) {
    kill(-pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  sigaction(SIGPIPE, &old, nullptr);
  if (killed)
    res.status = -1;
  else if (WIFEXITED(status))
    res.status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    res.status = 128 + WTERMSIG(status);
  return res;
}

Program::Program(const std::vector<std::string> &argv, const RunOptions &opts, int in_fd)
    : dir_(run_dir()), trace_(dir_ + "/trace.jsonl") {
  // This process's environment, less its own run, with the options' entries in place of any
  // of the same name.
  auto name = [](const std::string &e) { return e.substr(0, e.find('=')); };
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool dropped = false;
    for (const char *v : kRunVariables) dropped = dropped || name(entry) == v;
    for (const auto &o : opts.env) dropped = dropped || name(entry) == name(o);
    if (!dropped) env.push_back(entry);
  }
  env.insert(env.end(), opts.env.begin(), opts.env.end());
  const int null = in_fd < 0 ? ::open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
  pid_ = testutil::spawn(launcher_args(dir_, opts.scenario_toml, argv), dir_ + "/out.txt",
                         dir_ + "/err.txt", in_fd < 0 ? null : in_fd, env);
  if (null >= 0) ::close(null);
  EXPECT_GT(pid_, 0) << "cannot start " << argv.at(0);
}

Program::~Program() {
  if (pid_ <= 0) return;
  // The program first: the launcher does not pass SIGKILL on.
  if (const pid_t child = program_pid(); child != pid_) ::kill(child, SIGKILL);
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string Program::out() const {
  return testutil::read_file(dir_ + "/out.txt");
}
std::string Program::err() const {
  return testutil::read_file(dir_ + "/err.txt");
}

pid_t Program::program_pid() const {
  std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                         "/children");
  pid_t child = 0;
  return children >> child ? child : pid_;
}

int Program::wait(double bound_s) {
  int st = 0;
  if (!testutil::eventually([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, bound_s))
    return -1;
  pid_ = -1;
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace simtest
