// Robot base driver against the simulated microcontroller: the frames on the bus as the trace
// shows them, the null handle, failures and their reports, the GPIO lines, and decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "reports.h"
#include "simdevice.h"
#include "tarsa/lyn.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_gpio.h"
#include "tarsa/vx_tarsa4.h"
#include "test_vx_capture.h"
#include "testutil.h"

namespace {

constexpr const char *kI2c = "/dev/i2c-2";
constexpr const char *kGpio = "/dev/user-gpio";

using simtest::i2c_frames;
using testutil::reports;

// The GPIO operations since `mark`, as many of the last as `tail` has, against `tail`.
void expect_gpio_tail(std::size_t mark, const std::vector<std::string> &tail) {
  const auto ops = simtest::gpio_ops(mark, false, kGpio);
  const auto from =
      ops.size() > tail.size() ? ops.end() - static_cast<long>(tail.size()) : ops.begin();
  EXPECT_EQ(std::vector<std::string>(from, ops.end()), tail);
}

// The library started by tr4_init without a report, the microcontroller opened; the reports of
// each test collected.
class Tarsa4 : public simtest::DeviceTest {
 protected:
  Tarsa4()
      : DeviceTest([] { return tr4_init(0, nullptr) == 0 && reports.empty(); }, {"Tarsa4:dsPic"},
                   LYN_BUS_I2C) {}
  void TearDown() override { vx_set_error_handler(nullptr); }

  void reset(const std::string &scenario) override {
    vx_set_error_handler(nullptr);
    DeviceTest::reset(scenario);
    testutil::collect_reports();
  }

  lyn_dev_t &dev = devices[0];
};

// ---- primitives ----

TEST_F(Tarsa4, SendCommandPutsCodeAndDataInOneWrite) {
  const unsigned char mode[1] = {2};
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_sendcommand(dev, 23, mode, 1), 0);
  const unsigned char pid[3] = {1, 2, 3};
  EXPECT_EQ(tr4_sendcommand(dev, 11, pid, 3), 0);
  EXPECT_EQ(tr4_sendcommand(dev, 23, mode, -1), -12);  // a negative length builds no frame
  EXPECT_EQ(i2c_frames(mark), (std::vector<std::string>{"w17:02", "w0b:010203"}));
  EXPECT_TRUE(reports.empty());
}

TEST_F(Tarsa4, CommandByteAloneForLengthZeroAndTheFirmwareRefusal) {
  // 0x17 needs its mode byte: the microcontroller does not acknowledge the bare code.
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_sendcommand(dev, 23, nullptr, 0), 56);
  EXPECT_EQ(i2c_frames(mark), (std::vector<std::string>{"w17 !"}));
  EXPECT_EQ(reports, (std::vector<testutil::Report>{{"vx_tarsa4", "lyn_sendCommand",
                                                     "Error while sending command to Tarsa4 (-1)",
                                                     361, 56}}));

  // Wrong data length, unknown code, and a read of the wrong length are refused too.
  const unsigned char two[2] = {1, 2};
  EXPECT_EQ(tr4_sendcommand(dev, 23, two, 2), 56);
  EXPECT_EQ(tr4_sendcommand(dev, 0x99, two, 1), 56);
  unsigned char buf[8];
  EXPECT_EQ(tr4_getcommand(dev, 0x28, buf, 3), 55);
  EXPECT_EQ(tr4_getcommand(dev, 0x17, buf, 1), 55);
}

TEST_F(Tarsa4, FailedReadPrintsError55WithTheLayerResult) {
  start(failing(0x1F, 2, 2));
  const unsigned char cmd = 0x28;
  unsigned char raw[4];
  const int layer = lyn_lltransfer(dev, &cmd, 1, raw, 4);  // the first failing transfer
  ASSERT_LT(layer, 0);
  vx_set_error_handler(nullptr);
  const unsigned level = vx_debug_level;
  vx_set_debug_level(1);
  core_test::Capture err(2);
  int left = 7, right = 7;
  const int rc = tr4_get_speed(&left, &right, dev);
  const std::string text = err.text();
  vx_set_debug_level(level);
  EXPECT_EQ(rc, 55);
  EXPECT_EQ(text,
            "Error: vx_tarsa4:309:lyn_getCommand Error while receiving command from Tarsa4 (" +
                std::to_string(layer) + ")\n");
}

