// tarsa-sim: runs a program against the simulated board (preload library, shared run state,
// trace), and returns the program's exit status.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "board.h"
#include "scenario.h"
#include "shm.h"

namespace {

const char kUsage[] =
    "usage: tarsa-sim [--scenario FILE] [--trace FILE] -- PROGRAM [ARGS...]\n"
    "       tarsa-sim [--scenario FILE] [--trace FILE] --print-env\n"
    "Runs PROGRAM against the simulated board. Without --scenario the standard Tarsa4 board is\n"
    "simulated. --trace (or TARSA_SIM_TRACE) writes one JSON line per emulated operation.\n"
    "--print-env prints shell commands that make later commands of that shell use one simulated\n"
    "board; its run directory stays until you remove it.\n";

volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_pending = 0;

void forward(int sig, siginfo_t *info, void *) {
  // A signal from the terminal already reached the whole process group; forward only the
  // ones sent to the launcher itself. Before the program exists, keep it for later.
  if (!info || (info->si_code != SI_USER && info->si_code != SI_QUEUE)) return;
  if (g_child > 0) kill(g_child, sig);
  else g_pending = sig;
}

std::string self_dir() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = '\0';
  std::string p(buf);
  auto slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

std::string find_preload() {
  if (const char *p = getenv("TARSA_SIM_PRELOAD"); p && *p) return p;
  std::string dir = self_dir();
  for (const std::string &c : {dir + "/libtarsa-sim.so", dir + "/../lib/libtarsa-sim.so",
                               dir + "/../" CMAKE_INSTALL_LIBDIR_NAME "/libtarsa-sim.so"}) {
    if (::access(c.c_str(), R_OK) == 0) {
      char real[PATH_MAX];
      return realpath(c.c_str(), real) ? std::string(real) : c;
    }
  }
  return {};
}

std::string absolute(const std::string &p) {
  if (!p.empty() && p[0] == '/') return p;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return p;
  return std::string(cwd) + "/" + p;
}

int die(const std::string &msg, int code) {
  std::fprintf(stderr, "tarsa-sim: %s\n", msg.c_str());
  return code;
}

void remove_run_dir(const std::string &dir) {
  if (dir.empty()) return;
  unlink((dir + "/state").c_str());
  rmdir(dir.c_str());
}

// Removes the run directory once the launcher is gone, however it ended (SIGKILL included):
// a process of its own session waits for the end of a pipe that only the launcher holds. It is
// started through an intermediate process so that the program stays the launcher's only child.
void start_cleaner(const std::string &dir) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    if (fork() != 0) _exit(0);
    setsid();
    signal(SIGINT, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
    ::close(p[1]);
    char c;
    while (read(p[0], &c, 1) != 0 && errno == EINTR) {
    }
    remove_run_dir(dir);
    _exit(0);
  }
  ::close(p[0]);
  if (pid < 0) {
    ::close(p[1]);  // no cleaner: the launcher still cleans up on a normal end
    return;
  }
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char **argv) {
  // From the start, so that a stop request during set-up still reaches the program (and the
  // run directory is still removed).
  struct sigaction sa{};
  sa.sa_sigaction = forward;
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);

  std::string scenario_path, trace_path;
  bool print_env = false;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    } else if ((a == "--scenario" || a == "--trace") && i + 1 < argc) {
      (a == "--scenario" ? scenario_path : trace_path) = argv[++i];
    } else if (a.rfind("--scenario=", 0) == 0) {
      scenario_path = a.substr(11);
    } else if (a.rfind("--trace=", 0) == 0) {
      trace_path = a.substr(8);
    } else if (a == "--print-env") {
      print_env = true;
    } else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      std::fputs(kUsage, stderr);
      return 2;
    } else {
      break;
    }
  }
  if (!print_env && i >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (trace_path.empty())
    if (const char *t = getenv("TARSA_SIM_TRACE"); t && *t) trace_path = t;

  std::string text;
  if (!scenario_path.empty()) {
    try {
      tsim::read_scenario_file(scenario_path, &text);
    } catch (const tsim::ScenarioError &e) {
      return die(e.what(), 2);
    }
    if (text.empty()) text = "# empty scenario\n";  // an empty file is an empty board, not the built-in one
  }
  std::string preload = find_preload();
  if (preload.empty()) return die("cannot find libtarsa-sim.so (set TARSA_SIM_PRELOAD)", 2);

  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarsa-sim.XXXXXX";
  std::vector<char> dirbuf(tmpl.begin(), tmpl.end());
  dirbuf.push_back('\0');
  if (!mkdtemp(dirbuf.data())) return die("cannot create run directory in " + tmpl + ": " + std::strerror(errno), 2);
  std::string run_dir = absolute(dirbuf.data());
  std::string state_path = run_dir + "/state";
  tsim::SharedState *shm = tsim::shm_create_file(state_path);
  if (!shm) {
    remove_run_dir(run_dir);
    return die("cannot create " + state_path, 2);
  }
  // The board is built once here: a refused scenario stops before the program starts, and the
  // shared parts (pins, register files) start from the scenario.
  if (!scenario_path.empty()) {
    std::string dir = absolute(scenario_path);
    dir = dir.substr(0, dir.rfind('/'));
    std::snprintf(shm->base_dir, sizeof shm->base_dir, "%s", dir.c_str());
  }
  try {
    if (!tsim::shm_set_scenario(*shm, text)) throw tsim::ScenarioError("scenario too large");
    tsim::Board board(tsim::parse_scenario(text, scenario_path.empty() ? "builtin" : scenario_path), *shm, true);
    shm->built_generation = shm->generation.load();
  } catch (const std::exception &e) {
    remove_run_dir(run_dir);
    return die(e.what(), 2);
  }

  if (!trace_path.empty()) {
    trace_path = absolute(trace_path);
    int fd = ::open(trace_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      remove_run_dir(run_dir);
      return die("cannot create trace " + trace_path + ": " + std::strerror(errno), 2);
    }
    ::close(fd);
  }

  std::string ld = preload;
  if (const char *old = getenv("LD_PRELOAD"); old && *old) ld += std::string(":") + old;
  std::string start = std::to_string(shm->start_ns);

  if (!print_env) start_cleaner(run_dir);

  if (print_env) {
    std::printf("export LD_PRELOAD='%s'\n", ld.c_str());
    std::printf("export TARSA_SIM_STATE='%s'\n", state_path.c_str());
    std::printf("export TARSA_SIM_START_NS=%s\n", start.c_str());
    if (!trace_path.empty()) std::printf("export TARSA_SIM_TRACE='%s'\n", trace_path.c_str());
    std::printf("# simulator state in %s; remove it when done: rm -r '%s'\n", run_dir.c_str(), run_dir.c_str());
    return 0;
  }

  setenv("LD_PRELOAD", ld.c_str(), 1);
  // A sanitized program finds the preload ahead of its sanitizer runtime; that order is fine.
  std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
  if (asan.find("verify_asan_link_order") == std::string::npos)
    setenv("ASAN_OPTIONS", (asan.empty() ? "" : asan + ":") .append("verify_asan_link_order=0").c_str(), 1);
  setenv("TARSA_SIM_STATE", state_path.c_str(), 1);
  setenv("TARSA_SIM_START_NS", start.c_str(), 1);
  if (!trace_path.empty()) setenv("TARSA_SIM_TRACE", trace_path.c_str(), 1);
  else unsetenv("TARSA_SIM_TRACE");

  // Held back across fork: the child must not take a stop request with the launcher's handler.
  sigset_t stops, old_mask;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stops, sig);
  sigprocmask(SIG_BLOCK, &stops, &old_mask);
  pid_t pid = fork();
  if (pid < 0) {
    remove_run_dir(run_dir);
    return die(std::string("fork: ") + std::strerror(errno), 2);
  }
  if (pid == 0) {
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &dfl, nullptr);
    // A user-mode emulator (qemu-user) may run the inherited handler here despite the mask and
    // so park the parent's forwarded request in this copy of g_pending: take it as delivered.
    if (g_pending) raise(g_pending);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    execvp(argv[i], argv + i);
    int e = errno;
    std::fprintf(stderr, "tarsa-sim: cannot run %s: %s\n", argv[i], std::strerror(e));
    _exit(e == ENOENT ? 127 : 126);
  }
  g_child = pid;
  if (g_pending) kill(pid, g_pending);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = 0;
      break;
    }
  }
  remove_run_dir(run_dir);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}
