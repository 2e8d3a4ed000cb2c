// Gripper accessory driver: the arm and hand modules, one register at a time.
#include "tarsa/vx_gripper.h"

#include <cstdint>

#include "core/vx_codes.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"

namespace {

// Register maps of the two modules.
namespace arm {
constexpr int Version = 0x30, Position = 0x31, Speed = 0x33, Current = 0x34, OnTarget = 0x36,
              Voltage = 0x37, Capacity = 0x39, LimitSecond = 0x3A, LimitFirst = 0x3C, Order = 0x3E,
              MaxSpeed = 0x40, SearchLimit = 0x41;
constexpr unsigned kMaxSpeedTop = 15;
}  // namespace arm

namespace hand {
constexpr int Version = 0x30, Position = 0x31, Order = 0x32, Speed = 0x33, Current = 0x34,
              Torque = 0x36, Resistivity = 0x38, AmbientIr1 = 0x3A, AmbientIr2 = 0x3C,
              Distance1 = 0x3E, Distance2 = 0x40, ObjectDetected = 0x42, OnTarget = 0x43,
              SearchLimit = 0x44, Limits = 0x45;
}  // namespace hand

// A failed read gives the layer's negative result, so it cannot pass for a register value.
int reg8(lyn_dev_t dev, int reg) {
  std::uint8_t v = 0;
  const int rc = lyn_read8(dev, reg, &v);
  return rc < 0 ? rc : v;
}

int reg16(lyn_dev_t dev, int reg) {
  std::uint16_t v = 0;
  const int rc = lyn_read16(dev, reg, &v);
  return rc < 0 ? rc : v;
}

void pair16(lyn_dev_t dev, int reg1, unsigned short *first, int reg2, unsigned short *second) {
  std::uint16_t v = 0;
  if (first != nullptr && lyn_read16(dev, reg1, &v) >= 0) *first = v;
  if (second != nullptr && lyn_read16(dev, reg2, &v) >= 0) *second = v;
}

// 16-bit registers of both modules travel most significant byte first.
int write16_msb(lyn_dev_t dev, int reg, int value) {
  lyn_set_order(dev, LYN_ORDER_MSB_FIRST);
  return lyn_write16(dev, reg, static_cast<std::uint16_t>(value));
}

std::uint8_t flag(int value) {
  return value != 0 ? 1 : 0;
}

}  // namespace

extern "C" int vgripper_init(void) {
  const int rc = vx_init(0, nullptr);
  if (rc < 0) {
    // Fixed line 36 and the robot driver's label "vx_tr4_init": the report reads as users know it.
    vx_error("vx_gripper", 36, "vx_tr4_init", tarsa::err::Tarsa4InitFailed);
    return -1;
  }
  return rc;
}

// ---- arm ----

extern "C" int vgripper_Arm_Get_Version(lyn_dev_t dev) {
  return reg8(dev, arm::Version);
}
extern "C" int vgripper_Arm_Get_Position(lyn_dev_t dev) {
  return reg16(dev, arm::Position);
}
extern "C" int vgripper_Arm_Get_Speed(lyn_dev_t dev) {
  return reg8(dev, arm::Speed);
}
extern "C" int vgripper_Arm_Get_Current(lyn_dev_t dev) {
  return reg16(dev, arm::Current);
}
extern "C" int vgripper_Arm_OnTarget(lyn_dev_t dev) {
  return reg8(dev, arm::OnTarget);
}
extern "C" int vgripper_Arm_Get_Voltage(lyn_dev_t dev) {
  return reg16(dev, arm::Voltage);
}
extern "C" int vgripper_Arm_Get_Capacity(lyn_dev_t dev) {
  return reg8(dev, arm::Capacity);
}
extern "C" void vgripper_Arm_Get_Limits(lyn_dev_t dev, unsigned short *first,
                                        unsigned short *second) {
  pair16(dev, arm::LimitFirst, first, arm::LimitSecond, second);
}
extern "C" int vgripper_Arm_Get_Order(lyn_dev_t dev) {
  return reg16(dev, arm::Order);
}
extern "C" int vgripper_Arm_Get_Max_Speed(lyn_dev_t dev) {
  return reg8(dev, arm::MaxSpeed);
}
extern "C" int vgripper_Arm_Get_Search_Limit(lyn_dev_t dev) {
  return reg8(dev, arm::SearchLimit);
}

