// Raw I2C access on the simulated adapter, checked on the bus through the trace: when a slave
// address is selected, the two messages of a transfer, the probe and the scan.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "simtest.h"
#include "tarsa/i2craw.h"

namespace {

using Trace = std::vector<nlohmann::json>;
constexpr const char *kAdapter = "/dev/i2c-2";

// Two register files at 0x1F and 0x50; a slave address 0x60 that another driver holds.
constexpr const char *kBoard = R"(
[[i2c.adapter]]
number = 2
busy = [0x60]

[[i2c.slave]]
addr = 0x1F
model = "regfile"
registers = { "0" = 0x11, "1" = 0x22, "2" = 0x33 }

[[i2c.slave]]
addr = 0x50
model = "regfile"
)";

// "op:addr" for every record, e.g. "slave:31", "read:31", "smbus:80".
std::vector<std::string> ops(const Trace &t) {
  std::vector<std::string> out;
  for (const auto &r : t) {
    std::string op = r.value("op", "");
    if (r.contains("addr")) op += ":" + std::to_string(r["addr"].get<int>());
    out.push_back(op);
  }
  return out;
}

class I2cRaw : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!simtest::active()) GTEST_SKIP() << "runs under tarsa-sim";
    simtest::load(kBoard);
    ASSERT_EQ(i2c_open(&h_, nullptr), 0);
    EXPECT_EQ(h_.address, -1);
  }
  void TearDown() override { i2c_close(&h_); }
  i2c_handle_t h_{-1, -1};
};

TEST_F(I2cRaw, OpenAndCloseTheAdapter) {
  const auto mark = simtest::trace_mark();
  i2c_handle_t h{123, 45};
  EXPECT_EQ(i2c_open(&h, kAdapter), 0);
  EXPECT_GE(h.fd, 0);
  EXPECT_EQ(h.address, -1);
  EXPECT_EQ(i2c_close(&h), 0);
  EXPECT_EQ(h.fd, -1);
  EXPECT_EQ(i2c_close(&h), 0) << "closing a closed handle does nothing";
  const Trace t = simtest::trace_since(mark, kAdapter);
  ASSERT_EQ(ops(t), (std::vector<std::string>{"open", "close"}));
  EXPECT_EQ(t[0]["flags"].get<int>() & O_ACCMODE, O_RDWR);

  i2c_handle_t missing{7, 9};
  EXPECT_EQ(i2c_open(&missing, "/dev/i2c-9"), -1);
  EXPECT_EQ(missing.fd, -1);
  EXPECT_EQ(missing.address, -1);
}

TEST_F(I2cRaw, SlaveAddressIsSelectedOnlyWhenItChanges) {
  const auto mark = simtest::trace_mark();
  uint8_t b[2] = {};
  const uint8_t reg1[] = {0x01};
  EXPECT_EQ(i2c_llwrite(&h_, 0x1F, reg1, 1), 1);
  EXPECT_EQ(i2c_llread(&h_, 0x1F, b, 2), 2);
  EXPECT_EQ(b[0], 0x22);
  EXPECT_EQ(b[1], 0x33);
  EXPECT_EQ(i2c_llread(&h_, 0x50, b, 1), 1);
  EXPECT_EQ(h_.address, 0x50);
  EXPECT_EQ(i2c_exists(&h_, 0x1F), 1);
  EXPECT_EQ(i2c_llread(&h_, 0x50, b, 1), 1) << "the probe moved the selection: select again";
  // A refused selection keeps the previous one, and the read still goes out, to 0x50.
  errno = 0;
  EXPECT_EQ(i2c_llread(&h_, 0x60, b, 1), 1);
  EXPECT_EQ(h_.address, 0x50);
  EXPECT_EQ(i2c_llread(&h_, 0x60, b, -1), -1) << "negative length";
  EXPECT_EQ(errno, EINVAL);

  const Trace t = simtest::trace_since(mark, kAdapter);
  EXPECT_EQ(ops(t), (std::vector<std::string>{"slave:31", "write:31", "read:31", "slave:80",
                                              "read:80", "slave:31", "smbus:31", "slave:80",
                                              "read:80", "slave:96", "read:80"}));
  ASSERT_EQ(t.size(), 11u);
  EXPECT_EQ(t[1]["data"], "01");
  EXPECT_EQ(t[2]["data"], "2233");
  EXPECT_EQ(t[6]["read_write"], 1);
  EXPECT_EQ(t[6]["command"], 0);
  EXPECT_EQ(t[6]["size"], 1);
  EXPECT_EQ(t[9]["ret"], -1);
}

