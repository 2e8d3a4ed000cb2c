// The board's ABI as the library really uses it: request codes and the exact bytes of the records
// that the GPIO and I2C code hand to ioctl(), caught before they reach any device.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tarsa/i2craw.h"
#include "tarsa/vx_gpio.h"

namespace {

// Layouts the kernel expects from a process of this ABI. Written out, not taken from the structs,
// so that a record built with the wrong width or alignment shows up here.
#if defined(__arm__)
// ARMv7-A hard-float: 32-bit pointers and long.
static_assert(sizeof(long) == 4 && sizeof(void *) == 4);
constexpr std::size_t kPtr = 4;
#elif defined(__x86_64__) || defined(__aarch64__)
constexpr std::size_t kPtr = 8;
#else
#error "add this machine's record layouts"
#endif
// struct i2c_msg: u16 addr, u16 flags, u16 len, (pad), u8 *buf
constexpr std::size_t kMsgBuf = 8;
constexpr std::size_t kMsgSize = kMsgBuf + kPtr;
// struct i2c_rdwr_ioctl_data: i2c_msg *msgs, u32 nmsgs, (pad)
constexpr std::size_t kRdwrNmsgs = kPtr;
constexpr std::size_t kRdwrSize = 2 * kPtr;
// struct i2c_smbus_ioctl_data: u8 read_write, u8 command, u32 size, union i2c_smbus_data *data
constexpr std::size_t kSmbusSize = 8 + kPtr;
constexpr std::size_t kSmbusData = 8;

// The Linux headers the library compiles against must agree with the board.
static_assert(sizeof(i2c_msg) == kMsgSize && offsetof(i2c_msg, buf) == kMsgBuf);
static_assert(offsetof(i2c_msg, len) == 4 && offsetof(i2c_msg, flags) == 2);
static_assert(sizeof(i2c_rdwr_ioctl_data) == kRdwrSize);
static_assert(offsetof(i2c_rdwr_ioctl_data, nmsgs) == kRdwrNmsgs);
static_assert(sizeof(i2c_smbus_ioctl_data) == kSmbusSize);
static_assert(offsetof(i2c_smbus_ioctl_data, data) == kSmbusData);
static_assert(I2C_SLAVE == 0x0703 && I2C_RDWR == 0x0707 && I2C_SMBUS == 0x0720 && I2C_M_RD == 1);

// A 64-bit time build links against the time64 entry point under another name.
const char *const kIoctlSymbol = sizeof(std::time_t) > sizeof(long) ? "__ioctl_time64" : "ioctl";

struct Call {
  int fd;
  unsigned long request;
  std::uintptr_t arg;              // the raw third argument
  std::vector<std::uint8_t> rec;   // the record it points to, as the kernel would copy it
  std::vector<std::uint8_t> msgs;  // I2C_RDWR: the message array
};

bool recording = false;
std::vector<Call> calls;

std::uint16_t u16(const std::vector<std::uint8_t> &b, std::size_t off) {
  std::uint16_t v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}
std::int32_t i32(const std::vector<std::uint8_t> &b, std::size_t off) {
  std::int32_t v;
  std::memcpy(&v, b.data() + off, sizeof v);
  return v;
}
std::uintptr_t ptr(const std::vector<std::uint8_t> &b, std::size_t off) {
  std::uintptr_t v = 0;
  std::memcpy(&v, b.data() + off, kPtr);
  return v;
}
std::vector<std::uint8_t> copy(std::uintptr_t addr, std::size_t n) {
  const auto *p = reinterpret_cast<const std::uint8_t *>(addr);
  return {p, p + n};
}

// Plays the device: records the request, fills what a driver would fill, answers success.
int fake_ioctl(int fd, unsigned long request, std::uintptr_t arg) {
  Call c{fd, request, arg, {}, {}};
  switch (request) {
    case I2C_RDWR: {
      c.rec = copy(arg, kRdwrSize);
      const auto n = static_cast<std::size_t>(i32(c.rec, kRdwrNmsgs));
      c.msgs = copy(ptr(c.rec, 0), n * kMsgSize);
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t m = i * kMsgSize;
        if (u16(c.msgs, m + 2) & I2C_M_RD) {
          auto *buf = reinterpret_cast<std::uint8_t *>(ptr(c.msgs, m + kMsgBuf));
          for (std::size_t k = 0; k < u16(c.msgs, m + 4); ++k)
            buf[k] = static_cast<std::uint8_t>(0xA0 + k);
        }
      }
      calls.push_back(std::move(c));
      return static_cast<int>(n);
    }
    case I2C_SMBUS:
      c.rec = copy(arg, kSmbusSize);
      reinterpret_cast<std::uint8_t *>(ptr(c.rec, kSmbusData))[0] = 0x5A;
      break;
    case I2C_SLAVE:
      break;
    default:
      // The GPIO node's records: the size is encoded in the request itself.
      if (_IOC_SIZE(request) != 0) c.rec = copy(arg, _IOC_SIZE(request));
      if (request == 0xC0084784UL) reinterpret_cast<std::int32_t *>(arg)[1] = 1;  // pin reads high
      break;
  }
  calls.push_back(std::move(c));
  return 0;
}

std::vector<Call> record(const auto &action) {
  calls.clear();
  recording = true;
  action();
  recording = false;
  return std::move(calls);
}

}  // namespace

// Every ioctl of the process lands here first: the executable's definition takes precedence over
// libc's for the library too. Outside a recording it passes straight on.
extern "C" __attribute__((visibility("default"))) int ioctl(int fd, unsigned long request,
                                                            ...) __THROW {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (recording) return fake_ioctl(fd, request, reinterpret_cast<std::uintptr_t>(arg));
  using real_t = int (*)(int, unsigned long, ...);
  static const auto real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, kIoctlSymbol));
  return real(fd, request, arg);
}