extern "C" int vgripper_Arm_Set_Order(lyn_dev_t dev, int value) {
  return write16_msb(dev, arm::Order, value);
}

extern "C" int vgripper_Arm_Set_Max_Speed(lyn_dev_t dev, int value) {
  // Compared as unsigned so that a negative speed gives the top speed, not a wrapped byte.
  const unsigned v = static_cast<unsigned>(value) < arm::kMaxSpeedTop ? static_cast<unsigned>(value)
                                                                      : arm::kMaxSpeedTop;
  return lyn_write8(dev, arm::MaxSpeed, static_cast<std::uint8_t>(v));
}

extern "C" int vgripper_Arm_Set_Search_Limit(lyn_dev_t dev, int value) {
  return lyn_write8(dev, arm::SearchLimit, flag(value));
}

// ---- hand ----
// (Names such as vgripper_GripperSet_Search_Limit and "Ambiant" are the API's spelling: programs
// link by them.)

extern "C" int vgripper_Gripper_Get_Version(lyn_dev_t dev) {
  return reg8(dev, hand::Version);
}
extern "C" int vgripper_Gripper_Get_Position(lyn_dev_t dev) {
  return reg8(dev, hand::Position);
}
extern "C" int vgripper_Gripper_Get_Order(lyn_dev_t dev) {
  return reg8(dev, hand::Order);
}
extern "C" int vgripper_Gripper_Get_Speed(lyn_dev_t dev) {
  return reg8(dev, hand::Speed);
}
extern "C" int vgripper_Gripper_Get_Current(lyn_dev_t dev) {
  return reg16(dev, hand::Current);
}
extern "C" int vgripper_Gripper_Get_Torque(lyn_dev_t dev) {
  return reg16(dev, hand::Torque);
}
extern "C" int vgripper_Gripper_Get_Resistivity(lyn_dev_t dev) {
  return reg16(dev, hand::Resistivity);
}
extern "C" void vgripper_Gripper_Get_Ambiant_IR_Light(lyn_dev_t dev, unsigned short *first,
                                                      unsigned short *second) {
  pair16(dev, hand::AmbientIr1, first, hand::AmbientIr2, second);
}
extern "C" void vgripper_Gripper_Get_Distance_Sensors(lyn_dev_t dev, unsigned short *first,
                                                      unsigned short *second) {
  pair16(dev, hand::Distance1, first, hand::Distance2, second);
}
extern "C" int vgripper_Gripper_Object_Detected(lyn_dev_t dev) {
  return reg8(dev, hand::ObjectDetected);
}
extern "C" int vgripper_Gripper_OnTarget(lyn_dev_t dev) {
  return reg8(dev, hand::OnTarget);
}
extern "C" int vgripper_Gripper_Get_Search_Limit(lyn_dev_t dev) {
  return reg8(dev, hand::SearchLimit);
}
extern "C" int vgripper_Gripper_Get_Limits(lyn_dev_t dev) {
  return reg8(dev, hand::Limits);
}

extern "C" int vgripper_Gripper_Set_Order(lyn_dev_t dev, int value) {
  return lyn_write8(dev, hand::Order, static_cast<std::uint8_t>(static_cast<unsigned>(value)));
}

extern "C" int vgripper_Gripper_Set_Torque(lyn_dev_t dev, int value) {
  return write16_msb(dev, hand::Torque, value);
}

extern "C" int vgripper_GripperSet_Search_Limit(lyn_dev_t dev, int value) {
  return lyn_write8(dev, hand::SearchLimit, flag(value));
}