TEST_F(I2cRaw, TransferIsOneRequestOfTwoMessages) {
  const auto mark = simtest::trace_mark();
  const uint8_t reg[] = {0x00};
  uint8_t buf[3] = {};
  EXPECT_EQ(i2c_lltransfer(&h_, 0x1F, reg, 1, buf, 3), 2);
  EXPECT_EQ(buf[0], 0x11);
  EXPECT_EQ(buf[2], 0x33);
  EXPECT_EQ(h_.address, -1) << "the address travels in the messages";
  // Lengths that do not fit the 16-bit field never reach the adapter.
  EXPECT_EQ(i2c_lltransfer(&h_, 0x1F, reg, 1, buf, -1), -1);
  EXPECT_EQ(i2c_lltransfer(&h_, 0x1F, reg, 65536, buf, 1), -1);
  EXPECT_EQ(errno, EINVAL);
  // Nothing answers at 0x33.
  EXPECT_EQ(i2c_lltransfer(&h_, 0x33, reg, 1, buf, 1), -1);

  const Trace t = simtest::trace_since(mark, kAdapter);
  ASSERT_EQ(ops(t), (std::vector<std::string>{"rdwr", "rdwr"}));
  const auto &msgs = t[0]["msgs"];
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0], (nlohmann::json{{"addr", 31}, {"flags", 0}, {"len", 1}, {"data", "00"}}));
  EXPECT_EQ(msgs[1], (nlohmann::json{{"addr", 31}, {"flags", 1}, {"len", 3}, {"data", "112233"}}));
  EXPECT_EQ(t[0]["ret"], 2);
  EXPECT_EQ(t[1]["ret"], -1);
}

int count_calls(i2c_handle_t *, int address, void *context) {
  static_cast<std::vector<int> *>(context)->push_back(address);
  return 0;
}
int stop_at_first(i2c_handle_t *, int address, void *context) {
  static_cast<std::vector<int> *>(context)->push_back(address);
  return -3;
}

TEST_F(I2cRaw, ScanProbesTwoTo127AndStopsOnACallbackError) {
  auto mark = simtest::trace_mark();
  EXPECT_EQ(i2c_scan(&h_, nullptr, nullptr), 2);
  Trace t = simtest::trace_since(mark, kAdapter);
  std::vector<int> probed;
  for (const auto &r : t)
    if (r["op"] == "smbus") probed.push_back(r["addr"].get<int>());
  ASSERT_EQ(probed.size(), 126u);
  EXPECT_EQ(probed.front(), 2);
  EXPECT_EQ(probed.back(), 127);

  std::vector<int> seen;
  EXPECT_EQ(i2c_scan(&h_, count_calls, &seen), 2);
  EXPECT_EQ(seen, (std::vector<int>{0x1F, 0x50}));

  seen.clear();
  mark = simtest::trace_mark();
  EXPECT_EQ(i2c_scan(&h_, stop_at_first, &seen), -3);
  EXPECT_EQ(seen, (std::vector<int>{0x1F}));
  t = simtest::trace_since(mark, kAdapter);
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t.back()["op"], "smbus");
  EXPECT_EQ(t.back()["addr"], 0x1F) << "nothing probed after the callback failed";

  EXPECT_EQ(i2c_exists(&h_, 0x33), 0);
}

}  // namespace
