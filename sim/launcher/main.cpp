// tarsa-sim: runs a program against the simulated board (preload library, shared run state,
// trace), and returns the program's exit status.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "program_usage.h"
#include "registry.h"
#include "scenario.h"
#include "shm.h"

namespace {

// Where the stop handler finds what to do: the program once it runs, the run directory before.
volatile sig_atomic_t g_child = 0;
volatile sig_atomic_t g_pending = 0;
volatile sig_atomic_t g_have_dir = 0;
pid_t g_self = 0;
char g_run_dir[PATH_MAX];
char g_state[PATH_MAX + 8];
char g_lock[PATH_MAX + 16];  // the board's /run/lock/tarsa4.lock, made by the programs
// The stand-ins of the board's media pipeline scripts: links to this program in the run
// directory's bin/, which goes at the end of the program's PATH (scripts of its own come first).
constexpr const char *kMediaScripts[] = {"media-pipes.sh", "media-formats.sh"};
char g_bin[PATH_MAX + 8];
char g_links[2][PATH_MAX + 32];

// Async-signal-safe: the stop handler calls it too.
void remove_run_dir() {
  if (!g_have_dir) return;
  for (const char *link : g_links)
    if (*link) unlink(link);
  rmdir(g_bin);
  unlink(g_state);
  unlink(g_lock);
  rmdir(g_run_dir);
}

// Run as one of the media scripts: the board's models give the exit status.
int media_script(const char *name, int argc, char **argv) {
  using Fn = int (*)(const char *, int, char **);
  auto fn = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, "tarsa_sim_media_script"));
  if (!fn) {
    std::fprintf(stderr, "%s: the board's stand-in runs only under tarsa-sim\n", name);
    return 127;
  }
  return fn(name, argc, argv);
}

void on_stop(int sig, siginfo_t *info, void *) {
  if (getpid() != g_self) {
    // The program's process before its exec: a user-mode emulator (qemu-user) may run this
    // inherited handler despite the mask; the child raises it once its handlers are reset.
    g_pending = sig;
    return;
  }
  if (g_child > 0) {
    // A signal from the terminal already reached the whole process group; forward only the
    // ones sent to the launcher itself.
    if (info && (info->si_code == SI_USER || info->si_code == SI_QUEUE)) kill(g_child, sig);
    return;
  }
  // Still setting up, which may block (a scenario read from a named pipe): stop now.
  remove_run_dir();
  _exit(128 + sig);
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

// Removes the run directory once the launcher is gone, however it ended (SIGKILL or a crash
// included): a process of its own session waits for the end of a pipe that only the launcher
// holds. Started through an intermediate process, so that the program stays the launcher's only
// child. Returns the pipe's end: a byte written to it keeps the directory (--print-env).
int start_cleaner() {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    if (fork() != 0) _exit(0);
    setsid();
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, SIG_IGN);
    int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) dup2(null, fd);
    ::close(p[1]);
    bool keep = false;
    char c;
    for (ssize_t n; (n = read(p[0], &c, 1)) != 0;) {
      if (n > 0)
        keep = true;
      else if (errno != EINTR)
        break;
    }
    if (!keep) remove_run_dir();
    _exit(0);
  }
  ::close(p[0]);
  if (pid < 0) {
    ::close(p[1]);  // no cleaner: the launcher still cleans up on a normal end
    return -1;
  }
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  return p[1];
}

// ---- the scenario reference (--list-keys) ------------------------------------------------------

struct Row {
  std::string name, type, range, def, doc;
};

std::string range_of(const tsim::Key &k) {
  if (k.type != tsim::Key::Type::integer && k.type != tsim::Key::Type::number &&
      k.type != tsim::Key::Type::registers)
    return "";
  auto bound = [](std::int64_t v) {
    return v == INT64_MIN ? std::string("-inf") : v == INT64_MAX ? "inf" : std::to_string(v);
  };
  return "[" + bound(k.lo) + ", " + bound(k.hi) + "]";
}

std::string default_of(const tsim::Key &k) {
  using Kind = tsim::Key::Default::Kind;
  char buf[32];
  switch (k.def.kind) {
    case Kind::none:
      return "-";
    case Kind::integer:
      return std::to_string(k.def.integer);
    case Kind::number:
      std::snprintf(buf, sizeof buf, "%g", k.def.number);
      return buf;
    case Kind::boolean:
      return k.def.boolean ? "true" : "false";
    case Kind::string:
      return std::string("\"") + k.def.text + "\"";
  }
  return "-";
}

Row row_of(const tsim::Key &k) {
  return {k.name, tsim::type_name(k.type), range_of(k), default_of(k), k.doc};
}

