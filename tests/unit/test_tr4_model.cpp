// The robot's model: control law and its inverse, odometry, decoding into physical units, and the
// start-up and stop routine on the simulated bus.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "reports.h"
#include "simtest.h"
#include "tarsa/tr4_model.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_tarsa4.h"

namespace {

constexpr double kPi = std::numbers::pi;

void put(unsigned char *raw, int i, unsigned word) {
  raw[2 * i] = word & 0xFF, raw[2 * i + 1] = (word >> 8) & 0xFF;
}

}  // namespace

TEST(Tr4Law, WheelSpeedsHeldInTheWireRangeAndStillWithoutAValue) {
  struct {
    double v, w;
    int left, right;
  } cases[] = {// teleop's known values: its angular velocity W is clockwise positive, so w = -W.
               {100, -0.0, 147, 147},
               {0, -1, 77, -77},
               {50, -0.5, 112, 34},
               {20, 1, -48, 107},
               // Beyond the wire's range (30000 mm/s would wrap to reverse), and without a value.
               {30000, 0, 32767, 32767},
               {-INFINITY, 0, -32768, -32768},
               {0, INFINITY, -32768, 32767},
               {100, NAN, 0, 0},
               {INFINITY, INFINITY, 0, 0}};  // one wheel is inf - inf: both stand still
  for (auto c : cases) {
    tr4_wheel_speeds_t s = tr4_wheel_speeds(c.v, c.w);
    EXPECT_EQ(s.left, c.left) << c.v << "," << c.w;
    EXPECT_EQ(s.right, c.right) << c.v << "," << c.w;
  }
  EXPECT_EQ(tr4_speed_units(100), 147);
  EXPECT_EQ(tr4_speed_units(-50), -73);
  EXPECT_EQ(tr4_speed_units(NAN), 0);
  EXPECT_EQ(tr4_speed_units(-1e300), -32768);

  double v = 0, w = 0;  // the inverse
  tr4_body_velocity(147, 147, &v, &w);
  EXPECT_DOUBLE_EQ(v, 147 * TR4_MM_PER_UNIT);
  EXPECT_EQ(w, 0);
  tr4_body_velocity(-77, 77, &v, &w);
  EXPECT_EQ(v, 0);
  EXPECT_DOUBLE_EQ(w, 154 * TR4_MM_PER_UNIT / TR4_WHEEL_BASE_MM);
  tr4_body_velocity(1, 2, nullptr, nullptr);
}

TEST(Tr4Odometry, StraightLineAndTurnOnTheSpot) {
  tr4_odometry_t o{};
  EXPECT_EQ(tr4_odometry_update(&o, 500, 500), 1);  // the first reading is the reference
  EXPECT_EQ(o.x_m, 0);
  EXPECT_EQ(tr4_odometry_update(&o, 1500, 1500), 0);
  EXPECT_DOUBLE_EQ(o.x_m, 1000 * TR4_MM_PER_UNIT / 1000);
  EXPECT_EQ(o.y_m, 0);
  EXPECT_EQ(o.theta_rad, 0);
  EXPECT_DOUBLE_EQ(o.distance_m, o.x_m);

  // Half a turn counter-clockwise on the spot, in steps: the wheels travel pi * B / 2 each.
  tr4_odometry_reset(&o);
  tr4_odometry_update(&o, 0, 0);
  const int half_turn = int(std::lround(kPi * TR4_WHEEL_BASE_MM / 2 / TR4_MM_PER_UNIT));
  for (int c = 10; c <= half_turn; c += 10) tr4_odometry_update(&o, -c, c);
  tr4_odometry_update(&o, -half_turn, half_turn);
  const double per_count = 2 * TR4_MM_PER_UNIT / TR4_WHEEL_BASE_MM;
  EXPECT_NEAR(o.theta_rad, kPi, per_count);
  EXPECT_NEAR(o.x_m, 0, 1e-12);
  EXPECT_NEAR(o.y_m, 0, 1e-12);
  EXPECT_EQ(o.distance_m, 0);
  // Further on, the heading comes back from the other side.
  tr4_odometry_update(&o, -half_turn - 10, half_turn + 10);
  EXPECT_LT(o.theta_rad, 0);
  EXPECT_NEAR(o.theta_rad, -kPi + 10 * per_count, per_count);
}

