// iodemo and iodemo_le on the simulated board as a user runs them: texts byte for byte, the
// start pattern and the power output stepping on the trace, the alternate board, no board, and
// Ctrl-C ending the run after the cycle in progress.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "simtest.h"
#include "testutil.h"

extern char **environ;

namespace {

const std::string kBanner = "Velmor Pellix Test Program\r\n";

struct Variant {
  std::string program, board;  // board: the class name in the messages
  int main_addr;
  bool lsb_first;
};
const Variant kVariants[] = {{"iodemo", "Pellix", 0x20, false},
                             {"iodemo_le", "PellixLE", 0x22, true}};

std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// A program started under tarsa-sim, its output in files, until it ends or is killed.
class Demo {
 public:
  Demo(const std::string &program, const std::string &scenario) {
    dir_ =
        testing::TempDir() + "iodemo-" + std::to_string(getpid()) + "-" + std::to_string(++runs_);
    mkdir(dir_.c_str(), 0700);
    trace = dir_ + "/trace.jsonl";
    std::string launcher = TARSA_SIM_LAUNCHER, path = simtest::bin(program);
    std::vector<std::string> args = {launcher, "--trace", trace};
    if (!scenario.empty()) {
      std::ofstream(dir_ + "/scenario.toml") << scenario;
      args.insert(args.end(), {"--scenario", dir_ + "/scenario.toml"});
    }
    args.insert(args.end(), {"--", path});
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, (dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&fa, 2, (dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    EXPECT_EQ(posix_spawn(&pid_, launcher.c_str(), &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
  }
  ~Demo() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string out() const { return slurp(dir_ + "/out"); }
  std::string err() const { return slurp(dir_ + "/err"); }
  // Waits until `cycles` cycles have ended (their form feeds are out), at most 20 s.
  bool cycles_done(long cycles) const {
    return testutil::eventually([&] { return std::ranges::count(out(), '\f') >= cycles; }, 20);
  }
  // Ctrl-C: the launcher passes SIGINT on to the program.
  void interrupt() const { kill(pid_, SIGINT); }
  // Exit status (128+N for a signal), -1 when still running after 10 s.
  int status() {
    int st = 0;
    if (!testutil::eventually([&] { return waitpid(pid_, &st, WNOHANG) == pid_; }, 10)) return -1;
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }

  std::string trace;

 private:
  static inline int runs_ = 0;
  std::string dir_;
  pid_t pid_ = -1;
};

// Register writes to `addr` as "rr:data" hex, in order.
std::vector<std::string> writes(const std::string &trace, int addr) {
  std::vector<std::string> out;
  for (const auto &r : simtest::read_trace(trace))
    if (r.value("op", "") == "write" && r.value("addr", -1) == addr) {
      const std::string d = r.at("data");
      out.push_back(d.substr(0, 2) + ":" + d.substr(2));
    }
  return out;
}

// A 16-bit mask as the board takes it.
std::string mask16(unsigned v, bool lsb_first) {
  char s[16];
  std::snprintf(s, sizeof s, "%02x%02x", lsb_first ? v & 0xFF : (v >> 8) & 0xFF,
                lsb_first ? (v >> 8) & 0xFF : v & 0xFF);
  return s;
}

TEST(Iodemo, CyclesUntilCtrlCThenEndsAfterTheCycleInProgress) {
  for (const Variant &v : kVariants) {
    SCOPED_TRACE(v.program);
    Demo run(v.program, "");
    ASSERT_TRUE(run.cycles_done(7)) << run.out() << run.err();
    run.interrupt();
    ASSERT_EQ(run.status(), 0) << run.err();
    const std::string out = run.out();

    // Banner, firmware line (the same in both programs), then whole cycles only.
    const std::string head = kBanner + "PellixLE firmware 2.3\r\n";
    ASSERT_EQ(out.substr(0, head.size()), head);
    ASSERT_EQ(out.back(), '\f') << "the form feed is the last output";
    const std::regex cycle_re("\n> ((read ad (\\d+): (\\d+) at (\\d+) mS\r\n){12})\f");
    const std::regex line_re("read ad (\\d+): (\\d+) at (\\d+) mS\r\n");
    long cycles = 0;
    unsigned long last_time = 0;
    std::string rest = out.substr(head.size());
    for (std::smatch m;
         std::regex_search(rest, m, cycle_re, std::regex_constants::match_continuous);
         rest = m.suffix()) {
      ++cycles;
      int channel = 0;
      const std::string lines = m[1];
      for (std::sregex_iterator it(lines.begin(), lines.end(), line_re), end; it != end;
           ++it, ++channel) {
        EXPECT_EQ(std::stoi((*it)[1]), channel);
        const unsigned long time = std::stoul((*it)[3]);
        EXPECT_GE(time, last_time) << "times follow the board clock";
        last_time = time;
        const std::string value = (*it)[2];
        // The battery's 7640 mV, and the ambient infrared level.
        if (channel < 2) {
          EXPECT_EQ(value, channel == 0 ? "3160" : "3000") << channel;
        }
      }
    }
    EXPECT_EQ(rest, "") << "nothing but whole cycles";
    EXPECT_GE(cycles, 7);

    // On the bus: IOs made outputs 1 ms apart, even ones set, odd ones cleared...
    const auto w = writes(run.trace, v.main_addr);
    std::vector<std::string> start;
    for (int io = 0; io < 16; ++io) {
      char config[16];
      std::snprintf(config, sizeof config, "%02x:01", 0x10 + io);
      start.push_back(config);
    }
    for (int io = 0; io < 16; io += 2) start.push_back("21:" + mask16(1u << io, v.lsb_first));
    for (int io = 1; io < 16; io += 2) start.push_back("22:" + mask16(1u << io, v.lsb_first));
    ASSERT_GE(w.size(), start.size());
    EXPECT_EQ(std::vector<std::string>(w.begin(), w.begin() + long(start.size())), start);
    // ...then per cycle the 16 toggles and one step of the power output, 0 -> 1 -> ... -> 5 -> 0.
    std::vector<std::string> cycle_writes(w.begin() + long(start.size()), w.end());
    ASSERT_EQ(cycle_writes.size(), std::size_t(cycles) * 18);
    for (long c = 0; c < cycles; ++c) {
      const auto at = cycle_writes.begin() + c * 18;
      for (int io = 0; io < 16; ++io) EXPECT_EQ(at[io], "23:" + mask16(1u << io, v.lsb_first)) << c;
      char off[16], on[16];
      std::snprintf(off, sizeof off, "32:%02x", 1u << (c % 6));
      std::snprintf(on, sizeof on, "31:%02x", 1u << ((c + 1) % 6));
      EXPECT_EQ(at[16], off) << c;
      EXPECT_EQ(at[17], on) << c;
    }
    // The device closed: the adapter's last record.
    std::string last_op;
    for (const auto &r : simtest::read_trace(run.trace))
      if (r.value("dev", "") == "/dev/i2c-2") last_op = r.value("op", "");
    EXPECT_EQ(last_op, "close");
  }
}

TEST(Iodemo, AlternateBoardAfterItsOneMessage) {
  for (const Variant &v : kVariants) {
    SCOPED_TRACE(v.program);
    const std::string scenario =
        "extends = \"builtin\"\n[[fault]]\nkind = \"nack\"\naddr = " + std::to_string(v.main_addr) +
        "\n[[i2c.slave]]\naddr = " + std::to_string(v.main_addr + 1) +
        "\nmodel = \"pellix\"\nversion = 0x17\n" + (v.lsb_first ? "lsb_first = true\n" : "");
    Demo run(v.program, scenario);
    ASSERT_TRUE(run.cycles_done(1)) << run.out() << run.err();
    run.interrupt();
    ASSERT_EQ(run.status(), 0) << run.err();
    const std::string head = kBanner + "Cannot open " + v.board +
                             " device trying alternate address\r\nPellixLE firmware 1.7\r\n\n> ";
    EXPECT_EQ(run.out().substr(0, head.size()), head);
    // The start's 32 writes, then 18 a cycle, all to the alternate board.
    const std::size_t n = writes(run.trace, v.main_addr + 1).size();
    EXPECT_TRUE(n > 32 && (n - 32) % 18 == 0) << n;
  }
}

TEST(Iodemo, NoBoardEndsWithStatusOne) {
  for (const Variant &v : kVariants) {
    simtest::RunOptions o;
    o.scenario_toml =
        "extends = \"builtin\"\n[[fault]]\nkind = \"nack\"\naddr = " + std::to_string(v.main_addr) +
        "\n";
    const simtest::Result r = simtest::run({simtest::bin(v.program)}, o);
    EXPECT_EQ(r.status, 1) << v.program;
    EXPECT_EQ(r.out, kBanner + "Cannot open " + v.board +
                         " device trying alternate address\r\nCannot open " + v.board +
                         " device\r\n")
        << v.program;
  }
}

}  // namespace
