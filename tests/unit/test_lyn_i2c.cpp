// I2C bus binding and the device layer on the simulated adapter: the command-line options, the
// scan that registers devices, errors 16 and 18 with their exact texts, and register access at
// the configured addresses in each device's byte order, seen on the bus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "simtest.h"
#include "tarsa/lyn.h"
#include "tarsa/lyn_i2c.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "test_vx_capture.h"
#include "testutil.h"

using core_test::Capture;
using testutil::count;

namespace {

using Trace = std::vector<nlohmann::json>;

// Adapters 1, 2 and 3; register files at 0x1F and 0x50 on adapter 2, and the gripper arm's and
// an IO board's addresses with the same 16-bit value in registers 0x31-0x32.
constexpr const char *kBoard = R"(
[[i2c.adapter]]
number = 1
[[i2c.adapter]]
number = 2
[[i2c.adapter]]
number = 3

[[i2c.slave]]
addr = 0x1F
model = "regfile"
[[i2c.slave]]
addr = 0x50
model = "regfile"
[[i2c.slave]]
addr = 0x28
model = "regfile"
registers = { "0x31" = 0x12, "0x32" = 0x34 }
[[i2c.slave]]
addr = 0x20
model = "regfile"
registers = { "0x31" = 0x12, "0x32" = 0x34 }
)";

// Paths opened since `mark`, on any node.
std::vector<std::string> opened(std::size_t mark) {
  std::vector<std::string> out;
  for (const auto &r : simtest::trace_since(mark))
    if (r.value("op", "") == "open") out.push_back(r.value("dev", ""));
  return out;
}

class LynI2c : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!simtest::active()) GTEST_SKIP() << "runs under tarsa-sim";
    simtest::load(kBoard);
    pthread_mutex_init(&bus_.mutex, nullptr);
    vx_set_debug_level(0);
  }
  void TearDown() override {
    lyn_i2c_exit(&bus_);
    lyn_exit();  // forgets the devices registered on bus_
    pthread_mutex_destroy(&bus_.mutex);
    vx_set_debug_level(0);
  }

  // lyn_i2c_init with argv = {"prog", args...}.
  int init(std::initializer_list<const char *> args) {
    std::vector<char *> argv{const_cast<char *>("prog")};
    for (const char *a : args) argv.push_back(const_cast<char *>(a));
    const int argc = static_cast<int>(argv.size());
    argv.push_back(nullptr);
    return lyn_i2c_init(&bus_, argc, argv.data());
  }

  lyn_bus_t bus_{};
};

TEST_F(LynI2c, AdapterChosenOnTheCommandLine) {
  struct Case {
    std::initializer_list<const char *> args;
    const char *path;
  } cases[] = {
      {{}, "/dev/i2c-2"},
      {{"-d", "3", "--i2c-device", "/dev/i2c-1"}, "/dev/i2c-1"},
      {{"--i2c-device", "/dev/i2c-1", "x", "--i2c-device", "/dev/i2c-3"}, "/dev/i2c-3"},
      {{"--i2c-device"}, "/dev/i2c-2"},
      {{"--I2C-DEVICE", "/dev/i2c-1", "--i2c-device=/dev/i2c-3"}, "/dev/i2c-2"},
  };
  for (const Case &c : cases) {
    const auto mark = simtest::trace_mark();
    EXPECT_EQ(init(c.args), 0);
    EXPECT_EQ(opened(mark), std::vector<std::string>{c.path});
    EXPECT_EQ(count(simtest::trace_since(mark), "smbus"), 0u) << "no scan unless asked";
    EXPECT_EQ(lyn_i2c_exit(&bus_), 0);
    EXPECT_EQ(bus_.priv, nullptr);
  }
  EXPECT_EQ(lyn_i2c_exit(&bus_), 0) << "no handle: nothing to do";

  // The slots, whatever the outcome.
  EXPECT_EQ(bus_.exit, lyn_i2c_exit);
  EXPECT_EQ(bus_.open, lyn_i2c_open);
  EXPECT_EQ(bus_.close, nullptr);
  EXPECT_EQ(bus_.transfer, lyn_i2c_transfer);
  EXPECT_EQ(bus_.read, lyn_i2c_read);
  EXPECT_EQ(bus_.write, lyn_i2c_write);
}

