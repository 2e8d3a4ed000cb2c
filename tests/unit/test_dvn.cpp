// Motor board driver against the simulated motors: the frames of each operation on the bus in
// both byte orders, argument checks, failed transfers, what the board refuses, and a motor
// following its speed command.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "simdevice.h"
#include "tarsa/dvn.h"
#include "tarsa/lyn.h"
#include "testutil.h"

namespace {

using simtest::i2c_frames;

class Dvn : public simtest::DeviceTest {
 protected:
  Dvn() : DeviceTest(simtest::start_library, {"Dravon:PriMotor1", "DravonLE:PriMotor1"}) {}
  lyn_dev_t &msb = devices[0], &lsb = devices[1];
};

TEST_F(Dvn, EachOperationSendsItsFramesInTheDevicesByteOrder) {
  for (lyn_dev_t dev : {msb, lsb}) {
    const bool le = dev == lsb;
    auto mark = simtest::trace_mark();
    int version = 0, speed = 0;
    unsigned char status = 0xEE, error = 0xEE;
    EXPECT_EQ(dvn_GetFWVersion(dev, &version), 0);
    EXPECT_EQ(version, 0x12);
    EXPECT_EQ(dvn_SetOptions(dev, 0, 0x22), 0);
    EXPECT_EQ(dvn_SetSpeed(dev, -2), 0);
    EXPECT_EQ(dvn_GetSpeed(dev, &speed), 0);
    EXPECT_EQ(speed, -2);
    EXPECT_NEAR(dvn_GetMeasure(dev, DVN_SUPPLY), 12000, 5);  // less the drop of the current
    EXPECT_EQ(dvn_GetMeasure(dev, DVN_POSITION), 0);
    EXPECT_EQ(dvn_GetStatus(dev, &status, &error), 0);
    EXPECT_EQ(status, DVN_ST_DRIVEN | DVN_ST_AT_SPEED);  // within 10 counts/s of -2
    EXPECT_EQ(error, 0);
    EXPECT_EQ(dvn_ClearErrors(dev, 0x04), 0);
    EXPECT_EQ(i2c_frames(mark),
              (std::vector<std::string>{"r00/1", "w10:0022", le ? "w20:feff" : "w20:fffe", "r20/2",
                                        "r47/2", "r48/2", "r41/2", "r42/2", "r01/2", "w02:04"}))
        << (le ? "LE board" : "board");
  }
}

TEST_F(Dvn, RefusesBadArgumentsWithoutATransfer) {
  auto mark = simtest::trace_mark();
  errno = 0;
  EXPECT_EQ(dvn_GetMeasure(msb, 2), DVN_MEASURE_FAILED);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(dvn_SetSpeed(msb, 32768), -ERANGE);
  EXPECT_EQ(dvn_SetSpeed(msb, -32769), -ERANGE);
  EXPECT_EQ(dvn_SetOptions(msb, 256, 0), -EINVAL);
  EXPECT_EQ(dvn_SetOptions(msb, 0, -1), -EINVAL);
  EXPECT_EQ(dvn_GetStatus(nullptr, nullptr, nullptr), -EINVAL);
  EXPECT_TRUE(i2c_frames(mark).empty());
}

TEST_F(Dvn, AFailedTransferIsReportedAndLeavesTheOutputs) {
  // The open probes the address; every transfer after it fails.
  start(failing(0x58, 2, 100));
  int version = -5, speed = -5;
  unsigned char status = 0xAB, error = 0xCD;
  EXPECT_EQ(dvn_GetFWVersion(msb, &version), -EIO);
  EXPECT_EQ(dvn_SetOptions(msb, 0, 0x22), -EIO);
  EXPECT_EQ(dvn_SetSpeed(msb, 100), -EIO);
  EXPECT_EQ(dvn_GetSpeed(msb, &speed), -EIO);
  EXPECT_EQ(dvn_GetStatus(msb, &status, &error), -EIO);
  EXPECT_EQ(dvn_ClearErrors(msb, 1), -EIO);
  errno = 0;
  EXPECT_EQ(dvn_GetMeasure(msb, DVN_SPEED), DVN_MEASURE_FAILED);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(version, -5);
  EXPECT_EQ(speed, -5);
  EXPECT_EQ(status, 0xAB);
  EXPECT_EQ(error, 0xCD);
  // A measure whose low word fails is a failure too, not half a value.
  start(failing(0x58, 3));
  errno = 0;
  EXPECT_EQ(dvn_GetMeasure(msb, DVN_SUPPLY), DVN_MEASURE_FAILED);
  EXPECT_EQ(errno, EIO);
}

TEST_F(Dvn, TheBoardRefusesWhatItDoesNotKnow) {
  auto mark = simtest::trace_mark();
  EXPECT_EQ(dvn_SetOptions(msb, 0x04, 0), -ENXIO);  // reserved option bits
  EXPECT_EQ(dvn_SetOptions(msb, 0, 0x01), -ENXIO);
  const std::uint8_t unknown = 0x30, command = 0x20, version = 0x00;
  std::uint8_t buf[4] = {};
  EXPECT_LT(lyn_lltransfer(msb, &unknown, 1, buf, 1), 0);  // unknown register
  EXPECT_LT(lyn_lltransfer(msb, &command, 1, buf, 1), 0);  // 16-bit register read as 1 byte
  EXPECT_LT(lyn_lltransfer(msb, &version, 1, buf, 2), 0);
  const std::uint8_t short_cmd[] = {0x20, 0x01}, to_measure[] = {0x41, 0, 0},
                     to_version[] = {0x00, 0x13};
  EXPECT_LT(lyn_llwrite(msb, short_cmd, 2), 0);   // wrong width
  EXPECT_LT(lyn_llwrite(msb, to_measure, 3), 0);  // read-only
  EXPECT_LT(lyn_llwrite(msb, to_version, 2), 0);
  EXPECT_EQ(i2c_frames(mark).size(), 8u);
  // Nothing changed, and a bare one-byte read (an address probe) reads the version.
  int speed = -1;
  EXPECT_EQ(dvn_GetSpeed(msb, &speed), 0);
  EXPECT_EQ(speed, 0);
  EXPECT_EQ(lyn_llread(msb, buf, 1), 1);
  EXPECT_EQ(buf[0], 0x12);
}

TEST_F(Dvn, TheMotorFollowsItsCommand) {
  ASSERT_EQ(dvn_SetOptions(lsb, 0, 0x22), 0);  // counts per second, mA
  ASSERT_EQ(dvn_SetSpeed(lsb, 4000), 0);
  EXPECT_GT(dvn_GetMeasure(lsb, DVN_CURRENT), 200);  // accelerating: 0.005 mA per count/s^2
  unsigned char st = 0, err = 0;
  ASSERT_TRUE(testutil::eventually(
      [&] { return dvn_GetStatus(lsb, &st, &err) == 0 && (st & DVN_ST_AT_SPEED) != 0; }, 5.0));
  EXPECT_EQ(st, DVN_ST_DRIVEN | DVN_ST_MOVING | DVN_ST_AT_SPEED);
  EXPECT_NEAR(dvn_GetMeasure(lsb, DVN_SPEED), 4000, 80);
  EXPECT_NEAR(dvn_GetMeasure(lsb, DVN_CURRENT), 60 + 0.02 * 4000, 10);
  const int32_t p0 = dvn_GetMeasure(lsb, DVN_POSITION);
  ASSERT_TRUE(
      testutil::eventually([&] { return dvn_GetMeasure(lsb, DVN_POSITION) > p0 + 400; }, 5.0));
  // Per control period and in 5 mA counts without the options.
  ASSERT_EQ(dvn_SetOptions(lsb, 0, 0), 0);
  EXPECT_NEAR(dvn_GetMeasure(lsb, DVN_SPEED), 40, 1);
  EXPECT_NEAR(dvn_GetMeasure(lsb, DVN_CURRENT), 28, 2);

  // Reversed: the shaft turns the other way for the same command.
  ASSERT_EQ(dvn_SetOptions(lsb, DVN_OPTA_REVERSE, 0x22), 0);
  ASSERT_TRUE(testutil::eventually([&] { return dvn_GetMeasure(lsb, DVN_SPEED) < -3900; }, 5.0));
  ASSERT_EQ(dvn_GetStatus(lsb, &st, &err), 0);
  EXPECT_TRUE(st & DVN_ST_REVERSED);

  // Beyond the top speed: held there, and the error stays until cleared.
  ASSERT_EQ(dvn_SetOptions(lsb, 0, 0x22), 0);
  ASSERT_EQ(dvn_SetSpeed(lsb, 30000), 0);
  int speed = 0;
  ASSERT_EQ(dvn_GetSpeed(lsb, &speed), 0);
  EXPECT_EQ(speed, 20000);
  ASSERT_EQ(dvn_GetStatus(lsb, &st, &err), 0);
  EXPECT_EQ(err, DVN_ERR_SPEED_RANGE);
  EXPECT_TRUE(st & DVN_ST_ERROR);
  ASSERT_EQ(dvn_ClearErrors(lsb, DVN_ERR_SPEED_RANGE), 0);
  ASSERT_EQ(dvn_GetStatus(lsb, &st, &err), 0);
  EXPECT_EQ(err, 0);

  // Free wheel: the drive is off and the motor coasts to rest.
  ASSERT_EQ(dvn_SetOptions(lsb, DVN_OPTA_FREEWHEEL, 0x22), 0);
  ASSERT_TRUE(testutil::eventually([&] { return dvn_GetMeasure(lsb, DVN_SPEED) == 0; }, 5.0));
  ASSERT_EQ(dvn_GetStatus(lsb, &st, &err), 0);
  EXPECT_EQ(st, DVN_ST_AT_SPEED);
}

TEST_F(Dvn, ALowSupplyKeepsTheDriveOff) {
  start(board_with(
      "[[i2c.slave]]\naddr = 0x58\nmodel = \"dravon\"\nsupply_mv = 8000\nspeed = 1000\n"));
  unsigned char st = 0, err = 0;
  ASSERT_EQ(dvn_GetStatus(msb, &st, &err), 0);
  EXPECT_EQ(err, DVN_ERR_UNDERVOLTAGE);
  EXPECT_EQ(st & (DVN_ST_DRIVEN | DVN_ST_MOVING), 0);
  EXPECT_EQ(dvn_GetMeasure(msb, DVN_SUPPLY), 8000);
}

}  // namespace
