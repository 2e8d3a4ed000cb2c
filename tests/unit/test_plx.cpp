// IO board driver against the simulated boards: each operation's registers and bytes in both
// byte orders, what the board makes of them, failed and refused transfers, the analog inputs.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "simdevice.h"
#include "tarsa/lyn.h"
#include "tarsa/plx.h"

namespace {

// Register transfers to `addr` since `mark`, reads with their bytes: "w21:0008", "r40/2=0c58".
std::vector<std::string> transfers(std::size_t mark, int addr) {
  return simtest::i2c_frames(mark, {.addr = addr, .data = true});
}

class Plx : public simtest::DeviceTest {
 protected:
  Plx() : DeviceTest(simtest::start_library, {"Pellix:Board", "PellixLE:Board"}) {}
  lyn_dev_t &msb = devices[0], &lsb = devices[1];
};

TEST_F(Plx, OperationsOnTheBusInEitherByteOrder) {
  struct Board {
    lyn_dev_t dev;
    int addr;
    std::vector<std::string> bytes;
  };
  for (const Board &b :
       {Board{msb,
              0x20,
              {"r00/1=23", "w13:01", "r13/1=01", "w21:0008", "w22:0200", "w23:8000", "r20/2=0008",
               "w1f:01", "r20/2=8008", "w31:20", "w31:01", "w32:20", "r30/1=01"}},
        Board{lsb,
              0x22,
              {"r00/1=23", "w13:01", "r13/1=01", "w21:0800", "w22:0002", "w23:0080", "r20/2=0800",
               "w1f:01", "r20/2=0880", "w31:20", "w31:01", "w32:20", "r30/1=01"}}}) {
    const auto mark = simtest::trace_mark();
    int version = 0, config = -1, level = -1, power = -1;
    uint16_t levels = 0;
    EXPECT_EQ(plx_GetFWVersion(b.dev, &version), 0);
    EXPECT_EQ(version, 0x23);
    EXPECT_EQ(plx_ConfigIO(b.dev, 3, PLX_IO_OUTPUT), 0);
    EXPECT_EQ(plx_GetConfigIO(b.dev, 3, &config), 0);
    EXPECT_EQ(config, PLX_IO_OUTPUT);
    EXPECT_EQ(plx_SetIO(b.dev, 3), 0);
    EXPECT_EQ(plx_ClearIO(b.dev, 9), 0);
    // IO 15 is still an input: it reads its pin, and keeps the toggled level for later.
    EXPECT_EQ(plx_ChangeIO(b.dev, 15), 0);
    EXPECT_EQ(plx_ReadIO(b.dev, &levels), 0);
    EXPECT_EQ(levels, 0x0008);
    EXPECT_EQ(plx_ConfigIO(b.dev, 15, PLX_IO_OUTPUT), 0);
    EXPECT_EQ(plx_GetIO(b.dev, 15, &level), 0);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(plx_SetPW(b.dev, 5), 0);
    EXPECT_EQ(plx_SetPW(b.dev, 0), 0);
    EXPECT_EQ(plx_ClearPW(b.dev, 5), 0);
    EXPECT_EQ(plx_GetPW(b.dev, &power), 0);
    EXPECT_EQ(power, 0x01);
    EXPECT_EQ(transfers(mark, b.addr), b.bytes) << b.addr;
  }
}

TEST_F(Plx, AnalogValueAndTheTimeItWasTaken) {
  start(
      board_with("[world]\nambient = 1234\n"
                 "[[i2c.slave]]\naddr = 0x20\nmodel = \"pellix\"\nbattery_mv = 6600\nwave_mid = "
                 "100\nwave_amplitude = 0\n"));
  const auto mark = simtest::trace_mark();
  uint16_t value[3] = {};
  uint32_t time[3] = {};
  for (int ch = 0; ch < 3; ++ch) ASSERT_EQ(plx_ReadAnalog(msb, ch, &value[ch], &time[ch]), 0);
  EXPECT_EQ(value[0], 2730);  // 6600 mV through the 1:3 divider
  EXPECT_EQ(value[1], 1234);  // the world's ambient light
  EXPECT_EQ(value[2], 100);
  const auto rec = simtest::trace_since(mark, "/dev/i2c-2");
  ASSERT_EQ(rec.size(), 9u);
  const auto t = transfers(mark, 0x20);
  EXPECT_EQ(t[0], "r40/2=0aaa");
  EXPECT_EQ(t[3].substr(0, 6), "r41/2=");
  EXPECT_EQ(t[7].substr(0, 6), "r4e/2=");
  EXPECT_EQ(t[8].substr(0, 6), "r4f/2=");
  // Milliseconds of the board clock, taken at the conversion: after the transfer before it was
  // recorded, and before its own record. Both halves put together.
  for (int ch = 0; ch < 3; ++ch) {
    const uint64_t value_read = rec[3 * ch].at("us");
    EXPECT_LE(time[ch], value_read / 1000) << ch;
    if (ch > 0) {
      EXPECT_GE(time[ch], rec[3 * ch - 1].at("us").get<uint64_t>() / 1000) << ch;
    }
  }
}

TEST_F(Plx, FailedTransferIsTheResultAndOutputsStayAsTheyWere) {
  // The open probes the address: the faults hit every transfer after it.
  start(failing(0x20, 2, 100));
  int v = 7;
  uint16_t value = 7, levels = 7;
  uint32_t time = 7;
  EXPECT_EQ(plx_GetFWVersion(msb, &v), -EIO);
  EXPECT_EQ(plx_GetConfigIO(msb, 0, &v), -EIO);
  EXPECT_EQ(plx_GetIO(msb, 0, &v), -EIO);
  EXPECT_EQ(plx_GetPW(msb, &v), -EIO);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(plx_ReadIO(msb, &levels), -EIO);
  EXPECT_EQ(plx_ReadAnalog(msb, 4, &value, &time), -EIO);
  EXPECT_EQ(levels + value + time, 21u);
  for (auto op : {plx_SetIO, plx_ClearIO, plx_ChangeIO, plx_SetPW, plx_ClearPW})
    EXPECT_EQ(op(msb, 1), -EIO);
  EXPECT_EQ(plx_ConfigIO(msb, 1, PLX_IO_OUTPUT), -EIO);
}

TEST_F(Plx, OutOfRangeArgumentsSendNothing) {
  const auto mark = simtest::trace_mark();
  uint16_t value = 0;
  uint32_t time = 0;
  for (int rc : {plx_SetIO(msb, -1), plx_ChangeIO(msb, PLX_IO_COUNT), plx_ConfigIO(msb, 0, 2),
                 plx_ReadAnalog(msb, PLX_ANALOG_COUNT, &value, &time),
                 plx_ReadAnalog(msb, 0, nullptr, &time), plx_SetPW(msb, PLX_PW_COUNT),
                 plx_GetFWVersion(nullptr, nullptr)})
    EXPECT_EQ(rc, -EINVAL);
  EXPECT_TRUE(transfers(mark, 0x20).empty());
}

TEST_F(Plx, BoardRefusesWhatItsFirmwareWould) {
  auto refused = [&](std::vector<uint8_t> w, int rlen) {
    uint8_t r[4] = {};
    errno = 0;
    const int rc = rlen ? lyn_lltransfer(msb, w.data(), int(w.size()), r, rlen)
                        : lyn_llwrite(msb, w.data(), int(w.size()));
    return rc < 0 && errno == ENXIO;
  };
  EXPECT_TRUE(refused({0x05}, 1));              // no such register
  EXPECT_TRUE(refused({0x00}, 2));              // 8-bit register read as 16
  EXPECT_TRUE(refused({0x40}, 1));              // 16-bit register read as 8
  EXPECT_TRUE(refused({0x21}, 2));              // write-only register read
  EXPECT_TRUE(refused({0x20, 0x00, 0x01}, 0));  // read-only register written
  EXPECT_TRUE(refused({0x21, 0x01}, 0));        // 16-bit register given one byte
  EXPECT_TRUE(refused({0x10, 0x01, 0x01}, 0));  // 8-bit register given two
  EXPECT_TRUE(refused({0x10, 0x02}, 0));        // no configuration 2
  EXPECT_TRUE(refused({0x31, 0x40}, 0));        // no power output 6
  int config = -1, power = -1;
  ASSERT_EQ(plx_GetConfigIO(msb, 0, &config), 0);
  ASSERT_EQ(plx_GetPW(msb, &power), 0);
  EXPECT_EQ(config, 0);
  EXPECT_EQ(power, 0);
  // A read with no register selected returns the version: what a bus probe gets.
  uint8_t b = 0;
  EXPECT_EQ(lyn_llread(msb, &b, 1), 1);
  EXPECT_EQ(b, 0x23);
}

}  // namespace
