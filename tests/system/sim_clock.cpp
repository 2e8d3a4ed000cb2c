// The run's clock at a factor other than 1: what a program reads and how long it waits, on every
// clock and every kind of wait; the trace on the same clock; the factor refused out of range.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

#include "simtest.h"

namespace {

using WallClock = std::chrono::steady_clock;

std::string machine_of(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  char h[20] = {};
  f.read(h, sizeof h);
  return f ? std::string(h + 4, 1) + std::string(h + 18, 2) : std::string();
}

// A build for another machine runs under qemu-user, several times slower: a lower factor, and
// programs of the PC (coreutils) cannot load its preload.
bool emulated() {
  return machine_of("/proc/self/exe") != machine_of("/bin/sh");
}

std::string speed(double factor) {
  std::ostringstream s;
  s << "extends = \"builtin\"\n[sim]\nspeed = " << factor << "\n";
  return s.str();
}

double seconds_since(WallClock::time_point t0) {
  return std::chrono::duration<double>(WallClock::now() - t0).count();
}

TEST(SimClock, EveryClockAndWaitRunsAtTheFactor) {
  const double factor = emulated() ? 5 : 10;
  simtest::RunOptions o;
  o.scenario_toml = speed(factor);
  const auto t0 = WallClock::now();
  const auto r = simtest::run({CLOCK_PROBE}, o);
  const double wall = seconds_since(t0);
  ASSERT_EQ(r.status, 0) << r.err;

  // 14 waits of 400 ms each: 5.6 s on the run's clock, a tenth of it on the wall's.
  std::map<std::string, double> seen;
  std::istringstream in(r.out);
  for (std::string name; in >> name;) in >> seen[name];
  EXPECT_EQ(seen.size(), 25u) << r.out;
  double waited = 0;
  for (const auto &[name, ns] : seen) {
    if (name.rfind("wait:", 0) != 0) continue;
    waited += ns;
    EXPECT_GE(ns, 400e6) << name;  // never early
    EXPECT_LT(ns, 650e6) << name;
  }
  for (const auto &[name, ns] : seen) {
    if (name.rfind("clock:", 0) != 0) continue;
    // time() counts whole seconds; the coarse clocks move in ticks of a few milliseconds.
    const double slack = name == "clock:time"                       ? 1e9
                         : name.find("coarse") != std::string::npos ? 100e6
                                                                    : 0;
    EXPECT_GE(ns, waited - slack) << name;
    EXPECT_LT(ns, waited + 1e9) << name;
  }
  EXPECT_LT(wall, 5.6 / factor + (emulated() ? 4 : 1.5)) << "wall seconds";
  // A receive stamp is on the run's clock too: just behind its realtime clock, not seconds.
  EXPECT_GE(seen["stamp:udp"], 0);
  EXPECT_LT(seen["stamp:udp"], 100e6);

  // The trace is stamped on the run's clock: the probe's two opens of the bus are its clock's
  // span apart.
  std::vector<long long> us;
  for (auto &t : simtest::read_trace(r.trace))
    if (t["dev"] == "/dev/i2c-2" && t["op"] == "open") us.push_back(t["us"].get<long long>());
  ASSERT_EQ(us.size(), 2u);
  EXPECT_NEAR(static_cast<double>(us[1] - us[0]) * 1e3, waited, 100e6);
}

// A program of the system (coreutils' sleep) lives on the same clock.
TEST(SimClock, SleepOfFiveSecondsAtTenTimesTakesHalfASecond) {
  if (emulated())
    GTEST_SKIP() << "the PC's sleep cannot load the preload of a build for another machine";
  simtest::RunOptions o;
  o.scenario_toml = speed(10);
  const auto t0 = WallClock::now();
  const auto r = simtest::run({"/bin/sleep", "5"}, o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_LT(seconds_since(t0), 1.0);
  EXPECT_GE(seconds_since(t0), 0.5);
}

TEST(SimClock, FactorOutOfRangeIsRefused) {
  for (const auto &[toml, why] : std::map<std::string, std::string>{
           {"[sim]\nspeed = 1000\n", "speed: 1000 out of range [0.1, 100]"},
           {"[sim]\nspeed = 0.05\n", "speed: 0.05 out of range [0.1, 100]"},
           {"[sim]\nspeed = \"fast\"\n", "speed: expected a number from 0.1 to 100, or max"},
           {"[sim]\npace = 2\n", "sim: unknown key \"pace\""}}) {
    simtest::RunOptions o;
    o.scenario_toml = toml;
    const auto r = simtest::run({"/bin/true"}, o);
    EXPECT_EQ(r.status, 2) << toml;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
  }
}

// The option takes the factor as the key does, and wins over it.
TEST(SimClock, OptionOverridesTheScenarioAndIsCheckedAlike) {
  if (emulated())
    GTEST_SKIP() << "the PC's shell cannot load the preload of a build for another machine";
  const std::string sim = TARSA_SIM_LAUNCHER;
  auto r = simtest::run({"/bin/sh", "-c", sim + " --speed 200 -- /bin/true"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "tarsa-sim: --speed '200': out of range [0.1, 100]\n");
  r = simtest::run({"/bin/sh", "-c", sim + " --speed=max --print-env"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "tarsa-sim: --speed max needs tarsa-sim to run the program: it moves the clock "
            "meanwhile\n");
  const std::string slow = testing::TempDir() + "sim_clock_slow.toml";
  std::ofstream(slow) << speed(0.1);
  const auto t0 = WallClock::now();
  r = simtest::run({"/bin/sh", "-c", sim + " --scenario " + slow + " --speed 20 -- /bin/sleep 5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_LT(seconds_since(t0), 1.0);
}

// At --speed max the clock jumps over every wait: a minute of driving takes what the CPU needs,
// and the same run gives the same trace, stamps included.
TEST(SimClock, MaxRunsAMinuteOfDrivingAtOnceAndTheSameTwice) {
  const double limit = emulated() ? 15 : 3;
  simtest::RunOptions o;
  o.scenario_toml = "extends = \"builtin\"\nseed = 7\n[sim]\nspeed = \"max\"\n";
  std::string traces[2];
  for (std::string &trace : traces) {
    const auto t0 = WallClock::now();
    const auto r = simtest::run({SCRIPTED_DRIVE, "60"}, o);
    const double wall = seconds_since(t0);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(wall, limit) << "wall seconds";
    // 1200 waits of 50 ms, and the bus's time on top: each wait jumps to its end, never past it.
    double seen = 0;
    std::sscanf(r.out.c_str(), "seconds %lf", &seen);
    EXPECT_GE(seen, 60.0) << r.out;
    EXPECT_LT(seen, 61.0) << r.out;
    std::ifstream in(r.trace);
    trace.assign(std::istreambuf_iterator<char>(in), {});
    EXPECT_GT(std::count(trace.begin(), trace.end(), '\n'), 2400);
  }
  EXPECT_TRUE(traces[0] == traces[1]) << "the two runs' traces differ";
}

// Every kind of wait jumps at --speed max, the kernel's timers included, on its deadline exactly.
TEST(SimClock, MaxEndsEachWaitOnItsDeadline) {
  simtest::RunOptions o;
  o.scenario_toml = "extends = \"builtin\"\n[sim]\nspeed = \"max\"\n";
  const auto t0 = WallClock::now();
  const auto r = simtest::run({CLOCK_PROBE}, o);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(seconds_since(t0), emulated() ? 5 : 1.5);
  std::istringstream in(r.out);
  int waits = 0;
  for (std::string name; in >> name;) {
    double ns = 0;
    in >> ns;
    if (name.rfind("wait:", 0) != 0) continue;
    ++waits;
    EXPECT_GE(ns, 400e6) << name;
    EXPECT_LT(ns, 401e6) << name;
  }
  EXPECT_EQ(waits, 14) << r.out;
}

}  // namespace
