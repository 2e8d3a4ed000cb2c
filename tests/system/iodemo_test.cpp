// iodemo and iodemo_le on the simulated board as a user runs them: texts byte for byte, the
// start pattern and the power output stepping on the trace, the alternate board, no board, and
// Ctrl-C ending the run after the cycle in progress.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "simtest.h"
#include "testutil.h"

namespace {

const std::string kBanner = "Velmor Pellix Test Program\r\n";

struct Variant {
  std::string program, board;  // board: the class name in the messages
  int main_addr;
  bool lsb_first;
};
const Variant kVariants[] = {{"iodemo", "Pellix", 0x20, false},
                             {"iodemo_le", "PellixLE", 0x22, true}};

// A program started under tarsa-sim on `scenario`.
simtest::Program demo(const std::string &program, const std::string &scenario) {
  return simtest::Program({simtest::bin(program)}, {.scenario_toml = scenario});
}

// Waits until `cycles` cycles have ended (their form feeds are out), at most 20 s.
bool cycles_done(const simtest::Program &run, long cycles) {
  return testutil::eventually([&] { return std::ranges::count(run.out(), '\f') >= cycles; }, 20);
}

// Register writes to `addr`, in order: "w21:0008".
std::vector<std::string> writes(const std::string &trace, int addr) {
  auto out = simtest::i2c_frames(simtest::read_trace(trace), {.addr = addr});
  std::erase_if(out, [](const std::string &f) { return f[0] != 'w'; });
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
    auto run = demo(v.program, "");
    ASSERT_TRUE(cycles_done(run, 7)) << run.out() << run.err();
    run.signal(SIGINT);
    ASSERT_EQ(run.wait(10), 0) << run.err();
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
    const auto w = writes(run.trace(), v.main_addr);
    std::vector<std::string> start;
    for (int io = 0; io < 16; ++io) {
      char config[16];
      std::snprintf(config, sizeof config, "w%02x:01", 0x10 + io);
      start.push_back(config);
    }
    for (int io = 0; io < 16; io += 2) start.push_back("w21:" + mask16(1u << io, v.lsb_first));
    for (int io = 1; io < 16; io += 2) start.push_back("w22:" + mask16(1u << io, v.lsb_first));
    ASSERT_GE(w.size(), start.size());
    EXPECT_EQ(std::vector<std::string>(w.begin(), w.begin() + long(start.size())), start);
    // ...then per cycle the 16 toggles and one step of the power output, 0 -> 1 -> ... -> 5 -> 0.
    std::vector<std::string> cycle_writes(w.begin() + long(start.size()), w.end());
    ASSERT_EQ(cycle_writes.size(), std::size_t(cycles) * 18);
    for (long c = 0; c < cycles; ++c) {
      const auto at = cycle_writes.begin() + c * 18;
      for (int io = 0; io < 16; ++io)
        EXPECT_EQ(at[io], "w23:" + mask16(1u << io, v.lsb_first)) << c;
      char off[16], on[16];
      std::snprintf(off, sizeof off, "w32:%02x", 1u << (c % 6));
      std::snprintf(on, sizeof on, "w31:%02x", 1u << ((c + 1) % 6));
      EXPECT_EQ(at[16], off) << c;
      EXPECT_EQ(at[17], on) << c;
    }
    // The device closed: the adapter's last record.
    std::string last_op;
    for (const auto &r : simtest::read_trace(run.trace()))
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
    auto run = demo(v.program, scenario);
    ASSERT_TRUE(cycles_done(run, 1)) << run.out() << run.err();
    run.signal(SIGINT);
    ASSERT_EQ(run.wait(10), 0) << run.err();
    const std::string head = kBanner + "Cannot open " + v.board +
                             " device trying alternate address\r\nPellixLE firmware 1.7\r\n\n> ";
    EXPECT_EQ(run.out().substr(0, head.size()), head);
    // The start's 32 writes, then 18 a cycle, all to the alternate board.
    const std::size_t n = writes(run.trace(), v.main_addr + 1).size();
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
