// Model of the IO extension board: 16 digital IOs, 12 analog inputs (12-bit, time-stamped in
// milliseconds of the board clock) and 6 power outputs, as a register file.
//
// Registers (16-bit ones in the entry's byte order, most significant byte first unless
// `lsb_first`):
//   0x00       8  r  firmware version, entry `version` (0x23: 2.3)
//   0x10-0x1F  8  rw configuration of IO 0-15: 0 input, 1 output
//   0x20      16  r  levels: an output reads its output level, an input the level the outside
//                    drives on it, entry `inputs` (bit n = IO n)
//   0x21-0x23 16  w  set / clear / toggle the output levels of the IOs whose bit is 1
//   0x30       8  r  power outputs on, bit n = output n
//   0x31-0x32  8  w  switch on / off the power outputs whose bit is 1 (bits 0-5)
//   0x40-0x4B 16  r  analog input 0-11, converted when read (0-4095, 3.3 V reference); the read
//                    latches the board clock (ms since the simulator started, 32 bits) into
//   0x4E-0x4F 16  r  time of the last conversion, bits 31-16 then bits 15-0
//
// Analog inputs:
//   0      the battery through a 1:3 divider: counts = mV * 4095 / 9900, where the voltage
//          starts at `battery_mv` and falls by `battery_drain_mv_per_min` (not below 0)
//   1      the world's ambient infrared level ([world] ambient)
//   2-11   a sine wave: `wave_mid` + `wave_amplitude` * sin(2 pi (t / `wave_period_ms` - k / 10))
//          for input 2 + k, clamped into 0-4095
//
// Protocol: a write of the register number alone selects the register that the next read
// returns; a number followed by data writes the register, which must be writable and take
// exactly its width. A read must take exactly the selected register's width; a read with no
// register selected returns the version (so a probe's one-byte read is acknowledged). Each
// access ends the selection. Refused (not acknowledged, nothing changes): unknown registers,
// wrong widths, writes to read-only registers, a configuration above 1, power bits 6-7.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "../i2c_slave.h"
#include "../scenario.h"

namespace tsim {

class Board;
class World;

class PellixModel final : public I2cSlave {
 public:
  static constexpr std::array kKeys{
      Key{"version", Key::Type::integer, 0, 255, 0x23, "firmware version byte"},
      Key{.name = "lsb_first",
          .type = Key::Type::boolean,
          .def = false,
          .doc = "16-bit registers least significant byte first (LE board)"},
      Key{"inputs", Key::Type::integer, 0, 0xFFFF, 0, "levels driven on input IOs, bit n = IO n"},
      Key{"battery_mv", Key::Type::number, 0, 9900, 7640, "battery voltage at the start"},
      Key{"battery_drain_mv_per_min", Key::Type::number, 0, 10000, 0, "its fall a minute"},
      Key{"wave_mid", Key::Type::number, 0, 4095, 2048, "middle of the sine on inputs 2-11"},
      Key{"wave_amplitude", Key::Type::number, 0, 4095, 1024, "its amplitude"},
      Key{"wave_period_ms", Key::Type::integer, 1, 3600000, 5000, "its period"},
  };

  PellixModel(const ModelEntry &entry, Board &board);

  bool write(std::span<const std::uint8_t> data) override;
  bool read(std::span<std::uint8_t> out) override;

  // The converted value of analog input `channel` at `now_us`.
  std::uint16_t analog(int channel, std::uint64_t now_us) const;

 private:
  struct State {
    std::uint8_t selected;  // 1 + register number; 0 when none is selected
    std::array<std::uint8_t, 16> config;
    std::uint16_t output;  // output levels
    std::uint8_t power;
    std::uint32_t time_ms;  // of the last conversion
  };
  std::uint16_t value(int reg, std::uint64_t now_us);
  void put16(std::span<std::uint8_t> out, std::uint16_t v) const;
  std::uint16_t get16(std::span<const std::uint8_t> in) const;

  Board &board_;
  std::shared_ptr<World> world_;
  State *state_;
  std::uint8_t version_;
  bool lsb_first_;
  std::uint16_t inputs_;
  double battery_mv_, drain_mv_per_min_, wave_mid_, wave_amplitude_;
  std::int64_t wave_period_ms_;
};

}  // namespace tsim