// Prints the tables of the scenario and of every registered model, and their keys, in columns.
void list_keys() {
  std::vector<std::pair<std::string, std::vector<Row>>> tables;
  for (const tsim::TableInfo &t : tsim::scenario_tables()) {
    auto &[title, rows] =
        tables.emplace_back(std::string(t.header) + ": " + t.doc, std::vector<Row>{});
    for (const tsim::TableKey &k : t.keys) rows.push_back({k.name, k.type, k.range, k.def, k.doc});
  }
  auto &[node_title, node_rows] = tables.emplace_back(
      "[[video.device]], any model: the video node's own keys", std::vector<Row>{});
  for (const tsim::Key &k : tsim::VideoNode::kKeys) node_rows.push_back(row_of(k));
  auto node_key = [](const tsim::Key &k) {
    for (const tsim::Key &n : tsim::VideoNode::kKeys)
      if (std::strcmp(n.name, k.name) == 0) return true;
    return false;
  };
  for (const tsim::ModelInfo *m : tsim::all_models()) {
    auto &[title, rows] = tables.emplace_back(
        std::string(tsim::entry_header(m->kind)) + " model = \"" + m->name + "\"",
        std::vector<Row>{});
    for (const tsim::Key &k : m->keys)
      if (m->kind != tsim::NodeKind::video || !node_key(k)) rows.push_back(row_of(k));
    if (rows.empty()) title += ": no keys of its own";
  }
  std::size_t w[4] = {4, 4, 5, 7};
  for (const auto &[title, rows] : tables)
    for (const Row &r : rows) {
      w[0] = std::max(w[0], r.name.size());
      w[1] = std::max(w[1], r.type.size());
      w[2] = std::max(w[2], r.range.size());
      w[3] = std::max(w[3], r.def.size());
    }
  std::printf("Keys of a scenario file (tarsa-sim --scenario FILE), per table and device model.\n");
  for (const auto &[title, rows] : tables) {
    std::printf("\n%s\n", title.c_str());
    for (const Row &r : rows)
      std::printf("  %-*s  %-*s  %-*s  %-*s  %s\n", static_cast<int>(w[0]), r.name.c_str(),
                  static_cast<int>(w[1]), r.type.c_str(), static_cast<int>(w[2]), r.range.c_str(),
                  static_cast<int>(w[3]), r.def.c_str(), r.doc.c_str());
  }
}

struct Options {
  std::string scenario_path, trace_path, truth_path;
  double speed = 0;  // 0: the scenario's
  bool print_env = false;
  int program = 0;  // index of the program in argv
};

// Reads the command line into `o`: -1 to go on, else the launcher's exit status.
int parse_args(int argc, char **argv, Options *o) {
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    } else if ((a == "--scenario" || a == "--trace") && i + 1 < argc) {
      (a == "--scenario" ? o->scenario_path : o->trace_path) = argv[++i];
    } else if (a.rfind("--scenario=", 0) == 0) {
      o->scenario_path = a.substr(11);
    } else if (a.rfind("--trace=", 0) == 0) {
      o->trace_path = a.substr(8);
    } else if (a == "--truth" && i + 1 < argc) {
      o->truth_path = argv[++i];
    } else if (a.rfind("--truth=", 0) == 0) {
      o->truth_path = a.substr(8);
    } else if (a == "--speed" || a.rfind("--speed=", 0) == 0) {
      if (a == "--speed" && i + 1 >= argc) {
        std::fprintf(stderr, "tarsa-sim: option '--speed' needs a value\n");
        std::fputs(program_usage, stderr);
        return 2;
      }
      const char *v = a == "--speed" ? argv[++i] : argv[i] + 8;
      if (const char *why = tsim::parse_speed(v, &o->speed); *why) {
        std::fprintf(stderr, "tarsa-sim: --speed '%s': %s\n", v, why);
        return 2;
      }
    } else if (a == "--print-env") {
      o->print_env = true;
    } else if (a == "-h" || a == "--help") {
      std::fputs(program_usage, stdout);
      return 0;
    } else if (a == "--list-keys") {
      list_keys();
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      if (a == "--scenario" || a == "--trace")
        std::fprintf(stderr, "tarsa-sim: option '%s' needs a value\n", a.c_str());
      else
        std::fprintf(stderr, "tarsa-sim: unknown option '%s'\n", a.c_str());
      std::fputs(program_usage, stderr);
      return 2;
    } else {
      break;
    }
  }
  if (!o->print_env && i >= argc) {
    std::fputs(program_usage, stderr);
    return 2;
  }
  o->program = i;
  if (o->trace_path.empty())
    if (const char *t = getenv("TARSA_SIM_TRACE"); t && *t) o->trace_path = t;
  if (o->truth_path.empty())
    if (const char *t = getenv("TARSA_SIM_TRUTH"); t && *t) o->truth_path = t;
  return -1;
}

