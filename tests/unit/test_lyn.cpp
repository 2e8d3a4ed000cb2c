// Device network layer: register framing and byte order, bus locking, the device registry, and
// how names and bus numbers are resolved against the configuration.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tarsa/lyn.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "test_vx_capture.h"
#include "testutil.h"

using core_test::Capture;
using Bytes = std::vector<uint8_t>;

namespace {

// A bus whose slots record what the layer hands them and answer from a script.
struct FakeBus {
  lyn_bus_t bus{};
  std::vector<Bytes> writes;  // wbuf of transfers and buf of writes, in order
  std::vector<int> read_lengths;
  Bytes reply;
  int result = 0;  // forced slot result when non-zero
  bool every_call_locked = true;
  int calls = 0;

  FakeBus() {
    pthread_mutex_init(&bus.mutex, nullptr);
    bus.priv = this;
    bus.transfer = transfer;
    bus.write = write;
    bus.read = read;
    bus.close = close;
  }
  ~FakeBus() {
    lyn_exit();  // frees the devices registered on this record
    pthread_mutex_destroy(&bus.mutex);
  }

  static FakeBus &of(lyn_bus_t *b) { return *static_cast<FakeBus *>(b->priv); }

  // The layer must hold the bus mutex: another thread cannot take it now.
  static void note_call(lyn_bus_t *b) {
    int rc = 0;
    std::thread([&] {
      rc = pthread_mutex_trylock(&b->mutex);
      if (rc == 0) pthread_mutex_unlock(&b->mutex);
    }).join();
    of(b).every_call_locked &= rc == EBUSY;
    ++of(b).calls;
  }
  static int transfer(lyn_bus_t *b, lyn_dev_t, const void *wbuf, int wlen, void *rbuf, int rlen) {
    note_call(b);
    FakeBus &f = of(b);
    auto *w = static_cast<const uint8_t *>(wbuf);
    f.writes.emplace_back(w, w + wlen);
    f.read_lengths.push_back(rlen);
    if (f.result) return f.result;
    std::memcpy(rbuf, f.reply.data(),
                static_cast<size_t>(std::min<int>(rlen, static_cast<int>(f.reply.size()))));
    return 2;
  }
  static int write(lyn_bus_t *b, lyn_dev_t, const void *buf, int len) {
    note_call(b);
    FakeBus &f = of(b);
    auto *p = static_cast<const uint8_t *>(buf);
    f.writes.emplace_back(p, p + len);
    return f.result ? f.result : len;
  }
  static int read(lyn_bus_t *b, lyn_dev_t, void *, int len) {
    note_call(b);
    return of(b).result ? of(b).result : len;
  }
  static void close(lyn_bus_t *b, lyn_dev_t) { note_call(b); }
};

TEST(Lyn, RegisterFramesAndByteOrder) {
  FakeBus f;
  lyn_dev_t dev = lyn_device_create(&f.bus, 0, 0x28, nullptr);
  ASSERT_NE(dev, nullptr);
  uint8_t v8 = 0;
  uint16_t v16 = 0;

  f.reply = {0xAB, 0xCD};
  EXPECT_EQ(lyn_read8(dev, 0x30, &v8), 0);
  EXPECT_EQ(v8, 0xAB);
  EXPECT_EQ(lyn_read16(dev, 0x31, &v16), 0);
  EXPECT_EQ(v16, 0xCDAB) << "least significant byte first by default";
  EXPECT_EQ(lyn_write8(dev, 0x40, 0x0F), 0);
  EXPECT_EQ(lyn_write16(dev, 0x3E, 0x1234), 0);

  EXPECT_EQ(lyn_set_order(dev, LYN_ORDER_MSB_FIRST), 0);
  EXPECT_EQ(lyn_read16(dev, 0x31, &v16), 0);
  EXPECT_EQ(v16, 0xABCD);
  EXPECT_EQ(lyn_write16(dev, 0x3E, 0x1234), 0);
  EXPECT_EQ(lyn_write16(dev, 0x36, 0x00FF), 0) << "the order stays set";
  EXPECT_EQ(lyn_set_order(dev, 0), 0);
  EXPECT_EQ(lyn_write16(dev, 0x3E, 0x1234), 0);

  const std::vector<Bytes> frames = {{0x30},
                                     {0x31},
                                     {0x40, 0x0F},
                                     {0x3E, 0x34, 0x12},
                                     {0x31},
                                     {0x3E, 0x12, 0x34},
                                     {0x36, 0x00, 0xFF},
                                     {0x3E, 0x34, 0x12}};
  EXPECT_EQ(f.writes, frames);
  EXPECT_EQ(f.read_lengths, (std::vector<int>{1, 2, 2}));

  // Raw operations pass through unchanged.
  const uint8_t cmd[] = {0x28};
  uint8_t buf[4];
  f.writes.clear();
  EXPECT_EQ(lyn_lltransfer(dev, cmd, 1, buf, 4), 2);
  EXPECT_EQ(lyn_llwrite(dev, cmd, 1), 1);
  EXPECT_EQ(lyn_llread(dev, buf, 3), 3);
  EXPECT_EQ(f.writes, (std::vector<Bytes>{{0x28}, {0x28}}));
  EXPECT_EQ(lyn_close(dev), 0);
  EXPECT_TRUE(f.every_call_locked);
  EXPECT_EQ(f.calls, 12);
}

TEST(Lyn, FailuresLeaveOutputsAlone) {
  FakeBus f;
  lyn_dev_t dev = lyn_device_create(&f.bus, 0, 0x1F, nullptr);
  uint8_t v8 = 0x5A;
  uint16_t v16 = 0x5A5A;

  f.result = -1;
  EXPECT_EQ(lyn_read8(dev, 0, &v8), -1);
  EXPECT_EQ(lyn_read16(dev, 0, &v16), -1);
  EXPECT_EQ(v8, 0x5A);
  EXPECT_EQ(v16, 0x5A5A);
  EXPECT_EQ(lyn_write8(dev, 0, 1), -1);
  f.result = 1;  // a short write is a failure, not a success
  errno = 0;
  EXPECT_EQ(lyn_write16(dev, 0, 1), -1);
  EXPECT_EQ(errno, EIO);

  // Register numbers that do not fit the frame's byte never reach the bus.
  const int calls = f.calls;
  EXPECT_EQ(lyn_read8(dev, 256, &v8), -1);
  EXPECT_EQ(lyn_write16(dev, -1, 1), -1);
  EXPECT_EQ(f.calls, calls);

  // Null handles.
  EXPECT_LT(lyn_read8(nullptr, 0, &v8), 0);
  EXPECT_LT(lyn_write16(nullptr, 0, 1), 0);
  EXPECT_LT(lyn_lltransfer(nullptr, &v8, 1, &v8, 1), 0);
  EXPECT_LT(lyn_close(nullptr), 0);
  EXPECT_LT(lyn_set_order(nullptr, 8), 0);

  // Unknown order flags are reported and change nothing.
  vx_set_debug_level(0);
  Capture err(2);
  EXPECT_EQ(lyn_set_order(dev, 3), -12);
  EXPECT_EQ(err.text(), "invalid order flags setting\n");
  f.result = 0;
  f.writes.clear();
  EXPECT_EQ(lyn_write16(dev, 1, 0x0102), 0);
  EXPECT_EQ(f.writes, (std::vector<Bytes>{{0x01, 0x02, 0x01}}));

  // A bus without a transfer slot (the serial bus) cannot frame register reads.
  f.bus.transfer = nullptr;
  errno = 0;
  EXPECT_EQ(lyn_read8(dev, 0, &v8), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
}

TEST(Lyn, DeviceRegistry) {
  FakeBus f, other;
  lyn_dev_t scanned = lyn_device_create(&f.bus, 0, 0x28, nullptr);
  lyn_dev_t named = lyn_device_create(&f.bus, 0, 0x30, "/dev/ttyO0");
  ASSERT_NE(scanned, nullptr);
  ASSERT_NE(named, nullptr);
  // A nameless device stands for any name at its address; a named one only for its own.
  EXPECT_EQ(lyn_bus_find_device(&f.bus, 0, 0x28, "Gripper:Arm"), scanned);
  EXPECT_EQ(lyn_bus_find_device(&f.bus, 0, 0x28, nullptr), scanned);
  EXPECT_EQ(lyn_bus_find_device(&f.bus, 0, 0x30, "/dev/ttyO1"), nullptr);
  EXPECT_EQ(lyn_bus_find_device(&f.bus, 0, 0x30, nullptr), named);
  EXPECT_EQ(lyn_bus_find_device(&f.bus, 0, 0x31, nullptr), nullptr);
  EXPECT_EQ(lyn_bus_find_device(&other.bus, 0, 0x28, nullptr), nullptr);
  EXPECT_EQ(lyn_bus_find_device_by_name(&f.bus, "/dev/ttyO0"), named);
  EXPECT_EQ(lyn_bus_find_device_by_name(&other.bus, "/dev/ttyO0"), nullptr);
  EXPECT_EQ(lyn_bus_find_device_by_name(&f.bus, nullptr), nullptr);
  EXPECT_EQ(lyn_device_create(nullptr, 0, 1, nullptr), nullptr);

  EXPECT_EQ(lyn_device_address(named), 0x30);
  int cookie = 0;
  lyn_device_set_priv(named, &cookie);
  EXPECT_EQ(lyn_device_priv(named), &cookie);
  EXPECT_EQ(lyn_device_priv(scanned), nullptr);
}

// The layer started on a stand-in adapter (no I2C device answers there) with a configuration of
// its own; the serial bus is a pseudo-terminal.
class LynNames : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = testutil::open_pty(tty_);
    ASSERT_GE(master_, 0);
    config_ = ::testing::TempDir() + "lyn-names-" + std::to_string(getpid()) + ".toml";
    std::ofstream(config_) << "[Tarsa4.devices]\ndsPic = { bus = \"i2c\", address = 0x1F }\n"
                              "[Gps.devices]\nReceiver = { bus = \"serial\", path = \""
                           << tty_
                           << "\" }\n"
                              "[Empty]\n";
    setenv("TARSA_CONFIG", config_.c_str(), 1);
    ASSERT_EQ(vx_config_init(0, nullptr), 0);
    char *argv[] = {const_cast<char *>("test"), const_cast<char *>("--i2c-device"),
                    const_cast<char *>("/dev/null"), nullptr};
    ASSERT_EQ(lyn_init(3, argv), 0);
    vx_set_debug_level(0);
  }
  void TearDown() override {
    lyn_exit();
    vx_config_exit();
    unsetenv("TARSA_CONFIG");
    unlink(config_.c_str());
    if (master_ >= 0) ::close(master_);
  }
  int master_ = -1;
  std::string tty_, config_;
};

