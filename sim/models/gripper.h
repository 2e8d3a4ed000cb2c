// Models of the gripper accessory's two modules, the arm and the hand, as register files.
//
// Protocol: a write sets the register pointer (first byte) and writes the following bytes to
// successive registers; a read returns bytes from the pointer on, which advances. 16-bit
// registers hold their most significant byte first (at the lower number). The address is always
// acknowledged (a probe finds the module). A write that touches a
// register that is not writable is not acknowledged and changes nothing. Reads of unmapped
// registers give 0. Positions move on the board's monotonic clock, integrated at each access.
//
// Arm (model = "gripper_arm"; entry keys version, position, lower, upper, battery_percent, as
// declared in kKeys below):
//   48     version                  entry `version` (0x21)
//   49-50  position                 travel position, rounded; starts at `position` (2048)
//   51     speed                    the max speed level while moving, 0 when still
//   52-53  current, mA              40 still, 40 + 25 * level while moving
//   54     on target                1 when the position equals the order and no search runs
//   55-56  voltage, mV              7400 still, 7250 while moving
//   57     capacity, %              entry `battery_percent` (80)
//   58-59  upper limit              entry `upper` (3800)
//   60-61  lower limit              entry `lower` (200)
//   62-63  order (read, write)      target position, clamped into the limits when written
//   64     max speed (read, write)  0-15, larger values stored as 15; moves at level * 64 units/s
//                                   (level 0 holds the arm still); 8 at start
//   65     search limit (rw)        writing 1 drives the arm to its lower limit at max speed; the
//                                   register returns to 0 and the order becomes the lower limit
//                                   on arrival
// Hand (model = "gripper_hand"; entry keys version, object, object_position, object_resistivity,
//   speed, as declared in kKeys below):
//   48     version                  entry `version` (0x11)
//   49     position                 0 open to 255 closed, rounded; starts at 0
//   50     order (read, write)      target position
//   51     speed                    entry `speed` (120 units/s) while moving, 0 when still
//   52-53  current, mA              30 still, 120 moving, min(torque, 1000) while squeezing
//   54-55  torque (read, write)     grip torque setting, 500 at start
//   56-57  resistivity              `object_resistivity` (1200) while squeezing, else 65535
//   58-59, 60-61 ambient IR         2000 each; 600 with an object between the fingers
//   62-63, 64-65 distance sensors   with an object: (object_position - position) / 4 mm, at
//                                   least 0; without: 255 (nothing in range)
//   66     object detected          1 when the scenario puts an object (`object = true`) between
//                                   the fingers; the fingers stop at `object_position` (180)
//   67     on target                1 when the position equals the order, or when the object
//                                   stops the fingers short of it (squeezing)
//   68     search limit (rw)        writing 1 opens the hand fully; back to 0 on arrival
//   69     limits                   bit 0 fully open (0), bit 1 fully closed (255)
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "../i2c_slave.h"
#include "../scenario.h"

namespace tsim {

class Board;

// Register pointer and image handling common to both modules.
class RegisterSlave : public I2cSlave {
 public:
  bool write(std::span<const std::uint8_t> data) override;
  bool read(std::span<std::uint8_t> out) override;

 protected:
  explicit RegisterSlave(Board &board) : board_(board) {}
  // The register pointer, kept with the module's shared state.
  virtual std::uint8_t &pointer() = 0;
  // Brings the module up to `now_us`, then renders every register into `image`.
  virtual void render(std::array<std::uint8_t, 256> &image) = 0;
  virtual bool writable(int reg) const = 0;
  // Takes the registers that a write changed (already in `image`) into the module's state.
  virtual void store(const std::array<std::uint8_t, 256> &image) = 0;

  Board &board_;
};

class GripperArmModel final : public RegisterSlave {
 public:
  static constexpr double kUnitsPerLevel = 64.0;  // units per second per max speed level
  static constexpr std::array kKeys{
      Key{"version", Key::Type::integer, 0, 255, 0x21, "version byte (register 48)"},
      Key{"position", Key::Type::number, 0, 0xFFFF, 2048,
          "travel position at the start, clamped into [lower, upper]"},
      Key{"lower", Key::Type::integer, 0, 0xFFFF, 200, "lower travel limit"},
      Key{"upper", Key::Type::integer, 0, 0xFFFF, 3800, "upper travel limit, not below lower"},
      Key{"battery_percent", Key::Type::integer, 0, 100, 80, "battery capacity reported, %"},
  };

  GripperArmModel(const ModelEntry &entry, Board &board);

 private:
  struct State {
    std::uint8_t pointer;
    std::uint8_t max_speed;
    std::uint8_t search;
    std::uint8_t moving;
    std::uint16_t order;
    double position;
    std::uint64_t last_us;
  };
  void advance();
  std::uint8_t &pointer() override { return state_->pointer; }
  void render(std::array<std::uint8_t, 256> &image) override;
  bool writable(int reg) const override { return reg >= 62 && reg <= 65; }
  void store(const std::array<std::uint8_t, 256> &image) override;

  State *state_;
  std::uint8_t version_;
  int battery_percent_;
  std::uint16_t lower_, upper_;
};

class GripperHandModel final : public RegisterSlave {
 public:
  static constexpr std::array kKeys{
      Key{"version", Key::Type::integer, 0, 255, 0x11, "version byte (register 48)"},
      Key{.name = "object",
          .type = Key::Type::boolean,
          .def = false,
          .doc = "an object lies between the fingers"},
      Key{"object_position", Key::Type::number, 0, 255, 180, "where the fingers stop on it"},
      Key{"object_resistivity", Key::Type::integer, 0, 0xFFFF, 1200,
          "the object's resistivity while squeezed"},
      Key{"speed", Key::Type::number, 0, 100000, 120, "finger speed, units a second"},
  };

  GripperHandModel(const ModelEntry &entry, Board &board);

 private:
  struct State {
    std::uint8_t pointer;
    std::uint8_t order;
    std::uint8_t search;
    std::uint8_t moving;
    std::uint16_t torque;
    double position;
    std::uint64_t last_us;
  };
  void advance();
  bool squeezing() const;
  std::uint8_t &pointer() override { return state_->pointer; }
  void render(std::array<std::uint8_t, 256> &image) override;
  bool writable(int reg) const override { return reg == 50 || reg == 54 || reg == 55 || reg == 68; }
  void store(const std::array<std::uint8_t, 256> &image) override;

  State *state_;
  std::uint8_t version_;
  bool object_;
  double object_position_;
  std::uint16_t object_resistivity_;
  double speed_;
};

}  // namespace tsim