// Makes the run directory: "" or the reason it failed.
std::string make_run_dir() {
  const char *tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarsa-sim.XXXXXX";
  std::vector<char> dirbuf(tmpl.begin(), tmpl.end());
  dirbuf.push_back('\0');
  if (!mkdtemp(dirbuf.data()))
    return "cannot create run directory in " + tmpl + ": " + std::strerror(errno);
  const std::string run_dir = absolute(dirbuf.data());
  if (run_dir.size() + 7 > sizeof g_run_dir) {
    rmdir(run_dir.c_str());
    return "run directory path too long: " + run_dir;
  }
  std::snprintf(g_run_dir, sizeof g_run_dir, "%s", run_dir.c_str());
  std::snprintf(g_state, sizeof g_state, "%s/state", g_run_dir);
  std::snprintf(g_lock, sizeof g_lock, "%s/tarsa4.lock", g_run_dir);
  g_have_dir = 1;
  std::snprintf(g_bin, sizeof g_bin, "%s/bin", g_run_dir);
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0 || mkdir(g_bin, 0755) != 0) return std::string("cannot create ") + g_bin;
  self[n] = '\0';
  for (int i = 0; i < 2; ++i) {
    std::snprintf(g_links[i], sizeof g_links[i], "%s/%s", g_bin, kMediaScripts[i]);
    if (symlink(self, g_links[i]) != 0) return std::string("cannot create ") + g_links[i];
  }
  return {};
}

// The run's state for scenario `text`. The board is built once here, so that a refused scenario
// stops before the program starts and the shared parts (pins, register files) start from the
// scenario. "" or the reason it failed.
std::string set_up(const Options &o, const std::string &text, tsim::SharedState **shm) {
  *shm = tsim::shm_create_file(g_state);
  if (!*shm) return std::string("cannot create ") + g_state;
  if (!o.scenario_path.empty()) {
    std::string dir = absolute(o.scenario_path);
    dir = dir.substr(0, dir.rfind('/'));
    std::snprintf((*shm)->base_dir, sizeof(*shm)->base_dir, "%s", dir.c_str());
  }
  try {
    tsim::Scenario scenario =
        tsim::parse_scenario(text, o.scenario_path.empty() ? "builtin" : o.scenario_path);
    if (!tsim::shm_set_scenario(**shm, text)) throw tsim::ScenarioError("scenario too large");
    tsim::clock_set_speed((*shm)->clock, o.speed != 0 ? o.speed : scenario.speed);
    tsim::Board board(std::move(scenario), **shm, true);
    (*shm)->built_generation = (*shm)->generation.load();
  } catch (const std::exception &e) {
    return e.what();
  }
  for (const std::string *p : {&o.trace_path, &o.truth_path}) {
    if (p->empty()) continue;
    int fd = ::open(p->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
      return std::string(p == &o.trace_path ? "cannot create trace " : "cannot create truth ") +
             *p + ": " + std::strerror(errno);
    ::close(fd);
  }
  return {};
}

// Runs the program and returns its status as the launcher's (128+N for a signal N).
int run(char **argv, tsim::SharedState &shm) {
  // Held back across fork: the child must not take a stop request with the launcher's handler.
  sigset_t stops, old_mask;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stops, sig);
  sigprocmask(SIG_BLOCK, &stops, &old_mask);
  pid_t pid = fork();
  if (pid < 0) {
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return die(std::string("fork: ") + std::strerror(errno), 2);
  }
  if (pid == 0) {
    // The program never outlives the launcher, however the launcher ends. A launcher already
    // gone before the request took effect is seen as a new parent.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != g_self) _exit(128 + SIGKILL);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &dfl, nullptr);
    if (g_pending) raise(g_pending);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    execvp(argv[0], argv);
    int e = errno;
    std::fprintf(stderr, "tarsa-sim: cannot run %s: %s\n", argv[0], std::strerror(e));
    _exit(e == ENOENT ? 127 : 126);
  }
  g_child = pid;
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  // At --speed max a thread of the launcher moves the clock; started after the fork, which then
  // copies no thread's half-done work.
  std::optional<tsim::JumpScheduler> scheduler;
  if (shm.clock.jump) {
    tsim::jump_add_process(shm.jumps, pid);
    scheduler.emplace(shm.jumps, shm.clock);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = 0;
      break;
    }
  }
  scheduler.reset();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

