// The simulated board seen from inside a run: I2C adapter, user GPIO, serial node, sysfs PWM,
// missing nodes and injected faults, with the exact results and trace records a program gets.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "simtest.h"
#include "testutil.h"

namespace {

using Trace = std::vector<nlohmann::json>;

constexpr const char *kBoard = R"(
extends = "builtin"

[[i2c.adapter]]
number = 2
busy = [0x60]

[[i2c.slave]]
addr = 0x50
model = "regfile"
dump = """
     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef
00: 10 11 12 13 XX 15 16 17 18 19 1a 1b 1c 1d 1e 1f    ................
f0: f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff    ................
"""

[[i2c.slave]]
addr = 0x1F
model = "regfile"

[[i2c.slave]]
addr = 0x60
model = "regfile"

[gpio]
held = [72]
high = [71]

# The first serial port answers only what a test scripts.
[[serial.device]]
node = "/dev/ttyO0"
model = "script"
)";

class Sim : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!simtest::active()) GTEST_SKIP() << "runs under tarsa-sim";
    simtest::load(kBoard);
  }
};

// ---- I2C --------------------------------------------------------------------------------------

class I2c : public Sim {
 protected:
  void SetUp() override {
    Sim::SetUp();
    if (IsSkipped()) return;
    fd_ = open("/dev/i2c-2", O_RDWR);
    ASSERT_GE(fd_, 0) << std::strerror(errno);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }
  int rdwr(std::vector<i2c_msg> &msgs) {
    i2c_rdwr_ioctl_data d{msgs.data(), static_cast<__u32>(msgs.size())};
    return ioctl(fd_, I2C_RDWR, &d);
  }
  int fd_ = -1;
};

TEST_F(I2c, CombinedTransferReadsTheDumpAndIsTraced) {
  auto mark = simtest::trace_mark();
  std::uint8_t reg = 0x02, out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  std::vector<i2c_msg> msgs = {{0x50, 0, 1, &reg}, {0x50, I2C_M_RD, 4, out}};
  ASSERT_EQ(rdwr(msgs), 2);
  // The cell marked XX keeps the fill value 0.
  EXPECT_EQ(std::vector<int>(out, out + 4), (std::vector<int>{0x12, 0x13, 0x00, 0x15}));
  auto t = simtest::trace_since(mark, "/dev/i2c-2");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0]["op"], "rdwr");
  EXPECT_EQ(t[0]["ret"], 2);
  EXPECT_FALSE(t[0].contains("errno"));
  EXPECT_EQ(t[0]["msgs"], nlohmann::json::parse(R"([{"addr":80,"flags":0,"len":1,"data":"02"},
                                                    {"addr":80,"flags":1,"len":4,"data":"12130015"}])"));
  EXPECT_GT(t[0]["seq"].get<long>(), static_cast<long>(mark));
  EXPECT_TRUE(t[0]["us"].is_number_unsigned());
}

TEST_F(I2c, TraceSurvivesAProgramClosingEveryDescriptor) {
  for (int fd = 3; fd < 1024; ++fd)
    if (fd != fd_) close(fd);
  int mine = open("/dev/null", O_WRONLY);  // may take the trace's old number
  auto mark = simtest::trace_mark();
  std::uint8_t reg = 0;
  std::vector<i2c_msg> msgs = {{0x50, 0, 1, &reg}};
  ASSERT_EQ(rdwr(msgs), 1);
  EXPECT_EQ(simtest::trace_since(mark, "/dev/i2c-2").size(), 1u);
  struct pollfd p {
    fd_, POLLIN | POLLOUT, 0
  };
  EXPECT_EQ(poll(&p, 1, 0), 1);
  EXPECT_EQ(p.revents, POLLIN | POLLOUT);
  close(mine);
}

