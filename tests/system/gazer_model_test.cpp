// gazercal and gazerdemo against the simulated StarGazer: the sensor reports from the same world
// in which the robot base model turns the robot.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "simtest.h"

namespace {

// The built-in board with `extra` laid over it, and the sensor's entry with `keys`.
std::string board(const std::string &sensor_keys, const std::string &extra = "") {
  return "extends = \"builtin\"\n" + extra +
         "\n[[serial.device]]\nnode = \"/dev/ttyO0\"\nmodel = \"stargazer\"\n" + sensor_keys + "\n";
}

// Runs `argv` on a board whose clock runs `speed` times the wall clock: by default the suite's
// factor for tests that wait on the robot (the time-outs stay on the wall clock).
simtest::Result run(const std::vector<std::string> &argv, const std::string &scenario,
                    int timeout_s = 30, double speed = TARSA_TEST_SPEED) {
  simtest::RunOptions o;
  o.scenario_toml = scenario;
  o.timeout = std::chrono::seconds(timeout_s);
  const std::string factor = std::to_string(speed);
  setenv("TARSA_SIM_SPEED", factor.c_str(), 1);
  auto r = simtest::run(argv, o);
  unsetenv("TARSA_SIM_SPEED");
  return r;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The robot's transfers with its microcontroller.
std::vector<std::string> wheel_frames(const std::string &trace) {
  return simtest::i2c_frames(simtest::read_trace(trace));
}

double value_after(const std::string &text, const std::string &label) {
  const std::size_t at = text.find(label);
  return at == std::string::npos ? NAN : std::atof(text.c_str() + at + label.size());
}

// Mean distance of the positions printed as "<kind> x= X  y= Y" from (x0, y0).
double mean_error(const std::string &out, const std::string &kind, double x0, double y0,
                  int *count) {
  const std::regex line("  " + kind + " +x= +([-+0-9.]+)  y= +([-+0-9.]+)");
  double sum = 0;
  *count = 0;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
       ++it, ++*count)
    sum += std::hypot(std::stod((*it)[1]) - x0, std::stod((*it)[2]) - y0);
  return *count ? sum / *count : NAN;
}

// The robot turns on the spot at (150, -100) mm, 150 and 100 mm from the landmark below it,
// with the sensor 120 mm from its turning centre: the fit, at `speed`, against the model.
void expect_calibration(double speed) {
  const auto r = run({simtest::bin("gazercal"), "--check", "2"},
                     board("offset_mm = 120.0", "[world]\nx = 150.0\ny = -100.0\nheading = 30.0\n"),
                     60, speed);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("result: 0, calibrated\n"), std::string::npos) << r.out;
  const double x0 = value_after(r.out, "x0 ="), y0 = value_after(r.out, "y0 =");
  const double a = value_after(r.out, "a  ="), b = value_after(r.out, "b  =");
  // Tolerance: 1 cm, about three times the sensor's noise.
  EXPECT_NEAR(x0, 15.0, 1.0);
  EXPECT_NEAR(y0, -10.0, 1.0);
  EXPECT_NEAR(a, 12.0, 1.0);
  EXPECT_NEAR(b, 12.0, 1.0);
  int raw_n = 0, corrected_n = 0;
  const double raw = mean_error(r.out, "raw", 15.0, -10.0, &raw_n);
  const double corrected = mean_error(r.out, "corrected", 15.0, -10.0, &corrected_n);
  ASSERT_GE(raw_n, 3) << r.out;
  ASSERT_GE(corrected_n, 3) << r.out;
  EXPECT_NEAR(raw, 12.0, 1.5);
  EXPECT_LT(corrected, 1.5);
  std::printf(
      "at %gx: fitted centre (%.2f, %.2f) cm, semi-axes %.2f and %.2f cm (model: (15, -10), 12)\n"
      "position error: %.2f cm uncorrected (%d readings), %.2f cm corrected (%d)\n",
      speed, x0, y0, a, b, raw, raw_n, corrected, corrected_n);
  const auto frames = wheel_frames(r.trace);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back(), "w18:00000000") << "the wheels stopped";
}

// On the wall clock, as on the robot.
TEST(GazerModel, CalibrationFindsTheMountingOffset) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  expect_calibration(1);
}

// Twenty times faster, the same fit in a few seconds: the sensor's answers keep up with the
// library's byte pauses of a millisecond and a half, under an emulator too.
TEST(GazerModel, CalibrationOnAFasterClockGivesTheSameFit) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  const bool emulated = TARSA_TEST_SPEED < 10;
  const auto t0 = std::chrono::steady_clock::now();
  expect_calibration(20);
  EXPECT_LT(seconds_since(t0), emulated ? 10 : 5) << "wall seconds";
}

