// Gripper driver against the simulated arm and hand modules: registers and widths on the bus,
// clamping, byte order, and an order carried out by the arm.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simdevice.h"
#include "tarsa/lyn.h"
#include "tarsa/vx_gripper.h"
#include "testutil.h"

namespace {

using simtest::i2c_frames;

class Gripper : public simtest::DeviceTest {
 protected:
  Gripper() : DeviceTest([] { return vgripper_init() == 1; }, {"Gripper:Arm", "Gripper:Hand"}) {}
  lyn_dev_t &arm = devices[0], &hand = devices[1];
};

TEST_F(Gripper, ArmGettersReadTheirRegisterAtItsWidth) {
  auto mark = simtest::trace_mark();
  EXPECT_EQ(vgripper_Arm_Get_Version(arm), 0x21);
  EXPECT_EQ(vgripper_Arm_Get_Position(arm), 2048);  // most significant byte first
  EXPECT_EQ(vgripper_Arm_Get_Speed(arm), 0);
  EXPECT_EQ(vgripper_Arm_Get_Current(arm), 40);
  EXPECT_EQ(vgripper_Arm_OnTarget(arm), 1);
  EXPECT_EQ(vgripper_Arm_Get_Voltage(arm), 7400);
  EXPECT_EQ(vgripper_Arm_Get_Capacity(arm), 80);
  EXPECT_EQ(vgripper_Arm_Get_Order(arm), 2048);
  EXPECT_EQ(vgripper_Arm_Get_Max_Speed(arm), 8);
  EXPECT_EQ(vgripper_Arm_Get_Search_Limit(arm), 0);
  unsigned short first = 0, second = 0;
  vgripper_Arm_Get_Limits(arm, &first, &second);
  EXPECT_EQ(first, 200);    // register 60: lower limit
  EXPECT_EQ(second, 3800);  // register 58: upper limit
  EXPECT_EQ(i2c_frames(mark),
            (std::vector<std::string>{"r30/1", "r31/2", "r33/1", "r34/2", "r36/1", "r37/2", "r39/1",
                                      "r3e/2", "r40/1", "r41/1", "r3c/2", "r3a/2"}));
}

TEST_F(Gripper, HandGettersReadTheirRegisterAtItsWidth) {
  auto mark = simtest::trace_mark();
  EXPECT_EQ(vgripper_Gripper_Get_Version(hand), 0x11);
  EXPECT_EQ(vgripper_Gripper_Get_Position(hand), 0);
  EXPECT_EQ(vgripper_Gripper_Get_Order(hand), 0);
  EXPECT_EQ(vgripper_Gripper_Get_Speed(hand), 0);
  EXPECT_EQ(vgripper_Gripper_Get_Current(hand), 30);
  EXPECT_EQ(vgripper_Gripper_Get_Torque(hand), 500);
  EXPECT_EQ(vgripper_Gripper_Get_Resistivity(hand), 65535);
  EXPECT_EQ(vgripper_Gripper_Object_Detected(hand), 0);
  EXPECT_EQ(vgripper_Gripper_OnTarget(hand), 1);
  EXPECT_EQ(vgripper_Gripper_Get_Search_Limit(hand), 0);
  EXPECT_EQ(vgripper_Gripper_Get_Limits(hand), 1);  // fully open
  unsigned short a = 0, b = 0;
  vgripper_Gripper_Get_Ambiant_IR_Light(hand, &a, &b);
  EXPECT_EQ(a, 2000);
  EXPECT_EQ(b, 2000);
  vgripper_Gripper_Get_Distance_Sensors(hand, &a, &b);
  EXPECT_EQ(a, 255);
  EXPECT_EQ(b, 255);
  EXPECT_EQ(i2c_frames(mark),
            (std::vector<std::string>{"r30/1", "r31/1", "r32/1", "r33/1", "r34/2", "r36/2", "r38/2",
                                      "r42/1", "r43/1", "r44/1", "r45/1", "r3a/2", "r3c/2", "r3e/2",
                                      "r40/2"}));
}

TEST_F(Gripper, PairGetterSkipsANullOutput) {
  unsigned short v = 0;
  auto mark = simtest::trace_mark();
  vgripper_Arm_Get_Limits(arm, &v, nullptr);
  EXPECT_EQ(v, 200);
  vgripper_Arm_Get_Limits(arm, nullptr, &v);
  EXPECT_EQ(v, 3800);
  vgripper_Gripper_Get_Distance_Sensors(hand, nullptr, nullptr);
  EXPECT_EQ(i2c_frames(mark), (std::vector<std::string>{"r3c/2", "r3a/2"}));
}

TEST_F(Gripper, SettersClampAndSetTheByteOrderFirst) {
  // A program that changed the order flags: the 16-bit setters put them back before writing.
  ASSERT_EQ(lyn_set_order(arm, 0), 0);
  ASSERT_EQ(lyn_set_order(hand, 0), 0);
  auto mark = simtest::trace_mark();
  EXPECT_EQ(vgripper_Arm_Set_Max_Speed(arm, 20), 0);
  EXPECT_EQ(vgripper_Arm_Set_Max_Speed(arm, 7), 0);
  EXPECT_EQ(vgripper_Arm_Set_Max_Speed(arm, -1), 0);
  EXPECT_EQ(vgripper_Arm_Set_Search_Limit(arm, 5), 0);
  EXPECT_EQ(vgripper_Arm_Set_Search_Limit(arm, 0), 0);
  EXPECT_EQ(vgripper_Arm_Set_Order(arm, 0x0A28), 0);
  EXPECT_EQ(vgripper_Gripper_Set_Order(hand, 300), 0);
  EXPECT_EQ(vgripper_Gripper_Set_Torque(hand, 300), 0);
  EXPECT_EQ(vgripper_GripperSet_Search_Limit(hand, -3), 0);
  EXPECT_EQ(i2c_frames(mark),
            (std::vector<std::string>{"w40:0f", "w40:07", "w40:0f", "w41:01", "w41:00", "w3e:0a28",
                                      "w32:2c", "w36:012c", "w44:01"}));
  // The flags stay set: 16-bit reads come back in the right order.
  EXPECT_EQ(vgripper_Gripper_Get_Torque(hand), 300);
  EXPECT_EQ(vgripper_Arm_Get_Order(arm), 0x0A28);
}

TEST_F(Gripper, SetterPassesTheLayersFailureBack) {
  // The open probes the address: the fault hits the transfer after it.
  const std::string fault = failing(0x28);
  start(fault);
  EXPECT_LT(vgripper_Arm_Set_Max_Speed(arm, 3), 0);
  EXPECT_EQ(vgripper_Arm_Get_Max_Speed(arm), 8);  // unchanged
  start(fault);
  EXPECT_LT(vgripper_Arm_Get_Version(arm), 0);  // a failed read cannot pass for a register value
}

TEST_F(Gripper, AnOrderDrivesTheArmToItsTarget) {
  ASSERT_EQ(vgripper_Arm_Set_Max_Speed(arm, 15), 0);  // 960 units/s
  ASSERT_EQ(vgripper_Arm_Set_Order(arm, 2500), 0);
  EXPECT_EQ(vgripper_Arm_OnTarget(arm), 0);
  EXPECT_EQ(vgripper_Arm_Get_Speed(arm), 15);  // on its way for about half a second
  ASSERT_TRUE(testutil::eventually([&] { return vgripper_Arm_OnTarget(arm) == 1; }, 5.0));
  EXPECT_EQ(vgripper_Arm_Get_Position(arm), 2500);
  EXPECT_EQ(vgripper_Arm_Get_Speed(arm), 0);
  // Orders beyond the travel limits stop at the limit.
  ASSERT_EQ(vgripper_Arm_Set_Order(arm, 4000), 0);
  EXPECT_EQ(vgripper_Arm_Get_Order(arm), 3800);
  // A limit search takes the arm to its lower limit and ends by itself.
  ASSERT_EQ(vgripper_Arm_Set_Search_Limit(arm, 1), 0);
  ASSERT_TRUE(testutil::eventually([&] { return vgripper_Arm_Get_Search_Limit(arm) == 0; }, 10.0));
  EXPECT_EQ(vgripper_Arm_Get_Position(arm), 200);
  EXPECT_EQ(vgripper_Arm_OnTarget(arm), 1);
}

TEST_F(Gripper, HandClosesOnAnObject) {
  start(
      board_with("[[i2c.slave]]\naddr = 0x29\nmodel = \"gripper_hand\"\nobject = true\n"
                 "object_position = 100\nspeed = 400.0\n"));
  EXPECT_EQ(vgripper_Gripper_Object_Detected(hand), 1);
  unsigned short a = 0, b = 0;
  vgripper_Gripper_Get_Distance_Sensors(hand, &a, &b);
  EXPECT_EQ(a, 25);  // (100 - 0) / 4 mm
  ASSERT_EQ(vgripper_Gripper_Set_Torque(hand, 700), 0);
  ASSERT_EQ(vgripper_Gripper_Set_Order(hand, 255), 0);
  ASSERT_TRUE(testutil::eventually([&] { return vgripper_Gripper_OnTarget(hand) == 1; }, 5.0));
  EXPECT_EQ(vgripper_Gripper_Get_Position(hand), 100);  // stopped by the object
  EXPECT_EQ(vgripper_Gripper_Get_Current(hand), 700);   // squeezing at the set torque
  EXPECT_EQ(vgripper_Gripper_Get_Resistivity(hand), 1200);
  // Opening again releases it.
  ASSERT_EQ(vgripper_Gripper_Set_Order(hand, 0), 0);
  ASSERT_TRUE(testutil::eventually([&] { return vgripper_Gripper_OnTarget(hand) == 1; }, 5.0));
  EXPECT_EQ(vgripper_Gripper_Get_Limits(hand), 1);
  EXPECT_EQ(vgripper_Gripper_Get_Resistivity(hand), 65535);
}

}  // namespace
