// The robot example of the README, run as a user would under the simulator: what it prints, the
// order in which it leaves the GPIO lines at exit, and what it does when a read fails.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "simtest.h"
#include "testutil.h"

namespace {

TEST(RobotExample, DrivesReportsAndReleasesItsLinesBeforeTheLibraryCloses) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  const auto r = simtest::run({simtest::bin("robot_example")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("firmware revision 18\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("acceleration Z: 1.00 g\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("battery: 7640 mV, 80 %\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("charging: no\n"), std::string::npos) << r.out;
  int left = 0, right = 0;
  const auto at = r.out.find("encoders: ");
  ASSERT_NE(at, std::string::npos) << r.out;
  ASSERT_EQ(std::sscanf(r.out.c_str() + at, "encoders: left %d right %d", &left, &right), 2);
  // One second forward at 200 units, then half a second turning at -100/+100, with ramps of
  // 2000 units/s^2 between them (sleeps may run long on a loaded machine, never short): the
  // turn leaves the wheels about 85 counts apart.
  EXPECT_GE((left + right) / 2, 180);
  EXPECT_GE(right - left, 75);

  // Seen on the bus: mode 0 last; then at exit lines 90 and 65 freed while the GPIO node is still
  // open, before the library's own clean-up frees pin 64 and closes it.
  long mode0 = -1, free90 = -1, free65 = -1, free64 = -1, gpio_close = -1;
  for (const auto &rec : simtest::read_trace(r.trace)) {
    const long seq = rec.at("seq").get<long>();
    const std::string dev = rec.value("dev", ""), op = rec.value("op", "");
    if (dev == "/dev/i2c-2" && op == "write" && rec.value("data", "") == "1700") mode0 = seq;
    if (dev != "/dev/user-gpio") continue;
    if (op == "free" && rec.value("gpio", 0) == 90 && rec.value("ret", -1) == 0) free90 = seq;
    if (op == "free" && rec.value("gpio", 0) == 65 && rec.value("ret", -1) == 0) free65 = seq;
    if (op == "free" && rec.value("gpio", 0) == 64) free64 = seq;
    if (op == "close") gpio_close = seq;
  }
  ASSERT_GT(mode0, 0);
  EXPECT_GT(free90, mode0);
  EXPECT_GT(free65, free90);
  EXPECT_GT(free64, free65);
  EXPECT_GT(gpio_close, free64);
}

// A board whose charge line is missing: every robot value is printed, the charge state is not.
TEST(RobotExample, ReadFailuresPrintNoValueAndEndWithStatusOne) {
  simtest::RunOptions no_charge_line;
  no_charge_line.scenario_toml = "extends = \"builtin\"\n[gpio]\npins = [64, [70, 87], 90]\n";
  auto r = simtest::run({simtest::bin("robot_example")}, no_charge_line);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("battery: 7640 mV, 80 %\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("charging"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("the charge line cannot be read"), std::string::npos) << r.err;

  // The robot stops answering after the stop command (lyn_open's probe, the revision, two profile
  // frames, mode, encoders and three speed commands get through): the program ends there.
  simtest::RunOptions silent_robot;
  silent_robot.scenario_toml =
      "extends = \"builtin\"\n[[fault]]\nkind = \"nack\"\naddr = 0x1F\nafter = 9\n";
  r = simtest::run({simtest::bin("robot_example")}, silent_robot);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("firmware revision 18\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("speeds:"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("charging"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("the robot does not answer"), std::string::npos) << r.err;
}

// A newcomer copies the program from the README: it must be this one, byte for byte.
TEST(RobotExample, IsTheProgramTheReadmeShows) {
  using testutil::read_file;
  const std::string source = read_file(TARSA_SOURCE_DIR "/tests/system/robot_example.c");
  ASSERT_FALSE(source.empty());
  EXPECT_NE(read_file(TARSA_SOURCE_DIR "/README.md").find("```c\n" + source + "```\n"),
            std::string::npos)
      << "README.md does not show tests/system/robot_example.c as it is";
}

}  // namespace
