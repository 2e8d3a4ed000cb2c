// The StarGazer calibration on the simulated board, fed with the records of a sensor turning
// around the robot's centre, in a program that defines functions of its own under the names of
// the library's matrix routines and fit: the calibration must compute with the library's.
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "tarsa/lyn.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_tarsa4.h"
#include "test_vx_capture.h"
#include "test_vx_stargazer.h"

namespace {
int foreign_calls = 0;
}

// This program's own routines of the same names (exported like the library's, by the header's
// declarations), each of which would spoil a fit that used it.
extern "C" {
void rotate(double *, int, int, int, int, double, double, int) {
  ++foreign_calls;
}
int jacobi(double *, int, double *, double *, int *) {
  return ++foreign_calls, 0;
}
int choldc(double *, int, double *) {
  return ++foreign_calls, 0;
}
int inverse(const double *, double *, int) {
  return ++foreign_calls, -1;
}
void AperB(const double *, const double *, double *, int, int, int, int) {
  ++foreign_calls;
}
void A_TperB(const double *, const double *, double *, int, int, int, int) {
  ++foreign_calls;
}
void AperB_T(const double *, const double *, double *, int, int, int, int) {
  ++foreign_calls;
}
int compute_ellipse(const double *, const double *, int, double *x0, double *y0, double *angle,
                    double *axis_a, double *axis_b) {
  *x0 = *y0 = *angle = *axis_a = *axis_b = 1e6;
  return ++foreign_calls, 0;
}
}

namespace {

using namespace gazer_test;

constexpr double kPi = 3.141592653589793;

// A record as the sensor sends it, for a heading in the library's convention.
std::string record(double heading, double x, double y) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "~^I12|%.2f|%.2f|%.2f|250.00`", 90.0 - heading, x, y);
  return buf;
}

struct Result {
  int rc;
  double x0 = 0, y0 = 0, angle = 0, a = 0, b = 0, rms_x = 0, rms_y = 0;
  std::string out;
};

class GazerCalib : public GazerTest {
 protected:
  void SetUp() override {
    GazerTest::SetUp();
    if (IsSkipped()) return;
    if (robot == nullptr) {
      ASSERT_EQ(tr4_init(0, nullptr), 0);
      robot = lyn_open("Tarsa4:dsPic", LYN_BUS_I2C, 0, nullptr);
    }
    ASSERT_NE(robot, nullptr);
    open_port();
    foreign_calls = 0;
    mark = simtest::trace_mark();
  }

  Result calibrate() {
    Result r{};
    core_test::Capture out(1);
    r.rc = vx_gazer_calibration(robot, &r.x0, &r.y0, &r.angle, &r.a, &r.b, &r.rms_x, &r.rms_y);
    r.out = out.text();
    return r;
  }

  // The sensor sits `radius` cm from the turning centre (cx, cy), 100 degrees counter-clockwise
  // from the robot's heading. Its first record is waiting; then one comes every 100 ms, `step`
  // degrees further each, until the robot rests 1 degree past its start.
  void turn(double start, double step, double cx, double cy, double radius) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> noise(-0.2, 0.2);
    auto at = [&](double heading) {
      const double t = (heading + 100.0) * kPi / 180.0;
      return record(std::fmod(heading, 360.0), cx + radius * std::cos(t) + noise(rng),
                    cy + radius * std::sin(t) + noise(rng));
    };
    line->deliver(at(start));
    const int steps = static_cast<int>(std::lround(360.0 / std::fabs(step)));
    for (int k = 1; k < steps + 40; ++k)
      simtest::serial_send(kNode, at(k < steps ? start + k * step : start + 361.0), 100 * k);
  }

  static inline lyn_dev_t robot = nullptr;
  std::size_t mark = 0;
};