TEST_F(Tarsa4, FailedWriteReturns56Positive) {
  start(failing(0x1F));
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_SetMode(1, dev), 56);
  EXPECT_EQ(i2c_frames(mark), (std::vector<std::string>{"w17:01 !"}));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].code, 56);
  EXPECT_EQ(tr4_SetMode(1, dev), 0);  // no retry inside the driver; the next call goes through
}

// ---- null handle ----

TEST_F(Tarsa4, NullHandleGives58WithoutTrafficOrReport) {
  ASSERT_EQ(tr4_SetMode(2, dev), 0);
  auto mark = simtest::trace_mark();
  unsigned char buf[64];
  int a = 0, b = 0;
  const std::vector<int> results{tr4_revision(buf, nullptr),
                                 tr4_reset(nullptr),
                                 tr4_SetMode(4, nullptr),
                                 tr4_ResetEncoders(nullptr),
                                 tr4_SetPositionMargin(1, nullptr),
                                 tr4_ConfigurePID(1, 2, 3, nullptr),
                                 tr4_SetSpeedProfile(1, 2, 3, 4, 5, nullptr),
                                 tr4_set_position(1, 2, nullptr),
                                 tr4_set_speed(1, 2, nullptr),
                                 tr4_get_position(&a, &b, nullptr),
                                 tr4_get_speed(&a, &b, nullptr),
                                 tr4_proximity_ir(buf, nullptr),
                                 tr4_ambiant_ir(buf, nullptr),
                                 tr4_measure_us(buf, nullptr),
                                 tr4_measure_acc(buf, nullptr),
                                 tr4_measure_gyro(buf, nullptr),
                                 tr4_battery_status(buf, nullptr),
                                 tr4_battery_charge(nullptr),
                                 tr4_activate_us(1, nullptr),
                                 tr4_SetStatusLeds(1, nullptr),
                                 tr4_ToggleStatusLed(1, nullptr),
                                 tr4_SetRGBLeds(1, 2, 3, 4, 5, 6, 7, 8, 9, nullptr)};
  for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], 58) << "operation " << i;
  EXPECT_TRUE(simtest::trace_since(mark, kI2c).empty());
  EXPECT_TRUE(simtest::trace_since(mark, kGpio).empty());
  EXPECT_TRUE(reports.empty());
  // The refused SetMode(4) did not change the mode that picks the speed command.
  mark = simtest::trace_mark();
  EXPECT_EQ(tr4_set_speed(0, 0, dev), 0);
  EXPECT_EQ(i2c_frames(mark), (std::vector<std::string>{"w18:00000000"}));
}

// ---- frames of every command ----

TEST_F(Tarsa4, WriteCommandFrames) {
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_SetMode(2, dev), 0);
  EXPECT_EQ(tr4_ResetEncoders(dev), 0);
  EXPECT_EQ(tr4_SetPositionMargin(0x1234, dev), 0);
  EXPECT_EQ(tr4_ConfigurePID(1, 0x102, -1, dev), 0);
  EXPECT_EQ(tr4_set_position(-2, 65536, dev), 0);
  EXPECT_EQ(tr4_set_speed(-1, 300, dev), 0);
  EXPECT_EQ(tr4_SetMode(4, dev), 0);
  EXPECT_EQ(tr4_set_speed(-1, 300, dev), 0);
  EXPECT_EQ(tr4_activate_us(0x1F5, dev), 0);
  EXPECT_EQ(tr4_SetStatusLeds(0x1234, dev), 0);
  EXPECT_EQ(tr4_SetRGBLeds(255, 64, 1, 2, 3, 4, 5, 63, -1, dev), 0);
  EXPECT_EQ(tr4_SetRGBLeds(0, 0, 0, 0, 0, 0, 0, 0, 0, dev), 0);
  EXPECT_EQ(tr4_SetSpeedProfile(100, 0, 20, 1, 800, dev), 0);  // two frames
  EXPECT_EQ(i2c_frames(mark),
            (std::vector<std::string>{"w17:02", "w16:00", "w12:3412", "w0b:0102ff",
                                      "w20:feffffff00000100", "w18:ffff2c01", "w17:04",
                                      "w1c:ffff2c01", "w7a:f5", "w01:34", "w02:3f0001020304053f3f",
                                      "w02:000000000000000000", "w0e:64001401", "w14:2003"}));
  EXPECT_TRUE(reports.empty());
}

