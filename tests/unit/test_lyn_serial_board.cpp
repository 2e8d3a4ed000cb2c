// The serial bus of the device layer on the simulated board's terminals: port settings, bytes on
// the line, reads that do not wait, closing, and a missing node.
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "simtest.h"
#include "tarsa/lyn.h"
#include "tarsa/lyn_rs232.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "test_vx_capture.h"
#include "testutil.h"

using core_test::Capture;

namespace {

constexpr const char *kNode = "/dev/ttyACM0";

class LynSerialBoard : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!simtest::active()) GTEST_SKIP() << "runs under tarsa-sim";
    // Scripted replies on the node, in place of the board's range finder.
    simtest::load(
        "extends = \"builtin\"\n[[serial.device]]\nnode = \"/dev/ttyACM0\"\nmodel = "
        "\"script\"\n");
    unsetenv("TARSA_CONFIG");
    ASSERT_EQ(vx_config_init(0, nullptr), 0);
    ASSERT_EQ(lyn_init(0, nullptr), 0);
    vx_set_debug_level(0);
  }
  void TearDown() override {
    lyn_exit();
    vx_config_exit();
  }
};

TEST_F(LynSerialBoard, RawPortOnTheLine) {
  const auto mark = simtest::trace_mark();
  lyn_dev_t dev = lyn_open(kNode, LYN_BUS_SERIAL, 0, nullptr);
  ASSERT_NE(dev, nullptr);
  auto *port = static_cast<lyn_rs232_port_t *>(lyn_device_priv(dev));
  ASSERT_NE(port, nullptr);
  termios tio{};
  ASSERT_EQ(tcgetattr(port->fd, &tio), 0);
  EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B115200)) << "the node starts at 9600";
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CLOCAL | CREAD),
            static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
  EXPECT_EQ(tio.c_lflag, 0u);
  EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(IGNPAR));

  char buf[8];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(lyn_llread(dev, buf, sizeof buf), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

  EXPECT_EQ(lyn_llwrite(dev, "\x7e\x60\r\n", 4), 4);
  // The model reads the line on its own thread: wait for the record, bounded.
  std::string sent;
  testutil::eventually([&] { return (sent = simtest::serial_data(mark, kNode)).size() >= 8; }, 2);
  EXPECT_EQ(sent, "7e600d0a");

  EXPECT_EQ(lyn_close(dev), 0);
  EXPECT_EQ(lyn_llread(dev, buf, 1), -1);
  EXPECT_EQ(lyn_llwrite(dev, "x", 1), -1);
  EXPECT_EQ(lyn_close(dev), 0);
}

TEST_F(LynSerialBoard, MissingNode) {
  {
    Capture err(2);
    EXPECT_EQ(lyn_open("/dev/ttyO7", LYN_BUS_SERIAL, 0, nullptr), nullptr);
    EXPECT_EQ(err.text(), "no device found with (/dev/ttyO7)\n");
  }
  // The unprivileged caller is covered on a plain pseudo-terminal (test_lyn_rs232): a child
  // forked from this multi-threaded simulated process could not use the simulator safely.
}

}  // namespace