TEST_F(I2c, MessageLimitsAndEmptyMessages) {
  std::vector<i2c_msg> msgs(42, i2c_msg{0x50, 0, 0, nullptr});
  EXPECT_EQ(rdwr(msgs), 42);
  msgs.push_back(msgs.back());
  errno = 0;
  EXPECT_EQ(rdwr(msgs), -1);
  EXPECT_EQ(errno, EINVAL);
  i2c_rdwr_ioctl_data d{nullptr, 0};
  EXPECT_EQ(ioctl(fd_, I2C_RDWR, &d), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(I2c, AbsentAddressFailsTheWholeTransferAndLeavesBuffersAlone) {
  auto mark = simtest::trace_mark();
  std::uint8_t reg = 0xF0, a[2] = {0xAA, 0xAA}, b[2] = {0xBB, 0xBB};
  std::vector<i2c_msg> msgs = {{0x50, 0, 1, &reg}, {0x50, I2C_M_RD, 2, a}, {0x33, I2C_M_RD, 2, b}};
  errno = 0;
  EXPECT_EQ(rdwr(msgs), -1);
  EXPECT_EQ(errno, ENXIO);
  EXPECT_EQ(a[0], 0xAA);
  EXPECT_EQ(b[0], 0xBB);
  auto t = simtest::trace_since(mark);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0]["ret"], -1);
  EXPECT_EQ(t[0]["errno"], ENXIO);
  EXPECT_EQ(t[0]["msgs"][1]["data"], "");  // nothing was returned to the read
}

