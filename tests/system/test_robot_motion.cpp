// The robot driven through the library on the simulated board: odometry, heading and the motion
// sensors measured against the model's physics, with the elapsed time measured, not assumed.
//
// Model figures used here: 1 speed unit = 0.678181 mm/s and the encoders count 1 per unit-second
// (0.678181 mm of travel), wheels 105.4 mm apart, motors limited to 1000 units, accelerometer
// 1000 counts per g in the upper 12 bits, gyroscope 0.066 deg/s per count, robot radius 70 mm.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <functional>
#include <numbers>
#include <string>
#include <thread>

#include "simdevice.h"
#include "tarsa/lyn.h"
#include "tarsa/vx_tarsa4.h"
#include "testutil.h"

namespace {

constexpr double kUnitMm = 0.678181;
constexpr double kWheelBase = 105.4;
constexpr double kRadius = 70.0;
constexpr double kGravityMm = 9806.65;

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A value read from the robot and the clock just before and just after the read: the model
// sampled it somewhere in between.
template <typename T>
struct Timed {
  T value;
  double before, after;
};

struct Pair {
  int left = 0, right = 0;
};

// Mean of the 10 samples of each axis, decoded as the teleoperation program does.
struct Axes {
  double x = 0, y = 0, z = 0;
};

Axes decode(const unsigned char *buf, bool accel) {
  double sum[3] = {0, 0, 0};
  for (int axis = 0; axis < 3; ++axis)
    for (int k = 0; k < 10; ++k) {
      const auto word =
          static_cast<std::int16_t>(buf[20 * axis + 2 * k] | buf[20 * axis + 2 * k + 1] << 8);
      sum[axis] += accel ? (word >> 4) / 1000.0 : word * 0.066;
    }
  return {sum[0] / 10, sum[1] / 10, sum[2] / 10};
}

class Motion : public simtest::DeviceTest {
 protected:
  Motion() : DeviceTest([] { return tr4_init(0, nullptr) == 0; }, {"Tarsa4:dsPic"}, LYN_BUS_I2C) {}

  // A pair read by `get`, with the clock around the read.
  Timed<Pair> timed(int (*get)(int *, int *, lyn_dev_t)) {
    Timed<Pair> t{};
    t.before = now_s();
    EXPECT_EQ(get(&t.value.left, &t.value.right, dev), 0);
    t.after = now_s();
    return t;
  }
  Timed<Pair> position() { return timed(tr4_get_position); }
  Timed<Pair> timed_speed() { return timed(tr4_get_speed); }
  Pair speed() { return timed(tr4_get_speed).value; }

  Timed<int> command_speed(int left, int right) {
    Timed<int> t{};
    t.before = now_s();
    t.value = tr4_set_speed(left, right, dev);
    t.after = now_s();
    EXPECT_EQ(t.value, 0);
    return t;
  }

  Axes accel() {
    unsigned char buf[TR4_ACC_BYTES];
    EXPECT_EQ(tr4_measure_acc(buf, dev), 0);
    return decode(buf, true);
  }

  Axes gyro() {
    unsigned char buf[TR4_GYRO_BYTES];
    EXPECT_EQ(tr4_measure_gyro(buf, dev), 0);
    return decode(buf, false);
  }

  std::array<int, 5> ultrasonic() {
    unsigned char buf[TR4_US_BYTES];
    EXPECT_EQ(tr4_measure_us(buf, dev), 0);
    std::array<int, 5> cm{};
    for (int i = 0; i < 5; ++i) cm[i] = static_cast<std::int16_t>(buf[2 * i] | buf[2 * i + 1] << 8);
    return cm;
  }

  // Polls `done` until it holds; false after `bound_s` seconds.
  static bool wait_for(const std::function<bool()> &done, double bound_s = 10.0) {
    return testutil::eventually(done, bound_s);
  }