TEST_F(LynI2c, MissingAdapterIsError16WithTheBusName) {
  // The word after "--i2c-device" is a path even when it reads like the scan option.
  for (auto args : {std::initializer_list<const char *>{"--i2c-device", "--i2c-scan"},
                    std::initializer_list<const char *>{"--i2c-device", "/dev/i2c-7"}}) {
    const auto mark = simtest::trace_mark();
    Capture err(2);
    EXPECT_EQ(init(args), -16);
    EXPECT_EQ(err.text(), std::string("unable to open 'I\xB2"
                                      "C' bus\n"));
    EXPECT_EQ(bus_.priv, nullptr);
    EXPECT_EQ(count(simtest::trace_since(mark), "smbus"), 0u);
  }
  vx_set_debug_level(1);
  Capture err(2);
  EXPECT_EQ(init({"--i2c-device", "/dev/i2c-7"}), -16);
  const std::string text = err.text();
  EXPECT_EQ(text, std::string("Error: lyn_i2c:112:lyn_i2c_open unable to open 'I\xB2"
                              "C' bus\n"));
  const size_t name = text.find("'I");
  ASSERT_NE(name, std::string::npos);
  EXPECT_EQ(static_cast<unsigned char>(text[name + 2]), 0xB2);
  EXPECT_EQ(text.substr(name, 5), std::string("'I\xB2"
                                              "C'"));
}

TEST_F(LynI2c, ScanRegistersDevicesBeforeAnyOpen) {
  const auto mark = simtest::trace_mark();
  EXPECT_EQ(init({"--i2c-scan"}), 4);
  EXPECT_EQ(count(simtest::trace_since(mark, "/dev/i2c-2"), "smbus"), 126u);
  for (int address : {0x1F, 0x20, 0x28, 0x50})
    EXPECT_NE(lyn_bus_find_device(&bus_, 0, address, nullptr), nullptr) << address;
  EXPECT_EQ(lyn_bus_find_device(&bus_, 0, 0x21, nullptr), nullptr);

  // Opening a scanned address finds the device without touching the bus.
  lyn_dev_t dev = lyn_bus_find_device(&bus_, 0, 0x50, nullptr);
  const auto before_open = simtest::trace_mark();
  EXPECT_EQ(lyn_i2c_open(&bus_, 0, 0x50, "Any:Name"), dev);
  EXPECT_TRUE(simtest::trace_since(before_open).empty());
}

TEST_F(LynI2c, OpenProbesOnceAndReportsSilentAddresses) {
  ASSERT_EQ(init({}), 0);
  auto mark = simtest::trace_mark();
  lyn_dev_t dev = lyn_i2c_open(&bus_, 0, 0x1F, nullptr);
  ASSERT_NE(dev, nullptr);
  EXPECT_EQ(lyn_device_address(dev), 0x1F);
  EXPECT_EQ(count(simtest::trace_since(mark), "smbus"), 1u);
  mark = simtest::trace_mark();
  EXPECT_EQ(lyn_i2c_open(&bus_, 0, 0x1F, nullptr), dev);
  EXPECT_EQ(count(simtest::trace_since(mark), "smbus"), 0u);

  Capture err(2);
  EXPECT_EQ(lyn_i2c_open(&bus_, 0, 0x33, nullptr), nullptr);
  EXPECT_EQ(err.text(), "no device found with (0,51)\n");
  EXPECT_EQ(lyn_bus_find_device(&bus_, 0, 0x33, nullptr), nullptr);

  // Plain read and write go to the device's address.
  mark = simtest::trace_mark();
  const uint8_t reg[] = {0x05, 0xEE};
  uint8_t b = 0;
  EXPECT_EQ(lyn_i2c_write(&bus_, dev, reg, 2), 2);
  EXPECT_EQ(lyn_i2c_transfer(&bus_, dev, reg, 1, &b, 1), 2);
  EXPECT_EQ(b, 0xEE);
  const Trace t = simtest::trace_since(mark, "/dev/i2c-2");
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back()["op"], "rdwr");
  EXPECT_EQ(t.back()["msgs"][0]["addr"], 0x1F);
}

