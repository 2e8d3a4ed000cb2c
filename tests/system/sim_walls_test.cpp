// The robot driven into a wall of the simulated room through the library: its true pose (the
// truth file), its odometry and its range finder agree on where it stopped. Times are taken from
// the truth file's clock, so an emulated run is judged by the same rules.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include "simtest.h"
#include "tarsa/lyn.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_lrf.h"
#include "tarsa/vx_tarsa4.h"
#include "testutil.h"

namespace {

constexpr double kUnitMm = 0.678181;  // mm per encoder count, mm/s per speed unit
constexpr double kRadius = 70.0;      // centre to the body's edge, mm
constexpr double kWall = 1500.0;      // the built-in room's wall ahead, mm
constexpr int kSpeed = 295;           // units: 0.2 m/s

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

class Walls : public ::testing::Test {
 protected:
  void start(const std::string &scenario) {
    ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
    const char *truth = std::getenv("TARSA_SIM_TRUTH");
    ASSERT_TRUE(truth != nullptr) << "run with --truth";
    truth_ = truth;
    vx_exit();
    simtest::load(scenario);
    ASSERT_EQ(tr4_init(0, nullptr), 0);
    dev_ = lyn_open("Tarsa4:dsPic", LYN_BUS_I2C, 0, nullptr);
    ASSERT_NE(dev_, nullptr);
    ASSERT_EQ(tr4_SetMode(2, dev_), 0);
    ASSERT_EQ(tr4_ResetEncoders(dev_), 0);
  }

  int left_count() {
    int left = 0, right = 0;
    EXPECT_EQ(tr4_get_position(&left, &right, dev_), 0);
    return left;
  }

  bool stalled() {
    int left = -1, right = -1;
    EXPECT_EQ(tr4_get_speed(&left, &right, dev_), 0);
    return left == 0 && right == 0;
  }

  // The truth file's lines (a line still being written is left out).
  std::vector<nlohmann::json> truth() {
    std::vector<nlohmann::json> out;
    std::ifstream in(truth_);
    for (std::string line; std::getline(in, line);)
      if (auto j = nlohmann::json::parse(line, nullptr, false); j.is_object()) out.push_back(j);
    return out;
  }

  std::string truth_;
  lyn_dev_t dev_ = nullptr;
};

TEST_F(Walls, StallsAtTheWallWhereTheTruthAndTheSensorsAgree) {
  start("");
  const std::size_t mark = simtest::trace_mark();
  ASSERT_EQ(tr4_set_speed(kSpeed, kSpeed, dev_), 0);
  // About 7 s to the wall: the wheels stall there.
  ASSERT_TRUE(testutil::eventually([&] { return left_count() > 1000 && stalled(); }, 30.0));

  // The first contact in the truth file, and a tenth of a second past it on the same clock.
  double contact_t = 0, contact_x = 0;
  for (const auto &l : truth())
    if (l["contact"] == true && contact_t == 0) {
      contact_t = l["t"];
      contact_x = l["x"];
    }
  ASSERT_GT(contact_t, 0) << "no contact in the truth file";
  EXPECT_NEAR(contact_x, (kWall - kRadius) / 1000, 0.01);
  ASSERT_TRUE(testutil::eventually([&] { return now_s() > contact_t + 0.2; }, 5.0));
  const int held = left_count();
  const auto rest = truth().back();
  EXPECT_NEAR(rest["x"].get<double>(), (kWall - kRadius) / 1000, 0.01);
  EXPECT_NEAR(rest["y"].get<double>(), 0.0, 0.001);
  EXPECT_EQ(rest["contact"], true);
  // Odometry counted the way to the wall and at most 100 ms of travel past the contact.
  const double at_contact = contact_x * 1000 / kUnitMm;
  EXPECT_GE(held, at_contact - 2);
  EXPECT_LE(held, at_contact + 0.1 * kSpeed);
  EXPECT_EQ(left_count(), held);

  // The trace records the contact where it happened.
  int contacts = 0;
  for (const auto &r : simtest::trace_since(mark, "world"))
    if (r["op"] == "contact" && r["contact"] == 1) {
      ++contacts;
      EXPECT_NEAR(r["x"].get<double>(), kWall - kRadius, 10);
    }
  EXPECT_EQ(contacts, 1);

  // The range finder, seen from the robot's centre, measures the true distance (noise 10 mm).
  vx_lrf_Power_On();
  const int lrf = vx_lrf_Init("/dev/ttyACM0");
  ASSERT_GE(lrf, 0);
  ASSERT_EQ(vx_lrf_GetDistances(lrf), 0);
  const double true_mm = kWall - truth().back()["x"].get<double>() * 1000;
  EXPECT_NEAR(vx_lrf_DistanceData[384 - 44], true_mm, 11);
  vx_lrf_Close(lrf);
}

TEST_F(Walls, SlippingWheelsCountWhileTheBodyStays) {
  start(
      "extends = \"builtin\"\n[[i2c.slave]]\naddr = 0x1F\nmodel = \"tarsa4\"\nwheel_slip = true\n"
      "[world]\nx = 1300.0\n");
  ASSERT_EQ(tr4_set_speed(kSpeed, kSpeed, dev_), 0);
  // 60 mm to the wall (about 88 counts), then the wheels spin on.
  ASSERT_TRUE(testutil::eventually([&] { return left_count() > 400; }, 30.0));
  ASSERT_FALSE(truth().empty());
  EXPECT_NEAR(truth().back()["x"].get<double>(), (kWall - kRadius) / 1000, 0.0001);
}

}  // namespace