TEST_F(I2c, SlaveSelectionChecksAndPlainReadWrite) {
  EXPECT_EQ(ioctl(fd_, I2C_SLAVE, 0x80), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(ioctl(fd_, I2C_SLAVE, 0x60), -1);  // held by a kernel driver
  EXPECT_EQ(errno, EBUSY);
  EXPECT_EQ(ioctl(fd_, I2C_SLAVE_FORCE, 0x60), 0);
  ASSERT_EQ(ioctl(fd_, I2C_SLAVE, 0x1F), 0);
  const std::uint8_t w[3] = {0x10, 0xCA, 0xFE};
  EXPECT_EQ(write(fd_, w, 3), 3);
  const std::uint8_t r0 = 0x10;
  EXPECT_EQ(write(fd_, &r0, 1), 1);
  std::uint8_t got[2] = {};
  EXPECT_EQ(read(fd_, got, 2), 2);
  EXPECT_EQ(got[0], 0xCA);
  EXPECT_EQ(got[1], 0xFE);
  ASSERT_EQ(ioctl(fd_, I2C_SLAVE, 0x34), 0);
  EXPECT_EQ(read(fd_, got, 1), -1);
  EXPECT_EQ(errno, ENXIO);
  unsigned long funcs = 0;
  ASSERT_EQ(ioctl(fd_, I2C_FUNCS, &funcs), 0);
  EXPECT_EQ(funcs, static_cast<unsigned long>(I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL));
  EXPECT_EQ(ioctl(fd_, 0x0799, 0), -1);
  EXPECT_EQ(errno, ENOTTY);
}

TEST_F(I2c, SmbusWordIsLeastSignificantByteFirst) {
  ASSERT_EQ(ioctl(fd_, I2C_SLAVE, 0x50), 0);
  i2c_smbus_data data{};
  data.word = 0xBEEF;
  i2c_smbus_ioctl_data w{I2C_SMBUS_WRITE, 0x20, I2C_SMBUS_WORD_DATA, &data};
  ASSERT_EQ(ioctl(fd_, I2C_SMBUS, &w), 0);
  i2c_smbus_ioctl_data rb{I2C_SMBUS_READ, 0x20, I2C_SMBUS_BYTE_DATA, &data};
  ASSERT_EQ(ioctl(fd_, I2C_SMBUS, &rb), 0);
  EXPECT_EQ(data.byte, 0xEF);
  i2c_smbus_ioctl_data bad{I2C_SMBUS_READ, 0, 99, &data};
  EXPECT_EQ(ioctl(fd_, I2C_SMBUS, &bad), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Sim, InjectedFaults) {
  simtest::load(std::string(kBoard) + R"(
[[fault]]
kind = "nack"
addr = 0x1F
after = 2

[[fault]]
kind = "error"
addr = 0x50
nth = 2
errno = "EREMOTEIO"
)");
  int fd = open("/dev/i2c-2", O_RDWR);
  ASSERT_GE(fd, 0);
  auto xfer = [&](int addr) {
    std::uint8_t reg = 0, v = 0;
    i2c_msg m[2] = {{static_cast<__u16>(addr), 0, 1, &reg},
                    {static_cast<__u16>(addr), I2C_M_RD, 1, &v}};
    i2c_rdwr_ioctl_data d{m, 2};
    errno = 0;
    return ioctl(fd, I2C_RDWR, &d) == 2 ? 0 : errno;
  };
  EXPECT_EQ(xfer(0x1F), 0);
  EXPECT_EQ(xfer(0x1F), 0);
  EXPECT_EQ(xfer(0x1F), ENXIO);  // stops acknowledging after two transfers
  EXPECT_EQ(xfer(0x1F), ENXIO);
  EXPECT_EQ(xfer(0x50), 0);
  EXPECT_EQ(xfer(0x50), EREMOTEIO);  // only the second transfer fails
  EXPECT_EQ(xfer(0x50), 0);
  close(fd);
}

TEST_F(Sim, BadScenarioIsRefusedAndTheBoardStays) {
  auto fn = reinterpret_cast<int (*)(const char *)>(dlsym(RTLD_DEFAULT, "tarsa_sim_load_scenario"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn("[[i2c.adapter]]\nnumber = 2\n[[i2c.slave]]\naddr = 0x50\nmodel = \"nosuch\"\n"),
            -1);
  EXPECT_EQ(fn("[[i2c.slave]\n"), -1);
  int fd = open("/dev/i2c-2", O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ioctl(fd, I2C_SLAVE, 0x50), 0);
  std::uint8_t reg = 0;
  EXPECT_EQ(write(fd, &reg, 1), 1);  // the regfile of the previous board still answers
  close(fd);
}

// ---- GPIO -------------------------------------------------------------------------------------

constexpr unsigned long kRequest = 0x40244780, kFree = 0x4781, kDirIn = 0x4782,
                        kDirOut = 0x40084783, kGet = 0xC0084784, kSet = 0x40084785;
struct LabelReq {
  std::int32_t gpio;
  char label[32];
};
struct ValueReq {
  std::int32_t gpio, value;
};

class Gpio : public Sim {
 protected:
  void SetUp() override {
    Sim::SetUp();
    if (IsSkipped()) return;
    fd_ = open("/dev/user-gpio", O_RDWR);
    ASSERT_GE(fd_, 0) << std::strerror(errno);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }
  // 0 or the errno of the request.
  int request(int pin, const char *label, int fd = -1) {
    LabelReq r{pin, {}};
    std::strncpy(r.label, label, sizeof r.label - 1);
    return ioctl(fd < 0 ? fd_ : fd, kRequest, &r) == 0 ? 0 : errno;
  }
  int by_value(unsigned long req, int pin, int fd = -1) {
    return ioctl(fd < 0 ? fd_ : fd, req, pin) == 0 ? 0 : errno;
  }
  int value_req(unsigned long req, int pin, int *value, int fd = -1) {
    ValueReq r{pin, *value};
    int rc = ioctl(fd < 0 ? fd_ : fd, req, &r) == 0 ? 0 : errno;
    *value = r.value;
    return rc;
  }
  int fd_ = -1;
};

TEST_F(Gpio, ClaimDirectionLevelAndRelease) {
  auto mark = simtest::trace_mark();
  EXPECT_EQ(request(70, "GPIO_70"), 0);
  EXPECT_EQ(request(70, "GPIO_70"), EBUSY);
  EXPECT_EQ(request(66, "GPIO_66"), EINVAL);  // not on this board
  int v = 0;
  EXPECT_EQ(value_req(kGet, 70, &v), 0);  // claimed pins start as inputs, low
  EXPECT_EQ(v, 0);
  v = 1;
  EXPECT_EQ(value_req(kDirOut, 70, &v), 0);
  EXPECT_EQ(value_req(kGet, 70, &v), EPERM);  // outputs are not read back
  v = 0;
  EXPECT_EQ(value_req(kSet, 70, &v), 0);
  EXPECT_EQ(by_value(kDirIn, 70), 0);
  v = 1;
  EXPECT_EQ(value_req(kSet, 70, &v), EPERM);  // inputs are not driven
  EXPECT_EQ(by_value(kFree, 70), 0);
  EXPECT_EQ(by_value(kFree, 70), EINVAL);
  EXPECT_EQ(by_value(kDirIn, 70), EPERM);  // unclaimed
  EXPECT_EQ(ioctl(fd_, 0x4799, 70), -1);
  EXPECT_EQ(errno, ENOTTY);

  auto t = simtest::trace_since(mark, "/dev/user-gpio");
  ASSERT_EQ(t.size(), 13u);
  EXPECT_EQ(t[0]["op"], "request");
  EXPECT_EQ(t[0]["gpio"], 70);
  EXPECT_EQ(t[0]["label"], "GPIO_70");
  EXPECT_EQ(t[1]["errno"], EBUSY);
  EXPECT_EQ(t[4]["op"], "dir_out");
  EXPECT_EQ(t[4]["value"], 1);
  EXPECT_EQ(t[6]["op"], "set");
  EXPECT_EQ(t[6]["value"], 0);
  EXPECT_EQ(t[7]["op"], "dir_in");
  EXPECT_EQ(t[9]["op"], "free");
  EXPECT_EQ(t[12]["op"], "ioctl");
  EXPECT_EQ(t[12]["errno"], ENOTTY);
}

TEST_F(Gpio, InputLevelsAndAnotherHolder) {
  ASSERT_EQ(request(71, "GPIO_71"), 0);
  int v = 0;
  EXPECT_EQ(value_req(kGet, 71, &v), 0);
  EXPECT_EQ(v, 1);
  simtest::gpio_input(71, 0);
  EXPECT_EQ(value_req(kGet, 71, &v), 0);
  EXPECT_EQ(v, 0);
  ASSERT_EQ(request(73, "GPIO_73"), 0);
  v = 1;
  ASSERT_EQ(value_req(kDirOut, 73, &v), 0);
  EXPECT_EQ(simtest::gpio_level(73), 1);
  EXPECT_EQ(simtest::gpio_level(66), -1);
  EXPECT_EQ(request(72, "GPIO_72"), EBUSY);
  EXPECT_EQ(by_value(kFree, 72), 0);  // releasing takes the pin from the other holder
  EXPECT_EQ(request(72, "GPIO_72"), 0);
}

TEST_F(Gpio, ClaimsBelongToTheirOpenFileAndEndWithIt) {
  int other = open("/dev/user-gpio", O_RDWR);
  ASSERT_GE(other, 0);
  ASSERT_EQ(request(75, "GPIO_75", other), 0);
  int v = 0;
  EXPECT_EQ(value_req(kDirOut, 75, &v), EPERM);  // claimed through another open file
  int copy = dup(other);
  close(other);
  EXPECT_EQ(request(75, "GPIO_75"), EBUSY);  // the duplicate still holds the open file
  close(copy);
  EXPECT_EQ(request(75, "GPIO_75"), 0);
}

TEST_F(Gpio, LongLabelIsCut) {
  LabelReq r{76, {}};
  std::memset(r.label, 'x', sizeof r.label);  // no terminator at all
  auto mark = simtest::trace_mark();
  ASSERT_EQ(ioctl(fd_, kRequest, &r), 0);
  auto t = simtest::trace_since(mark, "/dev/user-gpio");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0]["label"], std::string(31, 'x'));
}

// ---- serial -----------------------------------------------------------------------------------

int waiting(int fd) {
  int n = -1;
  return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

TEST_F(Sim, SerialNodeBehavesLikeARawPort) {
  simtest::serial_script("/dev/ttyO0", "~#CalcStop`", "~!CalcStop`");
  auto mark = simtest::trace_mark();
  ASSERT_EQ(access("/dev/ttyO0", R_OK | W_OK), 0);
  int fd = open("/dev/ttyO0", O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0) << std::strerror(errno);
  EXPECT_TRUE(isatty(fd));
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  tio.c_iflag = IGNPAR;
  tio.c_oflag = 0;
  tio.c_cflag = B115200 | CS8 | CLOCAL | CREAD;
  tio.c_lflag = 0;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
  ASSERT_EQ(fcntl(fd, F_SETFL, 0), 0);
  termios back{};
  ASSERT_EQ(tcgetattr(fd, &back), 0);
  EXPECT_EQ(cfgetospeed(&back), B115200);
  EXPECT_EQ(back.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
  char buf[64];
  EXPECT_EQ(read(fd, buf, sizeof buf), 0);  // nothing waiting: returns at once

  const char cmd[] = "~#CalcStop`";
  ASSERT_EQ(write(fd, cmd, 11), 11);
  ASSERT_TRUE(testutil::eventually([&] { return waiting(fd) == 11; }, 3.0)) << waiting(fd);
  ASSERT_EQ(tcflush(fd, TCIFLUSH), 0);
  EXPECT_EQ(waiting(fd), 0);
  ASSERT_EQ(write(fd, cmd, 11), 11);
  ASSERT_TRUE(testutil::eventually([&] { return waiting(fd) == 11; }, 3.0));
  ASSERT_EQ(read(fd, buf, sizeof buf), 11);
  EXPECT_EQ(std::string(buf, 11), "~!CalcStop`");
  simtest::serial_send("/dev/ttyO0", std::string("~^I1|+0.5|\0`", 12));  // bytes of any value
  ASSERT_TRUE(testutil::eventually([&] { return waiting(fd) == 12; }, 3.0));
  ASSERT_EQ(read(fd, buf, sizeof buf), 12);
  EXPECT_EQ(std::string(buf, 12), std::string("~^I1|+0.5|\0`", 12));
  close(fd);

  auto t = simtest::trace_since(mark, "/dev/ttyO0");
  const std::string tx = "7e2343616c6353746f7060", rx = "7e2143616c6353746f7060";
  // The model may see the command in pieces; the reply goes out whole.
  std::string sent;
  int replies = 0;
  for (auto &r : t) {
    if (r["op"] == "tx") sent += r["data"].get<std::string>();
    if (r["op"] == "rx") {
      EXPECT_EQ(r["data"], replies < 2 ? rx : "7e5e49317c2b302e357c0060");
      ++replies;
    }
  }
  EXPECT_EQ(sent, tx + tx);
  EXPECT_EQ(replies, 3);
  EXPECT_EQ(t.front()["op"], "open");
  EXPECT_EQ(t.front()["flags"], O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_EQ(t.back()["op"], "close");
}

TEST_F(Sim, NodePermissionsForAnUnprivilegedCaller) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  const int status = testutil::run_unprivileged([] {
    if (access("/dev/ttyO0", R_OK | W_OK) != -1 || errno != EACCES) return 11;
    if (access("/dev/ttyO0", F_OK) != 0) return 12;
    if (open("/dev/i2c-2", O_RDWR) != -1 || errno != EACCES) return 13;
    if (access("/sys/class/pwm/pwmchip0/npwm", R_OK) != 0) return 14;
    if (access("/sys/class/pwm/pwmchip0/export", W_OK) != -1 || errno != EACCES) return 15;
    return 0;
  });
  ASSERT_GE(status, 0) << "the child did not finish";
  EXPECT_EQ(status, 0);
}

TEST_F(Sim, MissingNodes) {
  simtest::load(std::string(kBoard) + R"(
[[fault]]
kind = "missing"
node = "/dev/ttyACM0"
)");
  auto mark = simtest::trace_mark();
  errno = 0;
  EXPECT_EQ(open("/dev/ttyACM0", O_RDWR | O_NOCTTY), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(access("/dev/ttyACM0", F_OK), -1);
  EXPECT_EQ(errno, ENOENT);
  struct stat st;
  EXPECT_EQ(stat("/dev/ttyACM0", &st), -1);
  EXPECT_EQ(errno, ENOENT);
  // An adapter the board does not have is absent even where the host has one.
  EXPECT_EQ(open("/dev/i2c-0", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  auto t = simtest::trace_since(mark, "/dev/ttyACM0");
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0]["op"], "open");
  EXPECT_EQ(t[0]["ret"], -1);
  EXPECT_EQ(t[0]["errno"], ENOENT);
  ASSERT_EQ(stat("/dev/ttyO0", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_gid, 20u);
  // The run's start, not 1970; it is derived from the monotonic clock, so allow a second's
  // rounding.
  EXPECT_LE(st.st_mtime, time(nullptr) + 1);
  EXPECT_GT(st.st_mtime, time(nullptr) - 600);
  // ls -l asks for extended attributes: a present node has none, an absent one is absent.
  char buf[64];
  EXPECT_EQ(lgetxattr("/dev/i2c-2", "security.selinux", buf, sizeof buf), -1);
  EXPECT_EQ(errno, ENODATA);
  EXPECT_EQ(listxattr("/dev/ttyO0", buf, sizeof buf), 0);
  EXPECT_EQ(getxattr("/dev/ttyACM0", "user.x", buf, sizeof buf), -1);
  EXPECT_EQ(errno, ENOENT);
}

// ---- PWM --------------------------------------------------------------------------------------

// 0 or the errno of writing `text` to the PWM attribute `rel`.
int pwm_write(const std::string &rel, const std::string &text) {
  int fd = open(("/sys/class/pwm/pwmchip0/" + rel).c_str(), O_WRONLY);
  if (fd < 0) return errno;
  ssize_t n = write(fd, text.data(), text.size());
  int e = n == static_cast<ssize_t>(text.size()) ? 0 : errno;
  close(fd);
  return e;
}

std::string pwm_read(const std::string &rel) {
  int fd = open(("/sys/class/pwm/pwmchip0/" + rel).c_str(), O_RDONLY);
  if (fd < 0) return "errno " + std::to_string(errno);
  std::string out;
  char buf[3];  // small reads: the offset must carry over
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

TEST_F(Sim, PwmTreeFollowsTheKernelChecks) {
  struct stat st;
  ASSERT_EQ(stat("/sys/class/pwm/pwmchip0", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(pwm_read("npwm"), "2\n");
  EXPECT_EQ(stat("/sys/class/pwm/pwmchip0/pwm0", &st), -1);
  EXPECT_EQ(pwm_write("pwm0/period", "1000"), ENOENT);  // not exported
  auto mark = simtest::trace_mark();
  EXPECT_EQ(pwm_write("export", "0\n"), 0);
  EXPECT_EQ(pwm_write("export", "0\n"), EBUSY);
  EXPECT_EQ(pwm_write("export", "2\n"), ENODEV);
  EXPECT_EQ(pwm_write("export", "zero"), EINVAL);
  ASSERT_EQ(stat("/sys/class/pwm/pwmchip0/pwm0", &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(pwm_write("pwm0/enable", "1"), EINVAL);  // no period yet
  EXPECT_EQ(pwm_write("pwm0/period", "1000000\n"), 0);
  EXPECT_EQ(pwm_write("pwm0/duty_cycle", "2000000"), EINVAL);
  EXPECT_EQ(pwm_write("pwm0/duty_cycle", "250000"), 0);
  EXPECT_EQ(pwm_write("pwm0/enable", "1"), 0);
  EXPECT_EQ(pwm_write("pwm0/period", "100000"), EINVAL);  // below the duty cycle
  EXPECT_EQ(pwm_write("pwm0/enable", "2"), EINVAL);
  EXPECT_EQ(pwm_read("pwm0/duty_cycle"), "250000\n");
  EXPECT_EQ(pwm_read("pwm0/period"), "1000000\n");
  EXPECT_EQ(pwm_read("pwm0/enable"), "1\n");
  EXPECT_EQ(pwm_write("unexport", "0"), 0);
  EXPECT_EQ(pwm_write("unexport", "0"), ENODEV);
  EXPECT_EQ(pwm_read("pwm0/period"), "errno " + std::to_string(ENOENT));

  auto t = simtest::trace_since(mark, "/sys/class/pwm/pwmchip0/export");
  std::vector<nlohmann::json> writes;
  for (auto &r : t)
    if (r["op"] == "write") writes.push_back(r);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[0]["path"], "/sys/class/pwm/pwmchip0/export");
  EXPECT_EQ(writes[0]["data"], "0\n");
  EXPECT_EQ(writes[0]["ret"], 2);
  EXPECT_EQ(writes[1]["errno"], EBUSY);
}

TEST_F(Sim, StdioStreamsReachEmulatedFiles) {
  ASSERT_EQ(pwm_write("export", "1"), 0);
  FILE *f = fopen("/sys/class/pwm/pwmchip0/pwm1/period", "w");
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "%d\n", 5000);
  EXPECT_EQ(std::fclose(f), 0);
  f = fopen("/sys/class/pwm/pwmchip0/pwm1/period", "r");
  ASSERT_NE(f, nullptr);
  long v = 0;
  EXPECT_EQ(std::fscanf(f, "%ld", &v), 1);
  std::fclose(f);
  EXPECT_EQ(v, 5000);
  EXPECT_EQ(fopen("/sys/class/pwm/pwmchip0/pwm0/period", "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  // A stream over a descriptor reaches the node too.
  int fd = open("/sys/class/pwm/pwmchip0/unexport", O_WRONLY);
  ASSERT_GE(fd, 0);
  f = fdopen(fd, "w");
  ASSERT_NE(f, nullptr);
  std::fputs("1\n", f);
  EXPECT_EQ(std::fclose(f), 0);
  struct stat st;
  EXPECT_EQ(stat("/sys/class/pwm/pwmchip0/pwm1", &st), -1);
}

// ---- threads and fork -------------------------------------------------------------------------

TEST_F(Sim, ThreadsAndForkedChildrenShareTheBoard) {
  auto mark = simtest::trace_mark();
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([k, &failures] {
      int fd = open("/dev/i2c-2", O_RDWR);
      for (int i = 0; i < 100; ++i) {
        std::uint8_t w[2] = {static_cast<std::uint8_t>(0x40 + k), static_cast<std::uint8_t>(i)},
                     r = 0;
        i2c_msg m[3] = {{0x50, 0, 2, w}, {0x50, 0, 1, w}, {0x50, I2C_M_RD, 1, &r}};
        i2c_rdwr_ioctl_data d{m, 3};
        if (ioctl(fd, I2C_RDWR, &d) != 3) ++failures;
      }
      close(fd);
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  auto t = simtest::trace_since(mark);
  ASSERT_EQ(t.size(), 4u * 102u);
  for (std::size_t i = 0; i < t.size(); ++i)
    EXPECT_EQ(t[i]["seq"].get<std::size_t>(), mark + 1 + i);

  // A child writes through a descriptor it inherited and one it opened; the parent sees both.
  int fd = open("/dev/i2c-2", O_RDWR);
  ASSERT_GE(fd, 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::uint8_t a[2] = {0x30, 0x5A};
    i2c_msg m{0x50, 0, 2, a};
    i2c_rdwr_ioctl_data d{&m, 1};
    int ok = ioctl(fd, I2C_RDWR, &d) == 1;
    int fd2 = open("/dev/i2c-2", O_RDWR);
    std::uint8_t b[2] = {0x31, 0xA5};
    m.buf = b;
    ok = ok && ioctl(fd2, I2C_RDWR, &d) == 1;
    _exit(ok ? 0 : 1);
  }
  const int status = testutil::end_status(pid, 10);
  ASSERT_NE(status, -1) << "the child did not end";
  EXPECT_EQ(status, 0);
  std::uint8_t reg = 0x30, got[2] = {};
  i2c_msg m[2] = {{0x50, 0, 1, &reg}, {0x50, I2C_M_RD, 2, got}};
  i2c_rdwr_ioctl_data d{m, 2};
  ASSERT_EQ(ioctl(fd, I2C_RDWR, &d), 2);
  EXPECT_EQ(got[0], 0x5A);
  EXPECT_EQ(got[1], 0xA5);
  close(fd);
}

// A signal handler that talks to the bus while the interrupted thread is inside an emulated
// call (as a program's Ctrl-C handler stopping the wheels does) gets its answer.
std::atomic<int> g_handler_ok{0}, g_handler_bad{0};
int g_handler_fd = -1;

void on_signal(int) {
  int saved = errno;
  std::uint8_t reg = 0x00, v = 0;
  i2c_msg m[2] = {{0x50, 0, 1, &reg}, {0x50, I2C_M_RD, 1, &v}};
  i2c_rdwr_ioctl_data d{m, 2};
  (ioctl(g_handler_fd, I2C_RDWR, &d) == 2 && v == 0x10 ? g_handler_ok : g_handler_bad)++;
  errno = saved;
}

TEST_F(Sim, SignalHandlersReachTheBusDuringEmulatedCalls) {
  g_handler_fd = open("/dev/i2c-2", O_RDWR);
  ASSERT_GE(g_handler_fd, 0);
  struct sigaction sa {
  }, old{};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  pthread_t main_thread = pthread_self();
  std::atomic<bool> done{false};
  std::thread sender([&] {
    for (int i = 0; i < 300 && !done; ++i) {
      pthread_kill(main_thread, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    done = true;
  });
  int fd = open("/dev/i2c-2", O_RDWR);
  int main_bad = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done && std::chrono::steady_clock::now() < end) {
    std::uint8_t reg = 0xF1, v = 0;
    i2c_msg m[2] = {{0x50, 0, 1, &reg}, {0x50, I2C_M_RD, 1, &v}};
    i2c_rdwr_ioctl_data d{m, 2};
    if (ioctl(fd, I2C_RDWR, &d) != 2) ++main_bad;
  }
  done = true;
  sender.join();
  sigaction(SIGUSR1, &old, nullptr);
  close(fd);
  close(g_handler_fd);
  EXPECT_EQ(main_bad, 0);
  EXPECT_EQ(g_handler_bad.load(), 0);
  EXPECT_GT(g_handler_ok.load(), 0);
}

// The program reads back the actions it set, whatever stands in front of them in the simulator;
// a queued signal arriving during emulated calls keeps what it carried; a one-shot handler runs
// once and leaves the default behind.
std::atomic<int> g_queued_ok{0}, g_queued_bad{0}, g_oneshot{0};

void on_queued(int sig, siginfo_t *info, void *) {
  bool ok = sig == SIGUSR2 && info->si_code == SI_QUEUE && info->si_value.sival_int == 42;
  (ok ? g_queued_ok : g_queued_bad)++;
}

void on_oneshot(int) {
  ++g_oneshot;
}

TEST_F(Sim, SignalActionsReadBackAsSetAndKeepTheirSemantics) {
  struct sigaction sa {
  }, got{}, old{};
  sa.sa_sigaction = on_queued;
  sigemptyset(&sa.sa_mask);
  sigaddset(&sa.sa_mask, SIGTERM);
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
  ASSERT_EQ(sigaction(SIGUSR2, nullptr, &got), 0);
  EXPECT_EQ(got.sa_sigaction, on_queued);
  EXPECT_EQ(got.sa_flags & (SA_SIGINFO | SA_RESTART | SA_RESETHAND), SA_SIGINFO | SA_RESTART);
  EXPECT_TRUE(sigismember(&got.sa_mask, SIGTERM));

  pthread_t main_thread = pthread_self();
  std::atomic<bool> done{false};
  std::thread sender([&] {
    sigval v{};
    v.sival_int = 42;
    for (int i = 0; i < 200; ++i) {
      pthread_sigqueue(main_thread, SIGUSR2, v);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    done = true;
  });
  int fd = open("/dev/i2c-2", O_RDWR);
  int bad = 0;
  while (!done) {
    std::uint8_t reg = 0xF1, v = 0;
    i2c_msg m[2] = {{0x50, 0, 1, &reg}, {0x50, I2C_M_RD, 1, &v}};
    i2c_rdwr_ioctl_data d{m, 2};
    if (ioctl(fd, I2C_RDWR, &d) != 2) ++bad;
  }
  sender.join();
  close(fd);
  EXPECT_EQ(bad, 0);
  EXPECT_GT(g_queued_ok.load(), 0);
  EXPECT_EQ(g_queued_bad.load(), 0);

  sa.sa_handler = on_oneshot;
  sa.sa_flags = SA_RESETHAND;
  ASSERT_EQ(sigaction(SIGUSR2, &sa, nullptr), 0);
  raise(SIGUSR2);
  EXPECT_EQ(g_oneshot.load(), 1);
  EXPECT_EQ(signal(SIGUSR2, on_oneshot), SIG_DFL);
  EXPECT_EQ(signal(SIGUSR2, SIG_IGN), on_oneshot);
  sigaction(SIGUSR2, &old, nullptr);
}

}  // namespace