TEST_F(LynNames, UnknownNamesAndContradictingBuses) {
  const struct {
    const char *name;
    int bus;
    const char *message;
  } cases[] = {
      {"Nothing:dsPic", -1, "unknown device class 'Nothing'\n"},
      {"Tarsa4:nothing", 0, "symbol 'Tarsa4:nothing' not defined\n"},
      {"Empty:x", -1, "symbol 'Empty:x' not defined\n"},
      {"dsPic", 0, "invalid device name 'dsPic'\n"},
      {"dsPic", -1, "invalid device name 'dsPic'\n"},
      {"", 1, "invalid device name ''\n"},
      {"Tarsa4:dsPic", 1, "no bus found for device 'Tarsa4:dsPic'\n"},
      {"Gps:Receiver", 0, "no bus found for device 'Gps:Receiver'\n"},
      {"Tarsa4:dsPic", 2, "no bus found for device 'Tarsa4:dsPic'\n"},
      // Known and on its bus, but nothing answers on the stand-in adapter.
      {"Tarsa4:dsPic", 0, "no device found with (0,31)\n"},
  };
  for (const auto &c : cases) {
    Capture err(2);
    EXPECT_EQ(lyn_open(c.name, c.bus, 0, nullptr), nullptr) << c.name;
    EXPECT_EQ(err.text(), c.message) << c.name << " on bus " << c.bus;
  }
}