// The run's settings, printed for a shell to take (--print-env).
void print_env(const Options &o, const std::string &ld, const std::string &start,
               const std::string &speed) {
  std::printf("export LD_PRELOAD='%s'\n", ld.c_str());
  std::printf("export TARSA_SIM_STATE='%s'\n", g_state);
  std::printf("export TARSA_SIM_START_NS=%s\n", start.c_str());
  std::printf("export PATH=\"$PATH:%s\"\n", g_bin);
  if (!speed.empty()) std::printf("export TARSA_SIM_SPEED=%s\n", speed.c_str());
  if (!o.trace_path.empty()) std::printf("export TARSA_SIM_TRACE='%s'\n", o.trace_path.c_str());
  if (!o.truth_path.empty()) std::printf("export TARSA_SIM_TRUTH='%s'\n", o.truth_path.c_str());
  std::printf("# simulator state in %s; remove it when done: rm -r '%s'\n", g_run_dir, g_run_dir);
}

// The run's settings, in this process's environment for the program it runs.
void set_env(const Options &o, const std::string &ld, const std::string &start,
             const std::string &speed) {
  setenv("LD_PRELOAD", ld.c_str(), 1);
  // A sanitized program finds the preload ahead of its sanitizer runtime; that order is fine.
  std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
  if (asan.find("verify_asan_link_order") == std::string::npos)
    setenv("ASAN_OPTIONS",
           (asan.empty() ? "" : asan + ":").append("verify_asan_link_order=0").c_str(), 1);
  setenv("TARSA_SIM_STATE", g_state, 1);
  setenv("TARSA_SIM_START_NS", start.c_str(), 1);
  if (!speed.empty())
    setenv("TARSA_SIM_SPEED", speed.c_str(), 1);
  else
    unsetenv("TARSA_SIM_SPEED");
  const char *path = getenv("PATH");
  setenv("PATH", (std::string(path && *path ? path : "/usr/bin:/bin") + ":" + g_bin).c_str(), 1);
  if (!o.trace_path.empty())
    setenv("TARSA_SIM_TRACE", o.trace_path.c_str(), 1);
  else
    unsetenv("TARSA_SIM_TRACE");
  if (!o.truth_path.empty())
    setenv("TARSA_SIM_TRUTH", o.truth_path.c_str(), 1);
  else
    unsetenv("TARSA_SIM_TRUTH");
}

}  // namespace

int main(int argc, char **argv) {
  const char *slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
  const char *name = slash ? slash + 1 : argc > 0 ? argv[0] : "";
  for (const char *script : kMediaScripts)
    if (std::strcmp(name, script) == 0) return media_script(script, argc - 1, argv + 1);
  g_self = getpid();
  // From the start: a stop request during set-up ends the launcher (and removes what it made).
  struct sigaction sa {};
  sa.sa_sigaction = on_stop;
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);

  Options o;
  if (int r = parse_args(argc, argv, &o); r >= 0) return r;
  std::string text;
  if (!o.scenario_path.empty()) {
    try {
      tsim::read_scenario_file(o.scenario_path, &text);
    } catch (const tsim::ScenarioError &e) {
      return die(e.what(), 2);
    }
    if (text.empty())
      text = "# empty scenario\n";  // an empty file is an empty board, not the built-in one
  }
  const std::string preload = find_preload();
  if (preload.empty()) return die("cannot find libtarsa-sim.so (set TARSA_SIM_PRELOAD)", 2);
  if (!o.trace_path.empty()) o.trace_path = absolute(o.trace_path);
  if (!o.truth_path.empty()) o.truth_path = absolute(o.truth_path);

  std::string err = make_run_dir();
  if (!err.empty()) return die(err, 2);
  // From here on a cleaner removes the directory, whatever happens to the launcher.
  const int cleaner = start_cleaner();
  tsim::SharedState *shm = nullptr;
  err = set_up(o, text, &shm);
  if (!err.empty()) {
    remove_run_dir();
    return die(err, 2);
  }

  std::string ld = preload;
  if (const char *old = getenv("LD_PRELOAD"); old && *old) ld += std::string(":") + old;
  const std::string start = std::to_string(shm->start_ns);
  // Tells the preload that the run's clock is not the wall clock (the factor is in the state).
  char speed[32] = "";
  if (shm->clock.jump)
    std::snprintf(speed, sizeof speed, "max");
  else if (shm->clock.factor != 1)
    std::snprintf(speed, sizeof speed, "%.17g", shm->clock.factor);
  if (o.print_env && shm->clock.jump) {
    remove_run_dir();
    return die("--speed max needs tarsa-sim to run the program: it moves the clock meanwhile", 2);
  }
  if (o.print_env) {
    if (cleaner >= 0) (void)!write(cleaner, "k", 1);  // the directory stays: the shell uses it
    print_env(o, ld, start, speed);
    return 0;
  }
  set_env(o, ld, start, speed);
  const int status = run(argv + o.program, *shm);
  remove_run_dir();
  return status;
}