  lyn_dev_t &dev = devices[0];
};

TEST_F(Motion, StraightRunMatchesSpeedTimesElapsedTime) {
  ASSERT_EQ(tr4_SetMode(2, dev), 0);
  const auto go = command_speed(300, 300);
  ASSERT_TRUE(wait_for([&] { return position().value.left >= 200; }));
  const auto p = position();
  // Encoders count whole units: the count lies within the bracket of the two clocks, less one.
  const double lo = 300 * (p.before - go.after) - 1, hi = 300 * (p.after - go.before);
  EXPECT_GE(p.value.left, lo);
  EXPECT_LE(p.value.left, hi);
  EXPECT_GE(p.value.right, lo);
  EXPECT_LE(p.value.right, hi);
  const Pair v = speed();
  EXPECT_EQ(v.left, 300);
  EXPECT_EQ(v.right, 300);

  // Cruising: no acceleration along the way, gravity on Z, no rotation.
  const Axes a = accel();
  EXPECT_NEAR(a.x, 0.0, 0.005);
  EXPECT_NEAR(a.y, 0.0, 0.005);
  EXPECT_NEAR(a.z, 1.0, 0.005);
  const Axes g = gyro();
  EXPECT_NEAR(g.z, 0.0, 0.1);

  // Stopped, the encoders hold.
  command_speed(0, 0);
  const auto held = position();
  EXPECT_EQ(speed().left, 0);
  EXPECT_EQ(position().value.left, held.value.left);
}

TEST_F(Motion, TurningOnTheSpotChangesHeadingAtTheImpliedRate) {
  // One wall 500 mm ahead, across the robot's path: the front ultrasonic ranges show the heading.
  start(board_with("[world]\nwalls = [[500.0, -5000.0, 500.0, 5000.0]]\n"));
  const auto before = ultrasonic();
  EXPECT_NEAR(before[2], (500 - kRadius) / 10, 1.5);

  ASSERT_EQ(tr4_SetMode(2, dev), 0);
  const auto go = command_speed(-20, 20);                               // counter-clockwise
  const double rate = 40 * kUnitMm / kWheelBase;                        // rad/s
  ASSERT_TRUE(wait_for([&] { return position().value.right >= 40; }));  // about 2 s, 30 degrees

  // The gyroscope sees the same rate, counter-clockwise positive about Z.
  const Axes g = gyro();
  EXPECT_NEAR(g.z, rate * 180 / std::numbers::pi, 0.15);
  EXPECT_NEAR(g.x, 0.0, 0.15);
  const Axes a = accel();
  EXPECT_NEAR(a.y, 0.0, 0.005);  // no forward speed, no centripetal acceleration

  const auto stop = command_speed(0, 0);
  const double th_lo = rate * (stop.before - go.after), th_hi = rate * (stop.after - go.before);
  ASSERT_LT(th_hi, 1.2) << "stopped too late: the front sensors would lose the wall";
  // Distance from the body edge to the wall along a sensor's direction, cm, over the headings
  // the robot may have stopped at.
  auto span = [&](double sensor_deg) {
    double lo = 1e9, hi = -1e9;
    for (int i = 0; i <= 100; ++i) {
      const double th = th_lo + (th_hi - th_lo) * i / 100;
      const double cm = (500.0 / std::cos(th + sensor_deg * std::numbers::pi / 180) - kRadius) / 10;
      lo = std::min(lo, cm);
      hi = std::max(hi, cm);
    }
    return std::pair{lo - 1.5, hi + 1.5};
  };
  const auto after = ultrasonic();
  for (int sensor : {2, 3}) {
    const auto [lo, hi] = span(sensor == 2 ? 0.0 : -45.0);
    EXPECT_GE(after[sensor], lo) << "sensor " << sensor;
    EXPECT_LE(after[sensor], hi) << "sensor " << sensor;
  }
}

TEST_F(Motion, SpeedProfileRampsAndTheAccelerometerFeelsIt) {
  // A long run: walls far enough away that the robot reaches full speed before it meets one.
  start("extends = \"builtin\"\n[world]\nwalls = [[20000.0, -5000.0, 20000.0, 5000.0]]\n");
  ASSERT_EQ(tr4_SetSpeedProfile(2, 0, 20, 1, 800, dev), 0);  // 200 units/s^2, ramps on
  ASSERT_EQ(tr4_SetMode(2, dev), 0);
  command_speed(1000, 1000);
  Timed<Pair> v0{};
  ASSERT_TRUE(wait_for([&] { return (v0 = timed_speed()).value.left >= 100; }));
  const Axes a = accel();
  // 200 units/s^2 = 135.6 mm/s^2 = 0.0138 g forward.
  EXPECT_NEAR(a.x, 200 * kUnitMm / kGravityMm, 0.003);
  EXPECT_NEAR(a.z, 1.0, 0.005);
  Timed<Pair> v1{};
  ASSERT_TRUE(wait_for([&] { return (v1 = timed_speed()).value.left >= v0.value.left + 200; }));
  ASSERT_LT(v1.value.left, 1000) << "the ramp ended before it could be measured";
  const int gained = v1.value.left - v0.value.left;
  EXPECT_GE(gained, 200 * (v1.before - v0.after) - 1);
  EXPECT_LE(gained, 200 * (v1.after - v0.before) + 1);
  // The ramp ends at the commanded speed, and the acceleration with it.
  ASSERT_TRUE(wait_for([&] { return speed().left == 1000; }));
  EXPECT_TRUE(wait_for([&] { return std::fabs(accel().x) < 0.005; }, 1.0));
}

TEST_F(Motion, SpeedsAboveTheMotorLimitSaturate) {
  ASSERT_EQ(tr4_SetMode(2, dev), 0);
  command_speed(5000, -32768);
  const Pair v = speed();
  EXPECT_EQ(v.left, 1000);
  EXPECT_EQ(v.right, -1000);
}

TEST_F(Motion, ModesChooseWhichSpeedCommandDrives) {
  command_speed(200, 200);  // mode 0: stopped
  EXPECT_EQ(speed().left, 0);
  ASSERT_EQ(tr4_SetMode(4, dev), 0);
  command_speed(200, -200);  // goes out as 0x1C
  EXPECT_EQ(speed().left, 200);
  EXPECT_EQ(speed().right, -200);
  const unsigned char other[4] = {0x64, 0, 0x64, 0};
  ASSERT_EQ(tr4_sendcommand(dev, 0x18, other, 4), 0);  // acknowledged, ignored in mode 4
  EXPECT_EQ(speed().left, 200);
  ASSERT_EQ(tr4_SetMode(0, dev), 0);
  EXPECT_EQ(speed().left, 0);
}

TEST_F(Motion, PositionControlStopsWithinTheMarginWithoutOvershoot) {
  ASSERT_EQ(tr4_SetMode(1, dev), 0);
  ASSERT_EQ(tr4_SetSpeedProfile(10, 0, 20, 1, 400, dev), 0);
  ASSERT_EQ(tr4_SetPositionMargin(2, dev), 0);
  ASSERT_EQ(tr4_ResetEncoders(dev), 0);
  ASSERT_EQ(tr4_set_position(600, -600, dev), 0);
  int furthest = 0;
  ASSERT_TRUE(wait_for([&] {
    const auto p = position().value;
    furthest = std::max(furthest, p.left);
    const Pair v = speed();
    return v.left == 0 && v.right == 0 && p.left > 0;
  }));
  const auto p = position().value;
  EXPECT_NEAR(p.left, 600, 2);
  EXPECT_NEAR(p.right, -600, 3);  // whole counts round towards minus infinity
  EXPECT_LE(furthest, 602);
}

TEST_F(Motion, ResetLineRestartsTheMicrocontroller) {
  ASSERT_EQ(tr4_SetMode(2, dev), 0);
  command_speed(300, 300);
  ASSERT_TRUE(wait_for([&] { return position().value.left > 20; }));
  ASSERT_EQ(tr4_reset(dev), 0);
  EXPECT_EQ(speed().left, 0);
  EXPECT_EQ(position().value.left, 0);
  command_speed(300, 300);  // mode 0 again after the restart
  EXPECT_EQ(speed().left, 0);
}

TEST_F(Motion, RangeSensorsSeeTheWalls) {
  // Built-in world: a 3 m square room centred on the robot, heading +x.
  auto us = ultrasonic();
  for (int i = 0; i < 5; ++i) {
    const double deg = 90 - 45 * i;
    const double d = 1500 / std::max(std::fabs(std::cos(deg * std::numbers::pi / 180)),
                                     std::fabs(std::sin(deg * std::numbers::pi / 180)));
    EXPECT_NEAR(us[i], (d - kRadius) / 10, 1.5) << "sensor " << i;
  }
  ASSERT_EQ(tr4_activate_us(0x04, dev), 0);  // the front sensor only
  us = ultrasonic();
  EXPECT_EQ(us[0], 0);
  EXPECT_GT(us[2], 0);

  // A wall 100 mm ahead: 30 mm from the body edge, within reach of the front infrared sensor.
  start(board_with("[world]\nwalls = [[100.0, -500.0, 100.0, 500.0]]\n"));
  unsigned char prox[TR4_IR_BYTES], amb[TR4_IR_BYTES];
  ASSERT_EQ(tr4_proximity_ir(prox, dev), 0);
  ASSERT_EQ(tr4_ambiant_ir(amb, dev), 0);
  auto word = [](const unsigned char *b, int i) { return b[2 * i] | b[2 * i + 1] << 8; };
  EXPECT_NEAR(word(prox, 0), 4095 * 0.8 * 0.8, 15);
  EXPECT_LE(word(prox, 6), 15);           // facing away
  EXPECT_LT(word(amb, 0), word(amb, 6));  // the wall shades the front sensor
}

TEST_F(Motion, BatteryReplyLayout) {
  start(board_with(
      "[[i2c.slave]]\naddr = 0x1F\nmodel = \"tarsa4\"\ncharging = true\nbattery_percent = 50\n"));
  unsigned char b[TR4_BATTERY_BYTES];
  ASSERT_EQ(tr4_battery_status(b, dev), 0);
  auto u16 = [&](int at) { return b[at] | b[at + 1] << 8; };
  EXPECT_EQ(u16(0), 7400);                            // mV
  EXPECT_EQ(static_cast<std::int16_t>(u16(2)), 800);  // mA, charging
  EXPECT_EQ(u16(6), 1100);                            // mAh left
  EXPECT_EQ(u16(8), 2200);
  EXPECT_EQ(b[10], 50);
  EXPECT_EQ(b[11], 3);  // charging, present
  EXPECT_EQ(tr4_battery_charge(dev), 1);
}

}  // namespace
