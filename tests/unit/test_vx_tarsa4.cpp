// Robot base driver against the simulated microcontroller: the frames on the bus as the trace
// shows them, the null handle, failures and their reports, the GPIO lines, and decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "reports.h"
#include "simtest.h"
#include "tarsa/lyn.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_gpio.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_tarsa4.h"
#include "test_vx_capture.h"
#include "testutil.h"

namespace {

constexpr const char *kI2c = "/dev/i2c-2";
constexpr const char *kGpio = "/dev/user-gpio";

using testutil::reports;

// Each I2C operation of the trace as one line: "w:1702" for a write, "w:28 r4" for a combined
// write-then-read of 4 bytes; " !" marks a failed one. Selections and probes are left out.
std::vector<std::string> frames(std::size_t mark) {
  std::vector<std::string> out;
  for (const auto &r : simtest::trace_since(mark, kI2c)) {
    const std::string op = r.at("op");
    std::string s;
    if (op == "write") {
      s = "w:" + r.at("data").get<std::string>();
    } else if (op == "read") {
      s = "r" + std::to_string(r.at("data").get<std::string>().size() / 2);
    } else if (op == "rdwr") {
      for (const auto &m : r.at("msgs")) {
        if (!s.empty()) s += " ";
        s += (m.at("flags").get<int>() & 1) != 0 ? "r" + std::to_string(m.at("len").get<int>())
                                                 : "w:" + m.at("data").get<std::string>();
      }
    } else {
      continue;
    }
    if (r.value("ret", 0) < 0) s += " !";
    out.push_back(s);
  }
  return out;
}

std::vector<std::string> gpio_ops(std::size_t mark) {
  return simtest::gpio_ops(mark, false, kGpio);
}

// A scenario on top of the built-in board. Opening the device probes its address once, so an
// injected fault counts the driver's transfers from the second on.
std::string board_with(const std::string &extra) {
  return "extends = \"builtin\"\n" + extra;
}

class Tarsa4 : public ::testing::Test {
 protected:
  void SetUp() override { start(""); }
  void TearDown() override { vx_set_error_handler(nullptr); }

  // A stopped library on a fresh board, its reports collected from here on.
  static void reset(const std::string &scenario) {
    vx_set_error_handler(nullptr);
    vx_exit();
    simtest::load(scenario);
    testutil::collect_reports();
  }

  // A fresh library on a fresh board: tr4_init, then the microcontroller opened.
  void start(const std::string &scenario) {
    ASSERT_TRUE(simtest::active()) << "run under tarsa-sim";
    reset(scenario);
    ASSERT_EQ(tr4_init(0, nullptr), 0);
    dev = lyn_open("Tarsa4:dsPic", LYN_BUS_I2C, 0, nullptr);
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(reports.empty()) << reports[0].text;
  }

  lyn_dev_t dev = nullptr;
};

// ---- primitives ----

TEST_F(Tarsa4, SendCommandPutsCodeAndDataInOneWrite) {
  const unsigned char mode[1] = {2};
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_sendcommand(dev, 23, mode, 1), 0);
  const unsigned char pid[3] = {1, 2, 3};
  EXPECT_EQ(tr4_sendcommand(dev, 11, pid, 3), 0);
  EXPECT_EQ(frames(mark), (std::vector<std::string>{"w:1702", "w:0b010203"}));
  EXPECT_TRUE(reports.empty());
}

TEST_F(Tarsa4, CommandByteAloneForLengthZeroAndTheFirmwareRefusal) {
  // 0x17 needs its mode byte: the microcontroller does not acknowledge the bare code.
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_sendcommand(dev, 23, nullptr, 0), 56);
  EXPECT_EQ(frames(mark), (std::vector<std::string>{"w:17 !"}));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].code, 56);
  EXPECT_EQ(reports[0].file, "vx_tarsa4");
  EXPECT_EQ(reports[0].line, 361u);
  EXPECT_EQ(reports[0].function, "lyn_sendCommand");
  EXPECT_EQ(reports[0].text, "Error while sending command to Tarsa4 (-1)");

  // Wrong data length, unknown code, and a read of the wrong length are refused too.
  const unsigned char two[2] = {1, 2};
  EXPECT_EQ(tr4_sendcommand(dev, 23, two, 2), 56);
  EXPECT_EQ(tr4_sendcommand(dev, 0x99, two, 1), 56);
  unsigned char buf[8];
  EXPECT_EQ(tr4_getcommand(dev, 0x28, buf, 3), 55);
  EXPECT_EQ(tr4_getcommand(dev, 0x17, buf, 1), 55);
}