// The whole layer: names from a configuration, order flags from it, bytes on the bus.
class LynOnBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!simtest::active()) GTEST_SKIP() << "runs under tarsa-sim";
    simtest::load(kBoard);
    config_ = ::testing::TempDir() + "lyn-board-" + std::to_string(getpid()) + ".toml";
    std::ofstream(config_)
        << "[Gripper.devices]\nArm = { bus = \"i2c\", address = 0x28, order = 8 }\n"
           "[Pellix.devices]\nBoard = { bus = \"i2c\", address = 0x20 }\n";
    setenv("TARSA_CONFIG", config_.c_str(), 1);
    ASSERT_EQ(vx_config_init(0, nullptr), 0);
  }
  void TearDown() override {
    lyn_exit();
    vx_config_exit();
    unsetenv("TARSA_CONFIG");
    unlink(config_.c_str());
  }

  // Reads register 0x31 as 16 bits and writes 0x1234 to register 0x3E; returns the written bytes.
  static std::string exercise(lyn_dev_t dev, uint16_t *read_value) {
    EXPECT_EQ(lyn_read16(dev, 0x31, read_value), 0);
    const auto mark = simtest::trace_mark();
    EXPECT_EQ(lyn_write16(dev, 0x3E, 0x1234), 0);
    const Trace t = simtest::trace_since(mark, "/dev/i2c-2");
    for (const auto &r : t)
      if (r["op"] == "write")
        return std::to_string(r["addr"].get<int>()) + ":" + r["data"].get<std::string>();
    return "";
  }

  std::string config_;
};

TEST_F(LynOnBoard, ConfiguredOrderOnTheWire) {
  for (const char *scan : {"", "--i2c-scan"}) {
    char *argv[] = {const_cast<char *>("prog"), const_cast<char *>(scan), nullptr};
    ASSERT_GE(lyn_init(*scan ? 2 : 1, argv), 0);
    lyn_dev_t arm = lyn_open("Gripper:Arm", LYN_BUS_ANY, 0, nullptr);
    lyn_dev_t board = lyn_open("PELLIX:board", LYN_BUS_I2C, 0, nullptr);
    ASSERT_NE(arm, nullptr) << scan;
    ASSERT_NE(board, nullptr) << scan;
    uint16_t v = 0;
    EXPECT_EQ(exercise(arm, &v), "40:3e1234") << scan;
    EXPECT_EQ(v, 0x1234);
    EXPECT_EQ(exercise(board, &v), "32:3e3412") << scan;
    EXPECT_EQ(v, 0x3412);

    // The order a program sets is kept, also across a second open of the same name.
    EXPECT_EQ(lyn_set_order(board, LYN_ORDER_MSB_FIRST), 0);
    EXPECT_EQ(lyn_open("Pellix:Board", LYN_BUS_ANY, 0, nullptr), board);
    EXPECT_EQ(exercise(board, &v), "32:3e1234");
    EXPECT_EQ(lyn_close(board), 0);
    EXPECT_EQ(lyn_exit(), 0);
  }
}

TEST_F(LynOnBoard, ReadAndWriteFramesOnTheBus) {
  char *argv[] = {const_cast<char *>("prog"), nullptr};
  ASSERT_EQ(lyn_init(1, argv), 0);
  lyn_dev_t arm = lyn_open("Gripper:Arm", LYN_BUS_I2C, 0, nullptr);
  ASSERT_NE(arm, nullptr);
  const auto mark = simtest::trace_mark();
  uint8_t v8 = 0;
  EXPECT_EQ(lyn_write8(arm, 0x40, 0x0F), 0);
  EXPECT_EQ(lyn_read8(arm, 0x40, &v8), 0);
  EXPECT_EQ(v8, 0x0F);
  // The probe of lyn_open left 0x28 selected: the write needs no new selection.
  const Trace t = simtest::trace_since(mark, "/dev/i2c-2");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0]["op"], "write");
  EXPECT_EQ(t[0]["addr"], 0x28);
  EXPECT_EQ(t[0]["data"], "400f");
  EXPECT_EQ(t[1]["op"], "rdwr");
  EXPECT_EQ(t[1]["msgs"][0]["data"], "40");
  EXPECT_EQ(t[1]["msgs"][1]["len"], 1);
  EXPECT_EQ(t[1]["msgs"][1]["data"], "0f");
}

}  // namespace