TEST_F(LynNames, SerialDevicesByNameAndByPath) {
  lyn_dev_t by_name = lyn_open("gps:RECEIVER", -1, 0, nullptr);
  ASSERT_NE(by_name, nullptr);
  EXPECT_EQ(lyn_open(tty_.c_str(), LYN_BUS_SERIAL, 0, nullptr), by_name) << "one port per node";
  EXPECT_EQ(lyn_open("Gps:Receiver", LYN_BUS_SERIAL, 0, nullptr), by_name);

  EXPECT_EQ(lyn_llwrite(by_name, "ping", 4), 4);
  char buf[8] = {};
  ssize_t got = 0;
  for (int tries = 0; tries < 100 && got < 4; ++tries) {
    ssize_t n = ::read(master_, buf + got, sizeof buf - static_cast<size_t>(got));
    if (n > 0) got += n;
  }
  EXPECT_EQ(std::string(buf, static_cast<size_t>(got)), "ping");

  // A node path may hold colons.
  const std::string link = ::testing::TempDir() + "lyn:tty-" + std::to_string(getpid());
  ASSERT_EQ(symlink(tty_.c_str(), link.c_str()), 0);
  lyn_dev_t by_link = lyn_open(link.c_str(), LYN_BUS_SERIAL, 0, nullptr);
  unlink(link.c_str());
  ASSERT_NE(by_link, nullptr);
  EXPECT_NE(by_link, by_name) << "devices are told apart by the name they were opened with";
  EXPECT_EQ(lyn_close(by_link), 0);

  EXPECT_EQ(lyn_close(by_name), 0);
  EXPECT_EQ(lyn_llwrite(by_name, "x", 1), -1) << "port released";
  EXPECT_EQ(lyn_open(tty_.c_str(), LYN_BUS_SERIAL, 0, nullptr), by_name) << "opened again";
  EXPECT_EQ(lyn_llwrite(by_name, "x", 1), 1);
}

TEST(LynStopped, OpenBeforeStartIsReported) {
  vx_set_debug_level(0);
  Capture err(2);
  EXPECT_EQ(lyn_open("Tarsa4:dsPic", 0, 0, nullptr), nullptr);
  EXPECT_EQ(err.text(), "module 'lyn' not initialized\n");
  EXPECT_EQ(lyn_exit(), 0);
}

}  // namespace