TEST_F(Tarsa4, SpeedProfileSendsSecondFrameAfterFailedFirst) {
  start(failing(0x1F));
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_SetSpeedProfile(100, 0, 20, 1, 800, dev), 0);  // the second frame's result
  EXPECT_EQ(i2c_frames(mark), (std::vector<std::string>{"w0e:64001401 !", "w14:2003"}));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].code, 56);
}

TEST_F(Tarsa4, ToggleStatusLedReadsThenRewritesOneHalf) {
  ASSERT_EQ(tr4_SetStatusLeds(0x13, dev), 0);
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_ToggleStatusLed(0, dev), 0);
  EXPECT_EQ(i2c_frames(mark), (std::vector<std::string>{"r01/1", "w01:12"}));
  ASSERT_EQ(tr4_SetStatusLeds(0x13, dev), 0);
  mark = simtest::trace_mark();
  EXPECT_EQ(tr4_ToggleStatusLed(1, dev), 0);
  EXPECT_EQ(i2c_frames(mark), (std::vector<std::string>{"r01/1", "w01:23"}));
  // The microcontroller took the request: the high LED turned from on to off, the low half kept
  // its value 3.
  unsigned char status = 0xFF;
  ASSERT_EQ(tr4_getcommand(dev, 1, &status, 1), 0);
  EXPECT_EQ(status, 0x03);
}

TEST_F(Tarsa4, ToggleStatusLedWritesNothingWhenTheReadFails) {
  start(failing(0x1F));
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_ToggleStatusLed(0, dev), 55);
  EXPECT_EQ(i2c_frames(mark), (std::vector<std::string>{"r01/1 !"}));
}

// ---- read commands, against a register file standing in for the microcontroller ----

TEST_F(Tarsa4, ReadCommandFramesSignExtendAndCopyTheReply) {
  // A register file answers "code, then read" with the bytes stored from that code on: every
  // register holds a pattern, except the speed and position replies.
  std::array<int, 256> reg{};
  for (int i = 0; i < 256; ++i) reg[i] = (i * 37 + 11) & 0xFF;
  const std::array<int, 4> speed{0x00, 0x80, 0xff, 0x7f};
  const std::array<int, 8> position{0x01, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff};
  std::copy(speed.begin(), speed.end(), reg.begin() + 0x28);
  std::copy(position.begin(), position.end(), reg.begin() + 0x2d);
  std::string regs = "[[i2c.slave]]\naddr = 0x1F\nmodel = \"regfile\"\nregisters = { ";
  for (int i = 0; i < 256; ++i)
    regs += (i ? ", " : "") + std::to_string(i) + " = " + std::to_string(reg[i]);
  regs += " }\n";
  start(board_with(regs));

  auto mark = simtest::trace_mark();
  unsigned char rev = 0;
  ASSERT_EQ(tr4_revision(&rev, dev), 0);
  EXPECT_EQ(rev, reg[0]);
  int left = 0, right = 0;
  ASSERT_EQ(tr4_get_speed(&left, &right, dev), 0);
  EXPECT_EQ(left, -32768);
  EXPECT_EQ(right, 32767);
  ASSERT_EQ(tr4_get_position(&left, &right, dev), 0);
  EXPECT_EQ(left, 1);
  EXPECT_EQ(right, -1);

  struct Read {
    int (*fn)(unsigned char *, lyn_dev_t);
    int code, len;
  };
  for (const Read &r : {Read{tr4_proximity_ir, 0x58, 24}, Read{tr4_ambiant_ir, 0x40, 24},
                        Read{tr4_measure_us, 0x70, 10}, Read{tr4_measure_acc, 0x80, 60},
                        Read{tr4_measure_gyro, 0xC0, 60}, Read{tr4_battery_status, 0xFD, 12}}) {
    std::array<unsigned char, 64> buf;
    buf.fill(0xEE);
    ASSERT_EQ(r.fn(buf.data(), dev), 0);
    for (int i = 0; i < r.len; ++i)
      EXPECT_EQ(buf[i], reg[(r.code + i) % 256]) << "code " << r.code << " byte " << i;
    EXPECT_EQ(buf[r.len], 0xEE) << "code " << r.code;  // exactly the reply length
  }
  EXPECT_EQ(i2c_frames(mark),
            (std::vector<std::string>{"r00/1", "r28/4", "r2d/8", "r58/24", "r40/24", "r70/10",
                                      "r80/60", "rc0/60", "rfd/12"}));
}