TEST(BoardAbi, GpioRequestsCarryTheDriversCodesAndRecords) {
  const std::string longLabel(40, 'x');
  auto c = record([&] {
    EXPECT_EQ(gpio_request(70, "GPIO_70"), 0);
    EXPECT_EQ(gpio_request(71, longLabel.c_str()), 0);
    EXPECT_EQ(gpio_free(70), 0);
    EXPECT_EQ(vx_gpio_dir(72, 1), 0);
    EXPECT_EQ(vx_gpio_dir_val(73, 0, 1), 0);
    EXPECT_EQ(vx_gpio_set(74), 0);
    EXPECT_EQ(vx_gpio_clear(74), 0);
    EXPECT_EQ(vx_gpio_get(75), 1);
  });
  ASSERT_EQ(c.size(), 8u);

  // Claim: 36 bytes, the pin as int32 and 32 bytes of NUL-terminated label.
  EXPECT_EQ(c[0].request, 0x40244780UL);
  ASSERT_EQ(c[0].rec.size(), 36u);
  EXPECT_EQ(i32(c[0].rec, 0), 70);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(c[0].rec.data() + 4)), "GPIO_70");
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(c[1].rec.data() + 4)), std::string(31, 'x'));
  EXPECT_EQ(c[1].rec[35], 0);

  // Release and input: no record, the pin travels as the argument itself.
  EXPECT_EQ(c[2].request, 0x4781UL);
  EXPECT_EQ(c[2].arg, 70u);
  EXPECT_EQ(c[3].request, 0x4782UL);
  EXPECT_EQ(c[3].arg, 72u);

  // Output, set, clear, get: 8 bytes, pin then value, both int32.
  const struct {
    unsigned long request;
    std::int32_t pin, value;
  } values[] = {
      {0x40084783UL, 73, 1}, {0x40084785UL, 74, 1}, {0x40084785UL, 74, 0}, {0xC0084784UL, 75, 0}};
  for (std::size_t i = 0; i < std::size(values); ++i) {
    SCOPED_TRACE(i);
    const Call &v = c[4 + i];
    EXPECT_EQ(v.request, values[i].request);
    ASSERT_EQ(v.rec.size(), 8u);
    EXPECT_EQ(i32(v.rec, 0), values[i].pin);
    EXPECT_EQ(i32(v.rec, 4), values[i].value);
  }
}

TEST(BoardAbi, I2cCombinedTransferBuildsTwoMessages) {
  i2c_handle_t h{7, -1};
  const std::uint8_t cmd = 0x28;
  std::uint8_t in[4] = {};
  int rc = 0;
  auto c = record([&] { rc = i2c_lltransfer(&h, 0x1F, &cmd, 1, in, 4); });
  EXPECT_EQ(rc, 2);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].fd, 7);
  EXPECT_EQ(c[0].request, 0x0707UL);
  EXPECT_EQ(i32(c[0].rec, kRdwrNmsgs), 2);
  ASSERT_EQ(c[0].msgs.size(), 2 * kMsgSize);

  const auto &m = c[0].msgs;
  EXPECT_EQ(u16(m, 0), 0x1F);
  EXPECT_EQ(u16(m, 2), 0);
  EXPECT_EQ(u16(m, 4), 1);
  EXPECT_EQ(ptr(m, kMsgBuf), reinterpret_cast<std::uintptr_t>(&cmd));
  EXPECT_EQ(u16(m, kMsgSize + 0), 0x1F);
  EXPECT_EQ(u16(m, kMsgSize + 2), I2C_M_RD);
  EXPECT_EQ(u16(m, kMsgSize + 4), 4);
  EXPECT_EQ(ptr(m, kMsgSize + kMsgBuf), reinterpret_cast<std::uintptr_t>(in));

  // The bytes the "device" wrote through the read message reached the caller's buffer.
  const std::uint8_t expected[4] = {0xA0, 0xA1, 0xA2, 0xA3};
  EXPECT_EQ(0, std::memcmp(in, expected, 4));
  EXPECT_EQ(h.address, -1);

  // The largest length fits the 16-bit field whole.
  std::vector<std::uint8_t> big(0xFFFF);
  c = record([&] { rc = i2c_lltransfer(&h, 0x50, &cmd, 0, big.data(), 0xFFFF); });
  EXPECT_EQ(rc, 2);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(u16(c[0].msgs, 4), 0);
  EXPECT_EQ(u16(c[0].msgs, kMsgSize + 4), 0xFFFF);
  EXPECT_EQ(big[3], 0xA3);
}

TEST(BoardAbi, I2cProbeSelectsThenReceivesAByte) {
  i2c_handle_t h{7, -1};
  int found = 0;
  auto c = record([&] { found = i2c_exists(&h, 0x20); });
  EXPECT_EQ(found, 1);
  EXPECT_EQ(h.address, 0x20);
  ASSERT_EQ(c.size(), 2u);
  // The address travels by value.
  EXPECT_EQ(c[0].request, 0x0703UL);
  EXPECT_EQ(c[0].arg, 0x20u);
  // Receive-byte: read_write 1, command 0, size 1 (I2C_SMBUS_BYTE), a data buffer.
  EXPECT_EQ(c[1].request, 0x0720UL);
  ASSERT_EQ(c[1].rec.size(), kSmbusSize);
  EXPECT_EQ(c[1].rec[0], 1);
  EXPECT_EQ(c[1].rec[1], 0);
  EXPECT_EQ(i32(c[1].rec, 4), 1);
  EXPECT_NE(ptr(c[1].rec, kSmbusData), 0u);
}
