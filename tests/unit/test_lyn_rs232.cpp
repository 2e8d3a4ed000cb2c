// Serial bus binding on a pseudo-terminal: port settings, bytes both ways, reads that do not wait,
// a shared second open, closing, and the two refusals (no such node / no right to it / not a port).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "tarsa/lyn_rs232.h"
#include "tarsa/vx_error.h"
#include "test_vx_capture.h"
#include "testutil.h"

using core_test::Capture;

namespace {

class LynRs232 : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = testutil::open_pty(tty_);
    ASSERT_GE(master_, 0);
    pthread_mutex_init(&bus_.mutex, nullptr);
    ASSERT_EQ(lyn_rs232_init(&bus_), 0);
    vx_set_debug_level(0);
  }
  void TearDown() override {
    lyn_exit();  // frees the devices registered on bus_
    pthread_mutex_destroy(&bus_.mutex);
    ::close(master_);
  }

  // Reads from `fd` with `rd` until `n` bytes came, the writer went away, or two seconds passed.
  static std::string read_some(int fd, size_t n, int (*rd)(int, char *, int)) {
    return testutil::read_for(fd, n, 2, [rd](int f, char *buf, std::size_t size) {
      return static_cast<ssize_t>(rd(f, buf, static_cast<int>(std::min<std::size_t>(size, 64))));
    });
  }

  lyn_bus_t bus_{};
  int master_ = -1;
  std::string tty_;
};

TEST_F(LynRs232, SlotsOfTheBinding) {
  EXPECT_EQ(bus_.exit, nullptr);
  EXPECT_EQ(bus_.open, lyn_rs232_open);
  EXPECT_EQ(bus_.close, lyn_rs232_close);
  EXPECT_EQ(bus_.transfer, nullptr);
  EXPECT_EQ(bus_.read, lyn_rs232_read);
  EXPECT_EQ(bus_.write, lyn_rs232_write);
}

TEST_F(LynRs232, RawPortBothWaysAndSharedOpen) {
  lyn_dev_t dev = lyn_rs232_open(&bus_, 0, 0, tty_.c_str());
  ASSERT_NE(dev, nullptr);
  auto *port = static_cast<lyn_rs232_port_t *>(lyn_device_priv(dev));
  ASSERT_NE(port, nullptr);

  termios tio{};
  ASSERT_EQ(tcgetattr(port->fd, &tio), 0);
  EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(IGNPAR));
  EXPECT_EQ(tio.c_oflag, 0u);
  EXPECT_EQ(tio.c_lflag, 0u);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cc[VMIN], 0);
  EXPECT_EQ(tio.c_cc[VTIME], 0);

  // Nothing waiting: 0 at once.
  char buf[16];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(lyn_rs232_read(&bus_, dev, buf, sizeof buf), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

  // Bytes travel unchanged both ways, control characters included (raw mode).
  const std::string out("~#\r\n\x03\x7f`", 7);
  EXPECT_EQ(lyn_rs232_write(&bus_, dev, out.data(), static_cast<int>(out.size())), 7);
  EXPECT_EQ(read_some(master_, 7,
                      [](int fd, char *b, int n) { return static_cast<int>(::read(fd, b, n)); }),
            out);
  const std::string in("\r\x11\x13\x04z", 5);
  ASSERT_EQ(::write(master_, in.data(), in.size()), 5);
  static lyn_bus_t *bus = &bus_;
  static lyn_dev_t d = dev;
  EXPECT_EQ(
      read_some(port->fd, 5, [](int, char *b, int n) { return lyn_rs232_read(bus, d, b, n); }), in);

  // A second open shares the open port.
  const int fd = port->fd;
  EXPECT_EQ(lyn_rs232_open(&bus_, 0, 0, tty_.c_str()), dev);
  EXPECT_EQ(lyn_device_priv(dev), port);
  EXPECT_EQ(port->fd, fd);

  // After close: -1, -1, and a second close does nothing.
  lyn_rs232_close(&bus_, dev);
  EXPECT_EQ(lyn_device_priv(dev), nullptr);
  EXPECT_EQ(lyn_rs232_read(&bus_, dev, buf, 1), -1);
  EXPECT_EQ(lyn_rs232_write(&bus_, dev, "x", 1), -1);
  lyn_rs232_close(&bus_, dev);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor closed";

  // The registered device opens again.
  EXPECT_EQ(lyn_rs232_open(&bus_, 0, 0, tty_.c_str()), dev);
  EXPECT_EQ(lyn_rs232_write(&bus_, dev, "y", 1), 1);
  lyn_rs232_close(&bus_, dev);
}

TEST_F(LynRs232, MissingNodeAndNodeThatIsNoPort) {
  {
    Capture err(2);
    EXPECT_EQ(lyn_rs232_open(&bus_, 0, 0, "/dev/no-such-tty"), nullptr);
    EXPECT_EQ(err.text(), "no device found with (/dev/no-such-tty)\n");
  }
  EXPECT_EQ(lyn_bus_find_device_by_name(&bus_, "/dev/no-such-tty"), nullptr);

  // Readable and writable, but open(O_RDWR) fails: error 10, and the device stays registered.
  char dir[] = "/tmp/lyn-rs232-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  for (int round = 0; round < 2; ++round) {
    Capture err(2);
    EXPECT_EQ(lyn_rs232_open(&bus_, 0, 0, dir), nullptr);
    EXPECT_EQ(err.text(), "unable to open file '" + std::string(dir) + "'\n");
  }
  EXPECT_NE(lyn_bus_find_device_by_name(&bus_, dir), nullptr);
  rmdir(dir);
}

TEST_F(LynRs232, UnprivilegedCallerFailsTheAccessTest) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  // A node only its owner may open read-write.
  ASSERT_EQ(chown(tty_.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(tty_.c_str(), 0600), 0);
  std::string err;
  const int status = testutil::run_unprivileged(
      [&] { return lyn_rs232_open(&bus_, 0, 0, tty_.c_str()) == nullptr ? 0 : 1; }, &err, 5.0);
  ASSERT_GE(status, 0) << "the child did not finish within 5 s";
  EXPECT_EQ(status, 0);
  EXPECT_EQ(err, "no device found with (" + tty_ + ")\n");
}

}  // namespace