// ---- GPIO lines ----

TEST_F(Tarsa4, InitClaimsResetHighAndChargeAsInput) {
  reset("");
  auto mark = simtest::trace_mark();
  ASSERT_EQ(tr4_init(0, nullptr), 0);
  expect_gpio_tail(mark, {"request 90 GPIO_90", "dir_out 90 1", "request 65 GPIO_65", "dir_in 65"});
}

TEST_F(Tarsa4, InitTakesOverLinesHeldElsewhere) {
  reset(board_with("[gpio]\nheld = [90, 65]\n"));
  auto mark = simtest::trace_mark();
  ASSERT_EQ(tr4_init(0, nullptr), 0);
  expect_gpio_tail(mark, {"request 90 GPIO_90 !", "free 90", "request 90 GPIO_90", "dir_out 90 1",
                          "request 65 GPIO_65 !", "free 65", "request 65 GPIO_65", "dir_in 65"});
  EXPECT_TRUE(reports.empty());
}

TEST_F(Tarsa4, InitReportsLinesThatCannotBeClaimedAndGoesOn) {
  // A board without the two lines: every request and release fails.
  reset(board_with("[gpio]\npins = [64, [70, 87]]\n"));
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_init(0, nullptr), 0);
  expect_gpio_tail(mark, {"request 90 GPIO_90 !", "free 90 !", "request 90 GPIO_90 !",
                          "request 65 GPIO_65 !", "free 65 !", "request 65 GPIO_65 !"});
  EXPECT_EQ(reports, (std::vector<testutil::Report>{
                         {"vx_tarsa4", "vx_gpio_init",
                          "invalid identifier 'Could not request io for TR4 reset'", 223, 5},
                         {"vx_tarsa4", "vx_gpio_init",
                          "invalid identifier 'Could not request io for TR4 charge'", 246, 5}}));
}

TEST_F(Tarsa4, ResetHoldsTheLineLowForOneMillisecond) {
  auto mark = simtest::trace_mark();
  ASSERT_EQ(tr4_reset(dev), 0);
  auto recs = simtest::trace_since(mark, kGpio);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0]["op"], "set");
  EXPECT_EQ(recs[0]["gpio"], 90);
  EXPECT_EQ(recs[0]["value"], 0);
  EXPECT_EQ(recs[1]["op"], "set");
  EXPECT_EQ(recs[1]["value"], 1);
  const auto low_us = recs[1]["us"].get<long long>() - recs[0]["us"].get<long long>();
  EXPECT_GE(low_us, 1000);
  EXPECT_LT(low_us, 200000);  // a loaded machine may oversleep, within reason
}

TEST_F(Tarsa4, BatteryChargeFollowsLine65) {
  start(board_with("[[i2c.slave]]\naddr = 0x1F\nmodel = \"tarsa4\"\ncharging = true\n"));
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_battery_charge(dev), 1);
  EXPECT_TRUE(simtest::trace_since(mark, kI2c).empty());  // the line only, no command
  start(board_with("[[i2c.slave]]\naddr = 0x1F\nmodel = \"tarsa4\"\ncharging = false\n"));
  EXPECT_EQ(tr4_battery_charge(dev), 0);
  // A line the device will not read gives its error unchanged.
  ASSERT_EQ(gpio_free(65), 0);
  const int expected = vx_gpio_get(65);
  ASSERT_LT(expected, 0);
  EXPECT_EQ(tr4_battery_charge(dev), expected);
}

}  // namespace