TEST_F(Tarsa4, NegativeLengthBuildsNoFrame) {
  const unsigned char data[1] = {1};
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_sendcommand(dev, 23, data, -1), -12);
  EXPECT_TRUE(frames(mark).empty());
  EXPECT_TRUE(reports.empty());
}

TEST_F(Tarsa4, RevisionIsOneCombinedTransfer) {
  unsigned char rev = 0;
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_revision(&rev, dev), 0);
  EXPECT_EQ(frames(mark), (std::vector<std::string>{"w:00 r1"}));
  EXPECT_EQ(rev, 0x12);
}

TEST_F(Tarsa4, FailedReadPrintsError55WithTheLayerResult) {
  start(board_with("[[fault]]\nkind = \"error\"\naddr = 0x1F\nnth = 2\ncount = 2\n"));
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
  start(board_with("[[fault]]\nkind = \"error\"\naddr = 0x1F\nnth = 2\n"));
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_SetMode(1, dev), 56);
  EXPECT_EQ(frames(mark), (std::vector<std::string>{"w:1701 !"}));
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
  EXPECT_EQ(frames(mark), (std::vector<std::string>{"w:1800000000"}));
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
  EXPECT_EQ(frames(mark), (std::vector<std::string>{
                              "w:1702", "w:1600", "w:123412", "w:0b0102ff", "w:20feffffff00000100",
                              "w:18ffff2c01", "w:1704", "w:1cffff2c01", "w:7af5", "w:0134",
                              "w:023f0001020304053f3f", "w:02000000000000000000"}));
  EXPECT_TRUE(reports.empty());
}

TEST_F(Tarsa4, SpeedProfileSendsTwoFrames) {
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_SetSpeedProfile(100, 0, 20, 1, 800, dev), 0);
  EXPECT_EQ(frames(mark), (std::vector<std::string>{"w:0e64001401", "w:142003"}));
}

TEST_F(Tarsa4, SpeedProfileSendsSecondFrameAfterFailedFirst) {
  start(board_with("[[fault]]\nkind = \"error\"\naddr = 0x1F\nnth = 2\n"));
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_SetSpeedProfile(100, 0, 20, 1, 800, dev), 0);  // the second frame's result
  EXPECT_EQ(frames(mark), (std::vector<std::string>{"w:0e64001401 !", "w:142003"}));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].code, 56);
}

TEST_F(Tarsa4, ReadCommandFrames) {
  unsigned char buf[64];
  int a, b;
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_get_speed(&a, &b, dev), 0);
  EXPECT_EQ(tr4_get_position(&a, &b, dev), 0);
  EXPECT_EQ(tr4_proximity_ir(buf, dev), 0);
  EXPECT_EQ(tr4_ambiant_ir(buf, dev), 0);
  EXPECT_EQ(tr4_measure_us(buf, dev), 0);
  EXPECT_EQ(tr4_measure_acc(buf, dev), 0);
  EXPECT_EQ(tr4_measure_gyro(buf, dev), 0);
  EXPECT_EQ(tr4_battery_status(buf, dev), 0);
  EXPECT_EQ(frames(mark),
            (std::vector<std::string>{"w:28 r4", "w:2d r8", "w:58 r24", "w:40 r24", "w:70 r10",
                                      "w:80 r60", "w:c0 r60", "w:fd r12"}));
}