TEST_F(GazerCalib, FullTurnFitsTheSensorsCircle) {
  ASSERT_EQ(dlsym(RTLD_DEFAULT, "inverse"), reinterpret_cast<void *>(&inverse))
      << "this program's routines are the ones a lookup by name finds";
  turn(30.0, 9.0, 120.0, -40.0, 15.0);
  const Result r = calibrate();
  ASSERT_EQ(r.rc, 0) << r.out;
  EXPECT_EQ(foreign_calls, 0);
  EXPECT_NEAR(r.x0, 120.0, 0.5);
  EXPECT_NEAR(r.y0, -40.0, 0.5);
  EXPECT_NEAR(r.a, 15.0, 0.5);
  EXPECT_NEAR(r.b, 15.0, 0.5);
  EXPECT_LT(r.rms_x, 1.0);
  EXPECT_LT(r.rms_y, 1.0);
  EXPECT_EQ(r.x0, center_x0);
  EXPECT_EQ(r.y0, center_y0);
  EXPECT_EQ(r.angle, angle_rot);
  EXPECT_EQ(r.a, a_axis);
  EXPECT_EQ(r.b, b_axis);

  // Mode 1, the wheels at -40 and 40, and stopped at the end.
  const auto frames = simtest::i2c_frames(mark);
  EXPECT_EQ(frames, (std::vector<std::string>{"w17:01", "w18:d8ff2800", "w18:00000000"}));
  // The first sample, after the 500 ms pause, is the oldest record waiting then.
  EXPECT_EQ(r.out.find("\x1b[1`\x1b[K  start angle:  30.0 current angle:  39.0    done:  2.5 %"),
            0u)
      << r.out;
  const std::string last = "\x1b[1`\x1b[K  start angle:  30.0 current angle:  31.0\n";
  ASSERT_GE(r.out.size(), last.size());
  EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);

  // Corrected positions fall on the turning centre, whatever the heading.
  simtest::serial_clear(kNode);
  line->drain();
  for (double heading : {0.0, 75.0, 200.0, 333.0}) {
    const double t = (heading + 100.0) * kPi / 180.0;
    line->deliver(record(heading, 120.0 + 15.0 * std::cos(t), -40.0 + 15.0 * std::sin(t)));
    double x = 0, y = 0, h = 0, a = 0;
    int id = 0;
    char mode = 0;
    ASSERT_EQ(vx_stargazer_read_data(&x, &y, &h, &a, &id, &mode, 1), 0);
    EXPECT_NEAR(x, 120.0, 0.5) << heading;
    EXPECT_NEAR(y, -40.0, 0.5) << heading;
  }
  a_axis = b_axis = angle_rot = center_x0 = center_y0 = 0;
}

TEST_F(GazerCalib, FirstReadingFailsBeforeTheRobotMoves) {
  EXPECT_EQ(calibrate().rc, -12) << "nothing waiting";
  line->deliver("~*DeadZone`");
  EXPECT_EQ(calibrate().rc, -10);
  line->deliver("~!ParameterUpdate`");
  EXPECT_EQ(calibrate().rc, -3) << "like a failed fit";
  // The calibration that tells the two apart.
  line->deliver("~!ParameterUpdate`");
  int first = 99;
  EXPECT_EQ(vx_gazer_calibrate(robot, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &first),
            VX_GAZER_CAL_NO_START);
  EXPECT_EQ(first, 1);
  EXPECT_TRUE(simtest::i2c_frames(mark).empty());
}

TEST_F(GazerCalib, RobotThatDoesNotTurnGivesNoEllipse) {
  center_x0 = 7;
  a_axis = 8;
  line->deliver(record(30.0, 50.0, 60.0));
  for (int k = 1; k <= 40; ++k) simtest::serial_send(kNode, record(30.0, 50.0, 60.0), 100 * k);
  const Result r = calibrate();
  EXPECT_EQ(r.rc, -3);
  EXPECT_EQ(foreign_calls, 0);
  EXPECT_NE(r.out.find("current angle:  30.0\nERROR inverting matrix L may be singular!\n"
                       "\nERROR: computing ellipse parameters (error : -1)!\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(center_x0, 7);
  EXPECT_EQ(a_axis, 8);
  const auto frames = simtest::i2c_frames(mark);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back(), "w18:00000000");
  a_axis = center_x0 = 0;
}

}  // namespace