TEST(Tr4Odometry, CounterWrapsAndRestartTakesANewReference) {
  tr4_odometry_t o{};
  tr4_odometry_update(&o, INT_MAX - 499, INT_MAX - 499);
  EXPECT_EQ(tr4_odometry_update(&o, INT_MIN + 500, INT_MIN + 500), 0);  // 1000 counts on
  EXPECT_DOUBLE_EQ(o.x_m, 1000 * TR4_MM_PER_UNIT / 1000);

  // The microcontroller restarted: its counters read near 0 again. The pose stays.
  const double x = o.x_m;
  EXPECT_EQ(tr4_odometry_update(&o, 3, 2), 1);
  EXPECT_EQ(o.x_m, x);
  EXPECT_EQ(o.left, 3);
  EXPECT_EQ(tr4_odometry_update(&o, 3 + TR4_ODOMETRY_MAX_STEP, 2 + TR4_ODOMETRY_MAX_STEP), 0);
  EXPECT_DOUBLE_EQ(o.x_m, x + TR4_ODOMETRY_MAX_STEP * TR4_MM_PER_UNIT / 1000);
  // One wheel's jump beyond the limit is enough.
  EXPECT_EQ(tr4_odometry_update(&o, 3 + TR4_ODOMETRY_MAX_STEP, 3 + 2 * TR4_ODOMETRY_MAX_STEP), 1);
}

TEST(Tr4Decode, ImuBatteryRangesAndLevels) {
  unsigned char raw[60] = {};
  // X: ten samples of 0x0010; Y: 0xFFF0, 0x0010, 0x8000, 0x7FF0 and zeros; Z: ten of 1 g.
  for (int s = 0; s < 10; ++s) put(raw, s, 0x0010), put(raw, 20 + s, 1000 << 4);
  put(raw, 10, 0xFFF0), put(raw, 11, 0x0010), put(raw, 12, 0x8000), put(raw, 13, 0x7FF0);
  tr4_vector3_t a{};
  tr4_decode_acc(raw, &a);
  EXPECT_DOUBLE_EQ(a.x, 0.001);
  EXPECT_NEAR(a.y, (-1 + 1 - 2048 + 2047) / 1000.0 / 10.0, 1e-12);
  EXPECT_DOUBLE_EQ(a.z, 1.0);

  for (int s = 0; s < 10; ++s) put(raw, s, 0xFFFF), put(raw, 10 + s, 0x7FFF), put(raw, 20 + s, 0);
  tr4_decode_gyro(raw, &a);
  EXPECT_NEAR(a.x, -0.066, 1e-12);
  EXPECT_NEAR(a.y, 2162.622, 1e-9);
  EXPECT_EQ(a.z, 0);

  // 7.4 V, discharging at 250 mA, 25.3 degrees, 1500 of 2200 mAh, 68 %, present, not charging.
  const unsigned char bat[12] = {0xE8, 0x1C, 0x06, 0xFF, 0xFD, 0x00,
                                 0xDC, 0x05, 0x98, 0x08, 68,   0x02};
  tr4_battery_t b{};
  tr4_decode_battery(bat, &b);
  EXPECT_DOUBLE_EQ(b.voltage_v, 7.4);
  EXPECT_DOUBLE_EQ(b.current_a, -0.25);
  EXPECT_DOUBLE_EQ(b.temperature_c, 25.3);
  EXPECT_EQ(b.remaining_mah, 1500);
  EXPECT_EQ(b.capacity_mah, 2200);
  EXPECT_EQ(b.charge_percent, 68);
  EXPECT_EQ(b.charging, 0);
  EXPECT_EQ(b.present, 1);

  unsigned char us[10] = {};
  put(us, 1, 150), put(us, 2, 400), put(us, 3, 0x8000);
  double range[TR4_US_COUNT];
  tr4_decode_us(us, range);
  EXPECT_EQ(range[0], INFINITY);  // nothing measured
  EXPECT_DOUBLE_EQ(range[1], 1.5);
  EXPECT_DOUBLE_EQ(range[2], 4.0);
  EXPECT_TRUE(std::isnan(range[3]));

  unsigned char ir[24] = {};
  put(ir, 0, 4095), put(ir, 11, 0xFFFF);
  int level[TR4_IR_COUNT];
  tr4_decode_ir(ir, level);
  EXPECT_EQ(level[0], 4095);
  EXPECT_EQ(level[1], 0);
  EXPECT_EQ(level[11], 65535);
}

