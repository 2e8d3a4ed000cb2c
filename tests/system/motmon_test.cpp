// motmon and motmon_le under the simulator: the motor number, the device each opens, the
// firmware line and options on the bus, lines every 5 ms whose measures follow the motor, and
// the end on Ctrl-C.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "simtest.h"
#include "testutil.h"

namespace {

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

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
    simtest::Program m({simtest::bin(program), "2"}, {.scenario_toml = scenario});
    // 2 s of lines: the motor (time constant 100 ms) is at speed long before.
    ASSERT_TRUE(testutil::eventually([&] { return lines_of(m.out()).size() >= 402; }, 30.0))
        << m.out();
    m.signal(SIGINT);
    EXPECT_EQ(m.wait(10.0), 128 + SIGINT);

    const auto lines = lines_of(m.out());
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
    const auto trace = simtest::read_trace(m.trace());
    const auto frames = simtest::i2c_frames(trace);
    ASSERT_GE(frames.size(), 20u);
    const std::vector<std::string> start(frames.begin(), frames.begin() + 10);
    EXPECT_EQ(start, (std::vector<std::string>{"r00/1", "w10:0022", "r43/2", "r44/2", "r41/2",
                                               "r42/2", "r45/2", "r46/2", "r01/2", "r43/2"}));
    std::vector<long> status_us;
    for (const auto &r : trace) {
      if (r.value("dev", "") != "/dev/i2c-2" || !(r.contains("addr") || r.contains("msgs")))
        continue;
      const auto &to = r.contains("msgs") ? r["msgs"][0] : r;  // the probe and selections too
      ASSERT_EQ(to.value("addr", -1), addr) << r.dump();
      if (r.value("op", "") == "rdwr" && to.value("data", "") == "01")
        status_us.push_back(r.value("us", 0L));
    }

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
