// One owner of the robot: on one simulated board a second driver (gazercal, teleop or
// tarsa-bridge) ends at once, naming the first, before any operation of its own reaches the board,
// while the first drives on; a driver on another board is not held up.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "simtest.h"
#include "testutil.h"

extern char **environ;

namespace {

constexpr int kRobotAddr = 0x1F;

class OneBoard : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
    dir_ = testing::TempDir() + "claim-" + std::to_string(getpid());
    mkdir(dir_.c_str(), 0700);
    // teleop streams to a host address of this test's own, which nobody answers.
    std::string config = testutil::read_file(std::string(TARSA_SOURCE_DIR) + "/tarsa.toml.sample");
    const std::size_t at = config.find("udp_host = \"127.0.0.1\"");
    ASSERT_NE(at, std::string::npos);
    config.replace(at, 22, "udp_host = \"127.78." + std::to_string(getpid() % 250 + 1) + ".1\"");
    std::ofstream(dir_ + "/tarsa.toml") << config;
  }

  // Starts `program` on this test's board; with `trace` given, its operations go to that file
  // instead of the board's trace.
  pid_t start(const std::string &program, const std::string &name, const std::string &trace = "",
              const std::vector<std::string> &args = {}) {
    std::vector<std::string> env = {"TARSA_CONFIG=" + dir_ + "/tarsa.toml"};
    if (!trace.empty()) env.push_back("TARSA_SIM_TRACE=" + trace);
    for (char **e = environ; *e; ++e) {
      const std::string v = *e;
      if (v.rfind("TARSA_CONFIG=", 0) != 0 &&
          (trace.empty() || v.rfind("TARSA_SIM_TRACE=", 0) != 0))
        env.push_back(v);
    }
    std::vector<std::string> argv = {simtest::bin(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    return testutil::spawn(argv, dir_ + "/" + name + ".out", dir_ + "/" + name + ".err", -1, env);
  }

  // Whether the board's trace shows a write to the robot's microcontroller since `mark`.
  static bool robot_written(std::size_t mark) {
    for (const auto &r : simtest::trace_since(mark, "/dev/i2c-2"))
      if (r.value("op", "") == "write" && r.value("addr", -1) == kRobotAddr) return true;
    return false;
  }

  std::string err_of(const std::string &name) const {
    return testutil::read_file(dir_ + "/" + name + ".err");
  }

  std::string dir_;
};

TEST_F(OneBoard, SecondDriverEndsAtOnceAndTheFirstDrivesOn) {
  const std::size_t mark = simtest::trace_mark();
  const pid_t first = start("teleop", "first");
  ASSERT_GT(first, 0);
  ASSERT_TRUE(testutil::eventually([&] { return robot_written(mark); }, 20)) << err_of("first");
  const std::string holder = "teleop (pid " + std::to_string(first) + ")";

  for (const std::string program : {"gazercal", "teleop", "tarsa-bridge"}) {
    SCOPED_TRACE(program);
    const std::string trace = dir_ + "/" + program + ".trace.jsonl";
    const pid_t second = start(program, program, trace,
                               program == "tarsa-bridge"
                                   ? std::vector<std::string>{"--port", "0", "--bind", "127.0.0.1"}
                                   : std::vector<std::string>{});
    ASSERT_GT(second, 0);
    EXPECT_EQ(testutil::end_status(second, 10), 1);
    EXPECT_EQ(err_of(program), program + ": the robot is in use by " + holder + "\n");
    EXPECT_EQ(simtest::read_trace(trace).size(), 0u) << "the second touched the board";
  }

  // The first carries on, and a driver on a board of its own is not held up: its sensor answers
  // nothing, so it gets as far as the sensor.
  const std::size_t later = simtest::trace_mark();
  simtest::RunOptions other;
  other.scenario_toml =
      "extends = \"builtin\"\n[[serial.device]]\nnode = \"/dev/ttyO0\"\nmodel = \"stargazer\"\n"
      "silent = true\n";
  const auto r = simtest::run({simtest::bin("gazercal")}, other);
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(r.err.find("in use"), std::string::npos) << r.err;
  EXPECT_TRUE(robot_written(later));
  EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0) << "the first ended";

  kill(first, SIGINT);
  EXPECT_EQ(testutil::end_status(first, 10), 0) << err_of("first");
}

}  // namespace