// ---- start-up and stop on the simulated robot ----

namespace {

// Each I2C write since `mark` as "w:<hex>", " !" marking a refused one.
std::vector<std::string> writes(std::size_t mark) {
  std::vector<std::string> out;
  for (const auto &r : simtest::trace_since(mark, "/dev/i2c-2"))
    if (r.at("op") == "write")
      out.push_back("w:" + r.at("data").get<std::string>() + (r.value("ret", 0) < 0 ? " !" : ""));
  return out;
}

const std::string kSpeed0 = "w:1800000000", kMode0 = "w:1700", kLedsOff = "w:02000000000000000000";

class Tr4Bus : public ::testing::Test {
 protected:
  void TearDown() override { vx_set_error_handler(nullptr); }
  // The robot opened on a fresh board; `refusals` writes after the opening probe fail.
  lyn_dev_t open(int refusals) {
    vx_set_error_handler(nullptr);
    vx_exit();
    simtest::load(refusals ? "extends = \"builtin\"\n[[fault]]\nkind = \"error\"\naddr = 0x1F\n"
                             "nth = 2\ncount = " +
                                 std::to_string(refusals) + "\n"
                           : "");
    testutil::collect_reports();
    EXPECT_EQ(tr4_init(0, nullptr), 0);
    return lyn_open("Tarsa4:dsPic", LYN_BUS_I2C, 0, nullptr);
  }
};

}  // namespace

TEST_F(Tr4Bus, DriveStartThenStop) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  lyn_dev_t dev = open(0);
  ASSERT_NE(dev, nullptr);
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_drive_start(dev), 0);
  EXPECT_EQ(tr4_set_speed(100, 100, dev), 0);
  auto start = writes(mark);
  ASSERT_EQ(start.size(), 5u);
  EXPECT_EQ(start[0], "w:0e64001401");  // profile, cruising speed 800, mode 2, encoders
  EXPECT_EQ(start[1], "w:142003");
  EXPECT_EQ(start[2], "w:1702");

  mark = simtest::trace_mark();
  EXPECT_EQ(tr4_stop(dev), 0);
  EXPECT_EQ(writes(mark), (std::vector<std::string>{kSpeed0, kMode0, kLedsOff}));

  mark = simtest::trace_mark();
  EXPECT_EQ(tr4_stop(nullptr), TR4_ERR_NOT_INITIALIZED);
  EXPECT_TRUE(simtest::trace_since(mark, "/dev/i2c-2").empty());
}

TEST_F(Tr4Bus, StopInsistsWhileTheRobotRefuses) {
  ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
  lyn_dev_t dev = open(2);  // the first two tries of the speed command
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_stop(dev), 0);
  EXPECT_EQ(writes(mark),
            (std::vector<std::string>{kSpeed0 + " !", kSpeed0 + " !", kSpeed0, kMode0, kLedsOff}));

  dev = open(1000);  // a robot that never answers: each command five times, all three tried
  mark = simtest::trace_mark();
  EXPECT_EQ(tr4_stop(dev), 56);
  std::vector<std::string> want;
  for (const std::string &w : {kSpeed0, kMode0, kLedsOff})
    want.insert(want.end(), TR4_STOP_ATTEMPTS, w + " !");
  EXPECT_EQ(writes(mark), want);
}