TEST_F(Tarsa4, ToggleStatusLedReadsThenRewritesOneHalf) {
  ASSERT_EQ(tr4_SetStatusLeds(0x13, dev), 0);
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_ToggleStatusLed(0, dev), 0);
  EXPECT_EQ(frames(mark), (std::vector<std::string>{"w:01 r1", "w:0112"}));
  ASSERT_EQ(tr4_SetStatusLeds(0x13, dev), 0);
  mark = simtest::trace_mark();
  EXPECT_EQ(tr4_ToggleStatusLed(1, dev), 0);
  EXPECT_EQ(frames(mark), (std::vector<std::string>{"w:01 r1", "w:0123"}));
  // The microcontroller took the request: the high LED turned from on to off, the low half kept
  // its value 3.
  unsigned char status = 0xFF;
  ASSERT_EQ(tr4_getcommand(dev, 1, &status, 1), 0);
  EXPECT_EQ(status, 0x03);
}

TEST_F(Tarsa4, ToggleStatusLedWritesNothingWhenTheReadFails) {
  start(board_with("[[fault]]\nkind = \"error\"\naddr = 0x1F\nnth = 2\n"));
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_ToggleStatusLed(0, dev), 55);
  EXPECT_EQ(frames(mark), (std::vector<std::string>{"w:01 r1 !"}));
}

// ---- decoding, against a register file standing in for the microcontroller ----

TEST_F(Tarsa4, RepliesAreSignExtendedAndBuffersCopiedUnchanged) {
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
}

// ---- GPIO lines ----

TEST_F(Tarsa4, InitClaimsResetHighAndChargeAsInput) {
  vx_set_error_handler(nullptr);
  vx_exit();
  simtest::load("");
  auto mark = simtest::trace_mark();
  ASSERT_EQ(tr4_init(0, nullptr), 0);
  auto ops = gpio_ops(mark);
  const std::vector<std::string> tail{"request 90 GPIO_90", "dir_out 90 1", "request 65 GPIO_65",
                                      "dir_in 65"};
  ASSERT_GE(ops.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(ops.end() - static_cast<long>(tail.size()), ops.end()), tail);
}

TEST_F(Tarsa4, InitTakesOverLinesHeldElsewhere) {
  reset(board_with("[gpio]\nheld = [90, 65]\n"));
  auto mark = simtest::trace_mark();
  ASSERT_EQ(tr4_init(0, nullptr), 0);
  auto ops = gpio_ops(mark);
  const std::vector<std::string> tail{
      "request 90 GPIO_90 !", "free 90", "request 90 GPIO_90", "dir_out 90 1",
      "request 65 GPIO_65 !", "free 65", "request 65 GPIO_65", "dir_in 65"};
  ASSERT_GE(ops.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(ops.end() - static_cast<long>(tail.size()), ops.end()), tail);
  EXPECT_TRUE(reports.empty());
}

TEST_F(Tarsa4, InitReportsLinesThatCannotBeClaimedAndGoesOn) {
  // A board without the two lines: every request and release fails.
  reset(board_with("[gpio]\npins = [64, [70, 87]]\n"));
  auto mark = simtest::trace_mark();
  EXPECT_EQ(tr4_init(0, nullptr), 0);
  auto ops = gpio_ops(mark);
  const std::vector<std::string> tail{"request 90 GPIO_90 !", "free 90 !", "request 90 GPIO_90 !",
                                      "request 65 GPIO_65 !", "free 65 !", "request 65 GPIO_65 !"};
  ASSERT_GE(ops.size(), tail.size());
  EXPECT_EQ(std::vector<std::string>(ops.end() - static_cast<long>(tail.size()), ops.end()), tail);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].code, 5);
  EXPECT_EQ(reports[0].file, "vx_tarsa4");
  EXPECT_EQ(reports[0].line, 223u);
  EXPECT_EQ(reports[0].function, "vx_gpio_init");
  EXPECT_EQ(reports[0].text, "invalid identifier 'Could not request io for TR4 reset'");
  EXPECT_EQ(reports[1].line, 246u);
  EXPECT_EQ(reports[1].text, "invalid identifier 'Could not request io for TR4 charge'");
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
