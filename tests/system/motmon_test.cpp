// motmon and motmon_le under the simulator: the motor number, the device each opens, the
// firmware line and options on the bus, lines every 5 ms whose measures follow the motor, and
// the end on Ctrl-C.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "simtest.h"
#include "testutil.h"

extern char **environ;

namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// A monitor running under tarsa-sim until it is signalled.
class Monitor {
 public:
  Monitor(const std::string &program, const std::string &motor, const std::string &scenario) {
    dir_ =
        testing::TempDir() + "motmon-" + std::to_string(getpid()) + "-" + std::to_string(++runs_);
    mkdir(dir_.c_str(), 0700);
    trace_ = dir_ + "/trace.jsonl";
    std::ofstream(dir_ + "/scenario.toml") << scenario;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, (dir_ + "/out.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, (dir_ + "/err.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args = {
        TARSA_SIM_LAUNCHER,    "--scenario", dir_ + "/scenario.toml", "--trace", trace_, "--",
        simtest::bin(program), motor};
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Monitor() {
    if (pid_ > 0) {
      if (pid_t child = program_pid(); child != pid_) kill(child, SIGKILL);
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // The program itself: the launcher's child.
  pid_t program_pid() const {
    std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                           "/children");
    pid_t child = 0;
    return children >> child ? child : pid_;
  }
  void signal(int sig) { kill(program_pid(), sig); }
  // The launcher's status (128 + N for a program ended by signal N); -1 when still running.
  int wait(double bound_s) {
    int status = -1;
    testutil::eventually(
        [&] {
          int st = 0;
          if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
          pid_ = -1;
          status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
          return true;
        },
        bound_s);
    return status;
  }
  std::string output() const { return slurp(dir_ + "/out.txt"); }
  std::string trace() const { return trace_; }

 private:
  static inline int runs_ = 0;
  std::string dir_, trace_;
  pid_t pid_ = -1;
};

TEST(Motmon, WithoutAMotorNumberItSaysSoBeforeTheLibraryStarts) {
  for (const char *program : {"motmon", "motmon_le"}) {
    auto r = simtest::run({simtest::bin(program)});
    EXPECT_EQ(r.status, 0) << program;
    EXPECT_EQ(r.out, "motor number needed\n\r");
    EXPECT_EQ(testutil::count(simtest::read_trace(r.trace), "open", "/dev/i2c-2"), 0u);
  }
}

TEST(Motmon, RefusesMotorNumbersOutsideOneToFour) {
  for (const char *program : {"motmon", "motmon_le"})
    for (const std::string arg : {"0", "5", "abc"}) {
      auto r = simtest::run({simtest::bin(program), arg});
      EXPECT_EQ(r.status, 1) << program << " " << arg;
      const std::string number = arg == "abc" ? "0" : arg;
      EXPECT_EQ(r.out, "Velmor Monitor Program\r\nCannot open motor " + number + "\r\n") << program;
    }
  // A motor that does not answer is refused the same way.
  simtest::RunOptions board;
  board.scenario_toml = "extends = \"builtin\"\n[[fault]]\nkind = \"nack\"\naddr = 0x5E\n";
  auto r = simtest::run({simtest::bin("motmon_le"), "3"}, board);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Velmor Monitor Program\r\nCannot open motor 3\r\n");
}

TEST(Motmon, PrintsALineEvery5msFollowingTheCommandedSpeedUntilCtrlC) {
  for (const auto &[program, addr] : {std::pair{"motmon", 0x59}, std::pair{"motmon_le", 0x5D}}) {
    SCOPED_TRACE(program);
    // Motor 2 commanded to 5000 counts/s from power-on.
    char scenario[160];
    std::snprintf(
        scenario, sizeof scenario,
        "extends = \"builtin\"\n[[i2c.slave]]\naddr = 0x%X\nmodel = \"dravon\"\nlsb_first = %s\n"
        "speed = 5000\n",
        addr, addr == 0x5D ? "true" : "false");
    Monitor m(program, "2", scenario);
    // 2 s of lines: the motor (time constant 100 ms) is at speed long before.
    ASSERT_TRUE(testutil::eventually([&] { return lines_of(m.output()).size() >= 402; }, 30.0))
        << m.output();
    m.signal(SIGINT);
    EXPECT_EQ(m.wait(10.0), 128 + SIGINT);

    const auto lines = lines_of(m.output());
    ASSERT_GE(lines.size(), 402u);
    EXPECT_EQ(lines[0], "Velmor Monitor Program\r");
    EXPECT_EQ(lines[1], "Motor Firmware v1.2");
    const std::regex line(
        R"(spd: +(-?\d+) pos: +(-?\d+) cur: +(-?\d+) err: 0x([0-9a-f]+) stat: 0x([0-9a-f]+)\r)");
    std::vector<long> speed, position;
    std::vector<std::string> stat;
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {  // the last may be cut by the signal
      std::smatch mt;
      ASSERT_TRUE(std::regex_match(lines[i], mt, line)) << i << ": " << lines[i];
      EXPECT_EQ(lines[i].substr(0, 13).size(), 13u);
      speed.push_back(std::stol(mt[1]));
      position.push_back(std::stol(mt[2]));
      EXPECT_EQ(mt[4], "0");
      stat.push_back(mt[5]);
    }
    // Counts per second from the options (0, 0x22); rising towards the command, then at speed.
    EXPECT_LT(speed.front(), 4000);
    EXPECT_TRUE(std::is_sorted(speed.begin(), speed.end()));
    EXPECT_NEAR(speed.back(), 5000, 50);
    EXPECT_EQ(stat.back(), "7");  // driven, moving, at speed
    EXPECT_GT(position.back(), position.front() + 4000);

    // On the bus: motor 2's device only; the version, then the options, then per line the
    // three measures (high word, then low) and the status.
    std::vector<std::string> frames;
    std::vector<long> status_us;
    for (const auto &r : simtest::read_trace(m.trace())) {
      if (r.value("dev", "") != "/dev/i2c-2" || r.value("op", "") == "open" ||
          r.value("op", "") == "close")
        continue;
      ASSERT_EQ(r.value("addr", r.contains("msgs") ? r["msgs"][0].value("addr", -1) : -1), addr)
          << r.dump();
      if (r.value("op", "") == "write") frames.push_back("w" + r.value("data", ""));
      if (r.value("op", "") == "rdwr") {
        frames.push_back("r" + r["msgs"][0].value("data", ""));
        if (frames.back() == "r01") status_us.push_back(r.value("us", 0L));
      }
    }
    ASSERT_GE(frames.size(), 20u);
    const std::vector<std::string> start(frames.begin(), frames.begin() + 10);
    EXPECT_EQ(start, (std::vector<std::string>{"r00", "w100022", "r43", "r44", "r41", "r42", "r45",
                                               "r46", "r01", "r43"}));

    // Line intervals, from the trace's clock (stamped as each transfer is recorded, so a
    // preempted program shows one short and one long): printed for the record, and only their
    // mean judged, which cannot be short of 5 ms.
    double sum = 0, sum2 = 0, least = 1e9;
    for (std::size_t i = 1; i < status_us.size(); ++i) {
      const double d = static_cast<double>(status_us[i] - status_us[i - 1]);
      sum += d;
      sum2 += d * d;
      least = std::min(least, d);
    }
    const double n = static_cast<double>(status_us.size() - 1);
    const double mean = sum / n;
    std::printf("%s: %zu line intervals, mean %.0f us, sd %.0f us, least %.0f us\n", program,
                status_us.size() - 1, mean, std::sqrt(std::max(0.0, sum2 / n - mean * mean)),
                least);
    EXPECT_GT(mean, 4900);
  }
}

}  // namespace