TEST(GazerModel, CalibrationWithoutALandmarkLeavesTheRobotStill) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  const auto r =
      run({simtest::bin("gazercal")}, board("view_mm = 200.0", "[world]\nx = 500.0\ny = 500.0\n"));
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.out.find("result: -10, the sensor sees no landmark\n"), std::string::npos) << r.out;
  EXPECT_TRUE(wheel_frames(r.trace).empty());
}

TEST(GazerModel, CalibrationOnAFloodedLineSaysSo) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  const auto r = run({simtest::bin("gazercal")}, board("flood = true"));
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(r.out.find("result: -7, the sensor's line overflowed"), std::string::npos) << r.out;
  EXPECT_TRUE(wheel_frames(r.trace).empty());
}

// A reading as gazerdemo prints it.
struct Data {
  double x, y, angle, height;
  int id;
  char mode;
};
std::vector<Data> data_lines(const std::string &out) {
  std::vector<Data> v;
  const std::regex line(
      "data [0-9]: \\[cm,deg\\] x= +([-+0-9.]+)  y= +([-+0-9.]+)  angle= +([-+0-9.]+) "
      "height= +([-+0-9.]+) idnum= +([0-9]+) mode: (.)\n");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator();
       ++it)
    v.push_back({std::stod((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3]), std::stod((*it)[4]),
                 std::stoi((*it)[5]), (*it)[6].str()[0]});
  return v;
}

std::size_t count(const std::string &text, const std::string &what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(GazerModel, DemoOnTheBuiltInBoard) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  const auto r = run({simtest::bin("gazerdemo")}, "");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nStargazer version is: NS-SG 2.14\n"
                       "\nRead current Stargazer parameters:\n"
                       "  landmark number: 4\n"
                       "  reference id   : 2\n"
                       "  landmark type  : HLD1L (does it match yours?)\n"
                       "  landmark mode  : Alone\n"
                       "  height fix mode: No\n\n"),
            std::string::npos)
      << r.out;
  // Below landmark 5 at heading 0: the sensor 80 mm away at 100 degrees.
  const auto data = data_lines(r.out);
  EXPECT_GE(data.size(), 5u) << r.out;
  for (const Data &d : data) {
    EXPECT_NEAR(d.x, -1.4, 1.5);
    EXPECT_NEAR(d.y, 7.9, 1.5);
    EXPECT_NEAR(std::remainder(d.angle, 360.0), 0.0, 1.0);
    EXPECT_EQ(d.height, 225.0);
    EXPECT_EQ(d.id, 5);
    EXPECT_EQ(d.mode, 'I');
  }
  EXPECT_EQ(count(r.err, "\nERROR: no data received!\n") * 26, r.err.size()) << r.err;
}

TEST(GazerModel, DemoWithoutLandmarkOrRecords) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  auto r =
      run({simtest::bin("gazerdemo")}, board("view_mm = 200.0", "[world]\nx = 500.0\ny = 500.0\n"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_GE(count(r.out, "The sensor does not see any landmark!\n"), 5u) << r.out;
  EXPECT_TRUE(data_lines(r.out).empty());

  // One record a second: the readings between find nothing.
  r = run({simtest::bin("gazerdemo")}, board("rate_hz = 1"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_GE(count(r.err, "\nERROR: no data received!\n"), 7u) << r.err;
  EXPECT_LE(data_lines(r.out).size(), 3u);
}

// The line is full again right after the reader's flush: the first reading ends the loop.
TEST(GazerModel, DemoLeavesAFloodedLine) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  const auto r = run({simtest::bin("gazerdemo")}, board("flood = true"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "\nERROR: read error: buffer too short, leaving!\n");
  EXPECT_TRUE(data_lines(r.out).empty()) << r.out;
}

}  // namespace

// The wheels jam a quarter of the way round: the calibration gives up after its minute.
TEST(GazerModelJammed, RobotThatNeverCompletesItsTurnIsStopped) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  const auto r =
      run({simtest::bin("gazercal")},
          board("", "[[i2c.slave]]\naddr = 0x1F\nmodel = \"tarsa4\"\njam_mm = 80.0\n"), 120);
  EXPECT_EQ(r.status, 4) << r.err;
  EXPECT_NE(
      r.out.find("\nresult: -1, the robot did not come back to its start heading within 60 s\n"),
      std::string::npos)
      << r.out;
  const auto frames = wheel_frames(r.trace);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back(), "w18:00000000") << "the wheels stopped";
}
