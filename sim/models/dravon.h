// Model of one motor of the motor controller board: each motor answers at an address of its own.
//
// Scenario entry (model = "dravon"; the keys are declared in kKeys below):
//   [[i2c.slave]]
//   adapter = 2
//   addr = 0x58
//   model = "dravon"
//   version = 0x12             firmware version byte (major in bits 4-7, minor in bits 0-3)
//   lsb_first = false          16-bit registers least significant byte first (the LE board)
//   time_constant_ms = 100.0   the motor's mechanical time constant
//   top_speed = 20000          counts/s; larger commands are held there (error bit 2)
//   speed = 0                  speed command at power-on, counts/s
//   supply_mv = 12000          supply voltage; below 9000 the drive is off (error bit 1)
//   current_limit_ma = 3000    a current beyond it latches error bit 0
//
// Registers and their meaning are the board's own, documented in include/tarsa/dvn.h; this model
// follows them. Protocol: a write message is a register number, alone (selects it for the next
// read) or followed by exactly the register's width of data. A read returns the selected
// register and must be exactly its width; the selection then goes back to register 0x00 (the
// version byte), so a bare one-byte read (an address probe) reads the version. Unknown
// registers, wrong lengths, writes to read-only registers, reads of write-only ones and option
// values with reserved bits set are refused: the data is not acknowledged and nothing changes.
//
// Motor: the shaft speed w follows its target (the command, negated with option A bit 0; 0 with
// the drive off) as dw/dt = (target - w) / T, integrated exactly between accesses, and the
// position is its integral. Current, mA: 60 * sign(w) + 0.02 * w + 0.005 * dw/dt. Supply:
// supply_mv - |current| / 20.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "../i2c_slave.h"
#include "../scenario.h"

namespace tsim {

class Board;

class DravonMotorModel final : public I2cSlave {
 public:
  static constexpr std::array kKeys{
      Key{"version", Key::Type::integer, 0, 255, 0x12, "firmware version byte"},
      Key{.name = "lsb_first",
          .type = Key::Type::boolean,
          .def = false,
          .doc = "16-bit registers least significant byte first"},
      Key{"time_constant_ms", Key::Type::number, 1, 60000, 100, "the motor's time constant"},
      Key{"top_speed", Key::Type::integer, 1, 32767, 20000, "counts/s; faster commands held"},
      Key{"speed", Key::Type::integer, -32768, 32767, 0, "speed command at power-on, counts/s"},
      Key{"supply_mv", Key::Type::integer, 0, 60000, 12000, "supply voltage; drive off below 9 V"},
      Key{"current_limit_ma", Key::Type::integer, 1, 100000, 3000,
          "a current beyond it latches an error"},
  };

  DravonMotorModel(const ModelEntry &entry, Board &board);
  bool write(std::span<const std::uint8_t> data) override;
  bool read(std::span<std::uint8_t> out) override;

 private:
  struct State {
    std::uint8_t selected;
    std::uint8_t option_a, option_b;
    std::uint8_t errors;
    std::uint8_t frozen;  // bit i: the low word of measure 2i+1 is frozen
    std::array<std::uint16_t, 4> frozen_low;
    std::int16_t command;
    double speed;     // counts/s
    double position;  // counts
    double accel;     // counts/s^2 at the last update
    std::uint64_t last_us;
  };

  void advance();
  double target() const;
  bool driven() const;
  double current_ma() const;
  std::int32_t measure(int kind) const;
  void put16(std::span<std::uint8_t> out, std::uint16_t v) const;

  Board &board_;
  State *state_;
  std::uint8_t version_;
  bool lsb_first_;
  double tau_s_;
  int top_speed_;
  int supply_mv_;
  int current_limit_ma_;
};

}  // namespace tsim
